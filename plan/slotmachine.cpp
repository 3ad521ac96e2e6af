#include "plan/slotmachine.h"

#include "plan/references.h"

#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/replies.h"

SlotMachine::SlotMachine(RunState &run, int i) : index(i), m_run(run)
{
    info = run.info.slotList.value(i);
    const PlanSlot &slot = run.plan.slotList.at(i);
    info.index = i;
    info.name = slot.name;
    info.address = slot.address;
    info.model = slot.model;
    m_model = FindModel(ModelItemFromText(slot.model));
}

void SlotMachine::schedule(TimePoint when, bool bus, Action action)
{
    due = when;
    usesBus = bus;
    m_next = std::move(action);
}

void SlotMachine::start(TimePoint now)
{
    m_frames.append(Frame{&m_run.plan.steps->steps, 0, QString(), nullptr, QString(), 0, m_run.plan.steps->onFail, {}, {}});
    // A first reading: the supply answers, and the setpoints in force are known.
    schedule(now, true, [this] {
        readStatus();
        advance();
    });
}

void SlotMachine::act()
{
    Action action = std::move(m_next);
    m_next = nullptr;
    if (action)
        action();
    m_endedRunners.clear();
}

Reading SlotMachine::readStatus()
{
    const QVector<quint16> registers = m_run.bus.read(info.address, VoltageSetpoint, 9);
    const Reading sample = DecodeReading(DecodeStatusRegisters(registers.mid(0, 5)), m_model, info.address,
                                         m_run.wall(Clock::now()), registers.value(OutputPower - VoltageSetpoint));
    ReadingEvent event{index, m_path, sample};
    m_run.tell([&](PlanListener &l) { l.reading(event); });
    return sample;
}

void SlotMachine::advance()
{
    m_step = nullptr;
    while (!m_frames.isEmpty()) {
        Frame &frame = m_frames.last();
        if (frame.next < int(frame.steps->size())) {
            const int number = frame.next++;
            const PlanStep &step = *frame.steps->at(number);
            QString path = QString::number(number + 1);
            if (!frame.prefix.isEmpty())
                path = QStringLiteral("%1.%2[%3]").arg(frame.prefix).arg(number + 1).arg(frame.pass + 1);
            else if (m_inFinally)
                path = QStringLiteral("finally.%1").arg(number + 1);
            const OnFail onFail = step.onFail == OnFail::Inherit ? frame.onFail : step.onFail;
            beginStep(step, path, onFail);
            return;
        }
        if (frame.owner && frame.pass + 1 < frame.owner->passes()) {
            ++frame.pass;
            frame.next = 0;
            if (frame.owner->beforePass(*this, frame.pass))
                return;
            continue;
        }
        endOwner(frame);
        m_frames.removeLast();
    }
    if (!m_inFinally)
        enterFinally();
    else
        finish();
}

void SlotMachine::endOwner(Frame &frame)
{
    if (!frame.owner)
        return;
    const TimePoint now = Clock::now();
    StepEvent event{index, frame.ownerPath, frame.owner->type, frame.owner->label, frame.ownerStartedWall,
                    m_run.wall(now), 0, secondsBetween(frame.ownerStarted, now) * 1000.0, QString()};
    m_run.tell([&](PlanListener &l) { l.stepEnded(event); });
}

void SlotMachine::enterFinally()
{
    m_inFinally = true;
    m_frames.clear();
    m_frames.append(Frame{&m_run.plan.steps->finallySteps, 0, QString(), nullptr, QString(), 0, OnFail::Continue, {}, {}});
    scheduleNow(false, [this] { advance(); });
}

RunReferences &SlotMachine::references()
{
    if (!m_run.references)
        throw SystemError(QStringLiteral("the plan measures with reference instruments: a station is needed"));
    return *m_run.references;
}

