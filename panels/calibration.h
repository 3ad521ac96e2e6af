#pragma once

#include <QWidget>

class TERR : public QWidget
{
    Q_OBJECT

public:
    explicit TERR(QWidget *parent = nullptr);
};
