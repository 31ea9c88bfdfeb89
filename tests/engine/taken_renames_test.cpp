#include <gtest/gtest.h>

#include "engine/taken_renames.h"

namespace corvane {
namespace {

TEST(TakenRenamesTest, FollowsEachLaterRenameOnceInItsOrder) {
  TakenRenames taken;
  taken.Note(u"\\fa", u"\\fb", 10);
  taken.Note(u"\\fb", u"\\fc", 20);
  EXPECT_EQ(taken.Follow(u"\\fa\\new.txt"), u"\\fc\\new.txt");
  EXPECT_EQ(taken.Follow(u"\\fab"), u"\\fab");

  // A folder moved into another, and that one later given the first name:
  // the item named by its place inside is where the last rename put it,
  // not sent round the two renames again and again.
  taken.Note(u"\\f1", u"\\f4\\work\\f2", 30);
  taken.Note(u"\\f4", u"\\f1", 40);
  EXPECT_EQ(taken.Follow(u"\\f4\\work\\f2"), u"\\f1\\work\\f2");
  EXPECT_EQ(taken.Follow(u"\\f1\\a.txt"), u"\\f1\\work\\f2\\a.txt");
  // A name used again later names the later item.
  taken.Note(u"\\x.txt", u"\\y.txt", 50);
  taken.Note(u"\\z.txt", u"\\x.txt", 60);
  taken.Note(u"\\x.txt", u"\\w.txt", 70);
  EXPECT_EQ(taken.Follow(u"\\x.txt"), u"\\w.txt");

  // Once the host deleted where a folder went, its old name names what was
  // made there since.
  taken.Note(u"\\box", u"\\docs\\old\\box", 80);
  taken.ForgetInto(u"\\docs");
  EXPECT_EQ(taken.Follow(u"\\box\\data.bin"), u"\\box\\data.bin");

  // A new item at a name a folder left names itself; what the folder held
  // still follows it, and so does an item that passed through the name
  // before the new one came.
  taken.Note(u"\\archive", u"\\work", 90);
  taken.Note(u"\\work", u"\\f2", 100);
  taken.NameUsedAgain(u"\\archive");
  EXPECT_EQ(taken.Follow(u"\\archive"), u"\\archive");
  EXPECT_EQ(taken.Follow(u"\\archive\\a.txt"), u"\\f2\\a.txt");
  taken.Note(u"\\n.txt", u"\\spot", 110);
  taken.Note(u"\\spot", u"\\far", 120);
  taken.NameUsedAgain(u"\\spot");
  EXPECT_EQ(taken.Follow(u"\\n.txt"), u"\\far");
  EXPECT_EQ(taken.Follow(u"\\spot"), u"\\spot");
}

TEST(TakenRenamesTest, AnItemFollowsOnlyRenamesMadeAfterItTookItsIdentity) {
  TakenRenames taken;
  // f1 moved away; another folder took its name, and a file made in it
  // (at 40) moved on while stopped; then the new folder moved on too.
  taken.Note(u"\\f1", u"\\f2", 20);
  taken.Note(u"\\g", u"\\f1", 30);
  EXPECT_EQ(taken.Follow(u"\\f1\\data.bin", 40), u"\\f1\\data.bin");
  EXPECT_EQ(taken.Follow(u"\\f1\\old.txt", 10), u"\\f2\\old.txt");
  EXPECT_EQ(taken.Follow(u"\\g\\in.txt", 10), u"\\f1\\in.txt");
  taken.Note(u"\\f1", u"\\f3", 50);
  EXPECT_EQ(taken.Follow(u"\\f1\\data.bin", 40), u"\\f3\\data.bin");
  EXPECT_EQ(taken.Follow(u"\\f1\\old.txt", 10), u"\\f2\\old.txt");
  EXPECT_EQ(taken.Follow(u"\\g\\in.txt", 10), u"\\f3\\in.txt");
  EXPECT_EQ(taken.Follow(u"\\f1\\late.txt", 60), u"\\f1\\late.txt");
}

}  // namespace
}  // namespace corvane
