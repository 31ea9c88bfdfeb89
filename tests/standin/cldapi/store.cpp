#include <algorithm>
#include <cstdio>
#include <mutex>
#include <sstream>

#include "service.h"

namespace standin {
namespace {

std::string Hex(const void* data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out = n ? "" : "-";
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<const unsigned char*>(data)[i];
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}
std::string Hex(const std::string& s) { return Hex(s.data(), s.size()); }
std::string Hex(const std::wstring& s) { return Hex(s.data(), s.size() * sizeof(wchar_t)); }
std::string Unhex(const std::string& h) {
  std::string out;
  if (h == "-") return out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return out;
}
std::wstring UnhexW(const std::string& h) {
  const std::string b = Unhex(h);
  return std::wstring(reinterpret_cast<const wchar_t*>(b.data()), b.size() / sizeof(wchar_t));
}

std::wstring StateFile() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"CLDAPI_STANDIN_STATE", buf, MAX_PATH);
  if (n > 0 && n < MAX_PATH) return buf;
  n = GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH);
  std::wstring dir = (n > 0 && n < MAX_PATH) ? std::wstring(buf) : L"C:\\ProgramData";
  dir += L"\\cldapi-standin";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\state.txt";
}

std::mutex process_lock;
HANDLE PrefixMutex() {
  static HANDLE m = CreateMutexW(nullptr, FALSE, L"cldapi-standin-state");
  return m;
}

void Load(State& s) {
  FILE* f = _wfopen(StateFile().c_str(), L"rb");
  if (!f) return;
  std::string text;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  fclose(f);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string kind;
    in >> kind;
    if (kind == "U") {
      in >> s.next_usn;
    } else if (kind == "R") {
      Root r;
      std::string path, name, version, rid, fid, guid;
      in >> r.id >> path >> name >> version >> rid >> fid >> guid >> r.policies.Hydration.Primary >>
          r.policies.Hydration.Modifier >> r.policies.Population.Primary >> r.policies.Population.Modifier >>
          r.policies.InSync >> r.policies.HardLink >> r.policies.PlaceholderManagement;
      r.policies.StructSize = sizeof(CF_SYNC_POLICIES);
      r.path = UnhexW(path), r.name = UnhexW(name), r.version = UnhexW(version);
      r.root_identity = Unhex(rid), r.file_identity = Unhex(fid);
      const std::string g = Unhex(guid);
      if (g.size() == sizeof(GUID)) memcpy(&r.provider_id, g.data(), sizeof(GUID));
      if (in) s.roots.push_back(r);
    } else if (kind == "P") {
      uint64_t id;
      Item it;
      std::string identity;
      int flags = 0;
      size_t n = 0;
      in >> id >> it.root >> flags >> it.pin >> identity >> it.size >> it.stamp >> it.usn >> n;
      it.dir = flags & 1, it.in_sync = flags & 2, it.populated = flags & 4, it.always_full = flags & 8;
      it.modified = flags & 16;
      it.identity = Unhex(identity);
      for (size_t i = 0; i < n && in; ++i) {
        Range r;
        in >> r.begin >> r.end;
        it.present.push_back(r);
      }
      if (in) s.items[id] = it;
    }
  }
}

}  // namespace

const Root* State::RootOf(const std::wstring& full_path) const {
  for (const Root& r : roots)
    if (IsUnder(full_path, r.path)) return &r;
  return nullptr;
}
const Root* State::RootById(uint64_t id) const {
  for (const Root& r : roots)
    if (r.id == id) return &r;
  return nullptr;
}

Locked::Locked() {
  process_lock.lock();
  WaitForSingleObject(PrefixMutex(), INFINITE);
  Load(state_);
}
Locked::~Locked() {
  ReleaseMutex(PrefixMutex());
  process_lock.unlock();
}

