// libFuzzer target for the way in: a reply as the line delivers it, decoded by
// DispatchReply into the real windows (created offscreen).
//
// Input: byte 0 picks the active model (0: none chosen yet, so both divisors
// are 0; 1..35: that catalogue entry), byte 1 holds flags (bit 0: a power read
// is pending, bit 1: the calibration window is open), the rest is the reply.
//
// fuzz_dispatch hands the reply straight to DispatchReply, copied into a heap
// block of exactly its size so that AddressSanitizer sees any read past it.
// fuzz_receive writes it into a pseudo-terminal that the main window's serial
// control has open and runs the receive handler, as the OnComm event would:
// slow (the silence rule sleeps 60 ms a reply) but the whole way in.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "link/commports.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/addressscan.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "widgets/errorreport.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

QApplication *g_app = nullptr;
int g_master = -1;

void setUpOnce()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_reply";
    static char *argv[] = {name, nullptr};
    g_app = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    CreateForms();
    MAIN->show();

    // The calibration box runs its own event loop: this timer closes it there,
    // as an operator pressing OK at once.
    auto *closer = new QTimer(g_app);
    QObject::connect(closer, &QTimer::timeout, g_app, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer->start(0);

#ifdef PSUTOOL_FUZZ_RECEIVE
    int slave = -1;
    char path[256] = {};
    struct termios raw;
    cfmakeraw(&raw);
    if (::openpty(&g_master, &slave, path, &raw, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    MapCommPort(1, QString::fromLocal8Bit(path));
    MAIN->MSComm1->SetCommPort(1);
    MAIN->MSComm1->SetPortOpen(true);
#endif
}

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_app)
        setUpOnce();
    if (size < 2)
        return 0;
    const int model = data[0] % (ModelCount + 1);
    if (model == 0)
        ClearActiveModel();
    else
        SelectModel(model);
    PowerReadRequested = (data[1] & 1) != 0;
    CalibrationMode = (data[1] & 2) != 0;
    // The scan's result list only grows: start each input with it empty.
    RSADDERS->Edit3->clear();
    data += 2;
    size -= 2;

#ifdef PSUTOOL_FUZZ_RECEIVE
    if (size > 1000)
        return 0;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(g_master, data + done, size - done);
        if (n <= 0)
            std::abort();
        done += size_t(n);
    }
    // What OnComm runs; the boundary turns an error into the error box.
    RunHandler([] { MAIN->MSComm1Comm(); });
    check(!RxBusy, "RxBusy still set after a reception");
    // Whatever the handler left waiting (more than 500 bytes) goes, as the
    // next request would discard it.
    QCoreApplication::processEvents();
    MAIN->MSComm1->SetInBufferCount(0);
#else
    std::unique_ptr<char[]> block(new char[size ? size : 1]);
    if (size)
        std::memcpy(block.get(), data, size);
    const QByteArray reply = QByteArray::fromRawData(block.get(), qsizetype(size));
    RunHandler([&reply] { DispatchReply(reply); });
    // What the message loop would do between two receptions (layout and
    // paint requests of the labels just written, deferred deletions).
    QCoreApplication::processEvents();
#endif
    return 0;
}
