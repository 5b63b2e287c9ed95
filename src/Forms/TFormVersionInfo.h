// The version report dialog. It has no behaviour of its own: the main
// window's version action fills the memo and shows it modally. The designed
// size is the least; the dialog grows so that the whole report shows.
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

private:
    void FitToReport();
};
