#include "sim/virtual/VirtualSimulator.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "sim/SimConnectRecords.h"
#include "sim/virtual/VirtualSimulatorState.h"

namespace tarnwick {

namespace rec = SimConnectRecords;
using virtualsim::Connection;

namespace virtualsim {

namespace {
// A client that stops pumping must not make the simulator grow without bound.
constexpr std::size_t kInboxLimit = 4096;
}  // namespace

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

void Post(Connection& connection, std::vector<std::uint8_t> message) {
    if (connection.inbox.size() >= kInboxLimit) {
        connection.inbox.pop_front();
    }
    connection.inbox.push_back(std::move(message));
}

void PostException(Connection& connection, std::uint32_t exception, std::uint32_t index) {
    Post(connection, rec::EncodeException({exception, connection.packets, index}));
}

Area& EnsureArea(State& state, const std::string& name, std::uint32_t size) {
    Area& area = state.areas[Upper(name)];
    if (area.bytes.empty()) {
        area.bytes.assign(size, 0);
    }
    return area;
}

void NotifyAreaSet(State& state, const std::string& areaKey) {
    const Area& area = state.areas[areaKey];
    for (auto& [id, connection] : state.connections) {
        if (connection->broken) {
            continue;
        }
        for (auto& [requestId, request] : connection->clientRequests) {
            const auto name = connection->areaNames.find(request.clientDataId);
            if (name == connection->areaNames.end() || name->second != areaKey ||
                request.period == rec::kClientDataPeriodNever) {
                continue;
            }
            const auto definition = connection->clientDefinitions.find(request.defineId);
            if (definition == connection->clientDefinitions.end()) {
                continue;
            }
            std::vector<std::uint8_t> data;
            for (const Segment& segment : definition->second) {
                const std::size_t end =
                    std::min<std::size_t>(segment.offset + segment.size, area.bytes.size());
                if (segment.offset < end) {
                    data.insert(data.end(), area.bytes.begin() + segment.offset,
                                area.bytes.begin() + static_cast<std::ptrdiff_t>(end));
                }
            }
            const bool changedOnly = (request.flags & rec::kClientDataRequestFlagChanged) != 0;
            if (changedOnly && request.sent && data == request.lastSent) {
                continue;
            }
            rec::DataRecord fields;
            fields.requestId = requestId;
            fields.objectId = rec::kObjectIdUser;
            fields.defineId = request.defineId;
            fields.flags = request.flags;
            fields.entryNumber = 1;
            fields.outOf = 1;
            fields.defineCount = static_cast<std::uint32_t>(definition->second.size());
            Post(*connection, rec::EncodeDataRecord(rec::kRecvIdClientData, fields, data.data(),
                                                    static_cast<std::uint32_t>(data.size())));
            request.sent = true;
            request.lastSent = std::move(data);
        }
    }
}

void RunFrame(State& state) {
    ++state.frame;
    RunDataRequests(state);
    ModuleFrame(state);
}

std::uint64_t IdOf(SimConnectHandle handle) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

}  // namespace virtualsim

using namespace virtualsim;

namespace {

void MarkAllBroken(virtualsim::State& state) {
    for (auto& [id, connection] : state.connections) {
        connection->broken = true;
        connection->inbox.clear();
    }
}

}  // namespace

// --- Control ----------------------------------------------------------------------------------

VirtualSimulator::VirtualSimulator() : state_(std::make_unique<State>()) {
    state_->lvars[NormalizeLVarName(kLightingPotentiometer)] = 0.75;
}

VirtualSimulator::~VirtualSimulator() = default;

void VirtualSimulator::SetRunning(bool running) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running == state_->running) {
        return;
    }
    state_->running = running;
    if (running) {
        // A fresh simulator: the module creates its channels again.
        state_->areas.clear();
        StartModule(*state_);
    } else {
        MarkAllBroken(*state_);
    }
}

bool VirtualSimulator::IsRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->running;
}

void VirtualSimulator::Quit() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, connection] : state_->connections) {
        if (!connection->broken) {
            Post(*connection, rec::EncodeQuit());
            connection->endAfterDrain = true;
        }
    }
    state_->running = false;
}

void VirtualSimulator::DropConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    MarkAllBroken(*state_);
}

