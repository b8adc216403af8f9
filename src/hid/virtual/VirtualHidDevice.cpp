// The virtual device's own side: its setups, what the test or scenario driving it does to it
// (input, unplugging, failures on request) and what the host's handles do to it (opening,
// reading, writing, feature requests), all under the device's one mutex.
#include <algorithm>
#include <utility>

#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {


VirtualHidDeviceSetup VirtualPanelBoardSetup(std::string path, std::uint16_t vendorId,
                                           std::uint16_t productId,
                                           std::optional<HidProtocol::DeviceInfo> info,
                                           std::optional<HidProtocol::ProtocolInfo> protocol,
                                           std::string serial) {
    VirtualHidDeviceSetup setup;
    setup.path = std::move(path);
    setup.vendorId = vendorId;
    setup.productId = productId;
    setup.serial = std::move(serial);
    if (info) {
        setup.featureAnswers[static_cast<std::uint8_t>(HidProtocol::ReportId::DeviceInfo)] =
            HidProtocol::EncodeDeviceInfoReport(*info);
    }
    if (protocol) {
        setup.featureAnswers[static_cast<std::uint8_t>(HidProtocol::ReportId::ProtocolInfo)] =
            HidProtocol::EncodeProtocolInfoReport(*protocol);
    }
    return setup;
}

VirtualHidDeviceSetup VirtualTouchPanelSetup(std::string path, std::uint16_t vendorId,
                                           std::uint16_t productId, std::string serial) {
    VirtualHidDeviceSetup setup;
    setup.path = std::move(path);
    setup.vendorId = vendorId;
    setup.productId = productId;
    setup.serial = std::move(serial);
    return setup;
}

VirtualHidDevice::VirtualHidDevice(VirtualHidDeviceSetup setup) : setup_(std::move(setup)) {
    if (setup_.inputBufferReports == 0) {
        setup_.inputBufferReports = 1;
    }
}

bool VirtualHidDevice::IsPlugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

bool VirtualHidDevice::SendInput(const std::uint8_t* bytes, std::size_t count) {
    if (count > HidProtocol::kReportSize || (bytes == nullptr && count != 0)) {
        return false;
    }
    Input input;
    std::copy(bytes, bytes + count, input.bytes.begin());
    input.count = count;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!plugged_) {
            return false;
        }
        for (ReadQueue* queue : readers_) {
            if (queue->reports.size() >= setup_.inputBufferReports) {
                queue->reports.pop_front();
                ++dropped_;
            }
            queue->reports.push_back(input);
        }
    }
    changed_.notify_all();
    return true;
}

bool VirtualHidDevice::SendEvent(const HidProtocol::HidEvent& event) {
    const HidProtocol::Report report = HidProtocol::EncodeInputReport(event);
    return SendInput(report.data(), report.size());
}

bool VirtualHidDevice::SendSettings(const TelemetryProtocol::Settings& settings) {
    const HidProtocol::Report report = TelemetryProtocol::EncodeSettingsReport(settings);
    return SendInput(report.data(), report.size());
}

void VirtualHidDevice::SetFeatureAnswer(std::uint8_t id, const HidProtocol::Report& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    setup_.featureAnswers[id] = answer;
}

void VirtualHidDevice::RemoveFeatureAnswer(std::uint8_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    setup_.featureAnswers.erase(id);
}

void VirtualHidDevice::SetSerial(std::string serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    setup_.serial = std::move(serial);
}

std::size_t VirtualHidDevice::PurposeSlot(HidOpenPurpose purpose) {
    switch (purpose) {
        case HidOpenPurpose::Probe:
            return 0;
        case HidOpenPurpose::Read:
            return 1;
        case HidOpenPurpose::Write:
        default:
            return 2;
    }
}

void VirtualHidDevice::SetOpenFailure(HidOpenPurpose purpose, bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    openFails_[PurposeSlot(purpose)] = fail;
}

void VirtualHidDevice::SetWriteBehaviour(const VirtualWriteBehaviour& behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeBehaviour_ = behaviour;
}

void VirtualHidDevice::SetOutputReportBehaviour(const VirtualWriteBehaviour& behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    setOutputBehaviour_ = behaviour;
}

