#include "panels/plantile.h"

#include "plan/planengine.h"
#include "widgets/uistyle.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace {

const QColor kIdle(0xE0, 0xE0, 0xE0);
const QColor kTesting(0xFF, 0xD5, 0x4F);
const QColor kPass(0x1B, 0x8E, 0x3A);
const QColor kFail(0xC6, 0x28, 0x28);
const QColor kError(0xE6, 0x51, 0x00);
const QColor kAborted(0x61, 0x61, 0x61);
const QColor kConditional(0xB4, 0x53, 0x09); // inside the limits, within the guard band

} // namespace

TPlanTile::TPlanTile(int number, const PlanSlot &slot, QWidget *parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("Tile%1").arg(number));
    setFrameShape(QFrame::Box);
    setAutoFillBackground(true);
    setMinimumSize(220, 220);

    const auto label = [this, number](const QString &name) {
        auto *text = new QLabel(this);
        text->setObjectName(QStringLiteral("%1%2").arg(name).arg(number));
        text->setAlignment(Qt::AlignCenter);
        text->setWordWrap(true);
        return text;
    };
    Caption = label(QStringLiteral("CaptionText"));
    Caption->setText(tr("%1 · 地址 %2 · %3").arg(slot.name).arg(slot.address).arg(slot.model));
    Caption->setFont(DesignFont(QStringLiteral("宋体"), 16, true));
    Serial = new QLineEdit(this);
    Serial->setObjectName(QStringLiteral("SerialEdit%1").arg(number));
    Serial->setPlaceholderText(tr("扫描或输入序列号"));
    Serial->setAlignment(Qt::AlignCenter);
    Serial->setFont(DesignFont(QStringLiteral("宋体"), 20));
    Verdict = label(QStringLiteral("VerdictText"));
    Step = label(QStringLiteral("StepText"));
    Step->setFont(DesignFont(QStringLiteral("宋体"), 14));
    Values = label(QStringLiteral("ValuesText"));
    Values->setFont(DesignFont(QStringLiteral("宋体"), 22, true));
    Check = label(QStringLiteral("CheckText"));
    Check->setFont(DesignFont(QStringLiteral("宋体"), 13));

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Caption);
    layout->addWidget(Serial);
    layout->addWidget(Verdict, 1);
    layout->addWidget(Step);
    layout->addWidget(Values);
    layout->addWidget(Check);
    SetState(State::Idle);
}

QColor TPlanTile::Colour() const
{
    switch (m_state) {
    case State::Idle: return kIdle;
    case State::Testing: return kTesting;
    case State::Pass: return kPass;
    case State::Fail: return kFail;
    case State::Error: return kError;
    case State::Aborted: return kAborted;
    case State::Conditional: return kConditional;
    }
    return kIdle;
}

void TPlanTile::SetState(State state)
{
    m_state = state;
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Colour());
    setPalette(palette);
    const bool judged = state != State::Idle && state != State::Testing;
    const QColor ink = judged ? Qt::white : Qt::black;
    for (QLabel *text : {Caption, Verdict, Step, Values, Check})
        SetTextColour(text, ink);
    switch (state) {
    case State::Idle: Verdict->setText(QStringLiteral("—")); break;
    case State::Testing: Verdict->setText(tr("测试中")); break;
    case State::Pass: Verdict->setText(VerdictText(::Verdict::Pass)); break;
    case State::Fail: Verdict->setText(VerdictText(::Verdict::Fail)); break;
    case State::Error: Verdict->setText(VerdictText(::Verdict::Error)); break;
    case State::Aborted: Verdict->setText(VerdictText(::Verdict::Aborted)); break;
    case State::Conditional: Verdict->setText(VerdictText(::Verdict::Conditional)); break;
    }
    fitVerdict();
}

void TPlanTile::SetNotice(const QString &text)
{
    Step->setText(text);
}

void TPlanTile::Clear()
{
    SetState(State::Idle);
    SetNotice(QString());
    Values->clear();
    Check->clear();
    m_checkFailed = false;
}

// The first check that failed is the one the verdict rests on: the checks
// judged after it do not replace it.
void TPlanTile::ShowCheck(const QString &text, bool passed)
{
    if (m_checkFailed)
        return;
    m_checkFailed = !passed;
    Check->setText((passed ? QStringLiteral("✓ ") : QStringLiteral("✗ ")) + text);
}

void TPlanTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    fitVerdict();
}

// The verdict as large as the tile allows: nine tenths of its width, at most
// a third of its height; never smaller than reads from two metres.
void TPlanTile::fitVerdict()
{
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"),
                      QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setPixelSize(100);
    font.setBold(true);
    const int textWidth = std::max(1, QFontMetrics(font).horizontalAdvance(Verdict->text()));
    const int size = std::max(40, std::min(height() / 3, 100 * width() * 9 / 10 / textWidth));
    font.setPixelSize(size);
    Verdict->setFont(font);
}
