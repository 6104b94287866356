#include "app/klinkplay/CommandPort.h"

#include <exception>

#include "common/Errors.h"
#include "platform/SerialPortList.h"

namespace klinkplay {

CommandPort::CommandPort() {
    klink::ConfigureForKLINK(driver_);
    // Only the first report matters: it is the reason Connect failed.
    driver_.onError = [this](klink::CommPortDriver&, uint16_t, const std::string& text) {
        if (error_.empty()) error_ = text;
    };
    driver_.onReceiveData = [](klink::CommPortDriver&, const uint8_t*, uint32_t) {};
}

CommandPort::~CommandPort() { driver_.Disconnect(); }

void CommandPort::Open(const std::string& name) {
    error_.clear();
    bool connected = false;
    try {
        connected = klink::ConnectAtLineRate(driver_, klink::platform::SerialPortPath(name));
    } catch (const std::exception& e) {
        throw klink::Error(name + ": " + e.what());
    }
    if (!connected) {
        throw klink::Error(name + ": " +
                           (error_.empty() ? std::string("The port could not be opened.") : error_));
    }
    name_ = name;
}

}  // namespace klinkplay
