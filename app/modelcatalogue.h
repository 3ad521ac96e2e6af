#pragma once

#include <QString>
#include <array>

// One supply model: its menu caption (also its name), the largest raw
// setpoints the tool sends, and the raw counts per volt and per ampere.
struct ModelEntry {
    const char *caption;
    quint16 voltageLimit;
    quint16 currentLimit;
    quint16 voltageScale;
    quint16 currentScale;
};

constexpr int ModelCount = 35;
extern const std::array<ModelEntry, ModelCount> ModelCatalogue;

// The active model, written only by SelectModel and read by every window at the
// moment of use. Empty name and zeros until the operator picks a model.
extern QString ModelName;
extern quint16 VoltageLimit;
extern quint16 CurrentLimit;
extern quint16 VoltageScale;
extern quint16 CurrentScale;

// Makes catalogue entry number item (counted from 1, as in the menu) the
// active model and shows its caption on the main window.
void SelectModel(int item);

// Back to the start-up state (no model). For tests.
void ClearActiveModel();
