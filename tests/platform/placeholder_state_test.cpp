// Placeholder state lives with the item: other processes see it, renames
// keep it, and the Windows views (attributes, find data, info classes) agree.
#include "platform_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/directory_changes.h"
#include "platform/errors.h"
#include "platform/local/lock_stripes.h"
#include "platform/local/placeholder_store.h"

namespace corvane::platform::testing {
namespace {

class PlaceholderState : public PlatformTest {};

TEST_F(PlaceholderState, SecondProcessSeesStateAndRegistration) {
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(MakeFile(root_, "a.txt", 5000), S_OK);
  ASSERT_EQ(MakeFolder(root_, "docs", false), S_OK);
  local::Client client(root_);
  ASSERT_EQ(client.Pin("a.txt"), 0u);

  std::string out, err;
  ASSERT_EQ(RunClient("state '" + root_ + "/a.txt'", &out, &err), 0) << err;
  EXPECT_NE(out.find("placeholder: yes"), std::string::npos) << out;
  EXPECT_NE(out.find("in-sync: yes"), std::string::npos) << out;
  EXPECT_NE(out.find("pin: pinned"), std::string::npos) << out;
  EXPECT_NE(out.find("size: 5000"), std::string::npos) << out;
  EXPECT_NE(out.find("hydrated: none (partial)"), std::string::npos) << out;
  EXPECT_NE(out.find("identity: \"id:a.txt\""), std::string::npos) << out;
  EXPECT_NE(out.find("sync root: " + root_ + " (provider TestCloud 1.0)"), std::string::npos) << out;

  ASSERT_EQ(RunClient("state '" + root_ + "/docs'", &out, &err), 0) << err;
  EXPECT_NE(out.find("populated: no"), std::string::npos) << out;

  // A change made by the second process is seen here.
  ASSERT_EQ(RunClient("unpin '" + root_ + "/a.txt'", &out, &err), 0) << err;
  local::ItemState state;
  ASSERT_EQ(client.State("a.txt", state), 0u);
  EXPECT_EQ(state.pin, CF_PIN_STATE_UNPINNED);
}

TEST_F(PlaceholderState, RenameKeepsStateIdentityAndData) {
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(MakeFolder(root_, "sub", true), S_OK);
  ASSERT_EQ(MakeFile(root_, "big.bin", 3 * 4096 + 10), S_OK);
  TestProvider provider;
  provider.content[root_ + "/big.bin"] = Pattern(3 * 4096 + 10);
  ASSERT_EQ(provider.Connect(root_), S_OK);
  local::Client client(root_);
  std::string data;
  ASSERT_EQ(client.Read("big.bin", 4096, 10, data), 0u);
  ASSERT_EQ(client.Rename("big.bin", "sub/moved.bin", false), 0u);

  local::ItemState state;
  ASSERT_EQ(client.State("sub/moved.bin", state), 0u);
  EXPECT_TRUE(state.placeholder);
  EXPECT_TRUE(state.in_sync);
  ASSERT_EQ(state.hydrated.size(), 1u);
  EXPECT_EQ(state.hydrated[0].StartingOffset, 4096);
  EXPECT_EQ(state.hydrated[0].Length, 4096);
  EXPECT_EQ(state.identity, std::string(reinterpret_cast<const char*>(u"id:big.bin"), 20));
  // The bytes fetched before the rename are still there, the rest is fetched
  // for the new name.
  provider.content[root_ + "/sub/moved.bin"] = Pattern(3 * 4096 + 10);
  ASSERT_EQ(client.ReadAll("sub/moved.bin", data), 0u);
  EXPECT_TRUE(data == Pattern(3 * 4096 + 10));
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

TEST_F(PlaceholderState, WindowsViewsAgree) {
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(MakeFile(root_, "f.txt", 10000, /*in_sync=*/false), S_OK);
  const std::u16string path = W(root_ + "/f.txt");

  DWORD attrs = GetFileAttributesW(path.c_str());
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_OFFLINE);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS);
  EXPECT_FALSE(attrs & FILE_ATTRIBUTE_DIRECTORY);

