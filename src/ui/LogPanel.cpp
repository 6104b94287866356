#include "ui/LogPanel.h"

namespace klink {

LogPanel::LogPanel(QWidget* parent) : QPlainTextEdit(parent) {
    setObjectName(QStringLiteral("memLog"));
    setReadOnly(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

}  // namespace klink
