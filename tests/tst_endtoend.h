#pragma once

// What the end-to-end tests share: the demo's three simulated supplies on a
// pseudo-terminal behind COM2, opened the way an operator does it (the main
// window's "串行口设置", then "确  定" in the serial settings dialog), the
// model chosen from the model menu, and helpers that find controls by their
// object name, click them, read what the windows show and look frames up in
// the simulator's record.

#include "app/forms.h"
#include "app/mainwindow.h"
#include "app/modelmenu.h"
#include "app/serialsettings.h"
#include "demo/demotour.h"
#include "link/commports.h"
#include "link/frames.h"
#include "link/modelcatalogue.h"
#include "link/mscomm.h"
#include "link/replydispatcher.h"
#include "link/serialchannel.h"
#include "panels/addressscan.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"
#include "panels/sequencerunner.h"
#include "sim/simbus.h"
#include "sim/simoptions.h"
#include "support_modal.h"
#include "support_state.h"
#include "widgets/spinedit.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

namespace e2e {

// Generous limits: other tests run beside these on a small machine.
constexpr int kShortWaitMs = 5000;
constexpr int kLongWaitMs = 15000;

// The demo's addresses and models, without measurement noise or the
// calibration fault so that readouts are exact: 1 QELT30-05 12.00 V / 1.500 A into 10 ohm (CV, 1.200 A);
// 5 QELT60-05 24.00 V / 1.000 A into 30 ohm (CV, 0.800 A);
// 17 QELT36-03 5.00 V / 2.000 A into 2 ohm (CC, 4.00 V).
inline SimBusOptions quietDemoOptions()
{
    SimBusOptions options = DemoBusOptions();
    for (SimSupplySetup &supply : options.supplies) {
        supply.noiseCounts = 0;
        supply.faults.voltageOffsetCounts = 0;
    }
    return options;
}

template <typename T>
T *control(QWidget *window, const QString &name)
{
    T *found = window ? window->findChild<T *>(name) : nullptr;
    if (!found)
        qWarning("control %s not found", qPrintable(name));
    return found;
}

// What a label, edit or button shows.
inline QString textOf(QWidget *window, const QString &name)
{
    QWidget *widget = window ? window->findChild<QWidget *>(name) : nullptr;
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        return edit->text();
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    return QStringLiteral("<no %1>").arg(name);
}

// A left mouse click on a button, as the operator gives it.
inline bool click(QWidget *window, const QString &name)
{
    auto *button = control<QAbstractButton>(window, name);
    if (!button || !button->isVisible() || !button->isEnabled())
        return false;
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

inline bool setNumber(QWidget *window, const QString &name, int value)
{
    auto *box = control<TSpinEdit>(window, name);
    if (!box)
        return false;
    box->SetValue(value);
    return true;
}

inline bool setText(QWidget *window, const QString &name, const QString &text)
{
    auto *edit = control<QLineEdit>(window, name);
    if (!edit)
        return false;
    edit->setText(text);
    return true;
}

// Sets a digit row of the monitor panel, e.g. SpinEdit3..6 to "3100".
inline bool setDigits(QWidget *window, int firstSpinEdit, const QString &digits)
{
    for (int n = 0; n < digits.size(); ++n) {
        if (!setNumber(window, QStringLiteral("SpinEdit%1").arg(firstSpinEdit + n), digits.at(n).digitValue()))
            return false;
    }
    return true;
}

// Opens the monitor panel from the main window, sets its address and
// switches the monitor on.
inline bool startMonitor(int address)
{
    return click(MAIN, QStringLiteral("BitBtn4")) && setNumber(POWER_TEST, QStringLiteral("SpinEdit1"), address)
           && click(POWER_TEST, QStringLiteral("Button11"));
}

inline QVector<SimFrameRecord> requests(const SimBus &bus)
{
    QVector<SimFrameRecord> received;
    for (const SimFrameRecord &entry : bus.record()) {
        if (entry.direction == SimFrameRecord::Received)
            received.append(entry);
    }
    return received;
}

// The notes the bus wrote for each arrival of this exact request.
inline QStringList notesOf(const SimBus &bus, const QByteArray &request)
{
    QStringList notes;
    for (const SimFrameRecord &entry : requests(bus)) {
        if (entry.bytes == request)
            notes << entry.note;
    }
    return notes;
}

inline bool answered(const SimBus &bus, const QByteArray &request)
{
    return notesOf(bus, request).contains(QStringLiteral("answered"));
}

// The reply the bus sent to the last arrival of request, or empty.
inline QByteArray replyTo(const SimBus &bus, const QByteArray &request)
{
    const QVector<SimFrameRecord> record = bus.record();
    QByteArray reply;
    for (int i = 0; i < record.size(); ++i) {
        if (record.at(i).direction != SimFrameRecord::Received || record.at(i).bytes != request)
            continue;
        reply.clear();
        for (int j = i + 1; j < record.size() && record.at(j).direction == SimFrameRecord::Sent; ++j)
            reply += record.at(j).bytes;
    }
    return reply;
}

inline QString recordText(const SimBus &bus)
{
    QStringList lines;
    for (const SimFrameRecord &entry : bus.record())
        lines << FormatRecord(entry);
    return lines.join(QLatin1Char('\n'));
}

// The offscreen platform warns each time a window is raised or sized by its
// hints; those lines would bury the test's own output.
inline void quietenOffscreenPlatform()
{
    static QtMessageHandler previous = nullptr;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        if (type == QtWarningMsg && text.startsWith(QLatin1String("This plugin does not support")))
            return;
        if (previous)
            previous(type, context, text);
    });
}

