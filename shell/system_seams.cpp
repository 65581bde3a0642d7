#include "system_seams.h"

#include "in_app_updater.h"
#include "system_log.h"

#if defined(__APPLE__)
#include "cf_preferences_user_defaults.h"
#include "main_app_login_item.h"
#include "update_offer.h"
#else
#include "autostart_entry.h"
#include "crash_guardian.h"
#include "json_user_defaults.h"
#endif

#include <cstdio>
#include <cstring>

namespace system_seams {

#if defined(__APPLE__)

std::optional<int> runHelper(int, char**)
{
    return std::nullopt;
}

std::unique_ptr<UserDefaults> userDefaults()
{
    return std::make_unique<CFPreferencesUserDefaults>(InAppUpdater::kBundleID);
}

std::unique_ptr<StartAtLogin> startAtLogin()
{
    return std::make_unique<MainAppLoginItem>();
}

std::unique_ptr<StatusItem> statusItem(const QIcon& icon, const QString& accessibleName)
{
    // A template image: the menu bar draws it in its own colours, light or dark.
    QIcon symbol = icon;
    symbol.setIsMask(true);
    return StatusItem::createMenuBarItem(symbol, accessibleName);
}

bool offersUpdates(const QString& bundlePath)
{
    return bundleOffersUpdates(UpdaterTools{}, bundlePath, InAppUpdater::kBundleID, InAppUpdater::kExpectedTeamID);
}

void note(const QString& line)
{
    systemLog(line);
}

#else

std::optional<int> runHelper(int argc, char** argv)
{
    // The mixer's guardian, started by the mixer itself; no command of the user's.
    if (argc > 1 && std::strcmp(argv[1], CrashGuardian::kArgument) == 0)
        return runCrashGuardian(argc, argv);
    return std::nullopt;
}

std::unique_ptr<UserDefaults> userDefaults()
{
    return std::make_unique<JsonUserDefaults>(JsonUserDefaults::defaultFilePath());
}

std::unique_ptr<StartAtLogin> startAtLogin()
{
    return std::make_unique<AutostartEntry>();
}

std::unique_ptr<StatusItem> statusItem(const QIcon& icon, const QString& accessibleName)
{
    return StatusItem::create(icon, accessibleName);
}

bool offersUpdates(const QString&)
{
    return true;
}

void note(const QString& line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

#endif

} // namespace system_seams
