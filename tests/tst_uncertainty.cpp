// The uncertainty budget and the decision rule, in-process: published worked
// examples, a budget computed by hand, and the rule at each of its boundaries.

#include "plan/uncertainty.h"

#include <QtTest>

Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(DecisionRule)
Q_DECLARE_METATYPE(Verdict)

class TestUncertainty : public QObject
{
    Q_OBJECT

private slots:
    void publishedExamples();
    void budgetOfAMeterReading();
    void decision_data();
    void decision();
};

void TestUncertainty::publishedExamples()
{
    // JCGM 100:2008 (the GUM), 4.3.7: a handbook states that the error of the
    // expansion coefficient of copper "should not exceed 0.40 × 10^-6 /°C";
    // taken as rectangular, u = 0.40 × 10^-6 / √3 = 0.23 × 10^-6 /°C.
    QVERIFY(qAbs(RectangularUncertainty(0.40e-6) - 0.23e-6) < 0.005e-6);
    // JCGM 100:2008, F.2.2.1: an indication of resolution δx contributes
    // u = 0.29 δx (a rectangular distribution of half-width δx/2).
    const UncertaintyBudget resolutionOnly = EvaluateUncertainty({5.0}, AccuracySpec{10, 0, 0, 0.001}, 0);
    QVERIFY(qAbs(resolutionOnly.referenceResolution - 0.29e-3) < 0.005e-3);
    QCOMPARE(resolutionOnly.repeatability, 0.0); // one reading: no Type A term
    // The standard deviation of the mean of 10.0, 10.2, 9.9, 10.1, by hand:
    // squares of deviations 0.05 in all, s = √(0.05/3) = 0.129099, / √4.
    QVERIFY(qAbs(StandardDeviationOfMean({10.0, 10.2, 9.9, 10.1}) - 0.0645497) < 1e-6);
}

void TestUncertainty::budgetOfAMeterReading()
{
    // Four readings of a 12 V output on the 100 V range of a meter specified
    // ±(0.0035 % of reading + 0.0005 % of range), resolution 10 µV, of a
    // supply set in 10 mV steps. By hand: mean 12.0004 V; the specification's
    // limit 0.000420014 + 0.0005 V, / √3 = 531.170 µV; resolution 10 µV / √12
    // = 2.887 µV; s = 258.199 µV, / √4 = 129.099 µV; the supply's step
    // 10 mV / √12 = 2886.751 µV; combined 2938.052 µV, and U = 5876.104 µV.
    const UncertaintyBudget b
        = EvaluateUncertainty({12.0003, 12.0007, 12.0001, 12.0005}, AccuracySpec{100, 0.0035, 0.0005, 1e-5}, 0.01);
    QVERIFY(qAbs(b.mean - 12.0004) < 1e-9);
    QCOMPARE(b.readings, 4);
    const struct {
        const char *term;
        double value, expected;
    } terms[] = {{"specification", b.specification, 531.170e-6},
                 {"reference resolution", b.referenceResolution, 2.887e-6},
                 {"repeatability", b.repeatability, 129.099e-6},
                 {"supply resolution", b.supplyResolution, 2886.751e-6},
                 {"combined", b.combined, 2938.052e-6},
                 {"expanded", b.expanded, 5876.104e-6}};
    for (const auto &t : terms)
        QVERIFY2(qAbs(t.value - t.expected) < 0.001e-6, t.term);
    QCOMPARE(b.coverage, 2.0);
}

void TestUncertainty::decision_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<std::optional<double>>("low");
    QTest::addColumn<std::optional<double>>("high");
    QTest::addColumn<double>("expanded");
    QTest::addColumn<DecisionRule>("rule");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<bool>("guarded");

    using O = std::optional<double>;
    const auto S = DecisionRule::Simple;
    const auto G = DecisionRule::Guarded;
    const auto P = Verdict::Pass, C = Verdict::Conditional, F = Verdict::Fail;
    // 11.9 to 12.1 V: the half width 0.1 V is 4 × 0.025 V.
    QTest::newRow("ratio exactly 4: simple") << 12.09 << O(11.9) << O(12.1) << 0.025 << S << P << false;
    QTest::newRow("ratio just under 4: guarded") << 12.09 << O(11.9) << O(12.1) << 0.0251 << S << C << true;
    QTest::newRow("guarded rule at ratio 4") << 12.09 << O(11.9) << O(12.1) << 0.025 << G << C << true;
    QTest::newRow("simple: at the high limit") << 12.1 << O(11.9) << O(12.1) << 0.025 << S << P << false;
    QTest::newRow("simple: a step beyond high") << 12.1001 << O(11.9) << O(12.1) << 0.025 << S << F << false;
    QTest::newRow("simple: at the low limit") << 11.9 << O(11.9) << O(12.1) << 0.025 << S << P << false;
    QTest::newRow("simple: a step below low") << 11.8999 << O(11.9) << O(12.1) << 0.025 << S << F << false;
    // U = 0.05 V: acceptance 11.95 to 12.05 V.
    QTest::newRow("at the high guard band") << 12.05 << O(11.9) << O(12.1) << 0.05 << S << P << true;
    QTest::newRow("a step into the high band") << 12.0501 << O(11.9) << O(12.1) << 0.05 << S << C << true;
    QTest::newRow("at the low guard band") << 11.95 << O(11.9) << O(12.1) << 0.05 << S << P << true;
    QTest::newRow("a step into the low band") << 11.9499 << O(11.9) << O(12.1) << 0.05 << S << C << true;
    QTest::newRow("guarded: at the limit") << 11.9 << O(11.9) << O(12.1) << 0.05 << G << C << true;
    QTest::newRow("guarded: a step beyond") << 11.8999 << O(11.9) << O(12.1) << 0.05 << G << F << true;
    QTest::newRow("one-sided low, in the band") << 11.905 << O(11.9) << O() << 0.01 << S << C << true;
    QTest::newRow("one-sided low, past the band") << 11.91 << O(11.9) << O() << 0.01 << S << P << true;
    QTest::newRow("one-sided high, beyond") << 5.0001 << O() << O(5.0) << 0.01 << S << F << true;
    QTest::newRow("no uncertainty: at the limit") << 12.1 << O(11.9) << O(12.1) << 0.0 << G << P << false;
    QTest::newRow("bands meet: nothing passes") << 12.0 << O(11.99) << O(12.01) << 0.02 << G << C << true;
}

void TestUncertainty::decision()
{
    QFETCH(double, value);
    QFETCH(std::optional<double>, low);
    QFETCH(std::optional<double>, high);
    QFETCH(double, expanded);
    QFETCH(DecisionRule, rule);
    QFETCH(Verdict, verdict);
    QFETCH(bool, guarded);

    const Decision d = Decide(value, low, high, expanded, rule);
    QCOMPARE(VerdictWord(d.verdict), VerdictWord(verdict));
    QCOMPARE(d.guarded, guarded);
}

QTEST_GUILESS_MAIN(TestUncertainty)
#include "tst_uncertainty.moc"
