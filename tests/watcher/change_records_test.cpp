#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "watcher/change_records.h"

namespace corvane::testing {
namespace {

constexpr size_t kHeader = offsetof(ChangeRecord, FileName);

// Appends one record, padded to 8 bytes, and returns its offset.
size_t Append(std::vector<uint8_t>& buffer, uint32_t action, const std::u16string& name, bool pad = true) {
  const size_t at = buffer.size();
  size_t size = kHeader + name.size() * 2;
  if (pad) size = (size + 7) & ~size_t{7};
  buffer.resize(at + size);
  ChangeRecord header{};
  header.Action = action;
  header.FileNameLength = static_cast<uint32_t>(name.size() * 2);
  std::memcpy(buffer.data() + at, &header, kHeader);
  std::memcpy(buffer.data() + at + kHeader, name.data(), name.size() * 2);
  return at;
}

void Link(std::vector<uint8_t>& buffer, size_t from, uint32_t offset) {
  std::memcpy(buffer.data() + from, &offset, sizeof offset);
}

TEST(ChangeRecords, WalksAChainAndNamesEachRecordRelativeToTheRoot) {
  std::vector<uint8_t> buffer;
  const size_t first = Append(buffer, 4, u"docs\\old.txt");
  const size_t second = Append(buffer, 5, u"docs\\new.txt");
  Link(buffer, first, static_cast<uint32_t>(second - first));
  const auto records = SplitChangeRecords(buffer);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(RelativePathOf(*records[0]), u"\\docs\\old.txt");
  EXPECT_EQ(RelativePathOf(*records[1]), u"\\docs\\new.txt");
  EXPECT_TRUE(SplitChangeRecords({}).empty());
}

// A damaged buffer keeps the records before the damage and never reads past
// its end (the sanitizer build checks the reads).
TEST(ChangeRecords, StopsAtARecordThatDoesNotFitOrIsMisplaced) {
  std::vector<uint8_t> name_too_long;
  Append(name_too_long, 1, u"abc");
  uint32_t claimed = 4000;
  std::memcpy(name_too_long.data() + offsetof(ChangeRecord, FileNameLength), &claimed, sizeof claimed);
  EXPECT_TRUE(SplitChangeRecords(name_too_long).empty());

  std::vector<uint8_t> next_past_end;
  const size_t only = Append(next_past_end, 1, u"a");
  Link(next_past_end, only, 4096);
  EXPECT_EQ(SplitChangeRecords(next_past_end).size(), 1u);

  std::vector<uint8_t> misaligned;
  const size_t head = Append(misaligned, 3, u"a");
  Append(misaligned, 3, u"b");
  Link(misaligned, head, 12);
  EXPECT_EQ(SplitChangeRecords(misaligned).size(), 1u);

  std::vector<uint8_t> header_cut;
  const size_t kept = Append(header_cut, 1, u"a");
  Link(header_cut, kept, static_cast<uint32_t>(header_cut.size()));
  header_cut.resize(header_cut.size() + kHeader - 8);
  EXPECT_EQ(SplitChangeRecords(header_cut).size(), 1u);

  std::vector<uint8_t> odd_length;
  Append(odd_length, 1, u"ab");
  uint32_t odd = 3;
  std::memcpy(odd_length.data() + offsetof(ChangeRecord, FileNameLength), &odd, sizeof odd);
  EXPECT_TRUE(SplitChangeRecords(odd_length).empty());
}

}  // namespace
}  // namespace corvane::testing
