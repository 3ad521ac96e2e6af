#include "ctl/scpiparser.h"

#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

#include <vector>

namespace {

// A node of the command tree. Its name is the long form; the capitals at its
// start are the short form ("VOLTage": VOLT or VOLTAGE).
struct Node {
    const char *name;
    bool optional;
    int header; // a ScpiHeader, or -1 for a node that is no command itself
    std::vector<Node> children;
};

// [:LEVel][:IMMediate][:AMPLitude] of a setpoint, all optional.
Node level(ScpiHeader header)
{
    const int h = int(header);
    return {"LEVel", true, h, {{"IMMediate", true, h, {{"AMPLitude", true, h, {}}}}}};
}

Node setpoint(const char *name, ScpiHeader header, ScpiHeader protection)
{
    return {name, false, int(header), {level(header), {"PROTection", false, int(protection), {{"LEVel", true, int(protection), {}}}}}};
}

Node measurement(const char *name, ScpiHeader header)
{
    return {name, false, int(header), {{"DC", true, int(header), {}}}};
}

const Node &commandTree()
{
    static const Node root{"", false, -1, {
        {"SOURce", true, -1, {setpoint("VOLTage", ScpiHeader::Voltage, ScpiHeader::VoltageProtection),
                              setpoint("CURRent", ScpiHeader::Current, ScpiHeader::CurrentProtection)}},
        {"OUTPut", false, int(ScpiHeader::Output), {{"STATe", true, int(ScpiHeader::Output), {}}}},
        {"MEASure", false, -1, {{"SCALar", true, -1, {measurement("VOLTage", ScpiHeader::MeasureVoltage),
                                                     measurement("CURRent", ScpiHeader::MeasureCurrent),
                                                     measurement("POWer", ScpiHeader::MeasurePower)}}}},
        {"SYSTem", false, -1, {
            {"ERRor", false, int(ScpiHeader::SystemError), {{"NEXT", true, int(ScpiHeader::SystemError), {}},
                                                            {"COUNt", false, int(ScpiHeader::SystemErrorCount), {}}}},
            {"VERSion", false, int(ScpiHeader::SystemVersion), {}},
            {"REMote", false, int(ScpiHeader::SystemRemote), {}},
            {"LOCal", false, int(ScpiHeader::SystemLocal), {}}}},
    }};
    return root;
}

// What a header's command takes: a set form with its parameter, a query form
// (which the setpoints let bound with MIN, MAX or DEF).
enum class Param { None, Setpoint, Boolean, Register };
struct Form {
    bool set;
    bool query;
    Param param;
    char unit; // Setpoint: 'V' or 'A'
};

Form formOf(ScpiHeader header)
{
    switch (header) {
    case ScpiHeader::Cls: case ScpiHeader::Rst: case ScpiHeader::Wai:
    case ScpiHeader::SystemRemote: case ScpiHeader::SystemLocal:
        return {true, false, Param::None, 0};
    case ScpiHeader::Ese: case ScpiHeader::Sre:
        return {true, true, Param::Register, 0};
    case ScpiHeader::Opc:
        return {true, true, Param::None, 0};
    case ScpiHeader::Voltage: case ScpiHeader::VoltageProtection:
        return {true, true, Param::Setpoint, 'V'};
    case ScpiHeader::Current: case ScpiHeader::CurrentProtection:
        return {true, true, Param::Setpoint, 'A'};
    case ScpiHeader::Output:
        return {true, true, Param::Boolean, 0};
    default:
        return {false, true, Param::None, 0};
    }
}

bool mnemonicMatches(const char *name, const QString &typed, bool *badSuffix)
{
    // A numeric suffix names an instance; a supply has one of everything.
    QString base = typed;
    while (!base.isEmpty() && base.back().isDigit())
        base.chop(1);
    const QString longForm = QString::fromLatin1(name).toUpper();
    int capitals = 0;
    while (name[capitals] && QChar::isUpper(uchar(name[capitals])))
        ++capitals;
    const QString upper = base.toUpper();
    if (upper != longForm && upper != longForm.left(capitals))
        return false;
    *badSuffix = base.size() != typed.size() && typed.mid(base.size()).toInt() != 1;
    return true;
}

// The node mnemonic names below from, directly or behind optional nodes.
const Node *find(const Node &from, const QString &mnemonic, bool *badSuffix)
{
    for (const Node &child : from.children) {
        if (mnemonicMatches(child.name, mnemonic, badSuffix))
            return &child;
    }
    for (const Node &child : from.children) {
        if (child.optional) {
            if (const Node *found = find(child, mnemonic, badSuffix))
                return found;
        }
    }
    return nullptr;
}

// Splits on separator outside quoted strings.
QStringList splitOutsideQuotes(const QString &text, QChar separator)
{
    QStringList pieces;
    QString piece;
    QChar quote;
    for (const QChar c : text) {
        if (quote.isNull() && c == separator) {
            pieces << piece;
            piece.clear();
            continue;
        }
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            if (quote.isNull())
                quote = c;
            else if (quote == c)
                quote = QChar();
        }
        piece += c;
    }
    pieces << piece;
    return pieces;
}

