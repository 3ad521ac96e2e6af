#pragma once

#include <QString>
#include <QStringList>

class QApplication;

// The language the operator asked for, as a lower-case code ("en", "zh"):
// from "--lang CODE" or "--lang=CODE" among the arguments, else from the
// value of PSUTOOL_LANG (passed in as environment); empty when neither names
// one. The desktop's locale is not consulted: the tool's operators read
// Chinese, so it speaks Chinese unless asked otherwise.
QString RequestedLanguage(const QStringList &arguments, const QString &environment);

// Loads the catalogue of the language asked for by the arguments or by
// PSUTOOL_LANG (Chinese, the language of the source texts, needs none) and
// names the application in that language. Returns the language in use, "zh"
// or "en"; a language without a catalogue is reported on stderr and leaves
// the tool in Chinese.
QString InstallTranslation(QApplication &app, const QStringList &arguments);
