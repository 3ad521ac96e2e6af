#pragma once

#include "ctl/values.h"
#include "link/setwrites.h"

#include <QHash>
#include <QString>
#include <QVariant>
#include <QStringList>
#include <QVector>
#include <optional>

class RtuMaster;
struct ModelEntry;

// One status reading of the supply at address: VoltageSetpoint..OutputSwitch
// and OutputPower, two requests.
Reading ReadStatusReading(RtuMaster &master, int address, const ModelEntry &model);

// The values named in options as the option table converts them ("voltage"
// -> 12.5, "output" -> true, ...); other names are passed over.
SetValues SetValuesFrom(const QHash<QString, QVariant> &options);

// Writes one value and, where it can be, reads it back; raises CtlError
// (ExitReadBack) when the supply holds something else.
void WriteAndCheck(RtuMaster &master, int address, const SetWrite &write);
