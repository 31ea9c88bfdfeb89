#include <gtest/gtest.h>

#include "engine/taken_renames.h"

namespace corvane {
namespace {

TEST(TakenRenamesTest, FollowsEachLaterRenameOnceInItsOrder) {
  TakenRenames taken;
  taken.Note(u"\\fa", u"\\fb");
  taken.Note(u"\\fb", u"\\fc");
  EXPECT_EQ(taken.Follow(u"\\fa\\new.txt"), u"\\fc\\new.txt");
  EXPECT_EQ(taken.Follow(u"\\fab"), u"\\fab");

  // A folder moved into another, and that one later given the first name:
  // the item named by its place inside is where the last rename put it,
  // not sent round the two renames again and again.
  taken.Note(u"\\f1", u"\\f4\\work\\f2");
  taken.Note(u"\\f4", u"\\f1");
  EXPECT_EQ(taken.Follow(u"\\f4\\work\\f2"), u"\\f1\\work\\f2");
  EXPECT_EQ(taken.Follow(u"\\f1\\a.txt"), u"\\f1\\work\\f2\\a.txt");
  // A name used again later names the later item.
  taken.Note(u"\\x.txt", u"\\y.txt");
  taken.Note(u"\\z.txt", u"\\x.txt");
  taken.Note(u"\\x.txt", u"\\w.txt");
  EXPECT_EQ(taken.Follow(u"\\x.txt"), u"\\w.txt");

  // Once the host deleted where a folder went, its old name names what was
  // made there since.
  taken.Note(u"\\box", u"\\docs\\old\\box");
  taken.ForgetInto(u"\\docs");
  EXPECT_EQ(taken.Follow(u"\\box\\data.bin"), u"\\box\\data.bin");

  // A new item at a name a folder left names itself; what the folder held
  // still follows it, and so does an item that passed through the name
  // before the new one came.
  taken.Note(u"\\archive", u"\\work");
  taken.Note(u"\\work", u"\\f2");
  taken.NameUsedAgain(u"\\archive");
  EXPECT_EQ(taken.Follow(u"\\archive"), u"\\archive");
  EXPECT_EQ(taken.Follow(u"\\archive\\a.txt"), u"\\f2\\a.txt");
  taken.Note(u"\\n.txt", u"\\spot");
  taken.Note(u"\\spot", u"\\far");
  taken.NameUsedAgain(u"\\spot");
  EXPECT_EQ(taken.Follow(u"\\n.txt"), u"\\far");
  EXPECT_EQ(taken.Follow(u"\\spot"), u"\\spot");
}

}  // namespace
}  // namespace corvane
