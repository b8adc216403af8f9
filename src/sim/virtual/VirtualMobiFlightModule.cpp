// The MobiFlight WASM module as the program meets it: one client per registered name with three
// areas, commands read from a client's command area only when its content changes, answers on
// the response area, and float variables at index × 4 of the LVars area, re-read every frame and
// written when they change. Calculator code is understood just far enough to read and write
// L-variables.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "sim/SimConnectRecords.h"
#include "sim/virtual/VirtualSimulatorState.h"

namespace tarnwick::virtualsim {

namespace {

constexpr std::uint32_t kMessageSize = 1024;
constexpr std::uint32_t kLVarsSize = 4096;
constexpr const char* kAddClient = "MF.Clients.Add.";
constexpr const char* kAddVariable = "MF.SimVars.Add.";
constexpr const char* kSetVariable = "MF.SimVars.Set.";

ModuleClient& AddModuleClient(State& state, const std::string& name) {
    for (ModuleClient& client : state.moduleClients) {
        if (client.name == name) {
            return client;  // a client that registers again keeps its channels
        }
    }
    ModuleClient client;
    client.name = name;
    client.commandArea = Upper(name + ".Command");
    client.responseArea = Upper(name + ".Response");
    client.lvarsArea = Upper(name + ".LVars");
    EnsureArea(state, client.commandArea, kMessageSize);
    EnsureArea(state, client.responseArea, kMessageSize);
    EnsureArea(state, client.lvarsArea, kLVarsSize);
    state.moduleClients.push_back(std::move(client));
    return state.moduleClients.back();
}

void Respond(State& state, const std::string& responseArea, const std::string& text) {
    Area& area = EnsureArea(state, responseArea, kMessageSize);
    std::fill(area.bytes.begin(), area.bytes.end(), std::uint8_t{0});
    std::memcpy(area.bytes.data(), text.data(),
                std::min<std::size_t>(text.size(), area.bytes.size() - 1));
    NotifyAreaSet(state, responseArea);
}

// "(L:NAME)", "(L:NAME, unit)", "(>L:NAME)" and "(>L:NAME, unit)" give "L:NAME"; anything else
// gives nothing.
std::optional<std::string> LVarOf(const std::string& token, bool assignment) {
    std::string inner = token.substr(1, token.size() - 2);
    if (assignment) {
        if (inner.empty() || inner[0] != '>') {
            return std::nullopt;
        }
        inner.erase(0, 1);
    }
    if (inner.size() < 3 || std::toupper(static_cast<unsigned char>(inner[0])) != 'L' ||
        inner[1] != ':') {
        return std::nullopt;
    }
    const auto comma = inner.find(',');
    return NormalizeLVarName(inner.substr(0, comma));
}

// Runs calculator code and returns the value left on top of its stack (0 when empty).
double Execute(State& state, const std::string& code) {
    std::vector<double> stack;
    std::size_t pos = 0;
    while (pos < code.size()) {
        if (std::isspace(static_cast<unsigned char>(code[pos]))) {
            ++pos;
            continue;
        }
        std::size_t end = pos;
        if (code[pos] == '(') {
            end = code.find(')', pos);
            end = end == std::string::npos ? code.size() : end + 1;
        } else {
            while (end < code.size() && !std::isspace(static_cast<unsigned char>(code[end]))) {
                ++end;
            }
        }
        const std::string token = code.substr(pos, end - pos);
        pos = end;
        if (token.size() >= 2 && token.front() == '(' && token.back() == ')') {
            if (const auto target = LVarOf(token, true)) {
                const double value = stack.empty() ? 0.0 : stack.back();
                if (!stack.empty()) {
                    stack.pop_back();
                }
                state.lvars[*target] = value;
            } else if (const auto source = LVarOf(token, false)) {
                const auto found = state.lvars.find(*source);
                stack.push_back(found == state.lvars.end() ? 0.0 : found->second);
            }
            continue;
        }
        char* parsedEnd = nullptr;
        const double number = std::strtod(token.c_str(), &parsedEnd);
        if (parsedEnd != token.c_str() && *parsedEnd == '\0') {
            stack.push_back(number);
        }
    }
    return stack.empty() ? 0.0 : stack.back();
}

void WriteVariable(State& state, ModuleClient& client, std::size_t index, float value) {
    Area& area = EnsureArea(state, client.lvarsArea, kLVarsSize);
    const std::size_t offset = index * 4;
    if (offset + 4 > area.bytes.size()) {
        return;
    }
    // Little-endian hosts only, like the simulator itself.
    std::memcpy(area.bytes.data() + offset, &value, sizeof value);
    client.written[index] = value;
    NotifyAreaSet(state, client.lvarsArea);
}

void HandleCommand(State& state, ModuleClient& client, const std::string& text) {
    if (state.keepRecords) {
        state.moduleCommands.push_back(text);
    }
    if (text.rfind(kAddClient, 0) == 0) {
        const std::string name = text.substr(std::strlen(kAddClient));
        if (name.empty()) {
            return;
        }
        const std::string responseArea = client.responseArea;
        switch (state.answer) {
            case ModuleAnswer::Finished:
                AddModuleClient(state, name);
                state.registeredClients.push_back(name);
                Respond(state, responseArea, text + ".Finished");
                break;
            case ModuleAnswer::Error:
                Respond(state, responseArea, text + ".Error");
                break;
            case ModuleAnswer::Silent:
                break;
        }
    } else if (text == "MF.SimVars.Clear") {
        client.variables.clear();
        client.written.clear();
    } else if (text.rfind(kAddVariable, 0) == 0) {
        client.variables.push_back(text.substr(std::strlen(kAddVariable)));
        client.written.emplace_back();
        const std::size_t index = client.variables.size() - 1;
        WriteVariable(state, client, index,
                      static_cast<float>(Execute(state, client.variables[index])));
    } else if (text.rfind(kSetVariable, 0) == 0) {
        const std::string code = text.substr(std::strlen(kSetVariable));
        if (state.keepRecords) {
            state.executedCode.push_back(code);
        }
        Execute(state, code);
    } else if (text == "MF.Ping") {
        Respond(state, client.responseArea, "MF.Pong");
    }
    // Anything else (MF.DummyCmd among them) matches no command and does nothing.
}

}  // namespace

std::string NormalizeLVarName(const std::string& name) {
    std::string key;
    for (const char c : name) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    if (key.rfind("L:", 0) != 0) {
        key.insert(0, "L:");
    }
    return key;
}

void StartModule(State& state) {
    state.moduleClients.clear();
    AddModuleClient(state, "MobiFlight");
}

void ModuleOnAreaWritten(State& state, const std::string& areaKey) {
    for (std::size_t i = 0; i < state.moduleClients.size(); ++i) {
        if (state.moduleClients[i].commandArea != areaKey) {
            continue;
        }
        const Area& area = state.areas[areaKey];
        // Like the real module, which subscribes with the CHANGED flag: the same bytes written
        // again are not seen.
        if (area.bytes == state.moduleClients[i].lastCommand) {
            return;
        }
        state.moduleClients[i].lastCommand = area.bytes;
        const auto end = std::find(area.bytes.begin(), area.bytes.end(), std::uint8_t{0});
        const std::string command(area.bytes.begin(), end);
        HandleCommand(state, state.moduleClients[i], command);
        return;
    }
}

void ModuleFrame(State& state) {
    for (ModuleClient& client : state.moduleClients) {
        for (std::size_t i = 0; i < client.variables.size(); ++i) {
            const float value = static_cast<float>(Execute(state, client.variables[i]));
            const auto& last = client.written[i];
            if (!last || std::memcmp(&*last, &value, sizeof value) != 0) {
                WriteVariable(state, client, i, value);
            }
        }
    }
}

}  // namespace tarnwick::virtualsim
