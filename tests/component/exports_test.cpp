#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "component/component.h"
#include "component/stream.h"
#include "diag/log.h"
#include "diag/result_codes.h"

namespace corvane {
namespace {

TEST(Exports, NullHandleGivesTheDocumentedAnswers) {
  EXPECT_EQ(0, Halvex_Corvane_Destroy(nullptr));
  EXPECT_EQ(200, Halvex_Corvane_CheckIndex(nullptr, 1, 2));
  EXPECT_EQ(0, Halvex_Corvane_Get(nullptr, 5, 0, nullptr, nullptr));
  EXPECT_EQ(200, Halvex_Corvane_Set(nullptr, 5, 0, 0, 0));
  EXPECT_EQ(200, Halvex_Corvane_Do(nullptr, 3, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, Halvex_Corvane_GetLastError(nullptr));
  EXPECT_EQ(200, Halvex_Corvane_GetLastErrorCode(nullptr));
  EXPECT_EQ(200, Halvex_Corvane_SetLastErrorAndCode(nullptr, 5, "x"));
  EXPECT_EQ(nullptr, Halvex_Corvane_GetEventError(nullptr));
  EXPECT_EQ(200, Halvex_Corvane_GetEventErrorCode(nullptr));
  EXPECT_EQ(200, Halvex_Corvane_SetEventErrorAndCode(nullptr, 5, nullptr));
}

TEST(Exports, ErrorsRoundTripAndNullTextIsEmpty) {
  void* h = Halvex_Corvane_Create(nullptr, nullptr, nullptr, 0);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(0, Halvex_Corvane_CheckIndex(h, 12345, -7));
  EXPECT_STREQ("", Halvex_Corvane_GetLastError(h));
  EXPECT_EQ(0, Halvex_Corvane_GetLastErrorCode(h));
  EXPECT_EQ(17, Halvex_Corvane_SetLastErrorAndCode(h, 17, "seventeen"));
  EXPECT_STREQ("seventeen", Halvex_Corvane_GetLastError(h));
  EXPECT_EQ(-3, Halvex_Corvane_SetLastErrorAndCode(h, -3, nullptr));
  EXPECT_STREQ("", Halvex_Corvane_GetLastError(h));
  EXPECT_EQ(-3, Halvex_Corvane_GetLastErrorCode(h));
  EXPECT_EQ(9, Halvex_Corvane_SetEventErrorAndCode(h, 9, nullptr));
  EXPECT_STREQ("", Halvex_Corvane_GetEventError(h));
  EXPECT_EQ(-3, Halvex_Corvane_GetLastErrorCode(h));
  EXPECT_EQ(0, Halvex_Corvane_Destroy(h));
}

TEST(Exports, ComponentDestroyedWhileItsThreadsLive) {
  void* h = Halvex_Corvane_Create(nullptr, nullptr, nullptr, 0);
  std::atomic<int> stored{0};
  std::atomic<bool> destroyed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      Halvex_Corvane_SetLastErrorAndCode(h, t, "mine");
      ++stored;
      while (!destroyed) std::this_thread::yield();
      // Ends after the component is gone; the clean-up must not touch it.
    });
  }
  while (stored < 8) std::this_thread::yield();
  Halvex_Corvane_Destroy(h);
  destroyed = true;
  for (auto& t : threads) t.join();

  // A new component is served as usual and cleaned when its threads end.
  void* again = Halvex_Corvane_Create(nullptr, nullptr, nullptr, 0);
  std::thread([&] { Halvex_Corvane_SetLastErrorAndCode(again, 1, "x"); }).join();
  EXPECT_EQ(0, Halvex_Corvane_GetLastErrorCode(again));
  Halvex_Corvane_Destroy(again);
}

// --- Halvex_EvtStr -------------------------------------------------------

HalvexEvtStr Record(uint32_t code_page) {
  HalvexEvtStr r;
  std::memset(&r, 0, sizeof(r));
  r.code_page = code_page;
  return r;
}

void Release(HalvexEvtStr& r) { Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_REF, nullptr, HALVEX_EVTSTR_NARROW); }

