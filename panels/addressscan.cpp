#include "panels/addressscan.h"

TRSADDERS::TRSADDERS(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("RSADDERS"));
    setWindowTitle(QStringLiteral("通讯地址查询"));
    move(517, 135);
}
