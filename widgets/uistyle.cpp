#include "widgets/uistyle.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QWidget>
#include <algorithm>

QFont DesignFont(const QString &family, int pixelSize, bool bold)
{
    QFont font;
    font.setFamilies({family, QStringLiteral("STXinwei"), QStringLiteral("KaiTi"),
                      QStringLiteral("AR PL UKai CN"), QStringLiteral("WenQuanYi Micro Hei"),
                      QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Microsoft YaHei")});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void SetTextColour(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

namespace {

QPixmap pictureOf(const QString &text, const QSize &size, int fontPixels)
{
    QPixmap picture(size);
    QPainter painter(&picture);
    QLinearGradient ground(0, 0, 0, size.height());
    ground.setColorAt(0.0, QColor(0xE4, 0xE4, 0xE4));
    ground.setColorAt(1.0, QColor(0xB4, 0xB4, 0xB4));
    painter.fillRect(picture.rect(), ground);
    painter.setPen(QColor(0x00, 0x00, 0x80));
    QFont font = DesignFont(QStringLiteral("华文新魏"), fontPixels, true);
    // A word wider than a narrow button is drawn smaller until it fits.
    const auto widest = [&text](const QFont &f) {
        int width = 0;
        for (const QString &line : text.split(QLatin1Char('\n')))
            width = std::max(width, QFontMetrics(f).horizontalAdvance(line));
        return width;
    };
    while (font.pixelSize() > 8 && widest(font) > size.width() - 4)
        font.setPixelSize(font.pixelSize() - 1);
    painter.setFont(font);
    painter.drawText(picture.rect(), Qt::AlignCenter, text);
    return picture;
}

} // namespace

QPixmap ButtonPicture(const QString &text, const QSize &size)
{
    return pictureOf(text, size, size.height() * 6 / 10);
}

QPixmap StackedButtonPicture(const QString &text, const QSize &size)
{
    const int half = int((text.size() + 1) / 2);
    return pictureOf(text.left(half) + QLatin1Char('\n') + text.mid(half), size,
                     std::min(size.width() * 9 / 20, size.height() * 3 / 10));
}

QPixmap MenuArrowPicture()
{
    QPixmap picture(24, 24);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath arrow;
    arrow.moveTo(7, 5);
    arrow.lineTo(18, 12);
    arrow.lineTo(7, 19);
    arrow.closeSubpath();
    painter.fillPath(arrow, QColor(0x00, 0x80, 0x00));
    painter.setPen(QColor(0x00, 0x40, 0x00));
    painter.drawPath(arrow);
    return picture;
}
