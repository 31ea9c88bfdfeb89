// A unique owner whose deleter is fixed where the object is made, so a class
// can hold parts whose types are only forward-declared in its header.
#pragma once

#include <memory>
#include <utility>

namespace corvane {

template <class T>
using Owned = std::unique_ptr<T, void (*)(T*)>;

template <class T>
Owned<T> NoOwned() {
  return Owned<T>(nullptr, [](T*) {});
}

template <class T, class... Args>
Owned<T> MakeOwned(Args&&... args) {
  return Owned<T>(new T(std::forward<Args>(args)...), [](T* p) { delete p; });
}

}  // namespace corvane
