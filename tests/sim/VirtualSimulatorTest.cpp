#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "sim/SimConnectRecords.h"
#include "sim/SimConnectTestSupport.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {
namespace {

namespace rec = SimConnectRecords;
using test::simtest::Block;
using test::simtest::TextOf;
using Messages = std::vector<std::vector<std::uint8_t>>;

constexpr std::uint32_t kCommandArea = 4096;
constexpr std::uint32_t kResponseArea = 4097;
constexpr std::uint32_t kLVarsArea = 4098;
constexpr std::uint32_t kCommandDefinition = 4352;
constexpr std::uint32_t kResponseDefinition = 4353;
constexpr std::uint32_t kLVarsDefinition = 4354;
constexpr std::uint32_t kResponseRequest = 4608;
constexpr std::uint32_t kLVarsRequest = 4609;

// The library as a program sees it, with the simulator's controls beside it.
class VirtualSimulatorTest : public testing::Test {
protected:
    void SetUp() override {
        sim_.SetFramesOnDispatch(false);
        sim_.SetRunning(true);
        ASSERT_EQ(api_.Open(handle_, "Tester"), kSimConnectOk);
    }

    Messages Dispatch(SimConnectResult* result = nullptr) {
        Messages messages;
        const SimConnectResult r = api_.CallDispatch(
            handle_,
            [](const std::uint8_t* message, std::uint32_t size, void* context) {
                static_cast<Messages*>(context)->emplace_back(message, message + size);
            },
            &messages);
        if (result != nullptr) {
            *result = r;
        }
        return messages;
    }

    // Only the records of one kind, of one request.
    Messages Records(const Messages& messages, std::uint32_t id, std::uint32_t requestId) {
        Messages selected;
        for (const auto& message : messages) {
            rec::DataRecord record;
            if (rec::ReadU32(message.data() + 8) == id &&
                rec::DecodeDataRecord(message.data(), static_cast<std::uint32_t>(message.size()),
                                      record) &&
                record.requestId == requestId) {
                selected.push_back(message);
            }
        }
        return selected;
    }

    // The three MobiFlight channels mapped and defined; the response and LVars subscribed.
    void SetUpChannels() {
        ASSERT_EQ(api_.MapClientDataNameToID(handle_, "MobiFlight.Command", kCommandArea), 0);
        ASSERT_EQ(api_.MapClientDataNameToID(handle_, "MobiFlight.Response", kResponseArea), 0);
        ASSERT_EQ(api_.MapClientDataNameToID(handle_, "MobiFlight.LVars", kLVarsArea), 0);
        ASSERT_EQ(api_.AddToClientDataDefinition(handle_, kCommandDefinition, 0, 256, 0, 0), 0);
        ASSERT_EQ(api_.AddToClientDataDefinition(handle_, kResponseDefinition, 0, 256, 0, 0), 0);
        ASSERT_EQ(api_.AddToClientDataDefinition(handle_, kLVarsDefinition, 0, 4096, 0, 0), 0);
        for (const auto& [area, request, definition] :
             {std::tuple{kResponseArea, kResponseRequest, kResponseDefinition},
              std::tuple{kLVarsArea, kLVarsRequest, kLVarsDefinition}}) {
            ASSERT_EQ(api_.RequestClientData(handle_, area, request, definition,
                                             rec::kClientDataPeriodOnSet,
                                             rec::kClientDataRequestFlagChanged, 0, 0, 0),
                      0);
        }
    }

    SimConnectResult Command(const std::string& text) {
        const auto block = Block(text);
        return api_.SetClientData(handle_, kCommandArea, kCommandDefinition, 0, 0, 256,
                                  block.data());
    }

    std::vector<std::string> Responses() {
        std::vector<std::string> texts;
        for (const auto& message : Records(Dispatch(), rec::kRecvIdClientData, kResponseRequest)) {
            texts.push_back(
                TextOf(message.data() + 40, static_cast<std::uint32_t>(message.size() - 40)));
        }
        return texts;
    }

