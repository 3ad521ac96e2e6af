#pragma once

#include <QWidget>

class TRSADDERS : public QWidget
{
    Q_OBJECT

public:
    explicit TRSADDERS(QWidget *parent = nullptr);
};
