#include "widgets/spinedit.h"

#include <QLineEdit>
#include <limits>

TSpinEdit::TSpinEdit(QWidget *parent)
    : QSpinBox(parent)
{
    SetLimits(0, 0);
}

void TSpinEdit::SetLimits(int minimum, int maximum)
{
    m_min = minimum;
    m_max = maximum;
    if (Unlimited())
        setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    else
        setRange(minimum, maximum);
}

int TSpinEdit::Value() const
{
    bool ok = false;
    const int typed = lineEdit()->text().trimmed().toInt(&ok);
    if (!ok)
        return m_min;
    if (Unlimited())
        return typed;
    return qBound(m_min, typed, m_max);
}

void TSpinEdit::SetValue(int value)
{
    setValue(value);
}