// The parameter as the form reads it; 0 or the error that refuses it.
int readParameter(const QString &text, Param param, char unit, ScpiValue *value)
{
    if (text.isEmpty())
        return SyntaxError;
    const QChar first = text.at(0);
    if (first == QLatin1Char('"') || first == QLatin1Char('\'') || first == QLatin1Char('#'))
        return DataTypeError;
    static const QRegularExpression word(QStringLiteral("^[A-Za-z][A-Za-z0-9_]*$"));
    if (word.match(text).hasMatch()) {
        const QString upper = text.toUpper();
        const auto is = [&](const char *longForm, int shortLength) {
            return upper == QLatin1String(longForm) || upper == QLatin1String(longForm).left(shortLength);
        };
        if (param == Param::Setpoint && is("MINIMUM", 3))
            value->kind = ScpiValue::Minimum;
        else if (param == Param::Setpoint && is("MAXIMUM", 3))
            value->kind = ScpiValue::Maximum;
        else if (param == Param::Setpoint && is("DEFAULT", 3))
            value->kind = ScpiValue::Default;
        else if (param == Param::Boolean && (upper == QLatin1String("ON") || upper == QLatin1String("OFF")))
            value->kind = upper == QLatin1String("ON") ? ScpiValue::On : ScpiValue::Off;
        else
            return param == Param::Register ? DataTypeError : IllegalParameterValue;
        return 0;
    }
    // Decimal numeric program data (NR1, NR2, NR3), then a suffix.
    static const QRegularExpression number(
        QStringLiteral("^([+-]?(?:\\d+(?:\\.\\d*)?|\\.\\d+)(?:\\s*[Ee]\\s*[+-]?\\d+)?)\\s*([A-Za-z]*)$"));
    const QRegularExpressionMatch match = number.match(text);
    if (!match.hasMatch())
        return QStringLiteral("+-.0123456789").contains(first) ? NumericDataError : SyntaxError;
    double scale = 1;
    const QString suffix = match.captured(2).toUpper();
    if (!suffix.isEmpty()) {
        if (param != Param::Setpoint)
            return SuffixNotAllowed;
        const QString multiplier = suffix.chopped(1);
        if (suffix.back() != QLatin1Char(unit) || multiplier.size() > 1)
            return InvalidSuffix;
        // SCPI's M is milli (MV, MA), never mega, for volts and amperes.
        scale = multiplier.isEmpty()                    ? 1
                : multiplier == QLatin1String("M")      ? 1e-3
                : multiplier == QLatin1String("U")      ? 1e-6
                : multiplier == QLatin1String("K")      ? 1e3
                                                        : 0;
        if (scale == 0)
            return InvalidSuffix;
    }
    const double mantissa = QLocale::c().toDouble(match.captured(1).remove(QRegularExpression(QStringLiteral("\\s"))));
    if (param == Param::Boolean) {
        value->kind = qRound64(mantissa) != 0 ? ScpiValue::On : ScpiValue::Off;
    } else {
        value->kind = ScpiValue::Number;
        value->number = mantissa * scale;
    }
    return 0;
}

// The unit as typed, for the error's text: printable, and not too long.
QString shown(const QByteArray &unit)
{
    QString text;
    for (const char c : unit.trimmed().left(40))
        text += uchar(c) >= 0x20 && uchar(c) < 0x7F ? QString(QLatin1Char(c)) : QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    return unit.trimmed().size() > 40 ? text + QStringLiteral("...") : text;
}