void SlotMachine::finish()
{
    // A load the slot still holds (its plan never switched it off, or the
    // slot ended on an error) goes off with the slot's outputs.
    if (m_run.references) {
        try {
            m_run.references->releaseLoads(index);
        } catch (const SystemError &error) {
            if (!m_error)
                m_cause = error.text();
            m_error = true;
        }
    }
    done = true;
    SlotVerdict verdict;
    verdict.slot = index;
    verdict.verdict = m_error        ? Verdict::Error
                      : m_failed     ? Verdict::Fail
                      : m_aborted    ? Verdict::Aborted
                      : m_conditional ? Verdict::Conditional
                                     : Verdict::Pass;
    this->verdict = verdict.verdict;
    verdict.cause = verdict.verdict == Verdict::Conditional ? m_conditionalCause : m_cause;
    verdict.checks = m_checks;
    verdict.failed = m_failedChecks;
    verdict.end = m_run.wall(Clock::now());
    m_run.tell([&](PlanListener &l) { l.slotFinished(verdict); });
}

// Leaves the steps under way for the finally block (or, inside it, for the end).
void SlotMachine::fail(const QString &cause, Verdict verdict)
{
    if (verdict == Verdict::Error) {
        if (!m_error)
            m_cause = cause;
        m_error = true;
    } else if (verdict == Verdict::Aborted) {
        m_aborted = true;
        if (m_cause.isEmpty())
            m_cause = cause;
    }
    if (m_step)
        endStep(verdict == Verdict::Aborted ? QStringLiteral("abort") : QStringLiteral("error"));
    for (int i = m_frames.size() - 1; i >= 0; --i)
        endOwner(m_frames[i]);
    m_frames.clear();
    if (m_inFinally && verdict == Verdict::Error) {
        // The finally block itself cannot reach the supply: nothing more to do.
        finish();
        return;
    }
    if (m_inFinally)
        return advance(); // an abort inside finally: finally goes on
    enterFinally();
}

void SlotMachine::abort()
{
    if (done || m_inFinally)
        return;
    fail(QString::fromLatin1(PlanCause::Aborted), Verdict::Aborted);
}

void SlotMachine::beginStep(const PlanStep &step, const QString &path, OnFail onFail)
{
    m_step = &step;
    m_path = path;
    m_stepOnFail = onFail;
    m_stepStart = Clock::now();
    m_stepStartWall = m_run.wall(m_stepStart);
    m_samples.clear();
    m_chargeAh = m_energyWh = 0;
    m_stepFailed = false;
    StepEvent event{index, path, step.type, step.label, m_stepStartWall, QDateTime(), step.plannedMs(), 0, QString()};
    m_run.tell([&](PlanListener &l) { l.stepStarted(event); });

    if (m_runner)
        m_endedRunners.push_back(std::move(m_runner));
    if (step.body()) {
        m_step = nullptr; // a block's end is told when its frame ends
        // Its first pass is begun as every later one is, by advance().
        m_frames.append(Frame{step.body(), int(step.body()->size()), path, &step, path, -1, onFail, m_stepStart,
                              m_stepStartWall});
        return scheduleNow(false, [this] { advance(); });
    }
    m_runner = step.runner(*this);
    m_runner->start();
}

void SlotMachine::endStep(const QString &stopReason)
{
    if (!m_step)
        return;
    const TimePoint now = Clock::now();
    StepEvent event{index, m_path, m_step->type, m_step->label, m_stepStartWall, m_run.wall(now), m_step->plannedMs(),
                    secondsBetween(m_stepStart, now) * 1000.0, stopReason};
    m_step = nullptr;
    m_run.tell([&](PlanListener &l) { l.stepEnded(event); });
}

void SlotMachine::concludeStep(const QString &stopReason)
{
    const bool failed = m_stepFailed;
    m_stepFailed = false;
    endStep(stopReason);
    if (failed && m_stepOnFail == OnFail::Stop && !m_inFinally) {
        for (int i = m_frames.size() - 1; i >= 0; --i)
            endOwner(m_frames[i]);
        m_frames.clear();
        return enterFinally();
    }
    scheduleNow(false, [this] { advance(); });
}

