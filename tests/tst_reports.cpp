// The recorders of a plan run: the JUnit, HTML and CSV files a run leaves and
// the history it keeps in SQLite or PostgreSQL, fed the stream of results a
// three-slot run emits.

#include "plan/historydb.h"
#include "plan/recorders.h"
#include "support_planstream.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString reportFile(const RunRecorders &recorders, const QString &suffix)
{
    for (const QString &file : recorders.files()) {
        if (file.endsWith(suffix))
            return file;
    }
    return QString();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

struct JUnitCounts {
    int suites = 0;
    int cases = 0;
    int failures = 0;
    int errors = 0;
    int declaredTests = 0;    // the sum of the suites' tests attributes
    int declaredFailures = 0; // the sum of the suites' failures attributes
    QStringList failureMessages;
    QMap<QString, QString> properties; // of the first suite
    QString error;
};

JUnitCounts parseJUnit(const QByteArray &data)
{
    JUnitCounts counts;
    QXmlStreamReader xml(data);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto name = xml.name();
        if (name == u"testsuite") {
            ++counts.suites;
            counts.declaredTests += xml.attributes().value(QLatin1String("tests")).toInt();
            counts.declaredFailures += xml.attributes().value(QLatin1String("failures")).toInt();
        } else if (name == u"testcase") {
            ++counts.cases;
        } else if (name == u"failure") {
            ++counts.failures;
            counts.failureMessages << xml.attributes().value(QLatin1String("message")).toString();
        } else if (name == u"error") {
            ++counts.errors;
        } else if (name == u"property" && counts.suites == 1) {
            counts.properties.insert(xml.attributes().value(QLatin1String("name")).toString(),
                                     xml.attributes().value(QLatin1String("value")).toString());
        }
    }
    if (xml.hasError())
        counts.error = xml.errorString();
    return counts;
}

} // namespace

class TestReports : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void junitCounts_data();
    void junitCounts();
    void htmlHoldsEveryCheck();
    void csvHoldsEveryReading();
    void runsNeverOverwriteEachOther();
    void historyNewestFirst();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    RecorderOptions options(bool history = false) const
    {
        RecorderOptions o;
        o.reportDir = m_dir->filePath(QStringLiteral("reports"));
        o.database = m_dir->filePath(QStringLiteral("history.sqlite"));
        o.history = history;
        return o;
    }
};

void TestReports::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestReports::junitCounts_data()
{
    QTest::addColumn<int>("slotCount");
    QTest::addColumn<int>("checks");
    QTest::addColumn<QList<int>>("failing");
    QTest::addColumn<int>("erroredSlot");

    QTest::newRow("one slot, all pass") << 1 << 6 << QList<int>{} << -1;
    QTest::newRow("three slots, two checks fail") << 3 << 7 << QList<int>{2, 5} << -1;
    QTest::newRow("a slot whose supply went silent") << 3 << 4 << QList<int>{} << 1;
    QTest::newRow("no checks at all") << 2 << 0 << QList<int>{} << -1;
}

void TestReports::junitCounts()
{
    QFETCH(int, slotCount);
    QFETCH(int, checks);
    QFETCH(QList<int>, failing);
    QFETCH(int, erroredSlot);

    StreamShape shape;
    shape.slotCount = slotCount;
    shape.checksPerSlot = checks;
    shape.failingChecks = QSet<int>(failing.begin(), failing.end());
    shape.erroredSlot = erroredSlot;
    RunRecorders recorders(options());
    feedStream(recorders, shape);
    QCOMPARE(recorders.problems(), QStringList());

    const JUnitCounts counts = parseJUnit(readAll(reportFile(recorders, QStringLiteral(".xml"))));
    QCOMPARE(counts.error, QString());
    const int extraCases = erroredSlot >= 0 ? 1 : 0;
    QCOMPARE(counts.suites, slotCount);
    QCOMPARE(counts.cases, slotCount * checks + extraCases);
    QCOMPARE(counts.declaredTests, counts.cases);
    QCOMPARE(counts.failures, slotCount * int(failing.size()));
    QCOMPARE(counts.declaredFailures, counts.failures);
    QCOMPARE(counts.errors, extraCases);
    // A failure's message carries the value and both limits.
    for (const QString &message : counts.failureMessages)
        QVERIFY2(QRegularExpression(QStringLiteral(R"(^v_mean_\d+: \d+\.\d{3} V outside \[\d+\.\d{3}, \d+\.\d{3}\] V$)"))
                     .match(message)
                     .hasMatch(),
                 qPrintable(message));
    QCOMPARE(counts.properties.value(QStringLiteral("serial")), QStringLiteral("A1"));
    QCOMPARE(counts.properties.value(QStringLiteral("plan")), QStringLiteral("accuracy"));
    QCOMPARE(counts.properties.value(QStringLiteral("station")), QStringLiteral("eol-3"));
}

