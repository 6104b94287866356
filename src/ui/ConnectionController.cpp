#include "ui/ConnectionController.h"

#include <QPushButton>
#include <QTimer>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/SerialPortList.h"
#include "ui/ConnectionPanel.h"
#include "ui/PortComboBox.h"
#include "ui/WindowRules.h"

namespace klink {
namespace {

// A scope guard for the "also when a step fails" rules.
template <typename F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;
    ~Finally() { f_(); }

private:
    F f_;
};

}  // namespace

ConnectionController::ConnectionController(ConnectionPanel& panel, std::function<void()> stopPlayback,
                                           QObject* parent)
    : QObject(parent), panel_(panel), stopPlayback_(std::move(stopPlayback)) {
    SetupDriver(0);
    SetupDriver(1);
}

ConnectionController::~ConnectionController() {
    // The drivers close their ports when destroyed; their polling timers go
    // with this object and must not be called back by then.
    for (CommPortDriver& driver : drivers_) {
        driver.onPollingTimer = nullptr;
        driver.Disconnect();
    }
}

void ConnectionController::SetupDriver(size_t slot) {
    CommPortDriver& driver = drivers_[slot];
    QTimer* pollTimer = new QTimer(this);
    pollTimers_[slot] = pollTimer;
    driver.SetPortName("");
    driver.SetBaudRateValue(115200);
    ConfigureForKLINK(driver);
    // Whatever a board sends while no playback runs is dropped.
    driver.onReceiveData = [](CommPortDriver&, const uint8_t*, uint32_t) {};
    driver.onPollingTimer = [pollTimer](CommPortDriver&, bool running, uint32_t periodMs) {
        if (running) {
            pollTimer->start(static_cast<int>(periodMs));
        } else {
            pollTimer->stop();
        }
    };
    connect(pollTimer, &QTimer::timeout, this, [&driver] { driver.PollTick(); });
}

CommPortDriver& ConnectionController::GetPortDriver(int index) { return drivers_[Slot(index)]; }
PortComboBox* ConnectionController::GetPortCombo(int index) const { return panel_.PortCombo(index); }
QPushButton* ConnectionController::GetConnectButton(int index) const { return panel_.ConnectButton(index); }

void ConnectionController::RefreshPortNameCache() {
    std::lock_guard lock(portNameLock_);
    portNames_[0] = GetPortCombo(0)->currentText().toStdString();
    portNames_[1] = GetPortCombo(1)->currentText().toStdString();
}

void ConnectionController::ScanComPorts() {
    std::string wanted[2];
    for (int i = 0; i < 2; ++i) {
        QComboBox* combo = GetPortCombo(i);
        wanted[i] =
            combo->currentIndex() >= 0 ? combo->currentText().toStdString() : preferredPorts_[Slot(i)];
    }
    std::vector<std::string> names;
    for (const platform::SerialPortEntry& entry : platform::ListSerialPorts()) {
        names.push_back(entry.name);
    }
    QStringList items;
    for (const std::string& name : names) {
        items << QString::fromStdString(name);
    }

    updatingPortList_ = true;
    Finally done([this] {
        updatingPortList_ = false;
        RefreshPortNameCache();
    });
    for (int i = 0; i < 2; ++i) {
        QComboBox* combo = GetPortCombo(i);
        combo->setUpdatesEnabled(false);
        combo->clear();
        combo->addItems(items);
        combo->setCurrentIndex(ChoosePortItem(names, wanted[i]));
        combo->setUpdatesEnabled(true);
        if (combo->currentIndex() >= 0) {
            preferredPorts_[Slot(i)] = combo->currentText().toStdString();
        }
        CommPortDriver& driver = GetPortDriver(i);
        // An open connection keeps its port even if the port left the list.
        if (!driver.Connected()) {
            driver.SetPortName(combo->currentIndex() >= 0
                                   ? platform::SerialPortPath(combo->currentText().toStdString())
                                   : std::string());
        }
    }
}

void ConnectionController::ConnectButtonClick(int index) {
    CommPortDriver& driver = GetPortDriver(index);
    QComboBox* combo = GetPortCombo(index);
    const std::string text = combo->currentText().toStdString();
    if (!driver.Connected()) {
        if (combo->currentIndex() < 0) {
            emit logLine(QStringLiteral("使用可能なCOMポートを選択してください。"));
            return;
        }
        const CommPortDriver& other = GetPortDriver(index == 0 ? 1 : 0);
        if (other.Connected() && SameTextIgnoringCase(other.PortName(), platform::SerialPortPath(text))) {
            emit logLine(QStringLiteral("同じCOMポートへ重複接続できません。"));
            return;
        }
    }
    stopPlayback_();
    if (driver.Connected()) {
        driver.Disconnect();
    } else {
        preferredPorts_[Slot(index)] = text;
        // A port that does not open shows as closed below; nothing else reports it.
        (void)ConnectAtLineRate(driver, platform::SerialPortPath(text));
    }
    const QString name = QString::fromStdString(text);
    panel_.ShowConnected(index, driver.Connected());
    emit logLine(name + (driver.Connected() ? QStringLiteral(": 接続成功") : QStringLiteral(": 切断")));
}

void ConnectionController::PortComboChange(int index) {
    QComboBox* combo = GetPortCombo(index);
    RefreshPortNameCache();
    if (updatingPortList_ || combo->currentIndex() < 0) {
        return;
    }
    const std::string text = combo->currentText().toStdString();
    preferredPorts_[Slot(index)] = text;
    stopPlayback_();
    CommPortDriver& driver = GetPortDriver(index);
    if (driver.Connected()) {
        driver.Disconnect();
    }
    if (!driver.Connected()) {
        driver.SetPortName(platform::SerialPortPath(text));
        panel_.ShowConnected(index, false);
    }
}

std::optional<int> ConnectionController::FindLostConnection() const {
    for (int i = 0; i < 2; ++i) {
        const CommPortDriver& driver = drivers_[Slot(i)];
        if (driver.Connected() && driver.IsPolling() && !serialInputPaused_[Slot(i)] &&
            !platform::SerialPortPresent(driver.Handle())) {
            return i;
        }
    }
    return std::nullopt;
}

void ConnectionController::CloseLostConnection(int index) {
    GetPortDriver(index).Disconnect();
    panel_.ShowConnected(index, false);
}

void ConnectionController::PauseOpenConnections() {
    for (int i = 0; i < 2; ++i) {
        if (GetPortDriver(i).Connected()) {
            GetPortDriver(i).PausePolling();
            serialInputPaused_[Slot(i)] = true;
        }
    }
}

void ConnectionController::ResumePausedPolling() {
    for (int i = 0; i < 2; ++i) {
        if (serialInputPaused_[Slot(i)]) {
            GetPortDriver(i).ContinuePolling();
            serialInputPaused_[Slot(i)] = false;
        }
    }
}

bool ConnectionController::PortConnected(int index) const { return drivers_[Slot(index)].Connected(); }

platform::OSHandle ConnectionController::PortHandle(int index) const {
    return drivers_[Slot(index)].Handle();
}

std::string ConnectionController::PortName(int index) const {
    std::lock_guard lock(portNameLock_);
    return portNames_[Slot(index)];
}

void ConnectionController::SetPreferredPorts(const std::string& first, const std::string& second) {
    preferredPorts_[0] = first;
    preferredPorts_[1] = second;
}

std::string ConnectionController::SessionPort(int index) const {
    const QComboBox* combo = GetPortCombo(index);
    return combo->currentIndex() >= 0 ? combo->currentText().toStdString() : preferredPorts_[Slot(index)];
}

}  // namespace klink
