#pragma once

#include <QWidget>

// Set while the calibration window is open; the reply dispatcher reads it to
// show write acknowledgements as a message box. Written only by TERR.
extern bool CalibrationMode;

class TERR : public QWidget
{
    Q_OBJECT

public:
    explicit TERR(QWidget *parent = nullptr);
};
