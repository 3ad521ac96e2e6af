#include "panels/monitorpanel.h"

TPOWER_TEST::TPOWER_TEST(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("POWER_TEST"));
    setWindowTitle(QStringLiteral("电源测试"));
    move(843, 64);
}
