// The HidBackend over the Windows setup API and HID class library.
// windows.h goes first, the headers that build on it after.
// clang-format off
#include "platform/win32/WinApi.h"

#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hid/HidBackend.h"

namespace tarnwick {
namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The string requests (serial number, product) are given this many bytes, zeroed first.
constexpr ULONG kSerialBufferBytes = 512;

// Owns a kernel handle; closed once.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&&) = delete;
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Reset() {
        if (Valid()) {
            CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// Owns a setup API device information set.
class DeviceInfoList {
public:
    explicit DeviceInfoList(HDEVINFO list) : list_(list) {}
    ~DeviceInfoList() {
        if (Valid()) {
            SetupDiDestroyDeviceInfoList(list_);
        }
    }
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;

    HDEVINFO Get() const { return list_; }
    bool Valid() const { return list_ != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO list_;
};

// Read-write, else read-only, as the purposes that allow a fallback want.
HANDLE OpenPath(const std::string& path, DWORD flags, bool allowReadOnly) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite,
                                nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && allowReadOnly) {
        handle = CreateFileA(path.c_str(), GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING,
                             flags, nullptr);
    }
    return handle;
}

// The collection's report lengths; the protocol's 32 bytes when the system does not say.
HidReportLengths QueryReportLengths(HANDLE handle, bool& known) {
    HidReportLengths lengths{kProtocolReportLength, kProtocolReportLength, kProtocolReportLength};
    known = false;
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(handle, &preparsed)) {
        return lengths;
    }
    HIDP_CAPS caps{};
    if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
        lengths = HidReportLengths{caps.InputReportByteLength, caps.OutputReportByteLength,
                                   caps.FeatureReportByteLength};
        known = true;
    }
    HidD_FreePreparsedData(preparsed);
    return lengths;
}

// A transfer buffer of the collection's length holding the protocol's report: cut when the
// collection's reports are shorter, zero-padded when they are longer.
std::vector<std::uint8_t> Sized(const HidProtocol::Report& report, std::uint16_t length) {
    std::vector<std::uint8_t> buffer(length == 0 ? report.size() : length, 0);
    std::copy_n(report.begin(), std::min(buffer.size(), report.size()), buffer.begin());
    return buffer;
}

class Win32HidHandle final : public HidHandle {
public:
    // `ioEvent` is a manual-reset event for the handle's overlapped transfers (the reader's
    // read, or the writes); `cancelEvent` one for CancelRead. Both are empty for a probe.
    Win32HidHandle(UniqueHandle handle, HidOpenPurpose purpose, UniqueHandle ioEvent,
                   UniqueHandle cancelEvent)
        : handle_(std::move(handle)),
          purpose_(purpose),
          readEvent_(std::move(ioEvent)),
          cancelEvent_(std::move(cancelEvent)) {
        if (readEvent_.Valid()) {
            lengths_ = QueryReportLengths(handle_.Get(), lengthsKnown_);
            buffer_.assign(std::max<std::size_t>(lengths_.input, HidProtocol::kReportSize), 0);
        }
    }
    explicit Win32HidHandle(UniqueHandle handle)
        : Win32HidHandle(std::move(handle), HidOpenPurpose::Probe, UniqueHandle(), UniqueHandle()) {
    }

    ~Win32HidHandle() override {
        if (pending_) {
            // The system may still write into buffer_ and overlapped_: reap the read first.
            CancelIoEx(handle_.Get(), &overlapped_);
            DWORD ignored = 0;
            GetOverlappedResult(handle_.Get(), &overlapped_, &ignored, TRUE);
        }
    }

    bool GetAttributes(HidAttributes& attributes) override {
        HIDD_ATTRIBUTES raw{};
        raw.Size = sizeof raw;
        if (!HidD_GetAttributes(handle_.Get(), &raw)) {
            return false;
        }
        attributes = HidAttributes{raw.VendorID, raw.ProductID, raw.VersionNumber};
        return true;
    }

    bool GetSerialNumber(std::string& serial) override {
        return ReadString(HidD_GetSerialNumberString, serial);
    }

