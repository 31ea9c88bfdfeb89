#include "fake_cldapi.h"

namespace corvane::platform::windows {

CloudFilesApi fake_cldapi;

const CloudFilesApi& CloudFiles() { return fake_cldapi; }

}  // namespace corvane::platform::windows
