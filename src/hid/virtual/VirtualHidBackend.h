// In-process panel boards and touch panels behind the HidBackend seam. They serve the tests, the
// virtual cockpit and users who want to try a configuration without hardware.
//
// A virtual device has a path, vendor and product id, an optional serial number and a table of
// feature-report answers; it can refuse read-write opening (a read-only device) or any opening,
// and its writes can fail or come up short on request. The device's side (input and settings
// reports) is pushed from any thread and reaches every handle opened for reading, each with its
// own bounded buffer, as the Windows HID class does. Every write the host makes is recorded.
// Devices are plugged and unplugged at any time; unplugging fails a pending read at once and
// every later call on the device's handles, with the error Windows gives for a removed device.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hid/HidBackend.h"
#include "hid/HidProtocol.h"
#include "hid/TelemetryProtocol.h"

namespace tarnwick {

struct VirtualHidDeviceSetup {
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0x0100;
    std::string serial;  // UTF-8; empty: the device has no serial number string
    HidDescription description{{}, 0xFF00, 0x0001};  // vendor-defined usage, as the boards have
    // The answer to each feature report ID; asking for an ID that is not here fails the request
    // (a stall). An answer whose byte 0 differs from the ID asked is passed on as it is.
    std::map<std::uint8_t, HidProtocol::Report> featureAnswers;
    bool readOnly = false;                 // read-write opening is refused, read-only works
    std::size_t inputBufferReports = 512;  // per reading handle; when full the oldest is dropped
    std::size_t writeLogLimit = 0;         // writes kept for Writes(); 0 keeps all, else the newest
    // Held by the system, like keyboards and mice: every read or write open is refused, only
    // the probe (which asks for no access) works.
    bool systemOwned = false;
    HidReportLengths reportLengths{kProtocolReportLength, kProtocolReportLength,
                                   kProtocolReportLength};
    // How long the host waits for a stalled write before it gives up (kHidWriteTimeout, as the
    // Windows backend); tests make it long to hold a write while they look around.
    std::chrono::milliseconds writeTimeout = kHidWriteTimeout;
};

// A panel board: answers feature report 0x20 with `info` and 0x21 with `protocol` when given;
// a missing one fails like a board whose firmware does not know the request.
VirtualHidDeviceSetup VirtualPanelBoardSetup(std::string path, std::uint16_t vendorId,
                                           std::uint16_t productId,
                                           std::optional<HidProtocol::DeviceInfo> info,
                                           std::optional<HidProtocol::ProtocolInfo> protocol,
                                           std::string serial = {});
// A touch panel: no feature reports, identified by its serial number.
VirtualHidDeviceSetup VirtualTouchPanelSetup(std::string path, std::uint16_t vendorId,
                                           std::uint16_t productId, std::string serial);

enum class VirtualWriteMode {
    Accept,  // all 32 bytes taken
    Fail,    // the call fails with `error`
    Short,   // the call succeeds but takes only `shortBytes`; `error` is what last-error reads
};

struct VirtualWriteBehaviour {
    VirtualWriteMode mode = VirtualWriteMode::Accept;
    std::uint32_t error = HidError::kGenFailure;
    std::size_t shortBytes = 0;
};

enum class VirtualWriteMethod { WriteFile, SetOutputReport };

// One write the host made, whatever its outcome.
struct VirtualHidWrite {
    VirtualWriteMethod method = VirtualWriteMethod::WriteFile;
    HidProtocol::Report report{};
    HidTransfer result;
};

class VirtualHidHandle;

// One plugged (or formerly plugged) device. Every member function is thread-safe.
class VirtualHidDevice {
public:
    explicit VirtualHidDevice(VirtualHidDeviceSetup setup);

    VirtualHidDevice(const VirtualHidDevice&) = delete;
    VirtualHidDevice& operator=(const VirtualHidDevice&) = delete;

    const std::string& Path() const { return setup_.path; }
    bool IsPlugged() const;

    // The device's side. Each returns false when the device is unplugged or the report is
    // longer than 32 bytes. A report reaches the handles open for reading at the moment of the
    // call; with none open it is lost, as on the bus.
    bool SendInput(const std::uint8_t* bytes, std::size_t count);
    bool SendEvent(const HidProtocol::HidEvent& event);  // 32 bytes with ID 0x01
    bool SendSettings(const TelemetryProtocol::Settings& settings);

    void SetFeatureAnswer(std::uint8_t id, const HidProtocol::Report& answer);
    void RemoveFeatureAnswer(std::uint8_t id);
    void SetSerial(std::string serial);
    // Makes opening for `purpose` fail (true) or work again (false).
    void SetOpenFailure(HidOpenPurpose purpose, bool fail);
    void SetWriteBehaviour(const VirtualWriteBehaviour& behaviour);
    void SetOutputReportBehaviour(const VirtualWriteBehaviour& behaviour);
    // Every write from now on takes `stall` before the device takes it (0: at once again, which
    // also lets the writes waiting now go on). A write that would take longer than the setup's
    // writeTimeout fails with HidError::kTimeout after that time; unplugging ends it at once.
    void SetWriteStall(std::chrono::milliseconds stall);
    // The pending read of every reading handle (or its next read) fails once with `error`.
    void FailNextRead(std::uint32_t error = HidError::kGenFailure);

