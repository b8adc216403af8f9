// SimConnect.dll, loaded at run time so that the program builds without the simulator's SDK and
// starts without the simulator installed. Every function is resolved by its plain export name
// from one table; what is missing is reported by name and tried again on the next attempt.
#include <array>
#include <mutex>
#include <string>
#include <utility>

#include "platform/win32/WinApi.h"
#include "sim/SimConnectApi.h"

namespace tarnwick {
namespace {

// The library's function types. x64 has a single calling convention, so CALLBACK/__stdcall
// need no special care in the one build that ships.
using OpenFn = HRESULT(__stdcall*)(HANDLE*, LPCSTR, HWND, DWORD, HANDLE, DWORD);
using CloseFn = HRESULT(__stdcall*)(HANDLE);
using AddToDataDefinitionFn = HRESULT(__stdcall*)(HANDLE, DWORD, const char*, const char*, DWORD,
                                                  float, DWORD);
using RequestDataOnSimObjectFn = HRESULT(__stdcall*)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD,
                                                     DWORD, DWORD, DWORD);
using RecvProc = void(CALLBACK*)(void* recv, DWORD cbData, void* context);
using CallDispatchFn = HRESULT(__stdcall*)(HANDLE, RecvProc, void*);
using MapClientEventToSimEventFn = HRESULT(__stdcall*)(HANDLE, DWORD, const char*);
using TransmitClientEventFn = HRESULT(__stdcall*)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD);
using MapClientDataNameToIDFn = HRESULT(__stdcall*)(HANDLE, const char*, DWORD);
using AddToClientDataDefinitionFn = HRESULT(__stdcall*)(HANDLE, DWORD, DWORD, DWORD, float, DWORD);
using RequestClientDataFn = HRESULT(__stdcall*)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                                DWORD, DWORD);
using SetClientDataFn = HRESULT(__stdcall*)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD, void*);

enum Export : std::size_t {
    kOpen,
    kClose,
    kAddToDataDefinition,
    kRequestDataOnSimObject,
    kCallDispatch,
    kMapClientEventToSimEvent,
    kTransmitClientEvent,
    kMapClientDataNameToID,
    kAddToClientDataDefinition,
    kRequestClientData,
    kSetClientData,
    kExportCount,
};

constexpr std::array<const char*, kExportCount> kExportNames = {
    "SimConnect_Open",
    "SimConnect_Close",
    "SimConnect_AddToDataDefinition",
    "SimConnect_RequestDataOnSimObject",
    "SimConnect_CallDispatch",
    "SimConnect_MapClientEventToSimEvent",
    "SimConnect_TransmitClientEvent",
    "SimConnect_MapClientDataNameToID",
    "SimConnect_AddToClientDataDefinition",
    "SimConnect_RequestClientData",
    "SimConnect_SetClientData",
};

// GetProcAddress hands out a generic function pointer; going through void(*)() keeps the cast
// free of -Wcast-function-type noise.
template <typename Fn>
Fn As(FARPROC proc) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

// What CallDispatch passes as the library's context: our procedure and its own context.
struct DispatchTarget {
    SimConnectDispatchProc proc;
    void* context;
};

void CALLBACK Trampoline(void* recv, DWORD cbData, void* context) {
    const auto* target = static_cast<const DispatchTarget*>(context);
    if (target == nullptr || recv == nullptr) {
        return;
    }
    target->proc(static_cast<const std::uint8_t*>(recv), static_cast<std::uint32_t>(cbData),
                 target->context);
}

// Owns a loaded module.
class Module {
public:
    Module() = default;
    ~Module() { Reset(); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    HMODULE Get() const { return module_; }
    void Reset(HMODULE module = nullptr) {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
        module_ = module;
    }

private:
    HMODULE module_ = nullptr;
};

std::string ExecutableFolder() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    std::string folder(path, length);
    const auto slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

class Win32SimConnectApi final : public SimConnectApi {
public:
    explicit Win32SimConnectApi(std::string dllName) : dllName_(std::move(dllName)) {}

