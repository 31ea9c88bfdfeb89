// The little of the Windows Runtime the shell registration uses, through its
// ABI: combase.dll's entry points are resolved at run time, so a system
// without them (Wine, older Windows) gets kWinRtUnavailable, not a load
// failure. Interfaces are declared by their users from the documented IIDs
// and method order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/windows/com.h"

namespace corvane::platform::windows {

// What every call gives when combase.dll lacks the Windows Runtime or the
// runtime class is not there: HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED).
constexpr HRESULT kWinRtUnavailable = HRESULT_FROM_WIN32(50);

using HStringHandle = void*;  // HSTRING

// IInspectable's vtable, after IUnknown's.
class ComInspectable : public ComUnknown {
 public:
  virtual HRESULT CORVANE_COM_CALL GetIids(uint32_t* count, ComGuid** iids) = 0;
  virtual HRESULT CORVANE_COM_CALL GetRuntimeClassName(HStringHandle* name) = 0;
  virtual HRESULT CORVANE_COM_CALL GetTrustLevel(int32_t* level) = 0;

 protected:
  ~ComInspectable() = default;
};

// An HSTRING that this code created and deletes.
class HString {
 public:
  explicit HString(std::u16string_view text);
  ~HString();
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  // False when the string could not be made (no runtime, no memory).
  bool ok() const { return ok_; }
  HStringHandle get() const { return handle_; }

 private:
  HStringHandle handle_ = nullptr;
  bool ok_ = false;
};

// Copies an HSTRING the runtime returned and deletes it.
std::u16string TakeHString(HStringHandle handle);

// Joins the calling thread to the multithreaded apartment for its lifetime.
class WinRtApartment {
 public:
  WinRtApartment();
  ~WinRtApartment();
  WinRtApartment(const WinRtApartment&) = delete;
  WinRtApartment& operator=(const WinRtApartment&) = delete;
  HRESULT status() const { return status_; }

 private:
  HRESULT status_;
  bool uninitialize_ = false;
};

// RoGetActivationFactory / RoActivateInstance; kWinRtUnavailable when the
// runtime or the class is missing.
HRESULT GetActivationFactory(std::u16string_view class_name, const ComGuid& iid, void** factory);
HRESULT ActivateInstance(std::u16string_view class_name, ComInspectable** instance);

// Waits up to `timeout_ms` for an IAsyncOperation/IAsyncAction to finish:
// S_OK when it completed, its error when it failed, ERROR_TIMEOUT's HRESULT.
HRESULT WaitForAsync(ComInspectable* operation, uint32_t timeout_ms);

}  // namespace corvane::platform::windows
