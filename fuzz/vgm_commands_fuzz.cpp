// The command walker and the register decoder over arbitrary command data,
// and the one-walk scan against the three separate walks it stands for.
// The first two input bytes choose where the commands start.

#include <optional>
#include <span>
#include <string>

#include "FuzzSupport.h"
#include "common/Errors.h"
#include "vgm/KLINKVGM.h"
#include "vgm/VGMCommand.h"

namespace {

// Walks with both readers side by side from `start` to the end command or
// the first failure. Every command must move on by at least one byte.
void Walk(std::span<const uint8_t> bytes, uint32_t start) {
    uint32_t walkerAt = start;
    uint32_t decoderAt = start;
    bool walkerOk = true;
    bool decoderOk = true;
    while (walkerOk || decoderOk) {
        const uint32_t before = walkerAt;
        std::optional<klink::VGMCommandKind> walked;
        if (walkerOk) {
            try {
                uint8_t reg = 0, value = 0;
                uint32_t wait = 0;
                walked = klink::NextVGMCommand(bytes, walkerAt, reg, value, wait);
                FUZZ_CHECK(walkerAt > before && walkerAt <= bytes.size());
                if (*walked != klink::VGMCommandKind::kWait) FUZZ_CHECK(wait == 0);
            } catch (const klink::ReadError&) {
                walkerOk = false;
            }
        }
        std::optional<klink::VGMDecodeKind> decoded;
        if (decoderOk) {
            FUZZ_CHECK(decoderAt == before || !walkerOk);
            try {
                klink::KLINKVGMTarget target{};
                uint8_t reg = 0, value = 0;
                uint32_t wait = 0;
                const uint32_t from = decoderAt;
                decoded = klink::DecodeRegisterCommand(bytes, decoderAt, target, reg, value, wait);
                FUZZ_CHECK(decoderAt > from && decoderAt <= bytes.size());
            } catch (const klink::ReadError&) {
                decoderOk = false;
            }
        }
        // The decoder's checks include the walker's: what it reads, the walker
        // reads the same way.
        if (decoded) {
            FUZZ_CHECK(walked.has_value());
            FUZZ_CHECK(decoderAt == walkerAt);
            FUZZ_CHECK((*decoded == klink::VGMDecodeKind::kEnd) == (*walked == klink::VGMCommandKind::kEnd));
        }
        if (walked && *walked == klink::VGMCommandKind::kEnd) walkerOk = false;
        if (decoded && *decoded == klink::VGMDecodeKind::kEnd) decoderOk = false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    klink::fuzz::InputReader in(data, size);
    const uint16_t start = in.LE16();
    const std::span<const uint8_t> bytes = in.Rest();

    Walk(bytes, start);

    // The one-walk scan equals the three walks in order, first failure included.
    std::optional<klink::VGMCommandScan> scan;
    std::string scanError;
    try {
        scan = klink::ScanVGMCommands(bytes, start);
    } catch (const klink::ReadError& e) {
        scanError = e.what();
    }
    if (start < bytes.size()) {
        std::optional<klink::VGMCommandScan> separate;
        try {
            klink::VGMCommandScan s;
            s.targetsAndClocks = klink::CollectTargetsAndClocks(bytes, start);
            s.usesOkiStream = klink::UsesOKIStream(bytes, start);
            s.usesKl2Dac = klink::UsesKL2DAC(bytes, start);
            separate = s;
        } catch (const klink::ReadError& e) {
            FUZZ_CHECK(scanError == e.what());
        }
        FUZZ_CHECK(scan.has_value() == separate.has_value());
        if (scan) {
            FUZZ_CHECK(scan->targetsAndClocks.targets == separate->targetsAndClocks.targets);
            FUZZ_CHECK(scan->targetsAndClocks.clocks == separate->targetsAndClocks.clocks);
            FUZZ_CHECK(scan->usesOkiStream == separate->usesOkiStream);
            FUZZ_CHECK(scan->usesKl2Dac == separate->usesKl2Dac);
        }
    }
    return 0;
}
