#pragma once
// Runs an ADPCM event source to its end and models the stream it should make.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "adpcm/AudioEvent.h"
#include "adpcm/KLINKAudioVGM.h"
#include "adpcm/OKICodec.h"

namespace klink::test {

// Everything a source produced, chunk by chunk, glued together.
struct SourceRun {
    std::vector<uint8_t> stream;
    std::vector<AudioEvent> events;
    size_t chunks = 0;
    bool capped = false;  // stopped at maxChunks before the end
};

// Pulls chunks until Next answers false (or `maxChunks`), checking on the way
// that chunks follow each other without gap and stay within their limits.
inline SourceRun RunSource(KLINKAudioVGM& source, size_t maxChunks = 1'000'000) {
    SourceRun run;
    uint32_t position = 0;
    std::vector<uint8_t> pcm;
    std::vector<AudioEvent> events;
    while (true) {
        if (run.chunks == maxChunks) {
            run.capped = true;
            break;
        }
        const uint64_t timeBefore = source.TimeUs();
        if (!source.Next(position, pcm, events)) {
            EXPECT_TRUE(pcm.empty());
            EXPECT_TRUE(events.empty());
            break;
        }
        ++run.chunks;
        EXPECT_EQ(position, run.stream.size());
        EXPECT_LE(pcm.size(), KLINKAudioVGM::kMaxChunkBytes);
        EXPECT_LE(source.TimeUs() - timeBefore, KLINKAudioVGM::kChunkUs + 512);  // one byte may cross
        EXPECT_EQ(source.BytePosition(), position + pcm.size());
        for (const AudioEvent& e : events) {
            EXPECT_GE(e.position, position);
            EXPECT_LT(e.position, position + pcm.size());
        }
        run.stream.insert(run.stream.end(), pcm.begin(), pcm.end());
        run.events.insert(run.events.end(), events.begin(), events.end());
    }
    return run;
}

// The stream a source should produce, built byte by byte: what feeds the
// file's OKIM6258 in each byte, decoded and re-encoded as the board will
// decode it. Off bytes and the zero tail encode 0.
class ModelStream {
public:
    // Chip off (sample 0) up to byte `until`.
    ModelStream& Off(size_t until) { return Fill(until, 0); }
    // The chip switches on: a fresh decoder.
    ModelStream& Start() {
        decoder_.Reset();
        return *this;
    }
    // One stream byte per input byte, low nibble first.
    ModelStream& Input(std::span<const uint8_t> bytes) {
        for (uint8_t b : bytes) {
            const int32_t first = decoder_.Decode(static_cast<uint8_t>(b & 0x0F));
            const int32_t second = decoder_.Decode(static_cast<uint8_t>(b >> 4));
            Push(first, second);
        }
        return *this;
    }
    ModelStream& Input(std::initializer_list<uint8_t> bytes) {
        return Input(std::span<const uint8_t>(bytes.begin(), bytes.size()));
    }
    // Playing without input up to byte `until`: the last sample holds.
    ModelStream& Hold(size_t until) { return Fill(until, decoder_.signal); }

    size_t Size() const { return samples_.size() / 2; }

    std::vector<uint8_t> Encode() const {
        OKICodec encoder;
        std::vector<uint8_t> out;
        for (size_t i = 0; i + 1 < samples_.size(); i += 2) {
            const uint8_t low = encoder.Encode(samples_[i]);
            const uint8_t high = encoder.Encode(samples_[i + 1]);
            out.push_back(static_cast<uint8_t>(low | high << 4));
        }
        return out;
    }

private:
    ModelStream& Fill(size_t until, int32_t sample) {
        while (Size() < until) Push(sample, sample);
        return *this;
    }
    void Push(int32_t first, int32_t second) {
        samples_.push_back(first);
        samples_.push_back(second);
    }
    OKICodec decoder_;
    std::vector<int32_t> samples_;
};

}  // namespace klink::test
