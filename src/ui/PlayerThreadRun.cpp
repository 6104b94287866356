// The playback thread behind the window's run interface.
#include "player/VGMPlayerThread.h"
#include "ui/PlaybackRun.h"

namespace klink {
namespace {

class PlayerThreadRun final : public PlaybackRun {
public:
    PlayerThreadRun(PlayerHost& host, const std::string& fileName, int32_t repeatCount, int32_t fadeSeconds,
                    PlaybackTiming timing)
        : thread_(host, fileName, repeatCount, fadeSeconds, timing) {}
    void Start() override { thread_.Start(); }
    void Stop() noexcept override { thread_.Stop(); }
    [[nodiscard]] bool Finished() const noexcept override { return thread_.Finished(); }
    bool WaitFor(uint32_t timeoutMs) override { return thread_.WaitFor(timeoutMs); }
    [[nodiscard]] int32_t PositionMS() const noexcept override { return thread_.PositionMS(); }
    [[nodiscard]] bool PlaybackCompleted() const noexcept override { return thread_.PlaybackCompleted(); }
    [[nodiscard]] std::string PlaybackError() const override { return thread_.PlaybackError(); }

private:
    VGMPlayerThread thread_;
};

}  // namespace

std::unique_ptr<PlaybackRun> CreateVGMPlayerRun(PlayerHost& host, const std::string& fileName,
                                                int32_t repeatCount, int32_t fadeSeconds,
                                                PlaybackTiming timing) {
    return std::make_unique<PlayerThreadRun>(host, fileName, repeatCount, fadeSeconds, timing);
}

}  // namespace klink
