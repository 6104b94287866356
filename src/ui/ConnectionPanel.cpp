#include "ui/ConnectionPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/LogPanel.h"
#include "ui/PortComboBox.h"

namespace klink {

ConnectionPanel::ConnectionPanel(QWidget* parent) : QGroupBox(parent) {
    setObjectName(QStringLiteral("connectionPanel"));
    setFixedWidth(360);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);

    // The object names of the buttons are the ones the tests look up.
    const char* const buttonNames[2] = {"btnConnect", "Button1"};
    // Created in tab order: the first row, the rescan button, the second row, the log.
    for (int i = 0; i < 2; ++i) {
        const size_t r = Row(i);
        connectionLabels_[r] = new QLabel(QStringLiteral("KLINK %1").arg(i + 1), this);
        connectionLabels_[r]->setObjectName(QStringLiteral("connectionLabel%1").arg(i + 1));
        portCombos_[r] = new PortComboBox(this);
        portCombos_[r]->setObjectName(QStringLiteral("portCombo%1").arg(i + 1));
        portCombos_[r]->setEditable(false);
        portCombos_[r]->setMinimumWidth(150);
        portCombos_[r]->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        connectButtons_[r] = new QPushButton(QStringLiteral("接続"), this);
        connectButtons_[r]->setObjectName(QString::fromLatin1(buttonNames[r]));
        grid->addWidget(connectionLabels_[r], i, 0);
        grid->addWidget(portCombos_[r], i, 1);
        grid->addWidget(connectButtons_[r], i, 2);
        if (i == 0) {
            rescanButton_ = new QPushButton(QStringLiteral("再スキャン"), this);
            rescanButton_->setObjectName(QStringLiteral("btnRefresh"));
        }

        connect(connectButtons_[r], &QPushButton::clicked, this, [this, i] { emit connectClicked(i); });
        connect(portCombos_[r], &QComboBox::currentIndexChanged, this, [this, i] { emit portSelected(i); });
        connect(portCombos_[r], &PortComboBox::dropDown, this, [this] { emit rescanRequested(); });
    }
    connect(rescanButton_, &QPushButton::clicked, this, [this] { emit rescanRequested(); });
    log_ = new LogPanel(this);

    grid->addWidget(rescanButton_, 2, 2);
    grid->addWidget(log_, 3, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);
}

void ConnectionPanel::ShowConnected(int index, bool connected) {
    ConnectButton(index)->setText(connected ? QStringLiteral("切断") : QStringLiteral("接続"));
}

}  // namespace klink