void VirtualHidDevice::SetWriteStall(std::chrono::milliseconds stall) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writeStall_ = stall;
    }
    changed_.notify_all();
}

void VirtualHidDevice::FailNextRead(std::uint32_t error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (ReadQueue* queue : readers_) {
            queue->failError = error;
        }
    }
    changed_.notify_all();
}

std::vector<VirtualHidWrite> VirtualHidDevice::Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<VirtualHidWrite>(writes_.begin(), writes_.end());
}

std::uint64_t VirtualHidDevice::WriteCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writeCount_;
}

std::vector<HidProtocol::Report> VirtualHidDevice::ReceivedReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HidProtocol::Report> reports;
    for (const VirtualHidWrite& write : writes_) {
        if (write.result.ok && write.result.bytes == HidProtocol::kReportSize) {
            reports.push_back(write.report);
        }
    }
    return reports;
}

void VirtualHidDevice::ClearWrites() {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.clear();
}

std::size_t VirtualHidDevice::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openHandles_;
}

std::size_t VirtualHidDevice::OpenCount(HidOpenPurpose purpose) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_[PurposeSlot(purpose)];
}

std::size_t VirtualHidDevice::OpenAttempts(HidOpenPurpose purpose) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openAttempts_[PurposeSlot(purpose)];
}

std::size_t VirtualHidDevice::WritesInProgress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writesInProgress_;
}

std::size_t VirtualHidDevice::FeatureRequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return featureRequests_;
}

std::uint64_t VirtualHidDevice::ReadsStarted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readsStarted_;
}

std::uint64_t VirtualHidDevice::DroppedInputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

bool VirtualHidDevice::HasPendingRead() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(readers_.begin(), readers_.end(),
                       [](const ReadQueue* queue) { return queue->pending; });
}

bool VirtualHidDevice::WaitForPendingRead(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] {
        return std::any_of(readers_.begin(), readers_.end(),
                           [](const ReadQueue* queue) { return queue->pending; });
    });
}

bool VirtualHidDevice::AdmitOpen(HidOpenPurpose purpose, bool& writable) {
    ++openAttempts_[PurposeSlot(purpose)];
    if (!plugged_ || openFails_[PurposeSlot(purpose)]) {
        return false;
    }
    if (purpose == HidOpenPurpose::Probe) {
        writable = false;  // no access rights asked, none given
    } else if (setup_.systemOwned) {
        return false;
    } else {
        // A read handle falls back to read-only access; a write handle needs read-write.
        writable = !setup_.readOnly;
        if (purpose == HidOpenPurpose::Write && !writable) {
            return false;
        }
    }
    ++opens_[PurposeSlot(purpose)];
    ++openHandles_;
    return true;
}

void VirtualHidDevice::Attach(ReadQueue* queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    readers_.push_back(queue);
}

void VirtualHidDevice::Detach(ReadQueue* queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    readers_.erase(std::remove(readers_.begin(), readers_.end(), queue), readers_.end());
}

void VirtualHidDevice::Unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plugged_ = false;
    }
    changed_.notify_all();
}

HidReadResult VirtualHidDevice::Read(ReadQueue& queue, HidProtocol::Report& buffer,
                                     std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto finish = [&queue](HidReadStatus status, std::size_t bytes, std::uint32_t error) {
        queue.pending = false;
        return HidReadResult{status, bytes, error};
    };
    if (queue.cancelled) {
        return finish(HidReadStatus::Cancelled, 0, HidError::kOperationAborted);
    }
    if (!plugged_) {
        return finish(HidReadStatus::Failed, 0, HidError::kDeviceNotConnected);
    }
    if (queue.failError != HidError::kNone) {
        return finish(HidReadStatus::Failed, 0, std::exchange(queue.failError, HidError::kNone));
    }
    if (!queue.pending) {
        queue.pending = true;
        ++readsStarted_;
        changed_.notify_all();  // for WaitForPendingRead
    }
    // Wake path: SendInput, Unplug, Cancel and FailNextRead notify changed_.
    const bool woken = changed_.wait_for(lock, timeout, [&] {
        return queue.cancelled || !plugged_ || !queue.reports.empty() ||
               queue.failError != HidError::kNone;
    });
    if (queue.cancelled) {
        return finish(HidReadStatus::Cancelled, 0, HidError::kOperationAborted);
    }
    if (!plugged_) {
        return finish(HidReadStatus::Failed, 0, HidError::kDeviceNotConnected);
    }
    if (queue.failError != HidError::kNone) {
        return finish(HidReadStatus::Failed, 0, std::exchange(queue.failError, HidError::kNone));
    }
    if (!woken) {
        return HidReadResult{HidReadStatus::TimedOut, 0, HidError::kNone};
    }
    const Input input = queue.reports.front();
    queue.reports.pop_front();
    std::copy(input.bytes.begin(), input.bytes.begin() + static_cast<std::ptrdiff_t>(input.count),
              buffer.begin());
    return finish(HidReadStatus::Completed, input.count, HidError::kNone);
}

