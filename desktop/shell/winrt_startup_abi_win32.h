// The few Windows Runtime interfaces the startup task needs, declared by
// their published IIDs (mingw-w64 has no C++/WinRT and no headers for them).
// Method order is the interfaces' vtable order after IInspectable's.
#pragma once

#include <windows.h>
#include <inspectable.h>
#include <winstring.h>

namespace vlvpn::shell::winrt_abi {

// Windows.ApplicationModel.IStartupTaskStatics
inline constexpr GUID kIidStartupTaskStatics = {0xee5b60bd, 0xa148, 0x41a7, {0xb2, 0x6e, 0xe8, 0xb8, 0x8a, 0x1e, 0x62, 0xf8}};
// Windows.ApplicationModel.IStartupTask
inline constexpr GUID kIidStartupTask = {0xf75c23c8, 0xb5f2, 0x4f6c, {0x88, 0xdd, 0x36, 0xcb, 0x1d, 0x59, 0x9d, 0x17}};
// Windows.ApplicationModel.IAppInstanceStatics
inline constexpr GUID kIidAppInstanceStatics = {0x9d11e77f, 0x9ea6, 0x47af, {0xa6, 0xec, 0x46, 0x78, 0x4c, 0x5b, 0xa2, 0x54}};
// Windows.ApplicationModel.Activation.IActivatedEventArgs
inline constexpr GUID kIidActivatedEventArgs = {0xcf651713, 0xcd08, 0x4fd8, {0xb6, 0x97, 0xa2, 0x81, 0xb6, 0x54, 0x4e, 0x2e}};
// IAsyncInfo
inline constexpr GUID kIidAsyncInfo = {0x00000036, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

inline constexpr INT32 kActivationKindStartupTask = 1020;

enum class AsyncStatus : INT32 { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

struct IAsyncInfoAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// IAsyncOperation<T>: its IID depends on T, but the pointer comes from the
// call that started it, so only the vtable is needed.
template <class Result>
struct IAsyncOperationAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(Result* results) = 0;
};

struct IStartupTaskAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE RequestEnableAsync(IAsyncOperationAbi<INT32>** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE Disable() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_State(INT32* state) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TaskId(HSTRING* taskId) = 0;
};

struct IStartupTaskStaticsAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetForCurrentPackageAsync(IInspectable** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAsync(HSTRING taskId, IAsyncOperationAbi<IStartupTaskAbi*>** operation) = 0;
};

struct IActivatedEventArgsAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Kind(INT32* kind) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PreviousExecutionState(INT32* state) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SplashScreen(IInspectable** splashScreen) = 0;
};

struct IAppInstanceStaticsAbi : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_RecommendedInstance(IInspectable** instance) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetActivatedEventArgs(IActivatedEventArgsAbi** args) = 0;
};

}  // namespace vlvpn::shell::winrt_abi
