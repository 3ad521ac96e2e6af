#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "panels/sequencerunner.h"
#include "support_bytes.h"
#include "support_toolline.h"
#include "widgets/errorreport.h"
#include "widgets/spinedit.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <limits>

namespace {
QByteArray setpointFrame(quint8 address, quint16 voltage, quint16 current)
{
    QByteArray f;
    f.append(char(address)).append(char(0x10)).append(char(0x10)).append(char(0x00));
    f.append(char(0x00)).append(char(0x02)).append(char(0x04));
    f.append(char(voltage >> 8)).append(char(voltage & 0xFF));
    f.append(char(current >> 8)).append(char(current & 0xFF));
    return withCrc(f);
}

QByteArray switchFrame(quint8 address, bool on)
{
    QByteArray f;
    f.append(char(address)).append(char(0x10)).append(char(0x10)).append(char(0x04));
    f.append(char(0x00)).append(char(0x01)).append(char(0x02));
    f.append(char(0x00)).append(char(on ? 1 : 0));
    return withCrc(f);
}

// A frame as it left the tool: when, the ticks of the runner's timer before
// it, and the timer's interval then (for a frame sent from a tick, the dwell
// that tick ended).
struct SentFrame {
    qint64 atMs;
    QByteArray bytes;
    int ticksBefore;
    int intervalMs;
};

} // namespace

class SequenceTest : public QObject
{
    Q_OBJECT

private:
    ToolOnPty m_tool;
    QVector<SentFrame> m_sent;
    QElapsedTimer m_clock;
    int m_ticks = 0;

    void setRows(const QList<int> &checked)
    {
        for (int row = 1; row <= StepRowCount; ++row)
            TYP->StepCheck(row)->setChecked(checked.contains(row));
    }

    QByteArrayList sentBytes() const
    {
        QByteArrayList list;
        for (const SentFrame &f : m_sent)
            list << f.bytes;
        return list;
    }

    // Voltage 1.00 V x row number, current 1 A: each row's frame tells the row.
    QByteArray rowFrame(int row, quint8 address = 1) const
    {
        return setpointFrame(address, quint16(100 * row), 1000);
    }

private slots:
    void initTestCase()
    {
        m_clock.start();
        const QString error = m_tool.open([this](const QByteArray &frame) {
            m_sent.append({m_clock.elapsed(), frame, m_ticks, TYP->Timer1->interval()});
        });
        QVERIFY2(error.isEmpty(), qPrintable(error));
        connect(TYP->Timer1, &QTimer::timeout, this, [this] { ++m_ticks; });
        // QELT30-05: 3100 / 5100 raw, 100 counts per volt, 1000 per ampere.
        SelectModel(1);
    }

    void cleanupTestCase() { m_tool.close(); }

    void init()
    {
        TYP->Timer1->stop();
        m_tool.reset();
        TYP->Button1->setText(QStringLiteral("启  动"));
        for (int row = 1; row <= StepRowCount; ++row) {
            TYP->VoltageEdit(row)->setText(QString::number(row));
            TYP->CurrentEdit(row)->setText(QStringLiteral("1"));
            TYP->TimeEdit(row)->setText(QStringLiteral("1000"));
        }
        setRows({});
        TYP->Edit61->setText(QStringLiteral("1"));
        TYP->SpinEdit2->SetValue(1);
        SelectModel(1);
        m_sent.clear();
        m_ticks = 0;
    }

