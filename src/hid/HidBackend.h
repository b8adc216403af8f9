// The seam between the HID manager and whatever plays the USB HID devices: the Windows HID class
// (win32 backend) or in-process virtual panel boards and touch panels (virtual backend). It is
// shaped after what the manager needs, not after the OS API: list the interface paths, open one,
// and on an open handle ask its identity, ask feature reports, read with a time-out that keeps
// the pending read alive, cancel that read from another thread, and write.
//
// Failures carry the platform's error code, because the manager's log lines print it. The
// virtual backend uses the same Windows numbers, so its log lines read like real ones.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/HidProtocol.h"

namespace tarnwick {

// Windows system error codes that the backends report.
namespace HidError {
inline constexpr std::uint32_t kNone = 0;
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kGenFailure = 31;  // what a stalled USB request comes back as
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kOperationAborted = 995;
inline constexpr std::uint32_t kIoPending = 997;
inline constexpr std::uint32_t kTimeout = 1460;  // a write that did not finish in time
inline constexpr std::uint32_t kDeviceNotConnected = 1167;
}  // namespace HidError

// How long a write may take before it is cancelled and fails with HidError::kTimeout. A board
// whose OUT endpoint stalls must not hold up its caller (the SimConnect worker, the mapping
// engine's workers, Stop) for longer than this.
inline constexpr std::chrono::milliseconds kHidWriteTimeout{250};

// The length, report id byte included, that the protocol's reports have.
inline constexpr std::uint16_t kProtocolReportLength = 32;

// What a handle is opened for; each purpose has its own access and fallback.
enum class HidOpenPurpose {
    // Identity only (attributes), with no access rights: the system lets even the keyboards
    // and mice that it keeps to itself be opened this way.
    Probe,
    // The reader's handle: input reports, serial number, feature reports. Read-write, else
    // read-only; overlapped, so that a read can stay pending across time-outs.
    Read,
    // Output reports. Read-write only (no fallback); every write waits at most
    // kHidWriteTimeout.
    Write,
};

struct HidAttributes {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
};

// What a listing shows of an interface beside its ids: the product string (UTF-8, empty when the
// device has none) and the top-level collection's usage page and usage (0 when unknown).
struct HidDescription {
    std::string product;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
};

// The collection's report lengths in bytes, report id byte included; 0 when it has no report of
// that kind.
struct HidReportLengths {
    std::uint16_t input = 0;
    std::uint16_t output = 0;
    std::uint16_t feature = 0;
};

// Outcome of a write or set-output-report call. `bytes` is what the device took (0 on failure);
// `error` is the platform's last-error code read right after the call, as the log lines print it.
struct HidTransfer {
    bool ok = false;
    std::size_t bytes = 0;
    std::uint32_t error = HidError::kNone;
};

enum class HidReadStatus {
    Completed,  // a report arrived: `bytes` of it are in the buffer (0 is possible)
    TimedOut,   // nothing yet; the read stays pending and the next Read waits on it again
    Cancelled,  // CancelRead was called; every later Read returns this too
    Failed,     // the device failed (for example it was unplugged); `error` says why
};

struct HidReadResult {
    HidReadStatus status = HidReadStatus::Failed;
    std::size_t bytes = 0;
    std::uint32_t error = HidError::kNone;
};

// One open handle on a HID interface. Destroying it closes it; the owner makes sure that no
// other call on it is still running by then (the reader thread is joined first).
class HidHandle {
public:
    virtual ~HidHandle() = default;

    // Vendor, product and version id. Any thread, one call at a time.
    virtual bool GetAttributes(HidAttributes& attributes) = 0;

    // The USB serial number string in UTF-8; false when the device has none or the request
    // fails. Called on the thread that opened the handle, before reading starts.
    virtual bool GetSerialNumber(std::string& serial) = 0;

    // Product string and usage. Works on a probe handle, so a listing needs no access rights and
    // sends the device nothing; false when the device is gone. Any thread, one call at a time.
    virtual bool GetDescription(HidDescription& description) = 0;

    // The collection's report lengths. Same thread rule as GetSerialNumber. The handle sizes its
    // own transfers from them: longer reports are cut to 32 bytes when read, shorter or longer
    // ones are cut or zero-padded when written.
    virtual bool GetReportLengths(HidReportLengths& lengths) = 0;

    // Feature report: byte 0 of `report` holds the requested ID on entry, the device's answer
    // fills all 32 bytes on success. On failure `report` may be partly written. Same thread
    // rule as GetSerialNumber.
    virtual bool GetFeature(HidProtocol::Report& report) = 0;

    // Reads one input report into `buffer`. If no read is pending, starts one; then waits up to
    // `timeout` for it. On a time-out the read stays pending (no report that arrives later is
    // lost) and the next call waits on the same read. Only the handle's one reader thread calls
    // it. Only for handles opened with HidOpenPurpose::Read.
    virtual HidReadResult Read(HidProtocol::Report& buffer, std::chrono::milliseconds timeout) = 0;

    // Makes a Read in progress return Cancelled at once, and every later Read as well (so a
    // cancel that comes just before the read starts is not lost). Any thread, concurrently with
    // Read; the wake path of the reader thread.
    virtual void CancelRead() = 0;

    // Writes one 32-byte output report (the platform's WriteFile). Only for handles opened with
    // HidOpenPurpose::Write. Returns within kHidWriteTimeout: a write the device has not taken
    // by then is cancelled and fails with HidError::kTimeout. Any thread; the caller serialises
    // writes to one device.
    virtual HidTransfer Write(const HidProtocol::Report& report) = 0;

    // Sends one 32-byte output report over the control pipe (HidD_SetOutputReport), the way
    // to reach a board whose interrupt-out path does not take it. Same rules as Write.
    virtual HidTransfer SetOutputReport(const HidProtocol::Report& report) = 0;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;

    // Paths of every present HID interface of the system, in the platform's enumeration order.
    // Empty when the enumeration itself fails. Any thread, concurrently.
    virtual std::vector<std::string> EnumerateInterfaces() = 0;

    // Opens `path` for `purpose`; null when it cannot be opened. Handles of every purpose share
    // read and write access, so a probe and an open device never exclude each other. Any thread,
    // concurrently.
    virtual std::unique_ptr<HidHandle> Open(const std::string& path, HidOpenPurpose purpose) = 0;
};

// The Windows HID class and setup API. Defined only in the Windows build; only main and the
// Windows tests call it.
std::unique_ptr<HidBackend> CreateWin32HidBackend();

}  // namespace tarnwick
