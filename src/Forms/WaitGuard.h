// One exchange with the devices at a time. The desktop clock turns the event
// loop while a port or a pause waits, so without this a click or a poll tick
// could start a second exchange inside the first, or a list update could
// delete a device an action is using. Actions and device-list updates ask the
// guard first; whoever finds it taken does nothing (a list update is kept for
// later). A wait that lasts longer than the feedback delay says so; shorter
// ones change nothing on the screen, so a poll tick never makes the buttons
// flicker.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

class WaitGuard : public QObject
{
public:
    explicit WaitGuard(QObject* parent = nullptr);

    // An action runs (its dialogs included): no other action starts and the
    // window does not close; list updates still may, between its exchanges.
    class Action;
    // An exchange waits for a device: no action and no list update starts.
    // awaited names what it waits for, shown after the delay ("" shows only
    // the busy cursor, for a download that shows its own progress).
    class Exchange;

    bool ActionRunning() const { return m_nActions > 0; }
    bool Exchanging() const { return !m_Awaited.empty(); }
    bool MayStartAction() const { return !ActionRunning() && !Exchanging(); }
    bool MayUpdateList() const { return !Exchanging(); }
    bool FeedbackShown() const { return m_bShown; }

    // Waits longer than this show the feedback; tests set 0 (at once) or a
    // value no test reaches.
    static constexpr int kFeedbackDelayMs = 300;
    void SetFeedbackDelay(int ms) { m_Delay.setInterval(ms); }

    // What the window does: show the feedback with the text of the innermost
    // exchange that names one, and take it back when the last exchange ends.
    std::function<void(const QString& awaited)> OnShow;
    std::function<void()> OnHide;
    // The last exchange or action ended (the place to run a list update kept
    // for later: one skipped while an action held the list, in its dialog).
    std::function<void()> OnFree;

private:
    void Begin(const QString& awaited);
    void End();
    void EndAction();
    QString Text() const;
    void Show();

    int m_nActions = 0;
    std::vector<QString> m_Awaited; // one per running exchange, innermost last
    bool m_bShown = false;
    QTimer m_Delay;
};

class WaitGuard::Action
{
public:
    explicit Action(WaitGuard& guard) : m_Guard(guard) { ++m_Guard.m_nActions; }
    ~Action() { m_Guard.EndAction(); }
    Action(const Action&) = delete;
    Action& operator=(const Action&) = delete;

private:
    WaitGuard& m_Guard;
};

class WaitGuard::Exchange
{
public:
    Exchange(WaitGuard& guard, const QString& awaited) : m_Guard(guard) { m_Guard.Begin(awaited); }
    ~Exchange() { m_Guard.End(); }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

private:
    WaitGuard& m_Guard;
};
