// The virtual simulator's side of the eleven library calls: what each does to the simulated
// world, and the exception records the real library would send back for a bad argument.
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "sim/SimConnectRecords.h"
#include "sim/virtual/VirtualSimulator.h"
#include "sim/virtual/VirtualSimulatorState.h"

namespace tarnwick {

namespace rec = SimConnectRecords;
using namespace virtualsim;

namespace {

// What the open record names as the simulator.
constexpr const char* kApplicationName = "Tarnwick Virtual Simulator";

// One library call on a connection: takes the injected throw or failure, checks the handle and
// counts the call as in progress (Close meanwhile is a misuse) until the scope ends. Runs with
// the simulator's lock held, except during the optional delay.
class CallScope {
public:
    CallScope(virtualsim::State& state, std::unique_lock<std::mutex>& lock, SimConnectCall call,
              SimConnectHandle handle)
        : state_(state), id_(IdOf(handle)) {
        const auto thrown = state.throwNext.find(call);
        if (thrown != state.throwNext.end()) {
            const std::string message = thrown->second;
            state.throwNext.erase(thrown);
            throw std::runtime_error(message);
        }
        const auto found = state.connections.find(id_);
        if (found == state.connections.end()) {
            ++state.misuses;
            return;
        }
        if (Failing(state, call) || found->second->broken) {
            return;
        }
        ++found->second->callsInProgress;
        counted_ = true;
        if (state.callDelay.count() > 0) {
            const auto delay = state.callDelay;
            lock.unlock();
            std::this_thread::sleep_for(delay);
            lock.lock();
        }
    }
    ~CallScope() {
        if (!counted_) {
            return;
        }
        const auto found = state_.connections.find(id_);
        if (found != state_.connections.end()) {
            --found->second->callsInProgress;
        }
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // The connection when the call goes ahead; null when it fails.
    Connection* Target() {
        if (!counted_) {
            return nullptr;
        }
        const auto found = state_.connections.find(id_);
        if (found == state_.connections.end()) {
            return nullptr;
        }
        ++found->second->packets;
        return found->second.get();
    }

    static bool Failing(virtualsim::State& state, SimConnectCall call) {
        if (state.failing.count(call) != 0) {
            return true;
        }
        const auto next = state.failNext.find(call);
        if (next != state.failNext.end() && next->second > 0) {
            --next->second;
            return true;
        }
        return false;
    }

private:
    virtualsim::State& state_;
    std::uint64_t id_;
    bool counted_ = false;
};

std::uint32_t ClientDataTypeSize(std::uint32_t sizeOrType) {
    switch (static_cast<std::int32_t>(sizeOrType)) {
        case -1:
            return 1;
        case -2:
            return 2;
        case -3:
        case -5:
            return 4;
        case -4:
        case -6:
            return 8;
        default:
            return static_cast<std::int32_t>(sizeOrType) > 0 ? sizeOrType : 0;
    }
}

}  // namespace

// --- The library calls ------------------------------------------------------------------------

Result VirtualSimulator::Load() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!state_->loadFailure.empty()) {
        return Result::Failure(state_->loadFailure);
    }
    return Result::Success();
}

