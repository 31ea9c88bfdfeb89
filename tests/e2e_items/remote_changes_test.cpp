// Remote changes told through the item methods, as an application on the
// sync root sees them afterwards.
#include <fstream>
#include <thread>

#include "provider_host.h"

namespace e2e {
namespace {

using corvane::platform::CF_PIN_STATE_PINNED;
using corvane::platform::CF_PIN_STATE_UNPINNED;
using corvane::platform::CF_PIN_STATE_UNSPECIFIED;

// A change of an item reported back to the host (the settle markers aside).
bool IsEcho(const Event& e) {
  return e.path.rfind("\\settle-", 0) != 0 && Provider::IsItemEvent(e.id) && e.id != HALVEX_EVENT_LIST_DIRECTORY &&
         e.id != HALVEX_EVENT_RESET_FILE;
}

TEST_F(ItemsTest, RemoteDeletesAndRenamesChangeTheFolderAndRaiseNoEcho) {
  Provider& p = Start({{"\\docs", {true, ""}},
                       {"\\docs\\a.txt", {false, "alpha"}},
                       {"\\docs\\b.txt", {false, "bravo"}},
                       {"\\docs\\old.txt", {false, "old"}},
                       {"\\full", {true, ""}},
                       {"\\full\\x.txt", {false, "x"}},
                       {"\\empty", {true, ""}},
                       {"\\moved", {true, ""}},
                       {"\\moved\\m.txt", {false, "m"}}});
  std::vector<corvane::platform::local::ClientEntry> entries;
  for (const char* folder : {"docs", "full", "moved"}) ASSERT_EQ(client_->List(folder, entries), 0u) << folder;
  ASSERT_TRUE(Exists("docs/a.txt") && Exists("full/x.txt") && Exists("moved/m.txt"));

  ASSERT_EQ(p.Call(HALVEX_METHOD_SET_FILE_ATTRIBUTES, "\\docs\\a.txt", HALVEX_ATTR_READONLY), 0) << p.LastError();
  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FILE, "\\docs\\a.txt"), 0) << p.LastError();
  EXPECT_FALSE(Exists("docs/a.txt"));
  // A folder path given to DeleteFile is refused and deletes nothing.
  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FILE, "\\full"), HALVEX_ERR_INVALID_PARAMETER);

  EXPECT_EQ(p.Rename(HALVEX_METHOD_RENAME_FILE, "\\docs\\b.txt", "\\docs\\old.txt", 0), HALVEX_ERR_OS_CALL_FAILED);
  EXPECT_TRUE(Exists("docs/b.txt"));
  EXPECT_EQ(p.Rename(HALVEX_METHOD_RENAME_FILE, "/docs/b.txt", "/docs/old.txt", 1), 0) << p.LastError();
  EXPECT_FALSE(Exists("docs/b.txt"));
  EXPECT_EQ(StateOf("docs/old.txt").size, 5u);  // the renamed "bravo", not the replaced "old"

  EXPECT_EQ(p.Rename(HALVEX_METHOD_RENAME_FOLDER, "\\moved", "\\empty"), HALVEX_ERR_OS_CALL_FAILED);
  EXPECT_EQ(p.Rename(HALVEX_METHOD_RENAME_FOLDER, "\\moved", "\\renamed"), 0) << p.LastError();
  EXPECT_TRUE(Exists("renamed/m.txt"));
  EXPECT_TRUE(StateOf("renamed/m.txt").placeholder);

  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FOLDER, "\\full", 0), HALVEX_ERR_OPERATION_DENIED);
  EXPECT_TRUE(Exists("full/x.txt"));
  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FOLDER, "\\empty", 0), 0) << p.LastError();
  EXPECT_FALSE(Exists("empty"));
  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FOLDER, "\\full", 1), 0) << p.LastError();
  EXPECT_FALSE(Exists("full"));

  Settle();
  for (const Event& e : p.Events()) EXPECT_FALSE(IsEcho(e)) << "event " << e.id << " for " << e.path << " flags " << e.flags;
}