void Locked::Save() {
  std::ostringstream out;
  out << "U " << state_.next_usn << "\n";
  for (const Root& r : state_.roots) {
    const auto& p = r.policies;
    out << "R " << r.id << ' ' << Hex(r.path) << ' ' << Hex(r.name) << ' ' << Hex(r.version) << ' '
        << Hex(r.root_identity) << ' ' << Hex(r.file_identity) << ' ' << Hex(&r.provider_id, sizeof(GUID)) << ' '
        << p.Hydration.Primary << ' ' << p.Hydration.Modifier << ' ' << p.Population.Primary << ' '
        << p.Population.Modifier << ' ' << p.InSync << ' ' << p.HardLink << ' ' << p.PlaceholderManagement << "\n";
  }
  for (const auto& [id, it] : state_.items) {
    const int flags = it.dir | it.in_sync << 1 | it.populated << 2 | it.always_full << 3 | it.modified << 4;
    out << "P " << id << ' ' << it.root << ' ' << flags << ' ' << it.pin << ' ' << Hex(it.identity) << ' ' << it.size
        << ' ' << it.stamp << ' ' << it.usn << ' ' << it.present.size();
    for (const Range& r : it.present) out << ' ' << r.begin << ' ' << r.end;
    out << "\n";
  }
  // Written whole, then moved over the old file, so a crash leaves one or the other.
  const std::wstring file = StateFile(), temp = file + L".new";
  FILE* f = _wfopen(temp.c_str(), L"wb");
  if (!f) return;
  const std::string text = out.str();
  const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  if (fclose(f) == 0 && ok) MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::wstring FullPath(const wchar_t* path) {
  if (path == nullptr || *path == 0) return L"";
  std::wstring p = path;
  if (p.rfind(L"\\\\?\\", 0) == 0) p = p.substr(4);
  wchar_t buf[32768];
  const DWORD n = GetFullPathNameW(p.c_str(), 32768, buf, nullptr);
  if (n == 0 || n >= 32768) return L"";
  p.assign(buf, n);
  while (p.size() > 3 && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
  return p;
}

std::wstring PathOfHandle(HANDLE handle) {
  wchar_t buf[32768];
  const DWORD n = GetFinalPathNameByHandleW(handle, buf, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= 32768) return L"";
  return FullPath(buf);
}

std::wstring VolumeRelative(const std::wstring& full) {
  // "C:\a\b" -> "\a\b"; a UNC path keeps what follows its share.
  if (full.size() >= 2 && full[1] == L':') return full.size() == 2 ? L"\\" : full.substr(2);
  if (full.rfind(L"\\\\", 0) == 0) {
    size_t p = full.find(L'\\', 2);
    if (p != std::wstring::npos) p = full.find(L'\\', p + 1);
    return p == std::wstring::npos ? L"\\" : full.substr(p);
  }
  return full;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) == CSTR_EQUAL;
}

bool IsUnder(const std::wstring& path, const std::wstring& folder) {
  if (folder.empty() || path.size() < folder.size()) return false;
  if (!SameText(path.substr(0, folder.size()), folder)) return false;
  return path.size() == folder.size() || path[folder.size()] == L'\\' || folder.back() == L'\\';
}

bool FactsOf(HANDLE handle, FileFacts& facts) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  facts.id = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
  facts.volume = info.dwVolumeSerialNumber;
  facts.dir = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
  facts.size = facts.dir ? 0 : (int64_t)info.nFileSizeHigh << 32 | info.nFileSizeLow;
  facts.write_time = (int64_t)info.ftLastWriteTime.dwHighDateTime << 32 | info.ftLastWriteTime.dwLowDateTime;
  return true;
}

bool FactsOfPath(const std::wstring& path, FileFacts& facts) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FactsOf(h, facts);
  CloseHandle(h);
  return ok;
}

void Refresh(Item& item, const FileFacts& facts, State& state) {
  if (item.dir || (facts.size == item.size && facts.write_time == item.stamp)) return;
  // A new size means rewritten; a new time alone may be a touch, which
  // brings no data: what was missing stays missing.
  if (facts.size != item.size) {
    item.present.clear();
    AddRange(item.present, {0, facts.size});
  }
  item.size = facts.size;
  item.stamp = facts.write_time;
  item.in_sync = false;
  item.modified = true;
  item.usn = state.next_usn++;
}

