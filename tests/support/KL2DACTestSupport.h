#pragma once
// Helpers for the KL2 DAC path tests: what a file asks of a KL2 board, tick
// by tick, and the check that a simulated board did exactly that.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "PlayerTestSupport.h"
#include "SimTrace.h"
#include "kl2/KL2DACCodec.h"
#include "kl2/KL2DACVGM.h"
#include "kl2/KL2RegisterState.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMAnalysis.h"

namespace klink::test {

// One chip write: its tick and what it writes (reg -1 for an SN76489 byte).
struct TimedWrite {
    uint64_t tick = 0;
    uint8_t writeId = 0;
    int16_t reg = 0;
    uint8_t value = 0;
};

// The file's own account, walked once to its end command: every write with
// one of `writeIds` (the YM2612 DAC registers 0x2A/0x2B excepted) with its
// tick, from time zero on or only after it. SN76489 data bytes come after
// the latch byte that a KL2 board needs before them.
inline std::vector<TimedWrite> FileWrites(const VGMAnalysis& file, std::vector<uint8_t> writeIds,
                                          bool afterTimeZero = true) {
    std::vector<TimedWrite> writes;
    KL2RegisterState psgState;
    uint32_t pointer = file.dataOffset;
    uint64_t tick = 0;
    for (;;) {
        KLINKVGMTarget target;
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMDecodeKind kind = DecodeRegisterCommand(file.vgmBuffer, pointer, target, reg, value, wait);
        if (kind == VGMDecodeKind::kEnd) break;
        tick += wait;
        const bool wanted = std::find(writeIds.begin(), writeIds.end(), target.writeId) != writeIds.end();
        const bool dacRegister = target.writeId == 0x52 && (reg == 0x2A || reg == 0x2B);
        const bool psg = target.writeId == 0x30 || target.writeId == 0x50;
        if (kind != VGMDecodeKind::kRegisterWrite || !wanted || dacRegister || (afterTimeZero && tick == 0))
            continue;
        uint8_t prefix = 0;
        if (psg && psgState.Transform(target, reg, value, prefix))
            writes.push_back({tick, target.writeId, -1, prefix});
        writes.push_back({tick, target.writeId, psg ? int16_t{-1} : int16_t{reg}, value});
    }
    return writes;
}

// What the source hands the board for one pass without fade: every DAC
// record (delays aside) at its tick. `records` counts the delays too.
struct SourceDAC {
    std::vector<TimedWrite> writes;
    uint64_t records = 0;
    uint64_t endTick = 0;
};

inline SourceDAC SourceDACWrites(const VGMAnalysis& file, int32_t repeatCount = 1, int32_t fadeSeconds = 0) {
    SourceDAC out;
    KL2DACVGM source(file.vgmBuffer, file.dataOffset, file.vgmLoopOffset, repeatCount, fadeSeconds);
    KL2DACChunk chunk;
    while (source.Next(chunk, kKL2MaxRecordsPerPacket)) {
        uint64_t tick = chunk.startTick;
        out.records += chunk.records.size();
        for (const KL2DACRecord& r : chunk.records) {
            if (r.kind != KL2RecordKind::kDelay) {
                out.writes.push_back(
                    {tick, 0x52, r.kind == KL2RecordKind::kSample ? int16_t{0x2A} : int16_t{0x2B}, r.value});
            }
            tick += r.wait;
        }
    }
    out.endTick = source.EndTick();
    return out;
}

// The board's register writes from `source` with one of `writeIds`, in the
// order it made them, after `afterUs`.
inline std::vector<sim::SimTraceEvent> BoardWrites(const std::vector<sim::SimTraceEvent>& trace,
                                                   sim::SimWriteSource source, std::vector<uint8_t> writeIds,
                                                   uint64_t afterUs = 0) {
    std::vector<sim::SimTraceEvent> out;
    for (const auto& e : trace) {
        if (e.op == sim::SimTraceOp::kReg && e.source == source && e.timeUs > afterUs &&
            std::find(writeIds.begin(), writeIds.end(), e.writeId) != writeIds.end())
            out.push_back(e);
    }
    return out;
}

// Compares what the board did with what was asked for, in order, and checks
// that every write landed at the board's DAC start plus its tick (the
// simulated board plays on its exact tick clock; the trace counts whole
// microseconds). Returns the largest timing error in microseconds.
inline double ExpectPlayedAtTicks(const std::vector<TimedWrite>& expected,
                                  const std::vector<sim::SimTraceEvent>& played, uint64_t startUs,
                                  const char* what) {
    EXPECT_EQ(played.size(), expected.size()) << what;
    double worst = 0;
    const size_t n = std::min(played.size(), expected.size());
    for (size_t i = 0; i < n; ++i) {
        const TimedWrite& e = expected[i];
        const sim::SimTraceEvent& p = played[i];
        if (p.writeId != e.writeId || p.reg != e.reg || p.value != e.value) {
            ADD_FAILURE() << what << " #" << i << " at tick " << e.tick << ": board wrote $" << std::hex
                          << int{p.writeId} << " reg " << std::dec << p.reg << " = " << int{p.value}
                          << ", file $" << std::hex << int{e.writeId} << " reg " << std::dec << e.reg << " = "
                          << int{e.value};
            return worst;
        }
        const double dueUs = static_cast<double>(startUs) + static_cast<double>(e.tick) * 1e6 / 44100.0;
        worst = std::max(worst, std::abs(static_cast<double>(p.timeUs) - dueUs));
    }
    EXPECT_LE(worst, 3.0) << what;
    return worst;
}

// The status line of a board that played `dac` to its end without running dry.
inline std::string EndedStatusLine(const SourceDAC& dac) {
    const std::string records = std::to_string(dac.records);
    const std::string ticks = std::to_string(dac.endTick);
    return "DAC: state=2 fault=0 accepted=" + records + " consumed=" + records +
           " queued=0; underflows=0 overflows=0 rejected=0; max DAC late=0 us; ticks=" + ticks + "/" + ticks;
}

// Whether one of the first three runs ran the simulated KL2 board dry, to be
// played again. The board and the player are both threads of this machine,
// and a machine busy with other work can hold the board's thread back for
// longer than the 80 ms the player keeps buffered: the board then counts an
// underflow that a board with a processor of its own would not. A player
// that falls behind runs the board dry on every run, and the fourth fails.
// The run's "Link: " line carries the board's count: the board's own status
// is cleared by the reset that ends every run.
inline bool RanDryOnABusyMachine(RecordingHost& host, int attempt) {
    unsigned underflows = 0;
    for (const std::string& line : host.LogStarting("Link: ")) {
        unsigned n = 0;
        if (std::sscanf(line.c_str(), "Link: %u underflows", &n) == 1) underflows += n;
    }
    if (attempt > 3 || underflows == 0) return false;
    std::cout << "The simulated board ran dry " << underflows << " time(s); playing again.\n";
    return true;
}

}  // namespace klink::test
