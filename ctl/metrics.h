#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Metrics for a Prometheus server: gauges, counters and histograms, each a
// family of series told apart by their labels, and the page that shows them
// in the text exposition format (version 0.0.4).

// The labels of one series, in the order the page shows them.
using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// A label value as it goes between the double quotes: backslash, double
// quote and line feed escaped as \\, \" and \n.
std::string EscapeLabelValue(const std::string &value);
// A HELP text: backslash and line feed escaped.
std::string EscapeHelp(const std::string &text);
// A sample value: the shortest decimal that reads back as the same double,
// and +Inf, -Inf and NaN as the format spells them.
std::string MetricValueText(double value);

// The families a program declares and the values of their series. Every
// call takes the registry's lock, so a bus thread may update while another
// thread renders the page.
class MetricsRegistry
{
public:
    enum class Kind { Gauge, Counter, Histogram };

    // Declares a family; the page lists families in the order declared and
    // the series of each in the order of their labels' text, so that two
    // pages of the same values are the same bytes. A counter's name ends in
    // _total; a histogram's bounds are its buckets' upper bounds, ascending
    // (the +Inf bucket comes on top).
    void declare(const std::string &name, Kind kind, const std::string &help, std::vector<double> bounds = {});

    void set(const std::string &name, const MetricLabels &labels, double value);
    // Adds to a counter or a gauge; a series added to first starts at 0.
    void add(const std::string &name, const MetricLabels &labels, double amount = 1);
    void observe(const std::string &name, const MetricLabels &labels, double value);
    // Makes the series exist with its value 0 (a counter that has counted
    // nothing yet still shows, so a rate over it has data).
    void touch(const std::string &name, const MetricLabels &labels);

    std::string page() const;

private:
    struct Series {
        double value = 0;
        std::vector<double> buckets; // counts per bound, not cumulated
        double sum = 0;
    };
    struct Family {
        std::string name;
        Kind kind;
        std::string help;
        std::vector<double> bounds;
        std::map<std::string, Series> series; // by their labels' text
    };

    Series &series(const std::string &name, const MetricLabels &labels);

    mutable std::mutex m_mutex;
    std::vector<Family> m_families;
    std::map<std::string, std::size_t> m_index;
};
