// Randomized replies with fixed seeds: about a million straight into
// DispatchReply, and a few hundred through the real receive handler on a
// pseudo-terminal. Every reply lives in a heap block of exactly its length, so
// that AddressSanitizer (make test-asan) stops at any read past its end. After
// each one the controls must have changed exactly as the dispatcher's rules
// allow for that function code and length, and nothing else.

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
#include "support_pty.h"
#include "support_state.h"
#include "widgets/errorreport.h"

#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QtTest>

#include <cmath>
#include <memory>
#include <random>

namespace {

const QString kAcknowledged = QStringLiteral("数据设定OK!");
const QString kCalibrated = QStringLiteral("误差修正成功！");

// Random replies shaped like what a shared line delivers: mostly the lengths
// where the rules change (6..16), function codes mostly 0x03, 0x10 and the
// exception 0x83, and an output-switch byte that is often 0 or 1.
class ReplyGenerator
{
public:
    explicit ReplyGenerator(quint32 seed) : m_random(seed) {}

    int length()
    {
        if (pick(100) < 70)
            return 6 + pick(11);
        return pick(41);
    }

    void fill(char *bytes, int length)
    {
        for (int i = 0; i < length; ++i)
            bytes[i] = char(pick(256));
        if (length > 1) {
            const int kind = pick(100);
            bytes[1] = char(kind < 35 ? 0x03 : kind < 60 ? 0x10 : kind < 70 ? 0x83 : pick(256));
        }
        if (length > 12 && pick(2) == 0)
            bytes[12] = char(pick(2));
    }

    int pick(int bound) { return int(m_random() % quint32(bound)); }

private:
    std::mt19937 m_random;
};

// A reply in a heap block of exactly its size, seen through a QByteArray that
// does not copy it.
class HeapReply
{
public:
    HeapReply(ReplyGenerator &generator, int length)
        : m_block(new char[size_t(length)]), m_length(length)
    {
        generator.fill(m_block.get(), length);
    }
    QByteArray bytes() const { return QByteArray::fromRawData(m_block.get(), m_length); }
    QByteArray copy() const { return QByteArray(m_block.get(), m_length); }

private:
    std::unique_ptr<char[]> m_block;
    int m_length;
};

// The controls the dispatcher may write, and the shared state it reads or changes.
struct Snapshot {
    QString text4, text5, text6, text7, text8, text9, edit1, scanList;
    bool powerPending = false;
    int messages = 0;

