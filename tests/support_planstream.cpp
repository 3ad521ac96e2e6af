#include "support_planstream.h"

#include "link/modelcatalogue.h"

#include <QUuid>
#include <cmath>

RunInfo streamRunInfo(const StreamShape &shape)
{
    RunInfo info;
    info.runId = shape.runId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : shape.runId;
    info.planName = QStringLiteral("accuracy");
    info.planVersion = QStringLiteral("1.2");
    info.planFile = QStringLiteral("examples/plans/accuracy.toml");
    info.station = QStringLiteral("eol-3");
    info.operatorName = QStringLiteral("li.wei");
    info.toolVersion = QStringLiteral("0.1");
    info.port = QStringLiteral("/dev/ttyUSB0");
    info.start = shape.start;
    const int addresses[] = {1, 5, 17, 2, 3, 4, 6, 7};
    for (int slot = 0; slot < shape.slotCount; ++slot) {
        SlotInfo unit;
        unit.index = slot;
        unit.name = QString(QChar(u'A' + slot));
        unit.address = slot < 8 ? addresses[slot] : slot + 10;
        unit.model = QStringLiteral("QELT30-05");
        unit.serial = shape.serialPrefix + QString::number(slot + 1);
        info.slotList.append(unit);
    }
    return info;
}

QString streamCheckName(int check)
{
    return QStringLiteral("v_mean_%1").arg(check);
}

QString streamStepPath(int check)
{
    return QStringLiteral("3.%1[%2]").arg(check % 3 + 1).arg(check / 3);
}

void feedStream(PlanListener &listener, const StreamShape &shape, int stopAfterChecks)
{
    const RunInfo info = streamRunInfo(shape);
    const ReadingModel model(FindModel(1)); // 30 V, 5 A: 0.01 V and 0.001 A
    listener.runStarted(info);
    if (stopAfterChecks == 0)
        return;
    qint64 ms = 0;
    int judged = 0;
    for (int check = 0; check < shape.checksPerSlot; ++check) {
        // The setpoint walks 10 %, 50 %, 90 % of the range.
        const double setVolts = 30.0 * (check % 3 == 0 ? 0.1 : check % 3 == 1 ? 0.5 : 0.9);
        for (int slot = 0; slot < shape.slotCount; ++slot) {
            StepEvent step;
            step.slot = slot;
            step.path = streamStepPath(check);
            step.kind = QStringLiteral("measure");
            step.label = QStringLiteral("measure at %1 V").arg(setVolts, 0, 'f', 1);
            step.started = info.start.addMSecs(ms);
            listener.stepStarted(step);
            const bool failing = shape.failingChecks.contains(check) && (shape.failingSlot < 0 || shape.failingSlot == slot);
            double sum = 0;
            for (int r = 0; r < shape.readingsPerCheck; ++r) {
                ReadingEvent reading;
                reading.slot = slot;
                reading.path = step.path;
                const QDateTime time = info.start.addMSecs(ms += 50);
                const double volts = setVolts + (failing ? 0.25 : 0.01 * ((r + slot) % 3 - 1));
                const double amps = 0.5 + 0.2 * std::sin(double(ms) / 4000.0) + 0.1 * slot;
                const StatusBlock block{quint16(std::lround(setVolts * 100)), 1000, quint16(std::lround(volts * 100)),
                                        quint16(std::lround(amps * 1000)), true};
                reading.sample = DecodeReading(block, model, info.slotList.at(slot).address, time,
                                               quint16(std::lround(volts * amps * 100)));
                sum += reading.sample.volts;
                listener.reading(reading);
            }
            CheckResult result;
            result.slot = slot;
            result.path = step.path;
            result.name = streamCheckName(check);
            result.quantity = QStringLiteral("voltage");
            result.statistic = QStringLiteral("mean");
            result.unit = QStringLiteral("V");
            result.decimals = 3;
            result.value = shape.readingsPerCheck > 0 ? sum / shape.readingsPerCheck : setVolts;
            result.low = setVolts * 0.995 - 0.02;
            result.high = setVolts * 1.005 + 0.02;
            result.passed = result.value >= *result.low && result.value <= *result.high;
            result.time = info.start.addMSecs(ms);
            listener.checkJudged(result);
            step.ended = result.time;
            step.actualMs = step.started.msecsTo(step.ended);
            listener.stepEnded(step);
            if (++judged == stopAfterChecks)
                return;
        }
    }
    RunEnd end;
    end.overall = Verdict::Pass;
    for (int slot = 0; slot < shape.slotCount; ++slot) {
        SlotVerdict verdict;
        verdict.slot = slot;
        verdict.checks = shape.checksPerSlot;
        verdict.failed = shape.failingSlot < 0 || shape.failingSlot == slot ? shape.failingChecks.size() : 0;
        verdict.verdict = slot == shape.erroredSlot                            ? Verdict::Error
                          : verdict.failed > 0 || slot == shape.causedFailSlot ? Verdict::Fail
                                                                               : Verdict::Pass;
        if (verdict.verdict == Verdict::Error)
            verdict.cause = QStringLiteral("address %1: no valid reply after 2 tries").arg(info.slotList.at(slot).address);
        else if (verdict.failed == 0 && slot == shape.causedFailSlot)
            verdict.cause = QStringLiteral("'ovp off': output was off before the limit was written");
        else if (verdict.verdict == Verdict::Fail)
            verdict.cause = QStringLiteral("check '%1' failed").arg(streamCheckName(*shape.failingChecks.begin()));
        verdict.end = info.start.addMSecs(ms += 10);
        if (verdict.verdict != Verdict::Pass && end.overall != Verdict::Fail)
            end.overall = verdict.verdict;
        listener.slotFinished(verdict);
    }
    end.end = info.start.addMSecs(ms += 10);
    listener.runFinished(end);
}
