#pragma once

// Start at login on macOS 13 and later: the application itself registered as
// a login item with the service management framework (SMAppService's main
// application). The system keeps the truth and the user may change it in
// System Settings at any time, so every read asks it. When the system waits
// for the user's approval the item says so, and choosing it opens the Login
// Items settings instead of registering again. Main thread only.

#include "start_at_login.h"

class MainAppLoginItem final : public StartAtLogin {
public:
    // The system's own four answers.
    enum class Status { NotRegistered, Enabled, RequiresApproval, NotFound };

    explicit MainAppLoginItem(QObject* parent = nullptr);

    Status status() const { return m_status; }

    bool enabled() const override { return m_status == Status::Enabled; }
    QString text() const override;
    void reload() override;
    void setEnabled(bool enabled) override;

private:
    Status m_status = Status::NotRegistered;
};
