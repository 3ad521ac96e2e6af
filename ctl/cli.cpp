#include "ctl/cli.h"

#include "ctl/ctlerror.h"
#include "ctl/supplyio.h"
#include "link/modelcatalogue.h"

#include <QLocale>
#include <QRegularExpression>
#include <cmath>
#include <vector>

namespace {

// Where an option applies: everywhere (the line options) or to the commands listed.
struct OptionInfo {
    char shortName;
    const char *longName;
    bool takesValue;
    const char *commands; // nullptr: every command
};

const OptionInfo Options[] = {
    {'p', "port", true, nullptr},
    {'b', "baud", true, nullptr},
    {'P', "parity", true, nullptr},
    {'d', "data-bits", true, nullptr},
    {'s', "stop-bits", true, nullptr},
    {'o', "timeout", true, nullptr},
    {0, "retries", true, nullptr},
    {'v', "verbose", false, nullptr},
    {'h', "help", false, nullptr},
    {0, "version", false, nullptr},
    {'a', "address", true, "status set run calibrate mqtt"},
    {'m', "model", true, "status set run mqtt"},
    {0, "from", true, "scan"},
    {0, "to", true, "scan"},
    {0, "watch", true, "status"},
    {0, "count", true, "status"},
    {0, "format", true, "status"},
    {0, "voltage", true, "set"},
    {0, "current", true, "set"},
    {0, "ovp", true, "set"},
    {0, "ocp", true, "set"},
    {0, "output", true, "set"},
    {0, "lock", true, "set"},
    {0, "power", true, "set"},
    {0, "power-control", true, "set"},
    {0, "pid", true, "set"},
    {0, "new-address", true, "set"},
    {0, "cycles", true, "run"},
    {0, "voltage-code", true, "calibrate"},
    {0, "current-code", true, "calibrate"},
    {0, "broker", true, "mqtt"},
    {0, "prefix", true, "mqtt"},
    {0, "bench", true, "mqtt"},
    {0, "poll", true, "mqtt"},
    {0, "username", true, "mqtt"},
    {0, "password-file", true, "mqtt"},
    {0, "cafile", true, "mqtt"},
    {0, "homeassistant", false, "mqtt"},
    {0, "discovery-prefix", true, "mqtt"},
    {0, "failsafe-off", true, "mqtt"},
    {0, "client-id", true, "mqtt"},
};

const char *const Commands[] = {"models", "scan", "status", "set", "run", "calibrate", "mqtt"};

struct Given {
    const OptionInfo *option;
    QString typed; // as on the command line, for messages
    QString value;
};

bool isCommand(const QString &word)
{
    for (const char *command : Commands) {
        if (word == QLatin1String(command))
            return true;
    }
    return false;
}

[[noreturn]] void usage(const QString &text, const QString &command = QString())
{
    Fail(ExitUsage, QStringLiteral("%1; see 'psuctl %2--help'")
                        .arg(text, command.isEmpty() ? QString() : command + QLatin1Char(' ')));
}

const OptionInfo *findLong(const QString &name)
{
    for (const OptionInfo &option : Options) {
        if (name == QLatin1String(option.longName))
            return &option;
    }
    return nullptr;
}

const OptionInfo *findShort(QChar name)
{
    for (const OptionInfo &option : Options) {
        if (option.shortName && name == QLatin1Char(option.shortName))
            return &option;
    }
    return nullptr;
}

bool appliesTo(const OptionInfo &option, const QString &command)
{
    if (!option.commands)
        return true;
    return QString::fromLatin1(option.commands).split(QLatin1Char(' ')).contains(command);
}

class Converter
{
public:
    explicit Converter(const QString &command) : m_command(command) {}

    int whole(const Given &given, int min, int max) const
    {
        bool ok = false;
        const int value = given.value.toInt(&ok);
        if (!ok || value < min || value > max)
            usage(QStringLiteral("%1 '%2': not a whole number from %3 to %4").arg(given.typed, given.value).arg(min).arg(max),
                  m_command);
        return value;
    }

    double decimal(const Given &given, double min, double max) const
    {
        bool ok = false;
        const double value = QLocale::c().toDouble(given.value, &ok);
        if (!ok || !std::isfinite(value) || value < min || value > max)
            usage(QStringLiteral("%1 '%2': not a number from %3 to %4")
                      .arg(given.typed, given.value, PlainNumber(min), PlainNumber(max)),
                  m_command);
        return value;
    }

