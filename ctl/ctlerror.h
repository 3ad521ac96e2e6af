#pragma once

// The error type and exit statuses live with the Modbus master that raises them.
#include "master/ctlerror.h"
