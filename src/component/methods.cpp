// Method dispatch: reads each method's arguments from the slots, converts its
// strings, runs its do_ operation and stores the result as the calling
// thread's last-error code. IDs above 10000 are the same methods with UTF-16
// strings; an ID that names no method runs nothing and answers 0.
#include <new>

#include "component/component.h"
#include "component/config.h"
#include "component/method_args.h"
#include "component/method_layer.h"
#include "component/strings.h"
#include "component/version.h"
#include "diag/result_codes.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "platform/types.h"
#include "support/setting_values.h"

namespace corvane {
namespace {

constexpr char kTextTooFewParameters[] = "Too few parameters for the method";

// Argument slots a method reads or writes. The host's count is checked
// against it so that no slot past the host's array is touched. Config counts
// only its setting: hosts have always passed 1 and a two-slot array, and the
// answer in slot 1 is part of the call they rely on.
int32_t SlotsNeeded(int32_t id) {
  switch (id) {
    case HALVEX_METHOD_DEACTIVATE:
    case HALVEX_METHOD_INSTALL:
    case HALVEX_METHOD_UNINSTALL:
      return 0;
    case HALVEX_METHOD_ACTIVATE:
    case HALVEX_METHOD_CONFIG:
    case HALVEX_METHOD_DELETE_FILE:
    case HALVEX_METHOD_PIN_FILE:
    case HALVEX_METHOD_PIN_FOLDER:
    case HALVEX_METHOD_RESET_FILE:
    case HALVEX_METHOD_RESET_FOLDER:
    case HALVEX_METHOD_SYNC_FILE:
    case HALVEX_METHOD_UNPIN_FILE:
    case HALVEX_METHOD_UNPIN_FOLDER:
      return 1;
    case HALVEX_METHOD_DELETE_FOLDER:
    case HALVEX_METHOD_FINALIZE_TASK:
    case HALVEX_METHOD_GET_FILE_ATTRIBUTES:
    case HALVEX_METHOD_GET_FOLDER_ATTRIBUTES:
    case HALVEX_METHOD_GET_FILE_STATUS:
    case HALVEX_METHOD_GET_FOLDER_STATUS:
    case HALVEX_METHOD_RENAME_FOLDER:
    case HALVEX_METHOD_SET_FILE_ATTRIBUTES:
    case HALVEX_METHOD_SET_FOLDER_ATTRIBUTES:
      return 2;
    case HALVEX_METHOD_RENAME_FILE:
      return 3;
    case HALVEX_METHOD_PUT_ITEM_DATA:
      return 4;
    case HALVEX_METHOD_CREATE_FOLDER:
    case HALVEX_METHOD_UPDATE_FOLDER:
      return 5;
    case HALVEX_METHOD_CREATE_FILE:
    case HALVEX_METHOD_UPDATE_FILE:
    case HALVEX_METHOD_GET_LOCAL_FILE_DATA:
    case HALVEX_METHOD_LIST_FOLDER:
      return 6;
    case HALVEX_METHOD_LIST_FILE:
      return 7;
    default:
      return 0;
  }
}

}  // namespace

// Converts cbparams[0] bytes of slot 0 into the UTF-16 buffer of slot 1 and
// reports the characters written (or, without a buffer, needed) in slot 2.
static int32_t ToWideString(uint32_t code_page, int32_t count, intptr_t* params, int32_t* cbparams) {
  if (count != 2 || params == nullptr || cbparams == nullptr) return -1;
  params[2] = 0;
  const char* text = reinterpret_cast<const char*>(params[0]);
  if (cbparams[1] > 0) {
    char16_t* out = reinterpret_cast<char16_t*>(params[1]);
    if (text == nullptr || out == nullptr) return static_cast<int32_t>(platform::ERROR_INVALID_PARAMETER);
    int32_t written = platform::MultiByteToWideChar(code_page, text, cbparams[0], out, cbparams[1]);
    params[2] = static_cast<intptr_t>(static_cast<int64_t>(written));
    return written != 0 ? kOk : static_cast<int32_t>(platform::GetLastError());
  }
  if (cbparams[0] > 0 && text != nullptr) {
    int32_t needed = platform::MultiByteToWideChar(code_page, text, cbparams[0], nullptr, 0);
    params[2] = static_cast<intptr_t>(static_cast<int64_t>(needed));
  }
  return kOk;
}

int32_t Component::DoMethod(int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  bool wide = false;
  if (id > 10000) {
    id -= 10000;
    wide = true;
  }
  const uint32_t code_page = engine.code_page.load();
  if (id == HALVEX_METHOD_TO_WIDE_STRING) return ToWideString(code_page, count, params, cbparams);

  const MethodArgs args(params, cbparams, wide, code_page);
  int32_t result = kOk;
  if (count < SlotsNeeded(id)) {
    result = engine.diag.Record(kErrInvalidParameter, kTextTooFewParameters);
    engine.diag.SetLastErrorCode(result);
    return result;
  }
  try {
    // A string that does not convert ends the call at once, with the
    // thread's last error left as it was.
    std::u16string path;
    std::u16string second;
    auto read = [&](int slot, std::u16string& out) { return args.String(slot, out) == kOk; };

    switch (id) {
      case HALVEX_METHOD_ACTIVATE:
        result = engine.do_Activate(args.Int(0) != 0);
        break;
      case HALVEX_METHOD_CONFIG: {
        std::string setting;
        if (wide) {
          if (WideToNarrow(code_page, WideArg(args.Pointer<const char16_t>(0)), setting) != kOk) {
            return kErrConversion;
          }
        } else if (const char* text = args.Pointer<const char>(0)) {
          setting = text;
        }
        const char* answer = nullptr;
        if (EqualsIgnoreCase(setting, "BuildInfo") || EqualsIgnoreCase(setting, "MajorVersion")) {
          std::string& buffer = engine.config_answers.Local();
          buffer = EqualsIgnoreCase(setting, "BuildInfo") ? kBuildInfo : kMajorVersion;
          answer = buffer.c_str();
          result = kOk;
        } else {
          result = Configure(engine, setting, &answer);
        }
        if (!wide) {
          args.SetSlot(1, reinterpret_cast<intptr_t>(answer));
          break;
        }
        // A wide call always gets a UTF-16 answer, empty when the setting failed.
        std::u16string& wide_answer = wide_config_results.Local();
        wide_answer.clear();
        if (result == kOk) result = NarrowToWide(code_page, answer, wide_answer);
        args.SetSlot(1, reinterpret_cast<intptr_t>(wide_answer.c_str()));
        break;
      }
      case HALVEX_METHOD_CREATE_FILE:
        if (!read(0, path)) return kErrConversion;
        result = do_CreateFile(engine, path, args.Int(1), args.Int64(2), args.Int64(3), args.Int64(4), args.Int64(5));
        break;
      case HALVEX_METHOD_CREATE_FOLDER:
        if (!read(0, path)) return kErrConversion;
        result = do_CreateFolder(engine, path, args.Int(1), args.Int64(2), args.Int64(3), args.Int64(4));
        break;
      case HALVEX_METHOD_DEACTIVATE:
        result = engine.do_Deactivate();
        break;
      case HALVEX_METHOD_DELETE_FILE:
        if (!read(0, path)) return kErrConversion;
        result = do_DeleteFile(engine, path);
        break;
      case HALVEX_METHOD_DELETE_FOLDER:
        if (!read(0, path)) return kErrConversion;
        result = do_DeleteFolder(engine, path, args.Int(1));
        break;
      case HALVEX_METHOD_FINALIZE_TASK:
        result = do_FinalizeTask(engine, args.Int64(0), args.Int(1));
        break;
      case HALVEX_METHOD_GET_FILE_ATTRIBUTES:
      case HALVEX_METHOD_GET_FOLDER_ATTRIBUTES:
      case HALVEX_METHOD_GET_FILE_STATUS:
      case HALVEX_METHOD_GET_FOLDER_STATUS: {
        if (!read(0, path)) return kErrConversion;
        int32_t value = args.Int(1);
        if (id == HALVEX_METHOD_GET_FILE_ATTRIBUTES) result = do_GetFileAttributes(engine, path, value);
        if (id == HALVEX_METHOD_GET_FOLDER_ATTRIBUTES) result = do_GetFolderAttributes(engine, path, value);
        if (id == HALVEX_METHOD_GET_FILE_STATUS) result = do_GetFileStatus(engine, path, value);
        if (id == HALVEX_METHOD_GET_FOLDER_STATUS) result = do_GetFolderStatus(engine, path, value);
        args.SetInt(1, value);
        break;
      }
      case HALVEX_METHOD_GET_LOCAL_FILE_DATA: {
        int32_t bytes_read = args.Int(5);
        result = do_GetLocalFileData(engine, args.Int64(0), args.Int64(1), args.Pointer<uint8_t>(2), args.Size(2),
                                     args.Int(3), args.Int(4), bytes_read);
        args.SetInt(5, bytes_read);
        break;
      }
      case HALVEX_METHOD_INSTALL:
        result = engine.do_Install();
        break;
      case HALVEX_METHOD_LIST_FILE:
        if (!read(1, path)) return kErrConversion;
        result = do_ListFile(engine, args.Int64(0), path, args.Int(2), args.Int64(3), args.Int64(4), args.Int64(5),
                             args.Int64(6));
        break;
      case HALVEX_METHOD_LIST_FOLDER:
        if (!read(1, path)) return kErrConversion;
        result = do_ListFolder(engine, args.Int64(0), path, args.Int(2), args.Int64(3), args.Int64(4), args.Int64(5));
        break;
      case HALVEX_METHOD_PIN_FILE:
        if (!read(0, path)) return kErrConversion;
        result = do_PinFile(engine, path);
        break;
      case HALVEX_METHOD_PIN_FOLDER:
        if (!read(0, path)) return kErrConversion;
        result = do_PinFolder(engine, path);
        break;
      case HALVEX_METHOD_PUT_ITEM_DATA:
        result = do_PutItemData(engine, args.Int64(0), args.Pointer<const uint8_t>(1), args.Size(1), args.Int(2),
                                args.Int(3));
        break;
      case HALVEX_METHOD_RENAME_FILE:
        if (!read(0, path) || !read(1, second)) return kErrConversion;
        result = do_RenameFile(engine, path, second, args.Int(2));
        break;
      case HALVEX_METHOD_RENAME_FOLDER:
        if (!read(0, path) || !read(1, second)) return kErrConversion;
        result = do_RenameFolder(engine, path, second);
        break;
      case HALVEX_METHOD_RESET_FILE:
        if (!read(0, path)) return kErrConversion;
        result = do_ResetFile(engine, path);
        break;
      case HALVEX_METHOD_RESET_FOLDER:
        if (!read(0, path)) return kErrConversion;
        result = do_ResetFolder(engine, path);
        break;
      case HALVEX_METHOD_SET_FILE_ATTRIBUTES:
        if (!read(0, path)) return kErrConversion;
        result = do_SetFileAttributes(engine, path, args.Int(1));
        break;
      case HALVEX_METHOD_SET_FOLDER_ATTRIBUTES:
        if (!read(0, path)) return kErrConversion;
        result = do_SetFolderAttributes(engine, path, args.Int(1));
        break;
      case HALVEX_METHOD_SYNC_FILE:
        if (!read(0, path)) return kErrConversion;
        result = do_SyncFile(engine, path);
        break;
      case HALVEX_METHOD_UNINSTALL:
        result = engine.do_Uninstall();
        break;
      case HALVEX_METHOD_UNPIN_FILE:
        if (!read(0, path)) return kErrConversion;
        result = do_UnpinFile(engine, path);
        break;
      case HALVEX_METHOD_UNPIN_FOLDER:
        if (!read(0, path)) return kErrConversion;
        result = do_UnpinFolder(engine, path);
        break;
      case HALVEX_METHOD_UPDATE_FILE:
        if (!read(0, path)) return kErrConversion;
        result = do_UpdateFile(engine, path, args.Int(1), args.Int64(2), args.Int64(3), args.Int64(4), args.Int64(5));
        break;
      case HALVEX_METHOD_UPDATE_FOLDER:
        if (!read(0, path)) return kErrConversion;
        result = do_UpdateFolder(engine, path, args.Int(1), args.Int64(2), args.Int64(3), args.Int64(4));
        break;
      default:
        result = kOk;
        break;
    }
  } catch (const std::bad_alloc&) {
    result = kErrOutOfMemory;
  }

  if (result == kErrOutOfMemory && engine.diag.LastError().text.empty()) {
    engine.diag.SetLastError(kErrOutOfMemory, kTextOutOfMemory);
  }
  engine.diag.SetLastErrorCode(result);
  return result;
}

}  // namespace corvane
