// klinksim: simulated Keltra boards on pseudo-terminals, published in the
// port list, running until interrupted.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "SimBoard.h"
#include "common/Errors.h"
#include "common/Version.h"

namespace {

using namespace klink::sim;

uint64_t ParseNumber(const std::string& text, const std::string& what) {
    try {
        size_t used = 0;
        const uint64_t v = std::stoull(text, &used, 0);
        if (used == text.size()) return v;
    } catch (const std::logic_error&) {
    }
    throw CLI::ValidationError(what, "\"" + text + "\" is not a number");
}

klink::Opcode ParseOpcode(const std::string& text) {
    const uint64_t v = ParseNumber(text, "opcode");
    if (v > 0xFF) throw CLI::ValidationError("opcode", "\"" + text + "\" is above 0xFF");
    return static_cast<klink::Opcode>(v);
}

// "N" or "N@M": a value and an optional position.
std::pair<uint64_t, uint64_t> ValueAt(const std::string& text, const std::string& what) {
    const size_t at = text.find('@');
    if (at == std::string::npos) return {ParseNumber(text, what), 0};
    return {ParseNumber(text.substr(0, at), what), ParseNumber(text.substr(at + 1), what)};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulated Keltra boards: each board gets a pseudo-terminal that appears in the port list "
        "(as sim-<model>-<n>) and answers KLINK like the real board, at 115200 baud."};
    app.set_version_flag("--version", "klinksim " + std::string(klink::kProgramVersion));
    std::vector<std::string> models;
    std::vector<std::string> profiles;
    std::string tracePath;
    std::string wavPath;
    bool unthrottled = false;
    app.add_option("--board", models,
                   "Start a board of this model (\"Keltra 2\", \"Keltra 2.1\", \"Keltra 3\", "
                   "\"Keltra 4\"); repeat for more boards");
    app.add_option("--profile", profiles, "Start a board described by this JSON profile; repeatable")
        ->check(CLI::ExistingFile);
    app.add_option("--trace", tracePath, "Write what the boards do to this JSON Lines file");
    app.add_option("--wav", wavPath,
                   "Write what a board plays to this WAV file (with several boards: one file each, the port "
                   "name added before the extension)");
    app.add_flag("--unthrottled", unthrottled, "Do not pace the line at 115200 baud");

    SimFaults faults;
    std::vector<uint32_t> dropNth;
    std::vector<std::string> dropOpcode, corruptNth, statusRules, staleOpcode, emptyOpcode;
    uint32_t delayMs = 0;
    uint32_t latePingMs = 0;
    bool wrongEcho = false;
    std::string deviceInfo, capabilities, adpcmFault, dacFault;
    auto* f = app.add_option_group("Faults", "Make the boards misbehave (all boards alike)");
    f->add_option("--drop-reply", dropNth, "Send no reply to the Nth request (counted from 1)");
    f->add_option("--drop-opcode", dropOpcode, "Send no reply to requests with this opcode (e.g. 0x1C)");
    f->add_option("--delay-replies", delayMs, "Hold every reply back this many ms");
    f->add_option("--late-first-ping", latePingMs,
                  "Answer the first PING this many ms late, later ones at once");
    f->add_option("--corrupt-crc", corruptNth,
                  "Corrupt the CRC of the reply to the Nth request, or OP:N for the "
                  "Nth request with opcode OP, or OP:0 for all of them");
    f->add_option("--status", statusRules, "Answer requests with opcode OP with status S (OP=S)");
    f->add_option("--stale-request-id", staleOpcode,
                  "Reply to requests with opcode OP with the previous request ID");
    f->add_option("--empty-reply", emptyOpcode, "Reply to requests with opcode OP with no status byte");
    f->add_flag("--wrong-ping-echo", wrongEcho, "Echo PING payloads wrongly");
    f->add_option("--bad-device-info", deviceInfo, "Break DEVICE_INFO: short, model or firmware")
        ->check(CLI::IsMember({"short", "model", "firmware"}));
    f->add_option("--bad-capabilities", capabilities,
                  "Break the capability pages: changed, duplicate, clock, cyclic, length or payload")
        ->check(CLI::IsMember({"changed", "duplicate", "clock", "cyclic", "length", "payload"}));
    f->add_option("--stop-reading-after", faults.stopReadingAfterBytes,
                  "Stop taking bytes off the line after N");
    f->add_option("--hang-up-after", faults.hangUpAfterMs, "Close the line N ms after starting");
    f->add_option(
        "--adpcm-fault", adpcmFault,
        "Fail the ADPCM stream with these reason flags (e.g. 0x10), optionally after N bytes (FLAGS@N)");
    f->add_option("--dac-fault", dacFault,
                  "Stop the KL2 DAC with this fault code, optionally at tick N (CODE@N)");
    f->add_flag("--never-start", faults.neverStartStream,
                "Ignore STREAM_START, so the started bit never shows");

    CLI11_PARSE(app, argc, argv);