    bool onOff(const Given &given) const
    {
        if (given.value == QLatin1String("on"))
            return true;
        if (given.value == QLatin1String("off"))
            return false;
        usage(QStringLiteral("%1 '%2': on or off").arg(given.typed, given.value), m_command);
    }

    int choice(const Given &given, const QStringList &choices) const
    {
        const int index = int(choices.indexOf(given.value));
        if (index < 0)
            usage(QStringLiteral("%1 '%2': one of %3").arg(given.typed, given.value, choices.join(QStringLiteral(", "))),
                  m_command);
        return index;
    }

private:
    QString m_command;
};

void applyLineOption(const Given &given, const Converter &convert, LineOptions &line)
{
    const QString name = QLatin1String(given.option->longName);
    if (name == QLatin1String("port")) {
        if (given.value.isEmpty())
            usage(QStringLiteral("%1: a port name or device path is needed").arg(given.typed));
        line.port = given.value;
    } else if (name == QLatin1String("baud")) {
        static const QStringList rates = {QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("4800"),
                                          QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
                                          QStringLiteral("57600"), QStringLiteral("115200")};
        line.serial.baud = rates.at(convert.choice(given, rates)).toInt();
    } else if (name == QLatin1String("parity")) {
        static const QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::EvenParity,
                                                       QSerialPort::OddParity};
        line.serial.parity =
            parities[convert.choice(given, {QStringLiteral("none"), QStringLiteral("even"), QStringLiteral("odd")})];
    } else if (name == QLatin1String("data-bits")) {
        line.serial.dataBits = QSerialPort::DataBits(convert.whole(given, 7, 8));
    } else if (name == QLatin1String("stop-bits")) {
        line.serial.stopBits = convert.whole(given, 1, 2) == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop;
    } else if (name == QLatin1String("timeout")) {
        line.timeoutUs = int(std::lround(convert.decimal(given, 0.01, 10) * 1e6));
    } else if (name == QLatin1String("retries")) {
        line.retries = convert.whole(given, 0, 10);
    } else if (name == QLatin1String("verbose")) {
        line.verbose = true;
    }
}

// "1,5,17", "1-8" or "1:QELT30-05,5:QELT60-05": addresses, each with its model
// where it differs from -m.
void supplyList(const Given &given, const Converter &convert, QVector<BridgeSupply> &supplies)
{
    for (const QString &entry : given.value.split(QLatin1Char(','))) {
        const int colon = int(entry.indexOf(QLatin1Char(':')));
        const QString addresses = colon < 0 ? entry : entry.left(colon);
        int model = 0;
        if (colon >= 0) {
            model = ModelItemFromText(entry.mid(colon + 1));
            if (!model)
                usage(QStringLiteral("%1 '%2': no such model ('psuctl models' lists them)").arg(given.typed, entry.mid(colon + 1)));
        }
        const int dash = int(addresses.indexOf(QLatin1Char('-')));
        const int first = convert.whole({given.option, given.typed, dash < 0 ? addresses : addresses.left(dash)}, 1, 247);
        const int last = dash < 0 ? first : convert.whole({given.option, given.typed, addresses.mid(dash + 1)}, first, 247);
        for (int address = first; address <= last; ++address) {
            for (const BridgeSupply &listed : supplies) {
                if (listed.address == address)
                    usage(QStringLiteral("%1: address %2 is listed twice").arg(given.typed).arg(address));
            }
            supplies.append({address, model});
        }
    }
}

