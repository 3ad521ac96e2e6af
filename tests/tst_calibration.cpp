#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "panels/autocalibration.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "plan/historydb.h"
#include "support_bytes.h"
#include "support_toolline.h"
#include "widgets/errorreport.h"
#include "widgets/spinedit.h"

#include <QButtonGroup>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

namespace {
// Written out here byte by byte, independent of the tool's frame builders.
QByteArray correctionFrame(quint8 address, quint8 registerLow, quint8 code)
{
    QByteArray bytes;
    bytes.append(char(address)).append(char(0x10)).append(char(0x10)).append(char(registerLow));
    bytes.append(char(0x00)).append(char(0x01)).append(char(0x02)).append(char(0x00)).append(char(code));
    return withCrc(bytes);
}

// psusim with one QELT30-05 at address 1 whose terminals are 0.12 V high and
// whose correction step is +0.02 V, and its meter; the tool's control opened
// on its line as COM3, and a station file naming the meter.
struct SimulatedBench {
    QProcess sim;
    QString station;

    explicit SimulatedBench(const QString &dir)
    {
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QStringLiteral(PSUSIM_PROGRAM), {QStringLiteral("--supply"), QStringLiteral("1"),
                                                   QStringLiteral("--output-offset"), QStringLiteral("1=0.12"),
                                                   QStringLiteral("--correction-step"), QStringLiteral("1=0.02"),
                                                   QStringLiteral("--dmm"), QStringLiteral("0")});
        QString banner;
        if (!sim.waitForStarted()
            || !QTest::qWaitFor([&] { return (banner += QString::fromLatin1(sim.readAllStandardOutput())).contains(QLatin1String("dmm on")); }, 20000))
            return;
        const QStringList lines = banner.split(QLatin1Char('\n'));
        const QString meter = lines.filter(QStringLiteral("dmm on")).first().section(QLatin1Char(' '), 2);
        station = QDir(dir).filePath(QStringLiteral("station.toml"));
        QFile file(station);
        file.open(QIODevice::WriteOnly);
        file.write(QStringLiteral("name = \"Bench 3\"\n[[reference]]\nname = \"dmm\"\nkind = \"dmm\"\nlink = \"tcp://%1\"\n"
                                  "driver = \"%2/examples/station/drivers/generic-dmm.toml\"\ncalibration_due = 2099-01-01\n")
                       .arg(meter, QStringLiteral(PSUTOOL_SOURCE_DIR))
                       .toUtf8());
        MAIN->MSComm1->SetPortOpen(false);
        OpenToolPort(lines.first(), 3);
    }
    ~SimulatedBench()
    {
        MAIN->MSComm1->SetPortOpen(false);
        MAIN->MSComm1->SetCommPort(1);
        MAIN->MSComm1->SetPortOpen(true);
        sim.terminate();
        sim.waitForFinished();
    }
};

// The automatic window from the calibration window's button, set for a
// quick run on address 1 with its certificates into dir.
TAUTOCAL *automaticWindow(const QString &station, const QString &dir, int points, double settle)
{
    SelectModel(1);
    ShowWindow(ERR);
    ERR->BitBtn3->click();
    TAUTOCAL *window = ERR->AutoCal;
    window->Edit1->setText(station);
    window->SpinEdit1->SetValue(1);
    window->SpinEdit2->SetValue(points);
    window->SpinEdit3->SetValue(3);
    window->DoubleSpinBox1->setValue(settle);
    window->Edit2->setText(QStringLiteral("SN-42"));
    window->Edit6->setText(dir);
    window->Edit7->setText(QDir(dir).filePath(QStringLiteral("history.sqlite")));
    return window;
}

