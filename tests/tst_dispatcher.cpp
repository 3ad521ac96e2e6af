// Reply dispatcher: every reply is sorted by function code and length alone and
// lands in exactly the controls its kind names, nowhere else.

#include "app/forms.h"
#include "link/modelcatalogue.h"
#include "link/replydispatcher.h"
#include "link/statusfeed.h"
#include "panels/addressscan.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "support_state.h"
#include "widgets/errorreport.h"

#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QtTest>

namespace {

const QString kUntouched = QStringLiteral("#untouched#");

// Every control the dispatcher may write.
const QStringList kWatched = {
    QStringLiteral("StaticText4"), QStringLiteral("StaticText5"), QStringLiteral("StaticText6"),
    QStringLiteral("StaticText7"), QStringLiteral("StaticText8"), QStringLiteral("StaticText9"),
    QStringLiteral("Edit1"),
};

// The reply bytes from hex, cut or padded with 0xEE to the given length. The
// dispatcher never checks a CRC, so the tail bytes only make up the length.
QByteArray reply(const char *hex, int length)
{
    QByteArray bytes = QByteArray::fromHex(hex);
    if (bytes.size() > length)
        bytes.truncate(length);
    while (bytes.size() < length)
        bytes.append(char(0xEE));
    return bytes;
}

// A status block: address, 0x03, 0x0A, five registers given as hex, CRC.
QByteArray status(const char *registers, int length = 15)
{
    return reply(QByteArray("01030A").append(registers).constData(), length);
}

// "12.34" as shown with the operator's decimal separator.
QString shown(QString text)
{
    return text.replace(QLatin1Char('.'), QLocale().decimalPoint());
}

QString textOf(const QString &name)
{
    QWidget *widget = POWER_TEST->findChild<QWidget *>(name);
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        return edit->text();
    return QStringLiteral("<missing %1>").arg(name);
}

void setTextOf(const QString &name, const QString &text)
{
    QWidget *widget = POWER_TEST->findChild<QWidget *>(name);
    if (auto *label = qobject_cast<QLabel *>(widget))
        label->setText(text);
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        edit->setText(text);
}

// The active divisors and the two pictures the readouts have: volts 000.0 at
// 10 counts a volt, else 00.00; amperes 00.00 at 100 counts an ampere, else 0.000.
void setDivisors(int voltageScale, int currentScale)
{
    VoltageScale = quint16(voltageScale);
    CurrentScale = quint16(currentScale);
    VoltageDecimals = voltageScale == 10 ? 1 : 2;
    CurrentDecimals = currentScale == 100 ? 2 : 3;
}

} // namespace

class DispatcherTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void routing_data();
    void routing();
    void regionalSeparator();
    void divisorsReadAtEachReply();
    void powerOnlyAnswersAPowerRead_data();
    void powerOnlyAnswersAPowerRead();

private:
    ToolFixture m_fixture;
    void addRow(const char *name, const QByteArray &bytes, QStringList changes, int scanAnswers = 0,
                quint16 voltageScale = 100, quint16 currentScale = 1000, bool calibration = false,
                bool powerPending = false, const QString &message = QString(),
                bool pendingAfter = false);
};

void DispatcherTest::initTestCase()
{
    CreateForms();
}

void DispatcherTest::init()
{
    for (const QString &name : kWatched)
        setTextOf(name, kUntouched);
    m_fixture.reset();
}

void DispatcherTest::cleanupTestCase()
{
    DestroyForms();
    ResetToolState();
}

void DispatcherTest::addRow(const char *name, const QByteArray &bytes, QStringList changes, int scanAnswers,
                            quint16 voltageScale, quint16 currentScale, bool calibration,
                            bool powerPending, const QString &message, bool pendingAfter)
{
    for (QString &change : changes)
        change = shown(change);
    QTest::newRow(name) << bytes << changes << scanAnswers << int(voltageScale) << int(currentScale)
                        << calibration << powerPending << message << pendingAfter;
}

