// Folder listings end to end: a provider host over the public interface, the
// local cloud-files platform on a temporary folder, and an application that
// lists through the platform's client.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "e2e_listing/remote_host.h"
#include "platform/files.h"
#include "platform/local/client.h"
#include "support/utf.h"

namespace corvane::e2e {
namespace {

using platform::local::Client;
using platform::local::ClientEntry;

int64_t FileTime(int64_t unix_seconds) { return (unix_seconds + 11644473600LL) * 10000000LL; }

RemoteItem File(const std::string& name, int64_t size, int32_t attributes = 0, int64_t when = 1700000000) {
  return {name, false, attributes, size, FileTime(when), FileTime(when + 60), FileTime(when + 120)};
}
RemoteItem Folder(const std::string& name, int64_t when = 1600000000) {
  return {name, true, 0, 0, FileTime(when), FileTime(when + 60), FileTime(when + 120)};
}

// What the platform itself says about the entries of a folder, without
// asking the provider: times and attributes by name.
std::map<std::string, platform::WIN32_FIND_DATAW> FindData(const std::string& native_folder) {
  std::map<std::string, platform::WIN32_FIND_DATAW> found;
  std::u16string pattern = Utf8ToUtf16Lossy(native_folder + "/*");
  for (char16_t& c : pattern) c = c == u'/' ? u'\\' : c;
  platform::WIN32_FIND_DATAW data;
  platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return found;
  do {
    if (data.cFileName != u"." && data.cFileName != u"..") found[Utf16ToUtf8Lossy(data.cFileName)] = data;
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  return found;
}

class ListingE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    char base_template[] = "/tmp/corvane-e2e-listing-XXXXXX";
    base_ = mkdtemp(base_template);
    std::filesystem::create_directories(base_ + "/state");
    std::filesystem::create_directories(root());
    setenv("CORVANE_STATE_DIR", (base_ + "/state").c_str(), 1);
    host_ = std::make_unique<RemoteHost>(root());
  }
  void TearDown() override {
    host_.reset();
    unsetenv("CORVANE_STATE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  std::string root() const { return base_ + "/root"; }

  void Start(bool on_demand) {
    ASSERT_EQ(host_->Config(std::string("WindowsCreatePlaceholdersOnDemand=") + (on_demand ? "true" : "false")), 0);
    ASSERT_EQ(host_->Call(HALVEX_METHOD_INSTALL), 0) << host_->LastError();
    ASSERT_EQ(host_->Activate(), 0) << host_->LastError();
  }
  std::vector<ClientEntry> List(const std::string& folder) {
    std::vector<ClientEntry> entries;
    const platform::DWORD error = Client(root()).List(folder, entries);
    EXPECT_EQ(error, 0u) << Client::ErrorText(error);
    return entries;
  }
  // An asynchronous answer leaves the first listing empty: the folder's
  // placeholders arrive once the host finalizes its task, one by one. A new
  // folder appears as a plain folder first and is finished (placeholder,
  // times, in sync) in steps, so wait for it to be marked in sync.
  static bool Finished(const std::vector<ClientEntry>& entries) {
    for (const ClientEntry& e : entries) {
      if (!(e.state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER)) return false;
      if (e.is_folder && !(e.state & platform::CF_PLACEHOLDER_STATE_IN_SYNC)) return false;
    }
    return true;
  }
  std::vector<ClientEntry> ListOnceFilled(const std::string& folder, size_t expected) {
    std::vector<ClientEntry> entries = List(folder);
    for (int waited = 0; (entries.size() < expected || !Finished(entries)) && waited < 10000; waited += 50) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      entries = List(folder);
    }
    return entries;
  }
  static bool WaitFor(const std::function<bool()>& done) {
    for (int waited = 0; !done() && waited < 30000; waited += 20)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
  }
  int EventsOf(std::initializer_list<int32_t> ids, int32_t code = 0) {
    int n = 0;
    for (const SeenEvent& e : host_->Events()) {
      for (int32_t id : ids) n += e.id == id && (code == 0 || e.code == code);
    }
    return n;
  }

  // A small remote tree: two files with distinct attributes, a folder with
  // one file of its own.
  void PutSmallTree() {
    host_->Put("\\", File("report.txt", 12345, HALVEX_ATTR_READONLY));
    host_->Put("\\", File("notes.md", 0, HALVEX_ATTR_HIDDEN, 1500000000));
    host_->Put("\\", Folder("docs"));
    host_->Put("\\docs", File("inner.bin", 5000));
  }
  // The application sees exactly the small tree, as placeholders with the
  // listed sizes, times and attributes, and no data on disk.
  void ExpectSmallTree() {
    const std::vector<ClientEntry> top = ListOnceFilled("", 3);
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0].name, "docs");
    EXPECT_TRUE(top[0].is_folder);
    EXPECT_EQ(top[1].name, "notes.md");
    EXPECT_EQ(top[1].size, 0u);
    EXPECT_TRUE(top[1].attributes & platform::FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(top[1].attributes & platform::FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(top[2].name, "report.txt");
    EXPECT_EQ(top[2].size, 12345u);
    EXPECT_TRUE(top[2].attributes & platform::FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(top[2].attributes & platform::FILE_ATTRIBUTE_HIDDEN);
    for (const ClientEntry& e : top) EXPECT_TRUE(e.state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER) << e.name;

    auto found = FindData(root());
    EXPECT_EQ(found["report.txt"].ftCreationTime, FileTime(1700000000));
    EXPECT_EQ(found["report.txt"].ftLastWriteTime, FileTime(1700000120));
    EXPECT_EQ(found["notes.md"].ftCreationTime, FileTime(1500000000));
    EXPECT_EQ(found["notes.md"].ftLastWriteTime, FileTime(1500000120));
    // A folder's write time moves when its own items are created in it.
    EXPECT_EQ(found["docs"].ftCreationTime, FileTime(1600000000));

    platform::local::ItemState state;
    ASSERT_EQ(Client(root()).State("report.txt", state), 0u);
    EXPECT_TRUE(state.placeholder);
    EXPECT_TRUE(state.hydrated.empty());

    const std::vector<ClientEntry> inner = ListOnceFilled("docs", 1);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].name, "inner.bin");
    EXPECT_EQ(inner[0].size, 5000u);
  }