TEST(EvtStr, RecordIs32BytesAndNullRecordAnswersZero) {
  EXPECT_EQ(32u, sizeof(HalvexEvtStr));
  EXPECT_EQ(0, Halvex_EvtStr(nullptr, HALVEX_EVTSTR_READ, nullptr, HALVEX_EVTSTR_NARROW));
}

TEST(EvtStr, ReadConvertsOnceAndOwnsTheCopy) {
  HalvexEvtStr r = Record(65001);
  std::u16string wide = u"gr\u00fc\u00df";
  Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_REF, wide.data(), HALVEX_EVTSTR_WIDE);
  EXPECT_EQ(0u, r.flags);
  auto first = Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, HALVEX_EVTSTR_NARROW);
  EXPECT_STREQ("gr\xc3\xbc\xc3\x9f", reinterpret_cast<const char*>(first));
  EXPECT_EQ(static_cast<uint32_t>(HALVEX_EVTSTR_OWNS_NARROW), r.flags);
  EXPECT_EQ(first, Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, HALVEX_EVTSTR_NARROW));
  EXPECT_EQ(reinterpret_cast<intptr_t>(wide.data()), Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, 2));
  EXPECT_EQ(0, Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, 3));
  Release(r);
  EXPECT_EQ(0u, r.flags);
  EXPECT_EQ(nullptr, r.wide);
}

TEST(EvtStr, EmptyWideReadsAsEmptyNarrowWithoutAllocating) {
  HalvexEvtStr r = Record(1252);
  char16_t empty[1] = {0};
  Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_REF, empty, HALVEX_EVTSTR_WIDE);
  auto p = Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, HALVEX_EVTSTR_NARROW);
  ASSERT_NE(0, p);
  EXPECT_STREQ("", reinterpret_cast<const char*>(p));
  EXPECT_EQ(0u, r.flags);
  EXPECT_EQ(nullptr, r.narrow);
}

TEST(EvtStr, FailedConversionClearsTheRecordAndKeepsTheError) {
  HalvexEvtStr r = Record(1252);
  Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_COPY, const_cast<char16_t*>(u"\u4e2d\u6587"), HALVEX_EVTSTR_WIDE);
  EXPECT_EQ(static_cast<uint32_t>(HALVEX_EVTSTR_OWNS_WIDE), r.flags);
  EXPECT_EQ(0, Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, HALVEX_EVTSTR_NARROW));
  EXPECT_EQ(1113, r.error);
  EXPECT_EQ(nullptr, r.wide);
  EXPECT_EQ(0u, r.flags);
  // The error sticks until the record is set again.
  EXPECT_EQ(0, Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, HALVEX_EVTSTR_WIDE));
  Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_COPY, const_cast<char*>("ok"), HALVEX_EVTSTR_NARROW);
  EXPECT_EQ(0, r.error);
  EXPECT_EQ(u"ok", std::u16string(reinterpret_cast<const char16_t*>(
                       Halvex_EvtStr(&r, HALVEX_EVTSTR_READ, nullptr, HALVEX_EVTSTR_WIDE))));
  Release(r);
}

TEST(EvtStr, CopyOfEqualTextKeepsTheRecordAndCopyFromItselfIsSafe) {
  HalvexEvtStr r = Record(65001);
  char text[] = "same";
  Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_COPY, text, HALVEX_EVTSTR_NARROW);
  char* owned = r.narrow;
  ASSERT_NE(text, owned);
  char again[] = "same";
  Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_COPY, again, HALVEX_EVTSTR_NARROW);
  EXPECT_EQ(owned, r.narrow);
  EXPECT_EQ(static_cast<uint32_t>(HALVEX_EVTSTR_OWNS_NARROW), r.flags);
  // The tail of the owned text, copied in place of it.
  Halvex_EvtStr(&r, HALVEX_EVTSTR_SET_COPY, owned + 2, HALVEX_EVTSTR_NARROW);
  EXPECT_STREQ("me", r.narrow);
  Release(r);
}

// --- Halvex_Stream ---------------------------------------------------------

