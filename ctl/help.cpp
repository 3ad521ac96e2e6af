#include "ctl/cli.h"
#include "ctl/optiontable.h"

// The texts of --help, made from the option and command tables for the
// terminal: a usage line, what the command does, its options, then notes.

namespace {

const int Width = 80;
const int HelpColumn = 28;

const char Intro[] = "Drive programmable DC power supplies on a Modbus RTU serial line from a shell or a script: "
                     "read their status once or as a log, write setpoints, limits and switches, run timed voltage "
                     "and current steps, find the bus addresses that answer, and send calibration codes. psuctl "
                     "speaks the same frames as psutool.";

const char Supplies[] = "A supply is named by its bus address (-a, 1 to 247) and its model (-m, a name such as "
                        "QELT30-05 or its menu number from 'psuctl models'). Values are given in volts, amperes and "
                        "watts. They go into the registers in the model's resolution; a value outside the model's range "
                        "is refused before anything is sent, and stderr says so when a value is rounded. Each request waits for the reply "
                        "of its own address and function and checks its CRC, and a write's acknowledgement must "
                        "echo the register and count written; replies of other addresses are passed over.";

const char ExitStatus[] = R"(Exit status:
  0    success
  1    bad usage: an unknown option, a bad value or a malformed steps file;
       nothing was sent
  2    the port cannot be opened (or is held by another program)
  3    no valid reply after the retries; for a watch, some reading failed
  4    the supply answered with a Modbus exception (named in the message)
  5    the supply holds something other than what was written
  6    a test plan ran and a slot did not pass (FAIL or ERROR)
  7    mqtt: the broker refused the login, or TLS failed; trying again with
       the same settings cannot help
  8    a test plan ran, but its history could not all be kept; its verdicts
       are on the terminal and in the report files
  130  a run, a test or a scan ended by Ctrl-C (a run switches the output off
       first, a test runs its finally steps); any other signal N that ends
       the program and can be caught does the same and gives 128+N: 129 for
       SIGHUP (a dropped ssh session), 143 for SIGTERM
Errors are one line on stderr naming the address and the register.

A closed stdout (psuctl test ... | head) does not end a run or a test: SIGPIPE
is ignored and their writes fail. SIGKILL (kill -9) cannot be caught: a run or
a test killed by it leaves the outputs as they were, without its finally
steps.

Examples:
  psuctl -p /dev/ttyUSB0 scan
  psuctl status -a 1 -m QELT30-05
  psuctl status -a 1-3,5:QELT60-05 -m QELT30-05 --watch 1000 --format csv >> burn-in.csv
  psuctl set -a 1 -m QELT30-05 --voltage 12 --current 1.5 --output on
  psuctl run -a 1 -m QELT30-05 steps.csv --cycles 3
  psuctl -p /dev/ttyUSB0 mqtt -a 1,5 -m QELT30-05 --broker lab-server --bench bench3
  psuctl -p /dev/ttyUSB0 scpi -a 1,5 -m QELT30-05 --listen 127.0.0.1:5025
)";

// Words filled into lines of width; the text starts at column, and so do
// the lines after the first.
QString wrap(const QString &text, int width, int column)
{
    QString result;
    int used = column;
    bool first = true;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!first && used + 1 + word.size() > width) {
            result += QLatin1Char('\n') + QString(column, QLatin1Char(' '));
            used = column;
        } else if (!first) {
            result += QLatin1Char(' ');
            ++used;
        }
        result += word;
        used += int(word.size());
        first = false;
    }
    return result;
}

// Paragraphs wrapped at the width; lines starting with a space stay as they are.
QString paragraphs(const char *text)
{
    QString result;
    for (const QString &paragraph : QString::fromUtf8(text).split(QStringLiteral("\n\n"))) {
        QString prose;
        for (const QString &line : paragraph.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1Char(' '))) {
                if (!prose.isEmpty())
                    result += wrap(prose, Width, 0) + QLatin1Char('\n');
                prose.clear();
                result += line + QLatin1Char('\n');
            } else {
                prose += (prose.isEmpty() ? QString() : QStringLiteral(" ")) + line;
            }
        }
        if (!prose.isEmpty())
            result += wrap(prose, Width, 0) + QLatin1Char('\n');
        result += QLatin1Char('\n');
    }
    return result;
}

// "  -a, --address=ADDR        bus address, 1 to 247"
QString optionLine(const OptionRow &row)
{
    QString names = row.letter ? QStringLiteral("  -%1, ").arg(QLatin1Char(row.letter)) : QStringLiteral("      ");
    names += QStringLiteral("--") + QLatin1String(row.name);
    if (row.valueName)
        names += QLatin1Char('=') + QLatin1String(row.valueName);
    if (names.size() >= HelpColumn - 1)
        names += QLatin1Char('\n') + QString(HelpColumn, QLatin1Char(' '));
    else
        names = names.leftJustified(HelpColumn);
    return names + wrap(OptionHelp(row), Width, HelpColumn) + QLatin1Char('\n');
}

QString commandHelp(const CommandRow &command)
{
    const QString name = QLatin1String(command.name);
    const QString usage = QStringLiteral("Usage: psuctl [OPTION]... ");
    QString text = usage + wrap(QLatin1String(command.synopsis), Width, int(usage.size())) + QLatin1Char('\n');
    text += paragraphs(command.about);
    QString options;
    for (const OptionRow &row : OptionTable()) {
        if (row.commands && OptionApplies(row, name))
            options += optionLine(row);
    }
    if (!options.isEmpty())
        text += QStringLiteral("Options:\n") + options + QLatin1Char('\n');
    if (command.notes)
        text += paragraphs(command.notes);
    text.chop(1);
    return text;
}

QString generalHelp()
{
    QString text = QStringLiteral("Usage: psuctl [OPTION]... COMMAND [ARGUMENT]...\n") + paragraphs(Intro);
    text += QStringLiteral("Commands:\n");
    for (const CommandRow &command : CommandTable()) {
        QString name = QStringLiteral("  ") + QLatin1String(command.name);
        if (command.argument)
            name += QLatin1Char(' ') + QLatin1String(command.argument);
        text += name.leftJustified(HelpColumn) + wrap(QLatin1String(command.summary), Width, HelpColumn)
                + QLatin1Char('\n');
    }
    text += QStringLiteral("'psuctl COMMAND --help' (or 'psuctl help COMMAND') describes a command.\n\n"
                           "Line options (anywhere on the command line):\n");
    for (const OptionRow &row : OptionTable()) {
        if (!row.commands)
            text += optionLine(row);
    }
    text += QLatin1Char('\n') + paragraphs(Supplies) + QLatin1String(ExitStatus);
    return text;
}

} // namespace

QString HelpText(const QString &command)
{
    const CommandRow *row = FindCommand(command);
    return row ? commandHelp(*row) : generalHelp();
}