    bool GetDescription(HidDescription& description) override {
        HIDD_ATTRIBUTES raw{};
        raw.Size = sizeof raw;
        if (!HidD_GetAttributes(handle_.Get(), &raw)) {
            return false;  // gone
        }
        HidDescription result;
        if (!ReadString(HidD_GetProductString, result.product)) {
            result.product.clear();
        }
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (HidD_GetPreparsedData(handle_.Get(), &preparsed)) {
            HIDP_CAPS caps{};
            if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
                result.usagePage = caps.UsagePage;
                result.usage = caps.Usage;
            }
            HidD_FreePreparsedData(preparsed);
        }
        description = std::move(result);
        return true;
    }

    bool GetReportLengths(HidReportLengths& lengths) override {
        lengths = lengths_;
        return lengthsKnown_;
    }

    bool GetFeature(HidProtocol::Report& report) override {
        std::vector<std::uint8_t> buffer = Sized(report, lengths_.feature);
        if (!HidD_GetFeature(handle_.Get(), buffer.data(), static_cast<ULONG>(buffer.size()))) {
            return false;
        }
        report.fill(0);
        std::copy_n(buffer.begin(), std::min(buffer.size(), report.size()), report.begin());
        return true;
    }

    HidReadResult Read(HidProtocol::Report& buffer, std::chrono::milliseconds timeout) override {
        if (purpose_ != HidOpenPurpose::Read) {
            return HidReadResult{HidReadStatus::Failed, 0, ERROR_INVALID_FUNCTION};
        }
        if (WaitForSingleObject(cancelEvent_.Get(), 0) == WAIT_OBJECT_0) {
            return Cancelled();
        }
        if (!pending_) {
            ResetEvent(readEvent_.Get());
            overlapped_ = OVERLAPPED{};
            overlapped_.hEvent = readEvent_.Get();
            // No byte count here: on an overlapped handle it comes from the finished operation.
            if (!ReadFile(handle_.Get(), buffer_.data(), static_cast<DWORD>(buffer_.size()),
                          nullptr, &overlapped_)) {
                const DWORD error = GetLastError();
                if (error != ERROR_IO_PENDING) {
                    return HidReadResult{HidReadStatus::Failed, 0, error};
                }
            }
            // Finished at once or pending: either way the event tells, and the result below.
            pending_ = true;
        }
        // Wake path: CancelRead signals cancelEvent_ (and cancels the I/O as well).
        const HANDLE events[2] = {readEvent_.Get(), cancelEvent_.Get()};
        const DWORD waitMs = static_cast<DWORD>(timeout.count() < 0 ? 0 : timeout.count());
        const DWORD wait = WaitForMultipleObjects(2, events, FALSE, waitMs);
        if (wait == WAIT_TIMEOUT) {
            return HidReadResult{HidReadStatus::TimedOut, 0, WAIT_TIMEOUT};
        }
        if (wait == WAIT_OBJECT_0 + 1) {
            return Cancelled();
        }
        if (wait != WAIT_OBJECT_0) {
            return HidReadResult{HidReadStatus::Failed, 0, GetLastError()};
        }
        DWORD count = 0;
        pending_ = false;
        if (!GetOverlappedResult(handle_.Get(), &overlapped_, &count, FALSE)) {
            const DWORD error = GetLastError();
            if (error == ERROR_OPERATION_ABORTED &&
                WaitForSingleObject(cancelEvent_.Get(), 0) == WAIT_OBJECT_0) {
                return HidReadResult{HidReadStatus::Cancelled, 0, error};
            }
            return HidReadResult{HidReadStatus::Failed, 0, error};
        }
        return Completed(buffer, count);
    }

    void CancelRead() override {
        if (cancelEvent_.Valid()) {
            SetEvent(cancelEvent_.Get());
        }
        CancelIoEx(handle_.Get(), nullptr);
    }

    HidTransfer Write(const HidProtocol::Report& report) override {
        if (purpose_ != HidOpenPurpose::Write) {
            return HidTransfer{false, 0, ERROR_INVALID_FUNCTION};
        }
        // Overlapped with a bounded wait: a board whose OUT endpoint stalls would otherwise
        // hold its caller for as long as the stall lasts.
        std::vector<std::uint8_t> buffer = Sized(report, lengths_.output);
        ResetEvent(readEvent_.Get());
        OVERLAPPED overlapped{};
        overlapped.hEvent = readEvent_.Get();
        if (!WriteFile(handle_.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                       &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                return HidTransfer{false, 0, error};
            }
        }
        bool timedOut = false;
        if (WaitForSingleObject(readEvent_.Get(), static_cast<DWORD>(kHidWriteTimeout.count())) !=
            WAIT_OBJECT_0) {
            // The system may still use the buffer and the record: wait for the cancel to land.
            CancelIoEx(handle_.Get(), &overlapped);
            timedOut = true;
        }
        DWORD written = 0;
        const BOOL ok = GetOverlappedResult(handle_.Get(), &overlapped, &written, TRUE);
        // Read right after the call whatever its outcome: the log lines print it.
        const DWORD error = ok ? ERROR_SUCCESS : (timedOut ? ERROR_TIMEOUT : GetLastError());
        const std::size_t bytes = std::min<std::size_t>(written, report.size());
        return HidTransfer{ok != FALSE, ok ? bytes : 0, error};
    }

    HidTransfer SetOutputReport(const HidProtocol::Report& report) override {
        std::vector<std::uint8_t> buffer = Sized(report, lengths_.output);
        const BOOLEAN ok =
            HidD_SetOutputReport(handle_.Get(), buffer.data(), static_cast<ULONG>(buffer.size()));
        const DWORD error = GetLastError();
        return HidTransfer{ok != FALSE, ok ? report.size() : 0, error};
    }

