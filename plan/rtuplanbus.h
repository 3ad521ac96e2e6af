#pragma once

// The bus a plan run drives, over the Modbus master on one serial line: the
// station window's and any other front end's that has a device and its
// settings in hand.

#include "link/linesettings.h"
#include "plan/planresults.h"

#include <QString>
#include <memory>

// Opens device (a path, or COMn as the tool maps it) with line's settings,
// and the master's default reply wait and one retry. Raises SystemError
// naming the device and the cause when it cannot be opened.
std::unique_ptr<PlanBus> MakeRtuPlanBus(const QString &device, const LineSettings &line);