SimConnectResult VirtualSimulator::Open(SimConnectHandle& handle, const char* name) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto thrown = state_->throwNext.find(SimConnectCall::Open);
    if (thrown != state_->throwNext.end()) {
        const std::string message = thrown->second;
        state_->throwNext.erase(thrown);
        throw std::runtime_error(message);
    }
    ++state_->openAttempts;
    if (CallScope::Failing(*state_, SimConnectCall::Open) || !state_->running) {
        return kSimConnectFail;
    }
    auto connection = std::make_unique<Connection>();
    connection->id = state_->nextConnectionId++;
    connection->name = name != nullptr ? name : "";
    Post(*connection, rec::EncodeOpen(kApplicationName));
    state_->openedNames.push_back(connection->name);
    state_->latestConnectionId = connection->id;
    handle = reinterpret_cast<SimConnectHandle>(static_cast<std::uintptr_t>(connection->id));
    state_->connections.emplace(connection->id, std::move(connection));
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::Close(SimConnectHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = state_->connections.find(IdOf(handle));
    if (found == state_->connections.end()) {
        ++state_->misuses;
        return kSimConnectFail;
    }
    if (found->second->callsInProgress > 0) {
        ++state_->misuses;
    }
    state_->connections.erase(found);
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::AddToDataDefinition(SimConnectHandle handle,
                                                       std::uint32_t defineId,
                                                       const char* datumName, const char* unitsName,
                                                       std::uint32_t datumType, float epsilon,
                                                       std::uint32_t datumId) {
    (void)unitsName;  // values come in the units the program asks for
    (void)epsilon;
    (void)datumId;
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::AddToDataDefinition, handle);
    Connection* connection = scope.Target();
    const std::string name = datumName != nullptr ? datumName : "";
    if (connection == nullptr || state_->failingVariables.count(Upper(name)) != 0) {
        return kSimConnectFail;
    }
    if (Upper(name) == rec::kAircraftVariable) {
        // The one string variable: it is delivered as a STRING256 and as nothing else.
        if (datumType == rec::kDataTypeString256) {
            connection->definitions[defineId].push_back({name, datumType});
        } else {
            PostException(*connection, rec::kExceptionInvalidDataType, 5);
        }
    } else if (!AircraftVariable(*state_, name)) {
        PostException(*connection, rec::kExceptionNameUnrecognized, 3);
    } else if (datumType != rec::kDataTypeInt32 && datumType != rec::kDataTypeInt64 &&
               datumType != rec::kDataTypeFloat32 && datumType != rec::kDataTypeFloat64) {
        PostException(*connection, rec::kExceptionInvalidDataType, 5);
    } else {
        connection->definitions[defineId].push_back({name, datumType});
    }
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::RequestDataOnSimObject(
    SimConnectHandle handle, std::uint32_t requestId, std::uint32_t defineId,
    std::uint32_t objectId, std::uint32_t period, std::uint32_t flags, std::uint32_t origin,
    std::uint32_t interval, std::uint32_t limit) {
    (void)origin;
    (void)interval;
    (void)limit;
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::RequestDataOnSimObject, handle);
    Connection* connection = scope.Target();
    if (connection == nullptr) {
        return kSimConnectFail;
    }
    if (connection->definitions.count(defineId) == 0) {
        PostException(*connection, rec::kExceptionUnrecognizedId, 3);
    } else if (objectId != rec::kObjectIdUser) {
        PostException(*connection, rec::kExceptionUnrecognizedId, 4);
    } else {
        const VirtualDataRequest info{requestId, defineId, objectId, period, flags};
        connection->requestLog.push_back(info);
        if (period == rec::kPeriodNever) {
            connection->requests.erase(requestId);
        } else {
            connection->requests[requestId] = DataRequest{info, false, {}};
        }
    }
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::CallDispatch(SimConnectHandle handle,
                                                SimConnectDispatchProc proc, void* context) {
    std::deque<std::vector<std::uint8_t>> batch;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        CallScope scope(*state_, lock, SimConnectCall::CallDispatch, handle);
        Connection* connection = scope.Target();
        if (connection == nullptr) {
            return kSimConnectFail;
        }
        if (state_->framesOnDispatch && state_->running) {
            RunFrame(*state_);
        }
        batch.swap(connection->inbox);
        if (connection->endAfterDrain) {
            connection->broken = true;
        }
        // Still in progress while the messages are handed over.
        ++connection->callsInProgress;
    }
    struct Release {
        VirtualSimulator& sim;
        std::uint64_t id;
        ~Release() {
            std::lock_guard<std::mutex> lock(sim.mutex_);
            const auto found = sim.state_->connections.find(id);
            if (found != sim.state_->connections.end()) {
                --found->second->callsInProgress;
            }
        }
    } release{*this, IdOf(handle)};
    for (const auto& message : batch) {
        proc(message.data(), static_cast<std::uint32_t>(message.size()), context);
    }
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::MapClientEventToSimEvent(SimConnectHandle handle,
                                                            std::uint32_t eventId,
                                                            const char* eventName) {
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::MapClientEventToSimEvent, handle);
    Connection* connection = scope.Target();
    if (connection == nullptr) {
        return kSimConnectFail;
    }
    if (connection->events.count(eventId) != 0) {
        PostException(*connection, rec::kExceptionEventIdDuplicate, 1);
    } else {
        connection->events[eventId] = Upper(eventName != nullptr ? eventName : "");
    }
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::TransmitClientEvent(SimConnectHandle handle,
                                                       std::uint32_t objectId,
                                                       std::uint32_t eventId, std::uint32_t data,
                                                       std::uint32_t groupId, std::uint32_t flags) {
    (void)groupId;
    (void)flags;
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::TransmitClientEvent, handle);
    Connection* connection = scope.Target();
    if (connection == nullptr) {
        return kSimConnectFail;
    }
    const auto event = connection->events.find(eventId);
    if (event == connection->events.end() || objectId != rec::kObjectIdUser) {
        PostException(*connection, rec::kExceptionUnrecognizedId, 2);
        return kSimConnectOk;
    }
    if (state_->keepRecords) {
        state_->events.push_back({event->second, data});
    }
    if (event->second == "HEADING_BUG_SET") {
        state_->headingBug = static_cast<double>(data % 360);
    }
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::MapClientDataNameToID(SimConnectHandle handle, const char* name,
                                                         std::uint32_t clientDataId) {
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::MapClientDataNameToID, handle);
    Connection* connection = scope.Target();
    if (connection == nullptr) {
        return kSimConnectFail;
    }
    const std::string key = Upper(name != nullptr ? name : "");
    const auto mapped = connection->areaNames.find(clientDataId);
    if (mapped != connection->areaNames.end() && mapped->second != key) {
        PostException(*connection, rec::kExceptionDuplicateId, 2);
        return kSimConnectOk;
    }
    connection->areaNames[clientDataId] = key;
    // An area nobody created yet: as if its owner had, at the largest size.
    EnsureArea(*state_, key, rec::kClientDataMaxSize);
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::AddToClientDataDefinition(SimConnectHandle handle,
                                                             std::uint32_t defineId,
                                                             std::uint32_t offset,
                                                             std::uint32_t sizeOrType,
                                                             float epsilon, std::uint32_t datumId) {
    (void)epsilon;
    (void)datumId;
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::AddToClientDataDefinition, handle);
    Connection* connection = scope.Target();
    if (connection == nullptr) {
        return kSimConnectFail;
    }
    const std::uint32_t size = ClientDataTypeSize(sizeOrType);
    auto& segments = connection->clientDefinitions[defineId];
    if (offset == rec::kClientDataOffsetAuto) {
        offset = segments.empty() ? 0 : segments.back().offset + segments.back().size;
    }
    if (size == 0 || static_cast<std::uint64_t>(offset) + size > rec::kClientDataMaxSize) {
        PostException(*connection, rec::kExceptionOutOfBounds, 3);
        return kSimConnectOk;
    }
    segments.push_back({offset, size});
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::RequestClientData(SimConnectHandle handle,
                                                     std::uint32_t clientDataId,
                                                     std::uint32_t requestId,
                                                     std::uint32_t defineId, std::uint32_t period,
                                                     std::uint32_t flags, std::uint32_t origin,
                                                     std::uint32_t interval, std::uint32_t limit) {
    (void)origin;
    (void)interval;
    (void)limit;
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::RequestClientData, handle);
    Connection* connection = scope.Target();
    if (connection == nullptr) {
        return kSimConnectFail;
    }
    const auto area = connection->areaNames.find(clientDataId);
    if (area == connection->areaNames.end() || connection->clientDefinitions.count(defineId) == 0) {
        PostException(*connection, rec::kExceptionUnrecognizedId, 1);
        return kSimConnectOk;
    }
    if (period == rec::kClientDataPeriodNever) {
        connection->clientRequests.erase(requestId);
        return kSimConnectOk;
    }
    // A request number used again replaces the earlier request, whose history goes with it.
    // Every other period is served like ON_SET: the program asks for nothing else.
    connection->clientRequests[requestId] =
        ClientDataRequest{clientDataId, defineId, period, flags, false, {}};
    return kSimConnectOk;
}

