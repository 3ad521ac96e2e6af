// psutool-soak: a long unattended run of the tool against the demo's three
// simulated supplies (addresses 1, 5 and 17) on a pseudo-terminal. The monitor
// polls all the time and moves from supply to supply every few seconds; the
// panel's commands (setpoints, output switch, power read) go out in between;
// the sequence window runs a two-step sequence on supply 5 over and over.
// Every minute it prints the frames sent, polls sent, replies decoded, message
// boxes seen, the heap in use (mallinfo2) and the resident size (VmRSS).
//
//   psutool-soak [minutes]      (default 60)

#include "app/forms.h"
#include "app/mainwindow.h"
#include "bench/resident.h"
#include "demo/demotour.h"
#include "link/commports.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"
#include "sim/simbus.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "widgets/spinedit.h"

#include <malloc.h>
#include <cstdio>

namespace {

struct Counts {
    qint64 frames = 0;
    qint64 polls = 0;
    qint64 commands = 0;
    qint64 replies = 0;
    qint64 statusReplies = 0;
    qint64 acknowledgements = 0;
    qint64 boxes = 0;
    qint64 sequenceRuns = 0;
};

qint64 heapInUseBytes()
{
    return qint64(mallinfo2().uordblks);
}

void report(const char *what, const Counts &c, qint64 elapsedS)
{
    std::printf("%s t=%llds frames=%lld polls=%lld commands=%lld replies=%lld status=%lld acks=%lld "
                "boxes=%lld sequences=%lld heap=%lld rss_kib=%lld\n",
                what, elapsedS, c.frames, c.polls, c.commands, c.replies, c.statusReplies,
                c.acknowledgements, c.boxes, c.sequenceRuns, heapInUseBytes(), residentKiB());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const int minutes = argc > 1 ? QByteArray(argv[1]).toInt() : 60;

    CreateForms();
    auto *bus = new SimBus(&app);
    ApplySimOptions(DemoBusOptions(), *bus);
    MapCommPort(2, bus->openPty());
    bus->start(SimBus::Threading::OwnThread);

    Counts counts;
    SetSendObserver([&counts](const QByteArray &frame) {
        ++counts.frames;
        if (frame.size() == 8 && quint8(frame.at(1)) == 0x03 && quint8(frame.at(5)) == 5)
            ++counts.polls;
        else
            ++counts.commands;
    });
    SetReplyHandler([&counts](const QByteArray &reply) {
        ++counts.replies;
        if (reply.size() >= 15 && quint8(reply.at(1)) == 0x03)
            ++counts.statusReplies;
        if (reply.size() > 6 && quint8(reply.at(1)) == 0x10)
            ++counts.acknowledgements;
        DispatchReply(reply);
    });

    MAIN->show();
    MAIN->MSComm1->SetCommPort(2);
    MAIN->MSComm1->SetPortOpen(true);
    SelectModel(1);

    // Message boxes (none is expected) are read and closed like an operator would.
    QTimer closer(&app);
    QObject::connect(&closer, &QTimer::timeout, &app, [&counts] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            ++counts.boxes;
            modal->close();
        }
    });
    closer.start(50);

    ShowWindow(POWER_TEST);
    POWER_TEST->SpinEdit1->SetValue(1);
    POWER_TEST->Button11->click();

    // The sequence: supply 5, two steps of one second, three cycles, restarted
    // when it ends.
    ShowWindow(TYP);
    TYP->SpinEdit2->SetValue(5);
    TYP->StepCheck(1)->setChecked(true);
    TYP->VoltageEdit(1)->setText(QStringLiteral("12"));
    TYP->CurrentEdit(1)->setText(QStringLiteral("1"));
    TYP->TimeEdit(1)->setText(QStringLiteral("1"));
    TYP->StepCheck(2)->setChecked(true);
    TYP->VoltageEdit(2)->setText(QStringLiteral("24"));
    TYP->CurrentEdit(2)->setText(QStringLiteral("0.8"));
    TYP->TimeEdit(2)->setText(QStringLiteral("1"));
    TYP->Edit61->setText(QStringLiteral("3"));

    QElapsedTimer clock;
    clock.start();
    int tick = 0;
    QTimer operatorTimer(&app);
    operatorTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&operatorTimer, &QTimer::timeout, &app, [&] {
        ++tick;
        static const int addresses[] = {1, 5, 17};
        if (tick % 10 == 0)
            POWER_TEST->SpinEdit1->SetValue(addresses[(tick / 10) % 3]);
        switch (tick % 7) {
        case 1:
            POWER_TEST->SpinEdit3->SetValue((tick / 7) % 2);
            POWER_TEST->BitBtn1->click(); // set voltage
            break;
        case 3:
            POWER_TEST->Button5->click(); // read power
            break;
        case 5:
            if (tick % 140 == 5)
                POWER_TEST->BitBtn4->click(); // output switch, now and then
            else
                POWER_TEST->BitBtn2->click(); // set current
            break;
        default:
            break;
        }
        if (!SequenceRunning) {
            ++counts.sequenceRuns;
            TYP->Button1->click();
        }
    });
    operatorTimer.start(700);

    report("start", counts, 0);
    QTimer sampler(&app);
    // The simulator keeps a record of every frame; it is not the tool's memory,
    // so it is emptied before each sample.
    QObject::connect(&sampler, &QTimer::timeout, &app, [&] {
        bus->clearRecord();
        report("sample", counts, clock.elapsed() / 1000);
    });
    sampler.start(60 * 1000);
    QTimer::singleShot(qint64(minutes) * 60 * 1000, &app, [&] {
        bus->clearRecord();
        report("end", counts, clock.elapsed() / 1000);
        QCoreApplication::quit();
    });
    const int result = app.exec();
    bus->stop();
    return result;
}
