// The filter-change dialog. It has no behaviour of its own: the main
// window's filter action sets its texts and which buttons are visible. The
// designed size is the least; the dialog grows so that all its text shows.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TFormFilterInfo : public QDialog
{
    Q_OBJECT

public:
    explicit TFormFilterInfo(QWidget* parent = nullptr);

    // Memo := the counter text line by line; label := message. question
    // shows OK and Cancel, otherwise only the centred OK.
    void Fill(const std::string& counterText, const std::string& message, bool question);

    QPlainTextEdit* MemoFilterInfo;
    QLabel* LabelMessage;
    QPushButton* ButtonOK;
    QPushButton* ButtonCancel;
    QPushButton* ButtonOKCenter;

private:
    // The designed size at least, grown so that all the text shows.
    void FitToText();
};