void VirtualHidDevice::Cancel(ReadQueue& queue) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue.cancelled = true;
    }
    changed_.notify_all();
}

HidTransfer VirtualHidDevice::Write(VirtualWriteMethod method, bool writable,
                                    const HidProtocol::Report& report) {
    std::unique_lock<std::mutex> lock(mutex_);
    HidTransfer result;
    bool timedOut = false;
    if (plugged_ && writable && writeStall_.count() > 0) {
        // Wake path: SetWriteStall and Unplug notify changed_; no sleep, so an unplug or the
        // stall's end lets the write go at once.
        ++writesInProgress_;
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::min(writeStall_, setup_.writeTimeout);
        changed_.wait_until(lock, deadline, [&] {
            return !plugged_ || writeStall_.count() == 0 ||
                   std::chrono::steady_clock::now() >= start + writeStall_;
        });
        --writesInProgress_;
        timedOut = plugged_ && writeStall_.count() > 0 &&
                   std::chrono::steady_clock::now() < start + writeStall_;
    }
    if (!plugged_) {
        result = HidTransfer{false, 0, HidError::kDeviceNotConnected};
    } else if (timedOut) {
        result = HidTransfer{false, 0, HidError::kTimeout};
    } else if (!writable) {
        result = HidTransfer{false, 0, HidError::kAccessDenied};
    } else {
        const VirtualWriteBehaviour& behaviour =
            method == VirtualWriteMethod::WriteFile ? writeBehaviour_ : setOutputBehaviour_;
        switch (behaviour.mode) {
            case VirtualWriteMode::Accept:
                result = HidTransfer{true, report.size(), HidError::kNone};
                break;
            case VirtualWriteMode::Fail:
                result = HidTransfer{false, 0, behaviour.error};
                break;
            case VirtualWriteMode::Short:
                result = HidTransfer{true, std::min(behaviour.shortBytes, report.size() - 1),
                                     behaviour.error};
                break;
        }
    }
    writes_.push_back(VirtualHidWrite{method, report, result});
    ++writeCount_;
    if (setup_.writeLogLimit != 0 && writes_.size() > setup_.writeLogLimit) {
        writes_.pop_front();
    }
    return result;
}

bool VirtualHidDevice::GetFeature(HidProtocol::Report& report) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++featureRequests_;
    if (!plugged_) {
        return false;
    }
    const auto it = setup_.featureAnswers.find(report[0]);
    if (it == setup_.featureAnswers.end()) {
        return false;
    }
    report = it->second;
    return true;
}

bool VirtualHidDevice::GetSerialNumber(std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_ || setup_.serial.empty()) {
        return false;
    }
    serial = setup_.serial;
    return true;
}

HidReportLengths VirtualHidDevice::ReportLengths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return setup_.reportLengths;
}

bool VirtualHidDevice::GetAttributes(HidAttributes& attributes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) {
        return false;
    }
    attributes = HidAttributes{setup_.vendorId, setup_.productId, setup_.versionNumber};
    return true;
}

bool VirtualHidDevice::GetDescription(HidDescription& description) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) {
        return false;
    }
    description = setup_.description;
    return true;
}

}  // namespace tarnwick
