#include "link/commports.h"
#include "link/frames.h"
#include "link/mscomm.h"
#include "link/serialchannel.h"
#include "support_bytes.h"
#include "support_pty.h"
#include "support_state.h"
#include "widgets/errorreport.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
// Takes the place of the channel's sleeps. Each sleep moves a clock of its
// own on and writes into the line what is due by then, and returns once the
// control counts those bytes: every poll sees exactly what a line on this
// schedule shows, however slowly the machine runs.
class ScriptedLine
{
public:
    // taken: the replies collected so far (their bytes have left the control).
    ScriptedLine(PtyPeer &peer, TMSComm &comm, const QVector<QByteArray> &taken)
        : m_peer(peer), m_comm(comm), m_taken(taken)
    {
        SetSleepFunction([this](int ms) {
            m_sleeps.append(ms);
            m_now += ms;
            deliverDue();
        });
    }
    ~ScriptedLine() { SetSleepFunction({}); }
    ScriptedLine(const ScriptedLine &) = delete;
    ScriptedLine &operator=(const ScriptedLine &) = delete;

    // bytes reach the line at atMs on the line's clock (given in the order
    // of time); what is due at 0 is written by start().
    void at(int atMs, const QByteArray &bytes) { m_due.append({atMs, bytes}); }
    void start() { deliverDue(); }

    // Moves the clock on to the next arrival, as the receive event for it
    // would come then. False when nothing more is due.
    bool deliverNext()
    {
        if (m_due.isEmpty())
            return false;
        m_now = qMax(m_now, m_due.first().first);
        deliverDue();
        return true;
    }

    // The sleeps the channel asked for, in ms.
    QVector<int> sleeps() const { return m_sleeps; }
    // False when written bytes did not reach the control in time.
    bool delivered() const { return m_delivered; }

private:
    void deliverDue()
    {
        while (!m_due.isEmpty() && m_due.first().first <= m_now) {
            m_written += m_due.first().second.size();
            m_peer.write(m_due.takeFirst().second);
        }
        int taken = 0;
        for (const QByteArray &reply : m_taken)
            taken += int(reply.size());
        m_delivered = m_delivered && WaitUntilCounted(m_comm, m_written - taken);
    }

    PtyPeer &m_peer;
    TMSComm &m_comm;
    const QVector<QByteArray> &m_taken;
    QVector<QPair<int, QByteArray>> m_due;
    QVector<int> m_sleeps;
    int m_now = 0;
    int m_written = 0;
    bool m_delivered = true;
};
} // namespace

class ChannelTest : public QObject
{
    Q_OBJECT

private:
    ToolFixture m_fixture;
    std::unique_ptr<PtyPeer> m_peer;
    std::unique_ptr<TMSComm> m_comm;
    QVector<QByteArray> m_replies;

    void receiveUntilEmpty()
    {
        while (m_comm->InBufferCount() > 0)
            ReceiveReply();
    }

private slots:
    void init()
    {
        m_fixture.reset();
        m_peer = std::make_unique<PtyPeer>();
        m_comm = std::make_unique<TMSComm>();
        AttachSerialControl(m_comm.get());
        MapCommPort(1, m_peer->slavePath());
        m_comm->SetCommPort(1);
        m_comm->SetSettings(QStringLiteral("9600,n,8,1"));
        m_comm->SetRThreshold(1);
        QVERIFY_THROWS_NO_EXCEPTION(m_comm->SetPortOpen(true));
        m_replies.clear();
        SetReplyHandler([this](const QByteArray &reply) { m_replies.append(reply); });
    }

    void cleanup()
    {
        SetReplyHandler({});
        SetSendObserver({});
        m_comm.reset();
        m_peer.reset();
        ClearCommPortMappings();
    }

    void frameReachesPeerByteForByte()
    {
        QVector<QByteArray> observed;
        SetSendObserver([&](const QByteArray &frame) { observed.append(frame); });
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        SendFrame(hex("01 03 10 00 00 05 81 09"));
        SendFrame(all);
        const QByteArray expected = hex("01 03 10 00 00 05 81 09") + all;
        QCOMPARE(m_peer->readSome(expected.size(), 5000).toHex(), expected.toHex());
        QCOMPARE(observed.size(), 2);
    }

    void completeReplyAfterTwoPolls()
    {
        const QByteArray reply = hex("01 03 0A 04 D2 03 E8 04 D0 03 E0 00 01 AA BB");
        {
            ScriptedLine line(*m_peer, *m_comm, m_replies);
            line.at(0, reply);
            line.start();
            ReceiveReply();
            QVERIFY(line.delivered());
            // 1 ms, then two 30 ms polls that find the same count.
            QCOMPARE(line.sleeps(), (QVector<int>{1, 30, 30}));
        }
        QCOMPARE(m_replies.size(), 1);
        QCOMPARE(m_replies.first(), reply);
        QVERIFY(!RxBusy);
        QCOMPARE(int(m_comm->InBufferCount()), 0);

        // Without the seam the channel sleeps for real.
        m_peer->write(reply);
        QTRY_VERIFY_WITH_TIMEOUT(m_comm->InBufferCount() == reply.size(), 5000);
        QElapsedTimer clock;
        clock.start();
        ReceiveReply();
        const qint64 took = clock.elapsed();
        QCOMPARE(m_replies.size(), 2);
        QVERIFY2(took >= 60, qPrintable(QString::number(took)));
    }

