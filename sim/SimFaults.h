#pragma once
// Faults a simulated board can be told to show, to test how the host copes
// with a board that misbehaves. All are off by default.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/KLINKCodec.h"

namespace klink::sim {

// What a reply rule does to the replies it matches.
enum class SimReplyAction : uint8_t {
    kDrop,            // no reply at all
    kDelay,           // the reply leaves delayMs later
    kCorruptCrc,      // the reply's CRC is wrong, so the host drops it
    kStatus,          // the reply carries `status` and no data
    kStaleRequestID,  // right opcode, the previous request ID
    kEmptyPayload,    // a reply without even the status byte
    kWrongEcho,       // PING echoes different bytes (one byte "?" for an empty payload)
};

// A rule matches requests with `opcode` (empty: any opcode). `nth` counts the
// matching requests since the rule was set, from 1; 0 means every match,
// otherwise only the Nth one.
struct SimReplyRule {
    SimReplyAction action = SimReplyAction::kDrop;
    std::optional<Opcode> opcode;
    uint32_t nth = 0;
    uint32_t delayMs = 0;  // Delay
    uint8_t status = 1;    // Status

    friend bool operator==(const SimReplyRule&, const SimReplyRule&) = default;
};

// Broken DEVICE_INFO replies, named after the check of the host they fail.
enum class SimDeviceInfoFault : uint8_t {
    kNone,
    kShort,           // fewer than two bytes
    kModelLength,     // the model length runs past the reply
    kFirmwareLength,  // the firmware length disagrees with the reply size
};

// Capability pages that contradict each other or themselves.
enum class SimCapabilityFault : uint8_t {
    kNone,
    kHeaderChanged,   // the second page reports another MaxPayload
    kDuplicateEntry,  // the second page repeats the first entry
    kClockMismatch,   // the second page gives the first entry's chip another clock
    kSelfNext,        // the first page names its own offset as next
    kBadLength,       // the first page's entry count disagrees with its size
    kSmallPayload,    // every page reports MaxPayload 128
};

struct SimFaults {
    std::vector<SimReplyRule> replies;
    SimDeviceInfoFault deviceInfo = SimDeviceInfoFault::kNone;
    SimCapabilityFault capabilities = SimCapabilityFault::kNone;
    // Stop taking bytes off the line after this many (0 = never), so the host's
    // writes back up and finally block.
    uint64_t stopReadingAfterBytes = 0;
    // Close the board's side of the line this many ms after the board started
    // (0 = never); the host sees a hang-up.
    uint32_t hangUpAfterMs = 0;
    // ADPCM stream: once adpcmFaultAfterBytes have played, fail the stream with
    // flag 0x04 and these reason bits (0 = no fault). 0x10 reads "rx-overflow".
    uint32_t adpcmFaultFlags = 0;
    uint32_t adpcmFaultAfterBytes = 0;
    // KL2 DAC: once the tick clock reaches dacFaultAtTick, stop in state 3
    // with this fault code (0 = no fault).
    uint8_t dacFaultCode = 0;
    uint64_t dacFaultAtTick = 0;
    // STREAM_START is ignored, so the started bit never shows.
    bool neverStartStream = false;

    friend bool operator==(const SimFaults&, const SimFaults&) = default;
};

}  // namespace klink::sim
