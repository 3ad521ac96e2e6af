#pragma once

#include <QDialog>

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

// Port number the dialog last wrote to the serial control (0: none yet in this
// run). Written by TRS232::BitBtn1Click, read by its preselection.
extern int LastPortNumber;

// The serial settings dialog: chooses, configures and opens the port.
class TRS232 : public QDialog
{
    Q_OBJECT

public:
    explicit TRS232(QWidget *parent = nullptr);

    QGroupBox *GroupBox1;
    QComboBox *ComboBox1;
    QComboBox *ComboBox2;
    QComboBox *ComboBox3;
    QComboBox *ComboBox4;
    QComboBox *ComboBox5;
    QLabel *DeviceLabel;
    QPushButton *BitBtn1;
    QPushButton *BitBtn2;

    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();

    // The settings text the current selection gives, e.g. "9600,n,8,1".
    QString SettingsText() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void connectHandlers();
    void ShowDevice();
};
