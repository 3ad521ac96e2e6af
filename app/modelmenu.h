#pragma once

#include <QFrame>
#include <QList>

class QAction;
class QToolButton;

// The model catalogue as a popup menu in two columns: items 1 to 25 in the
// first, 26 to 35 in the second. Choosing an item makes it the active model.
class TModelMenu : public QFrame
{
    Q_OBJECT

public:
    explicit TModelMenu(QWidget *parent = nullptr);

    // Opens the menu with its top-left corner at the screen point.
    void Popup(const QPoint &topLeft);

    // Menu item number k (counted from 1).
    QAction *Item(int k) const { return m_actions.at(k - 1); }
    QToolButton *ItemButton(int k) const { return m_buttons.at(k - 1); }

private:
    void ItemClick(int k);

    QList<QAction *> m_actions;
    QList<QToolButton *> m_buttons;
};