void DispatcherTest::routing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // "Control=text" for every control that must change; all others must keep their text.
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<int>("scanAnswers");
    QTest::addColumn<int>("voltageScale");
    QTest::addColumn<int>("currentScale");
    QTest::addColumn<bool>("calibration");
    QTest::addColumn<bool>("powerPending");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("pendingAfter");

    const QString ok = QStringLiteral("StaticText4=数据设定OK!");
    const QString corrected = QStringLiteral("误差修正成功！");
    // Registers 1234, 2500, 56, 5 and an output switch word.
    const char *regsOn = "04D209C4003800050001";
    const char *regsOff = "04D209C4003800050000";

    // Too short for anything, whatever the function code.
    addRow("empty", QByteArray(), {});
    addRow("len 6 ack", reply("011010000001", 6), {});
    addRow("len 6 read, power pending", reply("010302303900", 6), {}, 0, 100, 1000, false, true,
           QString(), true);
    addRow("len 6 ack, calibration", reply("011010000001", 6), {}, 0, 100, 1000, true);

    // Write acknowledgements: any length from 7, any register, any address.
    addRow("len 7 ack", reply("01101000000100", 7), {ok});
    addRow("len 8 ack", reply("0110100000013F0A", 8), {ok});
    addRow("len 15 ack", reply("07101005000100", 15), {ok});
    addRow("ack, power pending stays", reply("0110100000013F0A", 8), {ok}, 0, 100, 1000, false, true,
           QString(), true);
    addRow("len 8 ack, calibration", reply("0110100000013F0A", 8), {}, 0, 100, 1000, true, false,
           corrected);
    addRow("len 7 ack, calibration", reply("01101019000100", 7), {}, 0, 100, 1000, true, false,
           corrected);

    // One register: power reading while one is awaited, else an address-scan answer.
    addRow("len 7 power 12345", reply("01030230390000", 7), {QStringLiteral("Edit1=123.45")}, 0, 100,
           1000, false, true);
    addRow("len 8 power 5", reply("0103020005FFFF00", 8), {QStringLiteral("Edit1=000.05")}, 0, 100,
           1000, false, true);
    addRow("len 9 power 65535", reply("010302FFFF000000", 9), {QStringLiteral("Edit1=655.35")}, 0, 100,
           1000, false, true);
    addRow("len 7 power, calibration", reply("01030204D20000", 7), {QStringLiteral("Edit1=012.34")}, 0,
           100, 1000, true, true);
    addRow("len 7 power, no model", reply("01030200640000", 7), {QStringLiteral("Edit1=001.00")}, 0, 0,
           0, false, true);
    addRow("len 7 scan answer", reply("05030210000000", 7), {}, 1);
    addRow("len 8 scan answer", reply("0503021000000000", 8), {}, 1);
    addRow("len 9 scan answer", reply("050302100000000000", 9), {}, 1);
    addRow("len 10 read", reply("0103020000", 10), {});
    addRow("len 10 read, power pending", reply("0103023039", 10), {}, 0, 100, 1000, false, true,
           QString(), true);

    // Status blocks: 11 to 14 bytes are ignored, 15 and more decoded.
    for (int length = 11; length <= 14; ++length)
        addRow(qPrintable(QStringLiteral("len %1 status cut").arg(length)), status(regsOn, length), {});
    for (int length = 11; length <= 14; ++length)
        addRow(qPrintable(QStringLiteral("len %1 status cut, power pending").arg(length)),
               status(regsOn, length), {}, 0, 100, 1000, false, true, QString(), true);
    const QStringList fineOn = {QStringLiteral("StaticText7=12.34"), QStringLiteral("StaticText8=2.500"),
                                QStringLiteral("StaticText5=00.56"), QStringLiteral("StaticText6=0.005"),
                                QStringLiteral("StaticText9=ON")};
    addRow("len 15 status 100/1000 on", status(regsOn), fineOn);
    addRow("len 16 status 100/1000 on", status(regsOn, 16), fineOn);
    addRow("len 40 status 100/1000 on", status(regsOn, 40), fineOn);
    addRow("len 15 status 10/100 off", status(regsOff),
           {QStringLiteral("StaticText7=123.4"), QStringLiteral("StaticText8=25.00"),
            QStringLiteral("StaticText5=005.6"), QStringLiteral("StaticText6=00.05"),
            QStringLiteral("StaticText9=OFF")},
           0, 10, 100);
    addRow("len 16 status 100/100 output 2", status("04D209C4003800050002", 16),
           {QStringLiteral("StaticText7=12.34"), QStringLiteral("StaticText8=25.00"),
            QStringLiteral("StaticText5=00.56"), QStringLiteral("StaticText6=00.05"),
            QStringLiteral("StaticText9=OFF")},
           0, 100, 100);
    addRow("len 15 status 10/1000 output 255", status("04D209C40038000500FF"),
           {QStringLiteral("StaticText7=123.4"), QStringLiteral("StaticText8=2.500"),
            QStringLiteral("StaticText5=005.6"), QStringLiteral("StaticText6=0.005"),
            QStringLiteral("StaticText9=OFF")},
           0, 10, 1000);
    addRow("status output high byte ignored", status("04D209C400380005" "FF01"), fineOn);
    addRow("status output 0x0100", status("04D209C400380005" "0100"),
           {QStringLiteral("StaticText7=12.34"), QStringLiteral("StaticText8=2.500"),
            QStringLiteral("StaticText5=00.56"), QStringLiteral("StaticText6=0.005"),
            QStringLiteral("StaticText9=OFF")});
    addRow("status from any address", reply("7F030A04D209C4003800050001", 15), fineOn);
    addRow("status, power pending stays", status(regsOn), fineOn, 0, 100, 1000, false, true,
           QString(), true);
    addRow("status, calibration", status(regsOn), fineOn, 0, 100, 1000, true);
    // Before a model is chosen the divisors are 0: the readouts keep their text,
    // the output state needs no divisor.
    addRow("status, no model", status(regsOn), {QStringLiteral("StaticText9=ON")}, 0, 0, 0);
    addRow("status, no model, off", status(regsOff), {QStringLiteral("StaticText9=OFF")}, 0, 0, 0);
    addRow("status, voltage divisor only", status(regsOn),
           {QStringLiteral("StaticText7=12.34"), QStringLiteral("StaticText5=00.56"),
            QStringLiteral("StaticText9=ON")},
           0, 100, 0);
    // The integer part grows beyond the picture.
    addRow("status full scale 100/1000", status("FFFFFFFFFFFFFFFFFFFF"),
           {QStringLiteral("StaticText7=655.35"), QStringLiteral("StaticText8=65.535"),
            QStringLiteral("StaticText5=655.35"), QStringLiteral("StaticText6=65.535"),
            QStringLiteral("StaticText9=OFF")});
    addRow("status full scale 10/100", status("FFFFFFFFFFFFFFFFFFFF"),
           {QStringLiteral("StaticText7=6553.5"), QStringLiteral("StaticText8=655.35"),
            QStringLiteral("StaticText5=6553.5"), QStringLiteral("StaticText6=655.35"),
            QStringLiteral("StaticText9=OFF")},
           0, 10, 100);
    addRow("status zeros", status("00000000000000000000"),
           {QStringLiteral("StaticText7=00.00"), QStringLiteral("StaticText8=0.000"),
            QStringLiteral("StaticText5=00.00"), QStringLiteral("StaticText6=0.000"),
            QStringLiteral("StaticText9=OFF")});
    // Divisors outside the catalogue keep the default pictures and round.
    addRow("status rounds to picture", status("04D50005000000000001"),
           {QStringLiteral("StaticText7=01.24"), QStringLiteral("StaticText8=0.500"),
            QStringLiteral("StaticText5=00.00"), QStringLiteral("StaticText6=0.000"),
            QStringLiteral("StaticText9=ON")},
           0, 1000, 10);

    // Other function codes, exception replies included, are ignored at any length.
    addRow("exception 0x83 len 7", reply("01830245C0F1", 7), {});
    addRow("exception 0x83 len 15", reply("01830A04D209C4003800050001", 15), {}, 0, 100, 1000, false,
           true, QString(), true);
    addRow("exception 0x90 len 8", reply("019002CDC10000", 8), {}, 0, 100, 1000, true);
    addRow("function 0x06 len 8", reply("0106100000017E0A", 8), {});
    addRow("function 0x04 len 15", reply("01040A04D209C4003800050001", 15), {});
    addRow("function 0x00 len 9", reply("010002123400000000", 9), {}, 0, 100, 1000, false, true,
           QString(), true);
    addRow("function 0x13 len 7", reply("01130212340000", 7), {});
}

