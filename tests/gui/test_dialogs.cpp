// The version and filter dialogs show all of their text, whatever font the
// machine resolves: no scrolling, nothing cut off, the designed size at least.
#include "FilterInfo.h"
#include "Forms/TFormFilterInfo.h"
#include "Forms/TFormVersionInfo.h"
#include "VersionInfo.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QtTest>

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void designedSizeIsTheLeast();
    void versionReportShowsEveryLine_data();
    void versionReportShowsEveryLine();
    void filterDialogShowsCountersAndQuestion_data();
    void filterDialogShowsCountersAndQuestion();
    void enterRefusesTheFilterQuestion();
};

namespace {

// Shows dlg and checks that memo has nothing to scroll, that every line lies
// inside its viewport and that every other child lies inside the dialog.
void VerifyAllShown(QDialog& dlg, QPlainTextEdit& memo)
{
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(!memo.horizontalScrollBar()->isVisible());
    QVERIFY(!memo.verticalScrollBar()->isVisible());
    QCOMPARE(memo.horizontalScrollBar()->maximum(), 0);
    QCOMPARE(memo.verticalScrollBar()->maximum(), 0);
    const QRect view = memo.viewport()->rect();
    for (QTextBlock b = memo.document()->begin(); b.isValid(); b = b.next()) {
        QTextCursor c(b);
        const QRect first = memo.cursorRect(c);
        c.movePosition(QTextCursor::EndOfBlock);
        const QRect last = memo.cursorRect(c);
        QVERIFY2(view.contains(first) && view.contains(last), qPrintable(b.text()));
    }
    for (QWidget* w : dlg.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!w->isHidden())
            QVERIFY2(dlg.rect().contains(w->geometry()), qPrintable(w->objectName()));
    QVERIFY(dlg.width() <= dlg.screen()->availableGeometry().width());
    dlg.hide();
}

NxVersionInfo Report(bool component, int nameLength, int versionLength)
{
    const std::string name(static_cast<size_t>(nameLength), 'W');
    const std::string ver(static_cast<size_t>(versionLength), '8');
    NxVersionInfo v;
    v.Component = component;
    v.HasApplication = true;
    v.HwName = component ? "" : name;
    v.HwVer = v.BlVer = v.AppVer = v.TblVer = ver;
    v.BlDate = v.AppDate = v.TblDate = ver;
    v.BlName = v.AppName = v.TblName = name;
    return v;
}

} // namespace

void TestDialogs::designedSizeIsTheLeast()
{
    TFormVersionInfo version;
    QCOMPARE(version.size(), QSize(546, 123));
    QCOMPARE(version.MemoVersionInfo->geometry(), QRect(8, 8, 530, 81));
    QCOMPARE(version.ButtonOK->geometry(), QRect(235, 95, 75, 25));
    QVERIFY(version.MemoVersionInfo->isReadOnly());

    TFormFilterInfo filter;
    QCOMPARE(filter.size(), QSize(364, 199));
    QCOMPARE(filter.MemoFilterInfo->geometry(), QRect(7, 7, 350, 81));
    QCOMPARE(filter.ButtonOK->geometry(), QRect(107, 166, 75, 25));
    QCOMPARE(filter.ButtonCancel->geometry(), QRect(187, 166, 75, 25));
    QCOMPARE(filter.ButtonOKCenter->geometry(), QRect(147, 166, 76, 25));
}

void TestDialogs::versionReportShowsEveryLine_data()
{
    QTest::addColumn<bool>("component");
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<int>("versionLength");
    QTest::newRow("controller, names 32, versions and dates 16") << false << 32 << 16;
    QTest::newRow("component, names 32, versions and dates 16") << true << 32 << 16;
    QTest::newRow("controller, wider than the screen: wraps") << false << 300 << 16;
}

void TestDialogs::versionReportShowsEveryLine()
{
    QFETCH(bool, component);
    QFETCH(int, nameLength);
    QFETCH(int, versionLength);
    TFormVersionInfo dlg;
    dlg.SetReport(FormatVersionReport(Report(component, nameLength, versionLength), "\r\n"));
    QCOMPARE(dlg.MemoVersionInfo->document()->blockCount(), component ? 3 : 4);
    // What is drawn, not what was asked for: every character of the report
    // takes the same width, so the columns line up.
    const QFontMetricsF drawn = dlg.MemoVersionInfo->fontMetrics();
    QVERIFY(drawn.horizontalAdvance('W') > 0);
    for (const QChar c : dlg.MemoVersionInfo->toPlainText())
        if (c != '\n')
            QCOMPARE(drawn.horizontalAdvance(c), drawn.horizontalAdvance('W'));
    QVERIFY(dlg.width() >= 546 && dlg.height() >= 123);
    VerifyAllShown(dlg, *dlg.MemoVersionInfo);
}

void TestDialogs::filterDialogShowsCountersAndQuestion_data()
{
    QTest::addColumn<uint>("runtime");
    QTest::addColumn<bool>("question");
    QTest::newRow("question") << 12345u << true;
    QTest::newRow("question, largest counters") << 4294967295u << true;
    QTest::newRow("confirmation") << 12345u << false;
}

void TestDialogs::filterDialogShowsCountersAndQuestion()
{
    QFETCH(uint, runtime);
    QFETCH(bool, question);
    TFormFilterInfo dlg;
    dlg.Fill(FormatFilterText({runtime, runtime, 65535}),
             question ? kFilterQuestion : kFilterResetDone, question);
    VerifyAllShown(dlg, *dlg.MemoFilterInfo);
    QVERIFY(dlg.LabelMessage->heightForWidth(dlg.LabelMessage->width()) <=
            dlg.LabelMessage->height());
    QVERIFY(dlg.ButtonOK->y() > dlg.LabelMessage->geometry().bottom());
}

void TestDialogs::enterRefusesTheFilterQuestion()
{
    TFormFilterInfo dlg;
    for (bool question : {true, false}) {
        dlg.Fill(FormatFilterText({1, 1, 1}), kFilterQuestion, question);
        QPushButton* answer = question ? dlg.ButtonCancel : dlg.ButtonOKCenter;
        QVERIFY(answer->isDefault());
        QTimer::singleShot(0, &dlg, [&] {
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &dlg,
                            Qt::Key_Return);
        });
        QCOMPARE(dlg.exec(), question ? int(QDialog::Rejected) : int(QDialog::Accepted));
    }
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"
