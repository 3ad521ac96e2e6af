// The tool started the way the menu entry's English action starts it,
// "psutool --lang en", through the one start-up function: the translation
// must be in place before the windows are made, or their labels stay Chinese.
// RunTool makes the application object itself, so this test has a main of its
// own and checks what the windows show from the start-up hook.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/startup.h"
#include "panels/monitorpanel.h"
#include "panels/overview.h"
#include "panels/sequencerunner.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

int g_failures = 0;

void expect(const QString &what, const QString &shown, const QString &expected)
{
    if (shown == expected) {
        std::printf("PASS   : %s is \"%s\"\n", qPrintable(what), qPrintable(shown));
        return;
    }
    ++g_failures;
    std::printf("FAIL!  : %s is \"%s\", expected \"%s\"\n", qPrintable(what), qPrintable(shown),
                qPrintable(expected));
}

} // namespace

int main(int argc, char *argv[])
{
    // The platform comes from the test's environment (offscreen), whatever
    // display the machine has; the language from the command line only.
    qunsetenv("PSUTOOL_LANG");
    QList<QByteArray> arguments;
    for (int n = 0; n < argc; ++n)
        arguments << QByteArray(argv[n]);
    arguments << "--lang" << "en";
    QList<char *> pointers;
    for (QByteArray &argument : arguments)
        pointers << argument.data();
    int count = int(pointers.size());

    const int status = RunTool(count, pointers.data(), [](QApplication &) -> std::function<void()> {
        expect(QStringLiteral("the main window's title line"), MAIN->Label1->text(),
               QStringLiteral("Power Supply Tester"));
        expect(QStringLiteral("the serial port button"), MAIN->BitBtn1->accessibleName(),
               QStringLiteral("Serial Port"));
        expect(QStringLiteral("the overview button"), MAIN->BitBtn9->accessibleName(), QStringLiteral("Overview"));
        expect(QStringLiteral("the monitor's title"), POWER_TEST->windowTitle(), QStringLiteral("Supply Test"));
        expect(QStringLiteral("the set voltage button"), POWER_TEST->BitBtn1->text(), QStringLiteral("Set Voltage"));
        expect(QStringLiteral("the sequence's step label"),
               TYP->findChild<QLabel *>(QStringLiteral("StaticText1"))->text(), QStringLiteral("Step"));
        MAIN->BitBtn9->click();
        expect(QStringLiteral("the overview's title"), OVERVIEW ? OVERVIEW->windowTitle() : QString(),
               QStringLiteral("Overview"));
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        // The windows go before the application object does.
        return [] { DestroyForms(); };
    });
    std::printf("Totals: %s\n", g_failures ? "failed" : "passed");
    return status != 0 ? status : (g_failures ? 1 : 0);
}
