#include "routing/KLINKRouter.h"

#include <exception>

#include "common/Errors.h"
#include "protocol/KLINKCodec.h"

namespace klink {

namespace {

// Rethrows the exception being handled as the same kind with `prefix` before
// its message, so callers still tell a cancellation from a failed reply.
[[noreturn]] void RethrowPrefixed(const std::string& prefix) {
    try {
        throw;
    } catch (const OSError& e) {
        throw OSError(e.code(), prefix + e.what());
    } catch (const ReadError& e) {
        throw ReadError(prefix + e.what());
    } catch (const WriteError& e) {
        throw WriteError(prefix + e.what());
    } catch (const AbortError& e) {
        throw AbortError(prefix + e.what());
    } catch (const ArgumentOutOfRange& e) {
        throw ArgumentOutOfRange(prefix + e.what());
    } catch (const std::exception& e) {
        throw Error(prefix + e.what());
    }
}

// Model strings of the boards that fence their start-up traffic.
bool NeedsStartupWindow(const std::string& model) { return model == "Keltra 2" || model == "Keltra 2.1"; }

const TKLINKRoutePlan kNoPlan;

}  // namespace

TKLINKRouter::TKLINKRouter(const TKLINKPorts& ports) : FPorts(ports) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        const platform::OSHandle handle = FPorts[static_cast<size_t>(i)].Handle;
        if (!IsConnectedPort(handle)) continue;
        auto link = std::make_unique<TKLINKSerialLink>();
        link->AttachPort(handle);
        FLinks[static_cast<size_t>(i)] = std::move(link);
        FWriters[static_cast<size_t>(i)] = std::make_unique<TBufferedSerialWriter>(handle);
    }
}

TKLINKRouter::~TKLINKRouter() {
    for (size_t i = 0; i < FLinks.size(); ++i) {
        FWriters[i].reset();
        FLinks[i].reset();
    }
    FPlan.reset();
}

TKLINKSerialLink* TKLINKRouter::Link(int32_t index) const noexcept {
    if (index < 0 || index >= kKLINKConnectionCount) return nullptr;
    return FLinks[static_cast<size_t>(index)].get();
}

TBufferedSerialWriter* TKLINKRouter::Writer(int32_t index) const noexcept {
    if (index < 0 || index >= kKLINKConnectionCount) return nullptr;
    return FWriters[static_cast<size_t>(index)].get();
}

bool TKLINKRouter::Uses(int32_t index) const noexcept {
    return FPlan && FPlan->UsesDevice(index) && FLinks[static_cast<size_t>(index)] != nullptr;
}

void TKLINKRouter::ProbeBoard(int32_t index, const TKLINKCancel& cancel) {
    TKLINKSerialLink& link = *FLinks[static_cast<size_t>(index)];
    TBufferedSerialWriter& writer = *FWriters[static_cast<size_t>(index)];
    const std::string& name = FPorts[static_cast<size_t>(index)].Name;
    try {
        link.Probe(writer, cancel);
        const std::string identity = link.DeviceInfo(writer, cancel);
        link.CheckCapabilities(writer, false, false, cancel);
        FDescription += name + " / " + identity + "\r\n" + link.Capabilities().Describe() + "\r\n";
    } catch (...) {
        RethrowPrefixed(name + ": ");
    }
}

void TKLINKRouter::Prepare(std::span<const TKLINKVGMTarget> targets, std::span<const TKLINKVGMClock> clocks,
                           uint32_t okiClock, const TKLINKCancel& cancel, bool useKL2DAC) {
    FDescription.clear();
    FPlan.reset();
    FDACCapabilities = {};

    TKLINKDeviceCapabilities caps{};
    TKLINKDeviceNames names{};
    int32_t connected = 0;
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        if (!FLinks[static_cast<size_t>(i)]) continue;
        ++connected;
        ProbeBoard(i, cancel);
        caps[static_cast<size_t>(i)] = &FLinks[static_cast<size_t>(i)]->Capabilities();
        names[static_cast<size_t>(i)] = FLinks[static_cast<size_t>(i)]->DeviceName();
    }
    if (connected == 0) throw WriteError("Connect at least one KLINK device before playback.");

    auto plan = std::make_unique<TKLINKRoutePlan>(
        TKLINKRoutePlan::Create(caps, names, targets, clocks, okiClock != 0, useKL2DAC));
    FPlan = std::move(plan);

    if (useKL2DAC && FPlan->DACDevice() >= 0) {
        const auto device = static_cast<size_t>(FPlan->DACDevice());
        const std::vector<uint8_t> reply =
            FLinks[device]->Request(*FWriters[device], KLINK_OP_DAC_CAPABILITIES, {}, cancel);
        FDACCapabilities.Decode(reply);
    }

    FDescription += "VGM routing (connection 1/2 = upper/lower COM selector):\r\n";
    FDescription += FPlan->Describe();
}

