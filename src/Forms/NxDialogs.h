// The toolkit's modal interactions behind one replaceable interface: message
// boxes, the yes/no question, the file-open dialog and the modal display of
// a dialog. The program uses Qt's; tests install scripted fakes.
#pragma once

#include "NxUi.h"

#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

class INxDialogs
{
public:
    using Icon = INxMessageSink::Icon;
    virtual ~INxDialogs() = default;

    // A box with an OK button. stayOnTop keeps it above every other window.
    virtual void Message(QWidget* parent, Icon icon, const QString& caption, const QString& text,
                         bool stayOnTop = false) = 0;
    // A question with Yes and No; true for Yes. Enter answers Yes, or No
    // when defaultYes is false.
    virtual bool Question(QWidget* parent, const QString& caption, const QString& text,
                          bool defaultYes = true) = 0;
    // The file-open dialog for an existing file; an empty text when cancelled.
    // filters are in Qt's notation ("Description (*.a *.b)").
    virtual QString OpenFile(QWidget* parent, const QString& title, const QString& startDir,
                             const QStringList& filters, const QString& defaultSuffix) = 0;
    // Shows dlg modally and returns its result (QDialog::Accepted or Rejected).
    // A dialog of type Qt::Window (the main window) is shown as an ordinary
    // window; the call still returns only when it closes.
    virtual int Exec(QDialog& dlg) = 0;

    void Information(QWidget* parent, const QString& caption, const QString& text)
    {
        Message(parent, Icon::Information, caption, text);
    }
    void Error(QWidget* parent, const QString& caption, const QString& text)
    {
        Message(parent, Icon::Error, caption, text);
    }
};

class QtDialogs : public INxDialogs
{
public:
    void Message(QWidget* parent, Icon icon, const QString& caption, const QString& text,
                 bool stayOnTop = false) override;
    bool Question(QWidget* parent, const QString& caption, const QString& text,
                  bool defaultYes = true) override;
    QString OpenFile(QWidget* parent, const QString& title, const QString& startDir,
                     const QStringList& filters, const QString& defaultSuffix) override;
    int Exec(QDialog& dlg) override;
};

// The process-wide dialogs; nullptr restores Qt's.
INxDialogs& NxDialogs();
void SetNxDialogs(INxDialogs* dialogs);

// The window that owns every box and dialog given no parent (the main
// window): they open above it, and the window manager keeps them there.
// SetDialogOwner(nullptr, w) clears it only if w is the owner.
void SetDialogOwner(QWidget* owner, QWidget* leaving = nullptr);
// The owner while it is on the screen, else nullptr.
QWidget* DialogOwner();

// Filters in the notation "desc|pat;pat|desc|pat" turned into Qt's list.
QStringList FileFilters(const QString& pairs);

// The core's own message boxes (device list, XML reader) as Qt message
// boxes through NxDialogs(), owned by the main window; the XML reader's
// report stays on top.
class QtMessageSink : public INxMessageSink
{
public:
    void ShowMessage(const std::string& text, const std::string& caption, Icon icon) override;
};
