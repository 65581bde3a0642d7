#pragma once

// The updater's panel and alert as Qt Widgets, URLs through the desktop
// services and termination through the application's event loop.

#include "update_presenter.h"

#include <QLabel>
#include <QPointer>
#include <QWidget>


class WidgetUpdatePresenter : public UpdatePresenter {
public:
    WidgetUpdatePresenter() = default;
    ~WidgetUpdatePresenter() override;
    WidgetUpdatePresenter(const WidgetUpdatePresenter&) = delete;
    WidgetUpdatePresenter& operator=(const WidgetUpdatePresenter&) = delete;

    void showPanel(const QString& status) override;
    void setStatus(const QString& status) override;
    void closePanel() override;
    bool runAlert(const UpdateAlert& alert) override;
    bool openUrl(const QUrl& url) override;
    bool requestTermination() override;

    // The panel while it is shown, for tests.
    QWidget* panel() const { return m_panel; }

private:
    QPointer<QWidget> m_panel;
    QPointer<QLabel> m_panelLabel;
};
