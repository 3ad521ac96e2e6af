#pragma once

#include <QObject>
#include <QString>

class QLabel;
class QPushButton;
class QWidget;
class TrendCursors;
class TrendModel;
class TrendPlot;

// The trend's exports: the plots as a PNG picture as they are (without the
// readout under the mouse), and the shown traces' readings in the visible
// time range as psuctl's CSV, written on a thread of its own.
class TrendExport : public QObject
{
    Q_OBJECT

public:
    // csvButton is disabled while a file is written; readout names the file written.
    TrendExport(TrendPlot *plot, TrendCursors *cursors, TrendModel *model, QPushButton *csvButton, QLabel *readout,
                QWidget *window);

    bool ExportPng(const QString &path);
    void ExportCsv(const QString &path);
    // The buttons: each asks for a file, then exports.
    void PngClick();
    void CsvClick();

signals:
    void csvExported(const QString &path, bool ok, const QString &cause);

private:
    TrendPlot *m_plot;
    TrendCursors *m_cursors;
    TrendModel *m_model;
    QPushButton *m_csvButton;
    QLabel *m_readout;
    QWidget *m_window;
};
