// A walk over one folder's entries through the platform's file layer.
#pragma once

#include <string>

#include "platform/directory_changes.h"  // IO_REPARSE_TAG_SYMLINK
#include "platform/files.h"

namespace corvane {

// Visits the entries of folder `full` (not links, which lead out of the
// tree) as (full path, is a folder) until `visit` returns false; false when
// the folder cannot be listed.
template <class Visit>
bool ForEachChild(const std::u16string& full, Visit&& visit) {
  platform::WIN32_FIND_DATAW data;
  const std::u16string pattern = full + u"\\*";
  const platform::Handle find = platform::FindFirstFileW(pattern.c_str(), &data);
  if (find == platform::INVALID_HANDLE_VALUE) return false;
  do {
    const std::u16string name = data.cFileName;
    const bool link = (data.dwFileAttributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) &&
                      data.dwReserved0 == platform::IO_REPARSE_TAG_SYMLINK;
    if (name == u"." || name == u".." || link) continue;
    if (!visit(full + u"\\" + name, (data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0)) break;
  } while (platform::FindNextFileW(find, &data));
  platform::FindClose(find);
  return true;
}

}  // namespace corvane
