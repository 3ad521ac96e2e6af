#include "sim/simreference.h"

#include "sim/simbus.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cmath>
#include <stdexcept>

namespace {

// A line longer than this is no SCPI message of ours: the connection is cut.
constexpr int MaxLine = 4096;
// The error queue holds this many; one more replaces the last with -350.
constexpr int QueueLength = 10;

// Long forms of the mnemonics the instruments know, to their short forms.
const QHash<QString, QString> &shortForms()
{
    static const QHash<QString, QString> forms = {
        {QStringLiteral("CONFIGURE"), QStringLiteral("CONF")}, {QStringLiteral("VOLTAGE"), QStringLiteral("VOLT")},
        {QStringLiteral("CURRENT"), QStringLiteral("CURR")},   {QStringLiteral("MEASURE"), QStringLiteral("MEAS")},
        {QStringLiteral("ROUTE"), QStringLiteral("ROUT")},     {QStringLiteral("CLOSE"), QStringLiteral("CLOS")},
        {QStringLiteral("SYSTEM"), QStringLiteral("SYST")},    {QStringLiteral("ERROR"), QStringLiteral("ERR")},
        {QStringLiteral("INPUT"), QStringLiteral("INP")},      {QStringLiteral("FUNCTION"), QStringLiteral("FUNC")},
        {QStringLiteral("CALIBRATION"), QStringLiteral("CAL")}, {QStringLiteral("SCALAR"), QStringLiteral("SCAL")},
        {QStringLiteral("STATE"), QStringLiteral("STAT")},      {QStringLiteral("LEVEL"), QStringLiteral("LEV")},
        {QStringLiteral("IMMEDIATE"), QStringLiteral("IMM")},   {QStringLiteral("AMPLITUDE"), QStringLiteral("AMPL")},
    };
    return forms;
}

// "CONFigure:VOLTage:DC?" → "CONF:VOLT?": short forms, optional nodes left out.
QString canonicalHeader(QString header)
{
    header = header.toUpper();
    if (header.startsWith(QLatin1Char(':')))
        header.remove(0, 1);
    const bool query = header.endsWith(QLatin1Char('?'));
    if (query)
        header.chop(1);
    QStringList nodes = header.split(QLatin1Char(':'));
    QStringList kept;
    for (int i = 0; i < nodes.size(); ++i) {
        const QString node = shortForms().value(nodes[i], nodes[i]);
        static const QStringList optional = {QStringLiteral("DC"),  QStringLiteral("SCAL"), QStringLiteral("LEV"),
                                             QStringLiteral("IMM"), QStringLiteral("AMPL"), QStringLiteral("STAT"),
                                             QStringLiteral("NEXT")};
        if (i > 0 && optional.contains(node))
            continue;
        kept.append(node);
    }
    return kept.join(QLatin1Char(':')) + (query ? QStringLiteral("?") : QString());
}

// The smallest of a meter's ranges that holds value.
double autoRange(double value, bool amps)
{
    static const double volts[] = {0.1, 1, 10, 100, 1000};
    static const double currents[] = {0.01, 0.1, 1, 3, 10};
    const double *ranges = amps ? currents : volts;
    for (int i = 0; i < 5; ++i) {
        if (std::abs(value) <= ranges[i])
            return ranges[i];
    }
    return ranges[4];
}

} // namespace

SimReferenceBench::SimReferenceBench(SimBus &bus, QObject *parent)
    : QObject(parent), m_bus(bus), m_loadTimer(new QTimer(this))
{
    // A constant-current load follows the supply's setpoint: its equivalent
    // resistance is made again as the setpoint changes.
    m_loadTimer->setInterval(50);
    connect(m_loadTimer, &QTimer::timeout, this, &SimReferenceBench::applyLoad);
}

SimReferenceBench::~SimReferenceBench()
{
    m_loadOn = false;
    applyLoad();
}

