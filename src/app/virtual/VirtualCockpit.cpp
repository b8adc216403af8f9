#include "app/virtual/VirtualCockpit.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "config/PathText.h"
#include "log/Logger.h"
#include "platform/Threads.h"

namespace tarnwick {
namespace {

// Reads like the interface path Windows gives a HID device, so log lines look familiar.
std::string DevicePath(const ScenarioDevice& device) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", device.vendorId, device.productId);
    std::string path = "\\\\?\\hid#";
    path.append(ids).append("#virtual&").append(device.name);
    return path;
}

HidProtocol::DeviceInfo DeviceInfoOf(const ScenarioDevice& device) {
    HidProtocol::DeviceInfo info;
    info.firmwareMajor = device.firmware[0];
    info.firmwareMinor = device.firmware[1];
    info.firmwarePatch = device.firmware[2];
    for (size_t i = 0; i < info.boardId.size(); ++i) {
        info.boardId[i] =
            static_cast<std::uint8_t>(std::stoul(device.boardId.substr(i * 2, 2), nullptr, 16));
    }
    return info;
}

ModuleAnswer ModuleAnswerOf(const std::string& text) {
    if (text == "error") {
        return ModuleAnswer::Error;
    }
    if (text == "silent") {
        return ModuleAnswer::Silent;
    }
    return ModuleAnswer::Finished;
}

std::string Hex(const HidProtocol::Report& report) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : report) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace

VirtualCockpit::VirtualCockpit(Scenario scenario, bool keepRecords)
    : scenario_(std::move(scenario)), keepRecords_(keepRecords) {
    if (scenario_.simulator) {
        simulator_ = std::make_unique<VirtualSimulator>();
        simulator_->SetKeepRecords(keepRecords_);
        simApi_ = std::make_unique<VirtualSimConnectApi>(*simulator_);
        simulator_->SetMasterBattery2(scenario_.simulator->batteryOn);
        simulator_->SetAircraftTitle(scenario_.simulator->aircraft);
        simulator_->SetModuleAnswer(ModuleAnswerOf(scenario_.simulator->moduleAnswer));
        if (scenario_.simulator->lighting) {
            simulator_->SetLVar(VirtualSimulator::kLightingPotentiometer,
                                *scenario_.simulator->lighting);
        }
        if (scenario_.simulator->startMs == 0) {
            simulator_->SetRunning(true);
        }
    }
    for (const auto& device : scenario_.devices) {
        if (device.plugged) {
            Plug(device);
        }
    }
}

VirtualCockpit::~VirtualCockpit() { Stop(); }

bool VirtualCockpit::SimulatorRunning() const {
    return simulator_ != nullptr && simulator_->IsRunning();
}

Result VirtualCockpit::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) {
        return Result::Failure("Virtual cockpit already running");
    }
    stopping_ = false;
    return StartThread(thread_, "virtual cockpit timeline", [this] { Run(); });
}

void VirtualCockpit::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

bool VirtualCockpit::Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

void VirtualCockpit::Run() {
    platform::NameCurrentThread("tw-v-timeline");
    const auto start = std::chrono::steady_clock::now();
    bool simStarted = !scenario_.simulator || scenario_.simulator->startMs == 0;
    for (const auto& step : scenario_.steps) {
        // A simulator that starts later starts in its place among the steps.
        if (!simStarted && scenario_.simulator->startMs <= step.atMs) {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto due = start + std::chrono::milliseconds(scenario_.simulator->startMs);
            if (wake_.wait_until(lock, due, [this] { return stopping_; })) {
                return;
            }
            lock.unlock();
            simulator_->SetRunning(true);
            simStarted = true;
        }
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto due = start + std::chrono::milliseconds(step.atMs);
            if (wake_.wait_until(lock, due, [this] { return stopping_; })) {
                return;
            }
        }
        Play(step);
    }
}

