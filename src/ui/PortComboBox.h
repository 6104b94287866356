#pragma once
// A port selector that asks for a fresh port list each time it opens.

#include <QComboBox>

namespace klink {

class PortComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;

    void showPopup() override {
        emit dropDown();
        QComboBox::showPopup();
    }

signals:
    // Emitted just before the list opens.
    void dropDown();
};

}  // namespace klink
