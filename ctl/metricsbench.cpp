#include "ctl/metricsbench.h"

#include "ctl/cli.h"
#include "ctl/values.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/reading.h"
#include "link/readingformat.h"
#include "master/rtumaster.h"

#include <QDateTime>
#include <QVector>

#include <unistd.h>

namespace {

using Kind = MetricsRegistry::Kind;

std::string text(const QString &value)
{
    return value.toStdString();
}

// A client by its address, as serve logs it without the port ("10.0.0.5:40112",
// "[::1]:40112"): its connections come and go from other ports.
std::string clientOf(const QString &peer)
{
    QString host = peer.left(peer.lastIndexOf(QLatin1Char(':')));
    if (host.startsWith(QLatin1Char('[')))
        host = host.mid(1, host.size() - 2);
    return text(host);
}

} // namespace

const std::vector<double> &BenchMetrics::RoundTripBounds()
{
    static const std::vector<double> bounds = {0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5};
    return bounds;
}

BenchMetrics::BenchMetrics(const QString &bench, const QString &port) : m_bench(text(bench)), m_port(text(port))
{
    MetricsRegistry &r = m_registry;
    r.declare("psu_output_volts", Kind::Gauge, "Measured output voltage (OutputVoltage).");
    r.declare("psu_output_amperes", Kind::Gauge, "Measured output current (OutputCurrent).");
    r.declare("psu_output_watts", Kind::Gauge, "Output power: the supply's OutputPower when read, else volts x amperes.");
    r.declare("psu_setpoint_volts", Kind::Gauge, "Voltage setpoint (VoltageSetpoint).");
    r.declare("psu_setpoint_amperes", Kind::Gauge, "Current setpoint (CurrentSetpoint).");
    r.declare("psu_output_on", Kind::Gauge, "Output switch: 1 on, 0 off.");
    r.declare("psu_energy_joules_total", Kind::Counter, "Energy delivered, integrated from the readings.");
    r.declare("psu_last_reading_timestamp_seconds", Kind::Gauge, "When the last reading came, in Unix time.");
    r.declare("psu_bus_requests_total", Kind::Counter, "Requests sent on the line, every retry counted.");
    r.declare("psu_bus_replies_total", Kind::Counter, "Valid replies, exception replies included.");
    r.declare("psu_bus_timeouts_total", Kind::Counter, "Requests that no reply answered in time.");
    r.declare("psu_bus_crc_errors_total", Kind::Counter, "Replies that failed their CRC check.");
    r.declare("psu_bus_spoilt_replies_total", Kind::Counter,
              "Replies malformed or of the wrong length, CRC failures not included.");
    r.declare("psu_bus_exceptions_total", Kind::Counter, "Exception replies, by Modbus exception code.");
    r.declare("psu_bus_round_trip_seconds", Kind::Histogram, "Time from a request to its valid reply.",
              RoundTripBounds());
    r.declare("psu_bus_busy_seconds_total", Kind::Counter,
              "Time the line spent on exchanges; its rate is the line's busy share.");
    r.declare("psu_serve_client_requests_total", Kind::Counter, "Requests a client of serve sent.");
    r.declare("psu_serve_client_refusals_total", Kind::Counter,
              "Requests or connections of a client that serve refused, by reason.");
    r.touch("psu_bus_busy_seconds_total", {{"bench", m_bench}, {"port", m_port}});
}

MetricsFace::MetricsFace(const QString &bench, const QString &port)
    : metrics(bench, port), server([this] { return metrics.registry().page(); })
{
}

MetricLabels BenchMetrics::lineLabels(int address) const
{
    return {{"address", std::to_string(address)}, {"bench", m_bench}, {"port", m_port}};
}

MetricLabels BenchMetrics::supplyLabels(int address) const
{
    const auto found = m_supplies.find(address);
    return {{"address", std::to_string(address)},
            {"bench", m_bench},
            {"model", found == m_supplies.end() ? std::string() : text(found->second.model)},
            {"port", m_port}};
}

void BenchMetrics::addSupply(int address, int modelItem)
{
    Supply &supply = m_supplies[address];
    const ModelEntry *model = FindModel(modelItem);
    supply.model = model ? QString::fromLatin1(model->caption) : QString();
    supply.modelItem = model ? modelItem : 0;
    const MetricLabels labels = lineLabels(address);
    for (const char *name : {"psu_bus_requests_total", "psu_bus_replies_total", "psu_bus_timeouts_total",
                             "psu_bus_crc_errors_total", "psu_bus_spoilt_replies_total"})
        m_registry.touch(name, labels);
    m_registry.touch("psu_bus_round_trip_seconds", labels);
}

