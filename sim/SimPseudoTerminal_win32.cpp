// Windows has no pseudo-terminals, so a simulated board has no line to
// serve: starting one fails with this message, and the rest of the board
// model still builds for the programs that link it.
#include "SimPseudoTerminal.h"
#include "common/Errors.h"

namespace klink::sim {
namespace {

constexpr int kNotSupported = 50;  // ERROR_NOT_SUPPORTED

[[noreturn]] void ThrowNoPseudoTerminals() {
    throw OSError(kNotSupported, "Simulated boards need pseudo-terminals, which this system does not have.");
}

}  // namespace

SimPseudoTerminal::SimPseudoTerminal() { ThrowNoPseudoTerminals(); }
SimPseudoTerminal::~SimPseudoTerminal() = default;
void SimPseudoTerminal::MakeRaw() noexcept {}
size_t SimPseudoTerminal::Read(std::span<uint8_t>, bool& hungUp) {
    hungUp = true;
    return 0;
}
size_t SimPseudoTerminal::Write(std::span<const uint8_t>) { return 0; }
bool SimPseudoTerminal::HungUp() const { return true; }
size_t SimPseudoTerminal::Discard() { return 0; }
SimWaitResult SimPseudoTerminal::Wait(int64_t, bool, bool) { return SimWaitResult::kHungUp; }
void SimPseudoTerminal::Wake() noexcept {}
void SimPseudoTerminal::Close() noexcept {}

SimPortClaim::SimPortClaim(const std::string&, const std::string&) { ThrowNoPseudoTerminals(); }
SimPortClaim::~SimPortClaim() = default;
void SimPortClaim::Release() noexcept {}

}  // namespace klink::sim
