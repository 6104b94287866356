#pragma once
// Checks of what a simulated Keltra 4 did while it played an ADPCM stream:
// the file's YM2151 writes in file order, those before the first sound as
// plain writes before the stream starts, the rest applied by the stream
// within one stream byte of their sample time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SimBoard.h"
#include "SimTrace.h"
#include "vgm/VGMAnalysis.h"
#include "vgm/VGMCommand.h"

namespace klink::test {

// The trace fields the checks read, from a board in this process or a JSON Lines file.
struct TraceEntry {
    uint64_t timeUs = 0;
    std::string op;
    int id = -1;
    int reg = -1;
    int value = -1;
    std::string source;
};

inline std::vector<TraceEntry> FromBoard(const sim::SimBoard& board) {
    std::vector<TraceEntry> out;
    for (const auto& e : board.Trace()) {
        out.push_back({e.timeUs, std::string(sim::TraceOpName(e.op)), e.writeId, e.reg, e.value,
                       std::string(sim::WriteSourceName(e.source))});
    }
    return out;
}

// A flat JSON object's number or string field; the trace writes no nesting.
inline std::string TraceField(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    const size_t at = line.find(tag);
    if (at == std::string::npos) return {};
    size_t from = at + tag.size();
    if (line[from] == '"') {
        ++from;
        return line.substr(from, line.find('"', from) - from);
    }
    return line.substr(from, line.find_first_of(",}", from) - from);
}

inline std::vector<TraceEntry> FromTraceFile(const std::filesystem::path& path) {
    std::vector<TraceEntry> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        TraceEntry e;
        e.timeUs = std::stoull(TraceField(line, "t_us"));
        e.op = TraceField(line, "op");
        if (e.op == "reg") {
            e.id = std::stoi(TraceField(line, "id"));
            e.reg = std::stoi(TraceField(line, "reg"));
            e.value = std::stoi(TraceField(line, "val"));
            e.source = TraceField(line, "src");
        }
        out.push_back(std::move(e));
    }
    return out;
}

struct YMWrite {
    uint64_t samples;
    uint8_t reg;
    uint8_t value;
};

// The file walked once without its loop: its YM2151 writes with their sample
// times, and how many come before the first sounding command.
struct FileFacts {
    std::vector<YMWrite> writes;
    size_t beforeFirstSound = 0;
    uint32_t byteUs = 0;  // duration of one stream byte
};

inline FileFacts WalkYM2151Writes(const VGMAnalysis& a) {
    FileFacts facts;
    facts.byteUs = a.okiDivider * 2'000'000u / a.okiClock;
    const klink::VGMBytes& bytes = a.vgmBuffer;
    uint32_t p = a.dataOffset;
    uint64_t samples = 0;
    bool sounded = false;
    for (;;) {
        const uint32_t at = p;
        const uint8_t c = bytes[at];
        uint8_t reg = 0;
        uint8_t value = 0;
        uint32_t wait = 0;
        const VGMCommandKind kind = NextVGMCommand(bytes, p, reg, value, wait);
        if (kind == VGMCommandKind::kEnd) break;
        sounded = sounded || c == 0x93 || c == 0x95 ||
                  (c == 0xB7 && bytes[at + 1] == 0 && (bytes[at + 2] & 2)) ||
                  (kind == VGMCommandKind::kYM2151Write && reg == 0x08 && (value & 0x78));
        if (kind == VGMCommandKind::kYM2151Write) {
            facts.writes.push_back({samples, reg, value});
            if (!sounded) ++facts.beforeFirstSound;
        }
        samples += wait;
    }
    return facts;
}

// Checks the board's account of one play; returns the largest distance of a
// stream write from its due time, in µs.
inline int64_t CheckStreamTrace(const std::vector<TraceEntry>& trace, const FileFacts& facts) {
    int64_t worst = 0;
    std::vector<const TraceEntry*> host;
    std::vector<const TraceEntry*> stream;
    const TraceEntry* start = nullptr;
    const TraceEntry* end = nullptr;
    for (const TraceEntry& e : trace) {
        if (e.op == "stream_start") {
            EXPECT_EQ(start, nullptr) << "a second stream start";
            start = &e;
        } else if (e.op == "stream_end") {
            end = &e;
        } else if (e.op == "reg" && e.id == 0x54) {
            (e.source == "stream" ? stream : host).push_back(&e);
        } else if (e.op == "reject" || e.op == "fault") {
            ADD_FAILURE() << "the board refused something at " << e.timeUs << " µs";
        }
    }
    if (start == nullptr || end == nullptr) {
        ADD_FAILURE() << "no stream start or end in the trace";
        return worst;
    }
    EXPECT_EQ(host.size(), facts.beforeFirstSound);
    EXPECT_EQ(host.size() + stream.size(), facts.writes.size());
    for (size_t i = 0; i < host.size() && i < facts.writes.size(); ++i) {
        EXPECT_EQ(host[i]->reg, facts.writes[i].reg) << "plain write " << i;
        EXPECT_EQ(host[i]->value, facts.writes[i].value) << "plain write " << i;
        EXPECT_LT(host[i]->timeUs, start->timeUs) << "plain write " << i;
    }
    for (size_t i = 0; i < stream.size() && host.size() + i < facts.writes.size(); ++i) {
        const YMWrite& w = facts.writes[host.size() + i];
        if (stream[i]->reg != w.reg || stream[i]->value != w.value) {
            ADD_FAILURE() << "stream write " << i << " is not the file's write";
            return worst;
        }
        // Due at stream start + 5.12 ms + samples / 44100 s; applied at the
        // start of the first stream byte from then on. Trace times are whole µs.
        const auto due = static_cast<int64_t>(start->timeUs + 5120 + w.samples * 1'000'000 / 44'100);
        const int64_t error = static_cast<int64_t>(stream[i]->timeUs) - due;
        EXPECT_GE(error, -1) << "stream write " << i;
        EXPECT_LE(error, int64_t{facts.byteUs} + 1) << "stream write " << i;
        worst = std::max(worst, error < 0 ? -error : error);
    }
    if (!stream.empty()) {
        EXPECT_GE(end->timeUs, stream.back()->timeUs);
    }
    return worst;
}

}  // namespace klink::test
