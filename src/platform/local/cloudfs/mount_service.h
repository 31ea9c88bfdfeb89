// The cloud-files mount started on demand, as the Windows filter is always
// there: the first Register or Connect of a root mounts it at its own path
// when the process runs with CORVANE_CLOUDFS set ("1": corvane-cloudfs from
// PATH; a path: that program; unset, empty or "0": no mount). Where the
// mount cannot be had, the root stays a plain folder, and the process says
// so on its standard error, once for each root.
#pragma once

#include <string>

namespace corvane::platform::local {

// Mounts a registered `root` (canonical) unless it is mounted already; a
// mount whose process died is mounted again.
void EnsureRootMounted(const std::string& root);
// After the root is unregistered: ends its mount and gives the root's path
// its items back.
void EndRootMount(const std::string& root);

}  // namespace corvane::platform::local
