#pragma once

#include <QString>
#include <QStringList>

// The tool's command line, read the way QCommandLineParser reads one: --lang,
// --map, -h/--help, --help-all and -v/--version.

// When the arguments ask for the help (not --help-all) or the version, prints it on stdout
// and returns 0, the program's exit status; returns -1 otherwise. Runs before
// the application object exists, so that a terminal without a display gets
// its answer (it makes a core application of its own for the program name).
int AnswerInformationOptions(int argc, char *argv[]);

// The arguments left once the application object has taken the toolkit's own
// (-platform, -style, ...): an empty text when the tool knows them all, else
// one line saying what it does not know. --help-all, which lists the
// toolkit's options too, is answered here, once the toolkit knows them: the
// help is printed and the program ends with status 0.
QString CheckToolArguments(const QStringList &arguments);
