// The startup task through the Windows Runtime's ABI. combase.dll is loaded
// when first needed rather than imported, so the program starts on systems
// (and under Wine) whatever their Windows Runtime has; an unpackaged run never
// touches it.
#include <windows.h>
#include <roapi.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "common/win32/mingw_compat.h"
#include "common/win32/wide.h"
#include "desktop/shell/startup_task.h"
#include "desktop/shell/winrt_startup_abi_win32.h"

namespace vlvpn::shell {
namespace {

using namespace winrt_abi;

// A reference to a COM object, released with the owner.
template <class Interface>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() {
    if (pointer_) pointer_->Release();
  }
  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  Interface** put() { return &pointer_; }
  void** putVoid() { return reinterpret_cast<void**>(&pointer_); }
  explicit operator bool() const { return pointer_ != nullptr; }

 private:
  Interface* pointer_ = nullptr;
};

// The few combase functions, found once.
struct Combase {
  HRESULT(WINAPI* initialize)(RO_INIT_TYPE) = nullptr;
  void(WINAPI* uninitialize)() = nullptr;
  HRESULT(WINAPI* activationFactory)(HSTRING, REFIID, void**) = nullptr;
  HRESULT(WINAPI* createString)(PCWSTR, UINT32, HSTRING*) = nullptr;
  HRESULT(WINAPI* deleteString)(HSTRING) = nullptr;
  bool loaded() const { return initialize && uninitialize && activationFactory && createString && deleteString; }
};

const Combase& combase() {
  static const Combase functions = [] {
    Combase found;
    HMODULE module = LoadLibraryW(L"combase.dll");
    if (!module) return found;
    const auto find = [module](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
          reinterpret_cast<void*>(GetProcAddress(module, name)));
    };
    find(found.initialize, "RoInitialize");
    find(found.uninitialize, "RoUninitialize");
    find(found.activationFactory, "RoGetActivationFactory");
    find(found.createString, "WindowsCreateString");
    find(found.deleteString, "WindowsDeleteString");
    return found;
  }();
  return functions;
}

class RuntimeString {
 public:
  explicit RuntimeString(const std::wstring& text) {
    if (combase().createString(text.c_str(), static_cast<UINT32>(text.size()), &string_) != S_OK) string_ = nullptr;
  }
  ~RuntimeString() {
    if (string_) combase().deleteString(string_);
  }
  RuntimeString(const RuntimeString&) = delete;
  RuntimeString& operator=(const RuntimeString&) = delete;
  HSTRING get() const { return string_; }

 private:
  HSTRING string_ = nullptr;
};

// The Windows Runtime on this thread for the scope's length.
class RuntimeScope {
 public:
  RuntimeScope() {
    if (!combase().loaded()) return;
    const HRESULT result = combase().initialize(RO_INIT_MULTITHREADED);
    initialized_ = SUCCEEDED(result);
    usable_ = initialized_ || result == RPC_E_CHANGED_MODE;
  }
  ~RuntimeScope() {
    if (initialized_) combase().uninitialize();
  }
  RuntimeScope(const RuntimeScope&) = delete;
  RuntimeScope& operator=(const RuntimeScope&) = delete;
  bool usable() const { return usable_; }

 private:
  bool initialized_ = false;
  bool usable_ = false;
};

template <class Interface>
bool activationFactory(const wchar_t* className, const GUID& iid, ComRef<Interface>& factory) {
  RuntimeString name(className);
  return name.get() && SUCCEEDED(combase().activationFactory(name.get(), iid, factory.putVoid())) && factory;
}

// Blocks until the operation is done, as the system answers it (the user may
// be asked); its result when it completed, nullopt when it failed or was
// cancelled.
template <class Result>
std::optional<Result> await(IAsyncOperationAbi<Result>* operation) {
  ComRef<IAsyncInfoAbi> info;
  if (FAILED(operation->QueryInterface(kIidAsyncInfo, info.putVoid())) || !info) return std::nullopt;
  AsyncStatus status = AsyncStatus::Started;
  while (SUCCEEDED(info->get_Status(&status)) && status == AsyncStatus::Started) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (status != AsyncStatus::Completed) return std::nullopt;
  Result result{};
  if (FAILED(operation->GetResults(&result))) return std::nullopt;
  return result;
}

// StartupTask.GetAsync(taskId), awaited.
bool findTask(const std::string& taskId, ComRef<IStartupTaskAbi>& task) {
  ComRef<IStartupTaskStaticsAbi> statics;
  if (!activationFactory(L"Windows.ApplicationModel.StartupTask", kIidStartupTaskStatics, statics)) return false;
  RuntimeString id(wideFromUtf8(taskId));
  ComRef<IAsyncOperationAbi<IStartupTaskAbi*>> operation;
  if (!id.get() || FAILED(statics->GetAsync(id.get(), operation.put())) || !operation) return false;
  const auto found = await(operation.get());
  if (!found || !*found) return false;
  *task.put() = *found;  // GetResults hands over a reference
  return true;
}

std::optional<StartupTaskState> toState(INT32 value) {
  if (value < 0 || value > 4) return std::nullopt;
  return static_cast<StartupTaskState>(value);
}

class RuntimeStartupTask final : public StartupTaskPort {
 public:
  bool isPackaged() override {
    UINT32 length = 0;
    return GetCurrentPackageFullName(&length, nullptr) == ERROR_INSUFFICIENT_BUFFER;
  }

  std::optional<StartupTaskState> state(const std::string& taskId) override {
    RuntimeScope runtime;
    ComRef<IStartupTaskAbi> task;
    if (!runtime.usable() || !findTask(taskId, task)) return std::nullopt;
    INT32 value = 0;
    if (FAILED(task->get_State(&value))) return std::nullopt;
    return toState(value);
  }

  std::optional<StartupTaskState> requestEnable(const std::string& taskId) override {
    RuntimeScope runtime;
    ComRef<IStartupTaskAbi> task;
    if (!runtime.usable() || !findTask(taskId, task)) return std::nullopt;
    ComRef<IAsyncOperationAbi<INT32>> operation;
    if (FAILED(task->RequestEnableAsync(operation.put())) || !operation) return std::nullopt;
    const auto value = await(operation.get());
    return value ? toState(*value) : std::nullopt;
  }

  bool disable(const std::string& taskId) override {
    RuntimeScope runtime;
    ComRef<IStartupTaskAbi> task;
    return runtime.usable() && findTask(taskId, task) && SUCCEEDED(task->Disable());
  }

  bool activatedByStartupTask() override {
    if (!isPackaged()) return false;
    RuntimeScope runtime;
    ComRef<IAppInstanceStaticsAbi> statics;
    if (!runtime.usable() ||
        !activationFactory(L"Windows.ApplicationModel.AppInstance", kIidAppInstanceStatics, statics)) {
      return false;
    }
    ComRef<IActivatedEventArgsAbi> args;
    INT32 kind = 0;
    return SUCCEEDED(statics->GetActivatedEventArgs(args.put())) && args && SUCCEEDED(args->get_Kind(&kind)) &&
           kind == kActivationKindStartupTask;
  }
};

}  // namespace

std::unique_ptr<StartupTaskPort> StartupTaskPort::create() { return std::make_unique<RuntimeStartupTask>(); }

}  // namespace vlvpn::shell