// Answers every slot with its own number, so the mapping is visible.
class SlotStream final : public HostStream {
 public:
  void Destroy(int32_t flags) override { calls.push_back(flags == 1 ? 2 : -2); }
  intptr_t ErrorText() override { return Note(3); }
  int32_t ErrorCode() override { return Note(4); }
  bool Flag(int32_t value) override { return Note(6) && value == 33; }
  int64_t Size() override { return Note(7) + 0x100000000LL; }
  int32_t SetSize(int64_t value, void*, void*) override { return Note(8) + static_cast<int32_t>(value); }
  int32_t Read(void*, int32_t count, void*) override { return Note(9) * 100 + count; }
  int32_t Write(const void*, int32_t count, void*) override { return Note(10) * 100 + count; }
  int32_t Seek(int64_t offset, int32_t origin, void*) override {
    return Note(11) * 100 + static_cast<int32_t>(offset) + origin;
  }
  int32_t Flush(void*, void*) override { return Note(12); }
  void Close(void*) override { Note(13); }
  std::vector<int> calls;

 private:
  int Note(int slot) {
    calls.push_back(slot);
    return slot;
  }
};

TEST(Stream, NullStreamAnswers) {
  intptr_t text = 0;
  EXPECT_EQ(0, Halvex_Stream(nullptr, 508, nullptr, &text));
  EXPECT_STREQ("Invalid stream pointer.", reinterpret_cast<const char*>(text));
  int32_t code = 0;
  EXPECT_EQ(0, Halvex_Stream(nullptr, 509, nullptr, &code));
  EXPECT_EQ(-1, code);
  uint8_t flag = 1;
  EXPECT_EQ(0, Halvex_Stream(nullptr, 505, nullptr, &flag));
  EXPECT_EQ(0, flag);
  EXPECT_EQ(0, Halvex_Stream(nullptr, 504, nullptr, nullptr));
  EXPECT_EQ(-1, Halvex_Stream(nullptr, 500, nullptr, nullptr));
}

TEST(Stream, OperationsReachTheirSlotsWithTheirResultWidths) {
  SlotStream s;
  char buffer[4];
  StreamBufferArgs io{buffer, 4};
  int64_t offset = 5;
  StreamSeekArgs seek{&offset, 1};
  StreamInt32Arg flag_arg{33};
  StreamInt64Arg size_arg{&offset};
  EXPECT_EQ(904, Halvex_Stream(&s, 500, &io, nullptr));
  EXPECT_EQ(1004, Halvex_Stream(&s, 501, &io, nullptr));
  EXPECT_EQ(1106, Halvex_Stream(&s, 502, &seek, nullptr));
  EXPECT_EQ(12, Halvex_Stream(&s, 503, nullptr, nullptr));
  EXPECT_EQ(13, Halvex_Stream(&s, 507, &size_arg, nullptr));
  uint8_t flag = 0;
  EXPECT_EQ(0, Halvex_Stream(&s, 505, &flag_arg, &flag));
  EXPECT_EQ(1, flag);
  int64_t size = 0;
  EXPECT_EQ(0, Halvex_Stream(&s, 506, nullptr, &size));
  EXPECT_EQ(0x100000007LL, size);
  intptr_t text = 0;
  int32_t code = 0;
  EXPECT_EQ(0, Halvex_Stream(&s, 508, nullptr, &text));
  EXPECT_EQ(0, Halvex_Stream(&s, 509, nullptr, &code));
  EXPECT_EQ(3, text);
  EXPECT_EQ(4, code);
  EXPECT_EQ(0, Halvex_Stream(&s, 504, nullptr, nullptr));
  EXPECT_EQ(-1, Halvex_Stream(&s, 500, nullptr, nullptr));  // missing argument record
  EXPECT_EQ(0, Halvex_Stream(&s, 999, nullptr, nullptr));
  EXPECT_EQ((std::vector<int>{9, 10, 11, 12, 8, 6, 7, 3, 4, 13, 2}), s.calls);
}

}  // namespace
}  // namespace corvane
