#pragma once
// The transport controls above the playlist: the open-file button and its
// dialog, the repeat and fade-out selectors, and the time and sample
// displays. It shows and reports; PlaybackController acts.

#include <QString>
#include <QWidget>
#include <optional>

class QComboBox;
class QFileDialog;
class QLabel;
class QPushButton;

namespace klink {

class TransportPanel : public QWidget {
    Q_OBJECT
public:
    explicit TransportPanel(QWidget* parent = nullptr);

    // Selected items: repeat "1".."5", "無限"; fade "なし".."15秒"; -1 for none.
    [[nodiscard]] int RepeatIndex() const;
    [[nodiscard]] int FadeIndex() const;
    void SetRepeatIndex(int index);
    void SetFadeIndex(int index);

    // The time display ("mm:ss.cc").
    void ShowTime(const QString& text);
    // The track's length beside the time ("/ mm:ss.cc").
    void ShowLength(const QString& text);
    // The sample display: the position in VGM samples.
    void ShowSamples(qint64 samples);
    // Time "00:00.00", length "/ 00:00.00" and samples "0", as after a lost
    // connection.
    void ResetCounters();

    // Runs the open-file dialog; the chosen file, or nullopt when cancelled.
    [[nodiscard]] std::optional<QString> ChooseFile();
    // The dialog starts with this file name in this folder.
    void SetOpenDialogHints(const QString& fileName, const QString& folder);
    void SelectDialogFile(const QString& path);

signals:
    void openFileClicked();

private:
    QPushButton* openFileButton_ = nullptr;
    QFileDialog* openDialog_ = nullptr;
    QComboBox* repeatCombo_ = nullptr;
    QComboBox* fadeCombo_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    QLabel* lengthLabel_ = nullptr;
    QLabel* samplesLabel_ = nullptr;
};

}  // namespace klink