// One unit, its header resolved from path (which it moves on).
ScpiCommand parseUnit(const QByteArray &bytes, const Node *&path)
{
    ScpiCommand command;
    command.detail = shown(bytes);
    for (const char c : bytes) {
        if ((uchar(c) < 0x20 && c != '\t') || uchar(c) >= 0x7F) {
            command.error = InvalidCharacter;
            return command;
        }
    }
    const QString unit = QString::fromLatin1(bytes).trimmed();
    static const QRegularExpression header(
        QStringLiteral("^(\\*[A-Za-z]+|:?[A-Za-z][A-Za-z0-9_]*(?::[A-Za-z][A-Za-z0-9_]*)*)(\\?)?(?=\\s|$)"));
    const QRegularExpressionMatch match = header.match(unit);
    if (!match.hasMatch()) {
        command.error = SyntaxError;
        return command;
    }
    command.query = !match.captured(2).isEmpty();
    QString name = match.captured(1);
    if (name.startsWith(QLatin1Char('*'))) {
        static const QStringList common{"CLS", "ESE", "ESR", "IDN", "OPC", "RST", "SRE", "STB", "TST", "WAI"};
        const int index = common.indexOf(name.mid(1).toUpper());
        if (index < 0) {
            command.error = UndefinedHeader;
            return command;
        }
        command.header = ScpiHeader(index);
    } else {
        const Node *at = name.startsWith(QLatin1Char(':')) ? &commandTree() : path;
        const QStringList mnemonics = name.mid(name.startsWith(QLatin1Char(':')) ? 1 : 0).split(QLatin1Char(':'));
        const Node *parent = at;
        for (const QString &mnemonic : mnemonics) {
            bool badSuffix = false;
            parent = at;
            at = find(*at, mnemonic, &badSuffix);
            if (!at || badSuffix) {
                command.error = at ? HeaderSuffixOutOfRange : UndefinedHeader;
                return command;
            }
        }
        if (at->header < 0) {
            command.error = UndefinedHeader;
            return command;
        }
        command.header = ScpiHeader(at->header);
        path = parent;
    }
    const Form form = formOf(command.header);
    if (command.query ? !form.query : !form.set) {
        command.error = UndefinedHeader;
        return command;
    }
    const QString rest = unit.mid(match.capturedLength(0)).trimmed();
    QStringList parameters = rest.isEmpty() ? QStringList() : splitOutsideQuotes(rest, QLatin1Char(','));
    for (QString &parameter : parameters)
        parameter = parameter.trimmed();
    // A setpoint's query may ask for its bounds (VOLT? MAX); nothing else
    // takes a parameter with its query.
    const Param param = command.query ? (form.param == Param::Setpoint ? Param::Setpoint : Param::None) : form.param;
    const int needed = param == Param::None || command.query ? 0 : 1;
    const int allowed = param == Param::None ? 0 : 1;
    if (parameters.size() < needed)
        command.error = MissingParameter;
    else if (parameters.size() > allowed)
        command.error = parameters.contains(QString()) ? SyntaxError : ParameterNotAllowed;
    else if (!parameters.isEmpty())
        command.error = readParameter(parameters.first(), param, form.unit, &command.value);
    if (command.query && command.value.kind == ScpiValue::Number)
        command.error = IllegalParameterValue;
    return command;
}

} // namespace

QString ScpiErrorText(int error)
{
    switch (error) {
    case 0: return QStringLiteral("No error");
    case CommandError: return QStringLiteral("Command error");
    case InvalidCharacter: return QStringLiteral("Invalid character");
    case SyntaxError: return QStringLiteral("Syntax error");
    case DataTypeError: return QStringLiteral("Data type error");
    case ParameterNotAllowed: return QStringLiteral("Parameter not allowed");
    case MissingParameter: return QStringLiteral("Missing parameter");
    case UndefinedHeader: return QStringLiteral("Undefined header");
    case HeaderSuffixOutOfRange: return QStringLiteral("Header suffix out of range");
    case NumericDataError: return QStringLiteral("Numeric data error");
    case InvalidSuffix: return QStringLiteral("Invalid suffix");
    case SuffixNotAllowed: return QStringLiteral("Suffix not allowed");
    case ExecutionError: return QStringLiteral("Execution error");
    case DataOutOfRange: return QStringLiteral("Data out of range");
    case IllegalParameterValue: return QStringLiteral("Illegal parameter value");
    case HardwareError: return QStringLiteral("Hardware error");
    case QueueOverflow: return QStringLiteral("Queue overflow");
    default: return QStringLiteral("Error");
    }
}

QVector<ScpiCommand> ParseProgramMessage(const QByteArray &message)
{
    QVector<ScpiCommand> commands;
    const Node *path = &commandTree();
    const QStringList units = splitOutsideQuotes(QString::fromLatin1(message), QLatin1Char(';'));
    for (int i = 0; i < units.size(); ++i) {
        const QByteArray unit = units.at(i).toLatin1();
        // An empty message is no command; a ';' just before the end is let pass.
        if (unit.trimmed().isEmpty() && (units.size() == 1 || (i > 0 && i == units.size() - 1)))
            continue;
        commands.append(parseUnit(unit, path));
        if (commands.last().error)
            break;
    }
    return commands;
}
