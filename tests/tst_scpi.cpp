// psuctl scpi: its parser and a client's instrument in this process, and the
// server (RunPsuctl on a thread of its own) over simulated supplies on a
// pseudo-terminal, reached by pyvisa, PyMeasure and plain sockets from one
// Python script.

#include "ctl/ctlerror.h"
#include "ctl/scpiinstrument.h"
#include "ctl/service.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "sim/simbus.h"
#include "support_psuctl.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The units of a message as "HEADER[?] [VALUE]", or "ERROR" for one refused.
QString units(const QByteArray &message)
{
    static const char *const names[] = {"*CLS", "*ESE", "*ESR", "*IDN", "*OPC", "*RST", "*SRE", "*STB", "*TST",
                                        "*WAI", "VOLT", "CURR", "VOLT:PROT", "CURR:PROT", "OUTP", "MEAS:VOLT",
                                        "MEAS:CURR", "MEAS:POW", "SYST:ERR", "SYST:ERR:COUN", "SYST:VERS",
                                        "SYST:REM", "SYST:LOC"};
    static const char *const kinds[] = {"", "", "MIN", "MAX", "DEF", "ON", "OFF"};
    QStringList shown;
    for (const ScpiCommand &unit : ParseProgramMessage(message)) {
        if (unit.error) {
            shown << QString::number(unit.error);
            continue;
        }
        QString text = QLatin1String(names[int(unit.header)]) + (unit.query ? QStringLiteral("?") : QString());
        if (unit.value.kind == ScpiValue::Number)
            text += QLatin1Char(' ') + QString::number(unit.value.number);
        else if (unit.value.kind != ScpiValue::None)
            text += QLatin1Char(' ') + QLatin1String(kinds[unit.value.kind]);
        shown << text;
    }
    return shown.join(QStringLiteral(" | "));
}

} // namespace

class TestScpi : public QObject
{
    Q_OBJECT

private slots:
    void parses_data();
    void parses();
    void statusAndErrorQueue_data();
    void statusAndErrorQueue();
    void pyvisaAndPymeasureOnTheSimulator();
    void badOptionsRefused_data();
    void badOptionsRefused();
};

