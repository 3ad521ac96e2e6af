#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/serialsettings.h"
#include "app/translation.h"
#include "widgets/uistyle.h"
#include "link/mscomm.h"
#include "link/systemerror.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"
#include "support_state.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

struct CatalogueEntry {
    QString translation;
    QString type; // "unfinished", "obsolete", "vanished" or empty when done
};

// A catalogue's messages by context, source text and disambiguation.
using Catalogue = QMap<QString, CatalogueEntry>;

QString messageKey(const QString &context, const QString &source, const QString &comment)
{
    return context + QStringLiteral(" | ") + source + (comment.isEmpty() ? QString() : QStringLiteral(" | ") + comment);
}

bool readCatalogue(const QString &path, Catalogue *catalogue, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    QString comment;
    CatalogueEntry entry;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const auto name = xml.name();
            if (name == QLatin1String("name")) {
                context = xml.readElementText();
            } else if (name == QLatin1String("message")) {
                source.clear();
                comment.clear();
                entry = CatalogueEntry();
            } else if (name == QLatin1String("source")) {
                source = xml.readElementText();
            } else if (name == QLatin1String("comment")) {
                comment = xml.readElementText();
            } else if (name == QLatin1String("translation")) {
                entry.type = xml.attributes().value(QLatin1String("type")).toString();
                entry.translation = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            }
        } else if (xml.isEndElement() && xml.name() == QLatin1String("message")) {
            catalogue->insert(messageKey(context, source, comment), entry);
        }
    }
    if (xml.hasError()) {
        *error = xml.errorString();
        return false;
    }
    return true;
}

QStringList placeholders(const QString &text)
{
    QStringList found;
    const QRegularExpression marker(QStringLiteral("%\\d+"));
    for (auto match = marker.globalMatch(text); match.hasNext();)
        found << match.next().captured();
    found.sort();
    return found;
}

bool hasHan(const QString &text)
{
    for (const QChar c : text)
        if (c.script() == QChar::Script_Han)
            return true;
    return false;
}

} // namespace

class TranslationsTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase() { DestroyForms(); }

    void languageAskedFor_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QString>("language");
        const QString tool = QStringLiteral("psutool");
        QTest::newRow("nothing asked") << QStringList{tool} << QString() << QString();
        QTest::newRow("option") << QStringList{tool, "--lang", "en"} << QString() << "en";
        QTest::newRow("option with =") << QStringList{tool, "--lang=en_GB"} << QString() << "en";
        QTest::newRow("variable") << QStringList{tool} << "en" << "en";
        QTest::newRow("variable as a locale") << QStringList{tool} << "EN_US.UTF-8" << "en";
        QTest::newRow("option beats variable") << QStringList{tool, "--lang", "zh"} << "en" << "zh";
        QTest::newRow("last option wins") << QStringList{tool, "--lang", "zh", "--lang=en"} << QString() << "en";
        QTest::newRow("option without value") << QStringList{tool, "--lang"} << "en" << "en";
        QTest::newRow("other options") << QStringList{tool, "-platform", "offscreen"} << QString() << QString();
        QTest::newRow("program name is no option") << QStringList{"--lang=en"} << QString() << QString();
    }
    void languageAskedFor()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, environment);
        QFETCH(QString, language);
        QCOMPARE(RequestedLanguage(arguments, environment), language);
    }

    // A new text without English, a text whose English is unfinished or
    // empty, a placeholder lost in translation, or an entry whose source text
    // is gone: each fails here.
    void everySourceTextHasAnEnglishTranslation()
    {
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString scanned = scratch.filePath(QStringLiteral("scanned.ts"));
        QProcess lupdate;
        lupdate.setProcessChannelMode(QProcess::MergedChannels);
        lupdate.start(QStringLiteral(PSUTOOL_LUPDATE),
                      {QStringLiteral("@" PSUTOOL_TRANSLATED_LIST), QStringLiteral("-locations"),
                       QStringLiteral("none"), QStringLiteral("-no-obsolete"), QStringLiteral("-ts"), scanned});
        QVERIFY2(lupdate.waitForFinished(120000), qPrintable(lupdate.errorString()));
        QVERIFY2(lupdate.exitStatus() == QProcess::NormalExit && lupdate.exitCode() == 0,
                 lupdate.readAll().constData());

        Catalogue found;
        QString error;
        QVERIFY2(readCatalogue(scanned, &found, &error), qPrintable(error));
        QVERIFY(!found.isEmpty());

        const QStringList tsFiles = QStringLiteral(PSUTOOL_TS_FILES).split(QLatin1Char(';'));
        for (const QString &tsFile : tsFiles) {
            Catalogue committed;
            QVERIFY2(readCatalogue(tsFile, &committed, &error), qPrintable(tsFile + QStringLiteral(": ") + error));
            QStringList problems;
            for (auto it = found.cbegin(); it != found.cend(); ++it) {
                const auto entry = committed.constFind(it.key());
                if (entry == committed.cend()) {
                    problems << QStringLiteral("not in the catalogue: ") + it.key();
                } else if (!entry->type.isEmpty() || entry->translation.trimmed().isEmpty()) {
                    problems << QStringLiteral("no finished translation: ") + it.key();
                } else {
                    const QString source = it.key().section(QStringLiteral(" | "), 1, 1);
                    if (placeholders(source) != placeholders(entry->translation))
                        problems << QStringLiteral("placeholders differ: ") + it.key();
                }
            }
            for (auto it = committed.cbegin(); it != committed.cend(); ++it) {
                if (!found.contains(it.key()))
                    problems << QStringLiteral("no longer in the sources: ") + it.key();
            }
            if (!problems.isEmpty()) {
                problems << QStringLiteral("Bring %1 up to date with: cmake --build <build> --target "
                                           "update_translations, then translate its unfinished messages.")
                                .arg(tsFile);
                QFAIL(qPrintable(problems.join(QLatin1Char('\n'))));
            }
        }
    }

    // The desktop's language alone changes nothing: the operators read Chinese.
    void withoutAskingTheToolStaysChinese()
    {
        qunsetenv("PSUTOOL_LANG");
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(InstallTranslation(*qApp, {QStringLiteral("psutool")}), QStringLiteral("zh"));
        QCOMPARE(QApplication::applicationDisplayName(), QStringLiteral("精密数控电源测试软件"));
        QCOMPARE(QCoreApplication::translate("TMAIN", "串行口设置"), QStringLiteral("串行口设置"));

        QCOMPARE(InstallTranslation(*qApp, {QStringLiteral("psutool"), QStringLiteral("--lang=xx")}),
                 QStringLiteral("zh"));
        QCOMPARE(QCoreApplication::translate("TMAIN", "串行口设置"), QStringLiteral("串行口设置"));
        QLocale::setDefault(QLocale::c());
    }

    // From here on English is installed, through the variable the menu entry uses.
    void windowsShowEnglish()
    {
        qputenv("PSUTOOL_LANG", "en");
        QCOMPARE(InstallTranslation(*qApp, {QStringLiteral("psutool")}), QStringLiteral("en"));
        qunsetenv("PSUTOOL_LANG");
        QCOMPARE(QApplication::applicationDisplayName(), QStringLiteral("PSU Tester"));

        ResetToolState();
        CreateForms();
        QCOMPARE(MAIN->Label1->text(), QStringLiteral("Power Supply Tester"));
        QCOMPARE(MAIN->BitBtn1->accessibleName(), QStringLiteral("Serial Port"));
        QCOMPARE(MAIN->BitBtn3->accessibleName(), QStringLiteral("Quit"));
        QCOMPARE(POWER_TEST->windowTitle(), QStringLiteral("Supply Test"));
        QCOMPARE(POWER_TEST->StaticText3->text(), QStringLiteral("QELTXX-XX Supply Monitor"));
        QCOMPARE(POWER_TEST->BitBtn1->text(), QStringLiteral("Set Voltage"));
        QCOMPARE(TYP->findChild<QLabel *>(QStringLiteral("StaticText1"))->text(), QStringLiteral("Step"));
    }

    // The launcher's pictures are drawn from the words in the operator's language.
    void buttonPicturesCarryTheEnglishWords()
    {
        const QSize size = MAIN->BitBtn1->iconSize();
        const QImage shown = MAIN->BitBtn1->icon().pixmap(size).toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shown, ButtonPicture(QStringLiteral("Serial Port"), size).toImage().convertToFormat(QImage::Format_RGB32));
        QVERIFY(shown != ButtonPicture(QStringLiteral("串行口设置"), size).toImage().convertToFormat(QImage::Format_RGB32));
    }

    // Captions that change while the tool runs change in English too.
    void togglesNameTheirNextStepInEnglish()
    {
        QCOMPARE(POWER_TEST->Button11->text(), QStringLiteral("Start Monitor"));
        POWER_TEST->Button11Click();
        QCOMPARE(POWER_TEST->Button11->text(), QStringLiteral("Stop Monitor"));
        POWER_TEST->Button11Click();
        QCOMPARE(POWER_TEST->Button11->text(), QStringLiteral("Start Monitor"));
        QVERIFY(!MonitorRunning);
    }

    // The parity list is read by position, so its English entries give the same settings.
    void serialSettingsReadTheEnglishParityList()
    {
        RS232->FormShow();
        QCOMPARE(RS232->ComboBox5->currentText(), QStringLiteral("None"));
        const QStringList letters{QStringLiteral("n"), QStringLiteral("o"), QStringLiteral("e")};
        for (int index = 0; index < RS232->ComboBox5->count(); ++index) {
            RS232->ComboBox5->setCurrentIndex(index);
            QCOMPARE(RS232->SettingsText(), QStringLiteral("9600,%1,8,1").arg(letters.value(index)));
        }
    }

    // Errors of the serial link speak English; the conversion errors are the
    // same in both languages.
    void errorsSpeakEnglish()
    {
        QVERIFY(!MAIN->MSComm1->PortOpen());
        QString text;
        try {
            MAIN->MSComm1->Output(QByteArray(1, '\x01'));
        } catch (const SystemError &error) {
            text = error.text();
        }
        QVERIFY2(!text.isEmpty() && !hasHan(text), qPrintable(text));
        // It names the launcher button by the words the operator sees on it.
        QVERIFY2(text.contains(MAIN->BitBtn1->accessibleName()), qPrintable(text));

        QVERIFY_THROWS_EXCEPTION(SystemError, TextToInteger(QStringLiteral("x1")));
        try {
            TextToInteger(QStringLiteral("x1"));
        } catch (const SystemError &error) {
            QCOMPARE(error.text(), QStringLiteral("'x1' is not a valid integer value"));
        }
    }

private:
    ToolFixture m_fixture;
};

QTEST_MAIN(TranslationsTest)
#include "tst_translations.moc"
