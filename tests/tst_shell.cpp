#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/modelmenu.h"
#include "app/serialsettings.h"
#include "link/commports.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/serialchannel.h"
#include "support_modal.h"
#include "support_pty.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QShowEvent>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>
#include <QtTest/qtestspontaneevent.h>

class ShellTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        RxBusy = true;
        CreateForms();
        MAIN->show();
        QVERIFY(QTest::qWaitForWindowExposed(MAIN));
    }

    void cleanupTestCase() { DestroyForms(); }

    void windowsCreatedHiddenWithTheirNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QPoint>("position");
        QTest::newRow("RS232") << "RS232" << "通讯设置" << QPoint(483, 120);
        QTest::newRow("RSADDERS") << "RSADDERS" << "通讯地址查询" << QPoint(517, 135);
        QTest::newRow("POWER_TEST") << "POWER_TEST" << "电源测试" << QPoint(843, 64);
        QTest::newRow("TYP") << "TYP" << "典型应用" << QPoint(1134, 110);
        QTest::newRow("ERR") << "ERR" << ")" << QPoint(715, 165);
    }
    void windowsCreatedHiddenWithTheirNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QPoint, position);
        QWidget *found = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == name)
                found = w;
        QVERIFY(found);
        QCOMPARE(found->windowTitle(), caption);
        QCOMPARE(found->pos(), position);
    }

    void startUpConfiguresReceiving()
    {
        QVERIFY(!RxBusy);
        QCOMPARE(MAIN->MSComm1->InputMode(), 1);
        QCOMPARE(int(MAIN->MSComm1->RThreshold()), 1);
        QCOMPARE(int(MAIN->MSComm1->InputLen()), 0);
        QVERIFY(!MAIN->MSComm1->PortOpen());
        QCOMPARE(MAIN->Label2->text(), QStringLiteral("QELTXX-XXX"));
        QCOMPARE(MAIN->Label1->text(), QStringLiteral("精密数控电源测试软件"));
        QCOMPARE(MAIN->pos(), QPoint(528, 6));
    }

    void launcherButtonsShowOneCopy_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("window");
        QTest::newRow("settings") << "BitBtn1" << "RS232";
        QTest::newRow("scan") << "BitBtn2" << "RSADDERS";
        QTest::newRow("monitor") << "BitBtn4" << "POWER_TEST";
        QTest::newRow("sequence") << "BitBtn6" << "TYP";
        QTest::newRow("calibration") << "BitBtn5" << "ERR";
    }
    void launcherButtonsShowOneCopy()
    {
        QFETCH(QString, button);
        QFETCH(QString, window);
        const int before = QApplication::topLevelWidgets().size();
        auto *b = MAIN->findChild<QPushButton *>(button);
        QVERIFY(b);
        b->click();
        b->click();
        QCOMPARE(QApplication::topLevelWidgets().size(), before);
        QWidget *shown = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == window)
                shown = w;
        QVERIFY(shown && shown->isVisible());
        shown->hide();
    }

    // The whole catalogue written out here, so that a changed value in the
    // tool's table fails; each row chosen through the menu.
    void catalogue_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("vlimit");
        QTest::addColumn<int>("ilimit");
        QTest::addColumn<int>("vscale");
        QTest::addColumn<int>("iscale");
        QTest::addColumn<int>("vdecimals");
        QTest::addColumn<int>("idecimals");
        const auto row = [](int item, const char *caption, int vlimit, int ilimit, int vscale, int iscale,
                            int vdecimals, int idecimals) {
            QTest::newRow(caption) << item << QString::fromLatin1(caption) << vlimit << ilimit << vscale << iscale
                                   << vdecimals << idecimals;
        };
        row(1, "QELT30-05", 3100, 5100, 100, 1000, 2, 3);
        row(2, "QELT15-20", 1500, 2000, 100, 100, 2, 2);
        row(3, "QELT30-10", 3100, 1050, 100, 100, 2, 2);
        row(4, "QELT30-20", 3100, 2100, 100, 100, 2, 2);
        row(5, "QELT36-03", 3700, 3100, 100, 1000, 2, 3);
        row(6, "QELT60-02", 6100, 2100, 100, 1000, 2, 3);
        row(7, "QELT60-05", 6100, 5050, 100, 1000, 2, 3);
        row(8, "QELT60-10", 6100, 1000, 100, 100, 2, 2);
        row(9, "QELT60-15", 6100, 1500, 100, 100, 2, 2);
        row(10, "QELT100-05", 1000, 5000, 10, 1000, 1, 3);
        row(11, "QELT100-06", 1000, 6000, 10, 1000, 1, 3);
        row(12, "QELT100-9999", 1000, 9999, 10, 1000, 1, 3);
        row(13, "QELT100-10", 1000, 1000, 10, 100, 1, 2);
        row(14, "QELT120-01", 1210, 1100, 10, 1000, 1, 3);
        row(15, "QELT120-03", 1210, 3050, 10, 1000, 1, 3);
        row(16, "QELT120-05", 1200, 5000, 10, 1000, 1, 3);
        row(17, "QELT120-06", 1200, 6000, 10, 1000, 1, 3);
        row(18, "QELT120-08", 1200, 8000, 10, 1000, 1, 3);
        row(19, "QELT200-01", 2010, 1050, 10, 1000, 1, 3);
        row(20, "QELT200-02", 2010, 2050, 10, 1000, 1, 3);
        row(21, "QELT200-03", 2000, 3000, 10, 1000, 1, 3);
        row(22, "QELT200-05", 2000, 5000, 10, 1000, 1, 3);
        row(23, "QELT300-01", 3000, 1000, 10, 1000, 1, 3);
        row(24, "QELT300-02", 3000, 2000, 10, 1000, 1, 3);
        row(25, "QELT300-03", 3000, 3000, 10, 1000, 1, 3);
        row(26, "QELT400-01", 4010, 1050, 10, 1000, 1, 3);
        row(27, "QELT400-02", 4000, 2000, 10, 1000, 1, 3);
        row(28, "QELT500-01", 5000, 1000, 10, 1000, 1, 3);
        row(29, "QELT500-02", 5000, 2000, 10, 1000, 1, 3);
        row(30, "QELT600-01", 6000, 1000, 10, 1000, 1, 3);
        row(31, "QELT600-015", 6000, 1500, 10, 1000, 1, 3);
        row(32, "QELT1000-001", 9999, 1000, 10, 1000, 1, 3);
        row(33, "QELT1000-002", 9999, 2000, 10, 1000, 1, 3);
        row(34, "QELT1000-003", 9999, 3000, 10, 1000, 1, 3);
        row(35, "QELT1000-1A", 9999, 9999, 10, 1000, 1, 3);
    }
    void catalogue()
    {
        QFETCH(int, item);
        QFETCH(QString, caption);
        QFETCH(int, vlimit);
        QFETCH(int, ilimit);
        QFETCH(int, vscale);
        QFETCH(int, iscale);
        QFETCH(int, vdecimals);
        QFETCH(int, idecimals);
        MAIN->PopupMenu3->Item(item)->trigger();
        QCOMPARE(MAIN->Label2->text(), caption);
        QCOMPARE(ModelName, caption);
        QCOMPARE(int(VoltageLimit), vlimit);
        QCOMPARE(int(CurrentLimit), ilimit);
        QCOMPARE(int(VoltageScale), vscale);
        QCOMPARE(int(CurrentScale), iscale);
        QCOMPARE(VoltageDecimals, vdecimals);
        QCOMPARE(CurrentDecimals, idecimals);
    }

    void catalogueIsWhole()
    {
        QCOMPARE(int(ModelCatalogue.size()), 35);
        for (const ModelEntry &entry : ModelCatalogue) {
            QVERIFY(qstrlen(entry.caption) <= 12);
            QVERIFY(entry.voltageScale == 100 || entry.voltageScale == 10);
            QVERIFY(entry.currentScale == 1000 || entry.currentScale == 100);
        }
    }

    void menuLayout()
    {
        TModelMenu *menu = MAIN->PopupMenu3;
        MAIN->move(300, 100);
        QTRY_COMPARE(MAIN->pos(), QPoint(300, 100));
        MAIN->BitBtn7->click();
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->frameGeometry().topLeft(), MAIN->frameGeometry().topLeft() + QPoint(200, 60));
        // Items 1-25 in the first column, 26-35 in the second.
        QCOMPARE(menu->ItemButton(26)->y(), menu->ItemButton(1)->y());
        QVERIFY(menu->ItemButton(26)->x() > menu->ItemButton(25)->x());
        QCOMPARE(menu->ItemButton(25)->x(), menu->ItemButton(1)->x());
        QVERIFY(menu->ItemButton(25)->y() > menu->ItemButton(24)->y());
        QCOMPARE(menu->ItemButton(35)->x(), menu->ItemButton(26)->x());
        for (int k = 1; k <= ModelCount; ++k)
            QCOMPARE(menu->Item(k)->icon().isNull(), k == 12);
        menu->hide();
        MAIN->move(528, 6);
    }

    void onlyItemOneToggles()
    {
        TModelMenu *menu = MAIN->PopupMenu3;
        const bool before = menu->Item(1)->isChecked();
        menu->Item(1)->trigger();
        QCOMPARE(menu->Item(1)->isChecked(), !before);
        menu->Item(1)->trigger();
        QCOMPARE(menu->Item(1)->isChecked(), before);
        menu->Item(5)->trigger();
        for (int k = 2; k <= ModelCount; ++k)
            QVERIFY(!menu->Item(k)->isChecked());
        QCOMPARE(ModelName, QStringLiteral("QELT36-03"));
    }

    void settingsText_data()
    {
        QTest::addColumn<QString>("baud");
        QTest::addColumn<QString>("stop");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("parity");
        QTest::addColumn<QString>("text");
        QTest::newRow("defaults") << "9600" << "1" << "8" << "无" << "9600,n,8,1";
        QTest::newRow("even 7 2") << "4800" << "2" << "7" << "偶校验" << "4800,e,7,2";
        QTest::newRow("odd 1.5") << "19200" << "1.5" << "5" << "奇校验" << "19200,o,5,1.5";
    }
    void settingsText()
    {
        QFETCH(QString, baud);
        QFETCH(QString, stop);
        QFETCH(QString, data);
        QFETCH(QString, parity);
        QFETCH(QString, text);
        RS232->ComboBox2->setCurrentText(baud);
        RS232->ComboBox3->setCurrentText(stop);
        RS232->ComboBox4->setCurrentText(data);
        RS232->ComboBox5->setCurrentText(parity);
        QCOMPARE(RS232->SettingsText(), text);
    }

    void applyOpensPortAndPreselectsIt()
    {
        PtyPeer peer;
        MapCommPort(7, peer.slavePath());
        LastPortNumber = 0;
        RS232->show();
        QCOMPARE(RS232->ComboBox1->currentText(), QStringLiteral("COM2"));
        QCOMPARE(RS232->ComboBox2->currentText(), QStringLiteral("9600"));
        QCOMPARE(RS232->ComboBox3->currentText(), QStringLiteral("1"));
        QCOMPARE(RS232->ComboBox4->currentText(), QStringLiteral("8"));
        QCOMPARE(RS232->ComboBox5->currentText(), QStringLiteral("无"));

        RS232->ComboBox1->setCurrentText(QStringLiteral("COM7"));
        QVERIFY(RS232->DeviceLabel->text().contains(peer.slavePath()));
        // A pseudo-terminal keeps 8 data bits and no parity whatever it is
        // asked for, so only the rate and stop bits vary here.
        RS232->ComboBox2->setCurrentText(QStringLiteral("19200"));
        RS232->ComboBox3->setCurrentText(QStringLiteral("2"));
        ModalCloser closer;
        RS232->BitBtn1->click();
        QCOMPARE(closer.texts(), QStringList{QStringLiteral("串口初始化成功！")});
        QVERIFY(MAIN->MSComm1->PortOpen());
        QCOMPARE(MAIN->MSComm1->OpenDevice(), peer.slavePath());
        QCOMPARE(MAIN->MSComm1->Settings(), QStringLiteral("19200,n,8,2"));
        QCOMPARE(LastPortNumber, 7);
        QVERIFY(!RS232->isVisible());

        // Only the port is remembered.
        RS232->show();
        QCOMPARE(RS232->ComboBox1->currentText(), QStringLiteral("COM7"));
        QCOMPARE(RS232->ComboBox2->currentText(), QStringLiteral("9600"));
        QCOMPARE(RS232->ComboBox3->currentText(), QStringLiteral("1"));
        QCOMPARE(RS232->ComboBox5->currentText(), QStringLiteral("无"));

        // Applying again closes and reopens, with the success box again.
        RS232->BitBtn1->click();
        QCOMPARE(closer.texts().size(), 2);
        QVERIFY(MAIN->MSComm1->PortOpen());

        // Return changes nothing.
        RS232->show();
        RS232->ComboBox1->setCurrentText(QStringLiteral("COM3"));
        RS232->BitBtn2->click();
        QVERIFY(!RS232->isVisible());
        QVERIFY(MAIN->MSComm1->PortOpen());
        QCOMPARE(LastPortNumber, 7);
        MAIN->MSComm1->SetPortOpen(false);
    }

    void restoreFromMinimisedKeepsThePicks()
    {
        RS232->hide();
        RS232->show();
        RS232->ComboBox1->setCurrentText(QStringLiteral("COM5"));
        RS232->ComboBox2->setCurrentText(QStringLiteral("4800"));
        RS232->ComboBox5->setCurrentText(QStringLiteral("奇校验"));
        // What the window system sends when the window is restored.
        QShowEvent restored;
        QSpontaneKeyEvent::setSpontaneous(&restored);
        QApplication::instance()->notify(RS232, &restored);
        QCOMPARE(RS232->ComboBox1->currentText(), QStringLiteral("COM5"));
        QCOMPARE(RS232->SettingsText(), QStringLiteral("4800,o,8,1"));
        RS232->hide();
    }

    void lineSettingsTheDeviceRefuses()
    {
        // The pseudo-terminal cannot do parity: the open is refused with the
        // reason instead of running on different settings than asked for.
        PtyPeer peer;
        MapCommPort(4, peer.slavePath());
        RS232->hide();
        RS232->show();
        RS232->ComboBox1->setCurrentText(QStringLiteral("COM4"));
        RS232->ComboBox5->setCurrentText(QStringLiteral("偶校验"));
        ModalCloser closer;
        RS232->BitBtn1->click();
        QCOMPARE(closer.texts().size(), 1);
        QVERIFY(closer.texts().first().contains(QStringLiteral("校验")));
        QVERIFY(!MAIN->MSComm1->PortOpen());
        QVERIFY(RS232->isVisible());
        RS232->hide();
    }

    void applyOnMissingPortFails()
    {
        PtyPeer peer;
        MapCommPort(11, peer.slavePath());
        MapCommPort(12, QStringLiteral("/dev/psutool-absent"));
        LastPortNumber = 0;
        RS232->show();
        RS232->ComboBox1->setCurrentText(QStringLiteral("COM11"));
        ModalCloser closer;
        RS232->BitBtn1->click();
        QVERIFY(MAIN->MSComm1->PortOpen());

        RS232->show();
        QCOMPARE(RS232->ComboBox1->currentText(), QStringLiteral("COM11"));
        RS232->ComboBox1->setCurrentText(QStringLiteral("COM12"));
        closer.clear();
        RS232->BitBtn1->click();
        QCOMPARE(closer.texts().size(), 1);
        QVERIFY(closer.texts().first() != QStringLiteral("串口初始化成功！"));
        QVERIFY(closer.texts().first().contains(QStringLiteral("COM12")));
        // The port that was open is now closed, the number already stored, the dialog still open.
        QVERIFY(!MAIN->MSComm1->PortOpen());
        QCOMPARE(LastPortNumber, 12);
        QVERIFY(RS232->isVisible());
        RS232->hide();
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("display");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        // Help and the version need no display: they are answered before any window.
        QTest::newRow("--help") << QStringList{"--help"} << false << 0 << "--map <COMn=ADDRESS>" << "";
        QTest::newRow("-h") << QStringList{"-h"} << false << 0 << "--lang <code>" << "";
        QTest::newRow("--help after --lang en") << QStringList{"--lang", "en", "--help"} << false << 0 << "Usage: "
                                                << "";
        QTest::newRow("--version") << QStringList{"--version"} << false << 0 << "psutool 0.1\n" << "";
        QTest::newRow("-v") << QStringList{"-v"} << false << 0 << "psutool 0.1\n" << "";
        // The toolkit's options are listed by the toolkit, once it runs.
        QTest::newRow("--help-all") << QStringList{"--help-all"} << true << 0 << "-platform" << "";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << true << 2 << ""
                                        << "psutool: Unknown option 'bogus'.\n";
        QTest::newRow("unknown among known") << QStringList{"--lang", "en", "-x"} << true << 2 << ""
                                             << "Unknown option 'x'.";
        QTest::newRow("argument") << QStringList{"COM2"} << true << 2 << "" << "Unexpected argument 'COM2'.";
        QTest::newRow("--lang without value") << QStringList{"--lang"} << true << 2 << ""
                                              << "Missing value after '--lang'.";
        // The toolkit's own options are the toolkit's: not unknown to the tool.
        QTest::newRow("toolkit option, unknown") << QStringList{"-style", "fusion", "--bogus"} << true << 2 << ""
                                                 << "Unknown option 'bogus'.";
    }

    // The tool itself, as a terminal starts it.
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, display);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "PSUTOOL_MAP", "PSUTOOL_LANG"})
            environment.remove(QString::fromLatin1(name));
        // A runtime folder of its own, so that the toolkit has nothing to say on stderr.
        QTemporaryDir runtime;
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        if (display)
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        tool.setProcessEnvironment(environment);
        tool.start(QStringLiteral(PSUTOOL_PROGRAM), arguments);
        QVERIFY(tool.waitForStarted());
        // A tool that opened its window instead would still run.
        if (!tool.waitForFinished(60000)) {
            tool.kill();
            tool.waitForFinished();
            QFAIL("the tool did not end by itself");
        }
        const QString printed = QString::fromLocal8Bit(tool.readAllStandardOutput());
        const QString complained = QString::fromLocal8Bit(tool.readAllStandardError());
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QVERIFY2(tool.exitCode() == exitCode, qPrintable(QString::number(tool.exitCode()) + ": " + complained));
        QVERIFY2(printed.contains(out), qPrintable(printed));
        QVERIFY2(complained.contains(err), qPrintable(complained));
        if (exitCode == 0)
            QVERIFY2(complained.isEmpty(), qPrintable(complained));
        else
            QVERIFY2(printed.isEmpty() && complained.contains(QStringLiteral("--help")), qPrintable(printed));
    }
};

QTEST_MAIN(ShellTest)
#include "tst_shell.moc"