    static float FloatAt(const std::vector<std::uint8_t>& message, std::size_t offset) {
        float value = 0;
        std::memcpy(&value, message.data() + 40 + offset, sizeof value);
        return value;
    }

    VirtualSimulator sim_;
    VirtualSimConnectApi api_{sim_};
    SimConnectHandle handle_ = nullptr;
};

TEST_F(VirtualSimulatorTest, OpensOnlyWhileRunningAndGreetsWithTheOpenRecord) {
    const Messages first = Dispatch();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].size(), rec::kOpenSize);
    EXPECT_EQ(rec::ReadU32(first[0].data() + 8), rec::kRecvIdOpen);

    sim_.SetRunning(false);
    SimConnectHandle other = nullptr;
    EXPECT_EQ(api_.Open(other, "Later"), kSimConnectFail);
    EXPECT_EQ(sim_.OpenedClientNames(), std::vector<std::string>{"Tester"});
    EXPECT_EQ(sim_.OpenAttempts(), 2);
}

TEST_F(VirtualSimulatorTest, DataRequestsAreAnsweredEveryFrameHonouringChanged) {
    ASSERT_EQ(api_.AddToDataDefinition(handle_, 1, rec::kBatteryVariable, "Bool",
                                       rec::kDataTypeInt32, 0, rec::kUnused),
              0);
    ASSERT_EQ(api_.AddToDataDefinition(handle_, 2, "PLANE HEADING DEGREES MAGNETIC", "degrees",
                                       rec::kDataTypeFloat64, 0, rec::kUnused),
              0);
    ASSERT_EQ(api_.RequestDataOnSimObject(handle_, 1, 1, rec::kObjectIdUser, rec::kPeriodSimFrame,
                                          rec::kDataRequestFlagChanged, 0, 0, 0),
              0);
    ASSERT_EQ(api_.RequestDataOnSimObject(handle_, 2, 2, rec::kObjectIdUser, rec::kPeriodSimFrame,
                                          0, 0, 0, 0),
              0);
    sim_.StepFrames(3);
    Messages messages = Dispatch();
    const Messages battery = Records(messages, rec::kRecvIdSimObjectData, 1);
    const Messages heading = Records(messages, rec::kRecvIdSimObjectData, 2);
    ASSERT_EQ(battery.size(), 1u);
    ASSERT_EQ(heading.size(), 3u);
    EXPECT_EQ(battery[0].size(), 44u);
    EXPECT_EQ(rec::ReadU32(battery[0].data() + 40), 1u);
    EXPECT_EQ(rec::ReadU32(battery[0].data() + 24), rec::kDataRequestFlagChanged);
    EXPECT_EQ(heading[2].size(), 48u);
    EXPECT_EQ(rec::ReadF64(heading[2].data() + 40),
              *sim_.Variable("PLANE HEADING DEGREES MAGNETIC"));

    sim_.SetMasterBattery2(false);
    sim_.StepFrames(2);
    const Messages off = Records(Dispatch(), rec::kRecvIdSimObjectData, 1);
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(rec::ReadU32(off[0].data() + 40), 0u);
}

TEST_F(VirtualSimulatorTest, UnknownVariablesAndIdsComeBackAsExceptionRecords) {
    Dispatch();  // the open record
    ASSERT_EQ(api_.AddToDataDefinition(handle_, 1, "NO SUCH VARIABLE", "number",
                                       rec::kDataTypeFloat64, 0, rec::kUnused),
              0);
    ASSERT_EQ(api_.TransmitClientEvent(handle_, rec::kObjectIdUser, 99, 0, 1, 0x10), 0);
    const Messages messages = Dispatch();
    ASSERT_EQ(messages.size(), 2u);
    rec::ExceptionRecord first;
    rec::ExceptionRecord second;
    ASSERT_TRUE(rec::DecodeException(messages[0].data(), 24, first));
    ASSERT_TRUE(rec::DecodeException(messages[1].data(), 24, second));
    EXPECT_EQ(first.exception, rec::kExceptionNameUnrecognized);
    EXPECT_EQ(second.exception, rec::kExceptionUnrecognizedId);
    EXPECT_LT(first.sendId, second.sendId);
}

