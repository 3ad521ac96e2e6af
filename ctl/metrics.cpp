#include "ctl/metrics.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace {

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const char *kindName(MetricsRegistry::Kind kind)
{
    switch (kind) {
    case MetricsRegistry::Kind::Counter:
        return "counter";
    case MetricsRegistry::Kind::Histogram:
        return "histogram";
    default:
        return "gauge";
    }
}

std::string labelText(const MetricLabels &labels)
{
    std::string text;
    for (const auto &[name, value] : labels) {
        if (!text.empty())
            text += ',';
        text += name + "=\"" + EscapeLabelValue(value) + '"';
    }
    return text;
}

// name{labels,extra} value
void appendSample(std::string &page, const std::string &name, const std::string &labels, const std::string &extra,
                  double value)
{
    page += name;
    if (!labels.empty() || !extra.empty()) {
        page += '{';
        page += labels;
        if (!labels.empty() && !extra.empty())
            page += ',';
        page += extra;
        page += '}';
    }
    page += ' ';
    page += MetricValueText(value);
    page += '\n';
}

// Backslash and line feed escaped, and the double quote when asked.
std::string escaped(const std::string &text, bool quote)
{
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        if (c == '\\')
            result += "\\\\";
        else if (c == '\n')
            result += "\\n";
        else if (c == '"' && quote)
            result += "\\\"";
        else
            result += c;
    }
    return result;
}

} // namespace

std::string EscapeLabelValue(const std::string &value)
{
    return escaped(value, true);
}

std::string EscapeHelp(const std::string &text)
{
    return escaped(text, false);
}

std::string MetricValueText(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

void MetricsRegistry::declare(const std::string &name, Kind kind, const std::string &help, std::vector<double> bounds)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_index.count(name))
        throw std::logic_error("metric " + name + " declared twice");
    if ((kind == Kind::Counter) != endsWith(name, "_total"))
        throw std::logic_error("metric " + name + ": a counter's name, and only a counter's, ends in _total");
    m_index[name] = m_families.size();
    m_families.push_back(Family{name, kind, help, std::move(bounds), {}});
}

MetricsRegistry::Series &MetricsRegistry::series(const std::string &name, const MetricLabels &labels)
{
    const auto found = m_index.find(name);
    if (found == m_index.end())
        throw std::logic_error("metric " + name + " not declared");
    Family &family = m_families[found->second];
    Series &series = family.series[labelText(labels)];
    if (family.kind == Kind::Histogram && series.buckets.empty())
        series.buckets.assign(family.bounds.size(), 0);
    return series;
}

void MetricsRegistry::set(const std::string &name, const MetricLabels &labels, double value)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    series(name, labels).value = value;
}

void MetricsRegistry::add(const std::string &name, const MetricLabels &labels, double amount)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    series(name, labels).value += amount;
}

void MetricsRegistry::touch(const std::string &name, const MetricLabels &labels)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    series(name, labels);
}

void MetricsRegistry::observe(const std::string &name, const MetricLabels &labels, double value)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    Series &into = series(name, labels);
    const Family &family = m_families[m_index.at(name)];
    // The count is the +Inf bucket's; the others count what fell in each.
    into.value += 1;
    into.sum += value;
    for (std::size_t i = 0; i < family.bounds.size(); ++i) {
        if (value <= family.bounds[i]) {
            into.buckets[i] += 1;
            break;
        }
    }
}

std::string MetricsRegistry::page() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::string page;
    page.reserve(64 * 1024);
    for (const Family &family : m_families) {
        if (family.series.empty())
            continue;
        page += "# HELP " + family.name + ' ' + EscapeHelp(family.help) + '\n';
        page += "# TYPE " + family.name + ' ' + kindName(family.kind) + '\n';
        for (const auto &[labels, series] : family.series) {
            if (family.kind != Kind::Histogram) {
                appendSample(page, family.name, labels, std::string(), series.value);
                continue;
            }
            double cumulated = 0;
            for (std::size_t i = 0; i < family.bounds.size(); ++i) {
                cumulated += series.buckets[i];
                appendSample(page, family.name + "_bucket", labels,
                             "le=\"" + MetricValueText(family.bounds[i]) + '"', cumulated);
            }
            appendSample(page, family.name + "_bucket", labels, "le=\"+Inf\"", series.value);
            appendSample(page, family.name + "_sum", labels, std::string(), series.sum);
            appendSample(page, family.name + "_count", labels, std::string(), series.value);
        }
    }
    return page;
}
