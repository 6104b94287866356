#include "ui/TagPanel.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "vgm/GD3Text.h"

namespace klink {

TagPanel::TagPanel(QWidget* parent) : QGroupBox(parent) {
    setObjectName(QStringLiteral("tagGroup"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setVerticalSpacing(3);
    const char* const captions[10] = {"トラック名(英)", "トラック名(日)", "ゲーム名(英)", "ゲーム名(日)",
                                      "システム名(英)", "システム名(日)", "作曲者(英)",   "作曲者(日)",
                                      "リリース日",     "VGM変換者"};
    for (int i = 0; i < 10; ++i) {
        const int r = i / 2;
        const int c = (i % 2) * 2;
        grid->addWidget(new QLabel(QString::fromUtf8(captions[i]), this), r, c);
        QLineEdit*& edit = tagEdits_[static_cast<size_t>(i)];
        edit = new QLineEdit(this);
        // "Edit1" to "Edit10": the names the tests look up.
        edit->setObjectName(QStringLiteral("Edit%1").arg(i + 1));
        edit->setReadOnly(true);
        grid->addWidget(edit, r, c + 1);
    }
    grid->addWidget(new QLabel(QStringLiteral("ノート"), this), 0, 4);
    notesEdit_ = new QPlainTextEdit(this);
    notesEdit_->setObjectName(QStringLiteral("notesEdit"));
    notesEdit_->setReadOnly(true);
    notesEdit_->setFixedWidth(260);
    grid->addWidget(notesEdit_, 1, 4, 4, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
}

void TagPanel::Clear() {
    for (QLineEdit* edit : tagEdits_) {
        edit->clear();
    }
    notesEdit_->clear();
}

void TagPanel::Show(const GD3Strings& gd3) {
    for (size_t i = 0; i < tagEdits_.size(); ++i) {
        tagEdits_[i]->setText(QString::fromStdString(UTF16ToUTF8(gd3[i])));
    }
    // The notes keep their CR LF line breaks in the tag; the editor wants LF.
    QString notes = QString::fromStdString(UTF16ToUTF8(gd3[10]));
    notes.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    notesEdit_->setPlainText(notes);
}

}  // namespace klink