  std::string base_;
  std::unique_ptr<RemoteHost> host_;
};

TEST_F(ListingE2e, ActivationPopulatesTheWholeTreeOnceWithTheListedProperties) {
  PutSmallTree();
  Start(false);
  EXPECT_EQ(host_->ListRequests("\\"), 1);
  EXPECT_EQ(host_->ListRequests("\\docs"), 1);
  ExpectSmallTree();
  ExpectSmallTree();  // listing again is answered locally
  EXPECT_EQ(host_->ListRequests("\\"), 1);
  EXPECT_EQ(host_->ListRequests("\\docs"), 1);
  EXPECT_EQ(EventsOf({HALVEX_EVENT_ERROR}), 0);
}

class OnDemandListing : public ListingE2e, public ::testing::WithParamInterface<RemoteHost::Answer> {};

TEST_P(OnDemandListing, ApplicationListingAsksTheHostOncePerFolder) {
  host_->set_answer(GetParam());
  PutSmallTree();
  Start(true);
  EXPECT_EQ(host_->ListRequests("\\docs"), 0);
  ExpectSmallTree();
  EXPECT_EQ(host_->ListRequests("\\"), 1);
  EXPECT_EQ(host_->ListRequests("\\docs"), 1);
  ExpectSmallTree();
  EXPECT_EQ(host_->ListRequests("\\"), 1);
  EXPECT_EQ(host_->ListRequests("\\docs"), 1);
  EXPECT_EQ(EventsOf({HALVEX_EVENT_ERROR}), 0);
}

// More items than one batch, answered both ways: every one arrives, once.
TEST_P(OnDemandListing, ListingOfSeveralBatchesArrivesWhole) {
  host_->set_answer(GetParam());
  for (int i = 0; i < 2500; ++i) host_->Put("\\", File("item" + std::to_string(i) + ".dat", i));
  Start(true);
  const std::vector<ClientEntry> entries = ListOnceFilled("", 2500);
  ASSERT_EQ(entries.size(), 2500u);
  std::set<std::string> names;
  for (const ClientEntry& e : entries) {
    names.insert(e.name);
    EXPECT_EQ("item" + std::to_string(e.size) + ".dat", e.name);
  }
  EXPECT_EQ(names.size(), 2500u);
  EXPECT_EQ(host_->ListRequests("\\"), 1);
}

INSTANTIATE_TEST_SUITE_P(Answers, OnDemandListing,
                         ::testing::Values(RemoteHost::Answer::kSynchronous, RemoteHost::Answer::kAsynchronous),
                         [](const auto& info) {
                           return info.param == RemoteHost::Answer::kSynchronous ? "Synchronous" : "Asynchronous";
                         });

// Names the platform cannot hold, or that would reach outside their folder,
// are refused one by one; the rest of the listing stays.
TEST_F(ListingE2e, InvalidItemsAreSkippedAndTheRestCreated) {
  for (const char* bad : {"a:b.txt", "what?.txt", "x|y", "..\\escape.txt", "sub/evil.txt", ""}) {
    host_->Put("\\", File(bad, 10));
  }
  host_->Put("\\", File("bad-attributes.txt", 10, 0x1));  // not a component attribute bit
  // Office's owner and lock files are accepted and never made.
  host_->Put("\\", File("~$report.docx", 162));
  host_->Put("\\", File("orders.laccdb", 64));
  host_->Put("\\", File("good1.txt", 1));
  host_->Put("\\", Folder("good-folder"));
  host_->Put("\\", File("good2.txt", 2));
  ASSERT_EQ(host_->Config("TrackOfficeLockFiles=true"), 0);
  Start(true);
  const std::vector<ClientEntry> entries = List("");
  std::vector<std::string> names;
  for (const ClientEntry& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"good-folder", "good1.txt", "good2.txt"}));
  // Each bad name is refused by ListFile itself or reported when processed.
  EXPECT_EQ(EventsOf({HALVEX_EVENT_ERROR}, HALVEX_ERR_INVALID_ITEM_NAME) + host_->refused(), 6);
  EXPECT_EQ(EventsOf({HALVEX_EVENT_ERROR}, HALVEX_ERR_INVALID_ITEM_ATTRIBUTES), 1);
  EXPECT_FALSE(std::filesystem::exists(base_ + "/escape.txt"));
  EXPECT_FALSE(std::filesystem::exists(root() + "/sub"));
}

