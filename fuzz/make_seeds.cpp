// Writes starting inputs for the fuzz targets, made with the project's own
// encoders: frames, capability pages, KL2 records, a session file and small
// VGM files that reach the streaming paths. Usage: make_seeds OUTDIR
// (one folder per target below it). The demo tunes in samples/ are the other
// seeds; scripts/fuzz.sh adds them.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "VGMTestBuilder.h"
#include "kl2/KL2DACCodec.h"
#include "protocol/KLINKCapabilities.h"
#include "protocol/KLINKCodec.h"
#include "ui/KLINKSession.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path gOut;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = gOut / target;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

void FrameSeeds() {
    using klink::MessageType;
    using klink::Opcode;
    const Bytes quiet{0, 0};  // no quiet gaps
    const Bytes ping = klink::EncodeFrame(MessageType::kReply, Opcode::kPing, 7, Bytes{0, 1, 2, 0, 0xFF});
    const Bytes status = klink::EncodeFrame(MessageType::kReply, Opcode::kAudioStatus, 0xFFFF, Bytes(40, 0));
    const Bytes big = klink::EncodeFrame(MessageType::kReply, Opcode::kCapabilities, 1, Bytes(256, 0x11));
    const Bytes zeros = klink::EncodeFrame(MessageType::kRequest, Opcode::kReset, 0, Bytes(256, 0));
    Write("frame_decoder", "ping", Cat({quiet, ping}));
    Write("frame_decoder", "two_frames", Cat({quiet, status, ping}));
    Write("frame_decoder", "largest", Cat({quiet, big, zeros}));
    Bytes broken = ping;
    broken[broken.size() - 3] ^= 0x40;  // bad checksum, then a good frame
    Write("frame_decoder", "bad_crc_then_good", Cat({quiet, broken, ping}));
    Write("frame_decoder", "gap_inside", Cat({Bytes{3, 0}, ping, ping}));
}

void CapabilitySeeds() {
    klink::KLINKCapabilityPage first;
    first.dataCapacity = 65536;
    first.eventCapacity = 512;
    first.controlFeatures = klink::kControlAttenuation | klink::kControlKL2DAC;
    for (uint8_t i = 0; i < 26; ++i) {
        first.entries.push_back({static_cast<uint8_t>(0x30 + i), 0, 0, klink::kFeatureBurst,
                                 klink::ClockMode::kFixed, 3579545u + i});
    }
    first.nextOffset = 26;
    klink::KLINKCapabilityPage last = first;
    last.entries.resize(3);
    last.entries[1].clockMode = klink::ClockMode::kVariable;
    last.entries[1].fixedClockHz = 0;
    last.entries[2].features = klink::kFeatureADPCMStream | klink::kFeatureStreamEvents;
    last.nextOffset = klink::kCapabilitiesEnd;
    auto framed = [](const Bytes& page) {
        Bytes out{static_cast<uint8_t>(page.size()), 0};
        out.insert(out.end(), page.begin(), page.end());
        return out;
    };
    Write("capability_pages", "one_page", framed(klink::EncodeCapabilityPage(last)));
    Write("capability_pages", "two_pages",
          Cat({framed(klink::EncodeCapabilityPage(first)), framed(klink::EncodeCapabilityPage(last))}));
}

void KL2RecordSeeds() {
    Bytes caps(1 + klink::kKL2CapabilityRecordSize);
    caps[0] = 0;
    Bytes record(klink::kKL2CapabilityRecordSize);
    klink::WriteKL2Field(record, 0, 1, 1);
    klink::WriteKL2Field(record, 1, 40, 4);
    klink::WriteKL2Field(record, 5, 44100, 4);
    klink::WriteKL2Field(record, 9, 8192, 4);
    klink::WriteKL2Field(record, 13, 1024, 2);
    klink::WriteKL2Field(record, 15, 60, 1);
    klink::WriteKL2Field(record, 16, 1, 1);
    klink::WriteKL2Field(record, 17, 250, 4);
    Write("kl2_records", "capabilities", Cat({Bytes{0}, record}));
    Bytes status(klink::kKL2StatusRecordSize);
    klink::WriteKL2Field(status, 0, 1, 1);
    klink::WriteKL2Field(status, 1, 1, 1);
    klink::WriteKL2Field(status, 4, 100, 4);  // accepted
    klink::WriteKL2Field(status, 8, 60, 4);   // consumed
    klink::WriteKL2Field(status, 12, 40, 4);  // queued
    klink::WriteKL2Field(status, 48, 5000, 8);
    klink::WriteKL2Field(status, 56, 3000, 8);
    klink::WriteKL2Field(status, 64, 2900, 8);
    Write("kl2_records", "status", Cat({Bytes{1}, status}));
}

