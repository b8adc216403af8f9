// The user aircraft of the virtual simulator: a standard-rate right turn with gentle, periodic
// changes of speed, altitude and navigation needles. Every value is a pure function of the frame
// number, so a run is repeatable to the bit.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/SimConnectRecords.h"
#include "sim/virtual/VirtualSimulatorState.h"

namespace tarnwick::virtualsim {

namespace rec = SimConnectRecords;

namespace {

constexpr double kFramesPerSecond = 60.0;
constexpr std::uint64_t kFramesPerSecondWhole = 60;

double Wrap360(double degrees) {
    const double wrapped = std::fmod(degrees, 360.0);
    return wrapped < 0.0 ? wrapped + 360.0 : wrapped;
}

void AppendValue(std::vector<std::uint8_t>& out, std::uint32_t type, double value) {
    switch (type) {
        case rec::kDataTypeInt32:
            rec::AppendU32(
                out, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(value))));
            break;
        case rec::kDataTypeInt64: {
            const auto bits = static_cast<std::uint64_t>(std::llround(value));
            rec::AppendU32(out, static_cast<std::uint32_t>(bits));
            rec::AppendU32(out, static_cast<std::uint32_t>(bits >> 32));
            break;
        }
        case rec::kDataTypeFloat32: {
            const float single = static_cast<float>(value);
            std::uint32_t bits = 0;
            std::memcpy(&bits, &single, sizeof bits);
            rec::AppendU32(out, bits);
            break;
        }
        default:
            rec::AppendF64(out, value);
            break;
    }
}

bool Due(const DataRequest& request, std::uint64_t frame) {
    switch (request.info.period) {
        case rec::kPeriodOnce:
            return !request.sent;
        case rec::kPeriodVisualFrame:
        case rec::kPeriodSimFrame:
            return true;
        case rec::kPeriodSecond:
            return !request.sent || frame % kFramesPerSecondWhole == 0;
        default:
            return false;
    }
}

}  // namespace

std::optional<double> AircraftVariable(const State& state, const std::string& name) {
    const double t = static_cast<double>(state.frame) / kFramesPerSecond;
    const std::string key = Upper(name);
    const double altitude = 4500.0 + 200.0 * std::sin(0.05 * t);
    if (key == rec::kBatteryVariable) {
        return state.battery2 ? 1.0 : 0.0;
    }
    if (key == "PLANE HEADING DEGREES MAGNETIC") {
        return Wrap360(90.0 + 3.0 * t);
    }
    if (key == "PLANE PITCH DEGREES") {
        return -2.5 + 0.5 * std::sin(0.2 * t);  // the simulator counts nose-down as positive
    }
    if (key == "PLANE BANK DEGREES") {
        return -20.0 + 2.0 * std::sin(0.3 * t);  // and a right bank as negative
    }
    if (key == "TURN INDICATOR RATE") {
        return 3.0;
    }
    if (key == "ACCELERATION BODY X") {
        return 0.02 * std::sin(t);
    }
    if (key == "AIRSPEED INDICATED") {
        return 110.0 + 5.0 * std::sin(0.1 * t);
    }
    if (key == "INDICATED ALTITUDE") {
        return altitude;
    }
    if (key == "KOHLSMAN SETTING HG") {
        return 29.92;
    }
    if (key == "AMBIENT TEMPERATURE") {
        return 15.0 - 2.0 * altitude / 1000.0;
    }
    if (key == "ELECTRICAL MAIN BUS VOLTAGE") {
        return state.battery2 ? 28.2 : 0.0;
    }
    if (key == "NAV CDI:1") {
        return 127.0 * std::sin(0.05 * t);
    }
    if (key == "NAV RADIAL:1") {
        return Wrap360(45.0 + t);
    }
    if (key == "NAV GSI:1") {
        return 119.0 * std::cos(0.05 * t);
    }
    if (key == "AUTOPILOT HEADING LOCK DIR") {
        return state.headingBug;
    }
    return std::nullopt;
}

void RunDataRequests(State& state) {
    for (auto& [id, connection] : state.connections) {
        if (connection->broken) {
            continue;
        }
        for (auto it = connection->requests.begin(); it != connection->requests.end();) {
            DataRequest& request = it->second;
            if (!Due(request, state.frame)) {
                ++it;
                continue;
            }
            const auto definition = connection->definitions.find(request.info.defineId);
            if (definition == connection->definitions.end()) {
                ++it;
                continue;
            }
            std::vector<std::uint8_t> data;
            for (const Datum& datum : definition->second) {
                if (datum.type == rec::kDataTypeString256) {
                    const std::string& title = state.aircraftTitle;
                    const std::size_t kept =
                        std::min<std::size_t>(title.size(), rec::kAircraftTitleSize - 1);
                    data.insert(data.end(), title.begin(), title.begin() + kept);
                    data.resize(data.size() + rec::kAircraftTitleSize - kept, 0);
                    continue;
                }
                AppendValue(data, datum.type, AircraftVariable(state, datum.name).value_or(0.0));
            }
            const bool changedOnly = (request.info.flags & rec::kDataRequestFlagChanged) != 0;
            if (!(changedOnly && request.sent && data == request.lastSent)) {
                rec::DataRecord fields;
                fields.requestId = request.info.requestId;
                fields.objectId = request.info.objectId;
                fields.defineId = request.info.defineId;
                fields.flags = request.info.flags;
                fields.entryNumber = 1;
                fields.outOf = 1;
                fields.defineCount = static_cast<std::uint32_t>(definition->second.size());
                Post(*connection,
                     rec::EncodeDataRecord(rec::kRecvIdSimObjectData, fields, data.data(),
                                           static_cast<std::uint32_t>(data.size())));
                request.lastSent = std::move(data);
            }
            request.sent = true;
            if (request.info.period == rec::kPeriodOnce) {
                it = connection->requests.erase(it);
            } else {
                ++it;
            }
        }
    }
}

}  // namespace tarnwick::virtualsim
