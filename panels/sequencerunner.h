#pragma once

#include <QWidget>

class TTYP : public QWidget
{
    Q_OBJECT

public:
    explicit TTYP(QWidget *parent = nullptr);
};