SimConnectResult VirtualSimulator::SetClientData(SimConnectHandle handle,
                                                 std::uint32_t clientDataId, std::uint32_t defineId,
                                                 std::uint32_t flags, std::uint32_t reserved,
                                                 std::uint32_t size, const void* data) {
    (void)flags;
    std::unique_lock<std::mutex> lock(mutex_);
    CallScope scope(*state_, lock, SimConnectCall::SetClientData, handle);
    Connection* connection = scope.Target();
    if (connection == nullptr) {
        return kSimConnectFail;
    }
    const auto area = connection->areaNames.find(clientDataId);
    const auto definition = connection->clientDefinitions.find(defineId);
    if (area == connection->areaNames.end() || definition == connection->clientDefinitions.end()) {
        PostException(*connection, rec::kExceptionUnrecognizedId, 1);
        return kSimConnectOk;
    }
    std::uint32_t definedSize = 0;
    for (const Segment& segment : definition->second) {
        definedSize += segment.size;
    }
    if (reserved != 0 || data == nullptr || size != definedSize) {
        PostException(*connection, rec::kExceptionSizeMismatch, 6);
        return kSimConnectOk;
    }
    Area& target = state_->areas[area->second];
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (const Segment& segment : definition->second) {
        if (segment.offset + segment.size > target.bytes.size()) {
            PostException(*connection, rec::kExceptionOutOfBounds, 6);
            return kSimConnectOk;
        }
    }
    for (const Segment& segment : definition->second) {
        std::memcpy(target.bytes.data() + segment.offset, bytes, segment.size);
        bytes += segment.size;
    }
    const std::string key = area->second;
    NotifyAreaSet(*state_, key);
    ModuleOnAreaWritten(*state_, key);
    return kSimConnectOk;
}

}  // namespace tarnwick