void TKLINKRouter::Start(std::span<const TKLINKVGMClock> clocks, uint32_t okiClock,
                         const TKLINKCancel& cancel) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        if (!Uses(i)) continue;
        const auto index = static_cast<size_t>(i);
        // Set before the reset: a board whose reset failed half-way is
        // reset again at stop.
        FResetRequired[index] = true;
        FLinks[index]->Reset(*FWriters[index], cancel);
        FLinks[index]->SetOutputVolume(*FWriters[index], 0, cancel, true);
    }

    const TKLINKRoutePlan& plan = FPlan ? *FPlan : kNoPlan;
    for (const TKLINKVGMClock& clock : clocks) {
        const int32_t device = plan.DeviceFor(clock.WriteID, clock.Instance, 0);
        if (device < 0 || !FLinks[static_cast<size_t>(device)]) throw WriteError("No clock route.");
        FLinks[static_cast<size_t>(device)]->SetChipClock(*FWriters[static_cast<size_t>(device)],
                                                          clock.WriteID, clock.Instance, clock.Hertz, cancel);
    }

    if (okiClock != 0) AudioLink().SetChipClock(AudioWriter(), kKLINKOKIWriteID, 0, okiClock, cancel);

    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i) && NeedsStartupWindow(FLinks[static_cast<size_t>(i)]->DeviceName()))
            FLinks[static_cast<size_t>(i)]->BeginStartup();
}

bool TKLINKRouter::Stop(std::string& report) {
    report.clear();
    bool ok = true;
    for (size_t i = 0; i < FWriters.size(); ++i) {
        if (!FWriters[i]) continue;
        if (FResetRequired[i]) {
            FResetRequired[i] = false;
            try {
                FLinks[i]->Reset(*FWriters[i]);
            } catch (const std::exception& e) {
                report += FPorts[i].Name + " RESET: " + e.what() + "; ";
                ok = false;
            }
        }
        FWriters[i]->Shutdown();
    }
    return ok;
}

int32_t TKLINKRouter::RegisterDevice(const TKLINKVGMTarget& target) const {
    const int32_t device = FPlan ? FPlan->DeviceFor(target.WriteID, target.Instance, target.Page) : -1;
    if (device < 0 || !FLinks[static_cast<size_t>(device)]) throw WriteError("No register route.");
    return device;
}

void TKLINKRouter::WriteRegisters(uint8_t writeID, uint8_t instance, uint8_t page,
                                  std::span<const uint8_t> data, const TKLINKCancel& cancel) {
    const auto device = static_cast<size_t>(RegisterDevice({writeID, instance, page}));
    FLinks[device]->WriteRegisters(*FWriters[device], writeID, instance, page, data, cancel);
}

void TKLINKRouter::SetVolume(uint8_t attenuation, const TKLINKCancel& cancel, bool waitForReply) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i))
            FLinks[static_cast<size_t>(i)]->SetOutputVolume(*FWriters[static_cast<size_t>(i)], attenuation,
                                                            cancel, waitForReply);
}

void TKLINKRouter::SynchronizeStartup(const TKLINKCancel& cancel) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i))
            FLinks[static_cast<size_t>(i)]->SynchronizeStartup(*FWriters[static_cast<size_t>(i)], cancel);
}

void TKLINKRouter::PreparePlayback() {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i)) FWriters[static_cast<size_t>(i)]->PreparePlayback();
}

void TKLINKRouter::Drain() {
    for (auto& writer : FWriters)
        if (writer) writer->Drain();
}

bool TKLINKRouter::IsDACRoute(const TKLINKVGMTarget& target) const noexcept {
    return FPlan && FPlan->DACDevice() >= 0 &&
           FPlan->DeviceFor(target.WriteID, target.Instance, target.Page) == FPlan->DACDevice();
}

int64_t TKLINKRouter::RegisterPendingBytes(const TKLINKVGMTarget& target) {
    return FWriters[static_cast<size_t>(RegisterDevice(target))]->PendingBytes();
}

TKLINKSerialLink& TKLINKRouter::DACLink() {
    if (!FPlan || FPlan->DACDevice() < 0 || !FLinks[static_cast<size_t>(FPlan->DACDevice())])
        throw WriteError("No KL2 DAC route.");
    return *FLinks[static_cast<size_t>(FPlan->DACDevice())];
}

TBufferedSerialWriter& TKLINKRouter::DACWriter() {
    if (!FPlan || FPlan->DACDevice() < 0 || !FWriters[static_cast<size_t>(FPlan->DACDevice())])
        throw WriteError("No KL2 DAC route.");
    return *FWriters[static_cast<size_t>(FPlan->DACDevice())];
}

TKLINKSerialLink& TKLINKRouter::AudioLink() {
    if (!FPlan || FPlan->AudioDevice() < 0 || !FLinks[static_cast<size_t>(FPlan->AudioDevice())])
        throw WriteError("No audio route.");
    return *FLinks[static_cast<size_t>(FPlan->AudioDevice())];
}

TBufferedSerialWriter& TKLINKRouter::AudioWriter() {
    if (!FPlan || FPlan->AudioDevice() < 0 || !FWriters[static_cast<size_t>(FPlan->AudioDevice())])
        throw WriteError("No audio route.");
    return *FWriters[static_cast<size_t>(FPlan->AudioDevice())];
}

}  // namespace klink