    // What the host did.
    std::vector<VirtualHidWrite> Writes() const;
    // The reports that arrived whole (all 32 bytes taken), by either method, in order.
    std::vector<HidProtocol::Report> ReceivedReports() const;
    void ClearWrites();
    std::uint64_t WriteCount() const;  // every write ever made, also those no longer kept
    std::size_t OpenHandleCount() const;
    std::size_t OpenCount(HidOpenPurpose purpose) const;     // successful opens so far
    std::size_t OpenAttempts(HidOpenPurpose purpose) const;  // every open asked for, also failed
    std::size_t WritesInProgress() const;  // writes that have started and not yet returned
    std::size_t FeatureRequestCount() const;
    // Reads started by the host; a read that waits through time-outs counts once.
    std::uint64_t ReadsStarted() const;
    std::uint64_t DroppedInputs() const;  // lost to full buffers
    bool HasPendingRead() const;
    // True as soon as the host has a read waiting on this device; false after `timeout`.
    bool WaitForPendingRead(std::chrono::milliseconds timeout) const;

private:
    friend class VirtualHidBackend;
    friend class VirtualHidHandle;

    struct Input {
        HidProtocol::Report bytes{};
        std::size_t count = 0;
    };
    // The per-handle side of reading, guarded by mutex_.
    struct ReadQueue {
        std::deque<Input> reports;
        bool pending = false;
        bool cancelled = false;
        std::uint32_t failError = HidError::kNone;  // FailNextRead: the next read fails so
    };

    static std::size_t PurposeSlot(HidOpenPurpose purpose);
    // Under mutex_: whether opening for `purpose` works, and whether the handle may write.
    bool AdmitOpen(HidOpenPurpose purpose, bool& writable);
    void Attach(ReadQueue* queue);
    void Detach(ReadQueue* queue);
    void Unplug();

    HidReadResult Read(ReadQueue& queue, HidProtocol::Report& buffer,
                       std::chrono::milliseconds timeout);
    void Cancel(ReadQueue& queue);
    HidTransfer Write(VirtualWriteMethod method, bool writable, const HidProtocol::Report& report);
    bool GetFeature(HidProtocol::Report& report);
    bool GetSerialNumber(std::string& serial);
    bool GetAttributes(HidAttributes& attributes);
    bool GetDescription(HidDescription& description);
    HidReportLengths ReportLengths() const;

    mutable std::mutex mutex_;
    // Wakes readers, stalled writers and watchers: input, unplug, cancel, a read starting, a
    // stall ending.
    mutable std::condition_variable changed_;
    VirtualHidDeviceSetup setup_;
    bool plugged_ = true;
    std::vector<ReadQueue*> readers_;
    std::array<bool, 3> openFails_{};
    std::array<std::size_t, 3> opens_{};
    std::array<std::size_t, 3> openAttempts_{};
    std::chrono::milliseconds writeStall_{0};
    std::size_t writesInProgress_ = 0;
    std::size_t openHandles_ = 0;
    VirtualWriteBehaviour writeBehaviour_;
    VirtualWriteBehaviour setOutputBehaviour_;
    std::deque<VirtualHidWrite> writes_;
    std::uint64_t writeCount_ = 0;
    std::size_t featureRequests_ = 0;
    std::uint64_t readsStarted_ = 0;
    std::uint64_t dropped_ = 0;
};

class VirtualHidBackend final : public HidBackend {
public:
    // Told after every plug and unplug, on the thread that made it, without any lock held.
    using HotplugListener = std::function<void(const std::string& path, bool arrived)>;

    VirtualHidBackend() = default;
    VirtualHidBackend(const VirtualHidBackend&) = delete;
    VirtualHidBackend& operator=(const VirtualHidBackend&) = delete;

    // Adds a device; null when a device with that path is already plugged. Devices enumerate in
    // the order they were plugged.
    std::shared_ptr<VirtualHidDevice> Plug(VirtualHidDeviceSetup setup);
    // False when nothing is plugged at `path`.
    bool Unplug(const std::string& path);
    std::shared_ptr<VirtualHidDevice> Find(const std::string& path) const;
    std::vector<std::shared_ptr<VirtualHidDevice>> Devices() const;

    // Makes the enumeration come back empty, as when the setup API fails.
    void SetEnumerationFails(bool fail);
    std::uint64_t EnumerationCount() const;
    void SetHotplugListener(HotplugListener listener);

    std::vector<std::string> EnumerateInterfaces() override;
    std::unique_ptr<HidHandle> Open(const std::string& path, HidOpenPurpose purpose) override;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<VirtualHidDevice>> devices_;
    bool enumerationFails_ = false;
    std::uint64_t enumerations_ = 0;
    std::shared_ptr<const HotplugListener> listener_;
};

}  // namespace tarnwick
