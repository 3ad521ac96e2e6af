#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>

struct Invocation;

// What an option's value is, and so how it is checked and converted.
enum class ValueKind {
    Flag,     // no value
    Whole,    // a whole number from min to max
    Decimal,  // a number from min to max
    Choice,   // one of the words in choices
    OnOff,    // on or off
    Text,     // any text but an empty one
    Model,    // a model name or menu number
    Supplies, // addresses: 1,5,17 or 1-8, each with an optional :MODEL
};

// One option as psuctl takes it, and as --help and the manual page tell it.
// An option that reads differently for different commands (-a is a list for
// status, one address elsewhere) has a row for each reading.
struct OptionRow {
    char letter;           // the short name, 0 for none
    const char *name;      // the long name
    const char *valueName; // as shown in --help (ADDR, MS, on|off); nullptr for a flag
    ValueKind kind;
    double min;            // Whole and Decimal
    double max;
    const char *choices;   // Choice: the words, space-separated
    const char *commands;  // space-separated; nullptr: a line option, taken by every command
    const char *neededBy;  // the commands that cannot go without it, or nullptr
    const char *noun;      // what it is in "status needs the model (-m)"
    const char *help;      // for --help; %r stands for the range or the choices, %d for the default
    const char *byDefault = nullptr; // the value taken when the option is not given, as it would be typed
};

// What a command does once its options are read; its exit status.
using CommandHandler = int (*)(const Invocation &inv, std::FILE *out, std::FILE *err);
// Checks that need several options together; raises CtlError (ExitUsage).
using CommandCheck = void (*)(const Invocation &inv);

// One command: its name, its help, what it takes and who carries it out.
struct CommandRow {
    const char *name;
    const char *synopsis;  // the usage line after "psuctl [OPTION]... "
    const char *summary;   // its line in the general help
    const char *about;     // the help before the options
    const char *notes;     // the help after the options, or nullptr
    const char *argument;  // a positional argument it needs (STEPS.csv), or nullptr
    CommandCheck check;    // or nullptr
    CommandHandler run;
};

// The rows of a table, for range-for.
template <typename Row>
struct TableRows {
    const Row *first;
    int size;
    const Row *begin() const { return first; }
    const Row *end() const { return first + size; }
};

TableRows<OptionRow> OptionTable();
TableRows<CommandRow> CommandTable();

const CommandRow *FindCommand(const QString &name);
// Whether the row is a line option or one of command's.
bool OptionApplies(const OptionRow &row, const QString &command);
// The row of name (a long name, or one letter) that applies to command; with
// an empty command, the first row of that name.
const OptionRow *FindOption(const QString &name, const QString &command = QString());
// "1 to 247", "none, even or odd".
QString RangeText(const OptionRow &row);
// The row's help text with its range put in.
QString OptionHelp(const OptionRow &row);
