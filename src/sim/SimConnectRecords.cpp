#include "sim/SimConnectRecords.h"

#include <algorithm>
#include <cstring>

namespace tarnwick::SimConnectRecords {

const std::array<TelemetryVariable, SimTelemetry::kCount> kTelemetryVariables = {{
    {"PLANE HEADING DEGREES MAGNETIC", "degrees", 1.0},
    {"PLANE PITCH DEGREES", "degrees", -1.0},
    {"PLANE BANK DEGREES", "degrees", -1.0},
    {"TURN INDICATOR RATE", "degrees per second", 1.0},
    {"ACCELERATION BODY X", "gforce", 1.0},
    {"AIRSPEED INDICATED", "knots", 1.0},
    {"INDICATED ALTITUDE", "feet", 1.0},
    {"KOHLSMAN SETTING HG", "inHg", 1.0},
    {"AMBIENT TEMPERATURE", "celsius", 1.0},
    {"ELECTRICAL MAIN BUS VOLTAGE", "volts", 1.0},
    {"NAV CDI:1", "number", 1.0},
    {"NAV RADIAL:1", "degrees", 1.0},
    {"NAV GSI:1", "number", 1.0},
    {"AUTOPILOT HEADING LOCK DIR", "degrees", 1.0},
}};

bool DecodeHeader(const std::uint8_t* message, std::uint32_t size, Header& header) {
    if (message == nullptr || size < kHeaderSize) {
        return false;
    }
    header.size = ReadU32(message);
    header.version = ReadU32(message + 4);
    header.id = ReadU32(message + 8);
    return true;
}

bool DecodeException(const std::uint8_t* message, std::uint32_t size, ExceptionRecord& record) {
    if (message == nullptr || size < kExceptionSize) {
        return false;
    }
    record.exception = ReadU32(message + 12);
    record.sendId = ReadU32(message + 16);
    record.index = ReadU32(message + 20);
    return true;
}

bool DecodeDataRecord(const std::uint8_t* message, std::uint32_t size, DataRecord& record) {
    if (message == nullptr || size < kDataOffset) {
        return false;
    }
    record.requestId = ReadU32(message + 12);
    record.objectId = ReadU32(message + 16);
    record.defineId = ReadU32(message + 20);
    record.flags = ReadU32(message + 24);
    record.entryNumber = ReadU32(message + 28);
    record.outOf = ReadU32(message + 32);
    record.defineCount = ReadU32(message + 36);
    record.dataSize = size - kDataOffset;
    record.data = record.dataSize > 0 ? message + kDataOffset : nullptr;
    return true;
}

bool DecodeOpenName(const std::uint8_t* message, std::uint32_t size, std::string& name) {
    if (message == nullptr || size < kOpenSize) {
        return false;
    }
    const char* text = reinterpret_cast<const char*>(message + kHeaderSize);
    std::size_t length = 0;
    while (length < kOpenNameSize && text[length] != '\0') {
        ++length;
    }
    name.assign(text, length);
    return true;
}

namespace {

std::vector<std::uint8_t> StartRecord(std::uint32_t size, std::uint32_t id) {
    std::vector<std::uint8_t> out;
    out.reserve(size);
    AppendU32(out, size);
    AppendU32(out, kServerVersion);
    AppendU32(out, id);
    return out;
}

}  // namespace

std::vector<std::uint8_t> EncodeException(const ExceptionRecord& record) {
    auto out = StartRecord(kExceptionSize, kRecvIdException);
    AppendU32(out, record.exception);
    AppendU32(out, record.sendId);
    AppendU32(out, record.index);
    return out;
}

std::vector<std::uint8_t> EncodeOpen(const std::string& applicationName) {
    auto out = StartRecord(kOpenSize, kRecvIdOpen);
    const std::size_t nameStart = out.size();
    out.resize(nameStart + kOpenNameSize, 0);
    std::memcpy(out.data() + nameStart, applicationName.data(),
                std::min<std::size_t>(applicationName.size(), kOpenNameSize - 1));
    // Application version and build, SimConnect version and build, two reserved fields.
    const std::uint32_t tail[10] = {11, 0, 282174, 0, 11, 0, 62651, 0, 0, 0};
    for (const std::uint32_t value : tail) {
        AppendU32(out, value);
    }
    return out;
}

std::vector<std::uint8_t> EncodeQuit() {
    return StartRecord(kQuitSize, kRecvIdQuit);
}

std::vector<std::uint8_t> EncodeDataRecord(std::uint32_t id, const DataRecord& fields,
                                           const std::uint8_t* data, std::uint32_t dataSize) {
    auto out = StartRecord(kDataOffset + dataSize, id);
    AppendU32(out, fields.requestId);
    AppendU32(out, fields.objectId);
    AppendU32(out, fields.defineId);
    AppendU32(out, fields.flags);
    AppendU32(out, fields.entryNumber);
    AppendU32(out, fields.outOf);
    AppendU32(out, fields.defineCount);
    if (data != nullptr && dataSize > 0) {
        out.insert(out.end(), data, data + dataSize);
    }
    return out;
}

std::string FailedText(const std::string& function, SimConnectResult result) {
    return function + " failed (" + ResultText(result) + ")";
}

std::string ResultText(SimConnectResult result) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::uint32_t value = static_cast<std::uint32_t>(result);
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + digits;
}

}  // namespace tarnwick::SimConnectRecords
