#include "status_menu.h"

#include <QMenu>

StatusMenu::StatusMenu(QObject* parent)
    : QObject(parent)
{
}

// The widget menu goes first: it shows the actions, which go with this.
StatusMenu::~StatusMenu() = default;

QAction* StatusMenu::addAction(const QString& text)
{
    auto* action = new QAction(text, this);
    m_actions.append(action);
    if (m_menu)
        m_menu->addAction(action);
    return action;
}

void StatusMenu::addSeparator()
{
    addAction(QString())->setSeparator(true);
}

QMenu* StatusMenu::menu()
{
    if (!m_menu) {
        m_menu = std::make_unique<QMenu>();
        m_menu->addActions(m_actions);
        connect(m_menu.get(), &QMenu::aboutToShow, this, &StatusMenu::aboutToShow);
    }
    return m_menu.get();
}
