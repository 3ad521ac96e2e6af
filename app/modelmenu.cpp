#include "app/modelmenu.h"

#include "link/modelcatalogue.h"
#include "widgets/errorreport.h"
#include "widgets/placement.h"
#include "widgets/uistyle.h"

#include <QAction>
#include <QGridLayout>
#include <QToolButton>

namespace {
constexpr int kFirstColumnItems = 25;
constexpr int kUncheckedArrowlessItem = 12;
}

TModelMenu::TModelMenu(QWidget *parent)
    : QFrame(parent, Qt::Popup)
{
    setObjectName(QStringLiteral("PopupMenu3"));
    setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    setAutoFillBackground(true);

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(3, 3, 3, 3);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(0);

    // The bar between the two columns, as a menu with a column break draws it.
    auto *bar = new QFrame(this);
    bar->setObjectName(QStringLiteral("ColumnBreak"));
    bar->setFrameShape(QFrame::VLine);
    bar->setFrameShadow(QFrame::Sunken);
    grid->addWidget(bar, 0, 1, kFirstColumnItems, 1);

    const QIcon arrow(MenuArrowPicture());
    for (int k = 1; k <= ModelCount; ++k) {
        auto *action = new QAction(QString::fromLatin1(ModelCatalogue[k - 1].caption), this);
        action->setObjectName(QStringLiteral("N%1").arg(k));
        if (k != kUncheckedArrowlessItem)
            action->setIcon(arrow);
        if (k == 1)
            action->setCheckable(true);
        QObject::connect(action, &QAction::triggered, this, [this, k] {
            RunHandler([this, k] { ItemClick(k); });
        });

        auto *button = new QToolButton(this);
        button->setObjectName(QStringLiteral("ModelButton%1").arg(k));
        button->setDefaultAction(action);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setIconSize(QSize(24, 24));
        button->setAutoRaise(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        button->setMinimumWidth(150);
        button->setFixedHeight(26);
        // Item 12 has no arrow; keep its text aligned with the others.
        if (k == kUncheckedArrowlessItem) {
            QPixmap blank(24, 24);
            blank.fill(Qt::transparent);
            button->setIcon(QIcon(blank));
        }

        const int index = k - 1;
        const int column = index < kFirstColumnItems ? 0 : 1;
        const int row = index < kFirstColumnItems ? index : index - kFirstColumnItems;
        grid->addWidget(button, row, column == 0 ? 0 : 2);
        m_actions.append(action);
        m_buttons.append(button);
    }
}

void TModelMenu::Popup(const QPoint &topLeft)
{
    // A popup has no window frame: its client rectangle starts at the point.
    // Kept whole on the screen, as the windows are.
    setGeometry(QRect(ScreenPlace(QRect(topLeft, sizeHint())), sizeHint()));
    show();
    raise();
}

void TModelMenu::ItemClick(int k)
{
    hide();
    SelectModel(k);
}
