#include "app_delegate.h"

#include "renderer_choice.h"
#include "system_seams.h"
#include "view_logic.h"

#include <QTimer>

AppDelegate::AppDelegate(const EnginePlatform& platform, std::unique_ptr<StartAtLogin> startAtLogin,
                         QObject* parent)
    : QObject(parent)
    , m_engine(std::make_unique<RavletEngine>(platform))
    , m_startAtLogin(startAtLogin ? std::move(startAtLogin) : system_seams::startAtLogin())
{
}

void AppDelegate::applicationDidFinishLaunching(const std::function<UpdateServices()>& updates,
                                                const StatusItemFactory& statusItemFactory)
{
    const UpdateServices services = updates();
    if (services.cleanupLeftovers)
        services.cleanupLeftovers();

    m_statusItem = statusItemFactory();
    if (m_statusItem) {
        connect(m_statusItem.get(), &StatusItem::clicked, this, &AppDelegate::togglePopover);
        connect(m_statusItem.get(), &StatusItem::scrolled, this, [this](int notches) {
            if (m_engine->masterVolumeSupported())
                m_engine->setMasterVolume(popover::steppedMasterVolume(m_engine->masterVolume(), notches));
        });
        connect(m_statusItem.get(), &StatusItem::secondaryClicked, m_engine.get(), &RavletEngine::toggleMasterMuted);
        // The tooltip says what the wheel and the middle button act on.
        for (const auto changed : {&RavletEngine::outputNameChanged, &RavletEngine::masterVolumeChanged,
                                   &RavletEngine::masterVolumeSupportedChanged, &RavletEngine::masterMutedChanged,
                                   &RavletEngine::masterMuteSupportedChanged})
            connect(m_engine.get(), changed, this, &AppDelegate::updateToolTip);
        updateToolTip();
        buildMenu();
    }

    // The popover is the program's first Qt Quick window.
    chooseRenderer();
    m_popover = std::make_unique<PopoverWindow>(*m_engine, services.checker, m_startAtLogin.get());
    connect(m_popover.get(), &PopoverWindow::quitRequested, this, &AppDelegate::quitRequested);
    if (services.startUpdate)
        connect(m_popover.get(), &PopoverWindow::updateRequested, this, services.startUpdate);
    // Once the start's own work is done, before anyone can reach the button.
    QTimer::singleShot(0, m_popover.get(), &PopoverWindow::prepare);
}

void AppDelegate::followAppearance(const Appearance& appearance)
{
    if (!m_popover)
        return;
    m_popover->setDark(appearance.dark());
    connect(&appearance, &Appearance::darkChanged, m_popover.get(),
            [this, &appearance] { m_popover->setDark(appearance.dark()); });
}

void AppDelegate::buildMenu()
{
    m_menu = std::make_unique<StatusMenu>();
    connect(m_menu->addAction(QStringLiteral("Open Ravlet")), &QAction::triggered, this, &AppDelegate::openPopover);
    m_muteOutput = m_menu->addAction(QStringLiteral("Mute Output"));
    m_muteOutput->setCheckable(true);
    connect(m_muteOutput, &QAction::triggered, m_engine.get(), &RavletEngine::setMasterMuted);
    m_menu->addSeparator();
    m_startAtLoginEntry = m_menu->addAction(QStringLiteral("Start at Login"));
    m_startAtLoginEntry->setCheckable(true);
    connect(m_startAtLoginEntry, &QAction::triggered, m_startAtLogin.get(), &StartAtLogin::setEnabled);
    connect(m_menu->addAction(QStringLiteral("Quit Ravlet")), &QAction::triggered, this, &AppDelegate::quitRequested);

    // The entry may have been changed elsewhere since.
    connect(m_menu.get(), &StatusMenu::aboutToShow, m_startAtLogin.get(), &StartAtLogin::reload);
    connect(m_startAtLogin.get(), &StartAtLogin::enabledChanged, this, &AppDelegate::updateMenu);
    for (const auto changed : {&RavletEngine::masterMutedChanged, &RavletEngine::masterMuteSupportedChanged})
        connect(m_engine.get(), changed, this, &AppDelegate::updateMenu);
    updateMenu();
    m_statusItem->setMenu(m_menu.get());
}

void AppDelegate::updateMenu()
{
    m_muteOutput->setVisible(m_engine->masterMuteSupported());
    m_muteOutput->setChecked(m_engine->masterMuted());
    m_startAtLoginEntry->setText(m_startAtLogin->text());
    m_startAtLoginEntry->setChecked(m_startAtLogin->enabled());
}

void AppDelegate::updateToolTip()
{
    QString text = m_engine->outputName();
    if (m_engine->masterMuteSupported() && m_engine->masterMuted())
        text += QStringLiteral(" \u2014 muted");
    else if (m_engine->masterVolumeSupported())
        text += QStringLiteral(" \u2014 ") + popover::percentText(popover::shownMasterVolume(m_engine->masterVolume()));
    m_statusItem->setToolTip(text);
}

void AppDelegate::togglePopover()
{
    if (!m_statusItem || !m_popover)
        return;
    if (m_popover->isShown()) {
        m_popover->close();
        return;
    }
    // The click that closed it from outside was on the status item itself.
    if (m_popover->justClosedByClickOutside())
        return;
    m_engine->refresh();
    m_popover->show(m_statusItem->geometry());
}

void AppDelegate::openPopover()
{
    if (!m_popover || m_popover->isShown())
        return;
    m_engine->refresh();
    // Without a status item (none on this desktop) the popover places itself.
    m_popover->show(m_statusItem ? m_statusItem->geometry() : QRect());
}
