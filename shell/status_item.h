#pragma once

// The one permanent surface: the mixer symbol in the system tray, or, where
// the desktop has no tray, a small always-on-top button in the top-right
// corner of the primary screen that behaves the same way.

#include <QIcon>
#include <QObject>
#include <QRect>

#include <memory>

class StatusItem : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Where the item is on screen, for anchoring the popover; empty when the
    // desktop does not say.
    virtual QRect geometry() const = 0;

    // The tray icon when the desktop has a tray, the button window otherwise.
    static std::unique_ptr<StatusItem> create(const QIcon& icon, const QString& accessibleName);

signals:
    void clicked();
};