    // The head is waiting when the reception starts; its polls fall at 31 and
    // 61 ms. The first poll is only compared with the next one, so a tail due
    // by the second poll still joins the head; one due later is a reply of its
    // own, taken by a later event.
    void pauseSplitsReply_data()
    {
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<int>("replies");
        QTest::newRow("10 ms never cuts") << 10 << 1;
        QTest::newRow("61 ms, at the second poll: whole") << 61 << 1;
        QTest::newRow("62 ms, after the second poll: cut") << 62 << 2;
        QTest::newRow("100 ms always cuts") << 100 << 2;
    }
    void pauseSplitsReply()
    {
        QFETCH(int, pauseMs);
        QFETCH(int, replies);
        const QByteArray head = hex("01 10 10 04");
        const QByteArray tail = hex("00 01 40 08");
        ScriptedLine line(*m_peer, *m_comm, m_replies);
        line.at(0, head);
        line.at(pauseMs, tail);
        line.start();
        do
            receiveUntilEmpty();
        while (line.deliverNext());
        QVERIFY(line.delivered());
        QCOMPARE(m_replies.size(), replies);
        QCOMPARE(m_replies.join(), head + tail);
        if (replies == 2)
            QCOMPARE(m_replies.first(), head);
    }

    // 24 bytes every 2 ms: the second poll counts 744 bytes and ends the
    // reception; the rest is taken by later events, nothing is lost.
    void floodStopsPast500AndLosesNothing()
    {
        QByteArray sent;
        for (int i = 0; i < 1200; ++i)
            sent.append(char(i & 0xFF));
        ScriptedLine line(*m_peer, *m_comm, m_replies);
        for (int i = 0; i < sent.size(); i += 24)
            line.at(i / 12, sent.mid(i, 24));
        line.start();
        ReceiveReply();
        QVERIFY(!m_replies.isEmpty());
        QVERIFY2(m_replies.first().size() > 500, qPrintable(QString::number(m_replies.first().size())));
        QCOMPARE(line.sleeps(), (QVector<int>{1, 30, 30}));
        do
            receiveUntilEmpty();
        while (line.deliverNext());
        QVERIFY(line.delivered());
        QCOMPARE(m_replies.join().toHex(), sent.toHex());
    }

    // The poll that first counts more than 500 bytes ends the reception; 500
    // itself does not. Arrivals at 0, 40 and 70 ms against polls at 31, 61, 91.
    void floodLimitIsExact_data()
    {
        QTest::addColumn<int>("second");
        QTest::addColumn<int>("reply");
        QTest::addColumn<QVector<int>>("sleeps");
        QTest::newRow("501 at the second poll: ends there") << 251 << 501 << QVector<int>{1, 30, 30};
        QTest::newRow("500 at the second poll: goes on") << 250 << 750 << QVector<int>{1, 30, 30, 30};
    }
    void floodLimitIsExact()
    {
        QFETCH(int, second);
        QFETCH(int, reply);
        QFETCH(QVector<int>, sleeps);
        ScriptedLine line(*m_peer, *m_comm, m_replies);
        line.at(0, QByteArray(250, '\x11'));
        line.at(40, QByteArray(second, '\x22'));
        line.at(70, QByteArray(750 - 250 - second, '\x33'));
        line.start();
        ReceiveReply();
        QVERIFY(line.delivered());
        QCOMPARE(line.sleeps(), sleeps);
        QCOMPARE(m_replies.size(), 1);
        QCOMPARE(int(m_replies.first().size()), reply);
    }

    void sendDiscardsUnreadTail()
    {
        m_peer->write(hex("01 03 02 00 07 F9 86"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_comm->InBufferCount()), 7, 5000);
        SendFrame(hex("01 03 10 00 00 01 80 CA"));
        QCOMPARE(int(m_comm->InBufferCount()), 0);
        ReceiveReply();
        QVERIFY(m_replies.isEmpty());
        // Bytes that arrive after the request are received normally.
        m_peer->write(hex("05 03 02 00 01 00 00"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_comm->InBufferCount()), 7, 5000);
        ReceiveReply();
        QCOMPARE(m_replies.size(), 1);
        QCOMPARE(m_replies.first(), hex("05 03 02 00 01 00 00"));
    }

    void busyReceptionLeavesBytesWaiting()
    {
        RxBusy = true;
        m_peer->write(hex("01 10 10 04"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_comm->InBufferCount()), 4, 5000);
        ReceiveReply();
        QVERIFY(m_replies.isEmpty());
        QVERIFY(RxBusy);
        QCOMPARE(int(m_comm->InBufferCount()), 4);
        // Once free, the old bytes and the new ones make one reply.
        RxBusy = false;
        m_peer->write(hex("00 01 40 08"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_comm->InBufferCount()), 8, 5000);
        ReceiveReply();
        QCOMPARE(m_replies.size(), 1);
        QCOMPARE(m_replies.first(), hex("01 10 10 04 00 01 40 08"));
    }