void TestScpi::parses_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("expected");
    // Short and long forms, any case, optional nodes.
    QTest::newRow("short") << QByteArray("VOLT 12") << "VOLT 12";
    QTest::newRow("long, lower case") << QByteArray("voltage 12") << "VOLT 12";
    QTest::newRow("every optional node") << QByteArray("SOURce:VOLTage:LEVel:IMMediate:AMPLitude 12") << "VOLT 12";
    QTest::newRow("mixed forms and case") << QByteArray(":sour:VOLTAGE:lev 12") << "VOLT 12";
    QTest::newRow("neither form") << QByteArray("VOLTA 12") << "-113";
    QTest::newRow("a short form too short") << QByteArray("VOL 12") << "-113";
    QTest::newRow("suffix 1") << QByteArray("OUTP1 ON") << "OUTP ON";
    QTest::newRow("suffix 2") << QByteArray("OUTP2 ON") << "-114";
    QTest::newRow("protection") << QByteArray("VOLT:PROT:LEV 20") << "VOLT:PROT 20";
    QTest::newRow("output state") << QByteArray("OUTPut:STATe OFF") << "OUTP OFF";
    QTest::newRow("measure, scalar, dc") << QByteArray("MEASure:SCALar:VOLTage:DC?") << "MEAS:VOLT?";
    QTest::newRow("system") << QByteArray("SYST:ERR:NEXT?;NEXT?;COUN?;:SYSTem:VERSion?;REM;LOC")
                            << "SYST:ERR? | SYST:ERR? | SYST:ERR:COUN? | SYST:VERS? | SYST:REM | SYST:LOC";
    QTest::newRow("chain from a leaf's parent") << QByteArray("SYST:ERR?;SYST:ERR?") << "SYST:ERR? | -113";
    QTest::newRow("common commands") << QByteArray("*idn?;*RST;*CLS;*ESE 32;*ese?;*ESR?;*OPC;*OPC?;*SRE 16;*STB?;*TST?;*WAI")
                                     << "*IDN? | *RST | *CLS | *ESE 32 | *ESE? | *ESR? | *OPC | *OPC? | *SRE 16 | *STB? | "
                                        "*TST? | *WAI";
    // ';' continues from the last header's parent; ':' goes back to the root;
    // common commands leave the place alone.
    QTest::newRow("chain at the root") << QByteArray("VOLT 12;CURR 1.5;OUTP ON") << "VOLT 12 | CURR 1.5 | OUTP ON";
    QTest::newRow("chain in a subsystem") << QByteArray("MEAS:VOLT?;CURR?;POW?") << "MEAS:VOLT? | MEAS:CURR? | MEAS:POW?";
    QTest::newRow("chain under VOLT") << QByteArray("VOLT:PROT 20;LEV 12") << "VOLT:PROT 20 | VOLT 12";
    QTest::newRow("chain needs the colon") << QByteArray("VOLT:PROT 20;CURR:PROT 2") << "VOLT:PROT 20 | -113";
    QTest::newRow("colon to the root") << QByteArray("VOLT:PROT 20;:CURR:PROT 2") << "VOLT:PROT 20 | CURR:PROT 2";
    QTest::newRow("common in a chain") << QByteArray("MEAS:VOLT?;*OPC?;CURR?") << "MEAS:VOLT? | *OPC? | MEAS:CURR?";
    QTest::newRow("a trailing semicolon") << QByteArray("VOLT 12;") << "VOLT 12";
    QTest::newRow("an empty message") << QByteArray("  ") << "";
    QTest::newRow("an error ends the message") << QByteArray("VOLT 1;FOO;CURR 1") << "VOLT 1 | -113";
    // Each notation of a number, and the words.
    QTest::newRow("NR1 signed") << QByteArray("VOLT +12") << "VOLT 12";
    QTest::newRow("NR2") << QByteArray("VOLT 12.000") << "VOLT 12";
    QTest::newRow("NR2 leading point") << QByteArray("CURR .5") << "CURR 0.5";
    QTest::newRow("NR3") << QByteArray("VOLT 1.2E1") << "VOLT 12";
    QTest::newRow("NR3 blanks and sign") << QByteArray("VOLT 120 e -1") << "VOLT 12";
    QTest::newRow("suffix") << QByteArray("VOLT 12.000V") << "VOLT 12";
    QTest::newRow("suffix after a blank") << QByteArray("VOLT 12 v") << "VOLT 12";
    QTest::newRow("milli") << QByteArray("CURR 1500mA") << "CURR 1.5";
    QTest::newRow("negative") << QByteArray("VOLT -1") << "VOLT -1";
    QTest::newRow("bounds") << QByteArray("VOLT MIN;VOLT MAXimum;CURR def") << "VOLT MIN | VOLT MAX | CURR DEF";
    QTest::newRow("bound queries") << QByteArray("VOLT? MAX;CURR:PROT? MIN") << "VOLT? MAX | CURR:PROT? MIN";
    QTest::newRow("booleans") << QByteArray("OUTP 1;OUTP 0;OUTP on;OUTP 0.4") << "OUTP ON | OUTP OFF | OUTP ON | OUTP OFF";
    // Every error the parser finds.
    QTest::newRow("-101 binary") << QByteArray("VOLT \xff\x01") << "-101";
    QTest::newRow("-101 NUL") << QByteArray("VOLT 1\0", 7) << "-101";
    QTest::newRow("-102 no header") << QByteArray("12") << "-102";
    QTest::newRow("-102 double colon") << QByteArray("VOLT::LEV 12") << "-102";
    QTest::newRow("-102 empty unit") << QByteArray("VOLT 12;;CURR 1") << "VOLT 12 | -102";
    QTest::newRow("-102 empty parameter") << QByteArray("VOLT 12,") << "-102";
    QTest::newRow("-104 string") << QByteArray("VOLT 'twelve'") << "-104";
    QTest::newRow("-104 block") << QByteArray("VOLT #15hello") << "-104";
    QTest::newRow("-104 word for a register") << QByteArray("*ESE ALL") << "-104";
    QTest::newRow("-108 two values") << QByteArray("VOLT 1,2") << "-108";
    QTest::newRow("-108 value to a query") << QByteArray("MEAS:VOLT? 5") << "-108";
    QTest::newRow("-108 value to *RST") << QByteArray("*RST 1") << "-108";
    QTest::newRow("-109") << QByteArray("VOLT") << "-109";
    QTest::newRow("-109 boolean") << QByteArray("OUTP") << "-109";
    QTest::newRow("-113 unknown") << QByteArray("FOO 1") << "-113";
    QTest::newRow("-113 unknown common") << QByteArray("*FOO") << "-113";
    QTest::newRow("-113 query only") << QByteArray("MEAS:VOLT") << "-113";
    QTest::newRow("-113 no query form") << QByteArray("*RST?") << "-113";
    QTest::newRow("-113 a node alone") << QByteArray("SYST?") << "-113";
    QTest::newRow("-120") << QByteArray("VOLT 1.2.3") << "-120";
    QTest::newRow("-120 exponent without digits") << QByteArray("VOLT 1E+") << "-120";
    QTest::newRow("-131 wrong unit") << QByteArray("VOLT 12A") << "-131";
    QTest::newRow("-131 mega") << QByteArray("VOLT 12 XV") << "-131";
    QTest::newRow("-138") << QByteArray("OUTP 1V") << "-138";
    QTest::newRow("-224 word") << QByteArray("OUTP MAYBE") << "-224";
    QTest::newRow("-224 number to a query") << QByteArray("VOLT? 5") << "-224";
}

