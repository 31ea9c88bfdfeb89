// What happens to the sync root while no provider runs: changes made then
// are reported at the next activation, an install outlives the process, and
// uninstall leaves no empty folders behind.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "provider_host.h"

namespace e2e {
namespace {

constexpr const char* kChildRootVariable = "CORVANE_E2E_ITEMS_CHILD_ROOT";

TEST_F(ItemsTest, ChangesMadeWhileStoppedAreReportedAtActivation) {
  std::map<std::string, RemoteItem> remote = {{"\\a.txt", {false, "alpha"}},
                                              {"\\whole.txt", {false, "whole"}},
                                              {"\\kept.txt", {false, "kept"}},
                                              {"\\m1.txt", {false, "m"}},
                                              {"\\m2.txt", {false, "m"}},
                                              {"\\m3.txt", {false, "m"}},
                                              {"\\cloud.txt", {false, "only on the server"}},
                                              {"\\f", {true, ""}},
                                              {"\\k1", {true, ""}},
                                              {"\\k2", {true, ""}},
                                              {"\\k3", {true, ""}},
                                              {"\\d", {true, ""}},
                                              {"\\d\\x.txt", {false, "x"}},
                                              {"\\d\\y.txt", {false, "y"}}};
  Start(remote);
  std::string data;
  ASSERT_EQ(client_->ReadAll("a.txt", data), 0u);
  ASSERT_EQ(client_->ReadAll("d/x.txt", data), 0u);
  ASSERT_EQ(client_->ReadAll("kept.txt", data), 0u);
  Stop();

  // A copy that keeps the extended attributes names the same item: it is
  // new, and the original stays where the host has it.
  ASSERT_EQ(std::system(("cp -a '" + root_ + "/kept.txt' '" + root_ + "/kept-copy.txt'").c_str()), 0);

  // A folder renamed while stopped, one of its files renamed in it too.
  ASSERT_EQ(rename((root_ + "/d").c_str(), (root_ + "/e").c_str()), 0);
  ASSERT_EQ(rename((root_ + "/e/y.txt").c_str(), (root_ + "/e/z.txt").c_str()), 0);

  ASSERT_EQ(client_->CreateFile("copied.txt", "copy"), 0u);
  ASSERT_EQ(client_->Rename("a.txt", "f/b.txt", false), 0u);
  // Moved away and a new file made at the old name; three, so that a walk
  // in any listing order meets a new file before the move of its name.
  for (const std::string name : {"m1.txt", "m2.txt", "m3.txt"}) {
    ASSERT_EQ(client_->Rename(name, "f/" + name, false), 0u);
    ASSERT_EQ(client_->CreateFile(name, "new at the old name"), 0u);
  }
  // The same with folders, a file in each new one.
  for (const std::string name : {"k1", "k2", "k3"}) {
    ASSERT_EQ(client_->Rename(name, "f/" + name, false), 0u);
    ASSERT_EQ(client_->CreateFolder(name), 0u);
    ASSERT_EQ(client_->CreateFile(name + "/new.txt", "new"), 0u);
  }
  ASSERT_EQ(client_->CreateFolder("newdir"), 0u);
  ASSERT_EQ(client_->CreateFile("newdir/n.txt", "n"), 0u);

  // No listing at this start: what the host is told must stand on its own.
  Provider& p = Restart({"WindowsCreatePlaceholdersOnDemand=true"});
  EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\copied.txt"));
  EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\kept-copy.txt"));
  EXPECT_EQ(p.Count(HALVEX_EVENT_RENAME_FILE, "\\kept.txt"), 0u);
  EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FOLDER, "\\newdir"));
  EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\newdir\\n.txt"));
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\a.txt"));
  for (const Event& e : p.Events()) {
    if (e.id == HALVEX_EVENT_RENAME_FILE && e.path == "\\a.txt") {
      EXPECT_EQ(e.new_path, "\\f\\b.txt");
    }
  }
  EXPECT_EQ(p.Count(HALVEX_EVENT_CREATE_FILE, "\\f\\b.txt"), 0u);
  // Each new file at a moved file's old name reaches the host after the
  // move, or the host would move it along.
  for (const std::string path : {"\\m1.txt", "\\m2.txt", "\\m3.txt", "\\k1", "\\k2", "\\k3"}) {
    const bool folder = path[1] == 'k';
    const int32_t created = folder ? HALVEX_EVENT_CREATE_FOLDER : HALVEX_EVENT_CREATE_FILE;
    ASSERT_TRUE(p.WaitForEvent(created, path));
    if (folder) {
      EXPECT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, path + "\\new.txt"));
    }
    const std::vector<Event> seen = p.Events();
    const auto first = [&](int32_t id) {
      return std::find_if(seen.begin(), seen.end(), [&](const Event& e) { return e.id == id && e.path == path; });
    };
    EXPECT_LT(first(folder ? HALVEX_EVENT_RENAME_FOLDER : HALVEX_EVENT_RENAME_FILE), first(created)) << path;
  }
  EXPECT_EQ(p.Count(HALVEX_EVENT_DELETE_FILE), 0u);
  // The folder's rename, once; its files move with it, only the file
  // renamed inside it on its own, under the folder's new name.
  ASSERT_TRUE(p.WaitFor([](const std::vector<Event>& all) {
    for (const Event& e : all) {
      if (e.new_path == "\\e\\z.txt") return true;
    }
    return false;
  }));
  size_t folder_renames = 0;
  for (const Event& e : p.Events()) {
    if (e.id == HALVEX_EVENT_RENAME_FOLDER && e.path.rfind("\\k", 0) != 0) {
      ++folder_renames;
      EXPECT_EQ(e.path + ">" + e.new_path, "\\d>\\e");
    }
    if (e.id == HALVEX_EVENT_RENAME_FILE && e.path != "\\a.txt" && e.path.rfind("\\m", 0) != 0) {
      EXPECT_EQ(e.path + ">" + e.new_path, "\\e\\y.txt>\\e\\z.txt");
    }
    const bool created = e.id == HALVEX_EVENT_CREATE_FOLDER || e.id == HALVEX_EVENT_CREATE_FILE;
    EXPECT_FALSE(created && (e.path.rfind("\\d", 0) == 0 || e.path.rfind("\\e", 0) == 0)) << e.path;
  }
  EXPECT_EQ(folder_renames, 1u);
  // The new files became placeholders the host now owns.
  EXPECT_TRUE(StateOf("copied.txt").placeholder);
  EXPECT_TRUE(StateOf("newdir/n.txt").placeholder);
  // Reported once: a second start finds nothing new, and its listing does
  // not bring the old folder back.
  Restart();
  Settle();
  for (const Event& e : provider_->Events()) {
    EXPECT_TRUE(e.id != HALVEX_EVENT_RENAME_FILE && e.id != HALVEX_EVENT_RENAME_FOLDER && e.path != "\\copied.txt")
        << e.id << " " << e.path;
  }
  EXPECT_FALSE(Exists("d"));
  EXPECT_TRUE(Exists("e/x.txt"));

  // A folder renamed while running: its content's identities follow too.
  ASSERT_EQ(rename((root_ + "/e").c_str(), (root_ + "/g").c_str()), 0);
  ASSERT_TRUE(provider_->WaitForEvent(HALVEX_EVENT_RENAME_FOLDER, "\\e"));
  Settle();
  Restart({"WindowsCreatePlaceholdersOnDemand=true"});
  Settle();
  for (const Event& e : provider_->Events()) {
    EXPECT_TRUE(e.id != HALVEX_EVENT_RENAME_FILE && e.id != HALVEX_EVENT_RENAME_FOLDER) << e.id << " " << e.path;
  }

  // Files moved while stopped into a new folder the host then refuses, and
  // with it their renames: a file all here stops claiming to be in sync; one
  // whose data is only on the server goes back where the server has it.
  ASSERT_EQ(client_->ReadAll("whole.txt", data), 0u);
  Stop();
  ASSERT_EQ(mkdir((root_ + "/box").c_str(), 0755), 0);
  ASSERT_EQ(rename((root_ + "/whole.txt").c_str(), (root_ + "/box/whole.txt").c_str()), 0);
  ASSERT_EQ(rename((root_ + "/cloud.txt").c_str(), (root_ + "/box/cloud.txt").c_str()), 0);
  Provider& refusing = Restart({}, {"\\box", "\\box\\whole.txt", "\\box\\cloud.txt"});
  ASSERT_TRUE(refusing.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\cloud.txt"));
  Settle();
  EXPECT_FALSE(StateOf("box/whole.txt").in_sync);
  EXPECT_TRUE(Exists("cloud.txt"));
  ASSERT_EQ(client_->ReadAll("cloud.txt", data), 0u);
  EXPECT_EQ(data, "only on the server");

  // A folder moved while stopped into a new one, and a file moved into it:
  // the host refuses the folder's move, and the folder goes back (what it
  // holds is partly only on the server) once the new folder is walked; the
  // file's move into it is still told, not its delete.
  Stop();
  ASSERT_EQ(mkdir((root_ + "/shelf").c_str(), 0755), 0);
  ASSERT_EQ(rename((root_ + "/f").c_str(), (root_ + "/shelf/f-moved").c_str()), 0);
  ASSERT_EQ(rename((root_ + "/copied.txt").c_str(), (root_ + "/shelf/f-moved/copied.txt").c_str()), 0);
  Provider& again = Restart({}, {"\\shelf\\f-moved"});
  ASSERT_TRUE(again.WaitForEvent(HALVEX_EVENT_RENAME_FOLDER, "\\f"));
  ASSERT_TRUE(Exists("f/copied.txt"));
  EXPECT_TRUE(again.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\copied.txt"));
  Settle();
  EXPECT_EQ(again.Count(HALVEX_EVENT_DELETE_FILE, "\\copied.txt"), 0u);
  EXPECT_TRUE(StateOf("f/copied.txt").in_sync);
  // The same with a folder all here, which stays where the user put it when
  // the host refuses its move: the file moved into it is not told as deleted.
  Stop();
  ASSERT_EQ(rename((root_ + "/k2").c_str(), (root_ + "/k2-moved").c_str()), 0);
  ASSERT_EQ(rename((root_ + "/kept.txt").c_str(), (root_ + "/k2-moved/kept.txt").c_str()), 0);
  Provider& stays = Restart({}, {"\\k2-moved"});
  ASSERT_TRUE(stays.WaitForEvent(HALVEX_EVENT_RENAME_FOLDER, "\\k2"));
  Settle();
  EXPECT_EQ(stays.Count(HALVEX_EVENT_DELETE_FILE, "\\kept.txt"), 0u);

  // A new file whose create the host refused, left alone since: the next
  // start offers it again; a host without the item that says so to the
  // update gets it as new.
  stays.refuse = {"\\unsent.txt"};
  std::ofstream(root_ + "/unsent.txt") << "unsent";
  ASSERT_TRUE(stays.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\unsent.txt"));
  Settle();
  ASSERT_FALSE(StateOf("unsent.txt").in_sync);
  Provider& last = Restart({}, {}, [](Provider::Handler answer) -> Provider::Handler {
    return [answer](Event& e, intptr_t* params, int32_t* sizes) {
      if (e.id == HALVEX_EVENT_UPDATE_FILE && e.path == "\\unsent.txt") {
        params[e.count - 1] = HALVEX_ERR_ITEM_NOT_FOUND;
        return 0;
      }
      return answer(e, params, sizes);
    };
  });
  EXPECT_TRUE(last.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\unsent.txt"));
  EXPECT_TRUE(last.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\unsent.txt"));
  Settle();
  EXPECT_TRUE(StateOf("unsent.txt").in_sync);
  // Then an edit of it the host refuses: the next start offers the edit,
  // as an update of what the host has.
  last.refuse = {"\\unsent.txt"};
  ASSERT_EQ(client_->Write("unsent.txt", 0, "UN"), 0u);
  ASSERT_TRUE(last.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\unsent.txt"));
  Settle();
  ASSERT_FALSE(StateOf("unsent.txt").in_sync);
  Provider& after = Restart();
  EXPECT_TRUE(after.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\unsent.txt"));
  Settle();
  EXPECT_TRUE(StateOf("unsent.txt").in_sync);
  EXPECT_EQ(after.Count(HALVEX_EVENT_CREATE_FILE, "\\unsent.txt"), 0u);

  // A file of a folder moved while stopped, renamed after the start, and the
  // folder moved on before that record is read: the file's rename still
  // reaches the host (before, the file was left out of the cache at the
  // start, and its rename was lost with the folder gone from its path).
  Stop();
  ASSERT_EQ(rename((root_ + "/g").c_str(), (root_ + "/g2").c_str()), 0);
  Provider& moved = Restart({"WindowsCreatePlaceholdersOnDemand=true"});
  ASSERT_TRUE(moved.WaitForEvent(HALVEX_EVENT_RENAME_FOLDER, "\\g"));
  Settle();
  ASSERT_EQ(rename((root_ + "/g2/x.txt").c_str(), (root_ + "/g2/w.txt").c_str()), 0);
  ASSERT_EQ(rename((root_ + "/g2").c_str(), (root_ + "/g3").c_str()), 0);
  EXPECT_TRUE(moved.WaitForEvent(HALVEX_EVENT_RENAME_FOLDER, "\\g2"));
  EXPECT_TRUE(moved.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\g2\\x.txt"));
  Settle();
  EXPECT_EQ(moved.Count(HALVEX_EVENT_CREATE_FILE, "\\g3\\w.txt"), 0u);
  EXPECT_TRUE(StateOf("g3/w.txt").in_sync);

  // The folder moved again while stopped and a file in it deleted, and the
  // host answers the move late: the delete is told once the move is taken,
  // under the folder's new name (it waited for the next start).
  Stop();
  ASSERT_EQ(rename((root_ + "/g3").c_str(), (root_ + "/g4").c_str()), 0);
  ASSERT_EQ(unlink((root_ + "/g4/w.txt").c_str()), 0);
  std::atomic<int64_t> held{0};
  Provider& late = Restart({"WindowsCreatePlaceholdersOnDemand=true"}, {}, [&held](Provider::Handler answer) -> Provider::Handler {
    return [answer, &held](Event& e, intptr_t* params, int32_t* sizes) {
      const int32_t rc = answer(e, params, sizes);
      if (e.id == HALVEX_EVENT_RENAME_FOLDER && e.path == "\\g3" && held == 0) {
        held = e.task_id;
        params[e.count - 1] = HALVEX_ERR_PENDING;
      }
      return rc;
    };
  });
  ASSERT_TRUE(late.WaitFor([&](const std::vector<Event>&) { return held != 0; }));
  Settle();
  EXPECT_EQ(late.Count(HALVEX_EVENT_DELETE_FILE), 0u);
  ASSERT_EQ(late.Finalize(held, 0), 0);
  EXPECT_TRUE(late.WaitForEvent(HALVEX_EVENT_DELETE_FILE, "\\g4\\w.txt"));
  Settle();
  EXPECT_EQ(late.Count(HALVEX_EVENT_DELETE_FILE), 1u);
  EXPECT_TRUE(StateOf("g4/z.txt").in_sync);

  // The same, the host answering the move "retry": the delete is told once
  // the move is taken on its retry (before, it waited for the next start).
  // A file moved into the folder and written while stopped is told moved
  // then too, and its new content after that (before, the activation's
  // listing made it again at its old name, and it reached the host as new).
  // So is a file renamed inside the folder and written.
  std::ofstream(root_ + "/g4/v.txt") << "v";
  std::ofstream(root_ + "/g4/u.txt") << "u";
  ASSERT_TRUE(late.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\g4\\v.txt"));
  ASSERT_TRUE(late.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\g4\\u.txt"));
  Settle();
  Stop();
  ASSERT_EQ(rename((root_ + "/cloud.txt").c_str(), (root_ + "/g4/in.txt").c_str()), 0);
  std::ofstream(root_ + "/g4/in.txt", std::ios::app) << " and more";
  ASSERT_EQ(rename((root_ + "/g4/u.txt").c_str(), (root_ + "/g4/u2.txt").c_str()), 0);
  std::ofstream(root_ + "/g4/u2.txt", std::ios::app) << " and more";
  ASSERT_EQ(rename((root_ + "/g4").c_str(), (root_ + "/g5").c_str()), 0);
  ASSERT_EQ(unlink((root_ + "/g5/v.txt").c_str()), 0);
  std::atomic<bool> asked_again{false};
  Provider& retried = Restart({}, {}, [&asked_again](Provider::Handler answer) -> Provider::Handler {
    return [answer, &asked_again](Event& e, intptr_t* params, int32_t* sizes) {
      if (e.id == HALVEX_EVENT_RENAME_FOLDER && e.path == "\\g4" && !asked_again.exchange(true)) {
        params[e.count - 1] = HALVEX_ERR_RETRY;
        return 0;
      }
      return answer(e, params, sizes);
    };
  });
  EXPECT_TRUE(retried.WaitForEvent(HALVEX_EVENT_DELETE_FILE, "\\g5\\v.txt"));
  ASSERT_TRUE(retried.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\cloud.txt"));
  EXPECT_TRUE(retried.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\g5\\in.txt"));
  ASSERT_TRUE(retried.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\g5\\u.txt"));
  EXPECT_TRUE(retried.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\g5\\u2.txt"));
  Settle();
  EXPECT_EQ(retried.Count(HALVEX_EVENT_RENAME_FOLDER, "\\g4"), 2u);
  EXPECT_EQ(retried.Count(HALVEX_EVENT_DELETE_FILE), 1u);
  EXPECT_EQ(retried.Count(HALVEX_EVENT_CREATE_FILE, "\\g5\\in.txt"), 0u);
  EXPECT_EQ(retried.Count(HALVEX_EVENT_CREATE_FILE, "\\g5\\u2.txt"), 0u);
  EXPECT_FALSE(Exists("cloud.txt"));

  // A rename the host answers late, cancelled by a stop and carried out by
  // the host all the same, and the file deleted while stopped: the delete is
  // told under the name the host moved it to (before, under the old name,
  // which the host no longer had, and the host kept the file).
  // Restarted with a host that answers the rename of `path` late.
  const auto holding_rename = [this](const std::string& path, std::atomic<int64_t>& held) -> Provider& {
    return Restart({}, {}, [&held, path](Provider::Handler answer) -> Provider::Handler {
      return [answer, &held, path](Event& e, intptr_t* params, int32_t* sizes) {
        const int32_t rc = answer(e, params, sizes);
        if (e.id == HALVEX_EVENT_RENAME_FILE && e.path == path) {
          held = e.task_id;
          params[e.count - 1] = HALVEX_ERR_PENDING;
        }
        return rc;
      };
    });
  };
  std::atomic<int64_t> renaming{0};
  Provider& cancelled = holding_rename("\\g5\\z.txt", renaming);
  Settle();
  ASSERT_EQ(rename((root_ + "/g5/z.txt").c_str(), (root_ + "/g5/y.txt").c_str()), 0);
  ASSERT_TRUE(cancelled.WaitFor([&](const std::vector<Event>&) { return renaming != 0; }));
  ASSERT_EQ(cancelled.Deactivate(), 0);
  ASSERT_EQ(cancelled.Finalize(renaming, 0), 0);
  ASSERT_EQ(unlink((root_ + "/g5/y.txt").c_str()), 0);
  ASSERT_EQ(cancelled.Activate(), 0) << cancelled.LastError();
  EXPECT_TRUE(cancelled.WaitForEvent(HALVEX_EVENT_DELETE_FILE, "\\g5\\y.txt"));
  Settle();
  EXPECT_EQ(cancelled.Count(HALVEX_EVENT_DELETE_FILE, "\\g5\\z.txt"), 0u);
  // The same, with another file moved to the old name while stopped: that
  // name holds another item now, and the delete is still told.
  ASSERT_EQ(client_->CreateFile("g5/q.txt", "q"), 0u);
  ASSERT_EQ(client_->CreateFile("g5/other.txt", "other"), 0u);
  Settle();
  std::atomic<int64_t> held_q{0};
  Provider& replaced = holding_rename("\\g5\\q.txt", held_q);
  Settle();
  ASSERT_EQ(rename((root_ + "/g5/q.txt").c_str(), (root_ + "/g5/r.txt").c_str()), 0);
  ASSERT_TRUE(replaced.WaitFor([&](const std::vector<Event>&) { return held_q != 0; }));
  ASSERT_EQ(replaced.Deactivate(), 0);
  ASSERT_EQ(replaced.Finalize(held_q, 0), 0);
  ASSERT_EQ(unlink((root_ + "/g5/r.txt").c_str()), 0);
  ASSERT_EQ(rename((root_ + "/g5/other.txt").c_str(), (root_ + "/g5/q.txt").c_str()), 0);
  ASSERT_EQ(replaced.Activate(), 0) << replaced.LastError();
  EXPECT_TRUE(replaced.WaitForEvent(HALVEX_EVENT_DELETE_FILE, "\\g5\\r.txt"));
  Settle();
  EXPECT_EQ(replaced.Count(HALVEX_EVENT_DELETE_FILE, "\\g5\\q.txt"), 0u);
}

// The activation's listing brings the host's older versions: a whole file
// appended to while stopped, and a partly present file whose edit the host
// refused, are offered to the host, never cut back or marked in sync.
TEST_F(ItemsTest, EditsTheHostHasNotTakenSurviveTheNextActivationsListing) {
  std::map<std::string, RemoteItem> remote = {{"\\w.txt", {false, "whole\n"}},
                                              {"\\p.bin", {false, std::string(10000, 'r')}},
                                              {"\\sub", {true, ""}},
                                              {"\\sub\\s.txt", {false, "sub"}}};
  Provider& first = Start(remote);
  first.refuse = {"\\p.bin"};
  std::string data;
  ASSERT_EQ(client_->ReadAll("w.txt", data), 0u);
  ASSERT_EQ(client_->CreateFile("sub/mine.txt", "mine"), 0u);
  ASSERT_TRUE(first.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\sub\\mine.txt"));
  ASSERT_EQ(client_->Write("p.bin", 0, "EDIT"), 0u);
  ASSERT_TRUE(first.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\p.bin"));
  Settle();
  ASSERT_FALSE(StateOf("p.bin").in_sync);
  ASSERT_FALSE(StateOf("p.bin").FullyHydrated());
  Stop();

  const int fd = open((root_ + "/w.txt").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "appended offline\n", 17), 17);
  close(fd);

  Provider& p = Restart({}, {"\\p.bin"});
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\w.txt"));
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\p.bin"));
  Settle();
  for (const Event& e : p.Events()) {
    if (e.id != HALVEX_EVENT_UPDATE_FILE) continue;
    if (e.path == "\\w.txt") {
      EXPECT_TRUE(e.flags & 0x40) << e.flags;
    } else if (e.path == "\\p.bin") {
      EXPECT_FALSE(e.flags & 0x40) << e.flags;
    }
  }
  ASSERT_EQ(client_->ReadAll("w.txt", data), 0u);
  EXPECT_EQ(data, "whole\nappended offline\n");
  EXPECT_FALSE(StateOf("p.bin").in_sync);
  ASSERT_EQ(client_->Read("p.bin", 0, 6, data), 0u);
  EXPECT_EQ(data, "EDITrr");
  // An item the host took in the last session and has not listed in this
  // one is still known to it: edited now, it is an update, not a new item.
  ASSERT_EQ(client_->Write("sub/mine.txt", 0, "MINE"), 0u);
  ASSERT_TRUE(p.WaitFor([](const std::vector<Event>& all) {
    for (const Event& e : all)
      if (e.path == "\\sub\\mine.txt") return true;
    return false;
  }));
  Settle();
  EXPECT_EQ(p.Count(HALVEX_EVENT_CREATE_FILE, "\\sub\\mine.txt"), 0u);
  EXPECT_EQ(p.Count(HALVEX_EVENT_UPDATE_FILE, "\\sub\\mine.txt"), 1u);
}

TEST_F(ItemsTest, UninstallRemovesEmptyFoldersAndKeepsTheRoot) {
  Provider& p = Start({{"\\remote-empty", {true, ""}}});
  ASSERT_EQ(client_->CreateFolder("e1"), 0u);
  ASSERT_EQ(client_->CreateFolder("e1/e2"), 0u);
  ASSERT_EQ(client_->CreateFolder("e1/e2/e3"), 0u);
  ASSERT_EQ(client_->CreateFolder("keep"), 0u);
  ASSERT_EQ(client_->CreateFolder("keep/sub"), 0u);
  ASSERT_EQ(client_->CreateFolder("keep/empty"), 0u);
  ASSERT_EQ(client_->CreateFile("keep/sub/k.txt", "k"), 0u);
  Settle();
  ASSERT_EQ(p.Deactivate(), 0) << p.LastError();
  ASSERT_EQ(p.Uninstall(), 0) << p.LastError();

  EXPECT_FALSE(Exists("e1"));
  EXPECT_FALSE(Exists("remote-empty"));
  EXPECT_FALSE(Exists("keep/empty"));
  EXPECT_TRUE(Exists("keep/sub/k.txt"));
  EXPECT_TRUE(std::filesystem::is_directory(root_));
  corvane::platform::local::ItemState state;
  client_->State(".", state);
  EXPECT_TRUE(state.sync_root.empty());
}

TEST_F(ItemsTest, InstallSurvivesTheProcessAndAnotherProcessActivates) {
  Start({{"\\r.txt", {false, "remote"}}});
  provider_.reset();

  // A fresh exec of this program, not a fork: nothing of this process's
  // memory can stand in for the registration.
  const pid_t pid = fork();
  if (pid == 0) {
    setenv(kChildRootVariable, root_.c_str(), 1);
    execl("/proc/self/exe", "test_e2e_items", "--gtest_filter=ItemsSecondProcess.*", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the second process failed; its output is above";
}

// Runs only when started by the test above.
TEST(ItemsSecondProcess, ActivatesTheInstalledRoot) {
  const char* root = getenv(kChildRootVariable);
  if (root == nullptr) GTEST_SKIP() << "started by InstallSurvivesTheProcessAndAnotherProcessActivates";
  corvane::platform::local::Client client(root);
  corvane::platform::local::ItemState state;
  ASSERT_EQ(client.State(".", state), 0u);
  EXPECT_FALSE(state.sync_root.empty());

  Provider p;
  p.remote = {{"\\r.txt", {false, "remote"}}};
  ASSERT_EQ(p.SetRoot(root), 0);
  ASSERT_EQ(p.Activate(), 0) << p.LastError();
  std::string data;
  ASSERT_EQ(client.ReadAll("r.txt", data), 0u);
  EXPECT_EQ(data, "remote");
  EXPECT_EQ(p.Count(HALVEX_EVENT_GET_FILE_DATA, "\\r.txt"), 1u);
  EXPECT_EQ(p.Deactivate(), 0);
}

}  // namespace
}  // namespace e2e
