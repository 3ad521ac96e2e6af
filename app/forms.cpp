#include "app/forms.h"

#include "app/mainwindow.h"
#include "app/serialsettings.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "panels/addressscan.h"
#include "panels/sequencerunner.h"

TMAIN *MAIN = nullptr;
TRS232 *RS232 = nullptr;
TRSADDERS *RSADDERS = nullptr;
TPOWER_TEST *POWER_TEST = nullptr;
TTYP *TYP = nullptr;
TERR *ERR = nullptr;

void CreateForms()
{
    MAIN = new TMAIN;
    RS232 = new TRS232;
    RSADDERS = new TRSADDERS;
    POWER_TEST = new TPOWER_TEST;
    TYP = new TTYP;
    ERR = new TERR;
}

void DestroyForms()
{
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
}