void applyCommandOption(const Given &given, const Converter &convert, Invocation &inv)
{
    const QString name = QLatin1String(given.option->longName);
    if (name == QLatin1String("address") && inv.command == QLatin1String("mqtt")) {
        supplyList(given, convert, inv.bridge.supplies);
    } else if (name == QLatin1String("address")) {
        inv.address = convert.whole(given, 1, 247);
    } else if (name == QLatin1String("model")) {
        inv.modelItem = ModelItemFromText(given.value);
        if (!inv.modelItem)
            usage(QStringLiteral("%1 '%2': no such model ('psuctl models' lists them)").arg(given.typed, given.value),
                  inv.command);
    } else if (name == QLatin1String("from")) {
        inv.from = convert.whole(given, 1, 247);
    } else if (name == QLatin1String("to")) {
        inv.to = convert.whole(given, 1, 247);
    } else if (name == QLatin1String("watch")) {
        inv.watchMs = convert.whole(given, 1, 86400000);
    } else if (name == QLatin1String("count")) {
        inv.count = convert.whole(given, 1, 2000000000);
    } else if (name == QLatin1String("format")) {
        inv.format = ReadingFormat(
            convert.choice(given, {QStringLiteral("table"), QStringLiteral("csv"), QStringLiteral("json")}));
    } else if (name == QLatin1String("voltage")) {
        inv.voltage = convert.decimal(given, 0, SetValueMax);
    } else if (name == QLatin1String("current")) {
        inv.current = convert.decimal(given, 0, SetValueMax);
    } else if (name == QLatin1String("ovp")) {
        inv.ovp = convert.decimal(given, 0, SetValueMax);
    } else if (name == QLatin1String("ocp")) {
        inv.ocp = convert.decimal(given, 0, SetValueMax);
    } else if (name == QLatin1String("power")) {
        inv.power = convert.decimal(given, 0, SetValueMax);
    } else if (name == QLatin1String("output")) {
        inv.output = convert.onOff(given);
    } else if (name == QLatin1String("lock")) {
        inv.lock = convert.onOff(given);
    } else if (name == QLatin1String("power-control")) {
        inv.powerControl = convert.onOff(given);
    } else if (name == QLatin1String("pid")) {
        inv.pid = convert.onOff(given);
    } else if (name == QLatin1String("new-address")) {
        inv.newAddress = convert.whole(given, 1, 247);
    } else if (name == QLatin1String("cycles")) {
        inv.cycles = convert.whole(given, 1, 1000000);
    } else if (name == QLatin1String("voltage-code")) {
        inv.voltageCode = convert.whole(given, 0, 20);
    } else if (name == QLatin1String("current-code")) {
        inv.currentCode = convert.whole(given, 0, 200);
    } else if (name == QLatin1String("broker")) {
        const int colon = int(given.value.lastIndexOf(QLatin1Char(':')));
        inv.bridge.host = colon < 0 ? given.value : given.value.left(colon);
        if (colon >= 0)
            inv.bridge.port = convert.whole({given.option, given.typed, given.value.mid(colon + 1)}, 1, 65535);
        if (inv.bridge.host.isEmpty())
            usage(QStringLiteral("%1: a host name is needed").arg(given.typed), inv.command);
    } else if (name == QLatin1String("prefix") || name == QLatin1String("bench")) {
        static const QRegularExpression level(QStringLiteral("^[^/#+]+$"));
        if (!level.match(given.value).hasMatch())
            usage(QStringLiteral("%1 '%2': one topic level, without / # +").arg(given.typed, given.value), inv.command);
        (name == QLatin1String("prefix") ? inv.bridge.prefix : inv.bridge.bench) = given.value;
    } else if (name == QLatin1String("poll")) {
        inv.bridge.pollMs = convert.whole(given, 10, 86400000);
    } else if (name == QLatin1String("username")) {
        inv.bridge.username = given.value;
    } else if (name == QLatin1String("password-file")) {
        inv.bridge.passwordFile = given.value;
    } else if (name == QLatin1String("cafile")) {
        inv.bridge.caFile = given.value;
    } else if (name == QLatin1String("homeassistant")) {
        inv.bridge.homeAssistant = true;
    } else if (name == QLatin1String("discovery-prefix")) {
        inv.bridge.discoveryPrefix = given.value;
    } else if (name == QLatin1String("failsafe-off")) {
        inv.bridge.failsafeOffSeconds = convert.whole(given, 1, 86400);
    } else if (name == QLatin1String("client-id")) {
        inv.bridge.clientId = given.value;
    }
}