private:
    // One of the HID class's string requests (serial number, product), in UTF-8.
    bool ReadString(decltype(&HidD_GetSerialNumberString) request, std::string& text) {
        wchar_t buffer[kSerialBufferBytes / sizeof(wchar_t)] = {};
        if (!request(handle_.Get(), buffer, kSerialBufferBytes)) {
            return false;
        }
        // A device may fill the whole buffer without a terminator; never read past it.
        const int length = static_cast<int>(wcsnlen(buffer, sizeof buffer / sizeof buffer[0]));
        if (length == 0) {
            text.clear();
            return true;
        }
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, buffer, length, nullptr, 0, nullptr, nullptr);
        if (size <= 0) {
            return false;
        }
        std::string converted(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, buffer, length, converted.data(), size, nullptr, nullptr);
        text = std::move(converted);
        return true;
    }

    HidReadResult Cancelled() {
        if (pending_) {
            CancelIoEx(handle_.Get(), &overlapped_);
            DWORD ignored = 0;
            GetOverlappedResult(handle_.Get(), &overlapped_, &ignored, TRUE);
            pending_ = false;
        }
        return HidReadResult{HidReadStatus::Cancelled, 0, ERROR_OPERATION_ABORTED};
    }

    // The first 32 bytes of a longer report; the protocol has no more.
    HidReadResult Completed(HidProtocol::Report& buffer, DWORD count) {
        const std::size_t bytes = std::min<std::size_t>(count, buffer.size());
        std::copy(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(bytes),
                  buffer.begin());
        return HidReadResult{HidReadStatus::Completed, bytes, ERROR_SUCCESS};
    }

    UniqueHandle handle_;
    const HidOpenPurpose purpose_;
    UniqueHandle readEvent_;  // the reader's read, or the writes of a write handle
    UniqueHandle cancelEvent_;
    // The pending read's own buffer and record: the system writes into them until it completes,
    // so they live with the handle, not with one Read call.
    OVERLAPPED overlapped_{};
    std::vector<std::uint8_t> buffer_;
    bool pending_ = false;  // only the reader thread and the destructor touch it
    HidReportLengths lengths_{kProtocolReportLength, kProtocolReportLength, kProtocolReportLength};
    bool lengthsKnown_ = false;
};

class Win32HidBackend final : public HidBackend {
public:
    std::vector<std::string> EnumerateInterfaces() override {
        std::vector<std::string> paths;
        GUID hidGuid;
        HidD_GetHidGuid(&hidGuid);
        const DeviceInfoList list(SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr,
                                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
        if (!list.Valid()) {
            return paths;
        }
        std::vector<DWORD> detailBuffer;  // DWORD-aligned, as the detail record needs
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(list.Get(), nullptr, &hidGuid, index, &data)) {
                break;
            }
            DWORD needed = 0;
            SetupDiGetDeviceInterfaceDetailA(list.Get(), &data, nullptr, 0, &needed, nullptr);
            if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
                continue;
            }
            detailBuffer.assign(needed / sizeof(DWORD) + 1, 0);
            auto* detail =
                reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (!SetupDiGetDeviceInterfaceDetailA(list.Get(), &data, detail, needed, nullptr,
                                                  nullptr)) {
                continue;
            }
            // The path ends at its terminator, which lies inside the `needed` bytes.
            const char* path = detail->DevicePath;
            const std::size_t room =
                needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
            paths.emplace_back(path, strnlen(path, room));
        }
        return paths;
    }

    std::unique_ptr<HidHandle> Open(const std::string& path, HidOpenPurpose purpose) override {
        if (purpose == HidOpenPurpose::Probe) {
            // No access rights: enough for the attributes, and granted even for the keyboards
            // and mice that the system keeps from being opened for reading or writing.
            UniqueHandle handle(
                CreateFileA(path.c_str(), 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!handle.Valid()) {
                return nullptr;
            }
            return std::make_unique<Win32HidHandle>(std::move(handle));
        }
        UniqueHandle handle(OpenPath(path, FILE_FLAG_OVERLAPPED, purpose == HidOpenPurpose::Read));
        if (!handle.Valid()) {
            return nullptr;
        }
        UniqueHandle ioEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        UniqueHandle cancelEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!ioEvent.Valid() || !cancelEvent.Valid()) {
            return nullptr;
        }
        return std::make_unique<Win32HidHandle>(std::move(handle), purpose, std::move(ioEvent),
                                                std::move(cancelEvent));
    }
};

}  // namespace

std::unique_ptr<HidBackend> CreateWin32HidBackend() {
    return std::make_unique<Win32HidBackend>();
}

}  // namespace tarnwick
