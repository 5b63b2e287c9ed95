#include "Forms/WaitGuard.h"

WaitGuard::WaitGuard(QObject* parent) : QObject(parent)
{
    m_Delay.setSingleShot(true);
    m_Delay.setInterval(kFeedbackDelayMs);
    // The timer fires only while a wait turns the event loop, which is what
    // it is meant to notice.
    connect(&m_Delay, &QTimer::timeout, this, &WaitGuard::Show);
}

void WaitGuard::Begin(const QString& awaited)
{
    m_Awaited.push_back(awaited);
    if (m_Awaited.size() == 1)
        m_Delay.start();
    else if (m_bShown && OnShow)
        OnShow(Text());
}

void WaitGuard::End()
{
    m_Awaited.pop_back();
    if (!m_Awaited.empty()) {
        if (m_bShown && OnShow)
            OnShow(Text());
        return;
    }
    m_Delay.stop();
    if (m_bShown) {
        m_bShown = false;
        if (OnHide)
            OnHide();
    }
    if (OnFree)
        OnFree();
}

QString WaitGuard::Text() const
{
    for (auto it = m_Awaited.rbegin(); it != m_Awaited.rend(); ++it)
        if (!it->isEmpty())
            return *it;
    return {};
}

void WaitGuard::Show()
{
    if (m_Awaited.empty() || m_bShown)
        return;
    m_bShown = true;
    if (OnShow)
        OnShow(Text());
}

void WaitGuard::EndAction()
{
    if (--m_nActions == 0 && m_Awaited.empty() && OnFree)
        OnFree();
}