TEST_F(VirtualSimulatorTest, TheModuleSeesTheSameCommandTwiceInARowOnlyOnce) {
    SetUpChannels();
    ASSERT_EQ(Command("MF.SimVars.Set.1 (>L:A)"), 0);
    ASSERT_EQ(Command("MF.SimVars.Set.1 (>L:A)"), 0);
    EXPECT_EQ(sim_.ExecutedCode(), std::vector<std::string>{"1 (>L:A)"});
    ASSERT_EQ(Command("MF.DummyCmd"), 0);
    ASSERT_EQ(Command("MF.SimVars.Set.1 (>L:A)"), 0);
    EXPECT_EQ(sim_.ExecutedCode(), (std::vector<std::string>{"1 (>L:A)", "1 (>L:A)"}));
    EXPECT_EQ(sim_.ModuleCommands(),
              (std::vector<std::string>{"MF.SimVars.Set.1 (>L:A)", "MF.DummyCmd",
                                        "MF.SimVars.Set.1 (>L:A)"}));
}

TEST_F(VirtualSimulatorTest, RegistrationIsAnsweredAsToldOnTheResponseChannel) {
    SetUpChannels();
    ASSERT_EQ(Command("MF.Clients.Add.Tester"), 0);
    EXPECT_EQ(Responses(), std::vector<std::string>{"MF.Clients.Add.Tester.Finished"});
    EXPECT_EQ(sim_.RegisteredModuleClients(), std::vector<std::string>{"Tester"});

    sim_.SetModuleAnswer(ModuleAnswer::Error);
    ASSERT_EQ(Command("MF.Clients.Add.Other"), 0);
    EXPECT_EQ(Responses(), std::vector<std::string>{"MF.Clients.Add.Other.Error"});

    sim_.SetModuleAnswer(ModuleAnswer::Silent);
    ASSERT_EQ(Command("MF.Clients.Add.Third"), 0);
    EXPECT_TRUE(Responses().empty());
    EXPECT_EQ(sim_.ModuleCommands().size(), 3u);
}

TEST_F(VirtualSimulatorTest, VariablesSitAtFourBytesPerIndexAndFollowTheirValue) {
    SetUpChannels();
    ASSERT_EQ(Command("MF.SimVars.Add.(L:OTHER)"), 0);
    ASSERT_EQ(Command("MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)"), 0);
    Messages lvars = Records(Dispatch(), rec::kRecvIdClientData, kLVarsRequest);
    ASSERT_FALSE(lvars.empty());
    ASSERT_EQ(lvars.back().size(), 40u + 4096u);
    EXPECT_EQ(FloatAt(lvars.back(), 4), 0.75f);

    // Nothing changes: no message. A new value: one message on the next frame.
    sim_.StepFrames(2);
    EXPECT_TRUE(Records(Dispatch(), rec::kRecvIdClientData, kLVarsRequest).empty());
    sim_.SetLVar(VirtualSimulator::kLightingPotentiometer, 0.25);
    sim_.StepFrames(1);
    lvars = Records(Dispatch(), rec::kRecvIdClientData, kLVarsRequest);
    ASSERT_EQ(lvars.size(), 1u);
    EXPECT_EQ(FloatAt(lvars[0], 4), 0.25f);

    // Calculator code writes L-variables too, and Clear starts the slots again at 0.
    ASSERT_EQ(Command("MF.SimVars.Set.42 (>L:LIGHTING_POTENTIOMETER_5, Number)"), 0);
    EXPECT_EQ(sim_.LVar("L:LIGHTING_POTENTIOMETER_5"), 42.0);
    ASSERT_EQ(Command("MF.SimVars.Clear"), 0);
    ASSERT_EQ(Command("MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)"), 0);
    lvars = Records(Dispatch(), rec::kRecvIdClientData, kLVarsRequest);
    ASSERT_FALSE(lvars.empty());
    EXPECT_EQ(FloatAt(lvars.back(), 0), 42.0f);
}