quint16 SimReferenceBench::listenMeter(const QString &host, quint16 port)
{
    m_meterServer = new QTcpServer(this);
    const quint16 bound = listen(m_meterServer, host, port);
    connect(m_meterServer, &QTcpServer::newConnection, this, [this] { accept(m_meterServer, &m_meter); });
    return bound;
}

quint16 SimReferenceBench::listenLoad(const QString &host, quint16 port)
{
    m_loadServer = new QTcpServer(this);
    const quint16 bound = listen(m_loadServer, host, port);
    connect(m_loadServer, &QTcpServer::newConnection, this, [this] { accept(m_loadServer, &m_load); });
    return bound;
}

quint16 SimReferenceBench::listen(QTcpServer *server, const QString &host, quint16 port)
{
    if (!server->listen(QHostAddress(host), port))
        throw std::runtime_error(QStringLiteral("cannot listen on %1:%2: %3")
                                     .arg(host)
                                     .arg(port)
                                     .arg(server->errorString())
                                     .toStdString());
    return server->serverPort();
}

void SimReferenceBench::accept(QTcpServer *server, Instrument *instrument)
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        m_connections.insert(socket, Connection{instrument, {}, {}, false});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { receive(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void SimReferenceBench::receive(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->input.append(socket->readAll());
    int end;
    while ((end = it->input.indexOf('\n')) >= 0) {
        const QString line = QString::fromLatin1(it->input.left(end)).trimmed();
        it->input.remove(0, end + 1);
        for (const QString &command : line.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            it->commands.append(command.trimmed());
    }
    if (it->input.size() > MaxLine) {
        socket->abort();
        return;
    }
    carryOut(socket);
}

void SimReferenceBench::carryOut(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    while (it != m_connections.end() && !it->busy && !it->commands.isEmpty()) {
        const QString command = it->commands.takeFirst();
        execute(socket, *it->instrument, command);
        it = m_connections.find(socket);
    }
}

void SimReferenceBench::answer(QTcpSocket *socket, const QString &text)
{
    socket->write(text.toLatin1() + '\n');
}

void SimReferenceBench::fail(Instrument &instrument, int code, const QString &text)
{
    if (instrument.errors.size() >= QueueLength) {
        instrument.errors.last() = QStringLiteral("-350,\"Queue overflow\"");
        return;
    }
    instrument.errors.append(QStringLiteral("%1,\"%2\"").arg(code).arg(text));
}

void SimReferenceBench::execute(QTcpSocket *socket, Instrument &instrument, const QString &command)
{
    const int blank = command.indexOf(QRegularExpression(QStringLiteral("\\s")));
    const QString header = canonicalHeader(blank < 0 ? command : command.left(blank));
    const QString argument = blank < 0 ? QString() : command.mid(blank + 1).trimmed();

    if (header == QLatin1String("*IDN?")) {
        answer(socket, instrument.meter ? QStringLiteral("psusim,Reference DMM,SIM-DMM-1,1.0")
                                        : QStringLiteral("psusim,Reference load,SIM-LOAD-1,1.0"));
    } else if (header == QLatin1String("*RST")) {
        instrument.amps = false;
        instrument.range = 0;
        instrument.nplc = 1;
        instrument.channel = -1;
        if (!instrument.meter) {
            m_loadOn = false;
            m_loadAmps = 0;
            applyLoad();
        }
    } else if (header == QLatin1String("*CLS")) {
        instrument.errors.clear();
    } else if (header == QLatin1String("*OPC?")) {
        answer(socket, QStringLiteral("1"));
    } else if (header == QLatin1String("SYST:ERR?")) {
        answer(socket, instrument.errors.isEmpty() ? QStringLiteral("0,\"No error\"") : instrument.errors.takeFirst());
    } else if (header == QLatin1String("ROUT:CLOS") || header == QLatin1String("ROUT:CLOS?")) {
        if (header.endsWith(QLatin1Char('?'))) {
            answer(socket, QString::number(instrument.channel));
            return;
        }
        static const QRegularExpression list(QStringLiteral("^\\(@(\\d+)\\)$"));
        const QRegularExpressionMatch match = list.match(argument);
        if (!match.hasMatch())
            return fail(instrument, argument.isEmpty() ? -109 : -224,
                        argument.isEmpty() ? QStringLiteral("Missing parameter") : QStringLiteral("Illegal parameter value"));
        const int channel = match.captured(1).toInt();
        if (supplyOfChannel(channel) < 0)
            return fail(instrument, -222, QStringLiteral("Data out of range"));
        instrument.channel = channel;
        if (!instrument.meter)
            applyLoad();
    } else if (instrument.meter) {
        executeMeter(socket, instrument, header, argument);
    } else {
        executeLoad(socket, instrument, header, argument);
    }
}

void SimReferenceBench::executeMeter(QTcpSocket *socket, Instrument &meter, const QString &header,
                                     const QString &argument)
{
    bool ok = false;
    if (header == QLatin1String("CONF") || header == QLatin1String("CONF:VOLT") || header == QLatin1String("CONF:CURR")) {
        meter.amps = header == QLatin1String("CONF:CURR");
        const QString range = argument.section(QLatin1Char(','), 0, 0).trimmed();
        if (range.isEmpty() || range.compare(QLatin1String("AUTO"), Qt::CaseInsensitive) == 0) {
            meter.range = 0;
            return;
        }
        const double value = range.toDouble(&ok);
        if (!ok || value <= 0 || value > (meter.amps ? 10 : 1000))
            return fail(meter, -222, QStringLiteral("Data out of range"));
        meter.range = autoRange(value, meter.amps);
    } else if (header == QLatin1String("VOLT:NPLC") || header == QLatin1String("CURR:NPLC")) {
        const double value = argument.toDouble(&ok);
        if (argument.isEmpty())
            return fail(meter, -109, QStringLiteral("Missing parameter"));
        if (!ok || value < 0.02 || value > 100)
            return fail(meter, -222, QStringLiteral("Data out of range"));
        meter.nplc = value;
    } else if (header == QLatin1String("READ?") || header == QLatin1String("MEAS:VOLT?")
               || header == QLatin1String("MEAS:CURR?") || header == QLatin1String("MEAS?")) {
        if (header == QLatin1String("MEAS:VOLT?") || header == QLatin1String("MEAS:CURR?")) {
            meter.amps = header == QLatin1String("MEAS:CURR?");
            meter.range = 0;
        }
        // The reading is taken over the integration time; commands after it wait.
        m_connections[socket].busy = true;
        QTimer::singleShot(int(std::lround(meter.nplc * m_traits.secondsPerPlc * 1000)), this, [this, socket, &meter] {
            if (!m_connections.contains(socket))
                return;
            const double value = meterReading(meter);
            answer(socket, std::isinf(value) ? QStringLiteral("9.9E37") : QString::number(value, 'E', 7));
            m_connections[socket].busy = false;
            carryOut(socket);
        });
    } else if (header == QLatin1String("CAL:DUE?")) {
        answer(socket, m_due.isValid() ? m_due.toString(QStringLiteral("yyyy,MM,dd")) : QStringLiteral("0,0,0"));
    } else {
        fail(meter, -113, QStringLiteral("Undefined header"));
    }
}

void SimReferenceBench::executeLoad(QTcpSocket *socket, Instrument &load, const QString &header, const QString &argument)
{
    bool ok = false;
    if (header == QLatin1String("FUNC")) {
        if (argument.compare(QLatin1String("CURR"), Qt::CaseInsensitive) != 0
            && argument.compare(QLatin1String("CURRENT"), Qt::CaseInsensitive) != 0)
            fail(load, -224, QStringLiteral("Illegal parameter value"));
    } else if (header == QLatin1String("CURR")) {
        const double amps = argument.toDouble(&ok);
        if (argument.isEmpty())
            return fail(load, -109, QStringLiteral("Missing parameter"));
        if (!ok || amps < 0 || amps > 30)
            return fail(load, -222, QStringLiteral("Data out of range"));
        m_loadAmps = amps;
        applyLoad();
    } else if (header == QLatin1String("CURR?")) {
        answer(socket, QString::number(m_loadAmps, 'f', 4));
    } else if (header == QLatin1String("INP")) {
        const QString word = argument.toUpper();
        if (word == QLatin1String("ON") || word == QLatin1String("1"))
            m_loadOn = true;
        else if (word == QLatin1String("OFF") || word == QLatin1String("0"))
            m_loadOn = false;
        else
            return fail(load, argument.isEmpty() ? -109 : -224,
                        argument.isEmpty() ? QStringLiteral("Missing parameter") : QStringLiteral("Illegal parameter value"));
        applyLoad();
    } else if (header == QLatin1String("INP?")) {
        answer(socket, m_loadOn ? QStringLiteral("1") : QStringLiteral("0"));
    } else if (header == QLatin1String("MEAS:CURR?") || header == QLatin1String("MEAS:VOLT?")) {
        const int index = supplyOfChannel(load.channel);
        const SimSupply supply = index >= 0 ? m_bus.supply(index) : SimSupply(1, 1);
        const bool amps = header == QLatin1String("MEAS:CURR?");
        double value = index < 0 ? 0 : amps ? (m_loadOn ? supply.outputAmps() : 0) : supply.outputVolts();
        answer(socket, QString::number(value, 'f', amps ? 4 : 4));
    } else {
        fail(load, -113, QStringLiteral("Undefined header"));
    }
}

int SimReferenceBench::supplyOfChannel(int channel) const
{
    if (channel < 0)
        return m_bus.supplyCount() > 0 ? 0 : -1;
    if (channel <= 100 || channel > 100 + 247)
        return -1;
    return m_bus.indexOfAddress(channel - 100);
}

double SimReferenceBench::meterReading(const Instrument &meter)
{
    const int index = supplyOfChannel(meter.channel);
    if (index < 0)
        return 0;
    const SimSupply supply = m_bus.supply(index);
    double value = meter.amps ? supply.outputAmps() : supply.outputVolts();
    value += gaussian() * (meter.amps ? m_traits.noiseAmps : m_traits.noiseVolts);
    const double range = meter.range > 0 ? meter.range : autoRange(value, meter.amps);
    if (std::abs(value) > range * 1.2)
        return std::numeric_limits<double>::infinity();
    // Six and a half digits: a millionth of the range.
    const double resolution = range * 1e-6;
    return std::round(value / resolution) * resolution;
}

void SimReferenceBench::applyLoad()
{
    const int target = m_loadOn && m_loadAmps > 0 ? supplyOfChannel(m_load.channel) : -1;
    if (m_loadedSupply >= 0 && m_loadedSupply != target) {
        const double ohms = m_loadedOhms;
        m_bus.updateSupply(m_loadedSupply, [ohms](SimSupply &supply) { supply.setLoadOhms(ohms); });
        m_loadedSupply = -1;
    }
    if (target < 0) {
        m_loadTimer->stop();
        return;
    }
    if (m_loadedSupply != target) {
        m_loadedOhms = m_bus.supply(target).loadOhms();
        m_loadedSupply = target;
    }
    const double amps = m_loadAmps;
    m_bus.updateSupply(target, [amps](SimSupply &supply) {
        const double volts = supply.voltageSetpoint() / double(supply.model().voltageScale);
        supply.setLoadOhms(volts > 0 ? volts / amps : SimSupply::OpenCircuit);
    });
    m_loadTimer->start();
}

// A standard normal draw (Box-Muller over a xorshift generator): the same
// sequence every run, so that tests see the same noise.
double SimReferenceBench::gaussian()
{
    const auto uniform = [this] {
        m_noise ^= m_noise << 13;
        m_noise ^= m_noise >> 17;
        m_noise ^= m_noise << 5;
        return (m_noise + 1.0) / 4294967297.0;
    };
    const double u1 = uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
}
