#include "Forms/TFormFilterInfo.h"

#include "Forms/NxMemo.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>

namespace {
// The designed geometry, kept as the least size: client 364 x 199, memo 81
// high, label down to 7 pixels above the buttons at y = 166.
constexpr int kMargin = 7;
constexpr int kDesignWidth = 364;
const QSize kMemoSize(kDesignWidth - 2 * kMargin, 81);
constexpr int kLabelHeight = 166 - kMargin - (kMargin + 81 + kMargin);
} // namespace

TFormFilterInfo::TFormFilterInfo(QWidget* parent) : QDialog(parent)
{
    setObjectName("FormFilterInfo");
    setWindowTitle("Reset Filter change");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    MemoFilterInfo = new QPlainTextEdit(this);
    MemoFilterInfo->setObjectName("MemoFilterInfo");
    MemoFilterInfo->setReadOnly(true);
    MemoFilterInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoFilterInfo->setFont(MemoFont());

    LabelMessage = new QLabel(this);
    LabelMessage->setObjectName("LabelMessage");
    LabelMessage->setWordWrap(true);
    LabelMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto button = [this](const char* name, int x, int w) {
        auto* b = new QPushButton("OK", this);
        b->setObjectName(name);
        b->setGeometry(x, 166, w, 25);
        return b;
    };
    ButtonOK = button("ButtonOK", 107, 75);
    ButtonCancel = button("ButtonCancel", 187, 75);
    ButtonCancel->setText("Cancel");
    ButtonOKCenter = button("ButtonOKCenter", 147, 76);
    connect(ButtonOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ButtonOKCenter, &QPushButton::clicked, this, &QDialog::accept);
    FitToText();
}

void TFormFilterInfo::FitToText()
{
    const QSize memo = FitMemo(*MemoFilterInfo, kMemoSize, MaxDialogWidth(*this) - 2 * kMargin);
    MemoFilterInfo->setGeometry(kMargin, kMargin, memo.width(), memo.height());
    const int labelTop = kMargin + memo.height() + kMargin;
    const int labelHeight = std::max(kLabelHeight, LabelMessage->heightForWidth(memo.width()));
    LabelMessage->setGeometry(kMargin, labelTop, memo.width(), labelHeight);
    // The buttons keep their designed places around the centre.
    const int top = labelTop + labelHeight + kMargin;
    const int shift = (memo.width() - kMemoSize.width()) / 2;
    ButtonOK->move(107 + shift, top);
    ButtonCancel->move(187 + shift, top);
    ButtonOKCenter->move(147 + shift, top);
    setFixedSize(memo.width() + 2 * kMargin, top + ButtonOK->height() + 8);
}

void TFormFilterInfo::Fill(const std::string& counterText, const std::string& message,
                           bool question)
{
    MemoFilterInfo->clear();
    for (const QString& line : QString::fromStdString(counterText).split('\n'))
        MemoFilterInfo->appendPlainText(line);
    LabelMessage->setText(QString::fromStdString(message));
    ButtonOK->setVisible(question);
    ButtonCancel->setVisible(question);
    ButtonOKCenter->setVisible(!question);
    // Enter refuses the question (a reset cannot be undone) and closes the
    // confirmation; the default button also takes the focus, so that no
    // other button answers Enter.
    QPushButton* answer = question ? ButtonCancel : ButtonOKCenter;
    for (QPushButton* b : {ButtonOK, ButtonCancel, ButtonOKCenter})
        b->setDefault(b == answer);
    answer->setFocus();
    FitToText();
}
