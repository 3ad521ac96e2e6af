#pragma once

#include "link/reading.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QVector>
#include <array>
#include <optional>

class QIODevice;
class StatusFeed;

// One reading as the trend keeps it: its time as a key (seconds since the
// epoch), the status registers and the power when it was read; or a gap, a
// poll that got no reply, across which no line is drawn.
struct TrendPoint {
    double key = 0;
    StatusBlock status = {};
    quint16 power = 0;
    bool powerRead = false;
    bool gap = false;
};

struct TrendStats {
    int count = 0;
    double min = 0;
    double max = 0;
    double mean = 0;
    // Of the powers: how many are voltage x current, not read.
    int computed = 0;
};

enum TrendQuantity { TrendVolts = 0, TrendAmperes = 1, TrendWatts = 2 };

// One run of readings from one address under one model, times only going
// forward.
struct TrendSeries {
    int address = 0;
    ReadingModel model;
    QDateTime started;
    QVector<TrendPoint> points;
    double lastKey = 0;
    // Figures of every reading of the trace, kept as they come: a trace
    // wholly in view is not counted again at each reading.
    std::array<TrendStats, 3> whole{};
    std::array<double, 3> wholeSum{};

    double volts(const TrendPoint &point) const;
    double amps(const TrendPoint &point) const;
    double voltageSetpoint(const TrendPoint &point) const;
    double currentSetpoint(const TrendPoint &point) const;
    // The power read with the reading, or else voltage x current.
    double watts(const TrendPoint &point) const;
    // Value of one quantity, in volts, amperes or watts.
    double value(const TrendPoint &point, int quantity) const;
    // One quantity's resolution under the model.
    Resolution resolution(int quantity) const;
    // The point as a reading again (the time to the millisecond).
    Reading reading(const TrendPoint &point) const;
    // Indices [first, last) of the points with lower <= key <= upper.
    std::pair<int, int> indicesIn(double lower, double upper) const;
    // Index of the reading (not a gap) nearest to key, within reach; -1 if none.
    int nearest(double key, double reach) const;
};

// Differences between two times of one trace: the readings nearest to each.
struct TrendDelta {
    double seconds = 0;
    double volts = 0;
    double amps = 0;
};

// The trend's readings, apart from any window that draws them: a trace per
// address and model, taken from the status feed or handed in, with the
// questions asked of them (values near a time, figures over a span, the rows
// of a span in psuctl's CSV). A reading takes the model set for its address
// if one is; otherwise the model it was taken under (the active one).
class TrendModel : public QObject
{
    Q_OBJECT

public:
    explicit TrendModel(QObject *parent = nullptr);

    // Takes every reading and poll of feed from now on.
    void listenTo(StatusFeed *feed);

    // One reading, from the feed or any other source (a plan run). A reading
    // without a model's scales adds nothing.
    void append(const Reading &sample);
    // A status poll went to address: if the one before got no reading, its
    // trace gets a gap at key.
    void pollSent(int address, double key);
    void clear();

    // The model of the supply at address, for the readings that come from
    // it from now on (an unscaled model forgets the address's own model).
    void setAddressModel(int address, const ReadingModel &model);
    // The model set for address; unscaled when none is.
    ReadingModel addressModel(int address) const;

    const QList<TrendSeries> &traces() const { return m_traces; }
    double firstKey() const { return m_firstKey; }
    double lastKey() const { return m_lastKey; }

    TrendStats stats(int trace, int quantity, double lower, double upper) const;
    std::optional<TrendDelta> delta(int trace, double from, double to, double reach) const;

    // Writes psuctl's CSV header and one row per reading of the given traces
    // with lower <= time <= upper, in time order. False with the cause on a
    // write error.
    static bool WriteCsv(QIODevice *device, const QList<TrendSeries> &traces, double lower, double upper,
                         QString *cause);

    // Reading time as a key.
    static double KeyOf(const QDateTime &time);

signals:
    void traceStarted(int trace);
    // A reading was added to trace; sample carries the model it was taken as.
    void readingAdded(int trace, const Reading &sample);
    void gapAdded(int trace, double key);
    void cleared();

private:
    int traceFor(const Reading &sample, double key);

    QList<TrendSeries> m_traces;
    QHash<int, ReadingModel> m_addressModels;
    // The newest trace of each address.
    QHash<int, int> m_lastTraceOf;
    bool m_pollOutstanding = false;
    int m_pollAddress = 0;
    double m_firstKey = 0;
    double m_lastKey = 0;
};
