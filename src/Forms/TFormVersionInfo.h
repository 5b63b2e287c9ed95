// The version report dialog. It has no behaviour of its own: the main
// window's version action fills the memo and shows it modally.
#pragma once

#include <QDialog>

#include <string>

class QPlainTextEdit;
class QPushButton;

class TFormVersionInfo : public QDialog
{
    Q_OBJECT

public:
    explicit TFormVersionInfo(QWidget* parent = nullptr);

    // The report; lines may end in "\r\n" or "\n".
    void SetReport(const std::string& report);
    QString Report() const;

    QPlainTextEdit* MemoVersionInfo;
    QPushButton* ButtonOK;
};

// Courier New where installed, otherwise the system's fixed-pitch font.
QFont MemoFont();
