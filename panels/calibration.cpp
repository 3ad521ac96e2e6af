#include "panels/calibration.h"

bool CalibrationMode = false;

TERR::TERR(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("ERR"));
    setWindowTitle(QStringLiteral(")"));
    move(715, 165);
}
