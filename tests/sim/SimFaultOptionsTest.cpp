// klinksim's fault options as the command line gives them: the faults they
// make, and the message for each way of getting one wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Errors.h"
#include "sim/SimFaultOptions.h"

namespace klink::sim {
namespace {

SimFaults Rules(std::vector<SimReplyRule> rules) {
    SimFaults f;
    f.replies = std::move(rules);
    return f;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

TEST(ParseFaultOptions, TurnsEachOptionIntoItsFault) {
    using A = SimReplyAction;
    struct Case {
        std::vector<std::string> arguments;
        SimFaults faults;
    };
    std::vector<Case> cases = {
        {{}, {}},
        {{"--drop-reply", "3"}, Rules({{A::kDrop, std::nullopt, 3, 0, 1}})},
        {{"--drop-reply=3", "--drop-reply", "5"},
         Rules({{A::kDrop, std::nullopt, 3, 0, 1}, {A::kDrop, std::nullopt, 5, 0, 1}})},
        {{"--drop-opcode", "0x1C"}, Rules({{A::kDrop, Opcode::kDACStatus, 0, 0, 1}})},
        {{"--drop-opcode", "0x13:3"}, Rules({{A::kDrop, Opcode::kAudioStatus, 3, 0, 1}})},
        {{"--delay-replies", "250"}, Rules({{A::kDelay, std::nullopt, 0, 250, 1}})},
        {{"--late-first-ping", "1500"}, Rules({{A::kDelay, Opcode::kPing, 1, 1500, 1}})},
        {{"--corrupt-crc", "4"}, Rules({{A::kCorruptCrc, std::nullopt, 4, 0, 1}})},
        {{"--corrupt-crc", "0x13:0"}, Rules({{A::kCorruptCrc, Opcode::kAudioStatus, 0, 0, 1}})},
        {{"--status", "0x04=5"}, Rules({{A::kStatus, Opcode::kSetChipClock, 0, 0, 5}})},
        {{"--stale-request-id", "2"}, Rules({{A::kStaleRequestID, Opcode::kDeviceInfo, 0, 0, 1}})},
        {{"--empty-reply", "0"}, Rules({{A::kEmptyPayload, Opcode::kReset, 0, 0, 1}})},
        {{"--wrong-ping-echo"}, Rules({{A::kWrongEcho, Opcode::kPing, 0, 0, 1}})},
    };
    const auto with = [](auto set) {
        SimFaults f;
        set(f);
        return f;
    };
    cases.push_back({{"--bad-device-info", "model"},
                     with([](SimFaults& f) { f.deviceInfo = SimDeviceInfoFault::kModelLength; })});
    cases.push_back({{"--bad-capabilities=cyclic"},
                     with([](SimFaults& f) { f.capabilities = SimCapabilityFault::kSelfNext; })});
    cases.push_back(
        {{"--stop-reading-after", "100000"}, with([](SimFaults& f) { f.stopReadingAfterBytes = 100000; })});
    cases.push_back({{"--hang-up-after", "700"}, with([](SimFaults& f) { f.hangUpAfterMs = 700; })});
    cases.push_back({{"--adpcm-fault", "0x10"}, with([](SimFaults& f) { f.adpcmFaultFlags = 0x10; })});
    cases.push_back({{"--adpcm-fault", "0x50@2000"}, with([](SimFaults& f) {
                         f.adpcmFaultFlags = 0x50;
                         f.adpcmFaultAfterBytes = 2000;
                     })});
    cases.push_back({{"--dac-fault", "7@44100"}, with([](SimFaults& f) {
                         f.dacFaultCode = 7;
                         f.dacFaultAtTick = 44100;
                     })});
    cases.push_back({{"--never-start"}, with([](SimFaults& f) { f.neverStartStream = true; })});
    // Several options at once keep their rules in command-line order.
    cases.push_back({{"--status", "3=9", "--never-start", "--drop-opcode", "1"}, with([](SimFaults& f) {
                         f.replies = {{A::kStatus, Opcode::kSetOutputVolume, 0, 0, 9},
                                      {A::kDrop, Opcode::kPing, 0, 0, 1}};
                         f.neverStartStream = true;
                     })});
    for (const Case& c : cases) {
        try {
            EXPECT_TRUE(ParseFaultOptions(c.arguments) == c.faults) << Joined(c.arguments);
        } catch (const Error& e) {
            ADD_FAILURE() << Joined(c.arguments) << ": " << e.what();
        }
    }
}

TEST(ParseFaultOptions, RefusesWhatItCannotUseWithAMessageNamingTheOption) {
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Case cases[] = {
        {{"--drop-replies", "3"}, "Unknown option \"--drop-replies\"."},
        {{"3"}, "Unexpected argument \"3\"."},
        {{"--drop-reply"}, "--drop-reply: needs a value (N)."},
        {{"--drop-reply", "--never-start"}, "--drop-reply: needs a value (N)."},
        {{"--never-start=1"}, "--never-start: takes no value."},
        {{"--drop-reply", "x"}, "--drop-reply: \"x\" is not a number."},
        {{"--drop-reply", "-1"}, "--drop-reply: \"-1\" is not a number."},
        {{"--drop-reply", " 3"}, "--drop-reply: \" 3\" is not a number."},
        {{"--drop-reply", "0x"}, "--drop-reply: \"0x\" is not a number."},
        {{"--drop-reply", "4294967296"}, "--drop-reply: 4294967296 is above 4294967295."},
        {{"--drop-opcode", "0x100"}, "--drop-opcode: 0x100 is above 255."},
        {{"--status", "3"}, "--status: expected OP=S, not \"3\"."},
        {{"--status", "3=256"}, "--status: 256 is above 255."},
        {{"--corrupt-crc", "0x1C:"}, "--corrupt-crc: \"\" is not a number."},
        {{"--bad-device-info", "long"}, "--bad-device-info: \"long\" is not one of short, model, firmware."},
        {{"--bad-capabilities", ""},
         "--bad-capabilities: \"\" is not one of changed, duplicate, clock, cyclic, length, payload."},
        {{"--dac-fault", "0@10"}, "--dac-fault: the fault code must be 1..255, not 0."},
        {{"--dac-fault", "300"}, "--dac-fault: 300 is above 255."},
        {{"--adpcm-fault", "0x10@"}, "--adpcm-fault: \"\" is not a number."},
        {{"--delay-replies", "1", "--delay-replies", "2"}, "--delay-replies: is given twice."},
    };
    for (const Case& c : cases) {
        try {
            (void)ParseFaultOptions(c.arguments);
            ADD_FAILURE() << Joined(c.arguments) << ": no error, expected " << c.message;
        } catch (const ArgumentOutOfRange& e) {
            EXPECT_STREQ(e.what(), c.message) << Joined(c.arguments);
        }
    }
}

}  // namespace
}  // namespace klink::sim