void VirtualCockpit::Play(const ScenarioStep& step) {
    const auto device = step.device.empty() ? nullptr : DeviceNamed(step.device);
    switch (step.kind) {
        case ScenarioActionKind::Button:
        case ScenarioActionKind::Encoder: {
            HidProtocol::HidEvent event;
            event.type = step.kind == ScenarioActionKind::Button ? HidProtocol::kControlTypeButton
                                                                 : HidProtocol::kControlTypeEncoder;
            event.controlId = step.control;
            event.value = step.value;
            event.speed = step.speed;
            event.mode = step.mode;
            if (device != nullptr) {
                device->SendEvent(event);
            }
            break;
        }
        case ScenarioActionKind::Settings: {
            TelemetryProtocol::Settings settings;
            settings.flags = step.flags;
            settings.sequence = step.sequence;
            settings.headingBug = step.headingBug;
            settings.course = step.course;
            if (device != nullptr) {
                device->SendSettings(settings);
            }
            break;
        }
        case ScenarioActionKind::Plug:
            for (const auto& d : scenario_.devices) {
                if (d.name == step.device) {
                    Plug(d);
                }
            }
            break;
        case ScenarioActionKind::Unplug:
            if (device != nullptr) {
                hid_.Unplug(device->Path());
            }
            break;
        case ScenarioActionKind::WritesFail:
            if (device != nullptr) {
                VirtualWriteBehaviour behaviour;
                behaviour.mode = step.number != 0.0 ? VirtualWriteMode::Fail
                                                    : VirtualWriteMode::Accept;
                device->SetWriteBehaviour(behaviour);
                device->SetOutputReportBehaviour(behaviour);
            }
            break;
        case ScenarioActionKind::WritesStall:
            if (device != nullptr) {
                device->SetWriteStall(std::chrono::milliseconds(static_cast<long>(step.number)));
            }
            break;
        case ScenarioActionKind::ReadError:
            if (device != nullptr) {
                device->FailNextRead(HidError::kGenFailure);
            }
            break;
        case ScenarioActionKind::SimStart:
            simulator_->SetRunning(true);
            break;
        case ScenarioActionKind::SimQuit:
            simulator_->Quit();
            break;
        case ScenarioActionKind::SimDrop:
            simulator_->DropConnections();
            break;
        case ScenarioActionKind::Battery:
            simulator_->SetMasterBattery2(step.number != 0.0);
            break;
        case ScenarioActionKind::Aircraft:
            simulator_->SetAircraftTitle(step.text);
            break;
        case ScenarioActionKind::Lighting:
            simulator_->SetLVar(VirtualSimulator::kLightingPotentiometer, step.number);
            break;
        case ScenarioActionKind::ModuleAnswer:
            simulator_->SetModuleAnswer(ModuleAnswerOf(step.text));
            break;
        case ScenarioActionKind::SimulatorCpu: {
            // What the simulator's own work cost this process; against the real simulator that
            // CPU is the simulator's, so measurements of the bridge take it off.
            char text[64];
            std::snprintf(text, sizeof(text), "%.3f",
                          std::chrono::duration<double, std::milli>(simApi_->SimulatorCpuTime())
                              .count());
            Logger::Instance().Log(LogLevel::Info,
                                   std::string("Virtual simulator CPU so far: ") + text + " ms");
            break;
        }
        case ScenarioActionKind::ReplaceFile:
            ReplaceFile(step);
            break;
        case ScenarioActionKind::End: {
            // The simulator closing is what ends a bridge run in order.
            if (simulator_ != nullptr && simulator_->IsRunning()) {
                simulator_->Quit();
            }
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
            break;
        }
    }
}

void VirtualCockpit::ReplaceFile(const ScenarioStep& step) const {
    // As an editor saves: the new text goes into a file beside the target, which then takes the
    // target's place in one rename, so the bridge never reads half a file.
    const std::filesystem::path target = ToFsPath(JoinPath(configFolder_, step.text));
    const std::filesystem::path source = ToFsPath(JoinPath(scenario_.folder, step.source));
    std::filesystem::path staging = target;
    staging += ".new";
    std::error_code error;
    std::filesystem::copy_file(source, staging, std::filesystem::copy_options::overwrite_existing,
                               error);
    if (!error) {
        std::filesystem::rename(staging, target, error);
    }
    if (error) {
        Logger::Instance().Log(LogLevel::Error, "Scenario: cannot replace " + FromFsPath(target) +
                                                    " with " + FromFsPath(source) + ": " +
                                                    error.message());
    }
}

std::shared_ptr<VirtualHidDevice> VirtualCockpit::Plug(const ScenarioDevice& device) {
    VirtualHidDeviceSetup setup;
    if (device.role == PanelRole::TouchPanel) {
        setup = VirtualTouchPanelSetup(DevicePath(device), device.vendorId, device.productId,
                                     device.serial);
    } else {
        std::optional<HidProtocol::DeviceInfo> info;
        if (!device.boardId.empty()) {
            info = DeviceInfoOf(device);
        }
        HidProtocol::ProtocolInfo protocol;
        protocol.major = device.protocol[0];
        protocol.minor = device.protocol[1];
        setup = VirtualPanelBoardSetup(DevicePath(device), device.vendorId, device.productId, info,
                                     protocol, device.serial);
    }
    setup.readOnly = device.readOnly;
    setup.description.product =
        device.role == PanelRole::TouchPanel ? "Virtual touch panel" : "Virtual panel board";
    if (!keepRecords_) {
        setup.writeLogLimit = 16;
    }
    auto plugged = hid_.Plug(std::move(setup));
    if (plugged != nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.emplace(device.name, plugged);
    }
    return plugged;
}

std::shared_ptr<VirtualHidDevice> VirtualCockpit::DeviceNamed(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto range = devices_.equal_range(name);
    std::shared_ptr<VirtualHidDevice> last;
    for (auto it = range.first; it != range.second; ++it) {
        last = it->second;
    }
    return last;
}

std::string VirtualCockpit::Record() const {
    std::string record;
    std::multimap<std::string, std::shared_ptr<VirtualHidDevice>> devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices = devices_;
    }
    for (const auto& [name, device] : devices) {
        for (const auto& report : device->ReceivedReports()) {
            record.append("device ").append(name).append(" report ").append(Hex(report));
            record.push_back('\n');
        }
    }
    if (simulator_ != nullptr) {
        for (const auto& client : simulator_->OpenedClientNames()) {
            record.append("sim open ").append(client).push_back('\n');
        }
        for (const auto& client : simulator_->RegisteredModuleClients()) {
            record.append("sim registered ").append(client).push_back('\n');
        }
        for (const auto& command : simulator_->ModuleCommands()) {
            record.append("sim command ").append(command).push_back('\n');
        }
        for (const auto& event : simulator_->Events()) {
            record.append("sim event ").append(event.name).append(" ");
            record.append(std::to_string(event.value)).push_back('\n');
        }
    }
    return record;
}

Result VirtualCockpit::WriteRecord(const std::string& path) const {
    std::ofstream out(ToFsPath(path), std::ios::binary | std::ios::trunc);
    const std::string record = Record();
    out.write(record.data(), static_cast<std::streamsize>(record.size()));
    out.close();
    if (!out) {
        return Result::Failure("Failed to write record file: " + path);
    }
    return Result::Success();
}

}  // namespace tarnwick
