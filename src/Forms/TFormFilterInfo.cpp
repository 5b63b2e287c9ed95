#include "TFormFilterInfo.h"

#include "TFormVersionInfo.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

TFormFilterInfo::TFormFilterInfo(QWidget* parent) : QDialog(parent)
{
    setObjectName("FormFilterInfo");
    setWindowTitle("Reset Filter change");
    setFixedSize(364, 199);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    constexpr int kMargin = 7;
    const int width = 364 - 2 * kMargin;
    MemoFilterInfo = new QPlainTextEdit(this);
    MemoFilterInfo->setObjectName("MemoFilterInfo");
    MemoFilterInfo->setGeometry(kMargin, kMargin, width, 81);
    MemoFilterInfo->setReadOnly(true);
    MemoFilterInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoFilterInfo->setFont(MemoFont());

    LabelMessage = new QLabel(this);
    LabelMessage->setObjectName("LabelMessage");
    LabelMessage->setWordWrap(true);
    LabelMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const int labelTop = kMargin + 81 + kMargin;
    LabelMessage->setGeometry(kMargin, labelTop, width, 166 - kMargin - labelTop);

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
    // Enter answers with the button that is showing.
    (question ? ButtonOK : ButtonOKCenter)->setDefault(true);
    (question ? ButtonOKCenter : ButtonOK)->setDefault(false);
}
