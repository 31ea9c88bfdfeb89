#include "engine/transfer_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace corvane {
namespace {

// Far beyond any transfer; keeps the growth arithmetic away from overflow.
constexpr uint64_t kMaxStreamSize = uint64_t{1} << 40;

}  // namespace

bool TransferStream::Reserve(uint64_t needed) {
  if (needed <= capacity_) return true;
  if (needed > kMaxStreamSize) return false;
  // Grow by a third (at least 32 bytes) so that many small writes do not
  // copy the buffer each time.
  const uint64_t step = std::max<uint64_t>(
      static_cast<uint64_t>(static_cast<double>(capacity_) * 1.33 + 0.5) - capacity_, 32);
  const uint64_t capacity = std::max(capacity_ + step, needed);
  std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
  if (!grown) return false;
  // No zero fill here: writes cover what they add, and Seek and SetSize
  // zero what they expose.
  if (size_ > 0) std::memcpy(grown.get(), buffer_.get(), size_);
  buffer_ = std::move(grown);
  capacity_ = capacity;
  return true;
}

bool TransferStream::Write(const void* data, size_t count) {
  if (count == 0) return true;
  if (!Reserve(position_ + count)) return false;
  std::memcpy(buffer_.get() + position_, data, count);
  position_ += count;
  size_ = std::max(size_, position_);
  return true;
}

size_t TransferStream::Read(void* data, size_t count) {
  if (position_ >= size_) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, size_ - position_));
  std::memcpy(data, buffer_.get() + position_, n);
  position_ += n;
  return n;
}

bool TransferStream::Seek(uint64_t position) {
  if (!Reserve(position)) return false;
  if (position > size_) std::memset(buffer_.get() + size_, 0, position - size_);
  position_ = position;
  size_ = std::max(size_, position_);
  return true;
}

bool TransferStream::SetSize(uint64_t size) {
  if (!Reserve(size)) return false;
  // Bytes cut off and later exposed again by a larger size read as zeros.
  if (size < size_) std::memset(buffer_.get() + size, 0, size_ - size);
  if (size > size_) std::memset(buffer_.get() + size_, 0, size - size_);
  size_ = size;
  position_ = std::min(position_, size_);
  return true;
}

void TransferStream::Compact() {
  // The unsent bytes move to the front of the same buffer: a transfer
  // compacts after every flush, and a fresh buffer each time would be
  // allocated and grown again by the next write.
  const uint64_t remaining = position_ < size_ ? size_ - position_ : 0;
  if (remaining > 0 && position_ > 0) std::memmove(buffer_.get(), buffer_.get() + position_, remaining);
  size_ = remaining;
  position_ = 0;
}

void TransferStream::Clear() {
  buffer_.reset();
  capacity_ = size_ = position_ = 0;
}

}  // namespace corvane
