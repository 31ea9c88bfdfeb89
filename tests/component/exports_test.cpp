#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
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
  // The event error is a separate pair.
  EXPECT_EQ(9, Halvex_Corvane_SetEventErrorAndCode(h, 9, "nine"));
  EXPECT_STREQ("nine", Halvex_Corvane_GetEventError(h));
  EXPECT_EQ(9, Halvex_Corvane_GetEventErrorCode(h));
  EXPECT_EQ(-3, Halvex_Corvane_GetLastErrorCode(h));
  EXPECT_EQ(0, Halvex_Corvane_Destroy(h));
}

TEST(Exports, CreatingAComponentResetsTheLogLevel) {
  SetCurrentLogLevel(4);
  void* h = Halvex_Corvane_Create(nullptr, nullptr, nullptr, 0);
  EXPECT_EQ(3, CurrentLogLevel());
  EXPECT_EQ(65001u, static_cast<Component*>(h)->code_page());
  Halvex_Corvane_Destroy(h);
}

TEST(Exports, ThreadsSeeOnlyTheirOwnErrors) {
  void* h = Halvex_Corvane_Create(nullptr, nullptr, nullptr, 0);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        const int32_t code = t * 1000 + i;
        const std::string text = "thread " + std::to_string(code);
        Halvex_Corvane_SetLastErrorAndCode(h, code, text.c_str());
        Halvex_Corvane_SetEventErrorAndCode(h, -code, text.c_str());
        std::this_thread::yield();
        if (Halvex_Corvane_GetLastErrorCode(h) != code || text != Halvex_Corvane_GetLastError(h) ||
            Halvex_Corvane_GetEventErrorCode(h) != -code) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, mismatches.load());
  Halvex_Corvane_Destroy(h);
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

class MemoryStream final : public HostStream {
 public:
  explicit MemoryStream(bool* destroyed) : destroyed_(destroyed) {}
  void Destroy(int32_t flags) override {
    *destroyed_ = flags == 1 && closed_;
    delete this;
  }
  intptr_t ErrorText() override { return reinterpret_cast<intptr_t>("none"); }
  int32_t ErrorCode() override { return 12; }
  bool Flag(int32_t value) override { return value == 3; }
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  int32_t SetSize(int64_t value, void*, void*) override {
    data_.resize(static_cast<size_t>(value));
    return 0;
  }
  int32_t Read(void* buffer, int32_t count, void* result) override {
    const auto n = std::min<size_t>(static_cast<size_t>(count), data_.size() - pos_);
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    *static_cast<int32_t*>(result) = static_cast<int32_t>(n);
    return 0;
  }
  int32_t Write(const void* buffer, int32_t count, void*) override {
    data_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
    return 0;
  }
  int32_t Seek(int64_t offset, int32_t, void*) override {
    pos_ = static_cast<size_t>(offset);
    return 0;
  }
  int32_t Flush(void*, void*) override { return 7; }
  void Close(void*) override { closed_ = true; }

 private:
  bool* destroyed_;
  bool closed_ = false;
  std::string data_;
  size_t pos_ = 0;
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

TEST(Stream, OperationsReachTheirSlots) {
  bool destroyed = false;
  auto* s = new MemoryStream(&destroyed);
  StreamBufferArgs write{const_cast<char*>("hello"), 5};
  EXPECT_EQ(0, Halvex_Stream(s, 501, &write, nullptr));
  int64_t size = 0;
  EXPECT_EQ(0, Halvex_Stream(s, 506, nullptr, &size));
  EXPECT_EQ(5, size);
  int64_t offset = 1;
  StreamSeekArgs seek{&offset, 0};
  EXPECT_EQ(0, Halvex_Stream(s, 502, &seek, nullptr));
  char buffer[8] = {};
  int32_t got = 0;
  StreamBufferArgs read{buffer, 3};
  EXPECT_EQ(0, Halvex_Stream(s, 500, &read, &got));
  EXPECT_EQ(3, got);
  EXPECT_STREQ("ell", buffer);
  uint8_t flag = 0;
  StreamInt32Arg three{3};
  EXPECT_EQ(0, Halvex_Stream(s, 505, &three, &flag));
  EXPECT_EQ(1, flag);
  int32_t code = 0;
  EXPECT_EQ(0, Halvex_Stream(s, 509, nullptr, &code));
  EXPECT_EQ(12, code);
  EXPECT_EQ(7, Halvex_Stream(s, 503, nullptr, nullptr));
  EXPECT_EQ(-1, Halvex_Stream(s, 500, nullptr, nullptr));  // missing argument record
  EXPECT_EQ(0, Halvex_Stream(s, 999, nullptr, nullptr));
  EXPECT_EQ(0, Halvex_Stream(s, 504, nullptr, nullptr));
  EXPECT_TRUE(destroyed);
}

}  // namespace
}  // namespace corvane
