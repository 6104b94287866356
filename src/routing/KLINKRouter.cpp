#include "routing/KLINKRouter.h"

#include <exception>

#include "common/Errors.h"
#include "protocol/KLINKCodec.h"
#include "vgm/VGMChips.h"

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
    for (size_t i = 0; i < connections_.size(); ++i) {
        const platform::OSHandle handle = ports_[i].handle;
        if (IsConnectedPort(handle)) connections_[i].emplace(handle);
    }
}

KLINKRouter::~KLINKRouter() {
    for (auto& connection : connections_) connection.reset();
    plan_.reset();
}

KLINKConnection* KLINKRouter::Connection(int32_t index) noexcept {
    if (index < 0 || index >= kKLINKConnectionCount) return nullptr;
    auto& connection = connections_[static_cast<size_t>(index)];
    return connection ? &*connection : nullptr;
}

bool KLINKRouter::Uses(int32_t index) const noexcept {
    return plan_ && plan_->UsesDevice(index) && connections_[static_cast<size_t>(index)].has_value();
}

void KLINKRouter::ProbeBoard(int32_t index, const KLINKCancel& cancel) {
    KLINKConnection& connection = *connections_[static_cast<size_t>(index)];
    const std::string& name = ports_[static_cast<size_t>(index)].name;
    try {
        connection.Probe(cancel);
        const std::string identity = connection.DeviceInfo(cancel);
        connection.CheckCapabilities(false, false, cancel);
        description_ += name + " / " + identity + "\r\n" + connection.Capabilities().Describe() + "\r\n";
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
        const auto index = static_cast<size_t>(i);
        if (!connections_[index]) continue;
        ++connected;
        ProbeBoard(i, cancel);
        caps[index] = &connections_[index]->Capabilities();
        names[index] = connections_[index]->DeviceName();
    }
    if (connected == 0) throw WriteError("Connect at least one KLINK device before playback.");
    probeText_ = description_;
    BuildPlan(caps, names, targets, clocks, okiClock, cancel, useKl2Dac);
}

void KLINKRouter::Replan(std::span<const KLINKVGMTarget> targets, std::span<const KLINKVGMClock> clocks,
                         uint32_t okiClock, const KLINKCancel& cancel, bool useKl2Dac) {
    if (!plan_) throw WriteError("No route plan.");
    KLINKDeviceCapabilities caps{};
    KLINKDeviceNames names{};
    for (size_t i = 0; i < connections_.size(); ++i) {
        if (!connections_[i]) continue;
        caps[i] = &connections_[i]->Capabilities();
        names[i] = connections_[i]->DeviceName();
    }
    BuildPlan(caps, names, targets, clocks, okiClock, cancel, useKl2Dac);
}

void KLINKRouter::BuildPlan(const KLINKDeviceCapabilities& caps, const KLINKDeviceNames& names,
                            std::span<const KLINKVGMTarget> targets, std::span<const KLINKVGMClock> clocks,
                            uint32_t okiClock, const KLINKCancel& cancel, bool useKl2Dac) {
    // Built whole before it replaces the current plan: a refused plan leaves
    // the router as it was.
    auto plan = std::make_unique<KLINKRoutePlan>(
        KLINKRoutePlan::Create(caps, names, targets, clocks, okiClock != 0, useKl2Dac));
    KL2DACCapabilities dacCapabilities;
    if (useKl2Dac && plan->DACDevice() >= 0) {
        const std::vector<uint8_t> reply = RoutedConnection(plan->DACDevice(), "No KL2 DAC route.")
                                               .Request(Opcode::kDACCapabilities, {}, cancel);
        dacCapabilities.Decode(reply);
    }
    plan_ = std::move(plan);
    dacCapabilities_ = dacCapabilities;
    description_ = probeText_ + "VGM routing (connection 1/2 = upper/lower COM selector):\r\n";
    description_ += plan_->Describe();
}

