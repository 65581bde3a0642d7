#pragma once

// Creates and owns the engine, the status item and the popover, opens and
// closes the popover, and runs the launch sequence.

#include "appearance.h"
#include "engine.h"
#include "popover_window.h"
#include "start_at_login.h"
#include "status_item.h"
#include "status_menu.h"

#include <QObject>

#include <functional>
#include <memory>

// The self-update services the shell uses, so that tests can stand them in.
struct UpdateServices {
    QObject* checker = nullptr;   // fetching it for the first time starts the checks
    std::function<void()> cleanupLeftovers;
    std::function<void(const QString& downloadURL, const QString& expectedVersion)> startUpdate;
};

class AppDelegate : public QObject {
    Q_OBJECT
public:
    using StatusItemFactory = std::function<std::unique_ptr<StatusItem>()>;

    // Creates the engine, which refreshes once and starts its timers.
    // startAtLogin: what the menus' "Start at Login" reads and sets; the
    // system's own (system_seams.h) when none is given.
    explicit AppDelegate(const EnginePlatform& platform, std::unique_ptr<StartAtLogin> startAtLogin = nullptr,
                         QObject* parent = nullptr);

    // The launch sequence: leftovers of an earlier update removed, the
    // status item created, the update checks started, the popover built.
    void applicationDidFinishLaunching(const std::function<UpdateServices()>& updates,
                                       const StatusItemFactory& statusItemFactory);

    // Draws the popover light or dark as appearance says, from now on. After
    // the launch sequence.
    void followAppearance(const Appearance& appearance);

    // Shows the popover after one refresh, or closes it.
    void togglePopover();
    // Shows the popover when it is not open; another start of the program asks for it.
    void openPopover();

    RavletEngine& engine() { return *m_engine; }
    StatusItem* statusItem() const { return m_statusItem.get(); }
    // The status item's menu: open, mute the output, start at login, quit.
    StatusMenu* statusMenu() const { return m_menu.get(); }
    PopoverWindow* popover() const { return m_popover.get(); }

signals:
    void quitRequested();

private:
    void buildMenu();
    void updateMenu();
    void updateToolTip();

    std::unique_ptr<RavletEngine> m_engine;
    std::unique_ptr<StartAtLogin> m_startAtLogin;
    std::unique_ptr<StatusMenu> m_menu;
    QAction* m_muteOutput = nullptr;
    QAction* m_startAtLoginEntry = nullptr;
    std::unique_ptr<StatusItem> m_statusItem;
    std::unique_ptr<PopoverWindow> m_popover;
};
