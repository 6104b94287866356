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
        throw OSError(e.Code(), prefix + e.what());
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

const KLINKRoutePlan kNoPlan;

}  // namespace

KLINKRouter::KLINKRouter(const KLINKPorts& ports) : ports_(ports) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        const platform::OSHandle handle = ports_[static_cast<size_t>(i)].handle;
        if (!IsConnectedPort(handle)) continue;
        auto link = std::make_unique<KLINKSerialLink>();
        link->AttachPort(handle);
        links_[static_cast<size_t>(i)] = std::move(link);
        writers_[static_cast<size_t>(i)] = std::make_unique<BufferedSerialWriter>(handle);
    }
}

KLINKRouter::~KLINKRouter() {
    for (size_t i = 0; i < links_.size(); ++i) {
        writers_[i].reset();
        links_[i].reset();
    }
    plan_.reset();
}

KLINKSerialLink* KLINKRouter::Link(int32_t index) const noexcept {
    if (index < 0 || index >= kKLINKConnectionCount) return nullptr;
    return links_[static_cast<size_t>(index)].get();
}

BufferedSerialWriter* KLINKRouter::Writer(int32_t index) const noexcept {
    if (index < 0 || index >= kKLINKConnectionCount) return nullptr;
    return writers_[static_cast<size_t>(index)].get();
}

bool KLINKRouter::Uses(int32_t index) const noexcept {
    return plan_ && plan_->UsesDevice(index) && links_[static_cast<size_t>(index)] != nullptr;
}

void KLINKRouter::ProbeBoard(int32_t index, const KLINKCancel& cancel) {
    KLINKSerialLink& link = *links_[static_cast<size_t>(index)];
    BufferedSerialWriter& writer = *writers_[static_cast<size_t>(index)];
    const std::string& name = ports_[static_cast<size_t>(index)].name;
    try {
        link.Probe(writer, cancel);
        const std::string identity = link.DeviceInfo(writer, cancel);
        link.CheckCapabilities(writer, false, false, cancel);
        description_ += name + " / " + identity + "\r\n" + link.Capabilities().Describe() + "\r\n";
    } catch (...) {
        RethrowPrefixed(name + ": ");
    }
}

void KLINKRouter::Prepare(std::span<const KLINKVGMTarget> targets, std::span<const KLINKVGMClock> clocks,
                          uint32_t okiClock, const KLINKCancel& cancel, bool useKl2Dac) {
    description_.clear();
    plan_.reset();
    dacCapabilities_ = {};

    KLINKDeviceCapabilities caps{};
    KLINKDeviceNames names{};
    int32_t connected = 0;
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        if (!links_[static_cast<size_t>(i)]) continue;
        ++connected;
        ProbeBoard(i, cancel);
        caps[static_cast<size_t>(i)] = &links_[static_cast<size_t>(i)]->Capabilities();
        names[static_cast<size_t>(i)] = links_[static_cast<size_t>(i)]->DeviceName();
    }
    if (connected == 0) throw WriteError("Connect at least one KLINK device before playback.");

    auto plan = std::make_unique<KLINKRoutePlan>(
        KLINKRoutePlan::Create(caps, names, targets, clocks, okiClock != 0, useKl2Dac));
    plan_ = std::move(plan);

    if (useKl2Dac && plan_->DACDevice() >= 0) {
        const auto device = static_cast<size_t>(plan_->DACDevice());
        const std::vector<uint8_t> reply =
            links_[device]->Request(*writers_[device], Opcode::kDACCapabilities, {}, cancel);
        dacCapabilities_.Decode(reply);
    }

    description_ += "VGM routing (connection 1/2 = upper/lower COM selector):\r\n";
    description_ += plan_->Describe();
}

