#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/serialsettings.h"
#include "panels/addressscan.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"
#include "support_state.h"
#include "widgets/placement.h"

#include <QApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr QSize kScreen(1280, 720);
}

class PlacementTest : public QObject
{
    Q_OBJECT

private slots:
    void fitOnScreen_data();
    void fitOnScreen();
    void windowsWholeOnASmallScreen();
    void operatorsPlaceKeptWhenItFits();

private:
    ToolFixture m_fixture;
};

void PlacementTest::fitOnScreen_data()
{
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("place");

    const QRect small(0, 0, 1280, 720);
    const QRect laptop(0, 0, 1366, 768);
    const QRect large(0, 0, 1600, 900);
    // The six windows at their design corners with their sizes.
    QTest::newRow("launcher fits") << QRect(528, 6, 248, 432) << small << QPoint(528, 6);
    QTest::newRow("monitor wider than the rest") << QRect(843, 64, 836, 386) << small << QPoint(444, 64);
    QTest::newRow("monitor on 1366") << QRect(843, 64, 836, 386) << laptop << QPoint(530, 64);
    QTest::newRow("sequence both ways") << QRect(1134, 110, 394, 675) << small << QPoint(886, 45);
    QTest::newRow("sequence on 1366") << QRect(1134, 110, 394, 675) << laptop << QPoint(972, 93);
    QTest::newRow("sequence on 1600") << QRect(1134, 110, 394, 675) << large << QPoint(1134, 110);
    QTest::newRow("exactly to the edges") << QRect(1000, 600, 280, 120) << small << QPoint(1000, 600);
    QTest::newRow("one pixel over") << QRect(1001, 601, 280, 120) << small << QPoint(1000, 600);
    // Never off the left or top: too large a frame lies against those edges.
    QTest::newRow("wider than the screen") << QRect(300, 10, 1400, 200) << small << QPoint(0, 10);
    QTest::newRow("taller than the screen") << QRect(300, 100, 200, 800) << small << QPoint(300, 0);
    QTest::newRow("off the left and top") << QRect(-50, -20, 200, 100) << small << QPoint(0, 0);
    // The free area need not start at 0: a task bar on top, a second screen.
    QTest::newRow("task bar on top") << QRect(528, 6, 248, 432) << QRect(0, 32, 1280, 688) << QPoint(528, 32);
    QTest::newRow("task bar below") << QRect(100, 400, 200, 300) << QRect(0, 0, 1280, 680) << QPoint(100, 380);
    QTest::newRow("second screen") << QRect(2800, 64, 836, 386) << QRect(1920, 0, 1366, 768) << QPoint(2450, 64);
}

void PlacementTest::fitOnScreen()
{
    QFETCH(QRect, frame);
    QFETCH(QRect, available);
    QFETCH(QPoint, place);
    QCOMPARE(FitOnScreen(frame, available), place);
}

// On a 1280 x 720 screen every window shows whole and at its own size; those
// that fit stay at their design corners, the others touch the edge they would
// have crossed.
void PlacementTest::windowsWholeOnASmallScreen()
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(available.size(), kScreen);
    CreateForms();
    struct Window {
        QWidget *widget;
        QPoint design;
    };
    const Window windows[] = {{MAIN, {528, 6}},       {RS232, {483, 120}},   {RSADDERS, {517, 135}},
                              {POWER_TEST, {843, 64}}, {TYP, {1134, 110}}, {ERR, {715, 165}}};
    for (const Window &window : windows) {
        const QString name = window.widget->objectName();
        QCOMPARE(window.widget->pos(), window.design);
        window.widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.widget));
        const QRect frame = window.widget->frameGeometry();
        QVERIFY2(available.contains(frame), qPrintable(name));
        const bool fitted = available.contains(QRect(window.design, frame.size()));
        if (fitted) {
            QCOMPARE(frame.topLeft(), window.design);
        } else {
            QVERIFY2(frame.right() == available.right() || frame.bottom() == available.bottom(), qPrintable(name));
            QVERIFY2(frame.x() <= window.design.x() && frame.y() <= window.design.y(), qPrintable(name));
        }
        window.widget->hide();
    }
    // The two that cannot fit here: the monitor on the right, the sequence runner on both sides.
    QCOMPARE(POWER_TEST->frameGeometry().right(), available.right());
    QCOMPARE(POWER_TEST->y(), 64);
    QCOMPARE(TYP->frameGeometry().right(), available.right());
    QCOMPARE(TYP->frameGeometry().bottom(), available.bottom());
    DestroyForms();
}

// A window the operator moved stays there when it fits, and is pulled back
// just far enough when he left it half off the screen.
void PlacementTest::operatorsPlaceKeptWhenItFits()
{
    CreateForms();
    RSADDERS->show();
    QVERIFY(QTest::qWaitForWindowExposed(RSADDERS));
    RSADDERS->move(40, 50);
    RSADDERS->hide();
    RSADDERS->show();
    QCOMPARE(RSADDERS->pos(), QPoint(40, 50));
    RSADDERS->move(1200, 50);
    RSADDERS->hide();
    RSADDERS->show();
    QCOMPARE(RSADDERS->frameGeometry().right(), kScreen.width() - 1);
    QCOMPARE(RSADDERS->y(), 50);
    DestroyForms();
}

// The whole test runs on a 1280 x 720 screen of the offscreen platform.
int main(int argc, char *argv[])
{
    QTemporaryDir folder;
    const QString config = folder.filePath(QStringLiteral("screen.json"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write(QStringLiteral(R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": %1, "height": %2,
                                  "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")
                   .arg(kScreen.width())
                   .arg(kScreen.height())
                   .toUtf8());
    file.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + config.toLocal8Bit());
    QApplication app(argc, argv);
    PlacementTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_placement.moc"