    static Snapshot take()
    {
        Snapshot s;
        s.text4 = POWER_TEST->StaticText4->text();
        s.text5 = POWER_TEST->StaticText5->text();
        s.text6 = POWER_TEST->StaticText6->text();
        s.text7 = POWER_TEST->StaticText7->text();
        s.text8 = POWER_TEST->StaticText8->text();
        s.text9 = POWER_TEST->StaticText9->text();
        s.edit1 = POWER_TEST->Edit1->text();
        s.scanList = RSADDERS->Edit3->text();
        s.powerPending = PowerReadRequested;
        s.messages = ShownMessages().count;
        return s;
    }
};

quint16 registerAt(const QByteArray &reply, int offset)
{
    return quint16((quint8(reply[offset]) << 8) | quint8(reply[offset + 1]));
}

// A readout must read back as raw / divisor, rounded to exactly `decimals`
// places, with at least `integerDigits` digits before the separator.
QString checkReadout(const char *name, const QString &text, quint16 raw, double divisor,
                     int integerDigits, int decimals)
{
    const QChar point = QLocale().decimalPoint().at(0);
    const qsizetype at = text.indexOf(point);
    if (at < integerDigits || text.size() - at - 1 != decimals)
        return QStringLiteral("%1 \"%2\" is not in its picture").arg(QLatin1String(name), text);
    bool ok = false;
    const double shown = QLocale().toDouble(text, &ok);
    const double exact = raw / divisor;
    if (!ok || std::fabs(shown - exact) > 0.5 * std::pow(10.0, -decimals) + 1e-9)
        return QStringLiteral("%1 \"%2\" for raw %3 / %4").arg(QLatin1String(name), text).arg(raw).arg(divisor);
    return QString();
}

// What the dispatcher may do to `before` with `reply`, compared with `after`.
// Returns an empty string when the change is allowed, else what went wrong.
QString judge(const QByteArray &reply, const Snapshot &before, const Snapshot &after)
{
    const qsizetype length = reply.size();
    const int function = length > 1 ? quint8(reply[1]) : -1;
    Snapshot expected = before;
    QString problem;

    if (length <= 6) {
        // ignored
    } else if (function == 0x10) {
        if (CalibrationMode) {
            expected.messages = before.messages + 1;
            if (ShownMessages().lastText != kCalibrated)
                problem = QStringLiteral("box text \"%1\"").arg(ShownMessages().lastText);
        } else {
            expected.text4 = kAcknowledged;
        }
    } else if (function == 0x03 && length >= 15) {
        expected.text9 = quint8(reply[12]) == 1 ? QStringLiteral("ON") : QStringLiteral("OFF");
        if (VoltageScale != 0) {
            const int whole = VoltageScale == 10 ? 3 : 2;
            const int decimals = VoltageScale == 10 ? 1 : 2;
            problem += checkReadout("StaticText7", after.text7, registerAt(reply, 3), VoltageScale, whole, decimals);
            problem += checkReadout("StaticText5", after.text5, registerAt(reply, 7), VoltageScale, whole, decimals);
            expected.text7 = after.text7;
            expected.text5 = after.text5;
        }
        if (CurrentScale != 0) {
            const int whole = CurrentScale == 100 ? 2 : 1;
            const int decimals = CurrentScale == 100 ? 2 : 3;
            problem += checkReadout("StaticText8", after.text8, registerAt(reply, 5), CurrentScale, whole, decimals);
            problem += checkReadout("StaticText6", after.text6, registerAt(reply, 9), CurrentScale, whole, decimals);
            expected.text8 = after.text8;
            expected.text6 = after.text6;
        }
    } else if (function == 0x03 && length <= 9) {
        if (before.powerPending) {
            problem += checkReadout("Edit1", after.edit1, registerAt(reply, 3), 100.0, 3, 2);
            expected.edit1 = after.edit1;
            expected.powerPending = false;
        } else {
            expected.scanList = before.scanList + QString::number(ScanAddress) + QLatin1Char(',');
        }
    }
    // Everything else (0x03 of 10 to 14 bytes, exceptions, other codes) is ignored.

    const auto compare = [&problem](const char *name, const QString &want, const QString &got) {
        if (want != got)
            problem += QStringLiteral(" %1: \"%2\" became \"%3\"").arg(QLatin1String(name), want, got);
    };
    compare("StaticText4", expected.text4, after.text4);
    compare("StaticText5", expected.text5, after.text5);
    compare("StaticText6", expected.text6, after.text6);
    compare("StaticText7", expected.text7, after.text7);
    compare("StaticText8", expected.text8, after.text8);
    compare("StaticText9", expected.text9, after.text9);
    compare("Edit1", expected.edit1, after.edit1);
    compare("Edit3 of the scan", expected.scanList, after.scanList);
    if (expected.powerPending != after.powerPending)
        problem += QStringLiteral(" PowerReadRequested %1").arg(after.powerPending);
    if (expected.messages != after.messages)
        problem += QStringLiteral(" %1 boxes shown instead of %2").arg(after.messages - before.messages)
                       .arg(expected.messages - before.messages);
    if (!problem.isEmpty())
        problem.prepend(QStringLiteral("reply %1 (VoltageScale %2, CurrentScale %3):")
                            .arg(QString::fromLatin1(reply.toHex(' ')))
                            .arg(VoltageScale)
                            .arg(CurrentScale));
    return problem;
}

// Shared state that other windows set between replies, varied now and then.
void shuffleState(ReplyGenerator &generator, int index)
{
    if (index % 997 == 0) {
        const int model = generator.pick(ModelCount + 1);
        if (model == 0)
            ClearActiveModel();
        else
            SelectModel(model);
    }
    if (index % 13 == 0)
        ScanAddress = quint16(generator.pick(65536));
    PowerReadRequested = generator.pick(5) == 0;
    // The scan's list only grows; keep it short so that each check stays cheap.
    if (RSADDERS->Edit3->text().size() > 200)
        RSADDERS->Edit3->clear();
}

} // namespace

class RandomizedTest : public QObject
{
    Q_OBJECT

    ToolFixture m_fixture;

private slots:
    void initTestCase()
    {
        CreateForms();
        MAIN->show();
    }

    void cleanupTestCase()
    {
        ClearCommPortMappings();
        DestroyForms();
        ResetToolState();
    }

    void init()
    {
        m_fixture.reset();
        RSADDERS->Edit3->clear();
    }

    // A test that fails half way leaves the port as it was: the next one
    // opens it again.
    void cleanup()
    {
        SetReplyHandler({});
        if (MAIN->MSComm1->PortOpen())
            MAIN->MSComm1->SetPortOpen(false);
    }

