#pragma once

// The status item's menu as its entries: actions, which a tray host that
// draws menus itself reads over D-Bus, and a widget menu made only the first
// time Qt's own tray icon or the corner button needs one. The widget style
// that a menu brings up costs memory for as long as the program runs, most
// often for nothing: the hosts of today draw the menu themselves.

#include <QAction>
#include <QList>
#include <QObject>

#include <memory>

class QMenu;

class StatusMenu : public QObject {
    Q_OBJECT
public:
    explicit StatusMenu(QObject* parent = nullptr);
    ~StatusMenu() override;

    QAction* addAction(const QString& text);
    void addSeparator();
    const QList<QAction*>& actions() const { return m_actions; }

    // The entries as a widget menu, made at the first call and kept; its
    // opening is this menu's aboutToShow.
    QMenu* menu();

signals:
    // Whoever fills the entries brings them up to date now.
    void aboutToShow();

private:
    QList<QAction*> m_actions;
    std::unique_ptr<QMenu> m_menu;
};