    try {
        for (uint32_t n : dropNth) faults.replies.push_back({SimReplyAction::kDrop, std::nullopt, n, 0, 0});
        for (const auto& op : dropOpcode)
            faults.replies.push_back({SimReplyAction::kDrop, ParseOpcode(op), 0, 0, 0});
        if (delayMs != 0) faults.replies.push_back({SimReplyAction::kDelay, std::nullopt, 0, delayMs, 0});
        if (latePingMs != 0)
            faults.replies.push_back({SimReplyAction::kDelay, klink::Opcode::kPing, 1, latePingMs, 0});
        for (const auto& rule : corruptNth) {
            const size_t colon = rule.find(':');
            if (colon == std::string::npos) {
                faults.replies.push_back({SimReplyAction::kCorruptCrc, std::nullopt,
                                          static_cast<uint32_t>(ParseNumber(rule, "request")), 0, 0});
            } else {
                faults.replies.push_back(
                    {SimReplyAction::kCorruptCrc, ParseOpcode(rule.substr(0, colon)),
                     static_cast<uint32_t>(ParseNumber(rule.substr(colon + 1), "request")), 0, 0});
            }
        }
        for (const auto& rule : statusRules) {
            const size_t eq = rule.find('=');
            if (eq == std::string::npos) throw CLI::ValidationError("--status", "expected OP=STATUS");
            const uint64_t status = ParseNumber(rule.substr(eq + 1), "status");
            if (status > 0xFF) throw CLI::ValidationError("--status", "status above 255");
            faults.replies.push_back({SimReplyAction::kStatus, ParseOpcode(rule.substr(0, eq)), 0, 0,
                                      static_cast<uint8_t>(status)});
        }
        for (const auto& op : staleOpcode) {
            faults.replies.push_back({SimReplyAction::kStaleRequestID, ParseOpcode(op), 0, 0, 0});
        }
        for (const auto& op : emptyOpcode) {
            faults.replies.push_back({SimReplyAction::kEmptyPayload, ParseOpcode(op), 0, 0, 0});
        }
        if (wrongEcho) faults.replies.push_back({SimReplyAction::kWrongEcho, klink::Opcode::kPing, 0, 0, 0});
        if (deviceInfo == "short") faults.deviceInfo = SimDeviceInfoFault::kShort;
        if (deviceInfo == "model") faults.deviceInfo = SimDeviceInfoFault::kModelLength;
        if (deviceInfo == "firmware") faults.deviceInfo = SimDeviceInfoFault::kFirmwareLength;
        if (capabilities == "changed") faults.capabilities = SimCapabilityFault::kHeaderChanged;
        if (capabilities == "duplicate") faults.capabilities = SimCapabilityFault::kDuplicateEntry;
        if (capabilities == "clock") faults.capabilities = SimCapabilityFault::kClockMismatch;
        if (capabilities == "cyclic") faults.capabilities = SimCapabilityFault::kSelfNext;
        if (capabilities == "length") faults.capabilities = SimCapabilityFault::kBadLength;
        if (capabilities == "payload") faults.capabilities = SimCapabilityFault::kSmallPayload;
        if (!adpcmFault.empty()) {
            const auto [flags, after] = ValueAt(adpcmFault, "--adpcm-fault");
            faults.adpcmFaultFlags = static_cast<uint32_t>(flags);
            faults.adpcmFaultAfterBytes = static_cast<uint32_t>(after);
        }
        if (!dacFault.empty()) {
            const auto [code, tick] = ValueAt(dacFault, "--dac-fault");
            if (code == 0 || code > 0xFF) throw CLI::ValidationError("--dac-fault", "code must be 1..255");
            faults.dacFaultCode = static_cast<uint8_t>(code);
            faults.dacFaultAtTick = tick;
        }
    } catch (const CLI::Error& e) {
        return app.exit(e);
    }

    std::vector<SimProfile> boards;
    try {
        for (const auto& m : models) {
            auto p = BuiltInProfile(m);
            if (!p) {
                std::fprintf(
                    stderr,
                    "klinksim: unknown model \"%s\" (known: Keltra 2, Keltra 2.1, Keltra 3, Keltra 4)\n",
                    m.c_str());
                return 2;
            }
            boards.push_back(std::move(*p));
        }
        for (const auto& file : profiles) boards.push_back(LoadProfile(file));
    } catch (const klink::Error& e) {
        std::fprintf(stderr, "klinksim: %s\n", e.what());
        return 2;
    }
    if (boards.empty()) {
        std::fprintf(stderr, "klinksim: name at least one --board or --profile\n");
        return 2;
    }

    // Signals are taken by this thread alone, so every board thread started
    // below inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<std::unique_ptr<SimBoard>> running;
    std::shared_ptr<SimTraceFile> trace;
    try {
        if (!tracePath.empty()) trace = std::make_shared<SimTraceFile>(tracePath);
        for (size_t i = 0; i < boards.size(); ++i) {
            SimBoardOptions options;
            options.throttled = !unthrottled;
            options.publish = true;
            options.keepTrace = false;
            options.traceFile = trace;
            options.faults = faults;
            options.wavPath = wavPath;
            options.wavPerBoard = boards.size() > 1;
            running.push_back(SimBoard::Start(boards[i], options));
        }
    } catch (const klink::Error& e) {
        std::fprintf(stderr, "klinksim: %s\n", e.what());
        return 1;
    }

    for (const auto& b : running) {
        std::printf("%s %s (%s)\n", b->PortName().c_str(), b->PortPath().c_str(), b->Profile().model.c_str());
    }
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    for (auto& b : running) b->Stop();
    if (trace) trace->Close();
    return 0;
}
