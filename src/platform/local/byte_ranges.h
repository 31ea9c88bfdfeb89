// A set of half-open byte ranges [begin, end), kept sorted and merged. Holds
// which parts of a placeholder's data are on disk.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvane::platform::local {

class ByteRanges {
 public:
  using Range = std::pair<uint64_t, uint64_t>;

  void Add(uint64_t begin, uint64_t end);
  void Remove(uint64_t begin, uint64_t end);
  void Clear() { ranges_.clear(); }
  // Drops everything at or past `size` (the file shrank).
  void Truncate(uint64_t size) { Remove(size, UINT64_MAX); }

  bool Covers(uint64_t begin, uint64_t end) const;
  // The parts of [begin, end) that are not in the set.
  std::vector<Range> Missing(uint64_t begin, uint64_t end) const;
  uint64_t TotalBytes() const;
  bool empty() const { return ranges_.empty(); }
  const std::vector<Range>& ranges() const { return ranges_; }

  // Compact versioned encoding for an extended attribute.
  std::string Encode() const;
  bool Decode(const std::string& bytes);

 private:
  std::vector<Range> ranges_;
};

}  // namespace corvane::platform::local
