#include "panels/sequencerunner.h"

TTYP::TTYP(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TYP"));
    setWindowTitle(QStringLiteral("典型应用"));
    move(1134, 110);
}
