#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>

#include "common/internal_host.h"

namespace corvane::testing {
namespace {

constexpr int32_t kAlreadyActive = 0x21000003;
constexpr int32_t kInvalidParameter = 0x21000004;

TEST(Config, ParserTrimsWritesQuotesValuesAndSkipsIndexes) {
  HostComponent c;
  EXPECT_EQ(c.Config(" EventRetryInterval  =   250   "), 0);
  EXPECT_EQ(c.Query("EventRetryInterval"), "250");

  // A query name is used as typed, so a leading space makes it unknown.
  std::string answer = "x";
  EXPECT_EQ(c.Config(" EventRetryInterval", &answer), -1);
  EXPECT_EQ(answer, "");
  EXPECT_EQ(c.LastCode(), -1);
  EXPECT_EQ(c.LastText(), "Unknown config setting.");

  // Quotes go, inner spaces and backslashes stay.
  EXPECT_EQ(c.Config("ItemDomain = \"  sub\\dir \"  "), 0);
  EXPECT_EQ(c.Query("ItemDomain"), "  sub\\dir ");
  EXPECT_EQ(c.Config("ItemDomain=\"unbalanced"), 0);
  EXPECT_EQ(c.Query("ItemDomain"), "unbalanced");
  EXPECT_EQ(c.Config("ItemDomain=\""), 0);
  EXPECT_EQ(c.Query("ItemDomain"), "");

  // Index parts in [] or () are not part of the name.
  EXPECT_EQ(c.Config("EventRetryInterval[3]=5"), 0);
  EXPECT_EQ(c.Query("EventRetryInterval(7)"), "5");
  EXPECT_EQ(c.Query("Event[x]RetryInterval"), "5");

  // '=' as the last character writes an empty value; the name keeps its spaces.
  EXPECT_EQ(c.Config("EventRetryInterval="), 0);
  EXPECT_EQ(c.Query("EventRetryInterval"), "0");
  EXPECT_EQ(c.Config("EventRetryInterval ="), -1);

  // Key names ignore letter case.
  EXPECT_EQ(c.Config("eventretryINTERVAL=9"), 0);
  EXPECT_EQ(c.Query("EVENTRETRYINTERVAL"), "9");

  // Number keys also take hexadecimal (up to the first other character)
  // and the boolean words.
  EXPECT_EQ(c.Config("LogDebugOption=0X1fz2"), 0);
  EXPECT_EQ(c.Query("LogDebugOption"), "31");
  EXPECT_EQ(c.Config("PendingTaskTimeout=yes"), 0);
  EXPECT_EQ(c.Query("PendingTaskTimeout"), "1");
}

TEST(Config, BooleanValuesAcceptTrueYesOneOnly) {
  HostComponent c;
  for (const char* value : {"yes", "TRUE", "true", "1", "YeS"}) {
    ASSERT_EQ(c.Config(std::string("ExcludeTemporaryFiles=") + value), 0);
    EXPECT_EQ(c.Query("ExcludeTemporaryFiles"), "True") << value;
    ASSERT_EQ(c.Config("ExcludeTemporaryFiles=no"), 0);
  }
  for (const char* value : {"on", "0", "2", "y", "truee"}) {
    ASSERT_EQ(c.Config("ExcludeTemporaryFiles=yes"), 0);
    ASSERT_EQ(c.Config(std::string("ExcludeTemporaryFiles=") + value), 0);
    EXPECT_EQ(c.Query("ExcludeTemporaryFiles"), "False") << value;
  }
}

// Every key answers on a new component, with the documented default.
TEST(Config, EveryKeyAnswersItsDefaultOnANewComponent) {
  HostComponent c;
  const std::string defaults =
      "AvoidFiringEventsForMethods=True DownloadNewFiles=False LogLevel=3 OnlineOnly=False EventRetryInterval=1000 "
      "OSLastError=0 StatPendingTasks=0 PendingTaskTimeout=0 ExcludedFiles= ExcludeHiddenFiles=True "
      "ExcludeTemporaryFiles=False ItemDomain= ResetPinnedFiles=False SerializeEvents=0 MaxWorkerThreadCount=0 "
      "MinWorkerThreadCount=0 WorkerInitialStackSize=0 WaitForInstallToComplete=1000 PendingOperationCount=0 "
      "PendingOpsProcessingBatchSize=10000 TrackOfficeLockFiles=False WindowsFetchOptionalRanges=False "
      "WindowsRecycleBinURL= WindowsStorageProviderId= WindowsStorageProviderAccount= "
      "WindowsRegistrationProviderName=Corvane WindowsRegistrationProviderVersion=1.0.0.0 WindowsLastError=0 "
      "WindowsUpdateIconOnRetrieveErrors=False WindowsUpdateIconOnUpdateErrors=False "
      "WindowsCreatePlaceholdersOnDemand=False AllInMainThread=0 CodePage=65001 CharsetMode=0 LogDebugFile= "
      "LogDebugOption=0 ZeroMemory=False UseInternalCryptoAPI=False UseFIPSCompliantAPI=False "
      "Allow3DESInFIPS=False AllowPKCS1InFIPS=True AllowSHA1InFIPS=True";
  std::istringstream pairs(defaults);
  for (std::string pair; pairs >> pair;) {
    const size_t eq = pair.find('=');
    std::string answer = "?";
    EXPECT_EQ(c.Config(pair.substr(0, eq), &answer), 0) << pair;
    EXPECT_EQ(answer, pair.substr(eq + 1)) << pair;
  }
}

TEST(Config, StoppedOnlyKeysAreRefusedWhileActivating) {
  HostComponent c;
  ASSERT_EQ(c.Config("ItemDomain=before"), 0);
  c.engine().state.activating = 1;
  for (const char* write : {"SerializeEvents=1", "MaxWorkerThreadCount=2", "MinWorkerThreadCount=2",
                            "WorkerInitialStackSize=65536", "AvoidFiringEventsForMethods=false", "ItemDomain=after"}) {
    EXPECT_EQ(c.Config(write), kAlreadyActive) << write;
    EXPECT_EQ(c.LastCode(), kAlreadyActive);
    EXPECT_EQ(c.LastText(), "The sync operation has already been started");
  }
  // The range check of SerializeEvents comes before the state check.
  EXPECT_EQ(c.Config("SerializeEvents=3"), kInvalidParameter);
  EXPECT_EQ(c.LastText(), "Invalid SerializeEvents value");
  // Keys writable at any time still are.
  EXPECT_EQ(c.Config("EventRetryInterval=5"), 0);
  c.engine().state.activating = 0;

  EXPECT_EQ(c.Query("ItemDomain"), "before");
  EXPECT_EQ(c.Query("MaxWorkerThreadCount"), "0");
  EXPECT_EQ(c.Query("AvoidFiringEventsForMethods"), "True");
  EXPECT_EQ(c.Query("EventRetryInterval"), "5");
}

TEST(Config, ProcessWideKeysAreSharedAndOthersAreNot) {
  HostComponent a;
  HostComponent b;
  ASSERT_EQ(a.Config("ZeroMemory=yes"), 0);
  ASSERT_EQ(a.Config("AllowSHA1InFIPS=no"), 0);
  ASSERT_EQ(a.Config("CharsetMode=5"), 0);
  ASSERT_EQ(a.Config("ExcludeHiddenFiles=no"), 0);
  ASSERT_EQ(a.Config("LogLevel=4"), 0);
  EXPECT_EQ(b.Query("ZeroMemory"), "True");
  EXPECT_EQ(b.Query("AllowSHA1InFIPS"), "False");
  EXPECT_EQ(b.Query("LogLevel"), "4");
  EXPECT_EQ(b.Query("CharsetMode"), "0");
  EXPECT_EQ(b.Query("ExcludeHiddenFiles"), "True");

  // A new component puts the log level back; the other process-wide keys stay.
  { HostComponent fresh; }
  EXPECT_EQ(a.Query("LogLevel"), "3");
  EXPECT_EQ(b.Query("ZeroMemory"), "True");
  ASSERT_EQ(a.Config("ZeroMemory=no"), 0);
  ASSERT_EQ(a.Config("AllowSHA1InFIPS=yes"), 0);
}

TEST(Config, StoredValuesFollowTheirKeysRules) {
  HostComponent c;
  // CharsetMode keeps a signed 8-bit value.
  ASSERT_EQ(c.Config("CharsetMode=300"), 0);
  EXPECT_EQ(c.Query("CharsetMode"), "44");
  ASSERT_EQ(c.Config("CharsetMode=200"), 0);
  EXPECT_EQ(c.Query("CharsetMode"), "-56");

  // Registration texts: at most 255 UTF-16 characters, the old value kept.
  const std::string ok(255, 'n');
  ASSERT_EQ(c.Config("WindowsRegistrationProviderName=" + ok), 0);
  EXPECT_EQ(c.Config("WindowsRegistrationProviderName=" + ok + "x"), kInvalidParameter);
  EXPECT_EQ(c.LastText(), "The Windows registration provider name or version the maximum length of 255 characters");
  EXPECT_EQ(c.Query("WindowsRegistrationProviderName"), ok);
  std::string accents;
  for (int i = 0; i < 255; ++i) accents += "\xC3\xA9";  // 510 bytes, 255 characters
  EXPECT_EQ(c.Config("WindowsRegistrationProviderVersion=" + accents), 0);
  EXPECT_EQ(c.Config("WindowsRegistrationProviderVersion=" + accents + "\xC3\xA9"), kInvalidParameter);
  EXPECT_EQ(c.Query("WindowsRegistrationProviderVersion"), accents);

  // An empty provider id or account answers the sync root's label.
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "My Cloud"), 0);
  EXPECT_EQ(c.Query("WindowsStorageProviderId"), "My Cloud");
  EXPECT_EQ(c.Query("WindowsStorageProviderAccount"), "My Cloud");
  ASSERT_EQ(c.Config("WindowsStorageProviderId=corp.sync"), 0);
  EXPECT_EQ(c.Query("WindowsStorageProviderId"), "corp.sync");

