#pragma once

#include <QWidget>

class QPushButton;

class TRSADDERS : public QWidget
{
    Q_OBJECT

public:
    explicit TRSADDERS(QWidget *parent = nullptr);

    // Hidden 1x1 button whose click records the last probed address as answering.
    QPushButton *See_Button;
};
