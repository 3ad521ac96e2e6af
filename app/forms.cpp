#include "app/forms.h"

#include "app/mainwindow.h"
#include "app/serialsettings.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/sharedline.h"
#include "panels/addressscan.h"
#include "panels/autocalibration.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "panels/overview.h"
#include "panels/planstation.h"
#include "panels/sequencerunner.h"
#include "widgets/errorreport.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <memory>

TMAIN *MAIN = nullptr;
TRS232 *RS232 = nullptr;
TRSADDERS *RSADDERS = nullptr;
TPOWER_TEST *POWER_TEST = nullptr;
TTYP *TYP = nullptr;
TERR *ERR = nullptr;
TOVERVIEW *OVERVIEW = nullptr;

namespace {

// Where the reply dispatcher's results are shown: the monitor panel, the
// calibration box and the address scan. Status readings reach the panel's
// readouts through the status feed.
class TFormsReplyView final : public ReplyView
{
public:
    void CorrectionAccepted() override
    {
        // Opened after the reception: polls, the trend and the recorder go on behind it.
        ShowMessageQueued(QCoreApplication::translate("TFormsReplyView", "误差修正成功！"));
    }
    void SettingAccepted() override { POWER_TEST->ShowSettingAccepted(); }
    void PowerRead(double watts) override { POWER_TEST->ShowPower(watts); }
    void AddressAnswered() override { RSADDERS->RecordAnswer(); }
};

std::unique_ptr<TFormsReplyView> g_replyView;

// Who uses the line, as the windows that keep it busy know it.
class TFormsLine final : public SharedLine
{
public:
    TMSComm *Control() const override { return MAIN ? MAIN->MSComm1 : nullptr; }

    bool Busy(LineUser user) const override
    {
        switch (user) {
        case LineUser::Monitor: return MonitorRunning;
        case LineUser::Sequence: return SequenceRunning;
        case LineUser::Scan: return RSADDERS && RSADDERS->Timer1->isActive();
        case LineUser::Station: return PLANSTATION && PLANSTATION->Running();
        case LineUser::Calibration: return ERR && ERR->AutoCal && ERR->AutoCal->Running();
        }
        return false;
    }

    StopPath HowToStop(LineUser user) const override
    {
        switch (user) {
        case LineUser::Monitor:
            return {POWER_TEST->windowTitle(), MAIN->BitBtn4->accessibleName(), POWER_TEST->Button11->text()};
        case LineUser::Sequence:
            return {TYP->windowTitle(), MAIN->BitBtn6->accessibleName(), TYP->Button1->text()};
        case LineUser::Scan:
            return {RSADDERS->windowTitle(), MAIN->BitBtn2->accessibleName(), RSADDERS->BitBtn2->text()};
        case LineUser::Station:
            return {PLANSTATION ? PLANSTATION->windowTitle() : QString(), MAIN->BitBtn8->accessibleName(),
                    PLANSTATION ? PLANSTATION->Button3->text() : QString()};
        case LineUser::Calibration:
            return {ERR->AutoCal ? ERR->AutoCal->windowTitle() : QString(), MAIN->BitBtn5->accessibleName(),
                    ERR->AutoCal ? ERR->AutoCal->Button4->text() : QString()};
        }
        return {};
    }
};

std::unique_ptr<TFormsLine> g_line;

void showModelName(const QString &caption)
{
    MAIN->Label2->setText(caption.isEmpty() ? QStringLiteral("QELTXX-XXX") : caption);
}

} // namespace

SharedLine *ToolLine()
{
    return g_line.get();
}

void CreateForms()
{
    MAIN = new TMAIN;
    RS232 = new TRS232;
    RSADDERS = new TRSADDERS;
    POWER_TEST = new TPOWER_TEST;
    TYP = new TTYP;
    ERR = new TERR;
    g_line = std::make_unique<TFormsLine>();
    ERR->SetLine(g_line.get());
    g_replyView = std::make_unique<TFormsReplyView>();
    SetReplyView(g_replyView.get());
    SetModelObserver(showModelName);
    // A network link that went down: the monitor's readouts say so and its
    // polls wait until the link is back.
    QObject::connect(MAIN->MSComm1, &TMSComm::LinkInterrupted, POWER_TEST, &TPOWER_TEST::ShowLinkInterrupted);
    QObject::connect(MAIN->MSComm1, &TMSComm::LinkRestored, POWER_TEST, &TPOWER_TEST::ShowLinkRestored);
}

void DestroyForms()
{
    SetModelObserver(nullptr);
    SetReplyView(nullptr);
    g_replyView.reset();
    // The station first: a run still going ends in its finally block on the line.
    delete PLANSTATION;
    PLANSTATION = nullptr;
    // The overview gives the polls back to the panel as it goes.
    delete OVERVIEW;
    OVERVIEW = nullptr;
    delete ERR;
    ERR = nullptr;
    delete TYP;
    TYP = nullptr;
    delete POWER_TEST;
    POWER_TEST = nullptr;
    delete RSADDERS;
    RSADDERS = nullptr;
    delete RS232;
    RS232 = nullptr;
    delete MAIN;
    MAIN = nullptr;
    g_line.reset();
}
