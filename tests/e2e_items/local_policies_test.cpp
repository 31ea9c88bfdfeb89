// Local items the host must never hear of: excluded, hidden and temporary
// files, and Office lock files with the document they hold back.
#include <fstream>

#include "platform/files.h"
#include "provider_host.h"

namespace e2e {
namespace {

using corvane::platform::CF_PIN_STATE_EXCLUDED;

bool Mentions(const std::vector<Event>& events, const std::string& fragment) {
  for (const Event& e : events) {
    if (e.path.find(fragment) != std::string::npos || e.new_path.find(fragment) != std::string::npos) return true;
  }
  return false;
}

// Creates `name` outside the root with stored attributes, then moves it in,
// so the watcher never sees it without them.
void MoveInWithAttributes(corvane::platform::local::Client& client, const std::string& outside,
                          const std::string& name, uint32_t attributes) {
  ASSERT_EQ(client.CreateFile(outside, "data"), 0u);
  std::u16string windows;
  for (char c : outside) windows.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  ASSERT_TRUE(corvane::platform::SetFileAttributesW(windows.c_str(), attributes));
  ASSERT_EQ(client.Rename(outside, name, false), 0u);
}

TEST_F(ItemsTest, ExcludedHiddenAndTemporaryFilesNeverReachTheHost) {
  Provider& p = Start();
  ASSERT_EQ(p.Config("ExcludedFiles=*.tmp|*.bak \\build\\*"), 0);
  ASSERT_EQ(p.Config("ExcludeTemporaryFiles=True"), 0);

  ASSERT_EQ(client_->CreateFile("a.tmp", "t"), 0u);
  ASSERT_EQ(client_->CreateFile("b.bak", "b"), 0u);
  ASSERT_EQ(client_->CreateFile(".hidden", "h"), 0u);
  ASSERT_EQ(client_->CreateFolder("build"), 0u);
  ASSERT_EQ(client_->CreateFile("build/out.o", "o"), 0u);
  MoveInWithAttributes(*client_, base_ + "/temp.dat", "temp.dat", corvane::platform::FILE_ATTRIBUTE_TEMPORARY);
  MoveInWithAttributes(*client_, base_ + "/veiled.dat", "veiled.dat", corvane::platform::FILE_ATTRIBUTE_HIDDEN);
  ASSERT_EQ(client_->CreateFile("keep.txt", "k"), 0u);
  ASSERT_EQ(client_->CreateFolder("docs"), 0u);
  ASSERT_EQ(client_->CreateFile("docs/note.tmp.txt", "n"), 0u);
  // A hidden folder's content is not hidden itself, but stays local with it
  // (what git init makes); the host never had the folder to put it in.
  std::filesystem::create_directories(root_ + "/docs/.git/refs/heads");
  std::ofstream(root_ + "/docs/.git/HEAD") << "ref: refs/heads/main\n";
  std::ofstream(root_ + "/docs/.git/refs/heads/main") << "0123abcd\n";

  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\keep.txt"));
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\docs\\note.tmp.txt"));
  // Later changes to excluded items stay local too.
  ASSERT_EQ(client_->WriteAll("a.tmp", "changed"), 0u);
  ASSERT_EQ(client_->Delete(".hidden", false), 0u);
  ASSERT_EQ(client_->Rename("b.bak", "c.bak", false), 0u);
  Settle();

  const std::vector<Event> events = p.Events();
  for (const char* excluded : {"a.tmp", "bak", "hidden", "out.o", "temp.dat", "veiled.dat", ".git"}) {
    EXPECT_FALSE(Mentions(events, excluded)) << excluded;
  }
  // The folder itself is not below \build, so only its content stays local.
  EXPECT_TRUE(Mentions(events, "\\build"));
  EXPECT_TRUE(Mentions(events, "\\docs"));
  for (const char* marked : {"a.tmp", "temp.dat", "veiled.dat"}) {
    EXPECT_EQ(StateOf(marked).pin, CF_PIN_STATE_EXCLUDED) << marked;
  }
  // Excluded files keep their local data.
  std::string data;
  ASSERT_EQ(client_->ReadAll("a.tmp", data), 0u);
  EXPECT_EQ(data, "changed");

  // Changed while stopped and seen at the start: still local.
  Stop();
  std::ofstream(root_ + "/docs/.git/HEAD.lock") << "ref: refs/heads/topic\n";
  ASSERT_EQ(rename((root_ + "/docs/.git/HEAD.lock").c_str(), (root_ + "/docs/.git/HEAD").c_str()), 0);
  std::ofstream(root_ + "/docs/.git/refs/heads/topic") << "4567ef\n";
  ASSERT_EQ(client_->CreateFile("docs/after.txt", "a"), 0u);
  Provider& again = Restart({"ExcludeTemporaryFiles=True"});
  ASSERT_TRUE(again.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\docs\\after.txt"));
  Settle();
  EXPECT_FALSE(Mentions(again.Events(), ".git"));
}

TEST_F(ItemsTest, OfficeLockFileHoldsBackItsDocumentUntilRemoved) {
  Provider& p = Start({{"\\docs", {true, ""}}, {"\\docs\\report.docx", {false, "version one"}}});
  ASSERT_EQ(p.Config("TrackOfficeLockFiles=True"), 0);
  std::string data;
  ASSERT_EQ(client_->ReadAll("docs/report.docx", data), 0u);

  ASSERT_EQ(client_->CreateFile("docs/~$report.docx", "owner"), 0u);
  Settle();
  ASSERT_EQ(client_->WriteAll("docs/report.docx", "version two, longer"), 0u);
  Settle();
  EXPECT_EQ(p.Count(HALVEX_EVENT_UPDATE_FILE, "\\docs\\report.docx"), 0u);

  ASSERT_EQ(client_->Delete("docs/~$report.docx", false), 0u);
  ASSERT_TRUE(p.WaitFor([](const std::vector<Event>& all) {
    for (const Event& e : all) {
      if (e.id == HALVEX_EVENT_UPDATE_FILE && e.path == "\\docs\\report.docx" && (e.flags & 0x40)) return true;
    }
    return false;
  }));
  Settle();
  // The unlock's own placeholder update is not reported again; the one
  // report carries the document's size, not its lock file's.
  EXPECT_EQ(p.Count(HALVEX_EVENT_UPDATE_FILE, "\\docs\\report.docx"), 1u);
  for (const Event& e : p.Events()) {
    if (e.id == HALVEX_EVENT_UPDATE_FILE && e.path == "\\docs\\report.docx") {
      EXPECT_EQ(e.size, 19);
    }
  }

  // Unlocked: the next edit is reported as usual.
  const size_t updates = p.Count(HALVEX_EVENT_UPDATE_FILE, "\\docs\\report.docx");
  ASSERT_EQ(client_->WriteAll("docs/report.docx", "version three"), 0u);
  EXPECT_TRUE(p.WaitFor([updates](const std::vector<Event>& all) {
    size_t n = 0;
    for (const Event& e : all) n += e.id == HALVEX_EVENT_UPDATE_FILE && e.path == "\\docs\\report.docx";
    return n > updates;
  }));
  // The document's data is what the application wrote, whatever the lock did.
  ASSERT_EQ(client_->ReadAll("docs/report.docx", data), 0u);
  EXPECT_EQ(data, "version three");

  // Folder walks skip lock files too: one in a folder moved in, and one
  // made while the provider was stopped.
  const std::string outside = base_ + "/plans";
  std::filesystem::create_directories(outside);
  for (const char* name : {"plan.docx", "~$plan.docx"}) {
    FILE* f = fopen((outside + "/" + name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("x", f);
    fclose(f);
  }
  std::filesystem::rename(outside, root_ + "/plans");
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\plans\\plan.docx"));
  Settle();
  EXPECT_FALSE(Mentions(p.Events(), "~$"));
  Stop();
  ASSERT_EQ(client_->CreateFile("~$offline.docx", "owner"), 0u);
  Restart({"TrackOfficeLockFiles=True"});
  Settle();
  EXPECT_FALSE(Mentions(provider_->Events(), "~$"));
}

}  // namespace
}  // namespace e2e