    void dispatcherKeepsToItsRules_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("count");
        QTest::newRow("seed 1") << 1u << 250000;
        QTest::newRow("seed 20261207") << 20261207u << 250000;
        QTest::newRow("seed 0xC0FFEE") << 0xC0FFEEu << 250000;
        QTest::newRow("seed 4242") << 4242u << 250000;
    }

    void dispatcherKeepsToItsRules()
    {
        QFETCH(quint32, seed);
        QFETCH(int, count);
        ReplyGenerator generator(seed);
        int statusReplies = 0;
        int acknowledgements = 0;
        int singles = 0;
        for (int i = 0; i < count; ++i) {
            shuffleState(generator, i);
            const HeapReply reply(generator, generator.length());
            const Snapshot before = Snapshot::take();
            DispatchReply(reply.bytes());
            const QString problem = judge(reply.bytes(), before, Snapshot::take());
            if (!problem.isEmpty())
                QFAIL(qPrintable(problem));
            const QByteArray bytes = reply.bytes();
            if (bytes.size() >= 15 && quint8(bytes[1]) == 0x03)
                ++statusReplies;
            else if (bytes.size() > 6 && quint8(bytes[1]) == 0x10)
                ++acknowledgements;
            else if (bytes.size() > 6 && bytes.size() < 10 && quint8(bytes[1]) == 0x03)
                ++singles;
        }
        // The generator reaches every kind often.
        QVERIFY(statusReplies > count / 20);
        QVERIFY(acknowledgements > count / 10);
        QVERIFY(singles > count / 20);
    }

    // While the calibration window is open every acknowledgement opens the
    // success box (after the reception) and writes nothing; the other kinds go
    // on as usual.
    void calibrationBoxesWhileOpen()
    {
        ModalCloser &closer = m_fixture.closer();
        CalibrationMode = true;
        SelectModel(1);
        ReplyGenerator generator(77);
        int boxes = 0;
        for (int i = 0; i < 300; ++i) {
            shuffleState(generator, i + 1);
            const HeapReply reply(generator, generator.length());
            const Snapshot before = Snapshot::take();
            DispatchReply(reply.bytes());
            // The box opens once the reception has ended: let it.
            QCoreApplication::processEvents();
            const Snapshot after = Snapshot::take();
            const QString problem = judge(reply.bytes(), before, after);
            if (!problem.isEmpty())
                QFAIL(qPrintable(problem));
            boxes += after.messages - before.messages;
        }
        CalibrationMode = false;
        QVERIFY(boxes > 30);
        QCOMPARE(closer.texts().size(), boxes);
        for (const QString &text : closer.texts())
            QCOMPARE(text, kCalibrated);
    }

    // The whole way in: bytes written into the pseudo-terminal, the main
    // window's receive handler run as the OnComm event runs it once they have
    // arrived. A reply that has arrived whole before the handler starts is
    // delivered as one reply. (The pseudo-terminal hands bytes on a moment
    // after they were written; a handler run before that finds nothing, and
    // the bytes would join the next reply.)
    void receivePathKeepsToItsRules_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("count");
        QTest::newRow("seed 5") << 5u << 120;
        QTest::newRow("seed 99") << 99u << 120;
    }

    void receivePathKeepsToItsRules()
    {
        QFETCH(quint32, seed);
        QFETCH(int, count);
        PtyPeer peer;
        QVERIFY_THROWS_NO_EXCEPTION(OpenToolPort(peer.slavePath()));
        ReplyGenerator generator(seed);
        for (int i = 0; i < count; ++i) {
            shuffleState(generator, i);
            const HeapReply reply(generator, generator.length());
            const QByteArray bytes = reply.copy();
            peer.write(bytes);
            QVERIFY(WaitUntilCounted(*MAIN->MSComm1, int(bytes.size())));
            const Snapshot before = Snapshot::take();
            RunHandler([] { MAIN->MSComm1Comm(); });
            QVERIFY2(!RxBusy, qPrintable(QString::fromLatin1(bytes.toHex(' '))));
            const QString problem = judge(bytes, before, Snapshot::take());
            if (!problem.isEmpty())
                QFAIL(qPrintable(problem));
            QCOMPARE(MAIN->MSComm1->InBufferCount(), short(0));
        }
        MAIN->MSComm1->SetPortOpen(false);
    }

    // Noise longer than 500 bytes: the handler stops waiting, hands over what
    // it counted, and a later event takes the rest; RxBusy is false after each.
    void receivePathFloods()
    {
        PtyPeer peer;
        QVERIFY_THROWS_NO_EXCEPTION(OpenToolPort(peer.slavePath()));
        QVector<int> lengths;
        SetReplyHandler([&lengths](const QByteArray &reply) { lengths.append(int(reply.size())); });
        ReplyGenerator generator(1500);
        for (int round = 0; round < 6; ++round) {
            lengths.clear();
            const int size = 501 + generator.pick(700);
            const HeapReply noise(generator, size);
            peer.write(noise.copy());
            QVERIFY(WaitUntilCounted(*MAIN->MSComm1, size));
            RunHandler([] { MAIN->MSComm1Comm(); });
            QVERIFY(!RxBusy);
            // The rest, if any, is taken by the event the handler posted.
            QTRY_COMPARE_WITH_TIMEOUT(MAIN->MSComm1->InBufferCount(), short(0), 5000);
            QVERIFY(!RxBusy);
            int total = 0;
            for (int n : lengths)
                total += n;
            QCOMPARE(total, size);
        }
        SetReplyHandler({});
        MAIN->MSComm1->SetPortOpen(false);
    }
};

QTEST_MAIN(RandomizedTest)
#include "tst_randomized.moc"