void KLINKRouter::Start(std::span<const KLINKVGMClock> clocks, uint32_t okiClock, const KLINKCancel& cancel) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i) {
        if (!Uses(i)) continue;
        const auto index = static_cast<size_t>(i);
        // Set before the reset: a board whose reset failed half-way is
        // reset again at stop.
        resetRequired_[index] = true;
        connections_[index]->Reset(cancel);
        connections_[index]->SetOutputVolume(0, cancel, true);
    }

    const KLINKRoutePlan& plan = plan_ ? *plan_ : kNoPlan;
    for (const KLINKVGMClock& clock : clocks) {
        KLINKConnection& connection =
            RoutedConnection(plan.DeviceFor(clock.writeId, clock.instance, 0), "No clock route.");
        connection.SetChipClock(clock.writeId, clock.instance, clock.hertz, cancel);
    }

    if (okiClock != 0) AudioConnection().SetChipClock(kWriteOKIM6258, 0, okiClock, cancel);

    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i) && NeedsStartupWindow(connections_[static_cast<size_t>(i)]->DeviceName()))
            connections_[static_cast<size_t>(i)]->BeginStartup();
}

void KLINKRouter::Stop() {
    std::string report;
    for (size_t i = 0; i < connections_.size(); ++i) {
        if (!connections_[i]) continue;
        if (resetRequired_[i]) {
            resetRequired_[i] = false;
            try {
                connections_[i]->Reset();
            } catch (const std::exception& e) {
                report += ports_[i].name + " RESET: " + e.what() + "; ";
            }
        }
        connections_[i]->Shutdown();
    }
    if (!report.empty()) throw WriteError("KLINK stop failed: " + report);
}

KLINKConnection& KLINKRouter::RoutedConnection(int32_t device, const char* noRoute) {
    KLINKConnection* connection = Connection(device);
    if (connection == nullptr) throw WriteError(noRoute);
    return *connection;
}

KLINKConnection& KLINKRouter::RegisterConnection(const KLINKVGMTarget& target) {
    return RoutedConnection(plan_ ? plan_->DeviceFor(target.writeId, target.instance, target.page) : -1,
                            "No register route.");
}

void KLINKRouter::WriteRegisters(uint8_t writeId, uint8_t instance, uint8_t page,
                                 std::span<const uint8_t> data, const KLINKCancel& cancel) {
    RegisterConnection({writeId, instance, page}).WriteRegisters(writeId, instance, page, data, cancel);
}

void KLINKRouter::SetVolume(uint8_t attenuation, const KLINKCancel& cancel, bool waitForReply) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i)) connections_[static_cast<size_t>(i)]->SetOutputVolume(attenuation, cancel, waitForReply);
}

void KLINKRouter::SynchronizeStartup(const KLINKCancel& cancel) {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i)) connections_[static_cast<size_t>(i)]->SynchronizeStartup(cancel);
}

void KLINKRouter::PreparePlayback() {
    for (int32_t i = 0; i < kKLINKConnectionCount; ++i)
        if (Uses(i)) connections_[static_cast<size_t>(i)]->PreparePlayback();
}

void KLINKRouter::Drain() {
    for (auto& connection : connections_)
        if (connection) connection->Drain();
}

bool KLINKRouter::IsDACRoute(const KLINKVGMTarget& target) const noexcept {
    return plan_ && plan_->DACDevice() >= 0 &&
           plan_->DeviceFor(target.writeId, target.instance, target.page) == plan_->DACDevice();
}

int64_t KLINKRouter::RegisterPendingBytes(const KLINKVGMTarget& target) {
    return RegisterConnection(target).PendingBytes();
}

KLINKConnection& KLINKRouter::DACConnection() {
    return RoutedConnection(plan_ ? plan_->DACDevice() : -1, "No KL2 DAC route.");
}

KLINKConnection& KLINKRouter::AudioConnection() {
    return RoutedConnection(plan_ ? plan_->AudioDevice() : -1, "No audio route.");
}

}  // namespace klink
