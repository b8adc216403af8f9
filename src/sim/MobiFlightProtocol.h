// The MobiFlight WASM module's channel protocol as this program speaks it: the client-data numbers
// of the three channels, the command and answer texts, and the pure encoders and decoders of the
// channel blocks. No state, no SimConnect calls; MobiFlightClient does the talking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::MobiFlightProtocol {

// Client-data area, definition and request numbers. Fixed: the channel names are configurable,
// the numbers are not.
//
// The configured channels (by default the module's shared "MobiFlight.*" ones) carry only the
// registration and its answer. Everything else goes over the program's own client channels,
// "<clientName>.Command", ".Response" and ".LVars", which the module creates when it
// acknowledges the registration: on the shared ones, another MobiFlight client's
// "MF.SimVars.Clear" would wipe our subscription (and ours its), and both would read slot 0 of
// the same variable area.
inline constexpr std::uint32_t kCommandAreaId = 0x1000;
inline constexpr std::uint32_t kResponseAreaId = 0x1001;
inline constexpr std::uint32_t kLVarsAreaId = 0x1002;
inline constexpr std::uint32_t kClientCommandAreaId = 0x1003;
inline constexpr std::uint32_t kClientResponseAreaId = 0x1004;
inline constexpr std::uint32_t kClientLVarsAreaId = 0x1005;
inline constexpr std::uint32_t kCommandDefinitionId = 0x1100;
inline constexpr std::uint32_t kResponseDefinitionId = 0x1101;
inline constexpr std::uint32_t kLVarsDefinitionId = 0x1102;
inline constexpr std::uint32_t kClientCommandDefinitionId = 0x1103;
inline constexpr std::uint32_t kClientResponseDefinitionId = 0x1104;
inline constexpr std::uint32_t kClientLVarsDefinitionId = 0x1105;
inline constexpr std::uint32_t kResponseRequestId = 0x1200;
inline constexpr std::uint32_t kClientResponseRequestId = 0x1202;
inline constexpr std::uint32_t kClientLVarsRequestId = 0x1203;

// Either command channel: the registration one or the client's own.
constexpr bool IsCommandArea(std::uint32_t clientDataId) {
    return clientDataId == kCommandAreaId || clientDataId == kClientCommandAreaId;
}

inline constexpr std::uint32_t kCommandBlockSize = 256;
inline constexpr std::uint32_t kResponseBlockSize = 256;
inline constexpr std::uint32_t kLVarsBlockSize = 4096;

// A command block: the text, a NUL, zero bytes to the end.
using CommandBlock = std::array<char, kCommandBlockSize>;
// The longest text that fits beside its NUL.
inline constexpr std::size_t kMaxCommandText = kCommandBlockSize - 1;

inline constexpr std::string_view kRpnPrefix = "MF.SimVars.Set.1 ";
// The longest calculator code whose command fits: 255 - 17 = 238 bytes.
inline constexpr std::size_t kMaxRpnText = kMaxCommandText - kRpnPrefix.size();
inline constexpr std::string_view kDummyCommand = "MF.DummyCmd";
inline constexpr std::string_view kClearCommand = "MF.SimVars.Clear";
inline constexpr std::string_view kSubscribeLightingCommand =
    "MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)";
inline constexpr std::string_view kClientsAddPrefix = "MF.Clients.Add.";

// "MF.Clients.Add." + clientName.
std::string RegistrationCommand(const std::string& clientName);
// The names of the client's own channels: clientName + ".Command", ".Response", ".LVars".
std::string ClientCommandChannel(const std::string& clientName);
std::string ClientResponseChannel(const std::string& clientName);
std::string ClientLVarsChannel(const std::string& clientName);
// "MF.SimVars.Set.1 " + rpn.
std::string RpnCommand(const std::string& rpn);
// The answers to the registration command, as they appear somewhere in a response text.
std::string RegistrationFinishedAnswer(const std::string& clientName);
std::string RegistrationErrorAnswer(const std::string& clientName);

// Fills `block` with the text and zeros behind it. False, with only zeros in the block, when the
// text does not fit beside its NUL (256 bytes or more): a cut calculator code can set something
// else than it was written for, so a command is whole or not sent at all.
bool BuildCommandBlock(std::string_view text, CommandBlock& block);

// The bytes of a received block up to its first NUL (all of them when there is none); empty for
// a null pointer or size 0.
std::string BlockText(const std::uint8_t* data, std::uint32_t size);

// printf "%f" of the value: six decimals.
std::string FormatFloat(float value);

// What an LVars block carries for the text handler, or nothing.
//
// The module keeps each subscribed variable as a little-endian single-precision float at index x 4;
// the lighting variable is index 0. Some set-ups put a text such as
// "L:LIGHTING_POTENTIOMETER_5=0.5" there instead. A block counts as text when its first byte is
// not NUL, every byte before the first NUL is printable ASCII (or tab, CR, LF), and that text is
// longer than four bytes or a whole decimal number (the float's four bytes are printable for
// about one level in ten: 0.9 is "fff?"); it is then handed on up to that NUL. Otherwise, with at
// least four bytes, the first four are the float (also when a NUL inside them is followed by
// non-zero bytes), formatted with six decimals; a NaN, an infinity or a denormal (what a short
// word such as "ON" reads as) gives nothing. Reading every non-NUL first byte as text would turn
// most fractional levels (0.3 is 9A 99 99 3E) into byte garbage.
std::optional<std::string> DecodeLVarBlock(const std::uint8_t* data, std::uint32_t size);

}  // namespace tarnwick::MobiFlightProtocol