QJsonObject certificateJson(const QString &dir)
{
    const QStringList files = QDir(dir).entryList({QStringLiteral("cal-*.json")});
    QFile file(QDir(dir).filePath(files.value(0)));
    if (files.size() != 1 || !file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

class CalibrationTest : public QObject
{
    Q_OBJECT

private:
    ToolOnPty m_tool;
    QByteArrayList &m_sent = m_tool.sent();

private slots:
    void initTestCase()
    {
        const QString error = m_tool.open();
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    void cleanupTestCase() { m_tool.close(); }

    void init() { m_tool.reset(); }

    // Runs first, while the window is as created.
    void designState()
    {
        QCOMPARE(ERR->objectName(), QStringLiteral("ERR"));
        QCOMPARE(ERR->windowTitle(), QStringLiteral(")"));
        QCOMPARE(ERR->BitBtn1->text(), QStringLiteral("校  准"));
        QCOMPARE(ERR->BitBtn2->text(), QStringLiteral("退  出"));
        QVERIFY(ERR->findChildren<QLabel *>().size() >= 4);
        QCOMPARE(ERR->Label1->text(), QStringLiteral("电源误差修正"));
        QCOMPARE(ERR->SpinEdit1->MinValue(), -10);
        QCOMPARE(ERR->SpinEdit1->MaxValue(), 10);
        QCOMPARE(ERR->SpinEdit3->MinValue(), -100);
        QCOMPARE(ERR->SpinEdit3->MaxValue(), 100);
        QVERIFY(ERR->SpinEdit2->Unlimited());
        for (TSpinEdit *field : {ERR->SpinEdit1, ERR->SpinEdit3})
            QCOMPARE(field->Value(), 0);
        // The first supply, not the broadcast that would reach them all.
        QCOMPARE(ERR->SpinEdit2->Value(), 1);
        for (const char *name : {"SpinEdit1", "SpinEdit2", "SpinEdit3", "RadioButton1", "RadioButton2",
                                 "BitBtn1", "BitBtn2"})
            QVERIFY2(ERR->findChild<QWidget *>(QString::fromLatin1(name)), name);
        QVERIFY(!ERR->RadioButton1->isChecked());
        QVERIFY(!ERR->RadioButton2->isChecked());
        QVERIFY(!CalibrationMode);
    }

    void nothingSelectedSendsNothing()
    {
        const int messages = ShownMessages().count;
        ERR->BitBtn1->click();
        QVERIFY(m_sent.isEmpty());
        QCOMPARE(ShownMessages().count, messages);
    }

    void radioButtonsExclusive()
    {
        ERR->RadioButton1->click();
        QVERIFY(ERR->RadioButton1->isChecked());
        ERR->RadioButton2->click();
        QVERIFY(ERR->RadioButton2->isChecked());
        QVERIFY(!ERR->RadioButton1->isChecked());
        ERR->RadioButton1->click();
        QVERIFY(!ERR->RadioButton2->isChecked());
    }

    void correctionCode_data()
    {
        QTest::addColumn<int>("correction");
        QTest::addColumn<int>("base");
        QTest::addColumn<int>("code");
        QTest::newRow("V 0") << 0 << 10 << 0;
        QTest::newRow("V +1") << 1 << 10 << 1;
        QTest::newRow("V +10") << 10 << 10 << 10;
        QTest::newRow("V -1") << -1 << 10 << 11;
        QTest::newRow("V -3") << -3 << 10 << 13;
        QTest::newRow("V -10") << -10 << 10 << 20;
        QTest::newRow("V -11 beyond") << -11 << 10 << 0;
        QTest::newRow("V +21 beyond") << 21 << 10 << 0;
        QTest::newRow("I 0") << 0 << 100 << 0;
        QTest::newRow("I +100") << 100 << 100 << 100;
        QTest::newRow("I -1") << -1 << 100 << 101;
        QTest::newRow("I -100") << -100 << 100 << 200;
        QTest::newRow("I -101 beyond") << -101 << 100 << 0;
        QTest::newRow("I +255 beyond") << 255 << 100 << 0;
        QTest::newRow("most negative") << std::numeric_limits<int>::min() << 100 << 0;
    }

    void correctionCode()
    {
        QFETCH(int, correction);
        QFETCH(int, base);
        QFETCH(int, code);
        QCOMPARE(int(CorrectionCode(correction, base)), code);
    }

    // The fields as typed (texts, so that text that is not a number reads as
    // the field's minimum) and the frame on the wire.
    void calibrateFrame_data()
    {
        QTest::addColumn<int>("radio");
        QTest::addColumn<QString>("voltage");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("frame");

        QTest::newRow("voltage -3 at 1") << 1 << "-3" << "0" << "1" << hex("01 10 10 1A 00 01 02 00 0D 74 6E");
        QTest::newRow("current -1 at 1") << 2 << "0" << "-1" << "1" << hex("01 10 10 19 00 01 02 00 65 75 B3");
        QTest::newRow("voltage +10") << 1 << "10" << "-1" << "1" << correctionFrame(1, 0x1A, 10);
        QTest::newRow("voltage -10") << 1 << "-10" << "5" << "1" << correctionFrame(1, 0x1A, 20);
        QTest::newRow("voltage 0") << 1 << "0" << "5" << "2" << correctionFrame(2, 0x1A, 0);
        QTest::newRow("current -100") << 2 << "3" << "-100" << "1" << correctionFrame(1, 0x19, 200);
        QTest::newRow("current +100") << 2 << "3" << "100" << "1" << correctionFrame(1, 0x19, 100);
        QTest::newRow("address 256") << 1 << "1" << "0" << "256" << correctionFrame(0x00, 0x1A, 1);
        QTest::newRow("address 300") << 1 << "1" << "0" << "300" << correctionFrame(0x2C, 0x1A, 1);
        QTest::newRow("address -1") << 2 << "1" << "7" << "-1" << correctionFrame(0xFF, 0x19, 7);
        QTest::newRow("voltage not a number") << 1 << "abc" << "0" << "1" << correctionFrame(1, 0x1A, 20);
        QTest::newRow("current not a number") << 2 << "0" << "1.5" << "1" << correctionFrame(1, 0x19, 200);
        QTest::newRow("address not a number") << 1 << "2" << "0" << "x1" << correctionFrame(0, 0x1A, 2);
        QTest::newRow("voltage above range") << 1 << "15" << "0" << "1" << correctionFrame(1, 0x1A, 10);
        QTest::newRow("current below range") << 2 << "0" << "-150" << "1" << correctionFrame(1, 0x19, 200);
    }

    void calibrateFrame()
    {
        QFETCH(int, radio);
        QFETCH(QString, voltage);
        QFETCH(QString, current);
        QFETCH(QString, address);
        QFETCH(QByteArray, frame);
        (radio == 1 ? ERR->RadioButton1 : ERR->RadioButton2)->setChecked(true);
        ERR->SpinEdit1->findChild<QLineEdit *>()->setText(voltage);
        ERR->SpinEdit3->findChild<QLineEdit *>()->setText(current);
        ERR->SpinEdit2->findChild<QLineEdit *>()->setText(address);
        ERR->BitBtn1->click();
        QCOMPARE(m_sent.size(), 1);
        QCOMPARE(m_sent.first().toHex(' '), frame.toHex(' '));
        QCOMPARE(m_tool.peer().readSome(11, 3000).toHex(' '), frame.toHex(' '));
    }

    void everyPressSendsOneFrame()
    {
        ERR->RadioButton2->setChecked(true);
        ERR->SpinEdit3->SetValue(-1);
        ERR->SpinEdit2->SetValue(1);
        ERR->BitBtn1->click();
        ERR->BitBtn1->click();
        const QByteArray frame = hex("01 10 10 19 00 01 02 00 65 75 B3");
        QCOMPARE(m_sent, (QByteArrayList{frame, frame}));
        QCOMPARE(m_tool.peer().readSome(22, 3000), frame + frame);
    }

    void modeFollowsWindow_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("close box") << "close box";
        QTest::newRow("exit button") << "exit";
        QTest::newRow("hidden") << "hide";
        QTest::newRow("launcher, then close box") << "launcher";
    }

    void modeFollowsWindow()
    {
        QFETCH(QString, how);
        QVERIFY(!CalibrationMode);
        if (how == QLatin1String("launcher"))
            MAIN->BitBtn5->click();
        else
            ShowWindow(ERR);
        QVERIFY(ERR->isVisible());
        QVERIFY(CalibrationMode);
        ERR->RadioButton1->setChecked(true);
        ERR->SpinEdit1->SetValue(4);

        if (how == QLatin1String("exit")) {
            ERR->BitBtn2->click();
        } else if (how == QLatin1String("hide")) {
            ERR->hide();
        } else {
            QVERIFY(ERR->windowHandle());
            ERR->windowHandle()->close();
        }
        QVERIFY(!ERR->isVisible());
        QVERIFY(!CalibrationMode);
        // Fields and selection survive to the next showing.
        ShowWindow(ERR);
        QVERIFY(CalibrationMode);
        QVERIFY(ERR->RadioButton1->isChecked());
        QCOMPARE(ERR->SpinEdit1->Value(), 4);
        ERR->BitBtn2->click();
        QVERIFY(!CalibrationMode);
        QVERIFY(m_sent.isEmpty());
    }

    // A send on a closed port ends the handler with the control's error and
    // leaves the mode alone.
    void closedPortReportsError()
    {
        ShowWindow(ERR);
        ERR->RadioButton1->setChecked(true);
        MAIN->MSComm1->SetPortOpen(false);
        const int messages = ShownMessages().count;
        ERR->BitBtn1->click();
        QCOMPARE(ShownMessages().count, messages + 1);
        QVERIFY(m_sent.isEmpty());
        QVERIFY(CalibrationMode);
        MAIN->MSComm1->SetPortOpen(true);
        ERR->BitBtn2->click();
        QVERIFY(!CalibrationMode);
    }

    // Automatic: the supply's 0.12 V is found, six steps of -0.02 V written
    // (code 16: ten and six), and the as-left sweep inside the tolerance; the
    // tool's port is open again after the run.
    void automaticCentresTheOutput()
    {
        QTemporaryDir dir;
        SimulatedBench bench(dir.path());
        QVERIFY(!bench.station.isEmpty());
        TAUTOCAL *window = automaticWindow(bench.station, dir.path(), 3, 0.2);
        window->Button3->click();
        QVERIFY(window->Running());
        QVERIFY(!MAIN->MSComm1->PortOpen());
        QTRY_VERIFY_WITH_TIMEOUT(!window->Running(), 120000);
        QVERIFY(MAIN->MSComm1->PortOpen());
        const QJsonObject json = certificateJson(dir.path());
        QCOMPARE(json.value(QStringLiteral("status")).toString(), QStringLiteral("PASS"));
        QCOMPARE(json.value(QStringLiteral("code_found")).toInt(-1), 0);
        QCOMPARE(json.value(QStringLiteral("code_written")).toInt(-1), 16);
        QCOMPARE(json.value(QStringLiteral("as_left")).toArray().size(), 3);
        for (const QJsonValue &point : json.value(QStringLiteral("as_left")).toArray()) {
            const QJsonObject p = point.toObject();
            QVERIFY(std::abs(p.value(QStringLiteral("error_volts")).toDouble()) <= p.value(QStringLiteral("tolerance_volts")).toDouble());
            QCOMPARE(p.value(QStringLiteral("verdict")).toString(), QStringLiteral("PASS"));
        }
        QVERIFY(QFileInfo::exists(QDir(dir.path()).filePath(json.value(QStringLiteral("id")).toString() + QStringLiteral(".html"))));
        QCOMPARE(window->StringGrid1->rowCount(), 6);
        QCOMPARE(window->StringGrid1->item(5, 0)->text(), QStringLiteral("校准后"));
        QVERIFY(window->Memo1->toPlainText().contains(QStringLiteral("as left")));
        HistoryDatabase history(window->Edit7->text());
        QCOMPARE(ListCalibrations(history, QStringLiteral("SN-42")).size(), 1);
        window->close();
    }

    // Refused before anything is sent, saying why: while the monitor polls
    // (and how to stop it), a station file with an error (where), no model.
    // Only the monitor's polls go out, and the port stays the tool's.
    void automaticRefused_data()
    {
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QByteArray>("station");
        const QByteArray meter = "name = \"Bench 3\"\n[[reference]]\nname = \"dmm\"\nkind = \"dmm\"\nlink = \"tcp://127.0.0.1:9\"\n"
                                 "driver = \"" PSUTOOL_SOURCE_DIR "/examples/station/drivers/generic-dmm.toml\"\n";
        QTest::newRow("monitor polls") << "monitor" << meter;
        QTest::newRow("station file error") << "station.toml:7:" << meter + "kind = \"dmm\"\n";
        QTest::newRow("no model") << "型号" << meter;
    }

    void automaticRefused()
    {
        QFETCH(QString, refusal);
        QFETCH(QByteArray, station);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("station.toml")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(station);
        file.close();
        TAUTOCAL *window = automaticWindow(file.fileName(), dir.path(), 3, 0.2);
        if (refusal == QLatin1String("monitor")) {
            POWER_TEST->Button11->click();
            refusal = POWER_TEST->Button11->text();
            QTRY_VERIFY(!m_sent.isEmpty());
        } else if (refusal == QStringLiteral("型号")) {
            ClearActiveModel();
        }
        const int messages = ShownMessages().count;
        window->Button3->click();
        QCOMPARE(ShownMessages().count, messages + 1);
        QVERIFY2(ShownMessages().lastText.contains(refusal), qPrintable(ShownMessages().lastText));
        QVERIFY(!window->Running());
        QVERIFY(MAIN->MSComm1->PortOpen());
        if (MonitorRunning)
            POWER_TEST->Button11->click();
        for (const QByteArray &frame : std::as_const(m_sent))
            QCOMPARE(int(quint8(frame.at(1))), 0x03);
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("cal-*")}), QStringList());
        window->close();
    }

    // Stopped after its first as-found point (by its button, or by closing
    // the window, which goes once the run has ended), the run leaves a
    // certificate that says so, with no as-left sweep, and the port back with the tool.
    void automaticStoppedClaimsNoAsLeft_data()
    {
        QTest::addColumn<bool>("closed");
        QTest::newRow("stop button") << false;
        QTest::newRow("window closed") << true;
    }

    void automaticStoppedClaimsNoAsLeft()
    {
        QFETCH(bool, closed);
        QTemporaryDir dir;
        SimulatedBench bench(dir.path());
        QVERIFY(!bench.station.isEmpty());
        TAUTOCAL *window = automaticWindow(bench.station, dir.path(), 5, 1.0);
        window->Button3->click();
        QTRY_VERIFY_WITH_TIMEOUT(window->Memo1->toPlainText().contains(QStringLiteral("as found")), 60000);
        if (closed) {
            window->close();
            QVERIFY(window->isVisible());
        } else {
            window->Button4->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!window->Running(), 60000);
        QCOMPARE(window->isVisible(), !closed);
        QVERIFY(MAIN->MSComm1->PortOpen());
        const QJsonObject json = certificateJson(dir.path());
        QCOMPARE(json.value(QStringLiteral("status")).toString(), QStringLiteral("ABORTED"));
        QVERIFY(json.value(QStringLiteral("as_left")).isNull());
        QVERIFY(json.value(QStringLiteral("code_written")).isNull());
        const int last = window->StringGrid1->rowCount() - 1;
        QVERIFY(last >= 0 && window->StringGrid1->item(last, 1));
        QCOMPARE(window->StringGrid1->item(last, 0)->text(), QStringLiteral("校准后"));
        QCOMPARE(window->StringGrid1->item(last, 1)->text(), QStringLiteral("未测量"));
        QVERIFY(window->StaticText2->text().startsWith(QStringLiteral("已停止")));
        window->close();
    }
};

QTEST_MAIN(CalibrationTest)
#include "tst_calibration.moc"