    void emptyEventChangesNothing_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::newRow("idle") << false;
        QTest::newRow("busy") << true;
    }
    void emptyEventChangesNothing()
    {
        QFETCH(bool, busy);
        RxBusy = busy;
        ReceiveReply();
        QCOMPARE(RxBusy, busy);
        QVERIFY(m_replies.isEmpty());
    }

    void rxBusyClearedWhenDispatchThrows()
    {
        SetReplyHandler([](const QByteArray &) { RaiseError(QStringLiteral("dispatch failed")); });
        m_peer->write(hex("01 03 0A 00 00 00 00 00 00 00 00 00 01 00 00"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_comm->InBufferCount()), 15, 5000);
        QVERIFY_THROWS_EXCEPTION(SystemError, ReceiveReply());
        QVERIFY(!RxBusy);
        // The next reception works again.
        SetReplyHandler([this](const QByteArray &reply) { m_replies.append(reply); });
        m_peer->write(hex("01 10 10 04 00 01 40 08"));
        QTRY_COMPARE_WITH_TIMEOUT(int(m_comm->InBufferCount()), 8, 5000);
        ReceiveReply();
        QCOMPARE(m_replies.size(), 1);
    }

    void receiveEventRaisedOnArrival()
    {
        QSignalSpy spy(m_comm.get(), &TMSComm::OnComm);
        m_peer->write(hex("01"));
        QTRY_VERIFY_WITH_TIMEOUT(spy.count() >= 1, 5000);
    }

    void leftoverBytesRaiseEventAgain()
    {
        // Bytes that come in while a reply is being dispatched wait with no
        // arrival after the reception to raise the event: the channel raises
        // it again itself.
        const QByteArray tail = hex("10 04 00 01 40 08");
        SetReplyHandler([this, tail](const QByteArray &reply) {
            m_replies.append(reply);
            if (m_replies.size() == 1) {
                m_peer->write(tail);
                QVERIFY(WaitUntilCounted(*m_comm, int(tail.size())));
            }
        });
        connect(m_comm.get(), &TMSComm::OnComm, this, [] { ReceiveReply(); });
        m_peer->write(hex("01 10"));
        QTRY_COMPARE_WITH_TIMEOUT(m_replies.join(), hex("01 10 10 04 00 01 40 08"), 5000);
        QCOMPARE(m_replies.size(), 2);
    }

    void sendOnClosedPortRaises()
    {
        m_comm->SetPortOpen(false);
        try {
            SendFrame(hex("01 03 10 00 00 05 81 09"));
            QFAIL("send on a closed port succeeded");
        } catch (const SystemError &error) {
            QVERIFY(error.text().contains(QStringLiteral("串口未打开")));
        }
    }

    void refusedLineSettings_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::newRow("1.5 stop bits") << QStringLiteral("9600,n,8,1.5");
    }
    void refusedLineSettings()
    {
        QFETCH(QString, settings);
        m_comm->SetPortOpen(false);
        m_comm->SetSettings(settings);
        QVERIFY_THROWS_EXCEPTION(SystemError, m_comm->SetPortOpen(true));
        QVERIFY(!m_comm->PortOpen());
    }

    void malformedSettingsRejected_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::newRow("missing piece") << QStringLiteral("9600,n,8");
        QTest::newRow("bad parity") << QStringLiteral("9600,x,8,1");
        QTest::newRow("bad data bits") << QStringLiteral("9600,n,9,1");
        QTest::newRow("bad baud") << QStringLiteral("fast,n,8,1");
    }
    void malformedSettingsRejected()
    {
        QFETCH(QString, settings);
        QVERIFY_THROWS_EXCEPTION(SystemError, m_comm->SetSettings(settings));
        QCOMPARE(m_comm->Settings(), QStringLiteral("9600,n,8,1"));
    }

    void missingPortRefused()
    {
        m_comm->SetPortOpen(false);
        MapCommPort(9, QStringLiteral("/dev/psutool-no-such-device"));
        m_comm->SetCommPort(9);
        QVERIFY_THROWS_EXCEPTION(SystemError, m_comm->SetPortOpen(true));
        QVERIFY(!m_comm->PortOpen());
    }

    void vanishedDeviceClosesPort()
    {
        QSignalSpy lost(m_comm.get(), &TMSComm::PortLost);
        m_peer->hangUp();
        QTRY_VERIFY_WITH_TIMEOUT(!m_comm->PortOpen(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 5000);
        QVERIFY(lost.first().first().toString().contains(QStringLiteral("已关闭")));
        QVERIFY_THROWS_EXCEPTION(SystemError, SendFrame(hex("01 03 10 00 00 05 81 09")));
    }
};

QTEST_MAIN(ChannelTest)
#include "tst_channel.moc"
