// The component object behind a handle: owns the engine, talks to the host's
// event sink and keeps the strings handed out to the host.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>

#include "diag/log.h"
#include "engine/engine.h"
#include "engine/host_events.h"
#include "halvex/corvane.h"
#include "platform/per_thread.h"
#include "support/mutex.h"

namespace corvane {

class Component final : public EventInterface, public ThreadHook, public LogSink {
 public:
  Component(HalvexEventSink sink, void* context, bool wide_events);
  ~Component() override;
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  static constexpr const char* kProductName = "Halvex";

  // Dispatchers of the exported Get, Set and Do.
  intptr_t GetProperty(int32_t id);
  int32_t SetProperty(int32_t id, intptr_t value);
  int32_t DoMethod(int32_t id, int32_t count, intptr_t* params, int32_t* cbparams);

  bool wide_events() const { return wide_events_; }
  bool has_sink() const { return sink_ != nullptr; }
  uint32_t code_page() const { return engine.code_page.load(); }

  // EventInterface
  int32_t FireActivated(int32_t error_code) override;
  int32_t FireCancelTask(int64_t task_id, const std::u16string& path, int32_t& result_code) override;
  int32_t FireCreateFile(int64_t task_id, const std::u16string& path, int32_t attributes, int64_t size,
                         int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                         int32_t& result_code) override;
  int32_t FireCreateFolder(int64_t task_id, const std::u16string& path, int32_t attributes, int64_t creation_time,
                           int64_t last_access_time, int64_t last_write_time, int32_t& result_code) override;
  int32_t FireDeleteFile(int64_t task_id, const std::u16string& path, int32_t flags, int32_t& result_code) override;
  int32_t FireDeleteFolder(int64_t task_id, const std::u16string& path, int32_t flags,
                           int32_t& result_code) override;
  int32_t FireError(int32_t error_code, std::string_view description8) override;
  int32_t FireGetFileData(int64_t task_id, const std::u16string& path, int64_t offset, int64_t length,
                          int32_t& result_code) override;
  int32_t FireListDirectory(int64_t task_id, const std::u16string& path, const std::u16string& mask,
                            int32_t& result_code) override;
  int32_t FireLog(int32_t level, const std::u16string& message) override;
  int32_t FireRenameFile(int64_t task_id, const std::u16string& path, const std::u16string& new_path,
                         int32_t& result_code) override;
  int32_t FireRenameFolder(int64_t task_id, const std::u16string& path, const std::u16string& new_path,
                           int32_t& result_code) override;
  int32_t FireResetFile(int64_t task_id, const std::u16string& path) override;
  int32_t FireUpdateFile(int64_t task_id, const std::u16string& path, int32_t update_flags, int32_t attributes,
                         int64_t size, int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                         int32_t& result_code) override;
  int32_t FireUpdateFolder(int64_t task_id, const std::u16string& path, int32_t update_flags, int32_t attributes,
                           int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                           int32_t& result_code) override;
  int32_t FirePlatformRequest(int32_t request_code, int32_t count, intptr_t* values, int32_t* sizes) override;

  // ThreadHook
  void OnThreadStart() override;
  void OnThreadEnd() override;

  // LogSink: fires the Log event.
  void DeliverLogLine(int32_t level, const std::u16string& line) override;

  // Stores the failing handler's event error, fires Error when `report` is
  // set, and returns `code`.
  int32_t FailHandler(std::u16string_view event_name, int32_t code, bool report);

  // One event parameter before it is laid into the sink's arrays.
  struct EventParam;

  Engine engine;

  // Strings handed to the host, per calling thread: each stays valid until
  // the same thread's next Get of the same property, whatever other threads
  // read or set meanwhile.
  struct PropertyTexts {
    std::string narrow[3];
    std::u16string wide[3];
  };
  PerThread<PropertyTexts> property_texts;
  PerThread<std::u16string> wide_config_results;
  PerThread<std::u16string> wide_results_spare;

 private:
  int32_t FireStandard(int32_t event_id, std::u16string_view name, EventParam* params, int32_t count);

  HalvexEventSink sink_;
  void* context_;
  bool wide_events_;
  std::u16string product_name_;
  // Copies of the host's PlatformRequest answers; the lock keeps two
  // concurrent requests from corrupting the list.
  Mutex platform_request_mu_;
  std::list<std::unique_ptr<char[]>> platform_request_storage_ GUARDED_BY(platform_request_mu_);
};

// Process-wide lock held while one component is allocated and constructed.
Mutex& CreationLock();

}  // namespace corvane