  // Query-only keys ignore writes; LastError answers this thread's text.
  std::string answer = "x";
  EXPECT_EQ(c.Config("StatPendingTasks=5", &answer), 0);
  EXPECT_EQ(answer, "");
  c.SetLast(9, "nine");
  EXPECT_EQ(c.Query("LastError"), "nine");

  // String values are UTF-8 whatever the code page; bad UTF-8 is refused.
  EXPECT_EQ(c.Config("ExcludedFiles=\xFF\xFE"), 434);
  EXPECT_EQ(c.Query("ExcludedFiles"), "");
}

TEST(Config, OsLastErrorIsReadAndCleared) {
  HostComponent c;
  c.engine().diag.SetOsLastError(2);
  EXPECT_EQ(c.Query("OSLastError"), "2");
  EXPECT_EQ(c.Query("OSLastError"), "0");
  c.engine().diag.SetOsLastError(0x80070005u);
  EXPECT_EQ(c.Query("WindowsLastError"), "2147942405");
  EXPECT_EQ(c.Query("OSLastError"), "0");
  EXPECT_EQ(c.Config("OSLastError=7"), 0);
  EXPECT_EQ(c.Query("OSLastError"), "0");
}

TEST(Config, WideFormAndSpecialQueries) {
  HostComponent c;
  std::u16string answer;
  EXPECT_EQ(c.ConfigW(u"CodePage", &answer), 0);
  EXPECT_EQ(answer, u"65001");
  EXPECT_EQ(c.ConfigW(u"ItemDomain=Dossier \u00e9t\u00e9", &answer), 0);
  EXPECT_EQ(answer, u"");
  EXPECT_EQ(c.ConfigW(u"ItemDomain", &answer), 0);
  EXPECT_EQ(answer, u"Dossier \u00e9t\u00e9");
  EXPECT_EQ(c.ConfigW(u"NoSuchKey", &answer), -1);
  EXPECT_EQ(answer, u"");

  // CodePage takes any value; 8-bit strings then use it.
  ASSERT_EQ(c.Config("CodePage=1252"), 0);
  EXPECT_EQ(c.Query("CodePage"), "1252");
  ASSERT_EQ(c.SetText(HALVEX_PROP_SYNC_ROOT_LABEL, "caf\xE9"), 0);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(c.Get(10000 + HALVEX_PROP_SYNC_ROOT_LABEL))),
            u"caf\u00e9");
}

TEST(Config, AnswersAreKeptPerThread) {
  HostComponent c;
  std::string first;
  intptr_t params[2] = {Ptr("CodePage"), 0};
  int32_t cbparams[2] = {0, 0};
  ASSERT_EQ(Halvex_Corvane_Do(c.handle(), HALVEX_METHOD_CONFIG, 1, params, cbparams, nullptr), 0);
  const char* mine = reinterpret_cast<const char*>(params[1]);
  std::thread other([&] { EXPECT_EQ(c.Query("WindowsRegistrationProviderName"), "Corvane"); });
  other.join();
  EXPECT_STREQ(mine, "65001");
}

}  // namespace
}  // namespace corvane::testing