void TestScpi::parses()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, expected);
    QCOMPARE(units(message), expected);
}

void TestScpi::statusAndErrorQueue_data()
{
    QTest::addColumn<QByteArrayList>("messages");
    QTest::addColumn<QString>("answers");
    const QString full = QStringLiteral("-113,\"Undefined header;FOO\";").repeated(ScpiSession::QueueLength - 1);
    QTest::newRow("empty queue") << QByteArrayList{"SYST:ERR?;:SYST:ERR:COUN?"} << "0,\"No error\";0";
    QTest::newRow("error, ESR, cleared") << QByteArrayList{"FOO", "SYST:ERR:COUN?;*ESR?;*ESR?;:SYST:ERR?;:SYST:ERR?"}
                                         << "1;32;0;-113,\"Undefined header;FOO\";0,\"No error\"";
    // At the limit the value goes to the line, which fails here: -200, not -222.
    QTest::newRow("at the limit") << QByteArrayList{"VOLT? MAX;CURR? MAX;VOLT:PROT? MIN", "VOLT 31.00", "SYST:ERR?"}
                                  << "31.00;5.100;0.02;-200,\"Execution error;the port is lost\"";
    QTest::newRow("-222 one step beyond") << QByteArrayList{"VOLT 31.01", "SYST:ERR?;*ESR?"}
                                          << "-222,\"Data out of range;31.01 V is outside 0.00 to 31.00 V, the "
                                             "voltage range of QELT30-05\";16";
    QTest::newRow("-222 ovp below two steps") << QByteArrayList{"VOLT:PROT 0.01", "SYST:ERR:COUN?"} << "1";
    QTest::newRow("-222 *ESE") << QByteArrayList{"*ESE 256;*ESE?"} << "0";
    QTest::newRow("-350 overflow") << QByteArrayList(ScpiSession::QueueLength + 3, "FOO")
                                          + QByteArrayList{"SYST:ERR:COUN?", QByteArray(":SYST:ERR?;").repeated(ScpiSession::QueueLength).chopped(1)}
                                   << QString::number(ScpiSession::QueueLength) + QLatin1Char(';') + full
                                          + QStringLiteral("-350,\"Queue overflow\"");
    QTest::newRow("*CLS") << QByteArrayList{"FOO", "*CLS;SYST:ERR:COUN?;*ESR?"} << "0;0";
    QTest::newRow("*OPC") << QByteArrayList{"*OPC;*ESR?;*OPC?"} << "1;1";
    QTest::newRow("STB: queue, summary, request") << QByteArrayList{"*ESE 32;*SRE 32;*STB?", "FOO", "*STB?;*SRE?"}
                                                  << "0;100;32";
    QTest::newRow("*IDN?") << QByteArrayList{"*IDN?;SYST:VERS?"} << "Lab,QELT30-05,SN7,VERSION;1999.0";
}

// A client's instrument on a port that is never opened: what needs no line,
// and what is refused before the line is asked.
void TestScpi::statusAndErrorQueue()
{
    QFETCH(QByteArrayList, messages);
    QFETCH(QString, answers);
    ScpiSupply supply;
    supply.address = 1;
    supply.model = FindModel(1); // QELT30-05: 31.00 V, 5.100 A
    supply.serial = QStringLiteral("SN7");
    supply.manufacturer = QStringLiteral("Lab");
    ScpiSession session(supply);
    LineOptions line;
    line.port = QStringLiteral("/nonexistent/tty");
    std::FILE *log = std::tmpfile();
    PortKeeper port(line, log);
    QStringList said;
    for (const QByteArray &message : messages) {
        QStringList answers;
        for (const ScpiCommand &unit : ParseProgramMessage(message))
            session.execute(unit, port, answers);
        said += answers;
    }
    std::fclose(log);
    const QString version = RunPsuctlHere({"--version"}).out.section(QLatin1Char(' '), 1).trimmed();
    QCOMPARE(said.join(QLatin1Char(';')), QString(answers).replace(QLatin1String("VERSION"), version));
}