void BenchMetrics::reading(const Reading &sample)
{
    Supply &supply = m_supplies[sample.address];
    if (supply.model.isEmpty())
        supply.model = sample.model.name;
    const MetricLabels labels = supplyLabels(sample.address);
    const double volts = sample.volts;
    const double amperes = sample.amps;
    const double watts = sample.watts.value_or(volts * amperes);
    m_registry.set("psu_output_volts", labels, volts);
    m_registry.set("psu_output_amperes", labels, amperes);
    m_registry.set("psu_output_watts", labels, watts);
    m_registry.set("psu_setpoint_volts", labels, sample.voltageSetpoint);
    m_registry.set("psu_setpoint_amperes", labels, sample.currentSetpoint);
    m_registry.set("psu_output_on", labels, sample.outputOn ? 1 : 0);
    m_registry.set("psu_last_reading_timestamp_seconds", labels,
                   double(QDateTime::currentMSecsSinceEpoch()) / 1000);
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::duration<double> since = now - supply.lastTime;
    const bool follows = supply.lastWatts >= 0 && since < MaxEnergyGap;
    m_registry.add("psu_energy_joules_total", labels, follows ? (supply.lastWatts + watts) / 2 * since.count() : 0);
    supply.lastTime = now;
    supply.lastWatts = watts;
}

void BenchMetrics::exchange(const LineExchange &exchange)
{
    const MetricLabels labels = lineLabels(exchange.address);
    const double seconds = std::chrono::duration<double>(exchange.took).count();
    m_registry.add("psu_bus_requests_total", labels);
    m_registry.add("psu_bus_busy_seconds_total", {{"bench", m_bench}, {"port", m_port}}, seconds);
    switch (exchange.result) {
    case LineExchange::Reply:
    case LineExchange::Exception:
        m_registry.add("psu_bus_replies_total", labels);
        m_registry.observe("psu_bus_round_trip_seconds", labels, seconds);
        if (exchange.result == LineExchange::Exception) {
            MetricLabels withCode = labels;
            withCode.insert(withCode.begin() + 2, {"code", std::to_string(exchange.exceptionCode)});
            m_registry.add("psu_bus_exceptions_total", withCode);
        }
        break;
    case LineExchange::BadCrc:
        m_registry.add("psu_bus_crc_errors_total", labels);
        break;
    case LineExchange::Spoilt:
        m_registry.add("psu_bus_spoilt_replies_total", labels);
        break;
    default: // no reply, or a gateway's word that none came
        m_registry.add("psu_bus_timeouts_total", labels);
        break;
    }
}

void BenchMetrics::clientRequest(const QString &client, bool refused)
{
    m_registry.add("psu_serve_client_requests_total", {{"bench", m_bench}, {"client", clientOf(client)}});
    if (refused)
        clientRefusal(client, "write");
}

void BenchMetrics::clientRefusal(const QString &client, const char *reason)
{
    m_registry.add("psu_serve_client_refusals_total",
                   {{"bench", m_bench}, {"client", clientOf(client)}, {"reason", reason}});
}

void BenchMetrics::passingRead(int unit, const QByteArray &pdu, const QByteArray &answer)
{
    const auto found = m_supplies.find(unit);
    if (found == m_supplies.end() || !found->second.modelItem || quint8(pdu.at(0)) != FunctionReadHolding
        || answer.size() < 2 || answer.at(0) != pdu.at(0))
        return;
    const auto word = [&answer](int index) {
        return quint16(quint8(answer.at(2 + 2 * index)) << 8 | quint8(answer.at(3 + 2 * index)));
    };
    const int start = quint8(pdu.at(1)) << 8 | quint8(pdu.at(2));
    const int count = (answer.size() - 2) / 2;
    Supply &supply = found->second;
    // OutputPower usually comes in a read of its own, after the status block.
    if (start <= OutputPower && OutputPower < start + count)
        supply.power = word(OutputPower - start);
    if (start > VoltageSetpoint || start + count <= OutputSwitch)
        return;
    QVector<quint16> registers;
    for (int i = VoltageSetpoint - start; i <= OutputSwitch - start; ++i)
        registers.append(word(i));
    reading(DecodeReading(DecodeStatusRegisters(registers), FindModel(supply.modelItem), unit, QDateTime::currentDateTime(),
                          supply.power >= 0 ? std::optional<quint16>(quint16(supply.power)) : std::nullopt));
}

QString HostName()
{
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return QString::fromLocal8Bit(host).section(QLatin1Char('.'), 0, 0);
}

std::unique_ptr<MetricsFace> StartMetrics(const Invocation &inv, LineOptions &line, std::FILE *err)
{
    if (!inv.has("metrics"))
        return nullptr;
    QString host;
    int port = 0;
    ParseMetricsAddress(inv.text("metrics"), &host, &port);
    auto face = std::make_unique<MetricsFace>(inv.text("bench", HostName()), line.port);
    for (const SupplyRef &supply : inv.supplies)
        face->metrics.addSupply(supply.address, supply.modelItem);
    BenchMetrics *metrics = &face->metrics;
    line.observer = [metrics](const LineExchange &exchange) { metrics->exchange(exchange); };
    face->server.start(host, port);
    PrintLine(err, QStringLiteral("psuctl: metrics on http://%1/metrics").arg(face->server.where()));
    return face;
}
