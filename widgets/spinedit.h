#pragma once

#include <QSpinBox>

// A whole-number spin box read from its text at the moment of use: text that
// is not a whole number reads as the minimum, a number outside the range is
// brought into it, and a box whose minimum and maximum are both 0 has no range.
class TSpinEdit : public QSpinBox
{
    Q_OBJECT

public:
    explicit TSpinEdit(QWidget *parent = nullptr);

    // Sets the design range; (0, 0) means unlimited.
    void SetLimits(int minimum, int maximum);
    int MinValue() const { return m_min; }
    int MaxValue() const { return m_max; }
    bool Unlimited() const { return m_min == 0 && m_max == 0; }

    // The value as the handlers read it.
    int Value() const;
    void SetValue(int value);

private:
    int m_min = 0;
    int m_max = 0;
};
