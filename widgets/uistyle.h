#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>

class QColor;
class QWidget;

// Fonts named in the window designs, with the CJK fonts that stand in for them
// where they are not installed.
QFont DesignFont(const QString &family, int pixelSize, bool bold = false);

// Sets the colour the widget's text is drawn in (a label's caption).
void SetTextColour(QWidget *widget, const QColor &colour);

// The picture of a launcher button: the text in dark blue on a grey ground.
QPixmap ButtonPicture(const QString &text, const QSize &size);

// The same picture for a narrow button: the text split in two lines of equal length.
QPixmap StackedButtonPicture(const QString &text, const QSize &size);

// The small arrow shown beside the model menu items.
QPixmap MenuArrowPicture();
