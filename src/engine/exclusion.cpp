#include "engine/exclusion.h"

#include <string>

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "platform/files.h"
#include "platform/types.h"
#include "provider/create_update_states.h"

namespace corvane {
namespace {

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

std::u16string Backslashed(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c == u'/') c = u'\\';
  return out;
}

const char16_t* Bool(bool value) { return value ? u"true" : u"false"; }

bool EndsWithNoCase(std::u16string_view text, std::u16string_view tail) {
  if (text.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i) {
    if (Fold(text[text.size() - tail.size() + i]) != tail[i]) return false;
  }
  return true;
}

}  // namespace

bool IsLockFile(std::u16string_view relative_path, std::u16string* document) {
  const size_t slash = relative_path.find_last_of(u'\\');
  const size_t name_at = slash == std::u16string_view::npos ? 0 : slash + 1;
  const std::u16string_view name = relative_path.substr(name_at);
  std::u16string doc;
  if (name.size() > 2 && name[0] == u'~' && name[1] == u'$') {
    doc = std::u16string(relative_path.substr(0, name_at)) + std::u16string(name.substr(2));
  } else if (name.size() > 7 && EndsWithNoCase(name, u".laccdb")) {
    // data.laccdb locks data.accdb: the letter after the last dot goes.
    const size_t dot = relative_path.size() - 7;
    doc = std::u16string(relative_path.substr(0, dot + 1)) + std::u16string(relative_path.substr(dot + 2));
  } else {
    return false;
  }
  if (document != nullptr) *document = std::move(doc);
  return true;
}

bool MaskMatch(std::u16string_view name, std::u16string_view mask) {
  if (name.empty()) return false;
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t n = 0, m = 0, star = kNone, skip = 0;
  bool dot_seen = false;
  bool ok = true;
  // The end of the mask is a character no name character equals.
  auto mask_at = [&](size_t i) -> int32_t { return i < mask.size() ? Fold(mask[i]) : -1; };
  while (ok && n < name.size()) {
    if (name[n] == u'.') dot_seen = true;
    const int32_t mc = mask_at(m);
    if (mc == u'?') {
      ++n;
      ++m;
    } else if (mc == u'*') {
      star = m;
      skip = 0;
      ++m;
      bool name_ended = false;
      while (m < mask.size() && (mask[m] == u'?' || mask[m] == u'*')) {
        if (mask[m] == u'?') {
          ++m;
          ++n;
          ++skip;
          if (n >= name.size()) {
            name_ended = true;
            break;
          }
        } else {
          ++m;
        }
      }
      if (name_ended) break;
      const int32_t want = mask_at(m);
      while (n < name.size() && Fold(name[n]) != want) ++n;
    } else if (mc == Fold(name[n])) {
      ++n;
      ++m;
    } else if (star == kNone) {
      ok = false;
    } else {
      m = star;
      n -= skip;
    }
  }
  if (!ok) return false;
  while (m < mask.size() && mask[m] == u'*') ++m;
  const std::u16string_view rest = mask.substr(m < mask.size() ? m : mask.size());
  if (rest == u".*") return true;
  if (!dot_seen && rest == u".") return true;
  return rest.empty();
}