    void designState()
    {
        QCOMPARE(TYP->objectName(), QStringLiteral("TYP"));
        QCOMPARE(TYP->windowTitle(), QStringLiteral("典型应用"));
        QCOMPARE(TYP->size(), QSize(394, 645));
        QCOMPARE(TYP->minimumSize(), TYP->maximumSize());
        QVERIFY(!TYP->Timer1->isActive());
        QCOMPARE(TYP->Timer1->timerType(), Qt::PreciseTimer);
        QCOMPARE(TYP->findChild<QPushButton *>(QStringLiteral("Button2"))->text(), QStringLiteral("返  回"));
        QCOMPARE(TYP->findChild<QLineEdit *>(QStringLiteral("Edit61")), TYP->Edit61);
        QCOMPARE(TYP->findChild<TSpinEdit *>(QStringLiteral("SpinEdit2")), TYP->SpinEdit2);
        QVERIFY(TYP->SpinEdit2->Unlimited());
    }

    void rowControls_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("voltage");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("time");
        QTest::newRow("row 1") << 1 << "Edit1" << "Edit17" << "Edit33";
        QTest::newRow("row 16") << 16 << "Edit16" << "Edit32" << "Edit48";
        QTest::newRow("row 17") << 17 << "Edit49" << "Edit53" << "Edit57";
        QTest::newRow("row 20") << 20 << "Edit52" << "Edit56" << "Edit60";
    }

    void rowControls()
    {
        QFETCH(int, row);
        QFETCH(QString, voltage);
        QFETCH(QString, current);
        QFETCH(QString, time);
        // Design defaults, as a freshly created window has them.
        TTYP fresh;
        const int top = 56 + 24 * (row - 1);
        auto *check = fresh.findChild<QCheckBox *>(QStringLiteral("CheckBox%1").arg(row));
        QVERIFY(check);
        QCOMPARE(check->text(), QString::number(row));
        QVERIFY(!check->isChecked());
        QCOMPARE(check->geometry().topLeft(), QPoint(24, top));
        const struct { QString name; int left; QString text; } edits[] = {
            {voltage, 80, QStringLiteral("0")}, {current, 192, QStringLiteral("1")}, {time, 304, QStringLiteral("2")}};
        for (const auto &e : edits) {
            auto *edit = fresh.findChild<QLineEdit *>(e.name);
            QVERIFY2(edit, qPrintable(e.name));
            QCOMPARE(edit->geometry().topLeft(), QPoint(e.left, top));
            QCOMPARE(edit->text(), e.text);
        }
        QCOMPARE(fresh.VoltageEdit(row)->objectName(), voltage);
        QCOMPARE(fresh.CurrentEdit(row)->objectName(), current);
        QCOMPARE(fresh.TimeEdit(row)->objectName(), time);
        QCOMPARE(fresh.Button1->text(), QStringLiteral("启  动"));
        QVERIFY(fresh.Edit61->text().isEmpty());
    }

    // The worked example: row 1 with its design texts, one cycle, address 1.
    void workedExampleRun()
    {
        TYP->VoltageEdit(1)->setText(QStringLiteral("0"));
        TYP->CurrentEdit(1)->setText(QStringLiteral("1"));
        TYP->TimeEdit(1)->setText(QStringLiteral("2"));
        setRows({1});
        TYP->Button1->click();
        QCOMPARE(TYP->Button1->text(), QStringLiteral("停 止"));
        QVERIFY(SequenceRunning);
        QTRY_COMPARE_WITH_TIMEOUT(m_sent.size(), 3, 15000);

        const QByteArray expected[] = {hex("01 10 10 00 00 02 04 00 00 03 E8 3E D1"),
                                       hex("01 10 10 04 00 01 02 00 01 77 D5"),
                                       hex("01 10 10 04 00 01 02 00 00 B6 15")};
        for (int i = 0; i < 3; ++i)
            QCOMPARE(m_sent[i].bytes.toHex(' '), expected[i].toHex(' '));
        QCOMPARE(m_tool.peer().readSome(35, 5000).toHex(' '),
                 (expected[0] + expected[1] + expected[2]).toHex(' '));
        const qint64 onDelay = m_sent[1].atMs - m_sent[0].atMs;
        const qint64 dwell = m_sent[2].atMs - m_sent[1].atMs;
        // The pause and the dwell are never short; the dwell ends on the
        // timer's first tick, armed with the row's two seconds. A loaded
        // machine may make either late, so their upper bounds are loose.
        QVERIFY2(onDelay >= 995 && onDelay < 6000, qPrintable(QString::number(onDelay)));
        QVERIFY2(dwell >= 1990 && dwell < 7000, qPrintable(QString::number(dwell)));
        QCOMPARE(m_sent[2].ticksBefore, 0);
        QCOMPARE(m_sent[2].intervalMs, 2000);
        QCOMPARE(TYP->Button1->text(), QStringLiteral("启 动"));
        QVERIFY(!SequenceRunning);
        QVERIFY(!TYP->Timer1->isActive());
        QVERIFY(StepSetpointBytes.isEmpty());
    }

    // Two rows (100 ms and 1 s dwells) for two cycles: n x C setpoint frames,
    // one on frame after the first, one off frame at the end, each dwell
    // counted from the frame before.
    void twoRowsTwoCycles()
    {
        TYP->TimeEdit(2)->setText(QStringLiteral("0"));
        TYP->TimeEdit(4)->setText(QStringLiteral("1"));
        setRows({2, 4});
        TYP->Edit61->setText(QStringLiteral("2"));
        TYP->SpinEdit2->SetValue(7);
        TYP->Button1->click();
        QTRY_COMPARE_WITH_TIMEOUT(m_sent.size(), 6, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!SequenceRunning, 5000);

        const QByteArrayList expected = {rowFrame(2, 7), switchFrame(7, true), rowFrame(4, 7),
                                         rowFrame(2, 7), rowFrame(4, 7), switchFrame(7, false)};
        QCOMPARE(sentBytes(), expected);
        QCOMPARE(m_tool.peer().readSome(int(expected.join().size()), 5000), expected.join());
        // Gap before frame i and the dwell it stands for.
        const int minimum[] = {0, 1000, 100, 1000, 100, 1000};
        for (int i = 1; i < m_sent.size(); ++i) {
            const qint64 gap = m_sent[i].atMs - m_sent[i - 1].atMs;
            QVERIFY2(gap >= minimum[i] - 5 && gap < minimum[i] + 5000,
                     qPrintable(QStringLiteral("frame %1 after %2 ms").arg(i).arg(gap)));
            // Each step on the tick after the one before, that tick having
            // run for exactly the dwell of the step before.
            if (i >= 2) {
                QCOMPARE(m_sent[i].ticksBefore, i - 2);
                QCOMPARE(m_sent[i].intervalMs, minimum[i]);
            }
        }
        QVERIFY(!TYP->Timer1->isActive());
        QCOMPARE(TYP->Button1->text(), QStringLiteral("启 动"));
    }

    void emptyCycleCountHolds()
    {
        setRows({1});
        TYP->Edit61->clear();
        const int before = ShownMessages().count;
        TYP->Button1->click();
        QCOMPARE(ShownMessages().count, before + 1);
        QCOMPARE(ShownMessages().lastText, QStringLiteral("'' is not a valid integer value"));
        QVERIFY(m_sent.isEmpty());
        QVERIFY(SequenceRunning);
        QCOMPARE(TYP->Button1->text(), QStringLiteral("停 止"));
        QVERIFY(!TYP->Timer1->isActive());

        TYP->Button1->click();
        QCOMPARE(sentBytes(), QByteArrayList{switchFrame(1, false)});
        QVERIFY(!SequenceRunning);
        QCOMPARE(TYP->Button1->text(), QStringLiteral("启 动"));
    }

    // With no row checked the start only switches the output off, so the
    // cycle count taken can be seen without waiting for a run.
    void cycleCount_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("limit");
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("one") << "1" << 1;
        QTest::newRow("negative") << "-3" << -3;
        QTest::newRow("two") << "2" << 2;
        QTest::newRow("blanks") << " 12 " << 12;
        QTest::newRow("at limit") << "999999" << 999999;
        QTest::newRow("above limit") << "1000000" << 999999;
        QTest::newRow("far above") << "2147483647" << 999999;
    }

    void cycleCount()
    {
        QFETCH(QString, text);
        QFETCH(int, limit);
        TYP->Edit61->setText(text);
        const int before = ShownMessages().count;
        TYP->Button1->click();
        QCOMPARE(ShownMessages().count, before);
        QCOMPARE(CycleLimit, limit);
        QCOMPARE(sentBytes(), QByteArrayList{switchFrame(1, false)});
        QVERIFY(!SequenceRunning);
        QVERIFY(!TYP->Timer1->isActive());
        QCOMPARE(TYP->Button1->text(), QStringLiteral("启 动"));
    }

    void cycleCountNotANumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("letters") << "abc";
        QTest::newRow("fraction") << "1.5";
        QTest::newRow("beyond 32 bits") << "99999999999";
    }

    void cycleCountNotANumber()
    {
        QFETCH(QString, text);
        setRows({1});
        TYP->Edit61->setText(text);
        TYP->Button1->click();
        QCOMPARE(ShownMessages().lastText, QStringLiteral("'%1' is not a valid integer value").arg(text));
        QVERIFY(m_sent.isEmpty());
        QVERIFY(SequenceRunning);
        TYP->Button1->click();
        QCOMPARE(sentBytes(), QByteArrayList{switchFrame(1, false)});
    }

    void emptyFirstVoltageSendsNothing()
    {
        setRows({3, 5});
        TYP->VoltageEdit(3)->clear();
        TYP->Button1->click();
        QVERIFY(m_sent.isEmpty());
        QVERIFY(!SequenceRunning);
        QCOMPARE(TYP->Button1->text(), QStringLiteral("启 动"));
        QVERIFY(!TYP->Timer1->isActive());
    }

    void badTextAtStartHolds()
    {
        setRows({1});
        TYP->CurrentEdit(1)->setText(QStringLiteral("1,2x"));
        TYP->Button1->click();
        QCOMPARE(ShownMessages().lastText, QStringLiteral("'1,2x' is not a valid floating point value"));
        QVERIFY(m_sent.isEmpty());
        QVERIFY(SequenceRunning);
        QCOMPARE(TYP->Button1->text(), QStringLiteral("停 止"));
        QVERIFY(!TYP->Timer1->isActive());
        QCOMPARE(StepOrdinal, 2);
    }

    // Rows checked and unchecked between ticks: each load takes the
    // StepOrdinal-th row among those checked at that moment. Dwells of 1000 s
    // keep the real timer out of the way; the ticks are driven here.
    void rowsChangedDuringRun_data()
    {
        QTest::addColumn<int>("cycles");
        QTest::addColumn<QList<int>>("startRows");
        QTest::addColumn<QList<QList<int>>>("rowsAtTick");
        QTest::addColumn<QList<int>>("loaded"); // row per tick; 0: the run ends

        QTest::newRow("plain two cycles") << 2 << QList<int>{1, 2}
                                          << QList<QList<int>>{{1, 2}, {1, 2}, {1, 2}, {1, 2}}
                                          << QList<int>{2, 1, 2, 0};
        QTest::newRow("row ahead unchecked is skipped")
            << 1 << QList<int>{1, 2, 3} << QList<QList<int>>{{1, 3}, {1, 3}} << QList<int>{3, 0};
        QTest::newRow("row behind checked repeats one")
            << 1 << QList<int>{1, 3} << QList<QList<int>>{{1, 3}, {1, 2, 3}, {1, 2, 3}} << QList<int>{3, 3, 0};
        QTest::newRow("row ahead checked is taken")
            << 1 << QList<int>{1} << QList<QList<int>>{{1, 17}, {1, 17}} << QList<int>{17, 0};
        QTest::newRow("none left ends the run")
            << 5 << QList<int>{1, 2} << QList<QList<int>>{{}} << QList<int>{0};
        QTest::newRow("fewer rows start next cycle")
            << 2 << QList<int>{4, 5, 6} << QList<QList<int>>{{4}, {4, 20}, {4, 20}} << QList<int>{4, 20, 0};
    }

    void rowsChangedDuringRun()
    {
        QFETCH(int, cycles);
        QFETCH(QList<int>, startRows);
        QFETCH(QList<QList<int>>, rowsAtTick);
        QFETCH(QList<int>, loaded);

        TYP->Edit61->setText(QString::number(cycles));
        setRows(startRows);
        TYP->Button1->click();
        QByteArrayList expected = {rowFrame(startRows.first()), switchFrame(1, true)};
        QCOMPARE(sentBytes(), expected);
        QVERIFY(TYP->Timer1->isActive());
        QCOMPARE(TYP->Timer1->interval(), 1000000);

        for (int i = 0; i < rowsAtTick.size(); ++i) {
            setRows(rowsAtTick[i]);
            TYP->Timer1Timer();
            expected << (loaded[i] ? rowFrame(loaded[i]) : switchFrame(1, false));
            QCOMPARE(sentBytes(), expected);
            QCOMPARE(SequenceRunning, loaded[i] != 0);
            QCOMPARE(TYP->Timer1->isActive(), loaded[i] != 0);
        }
        QCOMPARE(TYP->Button1->text(), QStringLiteral("启 动"));
    }

    // A row with an empty voltage is skipped without a frame, and the timer
    // keeps the interval of the row before; a row whose text does not convert
    // is consumed with an error and no frame.
    void skippedRowsDuringRun()
    {
        TYP->Edit61->setText(QStringLiteral("1"));
        setRows({1, 2, 3, 4});
        TYP->TimeEdit(1)->setText(QStringLiteral("500"));
        TYP->VoltageEdit(2)->clear();
        TYP->TimeEdit(2)->setText(QStringLiteral("7"));
        TYP->TimeEdit(3)->setText(QStringLiteral("x"));
        TYP->Button1->click();
        QCOMPARE(TYP->Timer1->interval(), 500000);

        TYP->Timer1Timer();
        QCOMPARE(m_sent.size(), 2);
        QVERIFY(TYP->Timer1->isActive());
        QCOMPARE(TYP->Timer1->interval(), 500000);

        const int before = ShownMessages().count;
        RunHandler([] { TYP->Timer1Timer(); });
        QCOMPARE(ShownMessages().count, before + 1);
        QCOMPARE(ShownMessages().lastText, QStringLiteral("'x' is not a valid integer value"));
        QCOMPARE(m_sent.size(), 2);
        QCOMPARE(TYP->Timer1->interval(), 500000);
        QCOMPARE(StepOrdinal, 4);

        TYP->SpinEdit2->SetValue(257);
        TYP->Timer1Timer();
        QCOMPARE(m_sent.last().bytes, rowFrame(4, 1));
        QCOMPARE(TYP->Timer1->interval(), 1000000);

        // A new address applies to every later frame, the final off frame too.
        TYP->SpinEdit2->SetValue(9);
        TYP->Timer1Timer();
        QCOMPARE(m_sent.last().bytes, switchFrame(9, false));
        QCOMPARE(SequenceAddress, qint16(9));
    }

    void stopDuringRun()
    {
        setRows({1});
        TYP->Button1->click();
        QVERIFY(TYP->Timer1->isActive());
        TYP->SpinEdit2->findChild<QLineEdit *>()->setText(QStringLiteral("abc"));
        TYP->Button1->click();
        QCOMPARE(sentBytes(), (QByteArrayList{rowFrame(1), switchFrame(1, true), switchFrame(0, false)}));
        QVERIFY(!TYP->Timer1->isActive());
        QVERIFY(!SequenceRunning);
        QCOMPARE(TYP->Button1->text(), QStringLiteral("启 动"));
    }

    void returnLeavesRunGoing()
    {
        ShowWindow(TYP);
        QVERIFY(TYP->isVisible());
        setRows({1});
        TYP->Button1->click();
        TYP->Button2->click();
        QVERIFY(!TYP->isVisible());
        QVERIFY(SequenceRunning);
        QVERIFY(TYP->Timer1->isActive());
        TYP->Timer1Timer();
        QCOMPARE(m_sent.size(), 3);
        QCOMPARE(m_sent.last().bytes, switchFrame(1, false));
    }

    // What one load makes of a row's three texts, with a model's scales and
    // limits (voltage limit, current limit, voltage scale, current scale).
    void loadedStep_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("voltage");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("time");
        QTest::addColumn<int>("rawVoltage");
        QTest::addColumn<int>("rawCurrent");
        QTest::addColumn<int>("intervalMs");

        // QELT30-05: 3100, 5100, 100, 1000
        QTest::newRow("worked example") << 1 << "0" << "1" << "2" << 0 << 1000 << 2000;
        QTest::newRow("decimals") << 1 << "12.34" << "2.5" << "3" << 1234 << 2500 << 3000;
        QTest::newRow("voltage above limit") << 1 << "31.01" << "1" << "1" << 3100 << 1000 << 1000;
        QTest::newRow("far above limit") << 1 << "1e9" << "99" << "1" << 3100 << 5100 << 1000;
        QTest::newRow("just below limit rounds up to it") << 1 << "30.996" << "5.0996" << "1" << 3100 << 5100 << 1000;
        QTest::newRow("negative gives 0") << 1 << "-5" << "-0.001" << "1" << 0 << 0 << 1000;
        QTest::newRow("blanks and sign") << 1 << " +1.5 " << " .5" << " 4 " << 150 << 500 << 4000;
        QTest::newRow("time 0") << 1 << "1" << "1" << "0" << 100 << 1000 << 100;
        QTest::newRow("negative time") << 1 << "1" << "1" << "-20" << 100 << 1000 << 100;
        QTest::newRow("long time bounded") << 1 << "1" << "1" << "2147484" << 100 << 1000
                                           << std::numeric_limits<int>::max();
        QTest::newRow("largest exact time") << 1 << "1" << "1" << "2147483" << 100 << 1000 << 2147483000;
        // QELT100-10: 1000, 1000, 10, 100
        QTest::newRow("half to even down") << 13 << "0.25" << "0.125" << "1" << 2 << 12 << 1000;
        QTest::newRow("half to even up") << 13 << "0.75" << "0.135" << "1" << 8 << 14 << 1000;
        QTest::newRow("odd half") << 13 << "1.5" << "0.5" << "1" << 15 << 50 << 1000;
        QTest::newRow("scale 10") << 13 << "99.9" << "9.99" << "1" << 999 << 999 << 1000;
        // No model chosen yet: every setpoint is capped to 0.
        QTest::newRow("no model") << 0 << "12" << "1" << "1" << 0 << 0 << 1000;
    }

    void loadedStep()
    {
        QFETCH(int, model);
        QFETCH(QString, voltage);
        QFETCH(QString, current);
        QFETCH(QString, time);
        QFETCH(int, rawVoltage);
        QFETCH(int, rawCurrent);
        QFETCH(int, intervalMs);

        if (model)
            SelectModel(model);
        else
            ClearActiveModel();
        setRows({6});
        TYP->VoltageEdit(6)->setText(voltage);
        TYP->CurrentEdit(6)->setText(current);
        TYP->TimeEdit(6)->setText(time);
        StepOrdinal = 1;
        CycleNumber = 1;
        CycleLimit = 1;
        TYP->LoadNextStep();
        QCOMPARE(StepOrdinal, 2);
        const QByteArray bytes = QByteArray().append(char(rawVoltage >> 8)).append(char(rawVoltage & 0xFF))
                                     .append(char(rawCurrent >> 8)).append(char(rawCurrent & 0xFF));
        QCOMPARE(StepSetpointBytes.toHex(' '), bytes.toHex(' '));
        QCOMPARE(StepIntervalMs, intervalMs);

        // The tick puts the same values into a setpoint frame.
        TYP->SpinEdit2->SetValue(300);
        StepOrdinal = 1;
        TYP->Timer1Timer();
        QCOMPARE(m_sent.last().bytes.toHex(' '),
                 setpointFrame(0x2C, quint16(rawVoltage), quint16(rawCurrent)).toHex(' '));
        QCOMPARE(TYP->Timer1->interval(), intervalMs);
        TYP->Timer1->stop();
    }

    void conversionErrors_data()
    {
        QTest::addColumn<QString>("voltage");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("message");
        QTest::newRow("voltage letters") << "1V" << "1" << "1" << "'1V' is not a valid floating point value";
        QTest::newRow("voltage blanks only") << " " << "1" << "1" << "' ' is not a valid floating point value";
        QTest::newRow("voltage infinite") << "inf" << "1" << "1" << "'inf' is not a valid floating point value";
        QTest::newRow("current empty") << "1" << "" << "1" << "'' is not a valid floating point value";
        QTest::newRow("time fraction") << "1" << "1" << "1.5" << "'1.5' is not a valid integer value";
        QTest::newRow("time empty") << "1" << "1" << "" << "'' is not a valid integer value";
    }

    void conversionErrors()
    {
        QFETCH(QString, voltage);
        QFETCH(QString, current);
        QFETCH(QString, time);
        QFETCH(QString, message);
        setRows({2});
        TYP->VoltageEdit(2)->setText(voltage);
        TYP->CurrentEdit(2)->setText(current);
        TYP->TimeEdit(2)->setText(time);
        StepOrdinal = 1;
        CycleNumber = 1;
        CycleLimit = 1;
        StepIntervalMs = 4321;
        try {
            TYP->LoadNextStep();
            QFAIL("no conversion error raised");
        } catch (const SystemError &error) {
            QCOMPARE(error.text(), message);
        }
        QCOMPARE(StepOrdinal, 2);
        QCOMPARE(StepIntervalMs, 4321);
        QVERIFY(StepSetpointBytes.isEmpty() || StepSetpointBytes.size() == 4);
    }

    void scaledSetpoint_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("scale");
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("raw");
        QTest::newRow("0.25 at 10") << 0.25 << 10 << 1000 << 2;
        QTest::newRow("0.75 at 10") << 0.75 << 10 << 1000 << 8;
        QTest::newRow("2.5 at 1") << 2.5 << 1 << 100 << 2;
        QTest::newRow("3.5 at 1") << 3.5 << 1 << 100 << 4;
        QTest::newRow("below half") << 1.49 << 1 << 100 << 1;
        QTest::newRow("above half") << 1.51 << 1 << 100 << 2;
        QTest::newRow("cap") << 5.0001 << 1000 << 5000 << 5000;
        QTest::newRow("cap just above") << 50.04 << 100 << 5004 << 5004;
        QTest::newRow("rounds onto limit") << 50.035 << 100 << 5004 << 5004;
        QTest::newRow("largest register") << 655.35 << 100 << 65535 << 65535;
        QTest::newRow("negative") << -0.6 << 10 << 1000 << 0;
        QTest::newRow("zero scale") << 12.0 << 0 << 0 << 0;
    }

    void scaledSetpoint()
    {
        QFETCH(double, value);
        QFETCH(int, scale);
        QFETCH(int, limit);
        QFETCH(int, raw);
        QCOMPARE(int(ScaledSetpoint(value, quint16(scale), quint16(limit))), raw);
    }
};

QTEST_MAIN(SequenceTest)
#include "tst_sequence.moc"
