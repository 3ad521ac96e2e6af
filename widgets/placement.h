#pragma once

#include <QPoint>
#include <QRect>

class QWidget;

// Where a window whose outer frame is frame goes on a screen whose free area
// (without task bars and docks) is available: its own corner when the frame
// lies wholly inside; otherwise moved just enough to lie inside, and against
// the left or top edge where it is wider or taller than the area. The size is
// never changed.
QPoint FitOnScreen(const QRect &frame, const QRect &available);

// FitOnScreen on the free area of the screen under the frame's top-left
// corner, or of the primary screen when no screen is there.
QPoint ScreenPlace(const QRect &frame);

// Puts a top-level window at its design position and, each time it is shown,
// moves it by as little as it takes to be whole on the screen (a window that
// fits stays where it is, where the operator left it).
void PlaceWindow(QWidget *window, const QPoint &designPosition);
