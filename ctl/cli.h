#pragma once

#include "master/rtumaster.h"
#include "ctl/values.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

struct ModelEntry;
struct OptionRow;

// One supply a command reads: its bus address and catalogue model (0: none known).
struct SupplyRef {
    int address = 0;
    int modelItem = 0;
};

// Everything a psuctl command line says, checked and converted against the
// option table. Parsing opens no port and sends nothing.
struct Invocation {
    QString command;         // a row of the command table
    bool help = false;       // print the help of command (the general one when empty)
    bool version = false;
    LineOptions line;
    QStringList arguments;   // the command's positional arguments
    QVector<SupplyRef> supplies; // an option of kind Supplies, with -m filled in
    QHash<QString, QVariant> values; // the other options given, by long name, converted
    QHash<QString, QVariant> defaults; // the table's defaults of the command's options not given

    // Whether the option was given; the readers below fall back to the
    // table's default, then to otherwise.
    bool has(const char *name) const { return values.contains(QLatin1String(name)); }
    int whole(const char *name, int otherwise = 0) const;
    double decimal(const char *name) const;
    bool on(const char *name) const;                  // an OnOff option given as on
    QString text(const char *name, const QString &otherwise = QString()) const;
    QVariant value(const char *name, const QVariant &otherwise = QVariant()) const;
    // The single-supply commands' supply.
    int address() const { return whole("address"); }
    int modelItem() const { return whole("model"); }
};

// Raises CtlError (ExitUsage) with a one-line message on anything it cannot take.
Invocation ParseArguments(const QStringList &arguments);

// value as the option row reads it on the command line (a number within the
// row's range, on or off, ...); raises CtlError (ExitUsage) with "TYPED
// 'VALUE': why", without the pointer to the help. model, when known, is named
// in the refusal of a negative setpoint or limit with what it takes.
QVariant ConvertOptionValue(const OptionRow &row, const QString &typed, const QString &value,
                            const ModelEntry *model = nullptr);

// The help of a command, or the general help for an empty one.
QString HelpText(const QString &command);

// "psuctl: TEXT; see 'psuctl COMMAND --help'" with exit status 1.
[[noreturn]] void UsageError(const QString &text, const QString &command = QString());