void AddRange(std::vector<Range>& ranges, Range r) {
  if (r.end <= r.begin) return;
  std::vector<Range> out;
  for (const Range& x : ranges) {
    if (x.end < r.begin || x.begin > r.end) {
      out.push_back(x);
    } else {
      r.begin = std::min(r.begin, x.begin);
      r.end = std::max(r.end, x.end);
    }
  }
  out.push_back(r);
  std::sort(out.begin(), out.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
  ranges = out;
}

void RemoveRange(std::vector<Range>& ranges, Range r) {
  std::vector<Range> out;
  for (const Range& x : ranges) {
    if (x.end <= r.begin || x.begin >= r.end) {
      out.push_back(x);
      continue;
    }
    if (x.begin < r.begin) out.push_back({x.begin, r.begin});
    if (x.end > r.end) out.push_back({r.end, x.end});
  }
  ranges = out;
}

void ClipRanges(std::vector<Range>& ranges, int64_t size) { RemoveRange(ranges, {size, INT64_MAX}); }

int64_t PresentBytes(const std::vector<Range>& ranges) {
  int64_t n = 0;
  for (const Range& r : ranges) n += r.end - r.begin;
  return n;
}

Range FirstMissing(const std::vector<Range>& ranges, int64_t begin, int64_t end) {
  for (const Range& x : ranges) {
    if (x.end <= begin) continue;
    if (x.begin > begin) return {begin, std::min(end, x.begin)};
    begin = std::max(begin, x.end);
    if (begin >= end) return {};
  }
  return begin < end ? Range{begin, end} : Range{};
}

namespace {
HANDLE OpenData(const std::wstring& path, HANDLE via = nullptr) {
  HANDLE dup = nullptr;
  if (via && DuplicateHandle(GetCurrentProcess(), via, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    FILE_END_OF_FILE_INFO probe{};
    FILE_STANDARD_INFO st{};
    // Usable when it may write: setting the size it has is a harmless probe.
    if (GetFileInformationByHandleEx(dup, FileStandardInfo, &st, sizeof st)) {
      probe.EndOfFile = st.EndOfFile;
      if (SetFileInformationByHandle(dup, FileEndOfFileInfo, &probe, sizeof probe)) return dup;
    }
    CloseHandle(dup);
  }
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
}
bool Finish(HANDLE h, int64_t write_time, bool ok) {
  FILETIME ft{(DWORD)write_time, (DWORD)((uint64_t)write_time >> 32)};
  if (ok && write_time != 0) ok = SetFileTime(h, nullptr, nullptr, &ft);
  CloseHandle(h);
  return ok;
}
}  // namespace

bool SetLogicalSize(const std::wstring& path, int64_t size, int64_t write_time, HANDLE via) {
  HANDLE h = OpenData(path, via);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILE_END_OF_FILE_INFO eof{};
  eof.EndOfFile.QuadPart = size;
  return Finish(h, write_time, SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof));
}

bool ZeroRange(const std::wstring& path, Range r, int64_t write_time, HANDLE via) {
  static const std::string zeros(1 << 16, '\0');
  HANDLE h = OpenData(path, via);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (int64_t at = r.begin; ok && at < r.end; at += (int64_t)zeros.size()) {
    OVERLAPPED o{};
    o.Offset = (DWORD)at, o.OffsetHigh = (DWORD)(at >> 32);
    DWORD done = 0;
    ok = WriteFile(h, zeros.data(), (DWORD)std::min<int64_t>(zeros.size(), r.end - at), &done, &o);
  }
  return Finish(h, write_time, ok);
}

bool WriteData(const std::wstring& path, int64_t offset, const void* data, int64_t length, int64_t write_time) {
  HANDLE h = OpenData(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (int64_t done_total = 0; ok && done_total < length;) {
    OVERLAPPED o{};
    const int64_t at = offset + done_total;
    o.Offset = (DWORD)at, o.OffsetHigh = (DWORD)(at >> 32);
    DWORD done = 0;
    ok = WriteFile(h, static_cast<const char*>(data) + done_total,
                   (DWORD)std::min<int64_t>(length - done_total, 1 << 30), &done, &o) && done > 0;
    done_total += done;
  }
  return Finish(h, write_time, ok);
}

DWORD RequestTimeoutMs() {
  wchar_t buf[32];
  const DWORD n = GetEnvironmentVariableW(L"CLDAPI_STANDIN_TIMEOUT_MS", buf, 32);
  if (n > 0 && n < 32) {
    const long v = wcstol(buf, nullptr, 10);
    if (v > 0) return (DWORD)v;
  }
  return 60000;
}

}  // namespace standin
