#include "Forms/TFormVersionInfo.h"

#include "Forms/NxMemo.h"

#include <QPlainTextEdit>
#include <QPushButton>

namespace {
// The designed geometry, kept as the least size.
constexpr int kMargin = 8;
const QSize kMemoSize(530, 81);
const QSize kButtonSize(75, 25);
} // namespace

TFormVersionInfo::TFormVersionInfo(QWidget* parent) : QDialog(parent)
{
    setObjectName("FormVersionInfo");
    setWindowTitle("Version Information");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    MemoVersionInfo = new QPlainTextEdit(this);
    MemoVersionInfo->setObjectName("MemoVersionInfo");
    MemoVersionInfo->setReadOnly(true);
    MemoVersionInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoVersionInfo->setFont(MemoFont());

    ButtonOK = new QPushButton("OK", this);
    ButtonOK->setObjectName("ButtonOK");
    ButtonOK->resize(kButtonSize);
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, &QDialog::accept);
    FitToReport();
}

void TFormVersionInfo::FitToReport()
{
    const QSize memo = FitMemo(*MemoVersionInfo, kMemoSize, MaxDialogWidth(*this) - 2 * kMargin);
    MemoVersionInfo->setGeometry(kMargin, kMargin, memo.width(), memo.height());
    const int width = memo.width() + 2 * kMargin;
    ButtonOK->move((width - kButtonSize.width()) / 2, kMargin + memo.height() + 6);
    setFixedSize(width, ButtonOK->geometry().bottom() + 1 + 3);
}

void TFormVersionInfo::SetReport(const std::string& report)
{
    QString text = QString::fromStdString(report);
    text.replace("\r\n", "\n");
    if (text.endsWith('\n')) // the last line's end adds no empty line to the memo
        text.chop(1);
    MemoVersionInfo->setPlainText(text);
    FitToReport();
}

QString TFormVersionInfo::Report() const
{
    return MemoVersionInfo->toPlainText();
}
