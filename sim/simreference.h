#pragma once

#include <QDate>
#include <QHash>
#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;
class QTimer;
class SimBus;

// The reference instruments of a simulated test station, each a SCPI
// instrument on a raw TCP socket (one message per line):
//
// A bench multimeter with a scanner: channel 100 + address is the terminals
// of the supply at that address (ROUT:CLOS (@101)). It reads the supply's
// true output, which its read-back may not show, with noise and to the
// resolution of its range. Commands: *IDN? *RST *CLS *OPC? SYST:ERR?
// CONF[:VOLT][:DC] [range] CONF:CURR[:DC] [range] VOLT[:DC]:NPLC n
// CURR[:DC]:NPLC n READ? MEAS[:VOLT][:DC]? ROUT:CLOS (@ch) ROUT:CLOS?
// CAL:DUE? (its calibration due date, YYYY,MM,DD).
//
// An electronic load in constant current on one supply's terminals at a
// time: FUNC CURR, CURR amps, CURR?, INP ON|OFF|1|0, INP?, MEAS:CURR?,
// MEAS:VOLT?, ROUT:CLOS (@ch), *IDN? *RST *CLS SYST:ERR?. While its input is
// on it draws its current from the supply (a supply that cannot give it
// falls into current limit).
//
// Errors go to each instrument's queue as the standard numbers them (-113
// undefined header, -109 missing parameter, -222 data out of range, -224
// illegal parameter value, -350 queue overflow).
class SimReferenceBench : public QObject
{
    Q_OBJECT

public:
    struct MeterTraits {
        double noiseVolts = 20e-6; // standard deviation of a reading's noise
        double noiseAmps = 2e-6;
        double secondsPerPlc = 0.02; // a reading takes this long per power line cycle
    };

    explicit SimReferenceBench(SimBus &bus, QObject *parent = nullptr);
    ~SimReferenceBench() override;

    // Listens on host:port (port 0: one the system picks); raises
    // std::runtime_error when it cannot. Returns the port.
    quint16 listenMeter(const QString &host, quint16 port);
    quint16 listenLoad(const QString &host, quint16 port);

    void setMeterTraits(const MeterTraits &traits) { m_traits = traits; }
    void setCalibrationDue(const QDate &due) { m_due = due; }

private:
    // One instrument's state, whichever connection talks to it.
    struct Instrument {
        bool meter = true;
        QStringList errors;
        bool amps = false;   // the meter's function: DC amperes, else DC volts
        double range = 0;    // 0: the smallest range that holds the value
        double nplc = 1;
        int channel = -1;    // the closed channel; -1 none (the meter reads the first supply)
    };
    struct Connection {
        Instrument *instrument = nullptr;
        QByteArray input;
        QStringList commands; // waiting to be carried out, in order
        bool busy = false;    // a reading is being taken
    };

    static Instrument loadInstrument()
    {
        Instrument load;
        load.meter = false;
        return load;
    }
    quint16 listen(QTcpServer *server, const QString &host, quint16 port);
    void accept(QTcpServer *server, Instrument *instrument);
    void receive(QTcpSocket *socket);
    void carryOut(QTcpSocket *socket);
    // Carries out one command; returns the seconds the instrument is busy
    // before its answer (a reading), with the answer made at its end.
    void execute(QTcpSocket *socket, Instrument &instrument, const QString &command);
    void executeMeter(QTcpSocket *socket, Instrument &meter, const QString &header, const QString &argument);
    void executeLoad(QTcpSocket *socket, Instrument &load, const QString &header, const QString &argument);
    void answer(QTcpSocket *socket, const QString &text);
    void fail(Instrument &instrument, int code, const QString &text);
    int supplyOfChannel(int channel) const;
    double meterReading(const Instrument &meter);
    void applyLoad();
    double gaussian();

    SimBus &m_bus;
    MeterTraits m_traits;
    QDate m_due;
    QTcpServer *m_meterServer = nullptr;
    QTcpServer *m_loadServer = nullptr;
    Instrument m_meter;
    Instrument m_load = loadInstrument();
    QHash<QTcpSocket *, Connection> m_connections;
    QTimer *m_loadTimer;
    double m_loadAmps = 0;
    bool m_loadOn = false;
    int m_loadedSupply = -1; // index of the supply the load draws from now
    double m_loadedOhms = 0; // that supply's own load, given back when the input goes off
    quint32 m_noise = 0x2545F491u;
};