void TestReports::htmlHoldsEveryCheck()
{
    StreamShape shape;
    shape.checksPerSlot = 9;
    shape.failingChecks = {4};
    RunRecorders recorders(options());
    feedStream(recorders, shape);
    const QString path = reportFile(recorders, QStringLiteral(".html"));
    QVERIFY(!path.isEmpty());

    // Every check's row: its name, and its value, limits and margin as numbers.
    QXmlStreamReader xml(readAll(path));
    QMap<QString, int> rows; // check name -> rows naming it
    int failedRows = 0, plots = 0, polylines = 0;
    bool external = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == u"svg")
            ++plots;
        if (xml.name() == u"polyline")
            ++polylines;
        // Self-contained: nothing loaded from elsewhere.
        if (xml.attributes().hasAttribute(QLatin1String("src")) || xml.name() == u"link")
            external = true;
        if (xml.name() == u"tr" && xml.attributes().value(QLatin1String("class")).startsWith(u"failed"))
            ++failedRows;
        if (xml.name() == u"tr" && xml.attributes().hasAttribute(QLatin1String("class"))) {
            QStringList cells;
            while (xml.readNextStartElement()) {
                cells << xml.readElementText(QXmlStreamReader::IncludeChildElements);
            }
            QCOMPARE(cells.size(), 9);
            bool numbers = true;
            for (int i = 3; i <= 5; ++i)
                cells.at(i).toDouble(&numbers);
            QVERIFY2(numbers, qPrintable(cells.join(QLatin1Char('|'))));
            rows[cells.at(1)] += 1;
        }
    }
    QCOMPARE(xml.errorString(), QString());
    QVERIFY(!external);
    QCOMPARE(plots, shape.slotCount);
    QCOMPARE(polylines, 2 * shape.slotCount);
    QCOMPARE(failedRows, shape.slotCount);
    QCOMPARE(rows.size(), shape.checksPerSlot);
    for (int check = 0; check < shape.checksPerSlot; ++check)
        QCOMPARE(rows.value(streamCheckName(check)), shape.slotCount);
    const QString page = QString::fromUtf8(readAll(path));
    for (const QString &text : {QStringLiteral("accuracy"), QStringLiteral("1.2"), QStringLiteral("li.wei"),
                                QStringLiteral("eol-3"), QStringLiteral("A1"), QStringLiteral("A3")})
        QVERIFY2(page.contains(text), qPrintable(text));
}

void TestReports::csvHoldsEveryReading()
{
    StreamShape shape;
    shape.checksPerSlot = 5;
    shape.readingsPerCheck = 7;
    RunRecorders recorders(options());
    feedStream(recorders, shape);
    const QStringList lines = QString::fromUtf8(readAll(reportFile(recorders, QStringLiteral(".csv"))))
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1 + shape.slotCount * shape.checksPerSlot * shape.readingsPerCheck);
    QCOMPARE(lines.first(), QStringLiteral("slot,serial,step,") + ReadingHeader(ReadingFormat::Csv));
    const int columns = lines.first().count(QLatin1Char(',')) + 1;
    for (const QString &line : lines)
        QCOMPARE(line.count(QLatin1Char(',')) + 1, columns);
    // Slot C's third reading of the second check: its slot, serial, step and address.
    const QStringList row = lines.at(1 + (1 * shape.slotCount + 2) * shape.readingsPerCheck + 2).split(QLatin1Char(','));
    QCOMPARE(row.mid(0, 3), (QStringList{QStringLiteral("C"), QStringLiteral("A3"), streamStepPath(1)}));
    QCOMPARE(row.at(4), QStringLiteral("17"));
    QCOMPARE(row.at(5), QStringLiteral("QELT30-05"));
}

void TestReports::runsNeverOverwriteEachOther()
{
    StreamShape shape;
    shape.start = QDateTime::currentDateTime();
    QStringList all;
    for (int run = 0; run < 2; ++run) {
        RunRecorders recorders(options());
        feedStream(recorders, shape); // the same plan, started the same second
        QCOMPARE(recorders.files().size(), 3);
        all << recorders.files();
    }
    QCOMPARE(QSet<QString>(all.begin(), all.end()).size(), 6);
    QCOMPARE(QDir(options().reportDir).entryList(QDir::Files).size(), 6);
}

void TestReports::historyNewestFirst()
{
    const QDateTime now = QDateTime::currentDateTime();
    // Three runs of the same units, the newest fed first; the middle one fails.
    for (int run = 2; run >= 0; --run) {
        StreamShape shape;
        shape.start = now.addSecs(-3600 * run);
        shape.failingChecks = run == 1 ? QSet<int>{0} : QSet<int>{};
        RunRecorders recorders(options(true));
        feedStream(recorders, shape);
        QCOMPARE(recorders.problems(), QStringList());
    }
    const QVector<HistoryRow> history = ListHistory(options().database, QStringLiteral("A2"));
    QCOMPARE(history.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(history.at(i).start, now.addSecs(-3600 * i));
        QCOMPARE(history.at(i).serial, QStringLiteral("A2"));
        QCOMPARE(history.at(i).slot, QStringLiteral("B"));
        QCOMPARE(history.at(i).planName, QStringLiteral("accuracy"));
        QCOMPARE(history.at(i).checks, 4);
        QCOMPARE(history.at(i).failed, i == 1 ? 1 : 0);
        QCOMPARE(history.at(i).verdict, i == 1 ? Verdict::Fail : Verdict::Pass);
    }
    QCOMPARE(ListHistory(options().database, QStringLiteral("nobody")).size(), 0);
}

QTEST_MAIN(TestReports)
#include "tst_reports.moc"
