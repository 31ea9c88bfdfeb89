// Runs a large batch of independent items on the calling thread and one
// helper: making placeholders is nearly all system calls on separate
// inodes, which two cores do side by side.
#pragma once

#include <cstddef>
#include <functional>

namespace corvane::platform::local {

// Calls `work(i)` once for every i below `count`, in no set order. Below
// `min_shared` items, or when no thread can be started, all on the caller.
// Items are claimed in small runs, so a helper that starts late takes only
// what is left; the call returns when every item is done.
void RunShared(size_t count, size_t min_shared, const std::function<void(size_t)>& work);

}  // namespace corvane::platform::local
