#pragma once

#include "support_modal.h"

// Every process-wide variable of the tool back to the value a new process
// starts with: no model, no reception under way, the monitor panel, the
// sequence runner, the scan and the calibration window at rest, no port
// chosen yet in the serial settings.
void ResetToolState();

// What each test program holds for its whole run: the start-up state again
// before every test function, and a closer that takes every modal box, so
// that a box a failing test did not expect is closed (its text kept) instead
// of waiting for an operator who never comes.
class ToolFixture
{
public:
    ToolFixture();
    ToolFixture(const ToolFixture &) = delete;
    ToolFixture &operator=(const ToolFixture &) = delete;

    // Call from the test's init(): the tool's state reset, the closer back to
    // closing at once, its texts forgotten.
    void reset();

    ModalCloser &closer() { return m_closer; }

private:
    ModalCloser m_closer;
};