void checkComplete(const Invocation &inv, const QStringList &positional)
{
    const QString &command = inv.command;
    const bool takesFile = command == QLatin1String("run");
    if (positional.size() > (takesFile ? 1 : 0))
        usage(QStringLiteral("unexpected argument '%1'").arg(positional.at(takesFile ? 1 : 0)), command);
    if (takesFile && positional.isEmpty())
        usage(QStringLiteral("run needs a steps file"), command);
    if (command == QLatin1String("models"))
        return;
    if (command == QLatin1String("mqtt")) {
        if (inv.bridge.supplies.isEmpty())
            usage(QStringLiteral("mqtt needs the bus addresses (-a)"), command);
        for (const BridgeSupply &supply : inv.bridge.supplies) {
            if (!supply.modelItem && !inv.modelItem)
                usage(QStringLiteral("mqtt needs the model of address %1 (-m, or -a %1:MODEL)").arg(supply.address), command);
        }
        return;
    }
    if (command == QLatin1String("scan")) {
        if (inv.from > inv.to)
            usage(QStringLiteral("--from %1 is above --to %2").arg(inv.from).arg(inv.to), command);
        return;
    }
    if (!inv.address)
        usage(QStringLiteral("%1 needs the bus address (-a)").arg(command), command);
    const bool inUnits = inv.voltage || inv.current || inv.ovp || inv.ocp;
    if (!inv.modelItem && (command == QLatin1String("status") || command == QLatin1String("run") || inUnits))
        usage(QStringLiteral("%1 needs the model (-m)").arg(command), command);
    if (command == QLatin1String("set") && !inUnits && !inv.power && !inv.output && !inv.lock && !inv.powerControl
        && !inv.pid && !inv.newAddress)
        usage(QStringLiteral("set needs at least one value to write"), command);
    if (inv.ovp) {
        const QString refusal = OvpRefusal(*inv.ovp, *FindModel(inv.modelItem));
        if (!refusal.isEmpty())
            usage(QStringLiteral("--ovp ") + refusal, command);
    }
    if (command == QLatin1String("calibrate") && bool(inv.voltageCode) == bool(inv.currentCode))
        usage(QStringLiteral("calibrate takes one of --voltage-code and --current-code"), command);
}

} // namespace

Invocation ParseArguments(const QStringList &arguments)
{
    Invocation inv;
    std::vector<Given> given;
    QStringList positional;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == QLatin1String("--")) {
            positional += arguments.mid(i + 1);
            break;
        }
        const OptionInfo *option = nullptr;
        QString typed;
        std::optional<QString> value;
        if (arg.startsWith(QLatin1String("--"))) {
            const int equals = int(arg.indexOf(QLatin1Char('=')));
            typed = equals < 0 ? arg : arg.left(equals);
            option = findLong(typed.mid(2));
            if (equals >= 0)
                value = arg.mid(equals + 1);
        } else if (arg.size() > 1 && arg.startsWith(QLatin1Char('-'))) {
            typed = arg.left(2);
            option = findShort(arg.at(1));
            if (arg.size() > 2)
                value = arg.mid(2);
        } else {
            positional << arg;
            continue;
        }
        if (!option)
            usage(QStringLiteral("unknown option '%1'").arg(typed));
        if (!option->takesValue && value)
            usage(QStringLiteral("%1 takes no value").arg(typed));
        if (option->takesValue && !value) {
            if (i + 1 >= arguments.size())
                usage(QStringLiteral("%1 needs a value").arg(typed));
            value = arguments.at(++i);
        }
        given.push_back({option, typed, value.value_or(QString())});
    }

    // "psuctl help [COMMAND]" is "psuctl [COMMAND] --help".
    if (!positional.isEmpty() && positional.first() == QLatin1String("help")) {
        positional.removeFirst();
        given.push_back({findLong(QStringLiteral("help")), QStringLiteral("--help"), QString()});
    }
    if (!positional.isEmpty())
        inv.command = positional.takeFirst();
    for (const Given &g : given) {
        inv.help = inv.help || QLatin1String(g.option->longName) == QLatin1String("help");
        inv.version = inv.version || QLatin1String(g.option->longName) == QLatin1String("version");
    }
    if (!inv.command.isEmpty() && !isCommand(inv.command))
        usage(QStringLiteral("unknown command '%1'").arg(inv.command));
    if (inv.help || inv.version)
        return inv;
    if (inv.command.isEmpty())
        usage(QStringLiteral("no command given"));

    // Line options are told in the general help, the others in the command's.
    const Converter convertLine{QString()};
    const Converter convert(inv.command);
    for (const Given &g : given) {
        if (!appliesTo(*g.option, inv.command))
            usage(QStringLiteral("%1 does not apply to %2").arg(g.typed, inv.command), inv.command);
        if (g.option->commands)
            applyCommandOption(g, convert, inv);
        else
            applyLineOption(g, convertLine, inv.line);
    }
    checkComplete(inv, positional);
    for (BridgeSupply &supply : inv.bridge.supplies)
        supply.modelItem = supply.modelItem ? supply.modelItem : inv.modelItem;
    if (inv.command == QLatin1String("run"))
        inv.stepsFile = positional.first();
    return inv;
}
