#include "link/frames.h"
#include "link/modbustcp.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"
#include "support_bytes.h"

#include <QtTest>

class FramesTest : public QObject
{
    Q_OBJECT

private slots:
    // Reference values computed bit by bit with the textbook CRC-16/MODBUS
    // (poly 0xA001 reflected, init 0xFFFF), independent of the table.
    void crc_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("crc");
        QTest::newRow("empty") << QByteArray() << 0xFFFF;
        QTest::newRow("status poll body") << hex("01 03 10 00 00 05") << 0x0981;
        QTest::newRow("check string") << QByteArray("123456789") << 0x4B37;
        QTest::newRow("single zero") << hex("00") << 0x40BF;
        QTest::newRow("single 0xFF") << hex("FF") << 0x00FF;
    }
    void crc()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, crc);
        QCOMPARE(int(ModbusCrc16(bytes)), crc);
    }

    void crcMatchesBitwiseOnLongFrames()
    {
        QByteArray bytes;
        for (int i = 0; i < 300; ++i)
            bytes.append(char((i * 37 + 11) & 0xFF));
        QCOMPARE(ModbusCrc16(bytes), referenceCrc(bytes));
    }

    void requests_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("status poll") << BuildReadRequest(1, VoltageSetpoint, 5)
                                     << hex("01 03 10 00 00 05 81 09");
        QTest::newRow("power read") << BuildReadRequest(1, OutputPower, 1)
                                    << hex("01 03 10 08 00 01 01 08");
        QTest::newRow("scan probe 1") << BuildReadRequest(1, VoltageSetpoint, 1)
                                      << hex("01 03 10 00 00 01 80 CA");
        QTest::newRow("scan probe 10") << BuildReadRequest(10, VoltageSetpoint, 1)
                                       << hex("0A 03 10 00 00 01 81 B1");
        QTest::newRow("output on") << BuildWriteSingle(1, OutputSwitch, 1)
                                   << hex("01 10 10 04 00 01 02 00 01 77 D5");
        QTest::newRow("output off") << BuildWriteSingle(1, OutputSwitch, 0)
                                    << hex("01 10 10 04 00 01 02 00 00 B6 15");
        QTest::newRow("voltage 1234") << BuildWriteSingle(1, VoltageSetpoint, 0x04D2)
                                      << hex("01 10 10 00 00 01 02 04 D2 35 0C");
        QTest::newRow("voltage correction -3") << BuildWriteSingle(1, VoltageCorrection, 13)
                                               << hex("01 10 10 1A 00 01 02 00 0D 74 6E");
        QTest::newRow("current correction -1") << BuildWriteSingle(1, CurrentCorrection, 101)
                                               << hex("01 10 10 19 00 01 02 00 65 75 B3");
        QTest::newRow("setpoint pair")
            << BuildWriteRequest(1, VoltageSetpoint, {0, 1000})
            << hex("01 10 10 00 00 02 04 00 00 03 E8 3E D1");
    }
    void requests()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, expected);
        QCOMPARE(frame.toHex(' '), expected.toHex(' '));
    }

    void addressKeepsLowEightBits_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("sent");
        QTest::newRow("0") << 0 << 0x00;
        QTest::newRow("247") << 247 << 0xF7;
        QTest::newRow("256") << 256 << 0x00;
        QTest::newRow("300") << 300 << 0x2C;
        QTest::newRow("-1") << -1 << 0xFF;
    }
    void addressKeepsLowEightBits()
    {
        QFETCH(int, address);
        QFETCH(int, sent);
        const QByteArray frame = BuildWriteSingle(address, KeyLock, 1);
        QCOMPARE(quint8(frame.at(0)), quint8(sent));
        QCOMPARE(ModbusCrc16(frame.left(9)),
                 quint16(quint8(frame.at(9)) | (quint8(frame.at(10)) << 8)));
    }

    void writeLayout_data()
    {
        QTest::addColumn<int>("registers");
        QTest::newRow("one") << 1;
        QTest::newRow("two") << 2;
    }
    void writeLayout()
    {
        QFETCH(int, registers);
        QVector<quint16> values(registers, 0xABCD);
        const QByteArray frame = BuildWriteRequest(7, PowerSetpoint, values);
        QCOMPARE(frame.size(), 9 + 2 * registers);
        QCOMPARE(quint8(frame.at(1)), quint8(0x10));
        QCOMPARE(RegisterAt(frame, 4), quint16(registers));
        QCOMPARE(quint8(frame.at(6)), quint8(2 * registers));
        QCOMPARE(RegisterAt(frame, 7), quint16(0xABCD));
    }

    // What a collected reply is, by its length and function code alone: the
    // CRC is not checked, an exception is no reply the tool knows.
    void classifyReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("kind");
        // Status: the five registers and the output state; single register: its value.
        QTest::addColumn<QString>("decoded");
        const int ignored = int(ReplyKind::Ignored);
        const int ack = int(ReplyKind::WriteAcknowledgement);
        const int single = int(ReplyKind::SingleRegister);
        const int status = int(ReplyKind::StatusBlock);
        QTest::newRow("write ack cut to 6") << hex("01 10 10 00 00 01") << ignored << QString();
        QTest::newRow("write ack") << hex("01 10 10 00 00 01 05 09") << ack << QString();
        QTest::newRow("write ack, CRC spoilt") << hex("01 10 10 00 00 01 05 F6") << ack << QString();
        QTest::newRow("correction ack at 17") << hex("11 10 10 19 00 01 D6 5E") << ack << QString();
        QTest::newRow("one register") << hex("05 03 02 00 2A C8 5B") << single << QStringLiteral("42");
        QTest::newRow("one register, two bytes of noise") << hex("05 03 02 00 2A C8 5B 00 FF") << single
                                                          << QStringLiteral("42");
        QTest::newRow("one register, three bytes of noise") << hex("05 03 02 00 2A C8 5B 00 FF 00") << ignored
                                                            << QString();
        QTest::newRow("status cut to 14") << hex("01 03 0A 04 B0 05 DC 04 B0 04 B0 00 01 0C") << ignored
                                          << QString();
        QTest::newRow("status") << hex("01 03 0A 04 B0 05 DC 04 B0 04 B0 00 01 0C 1F") << status
                                << QStringLiteral("1200 1500 1200 1200 on");
        QTest::newRow("status, CRC spoilt") << hex("01 03 0A 04 B0 05 DC 04 B0 04 B0 00 01 0C E0") << status
                                            << QStringLiteral("1200 1500 1200 1200 on");
        QTest::newRow("status, output word 0x0100") << hex("01 03 0A 04 B0 05 DC 04 B0 04 B0 01 00 CC 4F")
                                                    << status << QStringLiteral("1200 1500 1200 1200 off");
        QTest::newRow("exception 83 02") << hex("01 83 02 C0 F1") << ignored << QString();
        QTest::newRow("exception 90 03, two bytes of noise") << hex("01 90 03 0C 01 00 00") << ignored
                                                             << QString();
        QTest::newRow("function 04, status length") << hex("01 04 0A 04 B0 05 DC 04 B0 04 B0 00 01 00 00")
                                                    << ignored << QString();
    }
    void classifyReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, kind);
        QFETCH(QString, decoded);
        QCOMPARE(int(ClassifyReply(reply)), kind);
        if (kind == int(ReplyKind::StatusBlock)) {
            const StatusBlock block = DecodeStatusBlock(reply);
            QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5")
                         .arg(block.voltageSetpoint)
                         .arg(block.currentSetpoint)
                         .arg(block.outputVoltage)
                         .arg(block.outputCurrent)
                         .arg(block.outputOn ? QStringLiteral("on") : QStringLiteral("off")),
                     decoded);
        } else if (kind == int(ReplyKind::SingleRegister)) {
            QCOMPARE(QString::number(DecodeSingleRegister(reply)), decoded);
        }
    }

    // Modbus TCP frames written out by hand, cut off a buffer: what is taken,
    // what stays, and where the header says it is no Modbus TCP at all.
    void mbapCut_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<QStringList>("frames"); // "transaction unit pdu-hex" of each frame taken
        QTest::addColumn<int>("left");           // bytes left in the buffer
        QTest::addColumn<bool>("junk");

        const QByteArray read = hex("00 07 00 00 00 06 05 03 10 00 00 05");
        const QByteArray write = hex("FF FF 00 00 00 09 11 10 10 00 00 01 02 04 B0");
        QTest::newRow("nothing") << QByteArray() << QStringList() << 0 << false;
        QTest::newRow("half a header") << read.left(3) << QStringList() << 3 << false;
        QTest::newRow("header, PDU to come") << read.left(9) << QStringList() << 9 << false;
        QTest::newRow("one frame") << read << QStringList{"7 5 0310000005"} << 0 << false;
        QTest::newRow("two frames, last id 0xFFFF") << read + write
                                                    << QStringList{"7 5 0310000005", "65535 17 10100000010204b0"} << 0
                                                    << false;
        QTest::newRow("one and a half") << read + write.left(8) << QStringList{"7 5 0310000005"} << 8 << false;
        QTest::newRow("transaction 0 after 0xFFFF") << write + hex("00 00 00 00 00 03 01 83 02")
                                                    << QStringList{"65535 17 10100000010204b0", "0 1 8302"} << 0 << false;
        QTest::newRow("protocol 1, told at 4 bytes") << hex("00 01 00 01") << QStringList() << 4 << true;
        QTest::newRow("protocol 0x0100") << hex("00 01 01 00 00 02 01 83") << QStringList() << 8 << true;
        QTest::newRow("length 1: no PDU") << hex("00 01 00 00 00 01 01") << QStringList() << 7 << true;
        QTest::newRow("length 2: a function alone") << hex("00 01 00 00 00 02 09 2B") << QStringList{"1 9 2b"} << 0
                                                    << false;
        QByteArray longest = hex("00 02 00 00 00 FE 01");
        longest += QByteArray(253, char(0x10));
        QTest::newRow("length 254: the longest PDU") << longest << QStringList{"2 1 " + QString(253, '#').replace("#", "10")}
                                                     << 0 << false;
        QTest::newRow("length 255: one beyond") << hex("00 02 00 00 00 FF 01") + QByteArray(254, char(0x10))
                                                << QStringList() << 261 << true;
        QTest::newRow("frame, then junk") << read + hex("00 09 00 07") << QStringList{"7 5 0310000005"} << 4 << true;
    }
    void mbapCut()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(QStringList, frames);
        QFETCH(int, left);
        QFETCH(bool, junk);

        QStringList taken;
        MbapFrame frame;
        MbapCut cut;
        while ((cut = CutMbapFrame(buffer, frame)) == MbapCut::Frame)
            taken << QStringLiteral("%1 %2 %3").arg(frame.transaction).arg(frame.unit).arg(QString::fromLatin1(frame.pdu.toHex()));
        QCOMPARE(taken, frames);
        QCOMPARE(int(buffer.size()), left);
        QCOMPARE(cut == MbapCut::Junk, junk);
    }

    // Built frames against the bytes written out by hand, an RTU request
    // through the header and back, and the transaction id across its wrap.
    void mbapBuild_data()
    {
        QTest::addColumn<int>("transaction");
        QTest::addColumn<QByteArray>("rtu");
        QTest::addColumn<QByteArray>("mbap"); // empty: no Modbus TCP frame for it

        QTest::newRow("status poll") << 1 << hex("01 03 10 00 00 05 81 09") << hex("00 01 00 00 00 06 01 03 10 00 00 05");
        QTest::newRow("id 0xFFFF") << 0xFFFF << hex("05 10 10 00 00 01 02 04 B0 00 00")
                                   << hex("FF FF 00 00 00 09 05 10 10 00 00 01 02 04 B0");
        QTest::newRow("id 0 after the wrap") << int(quint16(0xFFFF + 1)) << hex("05 83 02 00 00") << hex("00 00 00 00 00 03 05 83 02");
        QTest::newRow("too short for a PDU") << 3 << hex("05 83 02") << QByteArray();
        QTest::newRow("PDU of 253") << 4 << QByteArray(1, char(9)) + QByteArray(253, char(0x2B)) + hex("00 00")
                                    << hex("00 04 00 00 00 FE 09") + QByteArray(253, char(0x2B));
        QTest::newRow("PDU of 254: one beyond") << 4 << QByteArray(1, char(9)) + QByteArray(254, char(0x2B)) + hex("00 00")
                                                << QByteArray();
    }
    void mbapBuild()
    {
        QFETCH(int, transaction);
        QFETCH(QByteArray, rtu);
        QFETCH(QByteArray, mbap);

        QCOMPARE(MbapFromRtu(rtu, quint16(transaction)), mbap);
        if (mbap.isEmpty())
            return;
        QCOMPARE(MbapBytes(quint16(transaction), quint8(rtu.at(0)), rtu.mid(1, rtu.size() - 3)), mbap);
        QCOMPARE(MbapFrameLength(mbap), int(mbap.size()));
        QCOMPARE(RtuFromMbap(mbap), withCrc(rtu.left(rtu.size() - 2)));
    }

    // Choosing and clearing a model write the active model before telling the
    // observer, so what the observer reads is the model it is told of.
    void modelObserverSeesTheWrittenModel()
    {
        QStringList seen;
        SetModelObserver([&seen](const QString &caption) {
            seen << QStringLiteral("%1|%2|%3|%4").arg(caption, ModelName).arg(VoltageLimit).arg(CurrentScale);
        });
        SelectModel(12);
        SelectModel(ModelCount + 1);
        ClearActiveModel();
        SetModelObserver(nullptr);
        const ModelEntry *entry = FindModel(12);
        QVERIFY(entry);
        const QString caption = QString::fromLatin1(entry->caption);
        QCOMPARE(seen, QStringList({QStringLiteral("%1|%1|%2|%3").arg(caption).arg(entry->voltageLimit).arg(entry->currentScale),
                                    QStringLiteral("||0|0")}));
    }
};

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_frames.moc"
