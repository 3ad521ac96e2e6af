#include "link/commports.h"
#include "app/errorreport.h"
#include "link/frames.h"
#include "link/mscomm.h"
#include "link/serialchannel.h"
#include "support_bytes.h"
#include "support_pty.h"

#include <QSignalSpy>
#include <QtTest>
#include <atomic>
#include <thread>

namespace {
// Writes parts to the peer from another thread, each after its pause, while
// the GUI thread sleeps inside the reception.
class TimedWriter
{
public:
    TimedWriter(PtyPeer &peer, QVector<QPair<int, QByteArray>> steps)
        : m_thread([&peer, steps] {
              for (const auto &step : steps) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(step.first));
                  peer.write(step.second);
              }
          })
    {
    }
    ~TimedWriter() { m_thread.join(); }

private:
    std::thread m_thread;
};
} // namespace

class ChannelTest : public QObject
{
    Q_OBJECT

private:
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
        m_peer = std::make_unique<PtyPeer>();
        m_comm = std::make_unique<TMSComm>();
        AttachSerialControl(m_comm.get());
        MapCommPort(1, m_peer->slavePath());
        m_comm->SetCommPort(1);
        m_comm->SetSettings(QStringLiteral("9600,n,8,1"));
        m_comm->SetRThreshold(1);
        m_comm->SetPortOpen(true);
        m_replies.clear();
        SetReplyHandler([this](const QByteArray &reply) { m_replies.append(reply); });
        RxBusy = false;
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
        m_peer->write(reply);
        QTRY_VERIFY_WITH_TIMEOUT(m_comm->InBufferCount() == reply.size(), 5000);
        QElapsedTimer clock;
        clock.start();
        ReceiveReply();
        const qint64 took = clock.elapsed();
        QCOMPARE(m_replies.size(), 1);
        QCOMPARE(m_replies.first(), reply);
        QVERIFY2(took >= 60, qPrintable(QString::number(took)));
        QVERIFY2(took < 400, qPrintable(QString::number(took)));
        QVERIFY(!RxBusy);
        QCOMPARE(int(m_comm->InBufferCount()), 0);
    }

    void pauseSplitsReply_data()
    {
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<int>("replies");
        QTest::newRow("10 ms never cuts") << 10 << 1;
        QTest::newRow("100 ms always cuts") << 100 << 2;
    }
    void pauseSplitsReply()
    {
        QFETCH(int, pauseMs);
        QFETCH(int, replies);
        const QByteArray head = hex("01 10 10 04");
        const QByteArray tail = hex("00 01 40 08");
        m_peer->write(head);
        QTRY_VERIFY_WITH_TIMEOUT(m_comm->InBufferCount() > 0, 5000);
        {
            TimedWriter writer(*m_peer, {{pauseMs, tail}});
            ReceiveReply();
        }
        QTRY_VERIFY_WITH_TIMEOUT(m_comm->InBufferCount() > 0 || m_replies.size() == 1, 5000);
        receiveUntilEmpty();
        QCOMPARE(m_replies.size(), replies);
        QCOMPARE(m_replies.join(), head + tail);
        if (replies == 2)
            QCOMPARE(m_replies.first(), head);
    }

    void floodStopsPast500AndLosesNothing()
    {
        std::atomic<bool> stop{false};
        QByteArray sent;
        for (int i = 0; i < 1200; ++i)
            sent.append(char(i & 0xFF));
        std::thread flood([&] {
            for (int i = 0; i < sent.size() && !stop; i += 24) {
                m_peer->write(sent.mid(i, 24));
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(m_comm->InBufferCount() > 0, 5000);
        ReceiveReply();
        flood.join();
        QVERIFY(!m_replies.isEmpty());
        QVERIFY2(m_replies.first().size() > 500, qPrintable(QString::number(m_replies.first().size())));
        // Bytes that arrived after the count stay for the next reception.
        QTRY_VERIFY_WITH_TIMEOUT(m_comm->InBufferCount() > 0, 5000);
        receiveUntilEmpty();
        QCOMPARE(m_replies.join().toHex(), sent.toHex());
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
        // A reply cut by a pause leaves its tail waiting with no new arrival
        // to raise the event: the channel raises it again itself.
        QSignalSpy spy(m_comm.get(), &TMSComm::OnComm);
        connect(m_comm.get(), &TMSComm::OnComm, this, [] { ReceiveReply(); });
        m_peer->write(hex("01 10"));
        {
            TimedWriter writer(*m_peer, {{150, hex("10 04 00 01 40 08")}});
            QTRY_VERIFY_WITH_TIMEOUT(m_replies.size() >= 1, 5000);
        }
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
