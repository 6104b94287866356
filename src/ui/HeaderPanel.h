#pragma once
// The header panel: the path of the file being played, the header values
// (sizes, offsets, sample counts) and the chip clocks, all read-only. It
// writes a header summary with FormatVGMHeader and leaves a value empty when
// the summary does not show it.

#include <QGroupBox>
#include <array>

#include "vgm/VGMHeaderSummary.h"
#include "vgm/VGMHeaderText.h"

class QLineEdit;

namespace klink {

class HeaderPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit HeaderPanel(QWidget* parent = nullptr);

    // Empties every header value (the file path stays).
    void Clear();
    void Show(const VGMHeaderSummary& header);
    void SetFilePath(const QString& path);

private:
    void SetValue(VGMHeaderField field, const QString& text);

    QLineEdit* filePathEdit_ = nullptr;
    std::array<QWidget*, kVGMHeaderFieldCount> values_{};  // a line edit or a label per field
};

}  // namespace klink
