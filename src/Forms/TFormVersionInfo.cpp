#include "TFormVersionInfo.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>

QFont MemoFont()
{
    QFont f("Courier New");
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    if (!QFontInfo(f).fixedPitch())
        f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    return f;
}

TFormVersionInfo::TFormVersionInfo(QWidget* parent) : QDialog(parent)
{
    setObjectName("FormVersionInfo");
    setWindowTitle("Version Information");
    setFixedSize(546, 123);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    MemoVersionInfo = new QPlainTextEdit(this);
    MemoVersionInfo->setObjectName("MemoVersionInfo");
    MemoVersionInfo->setGeometry(8, 8, 530, 81);
    MemoVersionInfo->setReadOnly(true);
    MemoVersionInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    MemoVersionInfo->setFont(MemoFont());

    ButtonOK = new QPushButton("OK", this);
    ButtonOK->setObjectName("ButtonOK");
    ButtonOK->setGeometry(235, 95, 75, 25);
    ButtonOK->setDefault(true);
    connect(ButtonOK, &QPushButton::clicked, this, &QDialog::accept);
}

void TFormVersionInfo::SetReport(const std::string& report)
{
    QString text = QString::fromStdString(report);
    text.replace("\r\n", "\n");
    if (text.endsWith('\n')) // the last line's end adds no empty line to the memo
        text.chop(1);
    MemoVersionInfo->setPlainText(text);
}

QString TFormVersionInfo::Report() const
{
    return MemoVersionInfo->toPlainText();
}
