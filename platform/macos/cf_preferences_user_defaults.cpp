#include "cf_preferences_user_defaults.h"

#include "cf_property_list.h"
#include "system_log.h"

#include <memory>

namespace {

struct Releaser {
    void operator()(CFTypeRef object) const
    {
        if (object)
            CFRelease(object);
    }
};
using Owned = std::unique_ptr<const void, Releaser>;

} // namespace

CFPreferencesUserDefaults::CFPreferencesUserDefaults(QString applicationID)
    : m_applicationID(std::move(applicationID))
{
}

const void* CFPreferencesUserDefaults::copyStored(const QString& key) const
{
    const Owned name(createCFString(key));
    const Owned domain(createCFString(m_applicationID));
    if (!name || !domain)
        return nullptr;
    return CFPreferencesCopyAppValue(static_cast<CFStringRef>(name.get()), static_cast<CFStringRef>(domain.get()));
}

QVariant CFPreferencesUserDefaults::value(const QString& key) const
{
    const Owned stored(copyStored(key));
    return variantFromPropertyList(stored.get()).value_or(QVariant());
}

void CFPreferencesUserDefaults::setValue(const QString& key, const QVariant& value)
{
    const Owned list(isStorableDefaultsValue(value) && !containsNonFiniteNumber(value) ? createPropertyList(value)
                                                                                       : nullptr);
    if (!list) {
        systemLog(QStringLiteral("[ravlet] did not store setting \"") + key
                  + QStringLiteral("\": it is not a storable value"));
        return;
    }
    write(key, list.get());
}

void CFPreferencesUserDefaults::removeValue(const QString& key)
{
    // Removing nothing saves nothing, as in the other stores; a value of a
    // type no setting has is removed all the same.
    if (const Owned stored(copyStored(key)); stored)
        write(key, nullptr);
}

void CFPreferencesUserDefaults::write(const QString& key, const void* list)
{
    const Owned name(createCFString(key));
    const Owned domain(createCFString(m_applicationID));
    if (!name || !domain)
        return;
    const auto domainString = static_cast<CFStringRef>(domain.get());
    CFPreferencesSetAppValue(static_cast<CFStringRef>(name.get()), list, domainString);
    if (!CFPreferencesAppSynchronize(domainString))
        systemLog(QStringLiteral("[ravlet] could not save setting \"") + key + QStringLiteral("\""));
}
