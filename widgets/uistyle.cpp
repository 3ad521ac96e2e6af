#include "widgets/uistyle.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QWidget>

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

QPixmap ButtonPicture(const QString &text, const QSize &size)
{
    QPixmap picture(size);
    QPainter painter(&picture);
    QLinearGradient ground(0, 0, 0, size.height());
    ground.setColorAt(0.0, QColor(0xE4, 0xE4, 0xE4));
    ground.setColorAt(1.0, QColor(0xB4, 0xB4, 0xB4));
    painter.fillRect(picture.rect(), ground);
    painter.setPen(QColor(0x00, 0x00, 0x80));
    QFont font = DesignFont(QStringLiteral("华文新魏"), size.height() * 6 / 10, true);
    // A word wider than a narrow button is drawn smaller until it fits.
    while (font.pixelSize() > 8 && QFontMetrics(font).horizontalAdvance(text) > size.width() - 4)
        font.setPixelSize(font.pixelSize() - 1);
    painter.setFont(font);
    painter.drawText(picture.rect(), Qt::AlignCenter, text);
    return picture;
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
