#include "hid/virtual/VirtualHidBackend.h"

#include <algorithm>
#include <utility>

namespace tarnwick {

// A handle keeps its device alive: an unplugged device's handles fail, they never dangle.
class VirtualHidHandle final : public HidHandle {
public:
    VirtualHidHandle(std::shared_ptr<VirtualHidDevice> device, HidOpenPurpose purpose,
                     bool writable)
        : device_(std::move(device)), purpose_(purpose), writable_(writable) {
        if (purpose_ == HidOpenPurpose::Read) {
            device_->Attach(&queue_);
        }
    }
    ~VirtualHidHandle() override {
        if (purpose_ == HidOpenPurpose::Read) {
            device_->Detach(&queue_);
        }
        std::lock_guard<std::mutex> lock(device_->mutex_);
        --device_->openHandles_;
    }

    bool GetAttributes(HidAttributes& attributes) override {
        return device_->GetAttributes(attributes);
    }
    bool GetSerialNumber(std::string& serial) override { return device_->GetSerialNumber(serial); }
    bool GetDescription(HidDescription& description) override {
        return device_->GetDescription(description);
    }
    bool GetFeature(HidProtocol::Report& report) override { return device_->GetFeature(report); }
    bool GetReportLengths(HidReportLengths& lengths) override {
        lengths = device_->ReportLengths();
        return true;
    }

    HidReadResult Read(HidProtocol::Report& buffer, std::chrono::milliseconds timeout) override {
        if (purpose_ != HidOpenPurpose::Read) {
            return HidReadResult{HidReadStatus::Failed, 0, HidError::kInvalidParameter};
        }
        return device_->Read(queue_, buffer, timeout);
    }
    void CancelRead() override {
        if (purpose_ == HidOpenPurpose::Read) {
            device_->Cancel(queue_);
        }
    }

    HidTransfer Write(const HidProtocol::Report& report) override {
        return device_->Write(VirtualWriteMethod::WriteFile, writable_, report);
    }
    HidTransfer SetOutputReport(const HidProtocol::Report& report) override {
        return device_->Write(VirtualWriteMethod::SetOutputReport, writable_, report);
    }

private:
    std::shared_ptr<VirtualHidDevice> device_;
    const HidOpenPurpose purpose_;
    const bool writable_;
    VirtualHidDevice::ReadQueue queue_;
};

// ---- VirtualHidBackend ----

std::shared_ptr<VirtualHidDevice> VirtualHidBackend::Plug(VirtualHidDeviceSetup setup) {
    auto device = std::make_shared<VirtualHidDevice>(std::move(setup));
    std::shared_ptr<const HotplugListener> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& present : devices_) {
            if (present->Path() == device->Path()) {
                return nullptr;
            }
        }
        devices_.push_back(device);
        listener = listener_;
    }
    if (listener) {
        (*listener)(device->Path(), true);
    }
    return device;
}

bool VirtualHidBackend::Unplug(const std::string& path) {
    std::shared_ptr<VirtualHidDevice> device;
    std::shared_ptr<const HotplugListener> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = std::find_if(devices_.begin(), devices_.end(),
                                     [&path](const auto& d) { return d->Path() == path; });
        if (it == devices_.end()) {
            return false;
        }
        device = *it;
        devices_.erase(it);
        // Still under the backend lock, so an Open racing this unplug either finds the device
        // plugged or does not find it at all.
        device->Unplug();
        listener = listener_;
    }
    if (listener) {
        (*listener)(path, false);
    }
    return true;
}

std::shared_ptr<VirtualHidDevice> VirtualHidBackend::Find(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& device : devices_) {
        if (device->Path() == path) {
            return device;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<VirtualHidDevice>> VirtualHidBackend::Devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_;
}

void VirtualHidBackend::SetEnumerationFails(bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    enumerationFails_ = fail;
}

std::uint64_t VirtualHidBackend::EnumerationCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enumerations_;
}

void VirtualHidBackend::SetHotplugListener(HotplugListener listener) {
    auto slot = listener ? std::make_shared<const HotplugListener>(std::move(listener)) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(slot);
}

std::vector<std::string> VirtualHidBackend::EnumerateInterfaces() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++enumerations_;
    std::vector<std::string> paths;
    if (enumerationFails_) {
        return paths;
    }
    paths.reserve(devices_.size());
    for (const auto& device : devices_) {
        paths.push_back(device->Path());
    }
    return paths;
}

std::unique_ptr<HidHandle> VirtualHidBackend::Open(const std::string& path,
                                                   HidOpenPurpose purpose) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& device : devices_) {
        if (device->Path() != path) {
            continue;
        }
        bool writable = false;
        {
            std::lock_guard<std::mutex> deviceLock(device->mutex_);
            if (!device->AdmitOpen(purpose, writable)) {
                return nullptr;
            }
        }
        return std::make_unique<VirtualHidHandle>(device, purpose, writable);
    }
    return nullptr;
}

}  // namespace tarnwick
