// The service record of one device in the desktop program: a table of its
// records, newest first, opened with "History..." in the tree's context menu
// or Ctrl+H, so the window's designed layout stays as it is.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QPushButton;
class QTableWidget;
class TFormDownload;

class TFormHistory : public QDialog
{
    Q_OBJECT

public:
    explicit TFormHistory(QWidget* parent = nullptr);

    // Fills the table from this process's record (HistoryPath): every record
    // of the controller serial (channel 0) or of its component on channel.
    void Load(const std::string& serial, int channel);

    QLabel* LabelHistory; // what is shown, or why nothing is
    QTableWidget* TableHistory;
    QPushButton* ButtonOK;
};

// Gives the window's tree the action "History..." (context menu, Ctrl+H),
// which shows the records of the selected entry.
void AddHistoryAction(TFormDownload& window);
