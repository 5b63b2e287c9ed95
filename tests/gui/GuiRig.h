// What the window tests share: scripted stand-ins for the message boxes, the
// file dialog and modal displays, and a rig with the simulator, a virtual
// clock, the device list and the main window.
#pragma once

#include "Forms/NxDialogs.h"
#include "Forms/TFormDownload.h"
#include "support/SimRig.h"

#include <QDialog>
#include <QTreeWidget>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

struct ShownBox
{
    INxDialogs::Icon Icon;
    QString Caption, Text;
    bool StayOnTop;
};

class FakeDialogs : public INxDialogs
{
public:
    FakeDialogs() { SetNxDialogs(this); }
    ~FakeDialogs() override { SetNxDialogs(nullptr); }

    void Message(QWidget*, Icon icon, const QString& caption, const QString& text,
                 bool stayOnTop) override
    {
        Boxes.push_back({icon, caption, text, stayOnTop});
        if (OnMessage)
            OnMessage(Boxes.back());
    }
    bool Question(QWidget*, const QString& caption, const QString& text, bool defaultYes) override
    {
        Questions.push_back(caption + "|" + text);
        DefaultsYes.push_back(defaultYes);
        bool yes = !Answers.empty() && Answers.front();
        if (!Answers.empty())
            Answers.pop_front();
        return yes;
    }
    QString OpenFile(QWidget*, const QString& title, const QString& startDir,
                     const QStringList& filters, const QString& suffix) override
    {
        FileCalls.push_back({title, startDir, filters, suffix});
        QString f = Files.empty() ? QString() : Files.front();
        if (!Files.empty())
            Files.pop_front();
        return f;
    }
    int Exec(QDialog& dlg) override
    {
        Execs.push_back(dlg.objectName());
        const int result = OnExec ? OnExec(dlg) : int(QDialog::Accepted);
        dlg.done(result); // a modal display ends only when the dialog closes
        return result;
    }

    struct FileCall
    {
        QString Title, StartDir;
        QStringList Filters;
        QString Suffix;
    };
    std::vector<ShownBox> Boxes;
    std::vector<QString> Questions;
    std::vector<bool> DefaultsYes; // each question's default answer
    std::deque<bool> Answers;      // none left: No
    std::vector<FileCall> FileCalls;
    std::deque<QString> Files; // none left: cancelled
    std::vector<QString> Execs;
    std::function<int(QDialog&)> OnExec;
    std::function<void(const ShownBox&)> OnMessage;
};

// The main window with every status text and progress value it was given.
class RecordingForm : public TFormDownload
{
public:
    void ShowProgress(const std::string& text, std::optional<unsigned> percent) override
    {
        Statuses.push_back(text);
        if (percent)
            Progress.push_back(*percent);
        TFormDownload::ShowProgress(text, percent);
        if (OnStatus)
            OnStatus();
    }
    std::vector<std::string> Statuses;
    std::vector<unsigned> Progress;
    std::function<void()> OnStatus;
};

// A virtual clock that runs a test's code while a simulated exchange waits
// (a pause or a read's time-out), where the desktop clock turns the event loop.
class WaitingClock : public VirtualClock
{
public:
    void SleepMs(uint32_t ms) override
    {
        VirtualClock::SleepMs(ms);
        Waiting();
    }
    void SimulatedTimeout(uint32_t ms) override
    {
        VirtualClock::SimulatedTimeout(ms);
        Waiting();
    }
    std::function<void()> DuringWait; // not called again from inside itself

private:
    void Waiting()
    {
        if (!DuringWait || m_bInside)
            return;
        m_bInside = true;
        DuringWait();
        m_bInside = false;
    }
    bool m_bInside = false;
};

// The shared rig with the demo scenario (or none) and the fakes; the window
// is created on demand so tests can choose when.
struct GuiRig : BasicSimRig<WaitingClock>
{
    explicit GuiRig(bool demo = true)
    {
        if (demo)
            Handles = Install();
    }
    RecordingForm& Window()
    {
        if (!Form)
            Form = std::make_unique<RecordingForm>();
        return *Form;
    }
    Sim::SimController& Controller(size_t i = 0) { return *Handles.at(i).Controller; }
    // A further controller like the demo one, with this serial number.
    void AddController(const std::string& serial)
    {
        Sim::SimScenario s = Sim::DemoScenario();
        s.Bridges[0].Serial = serial;
        for (auto& h : Install(s))
            Handles.push_back(h);
    }
    QTreeWidgetItem* Node(int device, int channel = 0)
    {
        QTreeWidgetItem* dev = Window().TreeViewDevice->topLevelItem(device);
        return channel == 0 || !dev ? dev : dev->child(channel - 1);
    }
    void Select(int device, int channel = 0)
    {
        Window().TreeViewDevice->setCurrentItem(Node(device, channel));
    }

    // The window tests' names for the rig's parts.
    WaitingClock& Clock = clock;
    Bridge::SimBridgeLib& Lib = lib;
    TNxDevList& List = list;
    std::vector<Sim::SimHandle> Handles;
    FakeDialogs Dialogs;
    std::unique_ptr<RecordingForm> Form;
};
