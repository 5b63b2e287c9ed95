// A progress bar that carries the status texts (the status label stays
// hidden) instead of a percentage. A text wider than the bar gives way in
// the middle of its step part, never in its tail (a countdown, an attempt),
// so the bar never cuts or wraps what the user is waiting for.
#pragma once

#include <QProgressBar>

class TextProgressBar : public QProgressBar
{
public:
    using QProgressBar::QProgressBar;

    // head: the step; tail: what is appended to it. Both empty: the percentage.
    void SetText(const QString& head, const QString& tail = {});
    QString FullText() const { return m_Head + m_Tail; }
    // The text as drawn: shortened to fit the bar's width.
    QString text() const override;
    // The room the text has, inside the bar's rounded ends.
    int TextRoom() const;

private:
    QString m_Head, m_Tail;
};
