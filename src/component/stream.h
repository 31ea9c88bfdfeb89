// The shape of a stream object handed to Halvex_Stream: a table of virtual
// operations whose slot numbers the export addresses. Slot order matters;
// never reorder these declarations.
#pragma once

#include <cstdint>

namespace corvane {

class HostStream {
 public:
  virtual void Slot0() {}                                    // 0: unused
  virtual void Slot1() {}                                    // 1: unused
  virtual void Destroy(int32_t flags) = 0;                   // 2
  virtual intptr_t ErrorText() = 0;                          // 3
  virtual int32_t ErrorCode() = 0;                           // 4
  virtual void Slot5() {}                                    // 5: unused
  virtual bool Flag(int32_t value) = 0;                      // 6
  virtual int64_t Size() = 0;                                // 7
  virtual int32_t SetSize(int64_t value, void* arguments, void* result) = 0;   // 8
  virtual int32_t Read(void* buffer, int32_t count, void* result) = 0;         // 9
  virtual int32_t Write(const void* buffer, int32_t count, void* result) = 0;  // 10
  virtual int32_t Seek(int64_t offset, int32_t origin, void* result) = 0;      // 11
  virtual int32_t Flush(void* arguments, void* result) = 0;                    // 12
  virtual void Close(void* arguments) = 0;                                     // 13

 protected:
  ~HostStream() = default;  // streams end through Destroy
};

// Argument records of the stream operations.
struct StreamBufferArgs {
  void* buffer;
  int32_t count;
};
struct StreamSeekArgs {
  int64_t* offset;
  int32_t origin;
};
struct StreamInt32Arg {
  int32_t value;
};
struct StreamInt64Arg {
  int64_t* value;
};

}  // namespace corvane
