#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/mscomm.h"
#include "panels/addressscan.h"
#include "support_bytes.h"
#include "support_toolline.h"
#include "widgets/errorreport.h"
#include "widgets/spinedit.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using PercentMap = QMap<int, QString>;

namespace {
QByteArray probe(int address)
{
    return withCrc(QByteArray().append(char(address & 0xFF)).append(char(0x03)).append(char(0x10))
                       .append(char(0x00)).append(char(0x00)).append(char(0x01)));
}

} // namespace

class ScanTest : public QObject
{
    Q_OBJECT

private:
    ToolOnPty m_tool;
    QByteArrayList &m_sent = m_tool.sent();

    void setRange(int start, int end)
    {
        RSADDERS->SpinEdit1->SetValue(start);
        RSADDERS->SpinEdit2->SetValue(end);
    }

private slots:
    void initTestCase()
    {
        const QString error = m_tool.open();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        // Byte-array input with a receive event per byte, as at start-up.
        MAIN->FormShow();
    }

    void cleanupTestCase() { m_tool.close(); }

    void init()
    {
        RSADDERS->Timer1->stop();
        m_tool.reset();
        RSADDERS->Edit3->clear();
    }

    void designState()
    {
        TRSADDERS fresh;
        QCOMPARE(fresh.objectName(), QStringLiteral("RSADDERS"));
        QCOMPARE(fresh.windowTitle(), QStringLiteral("通讯地址查询"));
        QCOMPARE(fresh.BitBtn1->text(), QStringLiteral("启  动"));
        QCOMPARE(fresh.BitBtn2->text(), QStringLiteral("停  止"));
        QCOMPARE(fresh.BitBtn3->text(), QStringLiteral("返  回"));
        QCOMPARE(fresh.Label4->text(), QStringLiteral("0%"));
        QCOMPARE(fresh.ProgressBar1->minimum(), 0);
        QCOMPARE(fresh.ProgressBar1->maximum(), 10000);
        QCOMPARE(fresh.ProgressBar1->value(), 0);
        QCOMPARE(fresh.SpinEdit1->MinValue(), 0);
        QCOMPARE(fresh.SpinEdit1->MaxValue(), 255);
        QCOMPARE(fresh.SpinEdit2->MaxValue(), 255);
        QVERIFY(!fresh.Timer1->isActive());
        QCOMPARE(fresh.Timer1->timerType(), Qt::PreciseTimer);
        QCOMPARE(fresh.See_Button->size(), QSize(1, 1));
        QVERIFY(fresh.See_Button->text().isEmpty());
        for (const char *name : {"SpinEdit1", "SpinEdit2", "Edit3", "ProgressBar1", "Label4", "BitBtn1",
                                 "BitBtn2", "BitBtn3", "See_Button", "Timer1"})
            QVERIFY2(fresh.findChild<QObject *>(QString::fromLatin1(name)), name);
    }

