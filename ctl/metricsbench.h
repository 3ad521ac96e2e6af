#pragma once

#include "ctl/metrics.h"
#include "ctl/metricshttp.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

struct Invocation;
struct LineExchange;
struct LineOptions;
struct Reading;

// The metrics of one bench as psuctl's programs serve them (status --watch,
// mqtt, serve): the supplies' readings in base units and the line's health,
// labelled with the bench, the port and each supply's address and model.
class BenchMetrics
{
public:
    // Round trips of a request and its reply, in seconds: at 9600 baud a
    // status read takes some 40 ms, a network link a few ms more or a second.
    static const std::vector<double> &RoundTripBounds();

    BenchMetrics(const QString &bench, const QString &port);

    // A supply on the list: its line's counters show (at 0) before its first
    // request, so a rate over them has data. modelItem: the catalogue's
    // number, 0 for none.
    void addSupply(int address, int modelItem);
    // A scaled reading: the gauges, the time it came and the energy, which
    // adds the mean of this power and the last over the time between them
    // (not across a gap of more than MaxEnergyGap, when the supply was not read).
    void reading(const Reading &sample);
    // One try on the line (LineOptions::observer).
    void exchange(const LineExchange &exchange);
    // A client of serve: a request taken (refused: a write it may not make),
    // and a refusal (reason: "write", "place", "address").
    void clientRequest(const QString &client, bool refused = false);
    void clientRefusal(const QString &client, const char *reason);
    // A read that went through serve for unit and its answer: a reading when
    // it covers the status registers of a supply listed with its model.
    void passingRead(int unit, const QByteArray &pdu, const QByteArray &answer);

    MetricsRegistry &registry() { return m_registry; }

    static constexpr std::chrono::seconds MaxEnergyGap{60};

private:
    struct Supply {
        QString model;
        int modelItem = 0;
        std::chrono::steady_clock::time_point lastTime;
        double lastWatts = -1; // none yet
        int power = -1;        // the OutputPower register read last through serve (0.01 W)
    };
    MetricLabels supplyLabels(int address) const;
    MetricLabels lineLabels(int address) const;

    MetricsRegistry m_registry;
    std::string m_bench;
    std::string m_port;
    std::map<int, Supply> m_supplies;
};

// What --metrics starts: the bench's metrics and their server.
struct MetricsFace {
    BenchMetrics metrics;
    MetricsHttpServer server;
    MetricsFace(const QString &bench, const QString &port);
};

// The metrics an invocation asks for with --metrics (labelled with --bench,
// else the host name), or nullptr without it: the supplies of -a listed, line
// told to report every exchange, the server listening, and its address in one
// line on err. Raises CtlError when it cannot listen.
std::unique_ptr<MetricsFace> StartMetrics(const Invocation &inv, LineOptions &line, std::FILE *err);
// The host name, the bench's name when none is given.
QString HostName();
