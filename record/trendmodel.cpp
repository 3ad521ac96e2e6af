#include "record/trendmodel.h"

#include "link/modelcatalogue.h"
#include "link/readingformat.h"
#include "link/statusfeed.h"

#include <QFileDevice>
#include <QIODevice>
#include <algorithm>
#include <cmath>

namespace {

void count(TrendStats &stats, double &sum, const TrendSeries &series, const TrendPoint &point, int quantity)
{
    const double value = series.value(point, quantity);
    stats.min = stats.count ? std::min(stats.min, value) : value;
    stats.max = stats.count ? std::max(stats.max, value) : value;
    sum += value;
    ++stats.count;
    if (quantity == TrendWatts && !point.powerRead)
        ++stats.computed;
    stats.mean = sum / stats.count;
}

} // namespace

double TrendSeries::volts(const TrendPoint &point) const
{
    return model.volt.units(point.status.outputVoltage);
}

double TrendSeries::amps(const TrendPoint &point) const
{
    return model.amp.units(point.status.outputCurrent);
}

double TrendSeries::voltageSetpoint(const TrendPoint &point) const
{
    return model.volt.units(point.status.voltageSetpoint);
}

double TrendSeries::currentSetpoint(const TrendPoint &point) const
{
    return model.amp.units(point.status.currentSetpoint);
}

double TrendSeries::watts(const TrendPoint &point) const
{
    return point.powerRead ? WattResolution.units(point.power) : volts(point) * amps(point);
}

double TrendSeries::value(const TrendPoint &point, int quantity) const
{
    switch (quantity) {
    case TrendVolts:
        return volts(point);
    case TrendAmperes:
        return amps(point);
    default:
        return watts(point);
    }
}

Resolution TrendSeries::resolution(int quantity) const
{
    switch (quantity) {
    case TrendVolts:
        return model.volt;
    case TrendAmperes:
        return model.amp;
    default:
        return WattResolution;
    }
}

Reading TrendSeries::reading(const TrendPoint &point) const
{
    return DecodeReading(point.status, model, address,
                         QDateTime::fromMSecsSinceEpoch(qint64(std::llround(point.key * 1000.0))),
                         point.powerRead ? std::optional<quint16>(point.power) : std::nullopt);
}

std::pair<int, int> TrendSeries::indicesIn(double lower, double upper) const
{
    const auto byKey = [](const TrendPoint &point, double key) { return point.key < key; };
    const auto first = std::lower_bound(points.cbegin(), points.cend(), lower, byKey);
    const auto last = std::upper_bound(points.cbegin(), points.cend(), upper,
                                       [](double key, const TrendPoint &point) { return key < point.key; });
    return {int(first - points.cbegin()), int(std::max(first, last) - points.cbegin())};
}

int TrendSeries::nearest(double key, double reach) const
{
    const auto [first, last] = indicesIn(key - reach, key + reach);
    int best = -1;
    double distance = reach;
    for (int n = first; n < last; ++n) {
        const TrendPoint &point = points.at(n);
        if (!point.gap && std::fabs(point.key - key) <= distance) {
            distance = std::fabs(point.key - key);
            best = n;
        }
    }
    return best;
}

TrendModel::TrendModel(QObject *parent)
    : QObject(parent)
{
}

double TrendModel::KeyOf(const QDateTime &time)
{
    return double(time.toMSecsSinceEpoch()) / 1000.0;
}

void TrendModel::listenTo(StatusFeed *feed)
{
    connect(feed, &StatusFeed::statusRead, this, &TrendModel::append);
    // Readings taken on another line (a plan run at the station) are drawn too.
    connect(feed, &StatusFeed::statusTaken, this, &TrendModel::append);
    connect(feed, &StatusFeed::statusPolled, this,
            [this, feed] { pollSent(feed->PollAddress(), KeyOf(QDateTime::currentDateTime())); });
}

void TrendModel::setAddressModel(int address, const ReadingModel &model)
{
    if (model.scaled())
        m_addressModels.insert(address, model);
    else
        m_addressModels.remove(address);
}

ReadingModel TrendModel::addressModel(int address) const
{
    return m_addressModels.value(address);
}

int TrendModel::traceFor(const Reading &sample, double key)
{
    const int last = m_lastTraceOf.value(sample.address, -1);
    // A clock set back starts a new trace rather than drawing backwards.
    if (last >= 0 && m_traces.at(last).model.name == sample.model.name && key >= m_traces.at(last).lastKey)
        return last;
    TrendSeries trace;
    trace.address = sample.address;
    trace.model = sample.model;
    trace.started = sample.time;
    trace.lastKey = key;
    m_traces.append(trace);
    m_lastTraceOf.insert(sample.address, int(m_traces.size()) - 1);
    emit traceStarted(int(m_traces.size()) - 1);
    return int(m_traces.size()) - 1;
}

