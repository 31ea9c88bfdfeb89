// The little of COM the platform uses, with the entry points resolved from
// ole32.dll at run time: a system without them (or a trimmed Wine prefix)
// then gets a failure code from each call instead of a load failure.
#pragma once

#include <cstdint>

#include "platform/types.h"

#if defined(_WIN32)
#define CORVANE_COM_CALL __stdcall
#else
#define CORVANE_COM_CALL
#endif

namespace corvane::platform::windows {

struct ComGuid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

// IUnknown's vtable; interfaces declared from their documented method order
// derive from it.
class ComUnknown {
 public:
  virtual HRESULT CORVANE_COM_CALL QueryInterface(const ComGuid& iid, void** object) = 0;
  virtual uint32_t CORVANE_COM_CALL AddRef() = 0;
  virtual uint32_t CORVANE_COM_CALL Release() = 0;

 protected:
  ~ComUnknown() = default;
};

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* operator->() const { return ptr_; }
  T* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  T** Put() {
    Reset();
    return &ptr_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (ptr_ != nullptr) ptr_->Release();
    ptr_ = nullptr;
  }

 private:
  T* ptr_ = nullptr;
};

// Joins the calling thread to the multithreaded apartment for its lifetime;
// a thread already in another apartment keeps it.
class ComApartment {
 public:
  ComApartment();
  ~ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  // S_OK when COM can be used on this thread.
  HRESULT status() const { return status_; }

 private:
  HRESULT status_;
  bool uninitialize_ = false;
};

// CoCreateInstance with CLSCTX_ALL.
HRESULT CreateComObject(const ComGuid& clsid, const ComGuid& iid, void** object);
// CoTaskMemFree.
void FreeComMemory(void* memory);

// What the calls give when ole32.dll lacks an entry point:
// REGDB_E_CLASSNOTREG, as for any class that is not there.
constexpr HRESULT kComUnavailable = static_cast<HRESULT>(0x80040154);

}  // namespace corvane::platform::windows