    void probeFrame_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("1") << 1 << hex("01 03 10 00 00 01 80 CA");
        QTest::newRow("10") << 10 << hex("0A 03 10 00 00 01 81 B1");
        QTest::newRow("0, broadcast, probed like any") << 0 << probe(0);
        QTest::newRow("247") << 247 << probe(247);
        QTest::newRow("255") << 255 << probe(255);
    }

    void probeFrame()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, frame);
        QCOMPARE(ScanProbeFrame(quint16(address)).toHex(' '), frame.toHex(' '));
        QCOMPARE(ScanProbeFrame(quint16(address + 256)).toHex(' '), frame.toHex(' '));

        // The start sends the first probe at once, on the wire.
        setRange(address, 255);
        RSADDERS->BitBtn1->click();
        QCOMPARE(m_tool.peer().readSome(8, 3000).toHex(' '), frame.toHex(' '));
        QCOMPARE(ScanAddress, quint16(address));
        QVERIFY(RSADDERS->Timer1->isActive());
        QCOMPARE(RSADDERS->Timer1->interval(), 1000);
    }

    // Ticks driven directly: the probes in order, the percentage and the bar
    // after each tick, and the end one tick after the last probe.
    void progress_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<int>("step");
        QTest::addColumn<PercentMap>("percentAt"); // probed address -> text

        QTest::newRow("0 to 247") << 0 << 247 << 40
                                  << PercentMap{{1, "0%"}, {3, "1%"}, {124, "50%"}, {246, "99%"}, {247, "100%"}};
        QTest::newRow("10 to 20") << 10 << 20 << 1000
                                  << PercentMap{{11, "10%"}, {15, "50%"}, {19, "90%"}, {20, "100%"}};
        QTest::newRow("250 to 255") << 250 << 255 << 2000
                                    << PercentMap{{251, "20%"}, {255, "100%"}};
        QTest::newRow("one address") << 7 << 7 << 10000 << PercentMap{};
    }

    void progress()
    {
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(int, step);
        QFETCH(PercentMap, percentAt);

        setRange(start, end);
        RSADDERS->Label4->setText(QStringLiteral("77%"));
        RSADDERS->ProgressBar1->setValue(5000);
        RSADDERS->BitBtn1->click();
        RSADDERS->Timer1->stop();
        QCOMPARE(RSADDERS->Label4->text(), QStringLiteral("0%"));
        QCOMPARE(RSADDERS->ProgressBar1->value(), 0);
        QCOMPARE(RSADDERS->BarStep(), step);

        for (int address = start + 1, ticks = 1; address <= end; ++address, ++ticks) {
            RSADDERS->Timer1Timer();
            QCOMPARE(ScanAddress, quint16(address));
            QCOMPARE(RSADDERS->ProgressBar1->value(), qMin(ticks * step, 10000));
            if (percentAt.contains(address))
                QCOMPARE(RSADDERS->Label4->text(), percentAt.value(address));
            m_tool.peer().received();
        }
        QByteArrayList probes;
        for (int address = start; address <= end; ++address)
            probes << probe(address);
        QCOMPARE(m_sent, probes);

        const int messages = ShownMessages().count;
        RSADDERS->Timer1->start();
        RSADDERS->Timer1Timer();
        QVERIFY(!RSADDERS->Timer1->isActive());
        QCOMPARE(RSADDERS->ProgressBar1->value(), 10000);
        QCOMPARE(RSADDERS->Label4->text(), QStringLiteral("100%"));
        QCOMPARE(ShownMessages().count, messages + 1);
        QCOMPARE(ShownMessages().lastText, QStringLiteral("仪表地址检测结束！！"));
        QCOMPARE(m_sent.size(), probes.size());
        QCOMPARE(ScanAddress, quint16(end));
    }

    // The end field is read anew at every tick.
    void endMovedDuringRun()
    {
        setRange(0, 247);
        RSADDERS->BitBtn1->click();
        RSADDERS->Timer1->stop();
        RSADDERS->Timer1Timer();
        RSADDERS->SpinEdit2->SetValue(4);
        RSADDERS->Timer1Timer();
        QCOMPARE(RSADDERS->Label4->text(), QStringLiteral("50%"));
        RSADDERS->SpinEdit1->SetValue(3); // no effect until the next start
        RSADDERS->Timer1Timer();
        RSADDERS->Timer1Timer();
        QCOMPARE(RSADDERS->Label4->text(), QStringLiteral("100%"));
        QCOMPARE(m_sent, (QByteArrayList{probe(0), probe(1), probe(2), probe(3), probe(4)}));
        RSADDERS->SpinEdit2->SetValue(2);
        RSADDERS->Timer1Timer();
        QCOMPARE(ShownMessages().lastText, QStringLiteral("仪表地址检测结束！！"));
        QCOMPARE(m_sent.size(), 5);
    }

    void startAfterEnd()
    {
        setRange(20, 10);
        RSADDERS->Edit3->setText(QStringLiteral("3,"));
        RSADDERS->Timer1->start();
        const int messages = ShownMessages().count;
        RSADDERS->BitBtn1->click();
        QCOMPARE(ShownMessages().count, messages + 1);
        QCOMPARE(ShownMessages().lastText, QStringLiteral("仪表起始地址错误！！"));
        QVERIFY(!RSADDERS->Timer1->isActive());
        QVERIFY(m_sent.isEmpty());
        QVERIFY(m_tool.peer().readSome(1, 200).isEmpty());
        QCOMPARE(RSADDERS->Edit3->text(), QStringLiteral("3,"));
        QCOMPARE(RSADDERS->Label4->text(), QStringLiteral("0%"));
    }

    // A second start restarts from S without moving the running timer's
    // next tick.
    void restartKeepsRhythm()
    {
        setRange(0, 247);
        RSADDERS->BitBtn1->click();
        QVERIFY(RSADDERS->Timer1->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(RSADDERS->Timer1->remainingTime() < 600, 5000);
        RSADDERS->Timer1Timer();
        RSADDERS->Edit3->setText(QStringLiteral("1,"));
        setRange(5, 9);
        RSADDERS->BitBtn1->click();
        QVERIFY(RSADDERS->Timer1->isActive());
        QVERIFY2(RSADDERS->Timer1->remainingTime() < 700,
                 qPrintable(QString::number(RSADDERS->Timer1->remainingTime())));
        QCOMPARE(ScanAddress, quint16(5));
        QVERIFY(RSADDERS->Edit3->text().isEmpty());
        QCOMPARE(m_sent, (QByteArrayList{probe(0), probe(1), probe(5)}));
        RSADDERS->Timer1->stop();
    }

    void recordAnswer()
    {
        ScanAddress = 42;
        RSADDERS->Edit3->setText(QStringLiteral("typed "));
        RSADDERS->See_Button->click();
        QCOMPARE(RSADDERS->Edit3->text(), QStringLiteral("typed 42,"));
        QVERIFY(!RecordingAnswer);
        // Idle, the same address is appended again.
        RSADDERS->See_Button->click();
        QCOMPARE(RSADDERS->Edit3->text(), QStringLiteral("typed 42,42,"));
    }

    void tickDuringRecordingDoesNothing()
    {
        setRange(0, 247);
        RSADDERS->BitBtn1->click();
        RSADDERS->Timer1->stop();
        RecordingAnswer = true;
        RSADDERS->Timer1Timer();
        RecordingAnswer = false;
        QCOMPARE(ScanAddress, quint16(0));
        QCOMPARE(RSADDERS->ProgressBar1->value(), 0);
        QCOMPARE(m_sent.size(), 1);
        RSADDERS->Timer1Timer();
        QCOMPARE(ScanAddress, quint16(1));
    }

    void stopKeepsProgress()
    {
        setRange(0, 247);
        RSADDERS->BitBtn1->click();
        RSADDERS->Timer1Timer();
        RSADDERS->Timer1Timer();
        RSADDERS->See_Button->click();
        RSADDERS->BitBtn2->click();
        QVERIFY(!RSADDERS->Timer1->isActive());
        QCOMPARE(ShownMessages().lastText, QStringLiteral("仪表地址检测结束！！"));
        QCOMPARE(RSADDERS->Edit3->text(), QStringLiteral("2,"));
        QCOMPARE(RSADDERS->ProgressBar1->value(), 80);
        QCOMPARE(RSADDERS->Label4->text(), QStringLiteral("0%"));
        QCOMPARE(ScanAddress, quint16(2));
    }

    void showResetsFieldsOnly()
    {
        setRange(0, 247);
        RSADDERS->BitBtn1->click();
        RSADDERS->Timer1Timer();
        setRange(9, 12);
        RSADDERS->Edit3->setText(QStringLiteral("1,"));
        ShowWindow(RSADDERS);
        QCOMPARE(RSADDERS->SpinEdit1->Value(), 0);
        QCOMPARE(RSADDERS->SpinEdit2->Value(), 247);
        QVERIFY(RSADDERS->Edit3->text().isEmpty());
        QVERIFY(RSADDERS->Timer1->isActive());
        QCOMPARE(ScanAddress, quint16(1));
        QCOMPARE(RSADDERS->ProgressBar1->value(), 40);

        RSADDERS->BitBtn3->click();
        QVERIFY(!RSADDERS->isVisible());
        QVERIFY(RSADDERS->Timer1->isActive());
        RSADDERS->Timer1->stop();
    }

    // Instruments at 1 and 5 answer each probe with a 7-byte read reply, which
    // takes the tool's real receive path; the scan runs on its own timer.
    void answeringInstruments()
    {
        m_tool.peer().setResponder([](const QByteArray &request) {
            if (request.size() != 8 || quint8(request[1]) != 0x03)
                return QByteArray();
            const quint8 address = quint8(request[0]);
            if (address != 1 && address != 5)
                return QByteArray();
            return withCrc(QByteArray().append(char(address)).append(char(0x03)).append(char(0x02))
                               .append(char(0x00)).append(char(0x2A)));
        });
        m_tool.peer().startRecording();
        setRange(0, 10);
        RSADDERS->BitBtn1->click();
        QTRY_VERIFY_WITH_TIMEOUT(!RSADDERS->Timer1->isActive(), 40000);
        QCOMPARE(RSADDERS->Edit3->text(), QStringLiteral("1,5,"));
        QCOMPARE(RSADDERS->Label4->text(), QStringLiteral("100%"));
        QVERIFY(m_tool.fixture().closer().texts().contains(QStringLiteral("仪表地址检测结束！！")));
        QByteArrayList probes;
        for (int address = 0; address <= 10; ++address)
            probes << probe(address);
        QCOMPARE(m_sent, probes);
        m_tool.peer().setResponder({});
    }
};

QTEST_MAIN(ScanTest)
#include "tst_scan.moc"
