#include "Forms/NxDialogs.h"

#include "Forms/NxStartup.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>

namespace {

QtDialogs g_QtDialogs;
INxDialogs* g_pDialogs = nullptr;
QPointer<QWidget> g_Owner;

QWidget* Owner(QWidget* parent)
{
    return parent ? parent : DialogOwner();
}

// A box shows the normal cursor, also while the window behind it is busy.
class NormalCursor
{
public:
    NormalCursor() : m_bSet(QApplication::overrideCursor() != nullptr)
    {
        if (m_bSet)
            QApplication::setOverrideCursor(Qt::ArrowCursor);
    }
    ~NormalCursor()
    {
        if (m_bSet)
            QApplication::restoreOverrideCursor();
    }
    NormalCursor(const NormalCursor&) = delete;
    NormalCursor& operator=(const NormalCursor&) = delete;

private:
    bool m_bSet;
};

QMessageBox::Icon BoxIcon(INxDialogs::Icon icon)
{
    switch (icon) {
    case INxDialogs::Icon::Warning:
        return QMessageBox::Warning;
    case INxDialogs::Icon::Error:
        return QMessageBox::Critical;
    case INxDialogs::Icon::Information:
        break;
    }
    return QMessageBox::Information;
}

} // namespace

void QtDialogs::Message(QWidget* parent, Icon icon, const QString& caption, const QString& text,
                        bool stayOnTop)
{
    NormalCursor cursor;
    QMessageBox box(BoxIcon(icon), caption, text, QMessageBox::Ok, Owner(parent));
    if (stayOnTop)
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
}

bool QtDialogs::Question(QWidget* parent, const QString& caption, const QString& text,
                         bool defaultYes)
{
    NormalCursor cursor;
    return QMessageBox::question(Owner(parent), caption, text, QMessageBox::Yes | QMessageBox::No,
                                 defaultYes ? QMessageBox::Yes : QMessageBox::No) ==
           QMessageBox::Yes;
}

QString QtDialogs::OpenFile(QWidget* parent, const QString& title, const QString& startDir,
                            const QStringList& filters, const QString& defaultSuffix)
{
    NormalCursor cursor;
    QFileDialog dlg(Owner(parent), title, startDir);
    dlg.setFileMode(QFileDialog::ExistingFile);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setNameFilters(filters);
    dlg.setDefaultSuffix(defaultSuffix);
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
        return {};
    return dlg.selectedFiles().first();
}

int QtDialogs::Exec(QDialog& dlg)
{
    NormalCursor cursor;
    if (dlg.windowType() != Qt::Window)
        return dlg.exec();
    // A main window waits like a modal dialog but is not one: a modal window
    // is a transient dialog that desktops may leave out of their taskbar.
    QEventLoop loop;
    QObject::connect(&dlg, &QDialog::finished, &loop, &QEventLoop::quit);
    dlg.show();
    loop.exec(QEventLoop::DialogExec);
    return dlg.result();
}

INxDialogs& NxDialogs()
{
    return g_pDialogs ? *g_pDialogs : g_QtDialogs;
}

void SetNxDialogs(INxDialogs* dialogs)
{
    g_pDialogs = dialogs;
}

void SetDialogOwner(QWidget* owner, QWidget* leaving)
{
    if (!leaving || g_Owner == leaving)
        g_Owner = owner;
}

QWidget* DialogOwner()
{
    // A hidden window holds nothing above it on the screen.
    return g_Owner && g_Owner->isVisible() ? g_Owner.data() : nullptr;
}

QStringList FileFilters(const QString& pairs)
{
    const QStringList parts = pairs.split('|');
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        // Qt reads the patterns from the parentheses at the end, separated by spaces.
        QString desc = parts[i];
        qsizetype paren = desc.lastIndexOf(" (");
        if (paren >= 0)
            desc.truncate(paren);
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
        out << desc + " (" + patterns + ")";
    }
    return out;
}

void QtMessageSink::ShowMessage(const std::string& text, const std::string& caption, Icon icon)
{
    const bool stayOnTop = caption == "XML Parsing error";
    NxDialogs().Message(DialogOwner(), icon,
                        QString::fromStdString(caption.empty() ? kAppTitle : caption),
                        QString::fromStdString(text), stayOnTop);
}
