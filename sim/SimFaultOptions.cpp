#include "SimFaultOptions.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <set>
#include <string_view>

#include "common/Errors.h"

namespace klink::sim {
namespace {

[[noreturn]] void Refuse(std::string_view option, const std::string& what) {
    throw ArgumentOutOfRange(fmt::format("{}: {}", option, what));
}

// A decimal number, or a hexadecimal one after "0x", of at most `max`.
uint64_t Number(std::string_view option, const std::string& text, uint64_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string_view digits = hex ? std::string_view(text).substr(2) : std::string_view(text);
    const auto isDigit = [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                   : std::isdigit(static_cast<unsigned char>(c)) != 0;
    };
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit))
        Refuse(option, fmt::format("\"{}\" is not a number.", text));
    uint64_t value = 0;
    for (const char c : digits) {
        const auto digit =
            static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c)) != 0
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        const uint64_t base = hex ? 16 : 10;
        if (value > (max - digit) / base) Refuse(option, fmt::format("{} is above {}.", text, max));
        value = value * base + digit;
    }
    return value;
}

uint32_t Number32(std::string_view option, const std::string& text) {
    return static_cast<uint32_t>(Number(option, text, std::numeric_limits<uint32_t>::max()));
}

Opcode OpcodeOf(std::string_view option, const std::string& text) {
    return static_cast<Opcode>(Number(option, text, 0xFF));
}

// "A" or "A<separator>B".
std::pair<std::string, std::string> Split(const std::string& text, char separator) {
    const size_t at = text.find(separator);
    if (at == std::string::npos) return {text, {}};
    return {text.substr(0, at), text.substr(at + 1)};
}

template <typename Enum>
Enum Choice(std::string_view option, const std::string& text,
            std::initializer_list<std::pair<const char*, Enum>> choices) {
    std::string names;
    for (const auto& [name, value] : choices) {
        if (text == name) return value;
        names += names.empty() ? name : std::string(", ") + name;
    }
    Refuse(option, fmt::format("\"{}\" is not one of {}.", text, names));
}

using Apply = void (*)(std::string_view option, const std::string& value, SimFaults& faults);

struct FaultOption {
    const char* name;
    const char* value;  // what the value is called in the help; null for a flag
    bool repeatable;
    const char* help;
    Apply apply;
};

void AddRule(SimFaults& f, SimReplyAction action, std::optional<Opcode> opcode, uint32_t nth = 0,
             uint32_t delayMs = 0, uint8_t status = 1) {
    f.replies.push_back({action, opcode, nth, delayMs, status});
}

