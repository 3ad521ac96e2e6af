#include "link/replydispatcher.h"

#include "app/forms.h"
#include "app/modelcatalogue.h"
#include "link/errorreport.h"
#include "link/frames.h"
#include "panels/addressscan.h"
#include "panels/calibration.h"
#include "panels/monitorpanel.h"

#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>

namespace {

// Replies are told apart by length first: nothing of 6 bytes or fewer is a reply.
constexpr qsizetype kShortestReply = 7;
// A five-register status block is 15 bytes; a single register reply 7.
constexpr qsizetype kStatusBlockLength = 15;
constexpr qsizetype kLongestSingleRegister = 9;
constexpr qsizetype kShortestStatusCandidate = 11;

constexpr double kPowerDivisor = 100.0;

// A "0"-digit picture such as "00.00": integerDigits zeros before the point,
// decimals after it. Every digit of the picture is always shown, the integer
// part grows when the value needs more digits, the value is rounded to the
// picture's decimals and the point is the operator's regional separator.
struct Picture {
    int integerDigits;
    int decimals;
};

QString formatPicture(double value, Picture picture)
{
    QString text = QString::number(value, 'f', picture.decimals);
    const qsizetype point = picture.decimals > 0 ? text.indexOf(QLatin1Char('.')) : text.size();
    if (point < picture.integerDigits)
        text.prepend(QString(picture.integerDigits - point, QLatin1Char('0')));
    if (picture.decimals > 0)
        text.replace(text.indexOf(QLatin1Char('.')), 1, QLocale().decimalPoint());
    return text;
}

Picture voltagePicture()
{
    return VoltageScale == 10 ? Picture{3, 1} : Picture{2, 2};
}

Picture currentPicture()
{
    return CurrentScale == 100 ? Picture{2, 2} : Picture{1, 3};
}

// Until a model is chosen the divisor is 0: the readout keeps what it shows
// (its design caption or the last reading) rather than showing a quotient by zero.
void showScaled(QLabel *readout, quint16 raw, quint16 divisor, Picture picture)
{
    if (divisor == 0)
        return;
    readout->setText(formatPicture(double(raw) / double(divisor), picture));
}

void acknowledgeWrite()
{
    if (CalibrationMode)
        ShowMessage(QStringLiteral("误差修正成功！"));
    else
        POWER_TEST->StaticText4->setText(QStringLiteral("数据设定OK!"));
}

// Five registers from 0x1000: setpoints, measured values, output switch. The
// output state needs no divisor and is shown also before a model is chosen.
void showStatusBlock(const QByteArray &reply)
{
    const Picture volts = voltagePicture();
    const Picture amperes = currentPicture();
    showScaled(POWER_TEST->StaticText7, RegisterAt(reply, 3), VoltageScale, volts);
    showScaled(POWER_TEST->StaticText8, RegisterAt(reply, 5), CurrentScale, amperes);
    showScaled(POWER_TEST->StaticText5, RegisterAt(reply, 7), VoltageScale, volts);
    showScaled(POWER_TEST->StaticText6, RegisterAt(reply, 9), CurrentScale, amperes);
    // Only the low byte of the switch register counts.
    POWER_TEST->StaticText9->setText(quint8(reply.at(12)) == 1 ? QStringLiteral("ON")
                                                              : QStringLiteral("OFF"));
}

// A single register: the power reading when one is awaited, otherwise an
// answer to the address scan's probe.
void showSingleRegister(const QByteArray &reply)
{
    if (PowerReadRequested) {
        POWER_TEST->Edit1->setText(formatPicture(RegisterAt(reply, 3) / kPowerDivisor, Picture{3, 2}));
        PowerReadRequested = false;
        return;
    }
    RSADDERS->See_Button->click();
}

} // namespace

void DispatchReply(const QByteArray &reply)
{
    const qsizetype length = reply.size();
    if (length < kShortestReply)
        return;
    const quint8 function = quint8(reply.at(1));

    if (function == FunctionWriteMultiple) {
        acknowledgeWrite();
        return;
    }
    if (function != FunctionReadHolding)
        return;
    if (length >= kShortestStatusCandidate) {
        if (length >= kStatusBlockLength)
            showStatusBlock(reply);
        return;
    }
    if (length <= kLongestSingleRegister)
        showSingleRegister(reply);
}