  WIN32_FIND_DATAW find;
  Handle h = FindFirstFileW(path.c_str(), &find);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FindClose(h);
  EXPECT_EQ(CfGetPlaceholderStateFromFindData(&find), CF_PLACEHOLDER_STATE_PLACEHOLDER | CF_PLACEHOLDER_STATE_PARTIAL);
  EXPECT_EQ(find.nFileSizeLow, 10000u);
  EXPECT_EQ(find.ftLastWriteTime, FileTimeFromUnix(1700000000, 123456700));

  // SetFileAttributesW with PINNED sets the pin state, as on Windows.
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_HIDDEN));
  Handle file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  alignas(8) unsigned char buffer[4160];
  DWORD returned = 0;
  ASSERT_EQ(CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_STANDARD, buffer, sizeof buffer, &returned), S_OK);
  auto* info = reinterpret_cast<CF_PLACEHOLDER_STANDARD_INFO*>(buffer);
  EXPECT_EQ(info->PinState, CF_PIN_STATE_PINNED);
  EXPECT_EQ(info->InSyncState, CF_IN_SYNC_STATE_NOT_IN_SYNC);
  EXPECT_EQ(info->OnDiskDataSize, 0);
  EXPECT_EQ(info->FileIdentityLength, 16u);  // u"id:f.txt"
  EXPECT_EQ(returned, offsetof(CF_PLACEHOLDER_STANDARD_INFO, FileIdentity) + 16);
  // Too small for the identity: partial answer and ERROR_MORE_DATA; too
  // small for the fixed part: ERROR_INSUFFICIENT_BUFFER.
  EXPECT_EQ(CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, buffer, 34, &returned),
            HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(returned, 34u);
  EXPECT_EQ(CfGetPlaceholderInfo(file, CF_PLACEHOLDER_INFO_BASIC, buffer, 8, &returned),
            HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_EQ(CfSetInSyncState(file, CF_IN_SYNC_STATE_IN_SYNC, CF_SET_IN_SYNC_FLAG_NONE, nullptr), S_OK);
  CloseHandle(file);
  attrs = GetFileAttributesW(path.c_str());
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_PINNED);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_HIDDEN);

  // Unpinning through the attributes keeps the other stored bits.
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), (attrs & ~FILE_ATTRIBUTE_PINNED) | FILE_ATTRIBUTE_UNPINNED));
  attrs = GetFileAttributesW(path.c_str());
  EXPECT_FALSE(attrs & FILE_ATTRIBUTE_PINNED);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_UNPINNED);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_HIDDEN);

  // An ordinary file is no placeholder.
  local::Client client(root_);
  ASSERT_EQ(client.CreateFile("plain.txt", "x"), 0u);
  h = FindFirstFileW(W(root_ + "/plain.txt").c_str(), &find);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FindClose(h);
  EXPECT_EQ(CfGetPlaceholderStateFromFindData(&find), CF_PLACEHOLDER_STATE_NO_STATES);
}