void DispatcherTest::routing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, changes);
    QFETCH(int, scanAnswers);
    QFETCH(int, voltageScale);
    QFETCH(int, currentScale);
    QFETCH(bool, calibration);
    QFETCH(bool, powerPending);
    QFETCH(QString, message);
    QFETCH(bool, pendingAfter);

    setDivisors(voltageScale, currentScale);
    CalibrationMode = calibration;
    PowerReadRequested = powerPending;

    const int answersBefore = int(RSADDERS->Edit3->text().count(QLatin1Char(',')));
    const int messagesBefore = ShownMessages().count;
    ModalCloser &closer = m_fixture.closer();

    DispatchReply(bytes);

    QMap<QString, QString> expected;
    for (const QString &change : changes)
        expected.insert(change.section(QLatin1Char('='), 0, 0), change.section(QLatin1Char('='), 1));
    for (const QString &name : kWatched)
        QCOMPARE(name + QLatin1Char('=') + textOf(name),
                 name + QLatin1Char('=') + expected.value(name, kUntouched));
    QCOMPARE(int(RSADDERS->Edit3->text().count(QLatin1Char(','))) - answersBefore, scanAnswers);
    QCOMPARE(PowerReadRequested, pendingAfter);
    if (message.isEmpty()) {
        QCOMPARE(ShownMessages().count, messagesBefore);
        QVERIFY(closer.texts().isEmpty());
    } else {
        // The box opens once the reception has ended, not inside it.
        QCOMPARE(ShownMessages().count, messagesBefore);
        QTRY_COMPARE(ShownMessages().count, messagesBefore + 1);
        QTRY_COMPARE(closer.texts(), QStringList{message});
    }
}

