#include "Forms/TextProgressBar.h"

#include <QFontMetrics>

#include <algorithm>

void TextProgressBar::SetText(const QString& head, const QString& tail)
{
    m_Head = head;
    m_Tail = tail;
    update();
}

int TextProgressBar::TextRoom() const
{
    // Half a line's height at each end keeps the text off the frame.
    return std::max(0, contentsRect().width() - fontMetrics().height());
}

QString TextProgressBar::text() const
{
    if (m_Head.isEmpty() && m_Tail.isEmpty())
        return QProgressBar::text();
    const QFontMetrics fm = fontMetrics();
    const int room = TextRoom();
    const QString whole = m_Head + m_Tail;
    if (fm.horizontalAdvance(whole) <= room)
        return whole;
    const int tail = fm.horizontalAdvance(m_Tail);
    if (tail >= room) // not even the tail fits: it gives way at its start
        return fm.elidedText(whole, Qt::ElideLeft, room);
    return fm.elidedText(m_Head, Qt::ElideMiddle, room - tail) + m_Tail;
}