void SessionSeeds() {
    klink::KLINKSessionState s = klink::DefaultSession();
    s.comPort = "/dev/ttyUSB0";
    s.comPort2 = "COM5";
    s.hasWindowBounds = true;
    s.left = -20;
    s.top = 40;
    s.width = 900;
    s.height = 600;
    s.repeatIndex = 2;
    s.fadeIndex = 5;
    s.playlist.push_back({"/music/a.vgz", "Opening \xE6\x9B\xB2", "Game \xF0\x9F\x8E\xB5"});
    s.playlist.push_back({"C:\\music\\b.vgm", "", ""});
    s.lastTrackPath = "/music/a.vgz";
    s.lastTrackIndex = 0;
    s.selectedIndex = 1;
    const std::string text = klink::SessionJSONText(s);
    Write("session", "full", Bytes(text.begin(), text.end()));
    const std::string small = R"({"schema":1,"window":{"left":1,"maximized":1},"playlist":[{"path":"x"}]})";
    Write("session", "small", Bytes(small.begin(), small.end()));
}

// VGM files that reach the two streaming paths.
void VGMSeeds() {
    using klink::test::VGMBuilder;
    // YM2612 DAC: a PCM block, direct DAC writes with a seek, and a DAC stream.
    VGMBuilder dac;
    dac.Field(0x2C, 7670454);  // YM2612 clock
    dac.Field(0x0C, 3579545);  // SN76489 clock
    dac.Cmd({0x67, 0x66, 0x00, 16, 0, 0, 0});
    for (uint8_t i = 0; i < 16; ++i) dac.Cmd({static_cast<uint8_t>(0x80 + 16 * i)});
    dac.Cmd({0x52, 0x2B, 0x80, 0x52, 0x28, 0xF0, 0x50, 0x90, 0x50, 0x0F});
    dac.Cmd({0xE0, 0, 0, 0, 0, 0x81, 0x82, 0x52, 0x2A, 0x40, 0x61, 0x10, 0x00});
    dac.LoopHere();
    dac.Cmd({0x90, 0x00, 0x02, 0x00, 0x2A, 0x91, 0x00, 0x00, 0x01, 0x00, 0x92, 0x00, 0x40, 0x1F, 0x00, 0x00});
    dac.Cmd({0x93, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x62, 0x94, 0x00});
    dac.Cmd({0x95, 0x00, 0x00, 0x00, 0x00, 0x62}).End();
    const Bytes dacFile = dac.Build();
    Write("kl2_dac_source", "dac_streams", dacFile);
    Write("vgm_file", "dac_streams", dacFile);
    Write("vgm_file", "dac_streams_gz", klink::test::Gzip(dacFile));

    // OKIM6258 with YM2151: ADPCM data register writes and a DAC stream.
    VGMBuilder oki;
    oki.Field(0x30, 4000000);  // YM2151 clock
    oki.Field(0x90, 4000000);  // OKIM6258 clock
    oki.Byte(0x94, 0x02);      // divider 512
    oki.Cmd({0x54, 0x20, 0xC7, 0x54, 0x08, 0x78});
    oki.Cmd({0x67, 0x66, 0x04, 8, 0, 0, 0, 0x17, 0x71, 0x17, 0x71, 0x88, 0x08, 0x80, 0x00});
    oki.Cmd({0xB7, 0x00, 0x02, 0xB7, 0x01, 0x80, 0xB7, 0x01, 0x08, 0x61, 0x00, 0x01});
    oki.LoopHere();
    oki.Cmd({0x90, 0x00, 0x17, 0x00, 0x01, 0x91, 0x00, 0x04, 0x01, 0x00, 0x92, 0x00, 0x40, 0x1F, 0x00, 0x00});
    oki.Cmd({0x93, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x62, 0x94, 0x00});
    oki.Cmd({0xB7, 0x0C, 0x01, 0x62}).End();
    const Bytes okiFile = oki.Build();
    Write("adpcm_source", "oki_streams", okiFile);
    Write("vgm_file", "oki_streams", okiFile);

    // The command walk from the data offset (0x100 in these files).
    Write("vgm_commands", "dac_streams", Cat({Bytes{0x00, 0x01}, dacFile}));
    Write("vgm_commands", "oki_streams", Cat({Bytes{0x00, 0x01}, okiFile}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    gOut = argv[1];
    FrameSeeds();
    CapabilitySeeds();
    KL2RecordSeeds();
    SessionSeeds();
    VGMSeeds();
    return 0;
}
