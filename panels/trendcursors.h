#pragma once

#include <QObject>
#include <QString>
#include <array>

#include <qcustomplot.h>

class QLabel;
class QMouseEvent;
class QPushButton;
class TrendModel;
class TrendPlot;

// What the trend reads out of its readings: the values under the mouse (a
// dashed line and the status line), two cursors the operator drags with the
// differences between them, and the minimum, maximum and mean of the shown
// traces in the visible time range, the last two beside the plots. The
// figures are counted again only when the readings, the view or what is
// shown changed, once per repaint at most.
class TrendCursors : public QObject
{
    Q_OBJECT

public:
    // button switches the cursors; readout is the status line under the plots.
    TrendCursors(TrendPlot *plot, TrendModel *model, QPushButton *button, QLabel *readout, QObject *parent);

    void SetCursors(double a, double b);
    void HideCursors();
    // The cursors at the thirds of the view, or hidden, as the button says.
    void ButtonClick();
    QString CursorText() const;
    QString StatsText() const;
    QString ReadoutAt(double key) const;

    // The dashed line and the values under the mouse gone.
    void hideHover();
    // The mouse left the plot.
    void mouseLeft();
    void mouseMoved(QMouseEvent *event);
    void mousePressed(QMouseEvent *event);
    void mouseReleased();

private:
    void updateTexts();
    double reach() const;
    QString timeText(double key) const;

    TrendPlot *m_plot;
    TrendModel *m_model;
    QPushButton *m_button;
    QLabel *m_readout;
    std::array<QCPItemStraightLine *, 3> m_hover{};
    std::array<std::array<QCPItemStraightLine *, 3>, 2> m_cursorLines{};
    std::array<double, 2> m_cursorKeys{};
    bool m_cursorsShown = false;
    int m_draggedCursor = -1;
    QCPTextElement *m_statsText = nullptr;
    QCPTextElement *m_cursorText = nullptr;
    bool m_textsDirty = true;
    QCPRange m_textsRange;
};
