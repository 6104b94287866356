// The playback thread behind the window's run interface.
#include "player/VGMPlayerThread.h"
#include "ui/PlaybackRun.h"

namespace klink {
namespace {

class TPlayerThreadRun final : public IPlaybackRun {
public:
    TPlayerThreadRun(IPlayerHost& host, const std::string& fileName, int32_t repeatCount, int32_t fadeSeconds)
        : FThread(host, fileName, repeatCount, fadeSeconds) {}
    void Start() override { FThread.Start(); }
    void Stop() noexcept override { FThread.Stop(); }
    [[nodiscard]] bool Finished() const noexcept override { return FThread.Finished(); }
    bool WaitFor(uint32_t timeoutMs) override { return FThread.WaitFor(timeoutMs); }
    [[nodiscard]] int32_t PositionMS() const noexcept override { return FThread.PositionMS(); }
    [[nodiscard]] bool PlaybackCompleted() const noexcept override { return FThread.PlaybackCompleted(); }
    [[nodiscard]] std::string PlaybackError() const override { return FThread.PlaybackError(); }

private:
    TVGMPlayerThread FThread;
};

}  // namespace

std::unique_ptr<IPlaybackRun> CreateVGMPlayerRun(IPlayerHost& host, const std::string& fileName,
                                                 int32_t repeatCount, int32_t fadeSeconds) {
    return std::make_unique<TPlayerThreadRun>(host, fileName, repeatCount, fadeSeconds);
}

}  // namespace klink
