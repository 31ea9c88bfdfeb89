// How the engine reaches the host: one fire operation per event. Each returns
// the handler's result code (0 when handled); the engine also reads in/out
// ResultCode parameters and the calling thread's event error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

class EventInterface {
 public:
  virtual ~EventInterface() = default;

  // Called with the code page before every event; nothing to do here.
  virtual void BeforeEvent(uint32_t code_page) { (void)code_page; }

  virtual int32_t FireActivated(int32_t error_code) = 0;
  virtual int32_t FireCancelTask(int64_t task_id, const std::u16string& path, int32_t& result_code) = 0;
  virtual int32_t FireCreateFile(int64_t task_id, const std::u16string& path, int32_t attributes, int64_t size,
                                 int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                                 int32_t& result_code) = 0;
  virtual int32_t FireCreateFolder(int64_t task_id, const std::u16string& path, int32_t attributes,
                                   int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                                   int32_t& result_code) = 0;
  virtual int32_t FireDeleteFile(int64_t task_id, const std::u16string& path, int32_t flags,
                                 int32_t& result_code) = 0;
  virtual int32_t FireDeleteFolder(int64_t task_id, const std::u16string& path, int32_t flags,
                                   int32_t& result_code) = 0;
  // The description is 8-bit text in the component's code page.
  virtual int32_t FireError(int32_t error_code, std::string_view description8) = 0;
  virtual int32_t FireGetFileData(int64_t task_id, const std::u16string& path, int64_t offset, int64_t length,
                                  int32_t& result_code) = 0;
  virtual int32_t FireListDirectory(int64_t task_id, const std::u16string& path, const std::u16string& mask,
                                    int32_t& result_code) = 0;
  virtual int32_t FireLog(int32_t level, const std::u16string& message) = 0;
  virtual int32_t FireRenameFile(int64_t task_id, const std::u16string& path, const std::u16string& new_path,
                                 int32_t& result_code) = 0;
  virtual int32_t FireRenameFolder(int64_t task_id, const std::u16string& path, const std::u16string& new_path,
                                   int32_t& result_code) = 0;
  virtual int32_t FireResetFile(int64_t task_id, const std::u16string& path) = 0;
  virtual int32_t FireUpdateFile(int64_t task_id, const std::u16string& path, int32_t update_flags,
                                 int32_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                                 int64_t last_write_time, int32_t& result_code) = 0;
  virtual int32_t FireUpdateFolder(int64_t task_id, const std::u16string& path, int32_t update_flags,
                                   int32_t attributes, int64_t creation_time, int64_t last_access_time,
                                   int64_t last_write_time, int32_t& result_code) = 0;
  // `values` and `sizes` have `count` entries; a value whose size is -1 that
  // the host fills is copied into component storage, valid until the next
  // request.
  virtual int32_t FirePlatformRequest(int32_t request_code, int32_t count, intptr_t* values,
                                      int32_t* sizes) = 0;
};

// Called on every thread the engine runs for a component, around its work.
class ThreadHook {
 public:
  virtual ~ThreadHook() = default;
  virtual void OnThreadStart() = 0;
  virtual void OnThreadEnd() = 0;
};

}  // namespace corvane
