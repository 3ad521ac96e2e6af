#include "panels/trendexport.h"

#include "panels/trendcursors.h"
#include "panels/trendplot.h"
#include "record/trendmodel.h"
#include "widgets/errorreport.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <memory>

namespace {

// A file name for now: stem-yyyyMMdd-HHmmss.suffix.
QString suggestedName(const char *stem, const char *suffix)
{
    return QStringLiteral("%1-%2.%3")
        .arg(QLatin1String(stem), QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")),
             QLatin1String(suffix));
}

} // namespace

TrendExport::TrendExport(TrendPlot *plot, TrendCursors *cursors, TrendModel *model, QPushButton *csvButton,
                         QLabel *readout, QWidget *window)
    : QObject(window)
    , m_plot(plot)
    , m_cursors(cursors)
    , m_model(model)
    , m_csvButton(csvButton)
    , m_readout(readout)
    , m_window(window)
{
}

bool TrendExport::ExportPng(const QString &path)
{
    // The readout under the mouse is not part of the picture.
    m_cursors->hideHover();
    QCustomPlot *plot = m_plot->plot();
    plot->replot(QCustomPlot::rpImmediateRefresh);
    return plot->savePng(path, plot->width(), plot->height());
}

void TrendExport::ExportCsv(const QString &path)
{
    const QCPRange keys = m_plot->keyRange();
    QList<TrendSeries> shown;
    for (int n = 0; n < m_plot->traces().size(); ++n) {
        if (m_plot->traceShown(n))
            shown.append(m_model->traces().at(n)); // shares the readings, copies nothing
    }
    // A day of rows takes a while to format: not on the GUI thread.
    auto result = std::make_shared<std::pair<bool, QString>>(false, QString());
    QThread *writer = QThread::create([path, shown, keys, result] {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            result->second = file.errorString();
            return;
        }
        result->first = TrendModel::WriteCsv(&file, shown, keys.lower, keys.upper, &result->second);
    });
    connect(writer, &QThread::finished, this, [this, writer, path, result] {
        writer->deleteLater();
        emit csvExported(path, result->first, result->second);
    });
    // A window closed for good first waits for the file to be written.
    writer->setParent(m_window);
    connect(m_window, &QObject::destroyed, writer, [writer] { writer->wait(); });
    writer->start();
}

void TrendExport::PngClick()
{
    const QString path = QFileDialog::getSaveFileName(m_window, QCoreApplication::translate("TTREND", "导出图片"),
                                                      suggestedName("trend", "png"),
                                                      QCoreApplication::translate("TTREND", "PNG 图片 (*.png)"));
    if (path.isEmpty())
        return;
    if (!ExportPng(path))
        ShowMessage(QCoreApplication::translate("TTREND", "无法保存图片 %1。").arg(path));
}

void TrendExport::CsvClick()
{
    const QString path = QFileDialog::getSaveFileName(m_window, QCoreApplication::translate("TTREND", "导出 CSV"),
                                                      suggestedName("trend", "csv"),
                                                      QCoreApplication::translate("TTREND", "CSV 文件 (*.csv)"));
    if (path.isEmpty())
        return;
    m_csvButton->setEnabled(false);
    auto *once = new QObject(this);
    connect(this, &TrendExport::csvExported, once, [this, once](const QString &file, bool ok, const QString &cause) {
        once->deleteLater();
        m_csvButton->setEnabled(true);
        if (ok)
            m_readout->setText(QCoreApplication::translate("TTREND", "已导出到 %1").arg(file));
        else
            ShowMessage(QCoreApplication::translate("TTREND", "无法导出到文件 %1：%2。").arg(file, cause));
    });
    ExportCsv(path);
}
