// SimConnect's numbers and the byte layouts of the receive records the program handles, shared by
// the client's decoding and the virtual simulator's encoding. Records are packed little-endian
// 32-bit fields, the same on x86 and x64; nothing here assumes the host's alignment. Pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"
#include "sim/SimConnectApi.h"
#include "sim/SimTelemetry.h"

namespace tarnwick::SimConnectRecords {

// --- Constants of the library ---------------------------------------------------------------
inline constexpr std::uint32_t kUnused = 0xFFFFFFFFu;
inline constexpr std::uint32_t kObjectIdUser = 0;
inline constexpr std::uint32_t kClientDataMaxSize = 8192;
inline constexpr std::uint32_t kClientDataOffsetAuto = 0xFFFFFFFFu;

inline constexpr std::uint32_t kDataTypeInt32 = 1;
inline constexpr std::uint32_t kDataTypeInt64 = 2;
inline constexpr std::uint32_t kDataTypeFloat32 = 3;
inline constexpr std::uint32_t kDataTypeFloat64 = 4;
inline constexpr std::uint32_t kDataTypeString256 = 9;

inline constexpr std::uint32_t kPeriodNever = 0;
inline constexpr std::uint32_t kPeriodOnce = 1;
inline constexpr std::uint32_t kPeriodVisualFrame = 2;
inline constexpr std::uint32_t kPeriodSimFrame = 3;
inline constexpr std::uint32_t kPeriodSecond = 4;

inline constexpr std::uint32_t kClientDataPeriodNever = 0;
inline constexpr std::uint32_t kClientDataPeriodOnce = 1;
inline constexpr std::uint32_t kClientDataPeriodVisualFrame = 2;
inline constexpr std::uint32_t kClientDataPeriodOnSet = 3;
inline constexpr std::uint32_t kClientDataPeriodSecond = 4;

inline constexpr std::uint32_t kDataRequestFlagChanged = 0x1;
inline constexpr std::uint32_t kClientDataRequestFlagChanged = 0x1;
inline constexpr std::uint32_t kEventFlagGroupIdIsPriority = 0x10;
inline constexpr std::uint32_t kGroupPriorityHighest = 1;

// SIMCONNECT_RECV_ID values the program handles.
inline constexpr std::uint32_t kRecvIdException = 1;
inline constexpr std::uint32_t kRecvIdOpen = 2;
inline constexpr std::uint32_t kRecvIdQuit = 3;
inline constexpr std::uint32_t kRecvIdSimObjectData = 8;
inline constexpr std::uint32_t kRecvIdClientData = 16;

// SIMCONNECT_EXCEPTION values the virtual simulator raises.
inline constexpr std::uint32_t kExceptionError = 1;
inline constexpr std::uint32_t kExceptionSizeMismatch = 2;
inline constexpr std::uint32_t kExceptionUnrecognizedId = 3;
inline constexpr std::uint32_t kExceptionNameUnrecognized = 7;
inline constexpr std::uint32_t kExceptionEventIdDuplicate = 9;
inline constexpr std::uint32_t kExceptionInvalidDataType = 18;
inline constexpr std::uint32_t kExceptionDuplicateId = 29;
inline constexpr std::uint32_t kExceptionOutOfBounds = 31;

// --- Record sizes and offsets ---------------------------------------------------------------
inline constexpr std::uint32_t kHeaderSize = 12;     // dwSize, dwVersion, dwID
inline constexpr std::uint32_t kExceptionSize = 24;  // + dwException, dwSendID, dwIndex
inline constexpr std::uint32_t kOpenSize = 308;      // + name[256], eight versions, 2 reserved
inline constexpr std::uint32_t kOpenNameSize = 256;
inline constexpr std::uint32_t kQuitSize = 12;
inline constexpr std::uint32_t kDataOffset = 40;  // SIMOBJECT_DATA and CLIENT_DATA payload

// --- The program's own data definitions -----------------------------------------------------
inline constexpr std::uint32_t kBatteryDefinition = 1;
inline constexpr std::uint32_t kTelemetryDefinition = 2;
inline constexpr std::uint32_t kBatteryRequest = 1;
inline constexpr std::uint32_t kTelemetryRequest = 2;
inline constexpr const char* kBatteryVariable = "ELECTRICAL MASTER BATTERY:2";
inline constexpr const char* kBatteryUnit = "Bool";
inline constexpr std::uint32_t kAircraftDefinition = 3;
inline constexpr std::uint32_t kAircraftRequest = 3;
inline constexpr const char* kAircraftVariable = "TITLE";
inline constexpr std::uint32_t kAircraftTitleSize = 256;  // a STRING256 datum, NUL-padded

struct TelemetryVariable {
    const char* name;
    const char* unit;
    double scale;  // applied on receipt
};
// Row i fills SimTelemetry[i]; subscribed in this order as FLOAT64.
extern const std::array<TelemetryVariable, SimTelemetry::kCount> kTelemetryVariables;

// --- Decoding -------------------------------------------------------------------------------
struct Header {
    std::uint32_t size = 0;
    std::uint32_t version = 0;
    std::uint32_t id = 0;
};

struct ExceptionRecord {
    std::uint32_t exception = 0;
    std::uint32_t sendId = 0;
    std::uint32_t index = 0;
};

// SIMCONNECT_RECV_SIMOBJECT_DATA and SIMCONNECT_RECV_CLIENT_DATA (same layout).
struct DataRecord {
    std::uint32_t requestId = 0;
    std::uint32_t objectId = 0;
    std::uint32_t defineId = 0;
    std::uint32_t flags = 0;
    std::uint32_t entryNumber = 0;
    std::uint32_t outOf = 0;
    std::uint32_t defineCount = 0;
    const std::uint8_t* data = nullptr;  // points into the message at kDataOffset
    std::uint32_t dataSize = 0;          // bytes from kDataOffset to the end of the message
};

// Each reads `size` bytes at most and returns false, leaving the output alone, when the record
// is too short for its fixed fields (or `message` is null).
bool DecodeHeader(const std::uint8_t* message, std::uint32_t size, Header& header);
bool DecodeException(const std::uint8_t* message, std::uint32_t size, ExceptionRecord& record);
// Needs the 40 fixed bytes; the data field may be empty (dataSize 0, data null).
bool DecodeDataRecord(const std::uint8_t* message, std::uint32_t size, DataRecord& record);
// The application name of an open record, up to its first NUL.
bool DecodeOpenName(const std::uint8_t* message, std::uint32_t size, std::string& name);

using bytes::ReadF64;
using bytes::ReadU32;

// --- Encoding (the simulator's side) --------------------------------------------------------
inline constexpr std::uint32_t kServerVersion = 6;

std::vector<std::uint8_t> EncodeException(const ExceptionRecord& record);
std::vector<std::uint8_t> EncodeOpen(const std::string& applicationName);
std::vector<std::uint8_t> EncodeQuit();
// id is kRecvIdSimObjectData or kRecvIdClientData; the data field follows the 40 fixed bytes.
std::vector<std::uint8_t> EncodeDataRecord(std::uint32_t id, const DataRecord& fields,
                                           const std::uint8_t* data, std::uint32_t dataSize);

using bytes::AppendF64;
using bytes::AppendU32;

// A result code as the log shows it: "0x" and upper-case hex digits without leading zeros
// (E_FAIL reads "0x80004005", S_OK "0x0").
std::string ResultText(SimConnectResult result);
// "FUNCTION failed (RESULT)", as every failed SimConnect call is reported.
std::string FailedText(const std::string& function, SimConnectResult result);

}  // namespace tarnwick::SimConnectRecords