    Result Load() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loaded_) {
            return Result::Success();
        }
        if (module_.Get() == nullptr) {
            Result loaded = LoadModule();
            if (!loaded) {
                return loaded;
            }
        }
        std::array<FARPROC, kExportCount> resolved{};
        for (std::size_t i = 0; i < kExportCount; ++i) {
            resolved[i] = GetProcAddress(module_.Get(), kExportNames[i]);
            if (resolved[i] == nullptr) {
                // Let the next attempt load the file afresh, in case it is replaced meanwhile.
                module_.Reset();
                return Result::Failure(std::string(kExportNames[i]) + " missing from " + dllName_);
            }
        }
        procs_ = resolved;
        loaded_ = true;
        return Result::Success();
    }

    SimConnectResult Open(SimConnectHandle& handle, const char* name) override {
        HANDLE opened = nullptr;
        const HRESULT result = As<OpenFn>(procs_[kOpen])(&opened, name, nullptr, 0, nullptr, 0);
        handle = opened;
        return result;
    }
    SimConnectResult Close(SimConnectHandle handle) override {
        return As<CloseFn>(procs_[kClose])(handle);
    }
    SimConnectResult AddToDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                         const char* datumName, const char* unitsName,
                                         std::uint32_t datumType, float epsilon,
                                         std::uint32_t datumId) override {
        return As<AddToDataDefinitionFn>(procs_[kAddToDataDefinition])(
            handle, defineId, datumName, unitsName, datumType, epsilon, datumId);
    }
    SimConnectResult RequestDataOnSimObject(SimConnectHandle handle, std::uint32_t requestId,
                                            std::uint32_t defineId, std::uint32_t objectId,
                                            std::uint32_t period, std::uint32_t flags,
                                            std::uint32_t origin, std::uint32_t interval,
                                            std::uint32_t limit) override {
        return As<RequestDataOnSimObjectFn>(procs_[kRequestDataOnSimObject])(
            handle, requestId, defineId, objectId, period, flags, origin, interval, limit);
    }
    SimConnectResult CallDispatch(SimConnectHandle handle, SimConnectDispatchProc proc,
                                  void* context) override {
        DispatchTarget target{proc, context};
        return As<CallDispatchFn>(procs_[kCallDispatch])(handle, &Trampoline, &target);
    }
    SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle, std::uint32_t eventId,
                                              const char* eventName) override {
        return As<MapClientEventToSimEventFn>(procs_[kMapClientEventToSimEvent])(handle, eventId,
                                                                                 eventName);
    }
    SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                         std::uint32_t eventId, std::uint32_t data,
                                         std::uint32_t groupId, std::uint32_t flags) override {
        return As<TransmitClientEventFn>(procs_[kTransmitClientEvent])(handle, objectId, eventId,
                                                                       data, groupId, flags);
    }
    SimConnectResult MapClientDataNameToID(SimConnectHandle handle, const char* name,
                                           std::uint32_t clientDataId) override {
        return As<MapClientDataNameToIDFn>(procs_[kMapClientDataNameToID])(handle, name,
                                                                           clientDataId);
    }
    SimConnectResult AddToClientDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                               std::uint32_t offset, std::uint32_t sizeOrType,
                                               float epsilon, std::uint32_t datumId) override {
        return As<AddToClientDataDefinitionFn>(procs_[kAddToClientDataDefinition])(
            handle, defineId, offset, sizeOrType, epsilon, datumId);
    }
    SimConnectResult RequestClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                       std::uint32_t requestId, std::uint32_t defineId,
                                       std::uint32_t period, std::uint32_t flags,
                                       std::uint32_t origin, std::uint32_t interval,
                                       std::uint32_t limit) override {
        return As<RequestClientDataFn>(procs_[kRequestClientData])(
            handle, clientDataId, requestId, defineId, period, flags, origin, interval, limit);
    }
    SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                   std::uint32_t defineId, std::uint32_t flags,
                                   std::uint32_t reserved, std::uint32_t size,
                                   const void* data) override {
        // The library only reads the block; its prototype merely lacks the const.
        return As<SetClientDataFn>(procs_[kSetClientData])(handle, clientDataId, defineId, flags,
                                                           reserved, size, const_cast<void*>(data));
    }

private:
    // The copy beside the executable first, then the system's search without the current folder,
    // so a stray or planted copy there is never loaded. A copy beside the executable that is
    // there but does not load (a missing dependency, the wrong architecture) is named with its
    // path and error; "not found" stays for a library that is nowhere.
    Result LoadModule() {
        // No "cannot find" dialog box from the system while probing.
        DWORD previousMode = 0;
        SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
        HMODULE module = nullptr;
        DWORD besideError = ERROR_SUCCESS;
        const std::string folder = ExecutableFolder();
        const std::string beside = folder.empty() ? std::string() : folder + dllName_;
        const bool besideExists =
            !beside.empty() && GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (besideExists) {
            // Its own dependencies are looked for beside it and in the system folders only.
            module =
                LoadLibraryExA(beside.c_str(), nullptr,
                               LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
            besideError = module == nullptr ? GetLastError() : ERROR_SUCCESS;
        }
        DWORD searchError = ERROR_SUCCESS;
        if (module == nullptr) {
            module = LoadLibraryExA(dllName_.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
            searchError = module == nullptr ? GetLastError() : ERROR_SUCCESS;
        }
        SetThreadErrorMode(previousMode, nullptr);
        if (module == nullptr) {
            if (besideExists) {
                return Result::Failure(dllName_ + " at " + beside + " could not be loaded (error " +
                                       std::to_string(besideError) + ")");
            }
            if (searchError == ERROR_MOD_NOT_FOUND) {
                return Result::Failure(dllName_ + " not found");
            }
            return Result::Failure(dllName_ + " could not be loaded (error " +
                                   std::to_string(searchError) + ")");
        }
        module_.Reset(module);
        return Result::Success();
    }

    const std::string dllName_;
    std::mutex mutex_;
    Module module_;
    bool loaded_ = false;
    // Written once by Load, before any handle exists; read without the lock afterwards (a handle
    // reaches other threads only through the client's mutex, after Load returned).
    std::array<FARPROC, kExportCount> procs_{};
};

}  // namespace

std::unique_ptr<SimConnectApi> CreateWin32SimConnectApi(const std::string& dllName) {
    return std::make_unique<Win32SimConnectApi>(dllName);
}

}  // namespace tarnwick
