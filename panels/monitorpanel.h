#pragma once

#include <QWidget>

class TPOWER_TEST : public QWidget
{
    Q_OBJECT

public:
    explicit TPOWER_TEST(QWidget *parent = nullptr);
};