TEST_F(VirtualSimulatorTest, QuitDeliversTheQuitRecordThenTheConnectionIsGone) {
    Dispatch();
    sim_.Quit();
    SimConnectResult result = 0;
    const Messages last = Dispatch(&result);
    EXPECT_EQ(result, kSimConnectOk);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(rec::ReadU32(last[0].data() + 8), rec::kRecvIdQuit);
    Dispatch(&result);
    EXPECT_EQ(result, kSimConnectFail);
    EXPECT_FALSE(sim_.IsRunning());
    EXPECT_EQ(api_.Close(handle_), kSimConnectOk);
    EXPECT_EQ(sim_.HandleMisuses(), 0);
}

TEST_F(VirtualSimulatorTest, ADroppedConnectionFailsWhileANewOneOpens) {
    sim_.DropConnections();
    SimConnectResult result = 0;
    Dispatch(&result);
    EXPECT_EQ(result, kSimConnectFail);
    SimConnectHandle fresh = nullptr;
    EXPECT_EQ(api_.Open(fresh, "Again"), kSimConnectOk);
    EXPECT_EQ(sim_.OpenConnectionCount(), 2);
}

TEST_F(VirtualSimulatorTest, FailuresAndExceptionsAreServedOnRequest) {
    sim_.FailNextCalls(SimConnectCall::MapClientEventToSimEvent, 2);
    EXPECT_EQ(api_.MapClientEventToSimEvent(handle_, 1, "AP_MASTER"), kSimConnectFail);
    EXPECT_EQ(api_.MapClientEventToSimEvent(handle_, 1, "AP_MASTER"), kSimConnectFail);
    EXPECT_EQ(api_.MapClientEventToSimEvent(handle_, 1, "AP_MASTER"), kSimConnectOk);
    EXPECT_EQ(api_.TransmitClientEvent(handle_, rec::kObjectIdUser, 1, 5, 1, 0x10), kSimConnectOk);
    ASSERT_EQ(sim_.Events().size(), 1u);
    EXPECT_EQ(sim_.Events()[0].name, "AP_MASTER");
    EXPECT_EQ(sim_.Events()[0].value, 5u);

    sim_.ThrowOnNextCall(SimConnectCall::SetClientData, "refused");
    const std::uint8_t byte = 0;
    EXPECT_THROW(api_.SetClientData(handle_, 1, 1, 0, 0, 1, &byte), std::runtime_error);
    EXPECT_EQ(api_.SetClientData(handle_, 1, 1, 0, 0, 1, &byte), kSimConnectOk);
}

// The stress test relies on this: closing under a running call, or calling with a closed handle,
// is counted.
TEST_F(VirtualSimulatorTest, HandleMisuseIsCounted) {
    sim_.SetCallDelay(std::chrono::milliseconds(200));
    std::thread caller([&] { api_.MapClientEventToSimEvent(handle_, 1, "AP_MASTER"); });
    ASSERT_TRUE(test::WaitUntil([&] { return sim_.CallsInProgress() == 1; }));
    EXPECT_EQ(api_.Close(handle_), kSimConnectOk);
    caller.join();
    EXPECT_EQ(sim_.HandleMisuses(), 1);
    sim_.SetCallDelay(std::chrono::microseconds(0));
    EXPECT_EQ(api_.TransmitClientEvent(handle_, 0, 1, 0, 1, 0x10), kSimConnectFail);
    EXPECT_EQ(sim_.HandleMisuses(), 2);
}

}  // namespace
}  // namespace tarnwick