// One test's world: the windows, the bus on COM2 and a closer for message boxes.
class Bench
{
public:
    // The process-wide state outlives the windows: every test starts from rest.
    Bench()
    {
        ResetToolState();
        CreateForms();
        bus = new SimBus;
        ApplySimOptions(quietDemoOptions(), *bus);
        path = bus->openPty();
        MapCommPort(2, path);
        bus->start(SimBus::Threading::OwnThread);
        MAIN->show();
    }
    ~Bench()
    {
        if (MAIN && MAIN->MSComm1->PortOpen())
            MAIN->MSComm1->SetPortOpen(false);
        DestroyForms();
        bus->stop();
        delete bus;
        ClearCommPortMappings();
        ResetToolState();
    }
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    int indexOf(int address) const { return bus->indexOfAddress(address); }
    SimSupply supplyAt(int address) const { return bus->supply(indexOf(address)); }

    SimBus *bus = nullptr;
    QString path;
    ModalCloser closer;
};

// The frames the tool sends, taken at the send seam as they leave: when, and
// how many ticks of the window's rhythm timer had run to their end before it
// (a frame sent from a tick counts the ticks before that one) and the timer's
// interval just after. Spacing taken here leaves out the line and the
// simulator's thread; the rhythm is checked by ticks and intervals, which a
// loaded machine makes late but never merges or skips.
class SendLedger
{
public:
    struct Entry {
        qint64 atMs;
        int ticksBefore;
        int intervalAfterMs;
        QByteArray bytes;
    };

    explicit SendLedger(QTimer *timer)
        : m_timer(timer)
    {
        m_clock.start();
        m_tickCounter = QObject::connect(timer, &QTimer::timeout, timer, [this] { ++m_ticks; });
        SetSendObserver([this](const QByteArray &frame) {
            m_entries.append({m_clock.elapsed(), m_ticks, -1, frame});
            // The handler arms the timer after it sent; read the interval once it has.
            QTimer::singleShot(0, &m_context, [this, index = m_entries.size() - 1] {
                m_entries[index].intervalAfterMs = m_timer->interval();
            });
        });
    }
    ~SendLedger()
    {
        SetSendObserver({});
        QObject::disconnect(m_tickCounter);
    }
    SendLedger(const SendLedger &) = delete;
    SendLedger &operator=(const SendLedger &) = delete;

    const QVector<Entry> &entries() const { return m_entries; }
    int ticks() const { return m_ticks; }

    // "gap/ticks/interval" per frame after the first, for failure messages.
    QString text() const
    {
        QStringList parts;
        for (int i = 1; i < m_entries.size(); ++i)
            parts << QStringLiteral("%1/%2/%3")
                         .arg(m_entries[i].atMs - m_entries[i - 1].atMs)
                         .arg(m_entries[i].ticksBefore)
                         .arg(m_entries[i].intervalAfterMs);
        return parts.join(QLatin1Char(' '));
    }

private:
    QTimer *m_timer;
    QObject m_context;
    QElapsedTimer m_clock;
    QMetaObject::Connection m_tickCounter;
    int m_ticks = 0;
    QVector<Entry> m_entries;
};

} // namespace e2e

// The operator's way onto the line: "串行口设置" on the main window, the baud
// rate chosen, "确  定"; the success box is closed by the bench's closer.
#define E2E_APPLY_SERIAL_SETTINGS(bench, baudText)                                                          \
    do {                                                                                                     \
        QVERIFY(e2e::click(MAIN, QStringLiteral("BitBtn1")));                                                \
        QTRY_VERIFY(RS232->isVisible());                                                                     \
        auto *e2eBaud = e2e::control<QComboBox>(RS232, QStringLiteral("ComboBox2"));                         \
        QVERIFY(e2eBaud);                                                                                    \
        e2eBaud->setCurrentText(QStringLiteral(baudText));                                                   \
        QCOMPARE(e2e::control<QComboBox>(RS232, QStringLiteral("ComboBox1"))->currentText(),                 \
                 QStringLiteral("COM2"));                                                                    \
        const int e2eBoxes = (bench).closer.texts().size();                                                  \
        QVERIFY(e2e::click(RS232, QStringLiteral("BitBtn1")));                                               \
        QTRY_COMPARE((bench).closer.texts().mid(e2eBoxes), QStringList{QStringLiteral("串口初始化成功！")}); \
        QVERIFY(!RS232->isVisible());                                                                        \
        QVERIFY(MAIN->MSComm1->PortOpen());                                                                  \
    } while (false)

// The model menu on the main window, item k (counted from 1).
#define E2E_CHOOSE_MODEL(k)                                                                     \
    do {                                                                                        \
        QVERIFY(e2e::click(MAIN, QStringLiteral("BitBtn7")));                                   \
        QTRY_VERIFY(MAIN->PopupMenu3->isVisible());                                             \
        QTest::mouseClick(MAIN->PopupMenu3->ItemButton(k), Qt::LeftButton);                     \
        QTRY_VERIFY(!MAIN->PopupMenu3->isVisible());                                            \
        QCOMPARE(ModelName, QString::fromLatin1(ModelCatalogue[size_t((k) - 1)].caption));      \
    } while (false)
