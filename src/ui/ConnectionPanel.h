#pragma once
// The connection panel at the window's top left: a row per board connection
// (heading, port selector, connect button), the rescan button, and the log
// pane below them. It only shows and reports; ConnectionController acts.

#include <QGroupBox>
#include <array>

class QLabel;
class QPushButton;

namespace klink {

class LogPanel;
class PortComboBox;

class ConnectionPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit ConnectionPanel(QWidget* parent = nullptr);

    // Index 0 is connection 1 (the upper row), any other index connection 2.
    [[nodiscard]] PortComboBox* PortCombo(int index) const { return portCombos_[Row(index)]; }
    [[nodiscard]] QPushButton* ConnectButton(int index) const { return connectButtons_[Row(index)]; }
    [[nodiscard]] LogPanel* Log() const noexcept { return log_; }
    // The button reads "切断" while the connection is open, "接続" while closed.
    void ShowConnected(int index, bool connected);

signals:
    void connectClicked(int index);
    void portSelected(int index);
    // A selector is about to open its list, or the rescan button was clicked.
    void rescanRequested();

private:
    [[nodiscard]] static size_t Row(int index) noexcept { return index == 0 ? 0 : 1; }

    std::array<QLabel*, 2> connectionLabels_{};
    std::array<PortComboBox*, 2> portCombos_{};
    std::array<QPushButton*, 2> connectButtons_{};
    QPushButton* rescanButton_ = nullptr;
    LogPanel* log_ = nullptr;
};

}  // namespace klink
