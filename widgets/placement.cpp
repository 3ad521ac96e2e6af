#include "widgets/placement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace {

// One axis: the start is pulled back until the far end is inside, then
// pushed on to the near edge if that was not enough.
int fitAxis(int start, int length, int areaStart, int areaLength)
{
    return std::max(areaStart, std::min(start, areaStart + areaLength - length));
}

// Moves its window onto the screen as each (non-spontaneous) show begins,
// before the window is mapped, so that it never appears at the wrong place.
class ScreenKeeper final : public QObject
{
public:
    explicit ScreenKeeper(QWidget *window)
        : QObject(window)
        , m_window(window)
    {
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_window && event->type() == QEvent::Show && !event->spontaneous()) {
            const QRect frame = m_window->frameGeometry();
            const QPoint place = ScreenPlace(frame);
            if (place != frame.topLeft())
                m_window->move(place);
        }
        return false;
    }

private:
    QWidget *m_window;
};

} // namespace

QPoint FitOnScreen(const QRect &frame, const QRect &available)
{
    return {fitAxis(frame.x(), frame.width(), available.x(), available.width()),
            fitAxis(frame.y(), frame.height(), available.y(), available.height())};
}

QPoint ScreenPlace(const QRect &frame)
{
    QScreen *screen = QGuiApplication::screenAt(frame.topLeft());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? FitOnScreen(frame, screen->availableGeometry()) : frame.topLeft();
}

void PlaceWindow(QWidget *window, const QPoint &designPosition)
{
    window->move(designPosition);
    window->installEventFilter(new ScreenKeeper(window));
}