void DispatcherTest::powerOnlyAnswersAPowerRead_data()
{
    QTest::addColumn<bool>("powerPending");
    QTest::addColumn<int>("scanAnswers");
    QTest::addColumn<int>("watts"); // hundredths in the next reading, -1: none
    QTest::newRow("power read") << true << 0 << 12345;
    QTest::newRow("scan answer") << false << 1 << -1;
}

// A one-register reply is a power reading only while one is asked for: a scan
// answer must not ride into the next status reading as its power.
void DispatcherTest::powerOnlyAnswersAPowerRead()
{
    QFETCH(bool, powerPending);
    QFETCH(int, scanAnswers);
    QFETCH(int, watts);
    setDivisors(100, 1000);
    std::optional<double> power;
    int readings = 0;
    QObject listener;
    connect(TheStatusFeed(), &StatusFeed::statusRead, &listener, [&](const Reading &sample) {
        power = sample.watts;
        ++readings;
    });
    const int answersBefore = int(RSADDERS->Edit3->text().count(QLatin1Char(',')));
    PowerReadRequested = powerPending;
    DispatchReply(reply("01030230390000", 7));
    DispatchReply(status("04D209C4003800050001"));
    QCOMPARE(readings, 1);
    QCOMPARE(power, watts < 0 ? std::optional<double>() : std::optional<double>(watts / 100.0));
    QCOMPARE(int(RSADDERS->Edit3->text().count(QLatin1Char(','))) - answersBefore, scanAnswers);
    QVERIFY(!PowerReadRequested);
    // A power answer goes into one reading only.
    DispatchReply(status("04D209C4003800050001"));
    QCOMPARE(readings, 2);
    QCOMPARE(power, std::optional<double>());
}

// The point in a reading is the operator's regional decimal separator.
void DispatcherTest::regionalSeparator()
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    setDivisors(100, 1000);
    DispatchReply(status("04D209C4003800050001"));
    PowerReadRequested = true;
    DispatchReply(reply("01030230390000", 7));
    QLocale::setDefault(saved);

    QCOMPARE(textOf(QStringLiteral("StaticText7")), QStringLiteral("12,34"));
    QCOMPARE(textOf(QStringLiteral("StaticText8")), QStringLiteral("2,500"));
    QCOMPARE(textOf(QStringLiteral("StaticText5")), QStringLiteral("00,56"));
    QCOMPARE(textOf(QStringLiteral("StaticText6")), QStringLiteral("0,005"));
    QCOMPARE(textOf(QStringLiteral("Edit1")), QStringLiteral("123,45"));
}

// The divisors are those of the model active when the reply arrives.
void DispatcherTest::divisorsReadAtEachReply()
{
    const QByteArray block = status("04D209C4003800050001");
    SelectModel(1); // QELT30-05: 100 / 1000
    DispatchReply(block);
    QCOMPARE(textOf(QStringLiteral("StaticText7")), shown(QStringLiteral("12.34")));
    QCOMPARE(textOf(QStringLiteral("StaticText8")), shown(QStringLiteral("2.500")));
    SelectModel(13); // QELT100-10: 10 / 100
    DispatchReply(block);
    QCOMPARE(textOf(QStringLiteral("StaticText7")), shown(QStringLiteral("123.4")));
    QCOMPARE(textOf(QStringLiteral("StaticText8")), shown(QStringLiteral("25.00")));
    ClearActiveModel();
    DispatchReply(status("0000000000000000" "0000"));
    QCOMPARE(textOf(QStringLiteral("StaticText7")), shown(QStringLiteral("123.4")));
    QCOMPARE(textOf(QStringLiteral("StaticText9")), QStringLiteral("OFF"));
}

QTEST_MAIN(DispatcherTest)
#include "tst_dispatcher.moc"
