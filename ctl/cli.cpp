#include "ctl/cli.h"

#include "ctl/ctlerror.h"
#include "ctl/optiontable.h"
#include "link/modelcatalogue.h"
#include "link/setwrites.h"

#include <QCommandLineParser>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

namespace {

// One option as given: the row that reads it, the name as typed (for
// messages) and the text of its value.
struct Given {
    const OptionRow *row;
    QString typed;
    QString value;
};

QString typedName(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// The values of set that the model's ranges bound.
bool IsSetValue(const OptionRow &row)
{
    static const char *const names[] = {"voltage", "current", "ovp", "ocp", "power"};
    return row.commands && QLatin1String(row.commands) == QLatin1String("set")
           && std::any_of(std::begin(names), std::end(names), [&](const char *name) { return qstrcmp(row.name, name) == 0; });
}

class Converter
{
public:
    // bare: refusals without the pointer to the help, for values that came
    // from elsewhere than the command line.
    Converter(const Given &given, const QString &command, bool bare = false, const ModelEntry *model = nullptr)
        : m_given(given), m_command(command), m_bare(bare), m_model(model)
    {
    }

    [[noreturn]] void refuse(const QString &why) const
    {
        const QString text = QStringLiteral("%1 '%2': %3").arg(m_given.typed, m_given.value, why);
        if (m_bare)
            Fail(ExitUsage, text);
        UsageError(text, m_command);
    }

    int whole(const QString &text) const
    {
        bool ok = false;
        const int value = text.toInt(&ok);
        const OptionRow &row = *m_given.row;
        if (!ok || value < row.min || value > row.max)
            refuse(QStringLiteral("not a whole number from %1 to %2").arg(PlainNumber(row.min), PlainNumber(row.max)));
        return value;
    }

    QVariant convert() const
    {
        const OptionRow &row = *m_given.row;
        const QString &value = m_given.value;
        switch (row.kind) {
        case ValueKind::Flag:
            return true;
        case ValueKind::Whole:
            return whole(value);
        case ValueKind::Decimal: {
            bool ok = false;
            const double number = QLocale::c().toDouble(value, &ok);
            // A value of set: the model's range, the one check plans and the bridge make too.
            if (IsSetValue(row)) {
                if (!ok)
                    refuse(QStringLiteral("not a number (%1)").arg(SetValueRange(QLatin1String(row.name), m_model).text));
                const QString refusal = RangeRefusal(QLatin1String(row.name), number, m_model);
                if (!refusal.isEmpty())
                    refuse(refusal);
                return number;
            }
            if (!ok || !std::isfinite(number) || number < row.min || number > row.max)
                refuse(QStringLiteral("not a number from %1 to %2").arg(PlainNumber(row.min), PlainNumber(row.max)));
            return number;
        }
        case ValueKind::Choice: {
            const QStringList words = QString::fromLatin1(row.choices).split(QLatin1Char(' '));
            if (!words.contains(value))
                refuse(QStringLiteral("one of %1").arg(words.join(QStringLiteral(", "))));
            return value;
        }
        case ValueKind::OnOff:
            if (value != QLatin1String("on") && value != QLatin1String("off"))
                refuse(QStringLiteral("on or off"));
            return value == QLatin1String("on");
        case ValueKind::Text:
            if (value.isEmpty())
                UsageError(QStringLiteral("%1: a value is needed").arg(m_given.typed), m_command);
            return value;
        case ValueKind::Model:
            return model(value);
        case ValueKind::Supplies:
            break;
        }
        return QVariant();
    }

    int model(const QString &text) const
    {
        const int item = ModelItemFromText(text);
        if (!item)
            refuse(QStringLiteral("no such model ('psuctl models' lists them)"));
        return item;
    }

    // "1,5,17", "1-8", "1:QELT30-05,5-6:2": every address once, in the order given.
    QVector<SupplyRef> supplies() const
    {
        const QStringList items = m_given.value.split(QLatin1Char(','));
        if (items.size() == 1 && !m_given.value.contains(QLatin1Char('-')) && !m_given.value.contains(QLatin1Char(':')))
            return {{whole(m_given.value), 0}};
        static const QRegularExpression item(QStringLiteral("^(\\d+)(?:-(\\d+))?(?::(.+))?$"));
        QVector<SupplyRef> list;
        for (const QString &text : items) {
            const QRegularExpressionMatch match = item.match(text.trimmed());
            if (!match.hasMatch())
                refuse(QStringLiteral("'%1' is not ADDR, FIRST-LAST or either with :MODEL").arg(text));
            const OptionRow &row = *m_given.row;
            const int first = match.captured(1).toInt();
            const int last = match.captured(2).isEmpty() ? first : match.captured(2).toInt();
            if (first < row.min || last > row.max || first > last)
                refuse(QStringLiteral("'%1' is not within %2").arg(text, RangeText(row)));
            const int modelItem = match.captured(3).isEmpty() ? 0 : model(match.captured(3));
            for (int address = first; address <= last; ++address) {
                for (const SupplyRef &known : list) {
                    if (known.address == address)
                        refuse(QStringLiteral("address %1 is given twice").arg(address));
                }
                list.append({address, modelItem});
            }
        }
        return list;
    }

private:
    const Given &m_given;
    QString m_command;
    bool m_bare;
    const ModelEntry *m_model;
};

LineOptions lineOptions(const Invocation &inv)
{
    LineOptions line;
    line.port = inv.text("port");
    line.serial.baud = inv.text("baud").toInt();
    const QString parity = inv.text("parity");
    line.serial.parity = parity == QLatin1String("even") ? QSerialPort::EvenParity
                         : parity == QLatin1String("odd") ? QSerialPort::OddParity
                                                          : QSerialPort::NoParity;
    line.serial.dataBits = QSerialPort::DataBits(inv.whole("data-bits"));
    line.serial.stopBits = inv.whole("stop-bits") == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop;
    if (inv.has("timeout"))
        line.timeoutUs = int(std::lround(inv.decimal("timeout") * 1e6));
    line.retries = inv.whole("retries");
    if (inv.has("gateway-delay"))
        line.gatewayDelayUs = inv.whole("gateway-delay") * 1000;
    line.verbose = inv.has("verbose");
    line.lockFile = !inv.has("no-lock");
    return line;
}

// Options the command cannot go without, and its positional argument.
void checkNeeded(const Invocation &inv, const CommandRow &command)
{
    const QString name = QLatin1String(command.name);
    const int taken = command.argument ? 1 : 0;
    if (inv.arguments.size() > taken)
        UsageError(QStringLiteral("unexpected argument '%1'").arg(inv.arguments.at(taken)), name);
    if (taken && inv.arguments.isEmpty())
        UsageError(QStringLiteral("%1 needs %2").arg(name, QLatin1String(command.argument)), name);
    for (const OptionRow &row : OptionTable()) {
        if (!row.neededBy || !OptionApplies(row, name)
            || !QString::fromLatin1(row.neededBy).split(QLatin1Char(' ')).contains(name))
            continue;
        const bool given = row.kind == ValueKind::Supplies ? !inv.supplies.isEmpty() : inv.values.contains(QLatin1String(row.name));
        if (!given)
            UsageError(QStringLiteral("%1 needs the %2 (%3)")
                           .arg(name, QLatin1String(row.noun),
                                row.letter ? QStringLiteral("-") + QLatin1Char(row.letter)
                                           : QStringLiteral("--") + QLatin1String(row.name)),
                       name);
    }
}

} // namespace

QVariant Invocation::value(const char *name, const QVariant &otherwise) const
{
    const QString key = QLatin1String(name);
    return values.value(key, defaults.value(key, otherwise));
}

int Invocation::whole(const char *name, int otherwise) const
{
    return value(name, otherwise).toInt();
}

double Invocation::decimal(const char *name) const
{
    return value(name).toDouble();
}

bool Invocation::on(const char *name) const
{
    return value(name).toBool();
}

QString Invocation::text(const char *name, const QString &otherwise) const
{
    return value(name, otherwise).toString();
}

QVariant ConvertOptionValue(const OptionRow &row, const QString &typed, const QString &value, const ModelEntry *model)
{
    const Given given{&row, typed, value};
    return Converter(given, QString(), true, model).convert();
}

void UsageError(const QString &text, const QString &command)
{
    Fail(ExitUsage, QStringLiteral("%1; see 'psuctl %2--help'")
                        .arg(text, command.isEmpty() ? QString() : command + QLatin1Char(' ')));
}

Invocation ParseArguments(const QStringList &arguments)
{
    // Every name in the table is known to the parser, so that an option of
    // another command is refused as not applying rather than as unknown.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    QStringList added;
    for (const OptionRow &row : OptionTable()) {
        if (added.contains(QLatin1String(row.name)))
            continue;
        added << QLatin1String(row.name);
        QStringList names;
        if (row.letter)
            names << QString(QLatin1Char(row.letter));
        names << QLatin1String(row.name);
        parser.addOption(QCommandLineOption(names, QString(), row.valueName ? QLatin1String(row.valueName) : QString()));
    }
    if (!parser.parse(QStringList{QStringLiteral("psuctl")} + arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            UsageError(QStringLiteral("unknown option '%1'").arg(typedName(unknown.first())));
        QString text = parser.errorText();
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
        UsageError(text.left(1).toLower() + text.mid(1));
    }

    // Each value with the name it was typed under, in the order given.
    QVector<Given> given;
    QHash<QString, int> seen;
    for (const QString &name : parser.optionNames()) {
        const OptionRow *row = FindOption(name);
        const int occurrence = seen[QLatin1String(row->name)]++;
        given.append({row, typedName(name), parser.values(QLatin1String(row->name)).value(occurrence)});
    }

    // The model, for the refusal of a negative value given before it.
    const ModelEntry *givenModel = nullptr;
    for (const Given &g : given) {
        if (g.row->kind == ValueKind::Model)
            givenModel = FindModel(ModelItemFromText(g.value));
    }

    Invocation inv;
    QStringList positional = parser.positionalArguments();
    // "psuctl help [COMMAND]" is "psuctl [COMMAND] --help".
    if (!positional.isEmpty() && positional.first() == QLatin1String("help")) {
        positional.removeFirst();
        inv.help = true;
    }
    if (!positional.isEmpty())
        inv.command = positional.takeFirst();
    inv.arguments = positional;
    inv.help = inv.help || parser.isSet(QStringLiteral("help"));
    inv.version = parser.isSet(QStringLiteral("version"));
    const CommandRow *command = inv.command.isEmpty() ? nullptr : FindCommand(inv.command);
    if (!inv.command.isEmpty() && !command)
        UsageError(QStringLiteral("unknown command '%1'").arg(inv.command));
    if (inv.help || inv.version)
        return inv;
    if (!command)
        UsageError(QStringLiteral("no command given"));

    for (Given &g : given) {
        g.row = FindOption(QLatin1String(g.row->name), inv.command);
        if (!g.row)
            UsageError(QStringLiteral("%1 does not apply to %2").arg(g.typed, inv.command), inv.command);
        // Line options are told in the general help, the others in the command's.
        const Converter convert(g, g.row->commands ? inv.command : QString(), false, givenModel);
        const QString name = QLatin1String(g.row->name);
        // A list (RANGE,...) given again adds to itself.
        const bool adds = QByteArray(g.row->valueName).endsWith(",...") && inv.values.contains(name);
        if (g.row->kind == ValueKind::Supplies)
            inv.supplies = convert.supplies();
        else
            inv.values.insert(name, adds ? QVariant(inv.text(g.row->name) + QLatin1Char(',') + convert.convert().toString())
                                         : convert.convert());
    }
    for (const OptionRow &row : OptionTable()) {
        const QString name = QLatin1String(row.name);
        if (row.byDefault && OptionApplies(row, inv.command) && !inv.values.contains(name)
            && !inv.defaults.contains(name)) {
            const Given fallback{&row, typedName(name), QLatin1String(row.byDefault)};
            inv.defaults.insert(name, Converter(fallback, inv.command).convert());
        }
    }
    for (SupplyRef &supply : inv.supplies) {
        if (!supply.modelItem)
            supply.modelItem = inv.modelItem();
    }
    inv.line = lineOptions(inv);
    checkNeeded(inv, *command);
    if (command->check)
        command->check(inv);
    return inv;
}
