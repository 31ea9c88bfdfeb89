// A growable in-memory byte stream: the data a host supplies for a fetch
// collects here until a whole chunk can leave towards the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace corvane {

class TransferStream {
 public:
  TransferStream() = default;
  TransferStream(const TransferStream&) = delete;
  TransferStream& operator=(const TransferStream&) = delete;

  // Writes at the position, growing the buffer as needed; false only when
  // the stream would pass the addressable size.
  bool Write(const void* data, size_t count);
  // Copies up to `count` bytes from the position; returns how many.
  size_t Read(void* data, size_t count);
  // Moves the position; a position past the size extends the stream.
  bool Seek(uint64_t position);
  // Keeps only the unread bytes (position to size); the position becomes 0.
  void Compact();

  uint64_t Size() const { return size_; }
  bool SetSize(uint64_t size);
  uint64_t Position() const { return position_; }
  uint64_t Capacity() const { return capacity_; }
  const uint8_t* Data() const { return buffer_.get(); }
  void Clear();

 private:
  bool Reserve(uint64_t needed);

  std::unique_ptr<uint8_t[]> buffer_;
  uint64_t capacity_ = 0;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

}  // namespace corvane