void SlotMachine::writeAll(QVector<SetWrite> writes, Action then)
{
    if (writes.isEmpty())
        return then();
    const SetWrite write = writes.takeFirst();
    scheduleNow(true, [this, write, writes, then] {
        m_run.bus.write(info.address, write.reg, {write.value});
        if (!write.readBack)
            return writeAll(writes, then);
        scheduleNow(true, [this, write, writes, then] {
            const quint16 held = m_run.bus.read(info.address, write.reg, 1).value(0);
            if (!HeldAsWritten(write, held))
                return fail(ReadBackText(info.address, write, held), Verdict::Error);
            writeAll(writes, then);
        });
    });
}

void SlotMachine::writeSetpoint(Quantity quantity, double value, bool readBack, Action then)
{
    SetValues values;
    (quantity == Quantity::Voltage ? values.voltage : values.current) = value;
    QVector<SetWrite> writes = PlanSet(values, m_model).writes;
    for (SetWrite &write : writes)
        write.readBack = readBack;
    writeAll(writes, std::move(then));
}

void SlotMachine::scheduleNextReading(double interval)
{
    const TimePoint now = Clock::now();
    nextReading = interval > 0 ? after(nextReading, interval) : now;
    if (nextReading < now)
        nextReading = now;
}

// Charge and energy from the step's start: the first reading's values back to
// the start, trapezoids between readings (and the last reading's values on to
// the step's end, in closeTotals).
void SlotMachine::takeReading(const Reading &sample)
{
    const TimePoint now = Clock::now();
    if (m_samples.isEmpty())
        addToTotals(sample, sample, m_stepStart, now);
    else
        addToTotals(m_samples.last(), sample, m_lastSampleAt, now);
    m_lastSampleAt = now;
    m_samples.append(sample);
}

void SlotMachine::closeTotals(TimePoint end)
{
    if (!m_samples.isEmpty())
        addToTotals(m_samples.last(), m_samples.last(), m_lastSampleAt, end);
}

void SlotMachine::addToTotals(const Reading &from, const Reading &to, TimePoint begin, TimePoint end)
{
    const double hours = secondsBetween(begin, end) / 3600.0;
    m_chargeAh += hours * (from.amps + to.amps) / 2;
    m_energyWh += hours * (from.watts.value_or(0) + to.watts.value_or(0)) / 2;
}

void SlotMachine::judge(const QString &name, Quantity quantity, Statistic statistic, const Judgement &judgement,
                        int decimals, const ReferenceMark *mark)
{
    CheckResult result;
    result.slot = index;
    result.path = m_path;
    result.name = name;
    result.quantity = QuantityName(quantity);
    result.statistic = StatisticName(statistic);
    result.unit = QuantityUnit(quantity);
    result.decimals = decimals;
    result.value = judgement.value;
    result.low = judgement.low;
    result.high = judgement.high;
    result.passed = judgement.passed;
    result.time = m_run.wall(Clock::now());
    if (mark) {
        result.reference = mark->reference;
        result.expanded = mark->expanded;
        result.coverage = mark->coverage;
        result.passed = mark->acceptance == Acceptance::Pass;
        result.conditional = mark->acceptance == Acceptance::Conditional;
        result.decision = QLatin1String(DecisionRuleWord(mark->rule));
        result.ratio = mark->ratio;
        result.guarded = mark->guarded;
    }
    ++m_checks;
    if (result.conditional && !m_conditional) {
        m_conditional = true;
        m_conditionalCause = QString::fromLatin1(PlanCause::CheckConditional).arg(name);
    }
    if (!result.passed && !result.conditional) {
        ++m_failedChecks;
        m_failed = true;
        m_stepFailed = true;
        if (m_cause.isEmpty())
            m_cause = QString::fromLatin1(PlanCause::CheckFailed).arg(name);
    }
    m_run.tell([&](PlanListener &l) { l.checkJudged(result); });
}

void SlotMachine::failStep(const QString &what)
{
    m_failed = true;
    m_stepFailed = true;
    if (m_cause.isEmpty())
        m_cause = QString::fromLatin1(PlanCause::StepFailed).arg(m_step->label, what);
}