bool CheckIfExcludedByConfig(Engine& engine, std::u16string_view relative_path) {
  const std::u16string masks = engine.settings.excluded_files.Get();
  if (masks.empty()) return false;
  LogF(engine.diag.log_sink(), kLogVerbose, u"CheckIfExcludedByConfig path: \"%s\", excluded: \"%s\"",
       relative_path, masks);
  const std::u16string path = Backslashed(relative_path);
  const std::u16string list = Backslashed(masks);
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(u"| ", start);
    if (end == std::u16string::npos) end = list.size();
    if (end > start && MaskMatch(path, std::u16string_view(list).substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

namespace {

// The item's own attributes or path meet a rule of the settings.
bool MeetsRules(Engine& engine, std::u16string_view relative_path, uint32_t platform_attributes) {
  if ((platform_attributes & platform::FILE_ATTRIBUTE_TEMPORARY) != 0 && engine.settings.exclude_temporary_files.load())
    return true;
  if ((platform_attributes & platform::FILE_ATTRIBUTE_HIDDEN) != 0 && engine.settings.exclude_hidden_files.load())
    return true;
  return CheckIfExcludedByConfig(engine, relative_path);
}

// What is inside an excluded folder stays with it: the host never had the
// folder, and would be told of items in a folder it does not know (a hidden
// .git, whose files are not hidden themselves). A folder above may not be
// marked yet when its items' changes come, so its own attributes count too.
// A folder the host has is not excluded, which spares the look for most.
bool InsideExcludedFolder(Engine& engine, std::u16string_view relative_path) {
  const std::u16string root = engine.EffectiveSyncRootPath();
  std::u16string folder(relative_path);
  for (size_t cut = folder.rfind(u'\\'); cut != 0 && cut != std::u16string::npos; cut = folder.rfind(u'\\')) {
    folder.resize(cut);
    if (engine.metadata_cache.Lookup(folder, nullptr, nullptr)) return false;
    bool marked = false;
    if (IsItemExcluded(engine, folder, &marked) == kOk && marked) return true;
    const uint32_t attributes = platform::GetFileAttributesW((root + folder).c_str());
    if (attributes != platform::INVALID_FILE_ATTRIBUTES && MeetsRules(engine, folder, attributes)) return true;
  }
  return false;
}

}  // namespace

bool KeptFromHost(Engine& engine, std::u16string_view relative_path, uint32_t platform_attributes) {
  if (engine.settings.track_office_lock_files.load() && IsLockFile(relative_path, nullptr)) return true;
  return MeetsRules(engine, relative_path, platform_attributes) || InsideExcludedFolder(engine, relative_path);
}

int32_t ProcessExcludedState(Engine& engine, const std::u16string& relative_path, uint32_t platform_attributes,
                             ExcludedState* state) {
  LogSink* sink = engine.diag.log_sink();
  ExcludedState local_state = ExcludedState::kDoNothing;
  if (state == nullptr) state = &local_state;
  *state = ExcludedState::kDoNothing;
  const std::u16string full = engine.EffectiveSyncRootPath() + relative_path;
  const bool exists = platform::GetFileAttributesW(full.c_str()) != platform::INVALID_FILE_ATTRIBUTES;

  bool already = false;
  int32_t result = IsItemExcluded(engine, relative_path, &already);
  if (result != kOk) {
    LogF(sink, kLogFailure, u"Failed to get placeholder excluded state for: '%s', error: 0x%x", relative_path,
         static_cast<uint32_t>(result));
    return result;
  }
  const bool temporary = (platform_attributes & platform::FILE_ATTRIBUTE_TEMPORARY) != 0;
  const bool hidden = (platform_attributes & platform::FILE_ATTRIBUTE_HIDDEN) != 0;
  const bool exclude_temporary = engine.settings.exclude_temporary_files.load();
  const bool exclude_hidden = engine.settings.exclude_hidden_files.load();
  const bool meets = CheckIfExcludedByConfig(engine, relative_path) || (exclude_temporary && temporary) ||
                     (exclude_hidden && hidden) || InsideExcludedFolder(engine, relative_path);
  LogF(sink, kLogVerbose,
       u"Processing excluded state for (Check 1): '%s'. ExcludeTemporaryFiles config: %s. Is file temporary: %s",
       relative_path, Bool(exclude_temporary), Bool(temporary));
  LogF(sink, kLogVerbose,
       u"Processing excluded state for (Check 2): '%s'. ExcludeHiddenFiles config: %s. Is file hidden: %s",
       relative_path, Bool(exclude_hidden), Bool(hidden));
  LogF(sink, kLogVerbose,
       u"Processing excluded state for (Check 3): '%s'. Is already excluded: %s. Meets excluded conditions: %s",
       relative_path, Bool(already), Bool(meets));

  if (!already && meets) {
    *state = ExcludedState::kNewlyExcluded;
    if (exists) {
      result = DoSetPlaceholderExcludedState(engine, relative_path, true);
      LogF(sink, kLogVerbose, u"Mark file as excluded according to component settings: '%s'", relative_path);
    }
  } else if (already && meets) {
    *state = ExcludedState::kSkip;
    LogF(sink, kLogVerbose, u"Skip file as its marked as excluded: '%s'", relative_path);
  } else if (already && exists) {
    *state = ExcludedState::kIncluded;
    result = DoSetPlaceholderExcludedState(engine, relative_path, false);
    LogF(sink, kLogVerbose, u"Set file excluded state to false: '%s'", relative_path);
  }
  return result;
}

}  // namespace corvane
