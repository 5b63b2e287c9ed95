// The read-only monospaced text boxes of the version and filter dialogs: the
// font they use and the size at which every line shows without scrolling,
// whatever font the machine resolves.
#pragma once

#include <QFont>
#include <QSize>

class QPlainTextEdit;
class QWidget;

// Courier New where the machine has it, otherwise the first font that
// really has fixed-width glyphs, at the application font's size. A machine
// without any such font gets the system's fixed font, proportional or not.
QFont MemoFont();

// The size at which memo shows its whole text without scrolling: at least
// least, and no wider than maxWidth; a text too wide for that wraps at the
// memo's width (which this sets) and the height grows instead.
QSize FitMemo(QPlainTextEdit& memo, QSize least, int maxWidth);

// The widest client area a dialog may take on the screen of widget w.
int MaxDialogWidth(const QWidget& w);
