#pragma once

// The one permanent surface: the mixer symbol in the desktop's tray. Where a
// StatusNotifierItem host runs (Plasma, GNOME's AppIndicator extension and
// most panels of today) the item speaks that protocol itself, as only it
// passes on the click position, the wheel and the middle button; otherwise
// Qt's tray icon (XEmbed trays); where there is no tray at all, a small
// always-on-top button in the top-right corner of the primary screen that
// behaves the same way.

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QRect>

#include <memory>

class StatusMenu;

class StatusItem : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Where the item is on screen, for anchoring the popover; empty when the
    // desktop does not say.
    virtual QRect geometry() const = 0;
    // A line or two under the name, where the desktop shows tooltips.
    virtual void setToolTip(const QString& text) { Q_UNUSED(text); }
    // What the right button (or the host's own gesture) offers; the menu
    // outlives the item.
    virtual void setMenu(StatusMenu* menu) { Q_UNUSED(menu); }
    // What stands in the tray, for the log: "status notifier item", "tray
    // icon" or "button".
    virtual QString surface() const { return {}; }

    // Follows the desktop: the best surface it offers now, switching when a
    // tray host comes or goes. The bus is the session bus unless a test
    // brings its own.
    static std::unique_ptr<StatusItem> create(const QIcon& icon, const QString& accessibleName);
    static std::unique_ptr<StatusItem> create(const QIcon& icon, const QString& accessibleName,
                                              const QDBusConnection& bus);
    // The macOS menu bar's item: Qt's tray icon, whose click opens the
    // popover; the menu only on a secondary click.
    static std::unique_ptr<StatusItem> createMenuBarItem(const QIcon& icon, const QString& accessibleName);

signals:
    void clicked();
    // Whole wheel notches, positive away from the user.
    void scrolled(int notches);
    // The middle button.
    void secondaryClicked();
};
