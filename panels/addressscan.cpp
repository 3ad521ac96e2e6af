#include "panels/addressscan.h"

#include <QPushButton>

TRSADDERS::TRSADDERS(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("RSADDERS"));
    setWindowTitle(QStringLiteral("通讯地址查询"));
    move(517, 135);
    See_Button = new QPushButton(this);
    See_Button->setObjectName(QStringLiteral("See_Button"));
    See_Button->setGeometry(0, 0, 1, 1);
}
