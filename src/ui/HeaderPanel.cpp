#include "ui/HeaderPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

namespace klink {
namespace {

using F = VGMHeaderField;

struct Field {
    F field;
    const char* caption;
    bool edit;  // a line edit, else a label
};

// Header values on the left, top to bottom.
constexpr Field kLeft[] = {
    {F::kFileSize, "File Size:", false},
    {F::kEofOffset, "EoF offset", true},
    {F::kVersion, "Version", true},
    {F::kTotalSamples, "Total # samples", true},
    {F::kGD3Offset, "GD3 offset", true},
    {F::kLoopOffset, "Loop offset", true},
    {F::kLoopSamples, "Loop # samples", true},
    {F::kDataOffset, "VGM data offset", true},
};

// Chip clocks in two columns of five.
constexpr Field kClocks[] = {
    {F::kSN76489Clock, "SN76489 clock:", false}, {F::kSN76489SecondClock, "SN76489 clock:", false},
    {F::kYM2612Clock, "YM2612 clock:", false},   {F::kYM2151Clock, "YM2151 clock:", false},
    {F::kYM2203Clock, "YM2203 clock:", false},   {F::kYM2608Clock, "YM2608 clock:", false},
    {F::kYM3812Clock, "YM3812 clock:", false},   {F::kYM3526Clock, "YM3526 clock:", false},
    {F::kAY8910Clock, "AY8910 clock:", false},   {F::kOKIM6258Clock, "M6258 clock:", false},
};

QLineEdit* ReadOnlyEdit(QWidget* parent, const QString& name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setReadOnly(true);
    return edit;
}

QLabel* ValueLabel(QWidget* parent, const QString& name) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMinimumWidth(70);
    return label;
}

// A value control named by its role: "versionEdit", "ym2151ClockLabel".
QWidget* ValueControl(QWidget* parent, const Field& f) {
    const QString name = QString::fromLatin1(VGMHeaderFieldName(f.field).data(),
                                             static_cast<qsizetype>(VGMHeaderFieldName(f.field).size()));
    if (f.edit) {
        return ReadOnlyEdit(parent, name + QStringLiteral("Edit"));
    }
    return ValueLabel(parent, name + QStringLiteral("Label"));
}

}  // namespace

HeaderPanel::HeaderPanel(QWidget* parent) : QGroupBox(parent) {
    setObjectName(QStringLiteral("headerGroup"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setVerticalSpacing(3);

    auto caption = [this](const char* text) { return new QLabel(QString::fromLatin1(text), this); };

    grid->addWidget(caption("FilePath:"), 0, 0);
    filePathEdit_ = ReadOnlyEdit(this, QStringLiteral("edtFilePath"));
    grid->addWidget(filePathEdit_, 0, 1, 1, 5);

    int row = 1;
    for (const Field& f : kLeft) {
        grid->addWidget(caption(f.caption), row, 0);
        values_[static_cast<size_t>(f.field)] = ValueControl(this, f);
        grid->addWidget(values_[static_cast<size_t>(f.field)], row, 1);
        ++row;
    }
    for (size_t i = 0; i < std::size(kClocks); ++i) {
        const int r = 1 + static_cast<int>(i % 5);
        const int c = 2 + 2 * static_cast<int>(i / 5);
        grid->addWidget(caption(kClocks[i].caption), r, c);
        values_[static_cast<size_t>(kClocks[i].field)] = ValueControl(this, kClocks[i]);
        grid->addWidget(values_[static_cast<size_t>(kClocks[i].field)], r, c + 1);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    grid->setColumnStretch(5, 1);
    grid->setRowStretch(row, 1);  // spare height below the fields, not between them
}

void HeaderPanel::SetValue(VGMHeaderField field, const QString& text) {
    QWidget* value = values_[static_cast<size_t>(field)];
    if (auto* edit = qobject_cast<QLineEdit*>(value)) {
        edit->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(value)) {
        label->setText(text);
    }
}

void HeaderPanel::Clear() {
    for (VGMHeaderField field : AllVGMHeaderFields()) {
        SetValue(field, QString());
    }
}

void HeaderPanel::Show(const VGMHeaderSummary& header) {
    const VGMHeaderTexts texts = FormatVGMHeader(header);
    for (VGMHeaderField field : AllVGMHeaderFields()) {
        SetValue(field, QString::fromStdString(texts[field]));
    }
}

void HeaderPanel::SetFilePath(const QString& path) { filePathEdit_->setText(path); }

}  // namespace klink