void VirtualSimulator::SetCallFailure(SimConnectCall call, bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail) {
        state_->failing.insert(call);
    } else {
        state_->failing.erase(call);
    }
}

void VirtualSimulator::FailNextCalls(SimConnectCall call, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->failNext[call] = count;
}

void VirtualSimulator::SetVariableFailure(const std::string& variable, bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail) {
        state_->failingVariables.insert(Upper(variable));
    } else {
        state_->failingVariables.erase(Upper(variable));
    }
}

void VirtualSimulator::ThrowOnNextCall(SimConnectCall call, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->throwNext[call] = message;
}

void VirtualSimulator::SetLoadFailure(const std::string& errorText) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->loadFailure = errorText;
}

void VirtualSimulator::RaiseException(std::uint32_t exception, std::uint32_t sendId,
                                      std::uint32_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, connection] : state_->connections) {
        if (!connection->broken) {
            Post(*connection, rec::EncodeException({exception, sendId, index}));
        }
    }
}

void VirtualSimulator::InjectMessage(const std::vector<std::uint8_t>& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, connection] : state_->connections) {
        if (!connection->broken) {
            Post(*connection, message);
        }
    }
}

void VirtualSimulator::SetCallDelay(std::chrono::microseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->callDelay = delay;
}

void VirtualSimulator::SetFramesOnDispatch(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->framesOnDispatch = on;
}

void VirtualSimulator::StepFrames(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < count && state_->running; ++i) {
        RunFrame(*state_);
    }
}

std::uint64_t VirtualSimulator::FrameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->frame;
}

void VirtualSimulator::SetMasterBattery2(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->battery2 = on;
}

void VirtualSimulator::SetAircraftTitle(const std::string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->aircraftTitle = title;
}

std::optional<double> VirtualSimulator::Variable(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return AircraftVariable(*state_, name);
}

void VirtualSimulator::SetModuleAnswer(ModuleAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->answer = answer;
}

void VirtualSimulator::SetLVar(const std::string& name, double value) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->lvars[NormalizeLVarName(name)] = value;
}

std::optional<double> VirtualSimulator::LVar(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = state_->lvars.find(NormalizeLVarName(name));
    if (found == state_->lvars.end()) {
        return std::nullopt;
    }
    return found->second;
}

void VirtualSimulator::SetKeepRecords(bool keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->keepRecords = keep;
}

std::vector<std::string> VirtualSimulator::ModuleCommands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->moduleCommands;
}

std::vector<std::string> VirtualSimulator::ExecutedCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->executedCode;
}

std::vector<std::string> VirtualSimulator::RegisteredModuleClients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->registeredClients;
}

std::vector<TransmittedEvent> VirtualSimulator::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->events;
}

std::vector<std::string> VirtualSimulator::OpenedClientNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->openedNames;
}

int VirtualSimulator::OpenAttempts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->openAttempts;
}

int VirtualSimulator::OpenConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(state_->connections.size());
}

std::vector<std::string> VirtualSimulator::DataDefinitionVariables(std::uint32_t defineId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> names;
    const auto connection = state_->connections.find(state_->latestConnectionId);
    if (connection != state_->connections.end()) {
        const auto definition = connection->second->definitions.find(defineId);
        if (definition != connection->second->definitions.end()) {
            for (const Datum& datum : definition->second) {
                names.push_back(datum.name);
            }
        }
    }
    return names;
}

std::vector<VirtualDataRequest> VirtualSimulator::DataRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto connection = state_->connections.find(state_->latestConnectionId);
    if (connection == state_->connections.end()) {
        return {};
    }
    return connection->second->requestLog;
}

int VirtualSimulator::HandleMisuses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->misuses;
}

int VirtualSimulator::CallsInProgress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int calls = 0;
    for (const auto& [id, connection] : state_->connections) {
        calls += connection->callsInProgress;
    }
    return calls;
}

void VirtualSimulator::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_->moduleCommands.clear();
    state_->executedCode.clear();
    state_->registeredClients.clear();
    state_->events.clear();
    state_->openedNames.clear();
    state_->openAttempts = 0;
    state_->misuses = 0;
}

}  // namespace tarnwick
