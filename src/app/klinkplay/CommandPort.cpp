#include "app/klinkplay/CommandPort.h"

#include <exception>

#include "common/Errors.h"
#include "platform/SerialPortList.h"

namespace klinkplay {

TCommandPort::TCommandPort() {
    klink::ApplyFormDriverSettings(FDriver);
    // Only the first report matters: it is the reason Connect failed.
    FDriver.OnError = [this](klink::TCommPortDriver&, uint16_t, const std::string& text) {
        if (FError.empty()) FError = text;
    };
    FDriver.OnReceiveData = [](klink::TCommPortDriver&, const uint8_t*, uint32_t) {};
}

TCommandPort::~TCommandPort() { FDriver.Disconnect(); }

void TCommandPort::Open(const std::string& name) {
    FError.clear();
    bool connected = false;
    try {
        connected = klink::ConnectAtLineRate(FDriver, klink::platform::SerialPortPath(name));
    } catch (const std::exception& e) {
        throw klink::Error(name + ": " + e.what());
    }
    if (!connected) {
        throw klink::Error(name + ": " + (FError.empty() ? std::string("The port could not be opened.") : FError));
    }
    FName = name;
}

}  // namespace klinkplay
