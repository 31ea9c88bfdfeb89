#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "diag/result_codes.h"
#include "provider/manager_fixture.h"

namespace corvane::testing {
namespace {

using namespace platform;

class RecordingExecutor : public DeferredExecutor {
 public:
  explicit RecordingExecutor(bool accept) : accept_(accept) {}
  bool Enqueue(std::unique_ptr<ExecuteRequest>& request) override {
    ++offered;
    if (!accept_) return false;
    taken.push_back(std::move(request));
    return true;
  }
  int offered = 0;
  std::vector<std::unique_ptr<ExecuteRequest>> taken;

 private:
  bool accept_;
};

class ExecuteActionTest : public ManagerTest {
 protected:
  PlaceholderAction Action(CF_OPERATION_TYPE type) {
    PlaceholderAction action;
    action.operation_type = type;
    action.connection_key.Internal = 77;
    action.transfer_key = 99;
    action.completion_status = STATUS_CLOUD_FILE_UNSUCCESSFUL;
    return action;
  }
};

TEST_F(ExecuteActionTest, MalformedActionsAndUnsupportedTypesAreRefused) {
  RecordingExecutor executor(true);
  manager_.SetDeferredExecutor(&executor);
  EXPECT_EQ(E_INVALIDARG, manager_.ExecutePlaceholderAction(nullptr));
  PlaceholderAction action = Action(CF_OPERATION_TYPE_ACK_DELETE);
  action.size = 12;
  EXPECT_EQ(E_INVALIDARG, manager_.ExecutePlaceholderAction(&action));
  action = Action(CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS);
  EXPECT_EQ(E_NOTIMPL, manager_.ExecutePlaceholderAction(&action));
  EXPECT_EQ(0, executor.offered);
  EXPECT_EQ(1u, LinesWith(u"ExecutePlaceholderAction called, type: 4").size());
}

TEST_F(ExecuteActionTest, DeferredRequestsOwnTheirIdentityAndCorrelationVector) {
  RecordingExecutor executor(true);
  manager_.SetDeferredExecutor(&executor);

  CORRELATION_VECTOR vector;
  vector.Version = 2;
  std::strcpy(vector.Vector, "abc.1");
  PlaceholderAction action = Action(CF_OPERATION_TYPE_ACK_DATA);
  action.offset = 4096;
  action.length = 8192;
  action.correlation_vector = &vector;
  ASSERT_EQ(S_OK, manager_.ExecutePlaceholderAction(&action));
  vector.Vector[0] = 'X';

  ASSERT_EQ(1u, executor.taken.size());
  const ExecuteRequest& request = *executor.taken[0];
  EXPECT_EQ(CF_OPERATION_TYPE_ACK_DATA, request.info.Type);
  EXPECT_EQ(77, request.info.ConnectionKey.Internal);
  EXPECT_EQ(99, request.info.TransferKey);
  ASSERT_NE(nullptr, request.info.CorrelationVector);
  EXPECT_STREQ("abc.1", request.info.CorrelationVector->Vector);
  EXPECT_EQ(32u, request.params.ParamSize);
  EXPECT_EQ(4096, request.params.AckData.Offset);
  EXPECT_EQ(8192, request.params.AckData.Length);
  EXPECT_EQ(STATUS_CLOUD_FILE_UNSUCCESSFUL, request.params.AckData.CompletionStatus);

  // The acknowledgement of a dehydration copies the identity, or has none,
  // and never takes flags given for another operation.
  const char identity[] = "id-42";
  action = Action(CF_OPERATION_TYPE_ACK_DEHYDRATE);
  action.flags = CF_CALLBACK_DEHYDRATE_FLAG_BACKGROUND;
  action.file_identity = identity;
  action.file_identity_length = 5;
  ASSERT_EQ(S_OK, manager_.ExecutePlaceholderAction(&action));
  action.file_identity = nullptr;
  action.file_identity_length = 0;
  ASSERT_EQ(S_OK, manager_.ExecutePlaceholderAction(&action));
  ASSERT_EQ(3u, executor.taken.size());
  const auto& ack = executor.taken[1]->params.AckDehydrate;
  EXPECT_EQ(32u, executor.taken[1]->params.ParamSize);
  EXPECT_EQ(CF_OPERATION_ACK_DEHYDRATE_FLAG_NONE, ack.Flags);
  EXPECT_NE(static_cast<const void*>(identity), ack.FileIdentity);
  EXPECT_EQ("id-42", std::string(static_cast<const char*>(ack.FileIdentity), ack.FileIdentityLength));
  EXPECT_EQ(nullptr, executor.taken[2]->params.AckDehydrate.FileIdentity);

}

TEST_F(ExecuteActionTest, WithoutATakerTheAnswerRunsAtOnceAndReportsThePlatformResult) {
  const HRESULT not_running = HRESULT_FROM_WIN32(ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
  PlaceholderAction action = Action(CF_OPERATION_TYPE_ACK_DATA);
  EXPECT_EQ(not_running, manager_.ExecutePlaceholderAction(&action));

  RecordingExecutor refusing(false);
  manager_.SetDeferredExecutor(&refusing);
  EXPECT_EQ(not_running, manager_.ExecutePlaceholderAction(&action));
  EXPECT_EQ(1, refusing.offered);
  const auto exits = LinesWith(u"ExecutePlaceholderAction result code: 0x8007016a");
  ASSERT_EQ(2u, exits.size());
  EXPECT_EQ(kLogVerbose, exits[0].first);

  // A retrieval reads into the caller's buffer, so it never waits for a
  // taker, and it needs somewhere to put what it read. Data too goes in the
  // caller's call, from the caller's buffer: a taker would need a copy.
  char bytes[16];
  int64_t returned = -1;
  PlaceholderAction retrieve = Action(CF_OPERATION_TYPE_RETRIEVE_DATA);
  retrieve.length = sizeof bytes;
  EXPECT_EQ(E_INVALIDARG, manager_.ExecutePlaceholderAction(&retrieve));
  retrieve.retrieve_buffer = bytes;
  retrieve.returned_length = &returned;
  std::unique_ptr<ExecuteRequest> built;
  ASSERT_EQ(S_OK, PlaceholderManager::BuildExecuteRequest(retrieve, built, true));
  EXPECT_EQ(48u, built->params.ParamSize);
  EXPECT_EQ(static_cast<void*>(bytes), built->params.RetrieveData.Buffer);
  RecordingExecutor taking_all(true);
  manager_.SetDeferredExecutor(&taking_all);
  EXPECT_EQ(not_running, manager_.ExecutePlaceholderAction(&retrieve));
  EXPECT_EQ(0, returned);
  PlaceholderAction data = Action(CF_OPERATION_TYPE_TRANSFER_DATA);
  data.buffer = bytes;
  data.length = sizeof bytes;
  EXPECT_EQ(not_running, manager_.ExecutePlaceholderAction(&data));
  EXPECT_EQ(0, taking_all.offered);

  // The deferred path reports the same failure in its own words.
  RecordingExecutor taking(true);
  manager_.SetDeferredExecutor(&taking);
  ASSERT_EQ(S_OK, manager_.ExecutePlaceholderAction(&action));
  ASSERT_EQ(1u, taking.taken.size());
  EXPECT_EQ(kErrNoData, manager_.RunDeferredExecute(*taking.taken[0]));
  EXPECT_EQ(1u, LinesWith(u"Deferred CfExecute failed, hr=0x8007016a").size());
}

}  // namespace
}  // namespace corvane::testing
