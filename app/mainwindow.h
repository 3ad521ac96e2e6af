#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class TMSComm;
class TModelMenu;

// The launcher: seven picture buttons, the model name, and the one serial
// control of the process with its receive handler.
class TMAIN : public QWidget
{
    Q_OBJECT

public:
    explicit TMAIN(QWidget *parent = nullptr);

    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QPushButton *BitBtn1;
    QPushButton *BitBtn2;
    QPushButton *BitBtn3;
    QPushButton *BitBtn4;
    QPushButton *BitBtn5;
    QPushButton *BitBtn6;
    QPushButton *BitBtn7;
    // The overview of several supplies, beside "参数设置".
    QPushButton *BitBtn9;
    // The test station ("测试计划"), in the free column right of the launcher buttons.
    QPushButton *BitBtn8;
    TMSComm *MSComm1;
    TModelMenu *PopupMenu3;

    // Where the model menu opens: 200 right and 60 down from the outer frame's corner.
    QPoint ModelMenuPosition() const;

    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void BitBtn5Click();
    void BitBtn6Click();
    void BitBtn7Click();
    void BitBtn9Click();
    void BitBtn8Click();
    void MSComm1Comm();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    QPushButton *makeButton(const QString &name, const QString &text, int top);
    QPushButton *makeButton(const QString &name, const QString &text, const QRect &geometry);
    void connectHandlers();

    bool m_shown = false;
};

// Shows a window modelessly and brings it to the front.
void ShowWindow(QWidget *window);