const FaultOption kOptions[] = {
    {"--drop-reply", "N", true, "No reply to the Nth request (counted from 1)",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         AddRule(f, SimReplyAction::kDrop, std::nullopt, Number32(o, v));
     }},
    {"--drop-opcode", "OP[:N]", true,
     "No reply to requests with this opcode (e.g. 0x1C), or only to the Nth of them",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         const auto [op, nth] = Split(v, ':');
         AddRule(f, SimReplyAction::kDrop, OpcodeOf(o, op),
                 v.find(':') == std::string::npos ? 0 : Number32(o, nth));
     }},
    {"--delay-replies", "MS", false, "Every reply leaves MS later",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         AddRule(f, SimReplyAction::kDelay, std::nullopt, 0, Number32(o, v));
     }},
    {"--late-first-ping", "MS", false, "The first PING is answered MS late, later ones at once",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         AddRule(f, SimReplyAction::kDelay, Opcode::kPing, 1, Number32(o, v));
     }},
    {"--corrupt-crc", "[OP:]N", true,
     "Wrong CRC on the reply to the Nth request (of opcode OP; N = 0: all of them)",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         const auto [first, second] = Split(v, ':');
         if (v.find(':') == std::string::npos) {
             AddRule(f, SimReplyAction::kCorruptCrc, std::nullopt, Number32(o, first));
         } else {
             AddRule(f, SimReplyAction::kCorruptCrc, OpcodeOf(o, first), Number32(o, second));
         }
     }},
    {"--status", "OP=S", true, "Requests with opcode OP are answered with status S and not carried out",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         if (v.find('=') == std::string::npos) Refuse(o, fmt::format("expected OP=S, not \"{}\".", v));
         const auto [op, status] = Split(v, '=');
         AddRule(f, SimReplyAction::kStatus, OpcodeOf(o, op), 0, 0,
                 static_cast<uint8_t>(Number(o, status, 0xFF)));
     }},
    {"--stale-request-id", "OP", true, "Replies to OP carry the previous request ID",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         AddRule(f, SimReplyAction::kStaleRequestID, OpcodeOf(o, v));
     }},
    {"--empty-reply", "OP", true, "Replies to OP carry no status byte",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         AddRule(f, SimReplyAction::kEmptyPayload, OpcodeOf(o, v));
     }},
    {"--wrong-ping-echo", nullptr, false, "PING echoes a different payload (\"?\" for an empty one)",
     [](std::string_view, const std::string&, SimFaults& f) {
         AddRule(f, SimReplyAction::kWrongEcho, Opcode::kPing);
     }},
    {"--bad-device-info", "short|model|firmware", false, "DEVICE_INFO fails the host's length checks",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         f.deviceInfo = Choice<SimDeviceInfoFault>(o, v,
                                                   {{"short", SimDeviceInfoFault::kShort},
                                                    {"model", SimDeviceInfoFault::kModelLength},
                                                    {"firmware", SimDeviceInfoFault::kFirmwareLength}});
     }},
    {"--bad-capabilities", "changed|duplicate|clock|cyclic|length|payload", false,
     "Capability pages that change header, repeat an entry, disagree on a clock, name themselves as "
     "next, miscount their entries, or offer MaxPayload 128",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         f.capabilities = Choice<SimCapabilityFault>(o, v,
                                                     {{"changed", SimCapabilityFault::kHeaderChanged},
                                                      {"duplicate", SimCapabilityFault::kDuplicateEntry},
                                                      {"clock", SimCapabilityFault::kClockMismatch},
                                                      {"cyclic", SimCapabilityFault::kSelfNext},
                                                      {"length", SimCapabilityFault::kBadLength},
                                                      {"payload", SimCapabilityFault::kSmallPayload}});
     }},
    {"--stop-reading-after", "N", false, "The board takes no more bytes off the line after N",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         f.stopReadingAfterBytes = Number(o, v, std::numeric_limits<uint64_t>::max());
     }},
    {"--hang-up-after", "MS", false, "The board closes its end of the line MS after it started",
     [](std::string_view o, const std::string& v, SimFaults& f) { f.hangUpAfterMs = Number32(o, v); }},
    {"--adpcm-fault", "FLAGS[@N]", false,
     "The stream fails with flag 0x04 and these reasons (e.g. 0x10) once N bytes have played",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         const auto [flags, after] = Split(v, '@');
         f.adpcmFaultFlags = Number32(o, flags);
         f.adpcmFaultAfterBytes = v.find('@') == std::string::npos ? 0 : Number32(o, after);
     }},
    {"--dac-fault", "CODE[@TICK]", false, "The KL2 DAC stops in state 3 with this fault code at that tick",
     [](std::string_view o, const std::string& v, SimFaults& f) {
         const auto [code, tick] = Split(v, '@');
         const uint64_t c = Number(o, code, 0xFF);
         if (c == 0) Refuse(o, "the fault code must be 1..255, not 0.");
         f.dacFaultCode = static_cast<uint8_t>(c);
         f.dacFaultAtTick =
             v.find('@') == std::string::npos ? 0 : Number(o, tick, std::numeric_limits<uint64_t>::max());
     }},
    {"--never-start", nullptr, false, "STREAM_START is ignored, so the started bit never shows",
     [](std::string_view, const std::string&, SimFaults& f) { f.neverStartStream = true; }},
};

const FaultOption* Find(std::string_view name) {
    for (const FaultOption& o : kOptions) {
        if (name == o.name) return &o;
    }
    return nullptr;
}

}  // namespace

SimFaults ParseFaultOptions(std::span<const std::string> arguments) {
    SimFaults faults;
    std::set<std::string_view> seen;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word.rfind("--", 0) != 0)
            throw ArgumentOutOfRange(fmt::format("Unexpected argument \"{}\".", word));
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const FaultOption* option = Find(name);
        if (option == nullptr) throw ArgumentOutOfRange(fmt::format("Unknown option \"{}\".", name));
        std::string value;
        if (option->value == nullptr) {
            if (equals != std::string::npos) Refuse(option->name, "takes no value.");
        } else if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else if (i + 1 < arguments.size() && arguments[i + 1].rfind("--", 0) != 0) {
            value = arguments[++i];
        } else {
            Refuse(option->name, fmt::format("needs a value ({}).", option->value));
        }
        if (!seen.insert(option->name).second && !option->repeatable) Refuse(option->name, "is given twice.");
        option->apply(option->name, value, faults);
    }
    return faults;
}

std::string FaultOptionsHelp() {
    std::string text;
    for (const FaultOption& o : kOptions) {
        const std::string usage = o.value == nullptr ? o.name : fmt::format("{} {}", o.name, o.value);
        const std::string help = fmt::format("{}{}", o.help, o.repeatable ? "; repeatable" : "");
        if (usage.size() < 30) {
            text += fmt::format("  {:<30}{}\n", usage, help);
        } else {
            text += fmt::format("  {}\n  {:<30}{}\n", usage, "", help);
        }
    }
    return text;
}

}  // namespace klink::sim