// Hydration by the engine's own data transfer and the reset's dehydration
// change data and state but no value the host knows: no echo.
TEST_F(ItemsTest, ResetDehydratesAndKeepsPinnedFilesUnlessAsked) {
  Provider& p = Start({{"\\r", {true, ""}},
                       {"\\r\\a.txt", {false, "alpha"}},
                       {"\\r\\b.txt", {false, "bravo"}},
                       {"\\r\\sub", {true, ""}},
                       {"\\r\\sub\\c.txt", {false, "charlie"}}});
  std::string data;
  for (const char* file : {"r/a.txt", "r/b.txt", "r/sub/c.txt"}) ASSERT_EQ(client_->ReadAll(file, data), 0u) << file;
  ASSERT_EQ(p.Call(HALVEX_METHOD_PIN_FILE, "\\r\\b.txt"), 0) << p.LastError();

  ASSERT_EQ(p.Call(HALVEX_METHOD_RESET_FOLDER, "\\r"), 0) << p.LastError();
  EXPECT_FALSE(StateOf("r/a.txt").FullyHydrated());
  EXPECT_FALSE(StateOf("r/sub/c.txt").FullyHydrated());
  EXPECT_TRUE(StateOf("r/b.txt").FullyHydrated());
  EXPECT_EQ(StateOf("r/b.txt").pin, CF_PIN_STATE_PINNED);
  // Dehydrated data comes back from the provider.
  ASSERT_EQ(client_->ReadAll("r/sub/c.txt", data), 0u);
  EXPECT_EQ(data, "charlie");
  // The host asked for the reset: it hears nothing back, not even ResetFile.
  Settle();
  for (const Event& e : p.Events()) {
    EXPECT_FALSE(IsEcho(e) || e.id == HALVEX_EVENT_RESET_FILE) << "event " << e.id << " for " << e.path << " flags " << e.flags;
  }

  // Asked for alone, a pinned file is still kept as it is.
  ASSERT_EQ(p.Call(HALVEX_METHOD_RESET_FILE, "\\r\\b.txt"), 0) << p.LastError();
  EXPECT_EQ(StateOf("r/b.txt").pin, CF_PIN_STATE_PINNED);
  EXPECT_TRUE(StateOf("r/b.txt").FullyHydrated());

  // With ResetPinnedFiles a pinned file is unpinned rather than emptied;
  // once unpinned it gives its data back like any other.
  ASSERT_EQ(p.Config("ResetPinnedFiles=True"), 0);
  ASSERT_EQ(p.Call(HALVEX_METHOD_RESET_FILE, "\\r\\b.txt"), 0) << p.LastError();
  EXPECT_EQ(StateOf("r/b.txt").pin, CF_PIN_STATE_UNPINNED);
  bool emptied = false;
  for (int i = 0; i < 100 && !emptied; ++i) {
    emptied = !StateOf("r/b.txt").FullyHydrated();
    if (!emptied) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(emptied);
}

TEST_F(ItemsTest, PinUnpinAndSyncChangeThePlaceholderApplicationsSee) {
  Provider& p = Start({{"\\p", {true, ""}},
                       {"\\p\\x.txt", {false, "x"}},
                       {"\\p\\q", {true, ""}},
                       {"\\p\\q\\y.txt", {false, "y"}},
                       {"\\s.txt", {false, "first"}},
                       {"\\pin-me.txt", {false, std::string(100000, 'p')}}});
  std::vector<corvane::platform::local::ClientEntry> entries;
  ASSERT_EQ(client_->List("p", entries), 0u);
  ASSERT_EQ(client_->List("p/q", entries), 0u);

  ASSERT_EQ(p.Call(HALVEX_METHOD_PIN_FOLDER, "\\p"), 0) << p.LastError();
  for (const char* item : {"p", "p/x.txt", "p/q", "p/q/y.txt"}) EXPECT_EQ(StateOf(item).pin, CF_PIN_STATE_PINNED) << item;
  ASSERT_EQ(p.Call(HALVEX_METHOD_UNPIN_FILE, "\\p\\x.txt"), 0) << p.LastError();
  EXPECT_EQ(StateOf("p/x.txt").pin, CF_PIN_STATE_UNSPECIFIED);
  ASSERT_EQ(p.Call(HALVEX_METHOD_UNPIN_FOLDER, "\\p"), 0) << p.LastError();
  EXPECT_EQ(StateOf("p/q/y.txt").pin, CF_PIN_STATE_UNSPECIFIED);
  EXPECT_EQ(p.Call(HALVEX_METHOD_PIN_FILE, "\\p"), HALVEX_ERR_INVALID_PARAMETER);

  // Sync fetches the file again: the application then reads the new data.
  std::string data;
  ASSERT_EQ(client_->ReadAll("s.txt", data), 0u);
  ASSERT_EQ(data, "first");
  const size_t fetches = p.Count(HALVEX_EVENT_GET_FILE_DATA, "\\s.txt");
  p.SetRemote("\\s.txt", {false, "other"});
  ASSERT_EQ(p.Call(HALVEX_METHOD_SYNC_FILE, "\\s.txt"), 0) << p.LastError();
  EXPECT_GT(p.Count(HALVEX_EVENT_GET_FILE_DATA, "\\s.txt"), fetches);
  const corvane::platform::local::ItemState synced = StateOf("s.txt");
  EXPECT_TRUE(synced.in_sync);
  EXPECT_TRUE(synced.FullyHydrated());
  ASSERT_EQ(client_->ReadAll("s.txt", data), 0u);
  EXPECT_EQ(data, "other");

  // A user's pin with the host's events one at a time: the watcher fetches
  // the data, and the transfers that answer it do not wait behind it.
  Provider& serialized = Restart({"SerializeEvents=1"});
  ASSERT_EQ(client_->Pin("pin-me.txt"), 0u);
  EXPECT_TRUE(serialized.WaitFor([&](const auto&) { return StateOf("pin-me.txt").FullyHydrated(); }));
}

// A file whose local edit the host refused holds the only copy of it: a
// remote version is refused rather than replacing, cutting or mixing with it,
// and a rename's completion leaves it not in sync.
TEST_F(ItemsTest, RemoteUpdatesNeverReplaceAnEditTheHostHasNotTaken) {
  Provider& p = Start({{"\\e.txt", {false, "remote version one"}},
                       {"\\m.txt", {false, "m remote"}},
                       {"\\d", {true, ""}},
                       {"\\d\\keep.txt", {false, "kept"}},
                       {"\\f", {true, ""}},
                       {"\\f\\keep.txt", {false, "kept"}},
                       {"\\big.bin", {false, std::string(20000, 'a')}}});
  p.refuse = {"\\e.txt", "\\m.txt", "\\n.txt", "\\d\\new.txt", "\\big.bin"};
  std::string data;
  ASSERT_EQ(client_->ReadAll("e.txt", data), 0u);
  ASSERT_EQ(client_->ReadAll("m.txt", data), 0u);
  const std::string mine = "28 bytes the user wrote here";
  ASSERT_EQ(client_->WriteAll("e.txt", mine), 0u);
  ASSERT_EQ(client_->WriteAll("m.txt", "m edited locally"), 0u);
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\e.txt"));
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\m.txt"));
  Settle();
  ASSERT_FALSE(StateOf("e.txt").in_sync);

  EXPECT_EQ(p.UpdateFile("\\e.txt", std::string(5000, 'r')), HALVEX_ERR_OPERATION_DENIED);
  EXPECT_NE(p.LastError().find("local changes"), std::string::npos) << p.LastError();
  const corvane::platform::local::ItemState e = StateOf("e.txt");
  EXPECT_FALSE(e.in_sync);
  EXPECT_EQ(e.size, mine.size());
  EXPECT_TRUE(e.FullyHydrated());
  ASSERT_EQ(client_->ReadAll("e.txt", data), 0u);
  EXPECT_TRUE(data == mine) << data.size();

  // Edited while most of it was still on the server: once the server
  // replaced its version, what the file lacks is no longer there, and the
  // new version's bytes are not filled in after the user's.
  ASSERT_EQ(client_->Write("big.bin", 0, "mine"), 0u);
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_UPDATE_FILE, "\\big.bin"));
  Settle();
  ASSERT_FALSE(StateOf("big.bin").FullyHydrated());
  EXPECT_EQ(p.UpdateFile("\\big.bin", std::string(20000, 'b')), HALVEX_ERR_OPERATION_DENIED);
  EXPECT_NE(client_->ReadAll("big.bin", data), 0u) << data.substr(data.size() - 10);
  ASSERT_EQ(client_->Read("big.bin", 0, 4, data), 0u);
  EXPECT_EQ(data, "mine");
  // Nor after a restart, under a name it was moved to while stopped: the
  // engine's memory of the replaced version is gone by then. (The host
  // cannot take the newer local copy the start offers it: it lacks data.)
  p.answer = [answer = p.answer](e2e::Event& e, intptr_t* params, int32_t* sizes) {
    if (e.id == HALVEX_EVENT_UPDATE_FILE && e.path == "\\big2.bin") {
      params[e.count - 1] = HALVEX_ERR_BACKEND;
      return 0;
    }
    return answer(e, params, sizes);
  };
  ASSERT_EQ(p.Deactivate(), 0) << p.LastError();
  ASSERT_EQ(client_->Rename("big.bin", "big2.bin", false), 0u);
  ASSERT_EQ(p.Activate(), 0) << p.LastError();
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\big.bin"));
  Settle();
  EXPECT_NE(client_->ReadAll("big2.bin", data), 0u) << data.substr(data.size() - 10);

  ASSERT_EQ(client_->Rename("m.txt", "n.txt", false), 0u);
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_RENAME_FILE, "\\m.txt"));
  Settle();
  EXPECT_FALSE(StateOf("n.txt").in_sync);
  ASSERT_EQ(client_->ReadAll("n.txt", data), 0u);
  EXPECT_EQ(data, "m edited locally");

  // Nor deleted, alone or in a folder, where the rest of the folder stays too.
  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FILE, "\\n.txt"), HALVEX_ERR_OPERATION_DENIED);
  EXPECT_NE(p.LastError().find("local changes"), std::string::npos) << p.LastError();
  EXPECT_TRUE(Exists("n.txt"));
  ASSERT_EQ(client_->ReadAll("d/keep.txt", data), 0u);
  std::ofstream(root_ + "/d/new.txt") << "made here";
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\d\\new.txt"));
  Settle();
  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FOLDER, "\\d", 1), HALVEX_ERR_OPERATION_DENIED);
  EXPECT_TRUE(Exists("d/keep.txt") && Exists("d/new.txt"));

  // Nor with a file in it that the host has not even heard of yet: the
  // watcher is held in the host's handler for another new file meanwhile.
  std::atomic<bool> held{false}, release{false};
  p.answer = [&held, &release, answer = p.answer](e2e::Event& e, intptr_t* params, int32_t* sizes) {
    if (e.id == HALVEX_EVENT_CREATE_FILE && e.path == "\\first.txt") {
      held = true;
      for (int i = 0; i < 2000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return answer(e, params, sizes);
  };
  ASSERT_EQ(client_->ReadAll("f/keep.txt", data), 0u);
  std::ofstream(root_ + "/first.txt") << "first";
  ASSERT_TRUE(p.WaitFor([&](const auto&) { return held.load(); }));
  std::ofstream(root_ + "/f/unseen.txt") << "not yet reported";
  EXPECT_EQ(p.Call(HALVEX_METHOD_DELETE_FOLDER, "\\f", 1), HALVEX_ERR_OPERATION_DENIED);
  release = true;
  EXPECT_TRUE(Exists("f/unseen.txt"));
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\f\\unseen.txt"));
}

TEST_F(ItemsTest, StatusAndAttributesReadBackTheSyncState) {
  Provider& p = Start({{"\\st.txt", {false, "hello"}}, {"\\dir", {true, ""}}});
  p.refuse = {"\\plain.txt"};
  int32_t rc = 0;
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_STATUS, "\\st.txt", &rc), 0x400000) << rc;
  std::string data;
  ASSERT_EQ(client_->ReadAll("st.txt", data), 0u);
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_STATUS, "\\st.txt", &rc), 0x400001) << rc;
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_ATTRIBUTES, "\\st.txt", &rc) & 0xC00000, 0x400000) << rc;

  // Attributes written through the method reach the file; the sync bits
  // move the in-sync state both ways.
  ASSERT_EQ(p.Call(HALVEX_METHOD_SET_FILE_ATTRIBUTES, "\\st.txt", HALVEX_ATTR_READONLY | 0x800000), 0)
      << p.LastError();
  EXPECT_FALSE(StateOf("st.txt").in_sync);
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_STATUS, "\\st.txt", &rc), 0x800001) << rc;
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_ATTRIBUTES, "\\st.txt", &rc), HALVEX_ATTR_READONLY | 0x800000) << rc;
  ASSERT_EQ(p.Call(HALVEX_METHOD_SET_FILE_ATTRIBUTES, "\\st.txt", 0x400000), 0) << p.LastError();
  EXPECT_TRUE(StateOf("st.txt").in_sync);
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_ATTRIBUTES, "\\st.txt", &rc), 0x400000) << rc;

  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_ATTRIBUTES, "\\dir", &rc), -1);
  EXPECT_EQ(rc, HALVEX_ERR_INVALID_PARAMETER);
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_STATUS, "\\missing.txt", &rc), -1);
  EXPECT_EQ(rc, HALVEX_ERR_INVALID_PARAMETER);

  // A file the backend refused is never marked in sync.
  ASSERT_EQ(client_->CreateFile("plain.txt", "local"), 0u);
  ASSERT_TRUE(p.WaitForEvent(HALVEX_EVENT_CREATE_FILE, "\\plain.txt"));
  Settle();
  EXPECT_FALSE(StateOf("plain.txt").in_sync);
  EXPECT_EQ(p.Query(HALVEX_METHOD_GET_FILE_STATUS, "\\plain.txt", &rc) & 0xC00000, 0x800000) << rc;
}

}  // namespace
}  // namespace e2e
