#pragma once

// What the in-app updater shows the user and asks of the desktop. The real
// one is made of Qt Widgets (WidgetUpdatePresenter, in ravlet_updates_ui);
// tests put a recorder in its place. All calls come on the main thread.

#include <QString>
#include <QStringList>
#include <QUrl>

struct UpdateAlert {
    QString messageText;
    QString informativeText;
    QStringList buttons;   // the first one is the default
};

class UpdatePresenter {
public:
    virtual ~UpdatePresenter() = default;

    // The small floating "Ravlet Update" panel with a spinner and one status
    // line; it never takes the focus.
    virtual void showPanel(const QString& status) = 0;
    virtual void setStatus(const QString& status) = 0;
    virtual void closePanel() = 0;

    // Brings the application forward and runs the alert as a modal warning;
    // true when the user picks the first button.
    virtual bool runAlert(const UpdateAlert& alert) = 0;

    // Hands url to the default browser; false when the desktop could not
    // (no xdg-open, say).
    virtual bool openUrl(const QUrl& url) = 0;

    // Asks the application to quit; false when the request was turned down.
    virtual bool requestTermination() = 0;
};
