// Whatever an operator types into a field: empty text, letters, signs,
// exponents, huge numbers, blanks, full-width digits, separators. Spin boxes
// read text that is not a whole number as their minimum and bring numbers into
// their range; the sequence's edits raise the standard conversion error; the
// setpoints are capped at the model's limits. In no case does a wrong or
// partial frame reach the line: every frame is checked byte for byte against
// an independently built one, both as SendFrame saw it and as the far end of
// the pseudo-terminal received it.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/addressscan.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"
#include "support_bytes.h"
#include "support_pty.h"
#include "support_state.h"
#include "widgets/errorreport.h"
#include "widgets/spinedit.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>

#include <limits>
#include <optional>

namespace {

// What each text means to a whole-number reader and to a decimal reader
// (nullopt: does not convert).
struct Typed {
    const char *name;
    QString text;
    std::optional<qint64> whole;
    std::optional<double> decimal;
};

const QVector<Typed> &typedTexts()
{
    static const QVector<Typed> texts = {
        {"empty", QString(), std::nullopt, std::nullopt},
        {"letters", QStringLiteral("abc"), std::nullopt, std::nullopt},
        {"digits then letters", QStringLiteral("12V"), std::nullopt, std::nullopt},
        {"plus sign", QStringLiteral("+7"), 7, 7.0},
        {"minus sign", QStringLiteral("-7"), -7, -7.0},
        {"lone sign", QStringLiteral("-"), std::nullopt, std::nullopt},
        {"exponent", QStringLiteral("1e3"), std::nullopt, 1000.0},
        {"huge", QStringLiteral("99999999999"), std::nullopt, 99999999999.0},
        {"one past 32 bits", QStringLiteral("2147483648"), std::nullopt, 2147483648.0},
        {"past 16 bits", QStringLiteral("2147484"), 2147484, 2147484.0},
        {"beyond double", QStringLiteral("1e400"), std::nullopt, std::nullopt},
        {"blanks around", QStringLiteral(" 7 "), 7, 7.0},
        {"only blanks", QStringLiteral("   "), std::nullopt, std::nullopt},
        {"blank inside", QStringLiteral("1 2"), std::nullopt, std::nullopt},
        {"full-width digits", QStringLiteral("１２"), std::nullopt, std::nullopt},
        {"ideographic blank", QStringLiteral("\u30007"), 7, 7.0},
        {"hexadecimal", QStringLiteral("0x10"), std::nullopt, std::nullopt},
        {"decimal point", QStringLiteral("7.5"), std::nullopt, 7.5},
        {"decimal comma", QStringLiteral("1,5"), std::nullopt, std::nullopt},
        {"group separator", QStringLiteral("1,500"), std::nullopt, std::nullopt},
        {"infinity", QStringLiteral("inf"), std::nullopt, std::nullopt},
        {"not a number", QStringLiteral("nan"), std::nullopt, std::nullopt},
    };
    return texts;
}

QByteArray writeOne(int address, quint16 reg, quint16 value)
{
    QByteArray bytes;
    for (int b : {address & 0xFF, 0x10, reg >> 8, reg & 0xFF, 0, 1, 2, value >> 8, value & 0xFF})
        bytes.append(char(b));
    return withCrc(bytes);
}

QByteArray readRegisters(int address, quint16 reg, quint16 count)
{
    QByteArray bytes;
    for (int b : {address & 0xFF, 0x03, reg >> 8, reg & 0xFF, count >> 8, count & 0xFF})
        bytes.append(char(b));
    return withCrc(bytes);
}

QByteArray writeSetpoints(int address, quint16 volts, quint16 amps)
{
    QByteArray bytes;
    for (int b : {address & 0xFF, 0x10, 0x10, 0x00, 0, 2, 4, volts >> 8, volts & 0xFF, amps >> 8, amps & 0xFF})
        bytes.append(char(b));
    return withCrc(bytes);
}

// A spin box's reading of a text: not a whole number gives the minimum, a
// number outside the range is brought into it; (0, 0) is no range at all.
int spinReading(const Typed &typed, int minimum, int maximum)
{
    if (!typed.whole || *typed.whole < INT_MIN || *typed.whole > INT_MAX)
        return minimum;
    if (minimum == 0 && maximum == 0)
        return int(*typed.whole);
    return int(qBound<qint64>(qint64(minimum), *typed.whole, qint64(maximum)));
}

void typeInto(TSpinEdit *box, const QString &text)
{
    // What the operator typed, as the box's own edit holds it.
    box->findChild<QLineEdit *>()->setText(text);
}

} // namespace