void TrendModel::append(const Reading &sample)
{
    if (m_pollAddress == sample.address)
        m_pollOutstanding = false;
    // A supply with a model of its own: its registers read again under it.
    const auto own = m_addressModels.constFind(sample.address);
    std::optional<Reading> rescaled;
    if (own != m_addressModels.constEnd() && own->name != sample.model.name)
        rescaled = Rescaled(sample, *own);
    const Reading &reading = rescaled ? *rescaled : sample;
    if (!reading.model.scaled())
        return;
    const double key = KeyOf(reading.time);
    const int index = traceFor(reading, key);
    TrendSeries &trace = m_traces[index];
    TrendPoint point;
    point.key = key;
    point.status = reading.counts;
    point.powerRead = reading.watts.has_value();
    // Hundredths of a watt again: exact, the watts being counts / 100.
    point.power = quint16(std::lround(reading.watts.value_or(0) * WattResolution.countsPerUnit));
    trace.points.append(point);
    for (int quantity = 0; quantity < 3; ++quantity)
        count(trace.whole[size_t(quantity)], trace.wholeSum[size_t(quantity)], trace, point, quantity);
    trace.lastKey = key;
    m_firstKey = m_traces.size() == 1 && trace.points.size() == 1 ? key : std::min(m_firstKey, key);
    m_lastKey = std::max(m_lastKey, key);
    emit readingAdded(index, reading);
}

void TrendModel::pollSent(int address, double key)
{
    // The poll before this one got no reading: no line across the silence.
    if (m_pollOutstanding) {
        const int index = m_lastTraceOf.value(m_pollAddress, -1);
        if (index >= 0) {
            TrendSeries &trace = m_traces[index];
            if (!trace.points.isEmpty() && !trace.points.constLast().gap && key >= trace.lastKey) {
                TrendPoint gap;
                gap.key = key;
                gap.gap = true;
                trace.points.append(gap);
                emit gapAdded(index, key);
            }
        }
    }
    m_pollOutstanding = true;
    m_pollAddress = address;
}

void TrendModel::clear()
{
    m_traces.clear();
    m_lastTraceOf.clear();
    m_pollOutstanding = false;
    m_firstKey = m_lastKey = 0;
    emit cleared();
}

TrendStats TrendModel::stats(int trace, int quantity, double lower, double upper) const
{
    const TrendSeries &series = m_traces.at(trace);
    const auto [first, last] = series.indicesIn(lower, upper);
    if (first == 0 && last == series.points.size())
        return series.whole[size_t(quantity)];
    TrendStats stats;
    double sum = 0;
    for (int n = first; n < last; ++n) {
        if (!series.points.at(n).gap)
            count(stats, sum, series, series.points.at(n), quantity);
    }
    return stats;
}

std::optional<TrendDelta> TrendModel::delta(int trace, double from, double to, double reach) const
{
    const TrendSeries &series = m_traces.at(trace);
    const int a = series.nearest(from, reach);
    const int b = series.nearest(to, reach);
    if (a < 0 || b < 0)
        return std::nullopt;
    const TrendPoint &first = series.points.at(a);
    const TrendPoint &second = series.points.at(b);
    return TrendDelta{to - from, series.volts(second) - series.volts(first), series.amps(second) - series.amps(first)};
}

bool TrendModel::WriteCsv(QIODevice *device, const QList<TrendSeries> &traces, double lower, double upper,
                          QString *cause)
{
    struct Row {
        double key;
        int trace;
        int point;
    };
    std::vector<Row> rows;
    for (int t = 0; t < traces.size(); ++t) {
        const auto [first, last] = traces.at(t).indicesIn(lower, upper);
        for (int n = first; n < last; ++n) {
            if (!traces.at(t).points.at(n).gap)
                rows.push_back({traces.at(t).points.at(n).key, t, n});
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.key < b.key; });
    QByteArray text = ReadingHeader(ReadingFormat::Csv).toUtf8() + '\n';
    bool written = true;
    for (const Row &row : rows) {
        const TrendSeries &series = traces.at(row.trace);
        text += FormatReading(series.reading(series.points.at(row.point)), ReadingFormat::Csv).toUtf8() + '\n';
        // Written in pieces of about a megabyte: a day of rows never sits whole in memory.
        if (text.size() > (1 << 20)) {
            written = device->write(text) == text.size();
            text.clear();
            if (!written)
                break;
        }
    }
    if (written && !text.isEmpty())
        written = device->write(text) == text.size();
    if (!written) {
        if (cause)
            *cause = device->errorString();
        return false;
    }
    if (auto *file = qobject_cast<QFileDevice *>(device); file && !file->flush()) {
        if (cause)
            *cause = file->errorString();
        return false;
    }
    return true;
}
