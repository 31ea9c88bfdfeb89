// Halvex_Stream: maps operation codes onto a host stream's virtual slots.
#include <cstring>

#include "component/stream.h"
#include "halvex/corvane.h"

namespace {

using corvane::HostStream;

template <class T>
void Store(void* result, T value) {
  if (result != nullptr) std::memcpy(result, &value, sizeof(value));
}

int32_t NullStream(int32_t operation, void* result) {
  static const char kInvalidStream[] = "Invalid stream pointer.";
  switch (operation) {
    case 504: return 0;
    case 505: Store<uint8_t>(result, 0); return 0;
    case 508: Store<intptr_t>(result, reinterpret_cast<intptr_t>(kInvalidStream)); return 0;
    case 509: Store<int32_t>(result, -1); return 0;
    default: return -1;
  }
}

}  // namespace

extern "C" HALVEX_API int32_t Halvex_Stream(void* stream, int32_t operation, void* arguments, void* result) {
  if (stream == nullptr) return NullStream(operation, result);
  auto* s = static_cast<HostStream*>(stream);
  // Operations that read an argument record refuse a missing one.
  const bool needs_args = operation == 500 || operation == 501 || operation == 502 || operation == 505 ||
                          operation == 507;
  if (needs_args && arguments == nullptr) return -1;
  try {
    switch (operation) {
      case 500: {
        auto* a = static_cast<corvane::StreamBufferArgs*>(arguments);
        return s->Read(a->buffer, a->count, result);
      }
      case 501: {
        auto* a = static_cast<corvane::StreamBufferArgs*>(arguments);
        return s->Write(a->buffer, a->count, result);
      }
      case 502: {
        auto* a = static_cast<corvane::StreamSeekArgs*>(arguments);
        if (a->offset == nullptr) return -1;
        return s->Seek(*a->offset, a->origin, result);
      }
      case 503:
        return s->Flush(arguments, result);
      case 504:
        s->Close(arguments);
        s->Destroy(1);
        return 0;
      case 505:
        Store<uint8_t>(result, s->Flag(static_cast<corvane::StreamInt32Arg*>(arguments)->value) ? 1 : 0);
        return 0;
      case 506:
        Store<int64_t>(result, s->Size());
        return 0;
      case 507: {
        auto* a = static_cast<corvane::StreamInt64Arg*>(arguments);
        if (a->value == nullptr) return -1;
        return s->SetSize(*a->value, arguments, result);
      }
      case 508:
        Store<intptr_t>(result, s->ErrorText());
        return 0;
      case 509:
        Store<int32_t>(result, s->ErrorCode());
        return 0;
      default:
        return 0;
    }
  } catch (...) {
    return -1;
  }
}
