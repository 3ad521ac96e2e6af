#include "app/translation.h"

#include <QApplication>
#include <QStringList>
#include <QTranslator>

#include <cstdio>

namespace {

const QString kSourceLanguage = QStringLiteral("zh");

// "en", "EN", "en_US", "en-GB.UTF-8" all ask for "en".
QString languageCode(const QString &text)
{
    QString code = text.trimmed().toLower();
    for (qsizetype n = 0; n < code.size(); ++n) {
        if (QStringLiteral("_-.@").contains(code.at(n))) {
            code.truncate(n);
            break;
        }
    }
    return code;
}

} // namespace

QString RequestedLanguage(const QStringList &arguments, const QString &environment)
{
    const QString option = QStringLiteral("--lang");
    // The last --lang wins, as with any repeated option; arguments[0] is the program.
    QString asked;
    bool found = false;
    for (qsizetype n = 1; n < arguments.size(); ++n) {
        const QString &argument = arguments.at(n);
        if (argument == option && n + 1 < arguments.size()) {
            asked = arguments.at(++n);
            found = true;
        } else if (argument.startsWith(option + QLatin1Char('='))) {
            asked = argument.mid(option.size() + 1);
            found = true;
        }
    }
    return languageCode(found ? asked : environment);
}

QString InstallTranslation(QApplication &app, const QStringList &arguments)
{
    const QString language = RequestedLanguage(arguments, qEnvironmentVariable("PSUTOOL_LANG"));
    QString inUse = kSourceLanguage;
    if (!language.isEmpty() && language != kSourceLanguage) {
        // The catalogues are compiled into the windows library.
        auto *translator = new QTranslator(&app);
        if (translator->load(QStringLiteral(":/translations/psutool_%1.qm").arg(language))) {
            QCoreApplication::installTranslator(translator);
            inUse = language;
        } else {
            delete translator;
            std::fprintf(stderr, "psutool: no translation for language \"%s\"; the texts stay Chinese\n",
                         qPrintable(language));
        }
    }
    // Message boxes carry this name in their title bar, the main window too,
    // and every other window after its own title: in English a short one, so
    // that the narrow windows' titles are not cut off.
    QApplication::setApplicationDisplayName(
        QCoreApplication::translate("TMAIN", "精密数控电源测试软件", "the name in title bars"));
    return inUse;
}
