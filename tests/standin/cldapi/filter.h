// The live half of the stand-in: connections, the callbacks raised on the
// service's own threads, and the requests they open (data, listings,
// notifications). An operation on a sync root whose provider runs in another
// process goes to that process through a named pipe.
#pragma once

#include "service.h"

namespace standin {

enum Op : DWORD { kOpRead = 1, kOpHydrate, kOpList, kOpDelete, kOpRename, kOpDehydrate, kOpWrite, kOpOpen, kOpClose };

HRESULT Connect(const std::wstring& root, const CF_CALLBACK_REGISTRATION* table, const void* context, DWORD flags,
                CF_CONNECTION_KEY* key);
HRESULT Disconnect(CF_CONNECTION_KEY key);
bool ConnectedInThisProcess(const std::wstring& root);
HRESULT Execute(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params);
HRESULT ReportProgress(CF_CONNECTION_KEY key, CF_TRANSFER_KEY transfer, LARGE_INTEGER total, LARGE_INTEGER done);

// What the filter does before an application's operation on `path` may
// proceed: for kOpRead/kOpHydrate/kOpWrite, [begin, end) of the file is on
// disk; kOpList, the folder is populated; kOpDelete/kOpRename/kOpDehydrate,
// the provider agreed and the operation was carried out; kOpOpen/kOpClose,
// the provider was told. `target` is the rename target.
HRESULT FilterOperation(Op op, const std::wstring& path, int64_t begin, int64_t end, const std::wstring& target);

}  // namespace standin
