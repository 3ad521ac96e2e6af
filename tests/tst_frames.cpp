#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/reading.h"
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
    // A status block decoded under three resolutions: the texts are the
    // model's decimals of counts / scale, a power not read stays empty and
    // one read is hundredths of a watt, the reply's own address goes along.
    void readingText_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<int>("power"); // -1: not read
        QTest::addColumn<int>("replyAddress");
        QTest::addColumn<QStringList>("texts"); // voltage set, current set, voltage, current, watts
        QTest::newRow("QELT30-05 0.01 V 0.001 A") << 1 << 1234 << 7
                                                  << QStringList{"12.34", "1.500", "12.05", "0.999", "12.34"};
        QTest::newRow("QELT15-20 0.01 V 0.01 A") << 2 << -1 << 7 << QStringList{"12.34", "15.00", "12.05", "9.99", ""};
        QTest::newRow("QELT100-05 0.1 V 0.001 A") << 10 << 0 << -1
                                                  << QStringList{"123.4", "1.500", "120.5", "0.999", "0.00"};
    }

    void readingText()
    {
        QFETCH(int, item);
        QFETCH(int, power);
        QFETCH(int, replyAddress);
        QFETCH(QStringList, texts);
        const StatusBlock block{1234, 1500, 1205, 999, true};
        const QDateTime time = QDateTime::fromMSecsSinceEpoch(1767650400013);
        const std::optional<quint16> read = power < 0 ? std::nullopt : std::optional<quint16>(quint16(power));
        const Reading reading = DecodeReading(block, ReadingModel(FindModel(item)), 7, time, read, replyAddress);
        const ReadingModel &model = reading.model;
        QCOMPARE(QStringList({model.volt.text(reading.voltageSetpoint), model.amp.text(reading.currentSetpoint),
                              model.volt.text(reading.volts), model.amp.text(reading.amps),
                              reading.watts ? WattResolution.text(*reading.watts) : QString()}),
                 texts);
        QCOMPARE(reading.watts.has_value(), power >= 0);
        QCOMPARE(reading.replyAddress, replyAddress);
        QCOMPARE(reading.address, 7);
        QCOMPARE(reading.time, time);
        QVERIFY(reading.outputOn);
        QCOMPARE(model.name, QString::fromLatin1(FindModel(item)->caption));
        // Under another model the same registers read again, the power kept.
        const Reading again = Rescaled(reading, ReadingModel(FindModel(item == 10 ? 1 : 10)));
        QCOMPARE(again.model.volt.text(again.volts), item == 10 ? QStringLiteral("12.05") : QStringLiteral("120.5"));
        QCOMPARE(again.watts, reading.watts);
        // Before a model is chosen nothing is scaled and no value is made up.
        const Reading unscaled = DecodeReading(block, ReadingModel(), 7, time);
        QVERIFY(!unscaled.model.scaled());
        QCOMPARE(unscaled.volts, 0.0);
    }
};

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_frames.moc"
