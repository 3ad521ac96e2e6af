#include "app/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Tests and controls programmable DC power supplies on a Modbus RTU line.\n"
        "The port and the model are chosen in the windows; PSUTOOL_LANG and\n"
        "PSUTOOL_MAP (\"COM2=tcp://gw:502;COM3=/dev/ttyUSB1\") do what --lang and\n"
        "--map do, the command line winning."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringLiteral("lang"),
                                        QStringLiteral("The language of the windows: en for English; Chinese "
                                                       "when not given."),
                                        QStringLiteral("code")));
    parser.addOption(QCommandLineOption(QStringLiteral("map"),
                                        QStringLiteral("Opens port COMn over the network or on a device: "
                                                       "tcp://HOST:PORT (Modbus TCP), rtu+tcp://HOST:PORT (a "
                                                       "serial server) or a device path. May be repeated."),
                                        QStringLiteral("COMn=ADDRESS")));
}

} // namespace

int AnswerInformationOptions(int argc, char *argv[])
{
    QStringList arguments;
    for (int n = 0; n < argc; ++n)
        arguments << QString::fromLocal8Bit(argv[n]);
    QCommandLineParser parser;
    describe(parser);
    // The toolkit's own options are unknown here; they do not matter to a
    // question about help or the version.
    parser.parse(arguments);
    const bool help = parser.isSet(QStringLiteral("help"));
    const bool version = parser.isSet(QStringLiteral("version"));
    if (!help && !version)
        return -1;
    QCoreApplication core(argc, argv);
    const QString text = help ? parser.helpText()
                              : QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                             QCoreApplication::applicationVersion());
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    return 0;
}

QString CheckToolArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(arguments))
        return parser.errorText();
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(arguments);
    return QString();
}