// Remote changes through the methods reach the placeholder and are not
// echoed back to the host as local changes, however the watcher splits the
// records of each change.
TEST_F(ListingE2e, RemoteCreateAndUpdateChangeThePlaceholderWithoutLocalEvents) {
  host_->Put("\\", Folder("docs"));
  Start(false);
  ASSERT_EQ(host_->Apply(HALVEX_METHOD_CREATE_FILE, "/docs/new.txt", File("", 100, HALVEX_ATTR_READONLY)), 0)
      << host_->LastError();
  ASSERT_EQ(host_->Apply(HALVEX_METHOD_CREATE_FOLDER, "\\fresh", Folder("")), 0) << host_->LastError();
  std::vector<ClientEntry> inner = List("docs");
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].size, 100u);
  EXPECT_TRUE(inner[0].attributes & platform::FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(inner[0].state & platform::CF_PLACEHOLDER_STATE_PLACEHOLDER);

  ASSERT_EQ(host_->Apply(HALVEX_METHOD_UPDATE_FILE, "\\docs\\new.txt", File("", 4096 * 3 + 7, 0, 1800000000)), 0)
      << host_->LastError();
  ASSERT_EQ(host_->Apply(HALVEX_METHOD_UPDATE_FOLDER, "\\fresh", Folder("", 1750000000)), 0) << host_->LastError();
  inner = List("docs");
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].size, 4096u * 3 + 7);
  EXPECT_FALSE(inner[0].attributes & platform::FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(FindData(root() + "/docs")["new.txt"].ftLastWriteTime, FileTime(1800000120));
  EXPECT_EQ(FindData(root())["fresh"].ftLastWriteTime, FileTime(1750000120));
  platform::local::ItemState state;
  ASSERT_EQ(Client(root()).State("docs/new.txt", state), 0u);
  EXPECT_TRUE(state.in_sync);
  EXPECT_TRUE(state.hydrated.empty());

  // An application's new file is reported after every record before it.
  ASSERT_EQ(Client(root()).CreateFile("marker.txt", "m"), 0u);
  ASSERT_TRUE(WaitFor([&] { return EventsOf({HALVEX_EVENT_CREATE_FILE}) > 0; }));
  // The marker's own write may follow as an update: it is an application's.
  std::vector<std::string> local_events;
  for (const SeenEvent& e : host_->Events()) {
    if ((e.id == HALVEX_EVENT_CREATE_FILE || e.id == HALVEX_EVENT_UPDATE_FILE || e.id == HALVEX_EVENT_CREATE_FOLDER ||
         e.id == HALVEX_EVENT_UPDATE_FOLDER) && e.path != "\\marker.txt")
      local_events.push_back(std::to_string(e.id) + " " + e.path + " " + std::to_string(e.code));
  }
  EXPECT_EQ(local_events, std::vector<std::string>{});
  EXPECT_EQ(EventsOf({HALVEX_EVENT_ERROR}), 0);
}

}  // namespace
}  // namespace corvane::e2e
