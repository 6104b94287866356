#include "ui/TransportPanel.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace klink {
namespace {

QFont TimeLabelFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Consolas"), QStringLiteral("DejaVu Sans Mono"),
                      QStringLiteral("Liberation Mono"), QStringLiteral("Noto Sans Mono")});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(24);
    return font;
}

QLabel* TimeLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFont(TimeLabelFont());
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(Qt::gray));
    label->setPalette(palette);
    label->setMinimumWidth(150);
    return label;
}

}  // namespace

TransportPanel::TransportPanel(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("transportPanel"));
    auto* controls = new QHBoxLayout(this);
    controls->setContentsMargins(0, 0, 0, 0);
    controls->setSpacing(4);  // as the playlist below it

    openFileButton_ = new QPushButton(QStringLiteral("ファイルを開く(&O)"), this);
    openFileButton_->setObjectName(QStringLiteral("Button3"));
    controls->addWidget(openFileButton_);
    controls->addSpacing(12);

    controls->addWidget(new QLabel(QStringLiteral("リピート回数"), this));
    repeatCombo_ = new QComboBox(this);
    repeatCombo_->setObjectName(QStringLiteral("cmbRepeatNum"));
    repeatCombo_->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                            QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("無限")});
    repeatCombo_->setCurrentIndex(0);
    controls->addWidget(repeatCombo_);
    controls->addSpacing(12);

    controls->addWidget(new QLabel(QStringLiteral("フェードアウト"), this));
    fadeCombo_ = new QComboBox(this);
    fadeCombo_->setObjectName(QStringLiteral("cmbFadeout"));
    fadeCombo_->addItems({QStringLiteral("なし"), QStringLiteral("1秒"), QStringLiteral("3秒"),
                          QStringLiteral("5秒"), QStringLiteral("10秒"), QStringLiteral("15秒")});
    fadeCombo_->setCurrentIndex(4);
    controls->addWidget(fadeCombo_);
    controls->addStretch(1);

    controls->addWidget(new QLabel(QStringLiteral("Time"), this));
    timeLabel_ = TimeLabel(this, "lblTime", QStringLiteral("00:00.00"));
    controls->addWidget(timeLabel_);
    controls->addSpacing(8);
    lengthLabel_ = TimeLabel(this, "lblLength", QStringLiteral("/ 00:00.00"));
    lengthLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    controls->addWidget(lengthLabel_);
    controls->addSpacing(12);
    controls->addWidget(new QLabel(QStringLiteral("Samples"), this));
    samplesLabel_ = TimeLabel(this, "samplesLabel", QStringLiteral("0"));
    controls->addWidget(samplesLabel_);

    openDialog_ = new QFileDialog(this);
    openDialog_->setObjectName(QStringLiteral("openDialog"));
    openDialog_->setFileMode(QFileDialog::ExistingFile);
    openDialog_->setNameFilters({QStringLiteral("VGM / VGZ Files (*.vgm *.vgz)"),
                                 QStringLiteral("VGM Files (*.vgm)"), QStringLiteral("VGZ Files (*.vgz)")});
    openDialog_->selectNameFilter(QStringLiteral("VGM / VGZ Files (*.vgm *.vgz)"));

    connect(openFileButton_, &QPushButton::clicked, this, &TransportPanel::openFileClicked);
}

int TransportPanel::RepeatIndex() const { return repeatCombo_->currentIndex(); }
int TransportPanel::FadeIndex() const { return fadeCombo_->currentIndex(); }
void TransportPanel::SetRepeatIndex(int index) { repeatCombo_->setCurrentIndex(index); }
void TransportPanel::SetFadeIndex(int index) { fadeCombo_->setCurrentIndex(index); }

void TransportPanel::ShowTime(const QString& text) { timeLabel_->setText(text); }

void TransportPanel::ShowLength(const QString& text) { lengthLabel_->setText(text); }

void TransportPanel::ShowSamples(qint64 samples) { samplesLabel_->setText(QString::number(samples)); }

void TransportPanel::ResetCounters() {
    timeLabel_->setText(QStringLiteral("00:00.00"));
    lengthLabel_->setText(QStringLiteral("/ 00:00.00"));
    samplesLabel_->setText(QStringLiteral("0"));
}

std::optional<QString> TransportPanel::ChooseFile() {
    if (openDialog_->exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList files = openDialog_->selectedFiles();
    if (files.isEmpty()) {
        return std::nullopt;
    }
    return files.front();
}

void TransportPanel::SetOpenDialogHints(const QString& fileName, const QString& folder) {
    openDialog_->setDirectory(folder);
    openDialog_->selectFile(fileName);
}

void TransportPanel::SelectDialogFile(const QString& path) { openDialog_->selectFile(path); }

}  // namespace klink
