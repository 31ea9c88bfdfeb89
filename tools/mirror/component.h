// A thin C++ face over the sixteen C exports: one function per method the
// mirror calls, so that the argument slots are laid out in one place.
//
// Every string crosses the boundary as UTF-8 (the component's default code
// page 65001); 64-bit arguments are passed by pointer, as the slots require.
#pragma once

#include <halvex/corvane.h>

#include <cstdint>
#include <string>

namespace mirror {

// Times are file times: 100-ns ticks since 1601-01-01 UTC.
struct ItemTimes {
  int64_t creation = 0;
  int64_t last_access = 0;
  int64_t last_write = 0;
};

class Component {
 public:
  // Events arrive on `sink` with 8-bit (UTF-8) strings.
  Component(HalvexEventSink sink, void* context);
  ~Component();
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  bool valid() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }

  // The calling thread's last error, as "text (code 0x...)".
  std::string LastError() const;

  int32_t SetSyncRootPath(const std::string& path);
  int32_t SetSyncRootLabel(const std::string& label);
  // "Name=Value" writes a setting, "Name" alone queries it into `answer`.
  int32_t Config(const std::string& setting, std::string* answer = nullptr);

  // Life of a provider.
  int32_t Install();
  int32_t Uninstall();
  int32_t Activate();  // synchronous
  int32_t Deactivate();

  // Answers to events.
  int32_t ListFile(int64_t task, const std::string& name, int64_t size, const ItemTimes& times);
  int32_t ListFolder(int64_t task, const std::string& name, const ItemTimes& times);
  int32_t PutItemData(int64_t task, const void* data, int32_t count);
  int32_t FinalizeTask(int64_t task, int32_t result);
  int32_t GetLocalFileData(int64_t task, int64_t position, void* buffer, int32_t count, int32_t* bytes_read);
  // Whether all of a file's data is on disk (false when that is unknown).
  bool DataOnDisk(const std::string& path);

  // Remote changes applied to the sync root. Paths are relative to it.
  int32_t CreateFile(const std::string& path, int64_t size, const ItemTimes& times);
  int32_t CreateFolder(const std::string& path, const ItemTimes& times);
  int32_t UpdateFile(const std::string& path, int64_t size, const ItemTimes& times);
  int32_t DeleteFile(const std::string& path);
  int32_t DeleteFolder(const std::string& path);
  int32_t RenameFile(const std::string& from, const std::string& to);
  int32_t RenameFolder(const std::string& from, const std::string& to);

 private:
  int32_t Do(int32_t method, int32_t count, intptr_t* params, int32_t* cbparams = nullptr);

  void* handle_ = nullptr;
};

}  // namespace mirror
