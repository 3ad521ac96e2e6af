#include "app/modelcatalogue.h"

#include "app/forms.h"
#include "app/mainwindow.h"

#include <QLabel>

// Several limits lie a little above the nominal range of the model name, and
// the 1000 V models stop at 9999 (999.9 V), the largest four-digit value.
const std::array<ModelEntry, ModelCount> ModelCatalogue = {{
    {"QELT30-05", 3100, 5100, 100, 1000},
    {"QELT15-20", 1500, 2000, 100, 100},
    {"QELT30-10", 3100, 1050, 100, 100},
    {"QELT30-20", 3100, 2100, 100, 100},
    {"QELT36-03", 3700, 3100, 100, 1000},
    {"QELT60-02", 6100, 2100, 100, 1000},
    {"QELT60-05", 6100, 5050, 100, 1000},
    {"QELT60-10", 6100, 1000, 100, 100},
    {"QELT60-15", 6100, 1500, 100, 100},
    {"QELT100-05", 1000, 5000, 10, 1000},
    {"QELT100-06", 1000, 6000, 10, 1000},
    {"QELT100-9999", 1000, 9999, 10, 1000},
    {"QELT100-10", 1000, 1000, 10, 100},
    {"QELT120-01", 1210, 1100, 10, 1000},
    {"QELT120-03", 1210, 3050, 10, 1000},
    {"QELT120-05", 1200, 5000, 10, 1000},
    {"QELT120-06", 1200, 6000, 10, 1000},
    {"QELT120-08", 1200, 8000, 10, 1000},
    {"QELT200-01", 2010, 1050, 10, 1000},
    {"QELT200-02", 2010, 2050, 10, 1000},
    {"QELT200-03", 2000, 3000, 10, 1000},
    {"QELT200-05", 2000, 5000, 10, 1000},
    {"QELT300-01", 3000, 1000, 10, 1000},
    {"QELT300-02", 3000, 2000, 10, 1000},
    {"QELT300-03", 3000, 3000, 10, 1000},
    {"QELT400-01", 4010, 1050, 10, 1000},
    {"QELT400-02", 4000, 2000, 10, 1000},
    {"QELT500-01", 5000, 1000, 10, 1000},
    {"QELT500-02", 5000, 2000, 10, 1000},
    {"QELT600-01", 6000, 1000, 10, 1000},
    {"QELT600-015", 6000, 1500, 10, 1000},
    {"QELT1000-001", 9999, 1000, 10, 1000},
    {"QELT1000-002", 9999, 2000, 10, 1000},
    {"QELT1000-003", 9999, 3000, 10, 1000},
    {"QELT1000-1A", 9999, 9999, 10, 1000},
}};

QString ModelName;
quint16 VoltageLimit = 0;
quint16 CurrentLimit = 0;
quint16 VoltageScale = 0;
quint16 CurrentScale = 0;

void SelectModel(int item)
{
    if (item < 1 || item > ModelCount)
        return;
    const ModelEntry &entry = ModelCatalogue[item - 1];
    const QString caption = QString::fromLatin1(entry.caption);
    if (MAIN)
        MAIN->Label2->setText(caption);
    ModelName = caption;
    VoltageLimit = entry.voltageLimit;
    CurrentLimit = entry.currentLimit;
    VoltageScale = entry.voltageScale;
    CurrentScale = entry.currentScale;
}

void ClearActiveModel()
{
    ModelName.clear();
    VoltageLimit = CurrentLimit = VoltageScale = CurrentScale = 0;
    if (MAIN)
        MAIN->Label2->setText(QStringLiteral("QELTXX-XXX"));
}
