#include "main_app_login_item.h"

#include "system_log.h"

#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

namespace {

MainAppLoginItem::Status readStatus()
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    MainAppLoginItem::Status status = MainAppLoginItem::Status::NotFound;
    switch ([[SMAppService mainAppService] status]) {
    case SMAppServiceStatusNotRegistered:
        status = MainAppLoginItem::Status::NotRegistered;
        break;
    case SMAppServiceStatusEnabled:
        status = MainAppLoginItem::Status::Enabled;
        break;
    case SMAppServiceStatusRequiresApproval:
        status = MainAppLoginItem::Status::RequiresApproval;
        break;
    case SMAppServiceStatusNotFound:
        break;
    }
    [pool drain];
    return status;
}

// Registers or unregisters; on failure, the system's own words for the log.
bool change(bool enable, QString* why)
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    SMAppService* service = [SMAppService mainAppService];
    NSError* error = nil;
    const BOOL done = enable ? [service registerAndReturnError:&error] : [service unregisterAndReturnError:&error];
    if (!done)
        *why = error ? QString::fromUtf8([[error localizedDescription] UTF8String]) : QStringLiteral("no reason given");
    [pool drain];
    return done;
}

} // namespace

MainAppLoginItem::MainAppLoginItem(QObject* parent)
    : StartAtLogin(parent)
    , m_status(readStatus())
{
}

QString MainAppLoginItem::text() const
{
    if (m_status == Status::RequiresApproval)
        return QStringLiteral("Start at Login (Approve in System Settings)");
    return StartAtLogin::text();
}

void MainAppLoginItem::reload()
{
    m_status = readStatus();
    emit enabledChanged();
}

void MainAppLoginItem::setEnabled(bool enabled)
{
    const Status before = readStatus();
    // Registering again would not ask again: the user approves in System Settings.
    if (enabled && before == Status::RequiresApproval) {
        [SMAppService openSystemSettingsLoginItems];
        reload();
        return;
    }
    // Already as asked: the framework reports a second registration as an error.
    const bool already = enabled ? before == Status::Enabled
                                 : before == Status::NotRegistered || before == Status::NotFound;
    if (already) {
        reload();
        return;
    }
    QString why;
    const bool done = change(enabled, &why);
    reload();
    // A registration that waits for the user's approval fails, but is under
    // way: the settings where the user gives it are opened.
    if (enabled && m_status == Status::RequiresApproval) {
        [SMAppService openSystemSettingsLoginItems];
        return;
    }
    if (!done) {
        systemLog(enabled ? QStringLiteral("[ravlet] could not start at login: %1").arg(why)
                          : QStringLiteral("[ravlet] could not stop starting at login: %1").arg(why));
    }
}
