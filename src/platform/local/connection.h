// The provider side of a sync root: CfConnectSyncRoot makes this process the
// one that applications' requests go to. A server thread takes requests on
// a Unix-domain socket under the state folder, callbacks run on a worker
// pool, and CfExecute answers them.
#pragma once

#include <memory>
#include <string>

#include "platform/cloud_files.h"

namespace corvane::platform::local {

class Connection;

HRESULT ConnectSyncRoot(const std::string& root, const CF_CALLBACK_REGISTRATION* table, const void* context,
                        CF_CONNECT_FLAGS flags, CF_CONNECTION_KEY* key);
// Fails with ERROR_BUSY from inside a callback: it waits for callbacks.
HRESULT DisconnectSyncRoot(CF_CONNECTION_KEY key);
// Whether some process is connected as the provider of `root`.
bool ProviderConnected(const std::string& root);
// Disconnects whatever this process has connected for `root` (unregistering).
void DisconnectRootIfConnected(const std::string& root);

HRESULT ExecuteOperation(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params);
HRESULT ReportProgress(CF_CONNECTION_KEY key, CF_TRANSFER_KEY transfer_key, int64_t total, int64_t completed);

// Progress the provider last reported for a file, from its attribute.
bool LoadProgress(int fd, int64_t& total, int64_t& completed);

}  // namespace corvane::platform::local