void KLINKRouter::Start(std::span<const KLINKVGMClock> clocks, uint32_t okiClock, const KLINKCancel& cancel) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        if (!Uses(i)) continue;
        const auto index = static_cast<size_t>(i);
        // Set before the reset: a board whose reset failed half-way is
        // reset again at stop.
        resetRequired_[index] = true;
        links_[index]->Reset(*writers_[index], cancel);
        links_[index]->SetOutputVolume(*writers_[index], 0, cancel, true);
    }

    const KLINKRoutePlan& plan = plan_ ? *plan_ : kNoPlan;
    for (const KLINKVGMClock& clock : clocks) {
        const int32_t device = plan.DeviceFor(clock.writeId, clock.instance, 0);
        if (device < 0 || !links_[static_cast<size_t>(device)]) throw WriteError("No clock route.");
        links_[static_cast<size_t>(device)]->SetChipClock(*writers_[static_cast<size_t>(device)],
                                                          clock.writeId, clock.instance, clock.hertz, cancel);
    }

    if (okiClock != 0) AudioLink().SetChipClock(AudioWriter(), kKLINKOKIWriteID, 0, okiClock, cancel);

    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i) && NeedsStartupWindow(links_[static_cast<size_t>(i)]->DeviceName()))
            links_[static_cast<size_t>(i)]->BeginStartup();
}

bool KLINKRouter::Stop(std::string& report) {
    report.clear();
    bool ok = true;
    for (size_t i = 0; i < writers_.size(); ++i) {
        if (!writers_[i]) continue;
        if (resetRequired_[i]) {
            resetRequired_[i] = false;
            try {
                links_[i]->Reset(*writers_[i]);
            } catch (const std::exception& e) {
                report += ports_[i].name + " RESET: " + e.what() + "; ";
                ok = false;
            }
        }
        writers_[i]->Shutdown();
    }
    return ok;
}

int32_t KLINKRouter::RegisterDevice(const KLINKVGMTarget& target) const {
    const int32_t device = plan_ ? plan_->DeviceFor(target.writeId, target.instance, target.page) : -1;
    if (device < 0 || !links_[static_cast<size_t>(device)]) throw WriteError("No register route.");
    return device;
}

void KLINKRouter::WriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page,
                                 std::span<const uint8_t> data, const KLINKCancel& cancel) {
    const auto device = static_cast<size_t>(RegisterDevice({writeId, instance, page}));
    links_[device]->WriteRegisters(*writers_[device], writeId, instance, page, data, cancel);
}

void KLINKRouter::SetVolume(uint8_t attenuation, const KLINKCancel& cancel, bool waitForReply) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i))
            links_[static_cast<size_t>(i)]->SetOutputVolume(*writers_[static_cast<size_t>(i)], attenuation,
                                                            cancel, waitForReply);
}

void KLINKRouter::SynchronizeStartup(const KLINKCancel& cancel) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i))
            links_[static_cast<size_t>(i)]->SynchronizeStartup(*writers_[static_cast<size_t>(i)], cancel);
}

void KLINKRouter::PreparePlayback() {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i)) writers_[static_cast<size_t>(i)]->PreparePlayback();
}

void KLINKRouter::Drain() {
    for (auto& writer : writers_)
        if (writer) writer->Drain();
}

bool KLINKRouter::IsDACRoute(const KLINKVGMTarget& target) const noexcept {
    return plan_ && plan_->DACDevice() >= 0 &&
           plan_->DeviceFor(target.writeId, target.instance, target.page) == plan_->DACDevice();
}

int64_t KLINKRouter::RegisterPendingBytes(const KLINKVGMTarget& target) {
    return writers_[static_cast<size_t>(RegisterDevice(target))]->PendingBytes();
}

KLINKSerialLink& KLINKRouter::DACLink() {
    if (!plan_ || plan_->DACDevice() < 0 || !links_[static_cast<size_t>(plan_->DACDevice())])
        throw WriteError("No KL2 DAC route.");
    return *links_[static_cast<size_t>(plan_->DACDevice())];
}

BufferedSerialWriter& KLINKRouter::DACWriter() {
    if (!plan_ || plan_->DACDevice() < 0 || !writers_[static_cast<size_t>(plan_->DACDevice())])
        throw WriteError("No KL2 DAC route.");
    return *writers_[static_cast<size_t>(plan_->DACDevice())];
}

KLINKSerialLink& KLINKRouter::AudioLink() {
    if (!plan_ || plan_->AudioDevice() < 0 || !links_[static_cast<size_t>(plan_->AudioDevice())])
        throw WriteError("No audio route.");
    return *links_[static_cast<size_t>(plan_->AudioDevice())];
}

BufferedSerialWriter& KLINKRouter::AudioWriter() {
    if (!plan_ || plan_->AudioDevice() < 0 || !writers_[static_cast<size_t>(plan_->AudioDevice())])
        throw WriteError("No audio route.");
    return *writers_[static_cast<size_t>(plan_->AudioDevice())];
}

}  // namespace klink