TEST_F(PlaceholderState, LargeIdentityAndReadOnlyPlaceholder) {
  ASSERT_EQ(Register(), S_OK);
  // 4 KiB identities do not fit beside other attributes on ext4.
  std::string identity(CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH, 'x');
  for (size_t i = 0; i < identity.size(); ++i) identity[i] = static_cast<char>('a' + i % 26);
  CF_PLACEHOLDER_CREATE_INFO info;
  info.RelativeFileName = u"ro.txt";
  info.FsMetadata.FileSize = 4096;
  info.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_READONLY;
  info.FileIdentity = identity.data();
  info.FileIdentityLength = static_cast<DWORD>(identity.size());
  ASSERT_EQ(CfCreatePlaceholders(W(root_).c_str(), &info, 1, CF_CREATE_FLAG_NONE, nullptr), S_OK);
  const std::u16string path = W(root_ + "/ro.txt");
  EXPECT_TRUE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY);

  // The platform still hydrates and updates a read-only placeholder.
  TestProvider provider;
  provider.content[root_ + "/ro.txt"] = Pattern(4096);
  ASSERT_EQ(provider.Connect(root_), S_OK);
  local::Client client(root_);
  std::string data;
  ASSERT_EQ(client.ReadAll("ro.txt", data), 0u);
  EXPECT_TRUE(data == Pattern(4096));
  local::ItemState state;
  ASSERT_EQ(client.State("ro.txt", state), 0u);
  EXPECT_EQ(state.identity, identity);
  EXPECT_TRUE(state.FullyHydrated());
  // Applications cannot write or delete it.
  EXPECT_EQ(client.Write("ro.txt", 0, "x"), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteFileW(path.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // Too big an identity is refused before anything is made.
  std::string too_big(CF_PLACEHOLDER_MAX_FILE_IDENTITY_LENGTH + 1, 'y');
  info.RelativeFileName = u"big-id.txt";
  info.FileIdentity = too_big.data();
  info.FileIdentityLength = static_cast<DWORD>(too_big.size());
  EXPECT_EQ(CfCreatePlaceholders(W(root_).c_str(), &info, 1, CF_CREATE_FLAG_NONE, nullptr), E_INVALIDARG);
  EXPECT_FALSE(fs::exists(root_ + "/big-id.txt"));
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

TEST_F(PlaceholderState, CreateRefusesEscapesAndExistingNames) {
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(MakeFile(root_, "a.txt", 1), S_OK);
  EXPECT_EQ(MakeFile(root_, "a.txt", 2), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  CF_PLACEHOLDER_CREATE_INFO info;
  info.RelativeFileName = u"..\\escape.txt";
  EXPECT_EQ(CfCreatePlaceholders(W(root_).c_str(), &info, 1, CF_CREATE_FLAG_NONE, nullptr), E_INVALIDARG);
  EXPECT_FALSE(fs::exists(base_ / "escape.txt"));
  // Outside any sync root nothing is created.
  fs::create_directories(base_ / "elsewhere");
  EXPECT_EQ(MakeFile((base_ / "elsewhere").string(), "b.txt", 1),
            HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
  // SUPERSEDE replaces the existing file.
  info.RelativeFileName = u"a.txt";
  info.FsMetadata.FileSize = 77;
  info.Flags = CF_PLACEHOLDER_CREATE_FLAG_SUPERSEDE;
  ASSERT_EQ(CfCreatePlaceholders(W(root_).c_str(), &info, 1, CF_CREATE_FLAG_NONE, nullptr), S_OK);
  EXPECT_EQ(fs::file_size(root_ + "/a.txt"), 77u);

  // A large batch ends as if made in order: each entry's own result, the
  // first failure in order returned, every entry processed.
  const int count = 200;
  std::vector<std::u16string> names(count);
  std::vector<CF_PLACEHOLDER_CREATE_INFO> infos(count);
  for (int i = 0; i < count; ++i) {
    names[i] = i == 37 ? u"a.txt" : u"n" + Utf8ToUtf16Lossy(std::to_string(i));
    infos[i].RelativeFileName = names[i].c_str();
    infos[i].FsMetadata.FileSize = i == 150 ? -1 : i;
    infos[i].Flags = CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC;
  }
  DWORD processed = 0;
  EXPECT_EQ(CfCreatePlaceholders(W(root_).c_str(), infos.data(), count, CF_CREATE_FLAG_NONE, &processed),
            HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(processed, static_cast<DWORD>(count));
  EXPECT_EQ(infos[150].Result, E_INVALIDARG);
  EXPECT_FALSE(fs::exists(root_ + "/n150"));
  for (int i : {0, 36, 38, 149, 199}) {
    EXPECT_EQ(infos[i].Result, S_OK) << i;
    EXPECT_EQ(fs::file_size(root_ + "/n" + std::to_string(i)), static_cast<uintmax_t>(i));
  }
}

// Items are prepared out of sight (a folder under a private name, a file
// unnamed) and put in place whole: neither a listing nor the change records
// show them half made or by any other name.
TEST_F(PlaceholderState, NewFoldersAppearWholeAndOnlyUnderTheirOwnNames) {
  ASSERT_EQ(Register(), S_OK);
  const int64_t born = FileTimeFromUnix(1600000000, 0);
  DirectoryChangeWatch watch;
  ASSERT_EQ(watch.Open(W(root_)), ERROR_SUCCESS);
  std::vector<uint64_t> buffer(8192);
  ASSERT_EQ(watch.Request(buffer.data(), 65536, true, 0x7F), ERROR_SUCCESS);

  // The lister watches for the folder being made right now, so it looks
  // while that folder's state is written.
  std::atomic<bool> done{false};
  std::atomic<int> making{0}, seen{0}, half_made{0};
  std::thread lister([&] {
    while (!done) {
      WIN32_FIND_DATAW find;
      Handle h = FindFirstFileW(W(root_ + "/d" + std::to_string(making.load())).c_str(), &find);
      if (h == INVALID_HANDLE_VALUE) continue;
      FindClose(h);
      ++seen;
      const bool placeholder = CfGetPlaceholderStateFromFindData(&find) & CF_PLACEHOLDER_STATE_PLACEHOLDER;
      if (!placeholder || find.ftCreationTime != born) ++half_made;
    }
  });
  constexpr int kFolders = 150;
  for (int i = 0; i < kFolders; ++i) {
    making = i;
    const std::u16string name = u"d" + Utf8ToUtf16Lossy(std::to_string(i));
    CF_PLACEHOLDER_CREATE_INFO info;
    info.RelativeFileName = name.c_str();
    info.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    info.FsMetadata.BasicInfo.CreationTime = born;
    ASSERT_EQ(CfCreatePlaceholders(W(root_).c_str(), &info, 1, CF_CREATE_FLAG_NONE, nullptr), S_OK);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // A second create of the same folder is refused and leaves nothing behind.
  CF_PLACEHOLDER_CREATE_INFO again;
  again.RelativeFileName = u"d0";
  again.FsMetadata.BasicInfo.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  EXPECT_EQ(CfCreatePlaceholders(W(root_).c_str(), &again, 1, CF_CREATE_FLAG_NONE, nullptr),
            HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  done = true;
  lister.join();
  // Files are prepared unnamed; their preparation is not reported either.
  constexpr int kFiles = 20, kBatch = 70;  // one at a time, and as one batch shared by two threads
  for (int i = 0; i < kFiles; ++i) ASSERT_EQ(MakeFile(root_, "f" + std::to_string(i), 1000 + i), S_OK);
  std::vector<std::u16string> batch_names;
  std::vector<CF_PLACEHOLDER_CREATE_INFO> batch(kBatch);
  for (int i = 0; i < kBatch; ++i) batch_names.push_back(u"b" + Utf8ToUtf16Lossy(std::to_string(i)));
  for (int i = 0; i < kBatch; ++i) {
    batch[i].RelativeFileName = batch_names[i].c_str();
    batch[i].FsMetadata.FileSize = 10 * i;
    batch[i].FsMetadata.BasicInfo.CreationTime = born + i;
    batch[i].FsMetadata.BasicInfo.LastWriteTime = born + 2 * i;
    batch[i].FsMetadata.BasicInfo.FileAttributes =
        i % 3 == 0 ? FILE_ATTRIBUTE_READONLY : i % 3 == 1 ? FILE_ATTRIBUTE_PINNED | FILE_ATTRIBUTE_HIDDEN : 0;
    batch[i].Flags = i % 2 ? CF_PLACEHOLDER_CREATE_FLAG_MARK_IN_SYNC : 0;
  }
  ASSERT_EQ(CfCreatePlaceholders(W(root_).c_str(), batch.data(), kBatch, CF_CREATE_FLAG_NONE, nullptr), S_OK);
  EXPECT_GT(seen.load(), 0);
  EXPECT_EQ(half_made.load(), 0);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(root_)) ++entries;
  EXPECT_EQ(entries, static_cast<size_t>(kFolders + kFiles + kBatch));

  // The records of an addition, until the watch is quiet.
  const auto read_added = [&](const std::function<void(const FILE_NOTIFY_EXTENDED_INFORMATION&, const std::string&)>&
                                  take) {
    for (auto quiet = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - quiet < std::chrono::milliseconds(300);) {
      if (watch.Wait(50) != kWaitSignalled) continue;
      DWORD bytes = 0;
      ASSERT_EQ(watch.GetResult(bytes), ERROR_SUCCESS);
      const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
      for (DWORD offset = 0; bytes > 0;) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_EXTENDED_INFORMATION*>(at + offset);
        if (record->Action == FILE_ACTION_ADDED)
          take(*record, Utf16ToUtf8Lossy(std::u16string(record->FileName, record->FileNameLength / 2)));
        if (record->NextEntryOffset == 0) break;
        offset += record->NextEntryOffset;
      }
      quiet = std::chrono::steady_clock::now();
      ASSERT_EQ(watch.Request(buffer.data(), 65536, true, 0x7F), ERROR_SUCCESS);
    }
  };
  std::multiset<std::string> added;
  read_added([&](const FILE_NOTIFY_EXTENDED_INFORMATION& record, const std::string& name) {
    EXPECT_TRUE(name[0] == 'd' || name[0] == 'f' || name[0] == 'b') << name;
    added.insert(name);
    // The record shows the new item as a look at it does.
    WIN32_FIND_DATAW find;
    const Handle h = FindFirstFileW(W(root_ + "/" + name).c_str(), &find);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    FindClose(h);
    EXPECT_EQ(record.FileAttributes, find.dwFileAttributes) << name;
    EXPECT_EQ(record.FileSize, (int64_t{find.nFileSizeHigh} << 32) | find.nFileSizeLow) << name;
    EXPECT_EQ(record.CreationTime, find.ftCreationTime) << name;
    EXPECT_EQ(record.LastModificationTime, find.ftLastWriteTime) << name;
    EXPECT_EQ(record.ReparsePointTag, find.dwReserved0) << name;
  });
  EXPECT_EQ(added.size(), static_cast<size_t>(kFolders + kFiles + kBatch));

  // A placeholder made in a plain folder the watch has not read yet is found
  // by the watch's look into the new folder. An application's file put at
  // its name after it is gone is reported as itself, not with the
  // placeholder's id: taken for the placeholder, it was never reported.
  ASSERT_TRUE(fs::create_directory(root_ + "/plain"));
  ASSERT_EQ(MakeFile(root_ + "/plain", "p", 5), S_OK);
  read_added([](const FILE_NOTIFY_EXTENDED_INFORMATION&, const std::string&) {});
  ASSERT_TRUE(fs::remove(root_ + "/plain/p"));
  const std::string outside = (base_ / "saved").string();
  std::ofstream(outside) << "the user's";
  struct stat saved;
  ASSERT_EQ(stat(outside.c_str(), &saved), 0);
  ASSERT_EQ(rename(outside.c_str(), (root_ + "/plain/p").c_str()), 0);
  int64_t reported_id = 0;
  read_added([&](const FILE_NOTIFY_EXTENDED_INFORMATION& record, const std::string& name) {
    if (name == "plain\\p") reported_id = record.FileId;
  });
  EXPECT_EQ(reported_id, static_cast<int64_t>(saved.st_ino));

  // What a process that died halfway left is cleared by the next listing;
  // what a live process is preparing is left alone.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string abandoned = root_ + "/.~corvane-tmp-" + std::to_string(child) + "-1-1";
  const std::string in_progress = root_ + "/.~corvane-tmp-" + std::to_string(getpid()) + "-1-1";
  ASSERT_TRUE(fs::create_directory(abandoned));
  ASSERT_TRUE(fs::create_directory(in_progress));
  WIN32_FIND_DATAW find;
  Handle h = FindFirstFileW(W(root_ + "/*").c_str(), &find);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FindClose(h);
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(in_progress));
  for (int i = 0; i < kFolders; ++i) EXPECT_EQ(added.count("d" + std::to_string(i)), 1u) << i;
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(added.count("f" + std::to_string(i)), 1u) << i;
  for (int i = 0; i < kBatch; ++i) EXPECT_EQ(added.count("b" + std::to_string(i)), 1u) << i;
}

TEST_F(PlaceholderState, ConvertPinRecursivelyAndUpdatePopulation) {
  ASSERT_EQ(Register(), S_OK);
  local::Client client(root_);
  ASSERT_EQ(client.CreateFolder("local"), 0u);
  ASSERT_EQ(client.CreateFile("local/doc.txt", "my words"), 0u);
  const auto open = [&](const std::string& relative) {
    return CreateFileW(W(root_ + "/" + relative).c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, INVALID_HANDLE_VALUE);
  };
  // An existing file becomes a full placeholder; a folder may await listing.
  // Its state changes write no data: a watch of content hears of none.
  DirectoryChangeWatch content;
  ASSERT_EQ(content.Open(W(root_)), ERROR_SUCCESS);
  std::vector<uint64_t> buffer(1024);
  ASSERT_EQ(content.Request(buffer.data(), 8192, true, FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE),
            ERROR_SUCCESS);
  Handle h = open("local/doc.txt");
  USN converted = 0;
  ASSERT_EQ(CfConvertToPlaceholder(h, u"d", 2, CF_CONVERT_FLAG_MARK_IN_SYNC, &converted, nullptr), S_OK);
  ASSERT_EQ(CfSetInSyncState(h, CF_IN_SYNC_STATE_NOT_IN_SYNC, CF_SET_IN_SYNC_FLAG_NONE, nullptr), S_OK);
  // The conversion's number is what the in-sync mark is checked against,
  // and the platform's own state changes do not move it.
  USN taken = converted;
  ASSERT_NE(converted, 0);
  ASSERT_EQ(CfSetInSyncState(h, CF_IN_SYNC_STATE_IN_SYNC, CF_SET_IN_SYNC_FLAG_NONE, &taken), S_OK);
  CloseHandle(h);
  EXPECT_EQ(content.Wait(300), kWaitTimeout);
  // A program's plain write since, of the same length, is a change the cloud
  // has not taken.
  {
    const int fd = ::open((root_ + "/local/doc.txt").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "MY", 2, 0), 2);
    ::close(fd);
    h = open("local/doc.txt");
    taken = converted;
    EXPECT_EQ(CfSetInSyncState(h, CF_IN_SYNC_STATE_IN_SYNC, CF_SET_IN_SYNC_FLAG_NONE, &taken),
              HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_NOT_IN_SYNC));
    ASSERT_EQ(CfSetInSyncState(h, CF_IN_SYNC_STATE_IN_SYNC, CF_SET_IN_SYNC_FLAG_NONE, nullptr), S_OK);
    CloseHandle(h);
  }
  h = open("local");
  ASSERT_EQ(CfConvertToPlaceholder(h, nullptr, 0, CF_CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION, nullptr, nullptr),
            S_OK);
  local::ItemState state;
  ASSERT_EQ(client.State("local/doc.txt", state), 0u);
  EXPECT_TRUE(state.placeholder && state.in_sync && state.FullyHydrated());
  ASSERT_EQ(client.State("local", state), 0u);
  EXPECT_TRUE(state.placeholder);
  EXPECT_FALSE(state.populated);
  ASSERT_EQ(CfUpdatePlaceholder(h, nullptr, nullptr, 0, nullptr, 0, CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION,
                                nullptr, nullptr),
            S_OK);
  ASSERT_EQ(client.State("local", state), 0u);
  EXPECT_TRUE(state.populated);
  // Pinning a folder reaches the placeholders below it.
  ASSERT_EQ(CfSetPinState(h, CF_PIN_STATE_PINNED, CF_SET_PIN_FLAG_RECURSE, nullptr), S_OK);
  CloseHandle(h);
  ASSERT_EQ(client.State("local/doc.txt", state), 0u);
  EXPECT_EQ(state.pin, CF_PIN_STATE_PINNED);
  EXPECT_TRUE(GetFileAttributesW(W(root_ + "/local/doc.txt").c_str()) & FILE_ATTRIBUTE_PINNED);
  ASSERT_EQ(client.Unpin("local"), 0u);
  ASSERT_EQ(client.State("local/doc.txt", state), 0u);
  EXPECT_EQ(state.pin, CF_PIN_STATE_UNPINNED);
  // Converting with DEHYDRATE frees the data: the content must come back
  // from the provider.
  h = open("local/doc.txt");
  EXPECT_EQ(CfUpdatePlaceholder(h, nullptr, nullptr, 0, nullptr, 0, CF_UPDATE_FLAG_VERIFY_IN_SYNC, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(CfConvertToPlaceholder(h, nullptr, 0, CF_CONVERT_FLAG_MARK_IN_SYNC | CF_CONVERT_FLAG_DEHYDRATE, nullptr,
                                   nullptr),
            S_OK);
  CloseHandle(h);
  ASSERT_EQ(client.State("local/doc.txt", state), 0u);
  EXPECT_TRUE(state.hydrated.empty());
  EXPECT_EQ(state.size, 8u);
  std::string data;
  EXPECT_EQ(client.ReadAll("local/doc.txt", data), ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
}

// One item's state held locked (a long transfer written under it) stalls
// only the items that share its lock stripe, not every item's state.
TEST_F(PlaceholderState, LockedItemLeavesItemsOfOtherStripesFree) {
  const auto open_file = [&](const std::string& name) {
    return open((root_ + "/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  };
  const int held = open_file("held");
  ASSERT_GE(held, 0);
  struct stat st;
  ASSERT_EQ(fstat(held, &st), 0);
  const local::LockStripe* held_stripe = &local::LockStripe::For(st);
  int other = -1;
  for (int i = 0; i < 16 && other < 0; ++i) {
    const int fd = open_file("other" + std::to_string(i));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    if (&local::LockStripe::For(st) != held_stripe) {
      other = fd;
    } else {
      close(fd);
    }
  }
  ASSERT_GE(other, 0);
  std::atomic<bool> locked{false};
  std::thread thread;
  {
    local::ItemStateLock lock(held);
    thread = std::thread([&] {
      local::ItemStateLock other_lock(other);
      locked = true;
    });
    for (int i = 0; i < 200 && !locked; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(locked.load());
  }
  thread.join();
  close(held);
  close(other);
}

TEST(FileTimes, ConvertExactlyBothWays) {
  for (int64_t s : {0LL, 1LL, 1700000000LL, -86400LL}) {
    for (int64_t ns : {0LL, 100LL, 999999900LL}) {
      const FILETIME t = FileTimeFromUnix(s, ns);
      int64_t s2 = 0, ns2 = 0;
      FileTimeToUnix(t, s2, ns2);
      EXPECT_EQ(s2, s);
      EXPECT_EQ(ns2, ns);
    }
  }
  EXPECT_EQ(FileTimeFromUnix(0, 0), kFileTimeUnixEpoch);
  // Times a program can set on tmpfs, far outside what a FILETIME holds.
  EXPECT_EQ(FileTimeFromUnix(99999999999999LL, 0), INT64_MAX);
  EXPECT_EQ(FileTimeFromUnix(-99999999999999LL, 0), 0);
  EXPECT_GT(FileTimeFromUnix(15032385535LL, 0), FileTimeFromUnix(1700000000LL, 0));  // ext4's last second
}

}  // namespace
}  // namespace corvane::platform::testing
