#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// The SCPI program messages psuctl scpi takes, as IEEE 488.2 and SCPI 1999
// read them: a message is one line of program message units separated by
// ';'; a header is a common command (*IDN?) or a path of mnemonics through
// the command tree, each in its short (VOLT) or long (VOLTAGE) form in any
// case, optional nodes ([SOURce:]VOLTage[:LEVel]) left out at will. A unit
// after ';' starts where the header before it ended (its last mnemonic's
// parent) unless it begins with ':', which goes back to the root; common
// commands leave that place alone, and every message starts at the root.

// What a header resolves to.
enum class ScpiHeader {
    Cls, Ese, Esr, Idn, Opc, Rst, Sre, Stb, Tst, Wai,
    Voltage, Current, VoltageProtection, CurrentProtection, Output,
    MeasureVoltage, MeasureCurrent, MeasurePower,
    SystemError, SystemErrorCount, SystemVersion, SystemRemote, SystemLocal,
};

// A parameter as the header's command reads it.
struct ScpiValue {
    enum Kind { None, Number, Minimum, Maximum, Default, On, Off } kind = None;
    double number = 0; // Number: in base units (V, A), the suffix's multiplier applied
};

// The standard's errors the parser and the instrument queue.
enum ScpiError {
    CommandError = -100,
    InvalidCharacter = -101,
    SyntaxError = -102,
    DataTypeError = -104,
    ParameterNotAllowed = -108,
    MissingParameter = -109,
    UndefinedHeader = -113,
    HeaderSuffixOutOfRange = -114,
    NumericDataError = -120,
    InvalidSuffix = -131,
    SuffixNotAllowed = -138,
    ExecutionError = -200,
    DataOutOfRange = -222,
    IllegalParameterValue = -224,
    HardwareError = -240,
    QueueOverflow = -350,
};
// "Syntax error", the standard's text for the number.
QString ScpiErrorText(int error);

// One program message unit. A unit the parser refuses carries its error and
// ends the message: the units before it are carried out, none after it.
struct ScpiCommand {
    ScpiHeader header = ScpiHeader::Cls;
    bool query = false;
    ScpiValue value;
    int error = 0;  // 0, or the ScpiError that refuses the unit
    QString detail; // what the error is about: the unit as typed
};

// The units of one message (the line without its terminator), resolved.
QVector<ScpiCommand> ParseProgramMessage(const QByteArray &message);
