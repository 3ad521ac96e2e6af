#pragma once

#include <optional>

// How a measured value stands against its band.
enum class AlarmLevel {
    Normal,  // inside the band, clear of its edges (or no band set)
    Near,    // inside, but within the margin of an edge (amber)
    Outside, // below the minimum or above the maximum (red)
};

// The worse of two levels.
AlarmLevel Worse(AlarmLevel a, AlarmLevel b);

// An operator's alarm band for one measured quantity of one supply: a minimum,
// a maximum, either or both. A value on an edge is inside. "Near" is within
// 5 % of the band's width of an edge (for a band with one edge, 5 % of that
// edge's size), but never less than one count of the reading's resolution,
// so a band whose minimum equals its maximum reads amber exactly at that
// value and red beside it.
class AlarmBand
{
public:
    static constexpr double NearShare = 0.05;

    AlarmBand() = default;
    // Raises SystemError when both are given and minimum is above maximum;
    // the band is then unchanged.
    void Set(std::optional<double> minimum, std::optional<double> maximum);
    void Clear() { m_min.reset(); m_max.reset(); }

    std::optional<double> Minimum() const { return m_min; }
    std::optional<double> Maximum() const { return m_max; }
    bool IsSet() const { return m_min || m_max; }

    // resolution: the value of one count of the reading (0.01 V, 0.001 A ...).
    AlarmLevel Level(double value, double resolution) const;

private:
    std::optional<double> m_min;
    std::optional<double> m_max;
};
