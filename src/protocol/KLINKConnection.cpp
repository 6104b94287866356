#include "protocol/KLINKConnection.h"

#include <utility>

namespace klink {

KLINKConnection::KLINKConnection(platform::OSHandle port, KLINKLinkClock clock)
    : KLINKConnection(std::make_unique<BufferedSerialWriter>(port), port, std::move(clock)) {}

KLINKConnection::KLINKConnection(std::unique_ptr<BufferedSerialWriter> writer, platform::OSHandle port,
                                 KLINKLinkClock clock)
    : writer_(std::move(writer)), link_(*writer_, std::move(clock)) {
    link_.AttachPort(port);
}

}  // namespace klink
