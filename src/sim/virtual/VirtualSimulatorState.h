// The virtual simulator's inner state, shared by its parts (calls and frames, the flight, the
// MobiFlight module). Every function here runs with VirtualSimulator::mutex_ held.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {

namespace virtualsim {

struct Area {
    std::vector<std::uint8_t> bytes;
};

struct Segment {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

struct ClientDataRequest {
    std::uint32_t clientDataId = 0;
    std::uint32_t defineId = 0;
    std::uint32_t period = 0;
    std::uint32_t flags = 0;
    bool sent = false;
    std::vector<std::uint8_t> lastSent;
};

struct Datum {
    std::string name;
    std::uint32_t type = 0;
};

struct DataRequest {
    VirtualDataRequest info;
    bool sent = false;
    std::vector<std::uint8_t> lastSent;
};

struct Connection {
    std::uint64_t id = 0;
    std::string name;
    bool broken = false;         // every call fails
    bool endAfterDrain = false;  // broken once the waiting messages are delivered (after quit)
    int callsInProgress = 0;
    std::uint32_t packets = 0;  // send ids, as GetLastSentPacketID would report
    std::deque<std::vector<std::uint8_t>> inbox;
    std::map<std::uint32_t, std::vector<Datum>> definitions;
    std::map<std::uint32_t, DataRequest> requests;
    std::vector<VirtualDataRequest> requestLog;
    std::map<std::uint32_t, std::string> events;     // client event id -> simulator event
    std::map<std::uint32_t, std::string> areaNames;  // client-data id -> area key
    std::map<std::uint32_t, std::vector<Segment>> clientDefinitions;
    std::map<std::uint32_t, ClientDataRequest> clientRequests;  // by request id
};

// One client of the MobiFlight module: its three areas and its variables.
struct ModuleClient {
    std::string name;
    std::string commandArea;
    std::string responseArea;
    std::string lvarsArea;
    std::vector<std::uint8_t> lastCommand;  // the command area as last read
    std::vector<std::string> variables;     // calculator code, in the order added
    std::vector<std::optional<float>> written;
};

struct State {
    bool running = false;
    bool framesOnDispatch = true;
    std::uint64_t frame = 0;
    bool battery2 = true;
    std::string aircraftTitle;
    double headingBug = 270.0;
    ModuleAnswer answer = ModuleAnswer::Finished;

    std::map<std::string, Area> areas;       // key: upper-cased area name
    std::map<std::string, double> lvars;     // key: NormalizeLVarName
    std::deque<ModuleClient> moduleClients;  // a deque: adding a client moves no other

    std::map<std::uint64_t, std::unique_ptr<Connection>> connections;
    std::uint64_t nextConnectionId = 1;
    std::uint64_t latestConnectionId = 0;

    std::set<SimConnectCall> failing;
    std::map<SimConnectCall, int> failNext;
    std::map<SimConnectCall, std::string> throwNext;
    std::set<std::string> failingVariables;  // upper-cased
    std::string loadFailure;
    std::chrono::microseconds callDelay{0};

    // Off for long runs nobody inspects (a load test), so memory stays flat.
    bool keepRecords = true;
    std::vector<std::string> moduleCommands;
    std::vector<std::string> executedCode;
    std::vector<std::string> registeredClients;
    std::vector<TransmittedEvent> events;
    std::vector<std::string> openedNames;
    int openAttempts = 0;
    int misuses = 0;
};

std::string Upper(std::string text);

// --- Messages ---------------------------------------------------------------------------------
void Post(Connection& connection, std::vector<std::uint8_t> message);
// A SimConnect exception record for the call just made on `connection`.
void PostException(Connection& connection, std::uint32_t exception, std::uint32_t index);
// Tells every subscriber of the area (by key) about a write, as ON_SET/CHANGED requests demand.
void NotifyAreaSet(State& state, const std::string& areaKey);
// Creates the area when it does not exist yet (as its creator would have) and returns it.
Area& EnsureArea(State& state, const std::string& name, std::uint32_t size);

// One frame: data requests answered, the module's variables re-read.
void RunFrame(State& state);
// The connection number behind a handle the simulator handed out.
std::uint64_t IdOf(SimConnectHandle handle);

// --- The flight (VirtualFlight.cpp) -----------------------------------------------------------
std::optional<double> AircraftVariable(const State& state, const std::string& name);
void RunDataRequests(State& state);

// --- The MobiFlight module (VirtualMobiFlightModule.cpp) --------------------------------------
std::string NormalizeLVarName(const std::string& name);
// The module's default client and channels, as it creates them when the simulator starts.
void StartModule(State& state);
// A write landed in the area: the module reads it if it is one of its command channels.
void ModuleOnAreaWritten(State& state, const std::string& areaKey);
// The module's per-frame pass over the variables it reports.
void ModuleFrame(State& state);

}  // namespace virtualsim

// The state type VirtualSimulator forward-declares.
struct VirtualSimulator::State : virtualsim::State {};

}  // namespace tarnwick