class BadInputTest : public QObject
{
    Q_OBJECT

private:
    ToolFixture m_fixture;
    std::unique_ptr<PtyPeer> m_peer;
    QVector<QByteArray> m_sent;

    // The frames of one case, as SendFrame handed them over and as they
    // arrived at the far end, compared with the expected ones.
    void expectOnWire(const QVector<QByteArray> &expected)
    {
        QCOMPARE(m_sent, expected);
        QByteArray all;
        for (const QByteArray &frame : expected)
            all += frame;
        const QByteArray arrived = m_peer->readSome(int(all.size()), 2000);
        QCOMPARE(arrived.toHex(' '), all.toHex(' '));
        QCOMPARE(m_peer->received(), QByteArray());
        m_sent.clear();
    }

    static void addTexts(const char *field)
    {
        for (const Typed &typed : typedTexts())
            QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(field), QLatin1String(typed.name))))
                << QString::fromLatin1(field) << typed.text;
    }

    static const Typed &lookUp(const QString &text)
    {
        for (const Typed &typed : typedTexts()) {
            if (typed.text == text)
                return typed;
        }
        qFatal("unknown text");
    }

private slots:
    void initTestCase()
    {
        CreateForms();
        MAIN->show();
        m_peer = std::make_unique<PtyPeer>();
        QVERIFY_THROWS_NO_EXCEPTION(OpenToolPort(m_peer->slavePath()));
        SetSendObserver([this](const QByteArray &frame) { m_sent.append(frame); });
    }

    void cleanupTestCase()
    {
        SetSendObserver({});
        MAIN->MSComm1->SetPortOpen(false);
        m_peer.reset();
        ClearCommPortMappings();
        DestroyForms();
        ResetToolState();
    }

    void init()
    {
        m_fixture.reset();
        SelectModel(1); // QELT30-05: limits 3100 and 5100, 100 counts a volt, 1000 an ampere
        m_sent.clear();
        m_peer->received();
    }

    // Monitor panel: the address boxes have no range (minimum 0), the digit
    // boxes 0..9. The monitor is off, so each command goes out at once.
    void monitorPanelFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        addTexts("SpinEdit1 address, power read");
        addTexts("SpinEdit2 new address");
        addTexts("SpinEdit3 voltage digit, set voltage");
        addTexts("SpinEdit3 voltage digit, over-voltage");
        addTexts("SpinEdit10 current digit, set current");
        addTexts("SpinEdit11 power digit, set power");
    }

    void monitorPanelFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        const Typed &typed = lookUp(text);
        TPOWER_TEST *panel = POWER_TEST;
        panel->SpinEdit1->SetValue(1);
        panel->SpinEdit2->SetValue(5);
        for (TSpinEdit *digit : {panel->SpinEdit3, panel->SpinEdit4, panel->SpinEdit5, panel->SpinEdit6,
                                 panel->SpinEdit7, panel->SpinEdit8, panel->SpinEdit9, panel->SpinEdit10,
                                 panel->SpinEdit11, panel->SpinEdit12, panel->SpinEdit13, panel->SpinEdit14,
                                 panel->SpinEdit15})
            digit->SetValue(1);
        const int messages = ShownMessages().count;

        QByteArray expected;
        if (field.startsWith(QLatin1String("SpinEdit1 "))) {
            typeInto(panel->SpinEdit1, text);
            panel->Button5->click();
            expected = readRegisters(qint16(spinReading(typed, 0, 0)) & 0xFF, 0x1008, 1);
            PowerReadRequested = false;
        } else if (field.startsWith(QLatin1String("SpinEdit2 "))) {
            typeInto(panel->SpinEdit2, text);
            panel->BitBtn3->click();
            expected = writeOne(1, 0x1005, quint16(spinReading(typed, 0, 0) & 0xFF));
        } else if (field.contains(QLatin1String("set voltage"))) {
            typeInto(panel->SpinEdit3, text);
            panel->BitBtn1->click();
            expected = writeOne(1, 0x1000, quint16(qMin(spinReading(typed, 0, 9) * 1000 + 111, 3100)));
        } else if (field.contains(QLatin1String("over-voltage"))) {
            typeInto(panel->SpinEdit3, text);
            panel->Button1->click();
            expected = writeOne(1, 0x100A, quint16(spinReading(typed, 0, 9) * 1000 + 111));
        } else if (field.contains(QLatin1String("set current"))) {
            typeInto(panel->SpinEdit10, text);
            panel->BitBtn2->click();
            expected = writeOne(1, 0x1001, quint16(qMin(1110 + spinReading(typed, 0, 9), 5100)));
        } else {
            typeInto(panel->SpinEdit11, text);
            panel->Button3->click();
            expected = writeOne(1, 0x1007, quint16(qMin(spinReading(typed, 0, 9) * 10000 + 1111, 65000)));
        }
        // Frees the hold slot as the release timer's tick does.
        panel->Timer2Timer();
        QCOMPARE(ShownMessages().count, messages);
        expectOnWire({expected});
    }

    // Sequence rows during a run (the tick loads the next row): voltage and
    // current are decimal texts, the time a whole number; a text that does not
    // convert raises the conversion error and sends nothing; an empty voltage
    // skips the row silently; values are capped at the model's limits.
    void sequenceRowFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        addTexts("row 1 voltage");
        addTexts("row 1 current");
        addTexts("row 1 time");
        addTexts("row 18 voltage");
        addTexts("row 18 current");
        addTexts("row 18 time");
        addTexts("address");
    }

    void sequenceRowFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        const Typed &typed = lookUp(text);
        ModalCloser &closer = m_fixture.closer();
        const int row = field.startsWith(QLatin1String("row 18")) ? 18 : 1;
        for (int r = 1; r <= StepRowCount; ++r)
            TYP->StepCheck(r)->setChecked(r == row);
        TYP->VoltageEdit(row)->setText(QStringLiteral("5"));
        TYP->CurrentEdit(row)->setText(QStringLiteral("1"));
        TYP->TimeEdit(row)->setText(QStringLiteral("2"));
        TYP->SpinEdit2->SetValue(1);

        enum Kind { Volts, Amps, Seconds, Address } kind = Address;
        if (field.endsWith(QLatin1String("voltage"))) {
            kind = Volts;
            TYP->VoltageEdit(row)->setText(text);
        } else if (field.endsWith(QLatin1String("current"))) {
            kind = Amps;
            TYP->CurrentEdit(row)->setText(text);
        } else if (field.endsWith(QLatin1String("time"))) {
            kind = Seconds;
            TYP->TimeEdit(row)->setText(text);
        } else {
            typeInto(TYP->SpinEdit2, text);
        }

        // A run in progress, at the start of its first cycle.
        SequenceRunning = true;
        StepOrdinal = 1;
        CycleNumber = 1;
        CycleLimit = 3;
        TYP->Timer1->start(4321);
        const int messages = ShownMessages().count;
        RunHandler([] { TYP->Timer1Timer(); });
        QTRY_VERIFY(!QApplication::activeModalWidget());

        QString error;
        QVector<QByteArray> frames;
        int interval = 4321;
        if (kind == Volts && text.isEmpty()) {
            // skipped silently
        } else if (kind == Volts && !typed.decimal) {
            error = QStringLiteral("'%1' is not a valid floating point value").arg(text);
        } else if (kind == Amps && !typed.decimal) {
            error = QStringLiteral("'%1' is not a valid floating point value").arg(text);
        } else if (kind == Seconds && (!typed.whole || *typed.whole > INT_MAX)) {
            error = QStringLiteral("'%1' is not a valid integer value").arg(text);
        } else {
            // volts x 100 capped at 3100, amperes x 1000 capped at 5100, negatives 0
            const auto scaled = [](double value, double scale, double limit) {
                return quint16(value * scale > limit ? limit : value < 0 ? 0 : qRound(value * scale));
            };
            const quint16 volts = kind == Volts ? scaled(*typed.decimal, 100, 3100) : 500;
            const quint16 amps = kind == Amps ? scaled(*typed.decimal, 1000, 5100) : 1000;
            const int address = kind == Address ? spinReading(typed, 0, 0) : 1;
            frames.append(writeSetpoints(qint16(address) & 0xFF, volts, amps));
            // The dwell in milliseconds, at least 100 and at most what a timer holds.
            interval = kind == Seconds
                ? int(qBound<qint64>(qint64(100), *typed.whole * 1000, qint64(std::numeric_limits<qint32>::max())))
                : 2000;
        }
        TYP->Timer1->stop();
        SequenceRunning = false;
        if (error.isEmpty()) {
            QCOMPARE(ShownMessages().count, messages);
        } else {
            QCOMPARE(ShownMessages().count, messages + 1);
            QCOMPARE(ShownMessages().lastText, error);
        }
        QCOMPARE(TYP->Timer1->interval(), interval);
        QCOMPARE(StepOrdinal, 2); // the row is consumed in every case
        expectOnWire(frames);
    }

    // The cycle count is read when the run starts: a text that does not
    // convert leaves the run held with nothing sent; the next press stops it
    // and sends the output-off frame.
    void sequenceCycleCount_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        for (const Typed &typed : typedTexts()) {
            if (!typed.whole)
                QTest::newRow(typed.name) << QStringLiteral("Edit61") << typed.text;
        }
    }

    void sequenceCycleCount()
    {
        QFETCH(QString, text);
        ModalCloser &closer = m_fixture.closer();
        for (int r = 1; r <= StepRowCount; ++r)
            TYP->StepCheck(r)->setChecked(r == 1);
        TYP->VoltageEdit(1)->setText(QStringLiteral("5"));
        TYP->CurrentEdit(1)->setText(QStringLiteral("1"));
        TYP->TimeEdit(1)->setText(QStringLiteral("2"));
        TYP->SpinEdit2->SetValue(1);
        TYP->Edit61->setText(text);
        const int messages = ShownMessages().count;
        TYP->Button1->click();
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QCOMPARE(ShownMessages().count, messages + 1);
        QCOMPARE(ShownMessages().lastText, QStringLiteral("'%1' is not a valid integer value").arg(text));
        QVERIFY(SequenceRunning);
        QCOMPARE(TYP->Button1->text(), QStringLiteral("停 止"));
        QVERIFY(!TYP->Timer1->isActive());
        expectOnWire({});

        TYP->Button1->click();
        QVERIFY(!SequenceRunning);
        expectOnWire({writeOne(1, 0x1004, 0)});
    }

    // Calibration: corrections -10..10 and -100..100, the address without a
    // range; the code is the correction, or base + |correction| below zero.
    void calibrationFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        addTexts("SpinEdit1 voltage correction");
        addTexts("SpinEdit3 current correction");
        addTexts("SpinEdit2 address");
    }

    void calibrationFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        const Typed &typed = lookUp(text);
        ERR->SpinEdit1->SetValue(3);
        ERR->SpinEdit3->SetValue(-3);
        ERR->SpinEdit2->SetValue(1);
        const bool voltage = !field.contains(QLatin1String("current"));
        (voltage ? ERR->RadioButton1 : ERR->RadioButton2)->setChecked(true);
        int address = 1;
        int correction = voltage ? 3 : -3;
        if (field.startsWith(QLatin1String("SpinEdit1"))) {
            typeInto(ERR->SpinEdit1, text);
            correction = spinReading(typed, -10, 10);
        } else if (field.startsWith(QLatin1String("SpinEdit3"))) {
            typeInto(ERR->SpinEdit3, text);
            correction = spinReading(typed, -100, 100);
        } else {
            typeInto(ERR->SpinEdit2, text);
            address = spinReading(typed, 0, 0);
        }
        const int base = voltage ? 10 : 100;
        const quint16 code = quint16(correction >= 0 ? correction : base - correction);
        const int messages = ShownMessages().count;
        ERR->BitBtn1->click();
        QCOMPARE(ShownMessages().count, messages);
        expectOnWire({writeOne(address, voltage ? 0x101A : 0x1019, code)});
    }

    // Address scan: start and end 0..255. An end below the start is refused
    // with its message; otherwise the first probe goes to the start address.
    // The result list is cleared by the start, whatever was typed into it.
    void scanFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        addTexts("SpinEdit1 start");
        addTexts("SpinEdit2 end");
        addTexts("Edit3 result list");
    }

    void scanFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        const Typed &typed = lookUp(text);
        ModalCloser &closer = m_fixture.closer();
        RSADDERS->SpinEdit1->SetValue(3);
        RSADDERS->SpinEdit2->SetValue(9);
        int start = 3;
        int end = 9;
        if (field.startsWith(QLatin1String("SpinEdit1"))) {
            typeInto(RSADDERS->SpinEdit1, text);
            start = spinReading(typed, 0, 255);
        } else if (field.startsWith(QLatin1String("SpinEdit2"))) {
            typeInto(RSADDERS->SpinEdit2, text);
            end = spinReading(typed, 0, 255);
        } else {
            RSADDERS->Edit3->setText(text);
        }
        const int messages = ShownMessages().count;
        RSADDERS->BitBtn1->click();
        QTRY_VERIFY(!QApplication::activeModalWidget());
        const bool refused = start > end;
        RSADDERS->Timer1->stop();
        if (refused) {
            QCOMPARE(ShownMessages().count, messages + 1);
            QCOMPARE(ShownMessages().lastText, QStringLiteral("仪表起始地址错误！！"));
            expectOnWire({});
        } else {
            QCOMPARE(ShownMessages().count, messages);
            QCOMPARE(RSADDERS->Edit3->text(), QString());
            expectOnWire({readRegisters(start, 0x1000, 1)});
        }
    }
};

QTEST_MAIN(BadInputTest)
#include "tst_badinput.moc"
