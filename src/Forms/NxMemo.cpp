#include "Forms/NxMemo.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

// QFontInfo::fixedPitch misreports several monospaced fonts; equal advances
// of narrow and wide letters tell for sure.
bool HasFixedGlyphs(const QFont& f)
{
    const QFontMetricsF fm(f);
    const qreal m = fm.horizontalAdvance('M');
    return m > 0 && fm.horizontalAdvance('i') == m && fm.horizontalAdvance('W') == m &&
           fm.horizontalAdvance('.') == m;
}

int VisualLines(const QString& line, const QFont& font, qreal width, bool wrap)
{
    if (!wrap || line.isEmpty())
        return 1;
    QTextLayout layout(line, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int n = 0;
    for (QTextLine l = layout.createLine(); l.isValid(); l = layout.createLine()) {
        l.setLineWidth(width);
        ++n;
    }
    layout.endLayout();
    return std::max(n, 1);
}

} // namespace

QFont MemoFont()
{
    QFont courier("Courier New");
    courier.setStyleHint(QFont::TypeWriter);
    std::vector<QFont> candidates{courier, QFontDatabase::systemFont(QFontDatabase::FixedFont)};
    for (const QString& family : QFontDatabase::families(QFontDatabase::Latin))
        if (QFontDatabase::isFixedPitch(family))
            candidates.emplace_back(family);
    // The memo text matches the rest of the dialog in size.
    const qreal size = QApplication::font().pointSizeF();
    for (QFont& f : candidates)
        if (size > 0)
            f.setPointSizeF(size);
    const auto fixed = std::find_if(candidates.begin(), candidates.end(), HasFixedGlyphs);
    QFont chosen = fixed != candidates.end() ? *fixed : candidates[1];
    chosen.setFixedPitch(true);
    return chosen;
}

QSize FitMemo(QPlainTextEdit& memo, QSize least, int maxWidth)
{
    const QFont font = memo.font();
    const int margin = static_cast<int>(std::ceil(memo.document()->documentMargin()));
    // Frame, document margin, the cursor and a pixel of rounding on each side.
    const int padW = 2 * memo.frameWidth() + 2 * margin + memo.cursorWidth() + 2;
    const int padH = 2 * memo.frameWidth() + 2 * margin + 2;
    const QStringList lines = memo.toPlainText().split('\n');
    qreal widest = 0;
    for (const QString& line : lines)
        widest = std::max(widest, QFontMetricsF(font).horizontalAdvance(line));
    int width = std::max(least.width(), static_cast<int>(std::ceil(widest)) + padW);
    const bool wrap = width > maxWidth;
    if (wrap)
        width = std::max(least.width(), maxWidth);
    memo.setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    int rows = 0;
    for (const QString& line : lines)
        rows += VisualLines(line, font, width - padW, wrap);
    // Each line takes its spacing rounded up; the memo counts a line as
    // shown only when it ends a margin and a pixel above the bottom.
    const QFontMetricsF fm(font);
    const int lineHeight = static_cast<int>(std::ceil(std::max(fm.lineSpacing(), fm.height())));
    const int height = rows * lineHeight + padH + 1;
    // The size fits the text, so there is never anything to scroll. Bars
    // "as needed" could even hold each other up after a resize: each one
    // narrows the view until the other one seems needed.
    memo.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return {width, std::max(least.height(), height)};
}

int MaxDialogWidth(const QWidget& w)
{
    const QScreen* screen = w.screen() ? w.screen() : QGuiApplication::primaryScreen();
    // Leave room for the window frame the desktop adds.
    return screen ? screen->availableGeometry().width() - 32 : 1024;
}
