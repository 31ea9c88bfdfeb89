#include "support/sync_root_path.h"

#include <vector>

namespace corvane {
namespace {

constexpr char16_t kSeparator = u'\\';

bool IsDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// Windows drops trailing dots and spaces from a path component, so ". ." and
// "..." reach the file system as ".." or "."; treat any component made only of
// dots and spaces that holds two dots as a parent reference.
bool IsParentLike(std::u16string_view component) {
  if (component.empty()) return false;
  size_t dots = 0;
  for (char16_t c : component) {
    if (c == u'.') {
      ++dots;
    } else if (c != u' ') {
      return false;
    }
  }
  return dots >= 2;
}

}  // namespace

std::u16string NormalizeSeparators(std::u16string_view path) {
  std::u16string out(path);
  for (char16_t& c : out) {
    if (c == u'/') c = kSeparator;
  }
  return out;
}

namespace {

bool StartsWithDrive(std::u16string_view path) {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':';
}

std::u16string PrepareOnce(std::u16string_view path) {
  if (path.empty()) return std::u16string();
  const std::u16string work = NormalizeSeparators(path);

  size_t prefix_len = 0;
  if (work.compare(0, 4, u"\\\\?\\") == 0) {
    // "\\?\" only turns the Win32 path parsing off: before a drive, the plain
    // form names the same folder, and it is the form every service takes.
    if (StartsWithDrive(std::u16string_view(work).substr(4))) return PrepareOnce(std::u16string_view(work).substr(4));
    prefix_len = 4;  // a volume or UNC form keeps its prefix
  } else if (StartsWithDrive(work)) {
    prefix_len = (work.size() >= 3 && work[2] == kSeparator) ? 3 : 2;
  } else if (work[0] == kSeparator) {
    prefix_len = 1;
  }
  const std::u16string prefix = work.substr(0, prefix_len);

  std::vector<std::u16string_view> components;
  std::u16string_view rest(work);
  rest.remove_prefix(prefix_len);
  while (!rest.empty()) {
    size_t end = rest.find(kSeparator);
    std::u16string_view component = rest.substr(0, end);
    rest.remove_prefix(end == std::u16string_view::npos ? rest.size() : end + 1);
    if (component.empty() || component == u".") continue;
    if (component == u"..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }

  std::u16string result = prefix;
  for (size_t i = 0; i < components.size(); ++i) {
    if (!result.empty() && result.back() != kSeparator) result.push_back(kSeparator);
    result.append(components[i]);
  }
  if (result.size() > prefix.size() && result.size() >= 2 && result.back() == kSeparator) {
    result.pop_back();
  }
  return result;
}

}  // namespace

std::u16string PrepareSyncRootPath(std::u16string_view path) {
  std::u16string result = PrepareOnce(path);
  // Resolving dots can bring a drive to the front ("a\..\C:x" -> "C:x",
  // "\\?\.\C:\x" -> "\\?\C:\x"), which the next preparation reads
  // differently: prepare again until the result is its own preparation.
  for (int pass = 0; pass < 4; ++pass) {
    std::u16string again = PrepareOnce(result);
    if (again == result) break;
    result = std::move(again);
  }
  return result;
}

bool IsSafeRelativePath(std::u16string_view path) {
  if (path.find(u'\0') != std::u16string_view::npos) return false;
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == u':') return false;
  if (path.size() >= 2 && path[0] == kSeparator && path[1] == kSeparator) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(kSeparator, start);
    if (end == std::u16string_view::npos) end = path.size();
    if (IsParentLike(path.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

bool IsSafeItemName(std::u16string_view name) {
  if (name.find(u'\0') != std::u16string_view::npos) return false;
  if (name.find(u'\\') != std::u16string_view::npos || name.find(u'/') != std::u16string_view::npos) {
    return false;
  }
  return name != u"." && !IsParentLike(name);
}

std::u16string FoldAsciiCase(std::u16string_view path) {
  std::u16string folded(path);
  for (char16_t& c : folded)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return folded;
}

bool IsBelowFolder(std::u16string_view path, std::u16string_view folder) {
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == u'\\';
}

}  // namespace corvane
