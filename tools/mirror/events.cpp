#include "events.h"

#include <vector>

#include "console.h"
#include "server_paths.h"

namespace mirror {
namespace {

// How the slots of an event are read (8-bit strings, since the component
// was created without the wide-events flag).
const char* Text(const intptr_t* params, int i) {
  const char* s = reinterpret_cast<const char*>(params[i]);
  return s ? s : "";
}
int64_t Int64(const intptr_t* params, int i) { return *reinterpret_cast<const int64_t*>(params[i]); }
int32_t Int(const intptr_t* params, int i) { return static_cast<int32_t>(params[i]); }
// The last slot of most events is ResultCode, which the library reads back.
void Answer(intptr_t* params, int i, int32_t code) { params[i] = code; }

ItemTimes Times(const intptr_t* params, int first) {
  return {Int64(params, first), Int64(params, first + 1), Int64(params, first + 2)};
}

// Every path from the library is checked before it touches the server folder.
bool ServerPath(EventContext& ctx, const char* event, const char* library_path, std::string& out) {
  if (ToServerPath(library_path, out)) return true;
  const std::string text = std::string("Refused path '") + library_path + "' in " + event;
  Halvex_Corvane_SetEventErrorAndCode(ctx.component->handle(), HALVEX_ERR_INVALID_ITEM_NAME, text.c_str());
  Complain("%s", text.c_str());
  return false;
}

// ListDirectory: report every item of the server folder with ListFile or
// ListFolder, naming the listing by its TaskId. Answered synchronously: the
// folder is local, so there is nothing to wait for.
int32_t ListDirectory(EventContext& ctx, int64_t task, const std::string& path) {
  const std::string folder = JoinPath(ctx.server_root, path);
  std::vector<std::string> names;
  if (!ReadFolder(folder, names)) {
    Complain("cannot list /%s on the server", path.c_str());
    return HALVEX_ERR_ITEM_NOT_FOUND;
  }
  int files = 0, folders = 0;
  for (const std::string& name : names) {
    ServerItem item;
    if (!StatItem(JoinPath(folder, name), item)) continue;
    const int32_t rc = item.is_folder ? ctx.component->ListFolder(task, name, item.times)
                                      : ctx.component->ListFile(task, name, item.size, item.times);
    if (rc == HALVEX_ERR_CANCELLED) return rc;  // the provider is being stopped
    if (rc != 0) {
      Complain("listing /%s: %s was refused: %s", path.c_str(), name.c_str(), ctx.component->LastError().c_str());
      continue;
    }
    ++(item.is_folder ? folders : files);
  }
  Say("listed /%s: %d file%s, %d folder%s", path.c_str(), files, files == 1 ? "" : "s", folders,
      folders == 1 ? "" : "s");
  return 0;
}

int32_t Dispatch(EventContext& ctx, int32_t id, intptr_t* p) {
  std::string path, to;
  // Past the end of Serve only Log and Error can still be told.
  if (!ctx.downloads || !ctx.uploads) {
    if (id != HALVEX_EVENT_LOG && id != HALVEX_EVENT_ERROR) return HALVEX_ERR_NOT_ACTIVE;
  }
  switch (id) {
    case HALVEX_EVENT_LOG:
      if (Int(p, 0) <= ctx.log_level) Say("library: %s", Text(p, 1));
      return 0;
    case HALVEX_EVENT_ERROR:
      Complain("library error 0x%X: %s", static_cast<unsigned>(Int(p, 0)), Text(p, 1));
      return 0;
    case HALVEX_EVENT_ACTIVATED:
      return 0;  // only after an asynchronous Activate; the mirror activates synchronously

    case HALVEX_EVENT_LIST_DIRECTORY:
      if (!ServerPath(ctx, "ListDirectory", Text(p, 1), path)) return HALVEX_ERR_INVALID_ITEM_NAME;
      Answer(p, 3, ListDirectory(ctx, Int64(p, 0), path));
      return 0;

    case HALVEX_EVENT_GET_FILE_DATA:
      if (!ServerPath(ctx, "GetFileData", Text(p, 1), path)) return HALVEX_ERR_INVALID_ITEM_NAME;
      // Pending: the bytes follow from a download thread, which ends the
      // task with FinalizeTask. The handler returns at once.
      ctx.downloads->Enqueue(Int64(p, 0), path, Int64(p, 2), Int64(p, 3));
      Answer(p, 4, HALVEX_ERR_PENDING);
      return 0;

    case HALVEX_EVENT_CANCEL_TASK:
      ctx.downloads->Cancel(Int64(p, 0));
      if (ToServerPath(Text(p, 1), path)) Say("the library cancelled the request for /%s", path.c_str());
      return 0;

    case HALVEX_EVENT_CREATE_FILE:
      if (!ServerPath(ctx, "CreateFile", Text(p, 1), path)) return HALVEX_ERR_INVALID_ITEM_NAME;
      Answer(p, 7, ctx.uploads->CreateFile(Int64(p, 0), path, Times(p, 4)));
      return 0;
    case HALVEX_EVENT_CREATE_FOLDER:
      if (!ServerPath(ctx, "CreateFolder", Text(p, 1), path)) return HALVEX_ERR_INVALID_ITEM_NAME;
      Answer(p, 6, ctx.uploads->CreateFolder(path));
      return 0;
    case HALVEX_EVENT_UPDATE_FILE:
      if (!ServerPath(ctx, "UpdateFile", Text(p, 1), path)) return HALVEX_ERR_INVALID_ITEM_NAME;
      Answer(p, 8, ctx.uploads->UpdateFile(Int64(p, 0), path, Int(p, 2), Int64(p, 4), Times(p, 5)));
      return 0;
    case HALVEX_EVENT_UPDATE_FOLDER:
      return 0;  // a folder's times and attributes: the server keeps its own
    case HALVEX_EVENT_DELETE_FILE:
    case HALVEX_EVENT_DELETE_FOLDER:
      if (!ServerPath(ctx, "Delete", Text(p, 1), path)) return HALVEX_ERR_INVALID_ITEM_NAME;
      if (path.empty()) return HALVEX_ERR_INVALID_ITEM_NAME;  // never the whole server
      Answer(p, 3, ctx.uploads->Delete(path, id == HALVEX_EVENT_DELETE_FOLDER));
      return 0;
    case HALVEX_EVENT_RENAME_FILE:
    case HALVEX_EVENT_RENAME_FOLDER:
      if (!ServerPath(ctx, "Rename", Text(p, 1), path) || !ServerPath(ctx, "Rename", Text(p, 2), to) ||
          path.empty() || to.empty())
        return HALVEX_ERR_INVALID_ITEM_NAME;
      Answer(p, 3, ctx.uploads->Rename(path, to, id == HALVEX_EVENT_RENAME_FOLDER));
      return 0;
    case HALVEX_EVENT_RESET_FILE:
      // Unpinned or reset: the local data was dropped; the server keeps it.
      if (ToServerPath(Text(p, 1), path)) Say("local copy of /%s freed; it is fetched again when read", path.c_str());
      return 0;
    default:
      return 0;
  }
}

}  // namespace

int32_t OnEvent(void* context, int32_t event_id, int32_t /*param_count*/, intptr_t* params, int32_t* /*cbparams*/) {
  // No C++ exception may travel back into the library.
  try {
    return Dispatch(*static_cast<EventContext*>(context), event_id, params);
  } catch (const std::exception& e) {
    Complain("event %d failed: %s", event_id, e.what());
  } catch (...) {
    Complain("event %d failed", event_id);
  }
  return HALVEX_ERR_INTERNAL;
}

}  // namespace mirror
