#include "platform/local/byte_ranges.h"

#include <algorithm>

namespace corvane::platform::local {
namespace {

constexpr uint8_t kRangesVersion = 1;

void PutU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint64_t GetU64(const std::string& in, size_t pos) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(in[pos + i]);
  return v;
}

}  // namespace

void ByteRanges::Add(uint64_t begin, uint64_t end) {
  if (begin >= end) return;
  std::vector<Range> out;
  out.reserve(ranges_.size() + 1);
  bool placed = false;
  for (const Range& r : ranges_) {
    if (r.second < begin) {
      out.push_back(r);
    } else if (r.first > end) {
      if (!placed) out.emplace_back(begin, end), placed = true;
      out.push_back(r);
    } else {
      begin = std::min(begin, r.first);
      end = std::max(end, r.second);
    }
  }
  if (!placed) out.emplace_back(begin, end);
  ranges_.swap(out);
}

void ByteRanges::Remove(uint64_t begin, uint64_t end) {
  if (begin >= end) return;
  std::vector<Range> out;
  for (const Range& r : ranges_) {
    if (r.second <= begin || r.first >= end) {
      out.push_back(r);
      continue;
    }
    if (r.first < begin) out.emplace_back(r.first, begin);
    if (r.second > end) out.emplace_back(end, r.second);
  }
  ranges_.swap(out);
}

bool ByteRanges::Covers(uint64_t begin, uint64_t end) const {
  if (begin >= end) return true;
  for (const Range& r : ranges_)
    if (r.first <= begin && r.second >= end) return true;
  return false;
}

std::vector<ByteRanges::Range> ByteRanges::Missing(uint64_t begin, uint64_t end) const {
  std::vector<Range> out;
  uint64_t pos = begin;
  for (const Range& r : ranges_) {
    if (pos >= end) break;
    if (r.second <= pos) continue;
    if (r.first >= end) break;
    if (r.first > pos) out.emplace_back(pos, r.first);
    pos = std::max(pos, r.second);
  }
  if (pos < end) out.emplace_back(pos, end);
  return out;
}

uint64_t ByteRanges::TotalBytes() const {
  uint64_t total = 0;
  for (const Range& r : ranges_) total += r.second - r.first;
  return total;
}

std::string ByteRanges::Encode() const {
  std::string out(1, static_cast<char>(kRangesVersion));
  for (const Range& r : ranges_) {
    PutU64(out, r.first);
    PutU64(out, r.second);
  }
  return out;
}

bool ByteRanges::Decode(const std::string& bytes) {
  ranges_.clear();
  if (bytes.empty()) return true;
  if (static_cast<uint8_t>(bytes[0]) != kRangesVersion || (bytes.size() - 1) % 16 != 0) return false;
  for (size_t pos = 1; pos < bytes.size(); pos += 16) Add(GetU64(bytes, pos), GetU64(bytes, pos + 8));
  return true;
}

}  // namespace corvane::platform::local
