#include "support_state.h"

#include "app/serialsettings.h"
#include "link/modelcatalogue.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "link/statusfeed.h"
#include "panels/addressscan.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"

void ResetToolState()
{
    RxBusy = false;
    ClearActiveModel();
    PowerReadRequested = false;
    TheStatusFeed()->Reset();
    CalibrationMode = false;

    MonitorRunning = false;
    LampStep = 0;
    PanelAddress = 0;
    PollActive = false;
    CommandPending = false;
    PendingFrame.clear();
    OutputOn = false;
    KeysLocked = false;
    PowerControlOn = false;

    SequenceRunning = false;
    SequenceAddress = 0;
    StepOrdinal = 0;
    CycleNumber = 0;
    CycleLimit = 0;
    StepIntervalMs = 0;
    StepSetpointBytes.clear();

    ScanAddress = 0;
    RecordingAnswer = false;

    LastPortNumber = 0;
}

ToolFixture::ToolFixture()
{
    ResetToolState();
}

void ToolFixture::reset()
{
    ResetToolState();
    m_closer.setPatienceMs(0);
    m_closer.clear();
}
