#pragma once
// The log pane: read-only lines of text, appended one message per line.

#include <QPlainTextEdit>

namespace klink {

class LogPanel : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit LogPanel(QWidget* parent = nullptr);

    void Append(const QString& line) { appendPlainText(line); }
};

}  // namespace klink