// The script's clients against psuctl scpi: a QELT30-05 at 1, a QELT60-05 at
// 5 and an address nothing answers.
void TestScpi::pyvisaAndPymeasureOnTheSimulator()
{
    SimBus bus;
    bus.addSupply(1, 1);
    bus.addSupply(5, ModelItemFromText(QStringLiteral("QELT60-05")));
    const QString device = bus.openPty();
    bus.start(SimBus::Threading::OwnThread);
    QTemporaryDir dir;
    ServeThread scpi(dir.filePath(QStringLiteral("scpi.log")));
    QVERIFY2(scpi.start({"-p", device, "-o", "0.5", "--retries", "2", "scpi", "-a", "1,5:QELT60-05,9", "-m",
                         "QELT30-05", "--listen", "127.0.0.1:0", "--max-clients", "12"}),
             qPrintable(scpi.log()));
    static const QRegularExpression serving(QStringLiteral("serving address (\\d+) .* on 127.0.0.1:(\\d+)\\n"));
    QTRY_COMPARE_WITH_TIMEOUT(scpi.log().count(QStringLiteral("serving address")), 3, 10000);
    QHash<QString, QString> ports;
    for (const QRegularExpressionMatch &match : serving.globalMatch(scpi.log()))
        ports.insert(match.captured(1), match.captured(2));

    QProcess script;
    script.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(PSUTOOL_SCPI_SCRIPT), ports.value("1"),
                                                      ports.value("5"), ports.value("9")});
    QVERIFY(script.waitForFinished(240000));
    const QByteArray out = script.readAllStandardOutput();
    QVERIFY2(script.exitCode() == 0, qPrintable(script.readAllStandardError() + out + scpi.log()));

    // Each voltage written once, none refused on the line, and the reading
    // the simulator's within the model's resolution.
    const QJsonObject seen = QJsonDocument::fromJson(out).object();
    int writes = 0;
    for (const SimFrameRecord &entry : bus.record()) {
        const QByteArray &f = entry.bytes;
        writes += entry.direction == SimFrameRecord::Received && f.size() > 4 && quint8(f.at(0)) == 1
                  && quint8(f.at(1)) == FunctionWriteMultiple && (quint8(f.at(2)) << 8 | quint8(f.at(3))) == VoltageSetpoint;
    }
    QCOMPARE(writes, seen.value("voltage_writes_1").toInt());
    const SimSupply first = bus.supply(bus.indexOfAddress(1));
    QCOMPARE(first.voltageSetpoint(), quint16(1200));
    QVERIFY2(qAbs(seen.value("measured_1").toDouble() - first.outputVolts()) <= 0.01 + 1e-9, out.constData());

    // The faults each logged once, and the server still there.
    const QString log = scpi.log();
    for (const char *line : {"-100,\"Command error;a message longer than", "-101,\"Invalid character;",
                             "-240,\"Hardware error;address 9", "bytes of an unfinished message dropped",
                             "cut off: does not read its answers", "clients already (--max-clients)"})
        QVERIFY2(log.contains(QLatin1String(line)), line);
    QCOMPARE(log.count(QStringLiteral("-222,\"Data out of range")), 1);
    QCOMPARE(scpi.stop(), int(ExitSuccess));
    QVERIFY(scpi.log().contains(QStringLiteral("scpi ends")));
    bus.stop();
}

void TestScpi::badOptionsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no supplies") << QStringList{"scpi", "-m", "1"} << "scpi serves the supplies of -a or of --map";
    QTest::newRow("both") << QStringList{"scpi", "-a", "1", "--map", "5025=1", "-m", "1"}
                          << "scpi serves the supplies of -a or of --map";
    QTest::newRow("no model") << QStringList{"scpi", "--map", "5025=1,5026=5:QELT60-05"}
                              << "scpi needs the model (-m) of address 1";
    QTest::newRow("map address 248") << QStringList{"scpi", "--map", "5025=248", "-m", "1"} << "--map '5025=248'";
    QTest::newRow("map port twice") << QStringList{"scpi", "--map", "5025=1,5025=2", "-m", "1"}
                                    << "port or address given twice";
    QTest::newRow("map model") << QStringList{"scpi", "--map", "5025=1:NOPE"} << "no such model";
    QTest::newRow("serials") << QStringList{"scpi", "-a", "1", "-m", "1", "--serial", "A,B"}
                             << "--serial: 2 serial numbers for 1 supplies";
    QTest::newRow("listen") << QStringList{"scpi", "-a", "1", "-m", "1", "--listen", "127.0.0.1:70000"}
                            << "--listen '127.0.0.1:70000'";
    QTest::newRow("max clients") << QStringList{"scpi", "-a", "1", "-m", "1", "--max-clients", "0"} << "--max-clients '0'";
}

// Refused before any port is opened, with exit status 1.
void TestScpi::badOptionsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const PsuctlRun run = RunPsuctlHere(QStringList{"-p", "/nonexistent/tty"} + arguments);
    QCOMPARE(run.exitCode, int(ExitUsage));
    QVERIFY2(run.err.contains(message) && run.err.contains(QLatin1String("see 'psuctl scpi --help'")), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
