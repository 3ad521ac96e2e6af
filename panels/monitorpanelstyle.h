#pragma once

// The colours and font the monitor panel's readouts, lamps and controls share
// between the files that build it and run it.

#include "widgets/uistyle.h"

#include <QColor>
#include <QFont>
#include <QString>

namespace MonitorStyle {

inline const QColor Lime(0x00, 0xFF, 0x00);
inline const QColor Red(0xFF, 0x00, 0x00);
// A blue light enough to stay legible on the black backdrop.
inline const QColor ReadoutBlue(0x2E, 0x6B, 0xFF);
// Readouts whose last poll got no reply keep their text, greyed.
inline const QColor NoReplyGrey(0x70, 0x70, 0x70);

inline QFont PanelFont()
{
    return DesignFont(QStringLiteral("宋体"), 13);
}

} // namespace MonitorStyle
