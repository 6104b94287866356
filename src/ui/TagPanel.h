#pragma once
// The tag panel: the ten GD3 strings of the file being played in read-only
// fields, in GD3 order, and the notes (the eleventh) in a read-only text box.

#include <QGroupBox>
#include <array>

#include "vgm/VGMHeader.h"

class QLineEdit;
class QPlainTextEdit;

namespace klink {

class TagPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit TagPanel(QWidget* parent = nullptr);

    void Clear();
    void Show(const GD3Strings& gd3);

private:
    std::array<QLineEdit*, 10> tagEdits_{};
    QPlainTextEdit* notesEdit_ = nullptr;
};

}  // namespace klink
