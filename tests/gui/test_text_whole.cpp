// Every text of the main window shows whole, whatever fonts the machine
// resolves: what is drawn is measured against the control's rectangle. The
// suite runs this with the machine's fonts and again under font sets of
// their own (FONTCONFIG_FILE, see CMakeLists.txt).
#include "gui/GuiRig.h"

#include "ProgBlock.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QtTest>

class TestTextWhole : public QObject
{
    Q_OBJECT

private slots:
    void barTextFitsAndKeepsItsTail_data();
    void barTextFitsAndKeepsItsTail();
    void buttonsTreeAndFieldHoldTheirText();
};

void TestTextWhole::barTextFitsAndKeepsItsTail_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("tail"); // "retry", "pause" or none
    const QString block = "Block: 40/97 - Address: 0xC01380 - Progress: 41%";
    QTest::newRow("block") << block << "";
    QTest::newRow("block, attempt") << block << "retry";
    QTest::newRow("reset, countdown") << "Reset to Bootloader ..."
                                      << "pause";
    QTest::newRow("long failure, countdown")
        << "Download failed: " + QString(120, 'W') + " in /a/folder/file.hex"
        << "pause";
}

void TestTextWhole::barTextFitsAndKeepsItsTail()
{
    QFETCH(QString, step);
    QFETCH(QString, tail);
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.SetProgress(step.toStdString());
    QString end;
    if (tail == "retry") {
        w.OnRetry(2, 5);
        end = " - attempt 2 of 5";
    } else if (tail == "pause") {
        w.OnPause(5000);
        end = " - Waiting for the controller: 5 s";
    }
    const TextProgressBar& bar = *w.ProgressBar1;
    const QString drawn = bar.text();
    const QFontMetrics fm = bar.fontMetrics();
    // One line, inside the bar: wider text would wrap, taller would be cut.
    QVERIFY2(fm.horizontalAdvance(drawn) <= bar.contentsRect().width(), qPrintable(drawn));
    QVERIFY(fm.height() <= bar.contentsRect().height());
    QCOMPARE(bar.FullText(), step + end);
    // What is awaited stays whole; the step gives way in its middle.
    QVERIFY2(drawn.endsWith(end) && drawn.startsWith(step.left(5)), qPrintable(drawn));
    if (fm.horizontalAdvance(step + end) <= bar.TextRoom())
        QCOMPARE(drawn, step + end);
    w.hide();
}

void TestTextWhole::buttonsTreeAndFieldHoldTheirText()
{
    GuiRig rig;
    rig.List.Update();
    RecordingForm& w = rig.Window();
    w.InitView();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Buttons: the text with the style's padding on both sides.
    const int pad = 2 * w.style()->pixelMetric(QStyle::PM_ButtonMargin);
    for (QPushButton* b : {w.ButtonDownload, w.ButtonVersion, w.ButtonResetFilter, w.ButtonClose}) {
        const QFontMetrics fm = b->fontMetrics();
        QVERIFY2(fm.horizontalAdvance(b->text()) + pad <= b->width(), qPrintable(b->text()));
        QVERIFY2(b->size().expandedTo(b->sizeHint()) == b->size(), qPrintable(b->text()));
    }
    QVERIFY(w.EditFilename->height() >= w.EditFilename->sizeHint().height());

    // The tree shows the controller and its three channels at the least size.
    QTreeWidgetItem* dev = rig.Node(0);
    const QRect view = w.TreeViewDevice->viewport()->rect();
    for (QTreeWidgetItem* row : {dev, dev->child(0), dev->child(1), dev->child(2)})
        QVERIFY2(view.contains(w.TreeViewDevice->visualItemRect(row)), qPrintable(row->text(0)));
    // Labels line up whether or not a channel has an icon (channel 3 has none),
    // and each shows whole.
    QVERIFY(dev->child(2)->icon(0).isNull());
    QCOMPARE(w.ShownTextRect(dev->child(2)).left(), w.ShownTextRect(dev->child(0)).left());
    for (QTreeWidgetItem* row : {dev->child(0), dev->child(1), dev->child(2)})
        QVERIFY2(w.TreeViewDevice->fontMetrics().horizontalAdvance(row->text(0)) <=
                     w.ShownTextRect(row).width(),
                 qPrintable(row->text(0)));
    w.hide();
}

QTEST_MAIN(TestTextWhole)
#include "test_text_whole.moc"
