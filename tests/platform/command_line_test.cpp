// The command-line client used by hand: a session of commands, and errors a
// person can read.
#include "platform_fixture.h"

namespace corvane::platform::testing {
namespace {

class CommandLine : public PlatformTest {};

TEST_F(CommandLine, SessionOnAServedRoot) {
  ASSERT_EQ(Register(), S_OK);
  ASSERT_EQ(MakeFile(root_, "cloud.txt", 11), S_OK);
  TestProvider provider;
  provider.content[root_ + "/cloud.txt"] = "from cloud!";
  ASSERT_EQ(provider.Connect(root_), S_OK);
  const std::string r = "'" + root_ + "/";
  std::string out, err;
  ASSERT_EQ(RunClient("read " + r + "cloud.txt' 5 5", &out, &err), 0) << err;
  EXPECT_EQ(out, "cloud");
  const std::u16string suffix = u"\\corvane-client";  // the fetch names the program that read
  ASSERT_GE(provider.last_reader.size(), suffix.size());
  EXPECT_EQ(provider.last_reader.substr(provider.last_reader.size() - suffix.size()), suffix);
  ASSERT_EQ(RunClient("mkdir " + r + "new'", &out, &err), 0) << err;
  ASSERT_EQ(RunClient("create " + r + "new/a.txt' --data hello", &out, &err), 0) << err;
  ASSERT_EQ(RunClient("write " + r + "new/a.txt' 5 --data ' world'", &out, &err), 0) << err;
  ASSERT_EQ(RunClient("read " + r + "new/a.txt'", &out, &err), 0) << err;
  EXPECT_EQ(out, "hello world");
  ASSERT_EQ(RunClient("rename " + r + "new/a.txt' " + r + "b.txt'", &out, &err), 0) << err;
  ASSERT_EQ(RunClient("list " + r + "'", &out, &err), 0) << err;
  EXPECT_NE(out.find("b.txt"), std::string::npos) << out;
  // Reading 5 bytes fetched the whole (single) page.
  EXPECT_NE(out.find("placeholder,in-sync\tcloud.txt"), std::string::npos) << out;
  EXPECT_NE(out.find("new/"), std::string::npos) << out;
  EXPECT_EQ(RunClient("delete " + r + "new'", nullptr, &err), 0) << err;
  EXPECT_EQ(RunClient("dehydrate " + r + "b.txt'", nullptr, &err), 1);
  EXPECT_NE(err.find("cannot dehydrate"), std::string::npos) << err;
  EXPECT_NE(err.find("not a cloud file"), std::string::npos) << err;
  EXPECT_NE(err.find("(error 376)"), std::string::npos) << err;
  ASSERT_EQ(RunClient("hydrate " + r + "cloud.txt' --progress", nullptr, &err), 0) << err;
  EXPECT_NE(err.find("hydrating '" + root_ + "/cloud.txt': 11 bytes of 11 bytes on disk"), std::string::npos) << err;
  EXPECT_NE(err.find("corvane-client: done"), std::string::npos) << err;
  ASSERT_EQ(RunClient("state " + r + "cloud.txt'", &out, &err), 0) << err;
  EXPECT_NE(out.find("hydrated: 0-11 (complete)"), std::string::npos) << out;
  ASSERT_EQ(RunClient("dehydrate " + r + "cloud.txt'", nullptr, &err), 0) << err;
  ASSERT_EQ(RunClient("state " + r + "cloud.txt'", &out, &err), 0) << err;
  EXPECT_NE(out.find("hydrated: none"), std::string::npos) << out;
  EXPECT_EQ(provider.Disconnect(), S_OK);
}

}  // namespace
}  // namespace corvane::platform::testing
