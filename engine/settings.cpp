#include "settings.h"

#include <cmath>

namespace settings {
namespace {

std::optional<QStringList> stringArray(const UserDefaults& defaults, const QString& key)
{
    const std::optional<QVariantList> array = defaults.array(key);
    if (!array)
        return std::nullopt;
    QStringList strings;
    strings.reserve(array->size());
    for (const QVariant& element : *array) {
        if (element.metaType().id() != QMetaType::QString)
            return std::nullopt;
        strings.append(element.toString());
    }
    return strings;
}

std::optional<QMap<QString, float>> gainMap(const UserDefaults& defaults)
{
    const std::optional<QVariantMap> dictionary = defaults.dictionary(gainsKey);
    if (!dictionary)
        return std::nullopt;
    QMap<QString, float> gains;
    for (auto it = dictionary->cbegin(); it != dictionary->cend(); ++it) {
        if (it->metaType().id() != QMetaType::Double)
            return std::nullopt;
        // A gain that is not a finite 32-bit number (NaN, infinite, or too
        // large to narrow) would reach the audio as noise or silence; it
        // counts as a value of the wrong type.
        const float gain = float(it->toDouble());
        if (!std::isfinite(gain))
            return std::nullopt;
        gains.insert(it.key(), gain);
    }
    return gains;
}

std::optional<QMap<QString, bool>> muteMap(const UserDefaults& defaults)
{
    const std::optional<QVariantMap> dictionary = defaults.dictionary(mutesKey);
    if (!dictionary)
        return std::nullopt;
    QMap<QString, bool> mutes;
    for (auto it = dictionary->cbegin(); it != dictionary->cend(); ++it) {
        if (it->metaType().id() != QMetaType::Bool)
            return std::nullopt;
        mutes.insert(it.key(), it->toBool());
    }
    return mutes;
}

} // namespace

Loaded load(const UserDefaults& defaults)
{
    Loaded loaded;
    if (auto hidden = stringArray(defaults, hiddenKey))
        loaded.hidden = QSet<QString>(hidden->cbegin(), hidden->cend());
    if (auto order = stringArray(defaults, orderKey))
        loaded.order = *order;
    if (auto gains = gainMap(defaults))
        loaded.gains = *gains;
    if (auto mutes = muteMap(defaults))
        loaded.mutes = *mutes;
    if (auto data = defaults.data(knownKey)) {
        if (auto known = decodeKnownApps(*data))
            loaded.known = *known;
    }
    return loaded;
}

void saveHidden(UserDefaults& defaults, const QSet<QString>& hidden)
{
    QVariantList array;
    array.reserve(hidden.size());
    for (const QString& id : hidden)
        array.append(id);
    defaults.setValue(hiddenKey, array);
}

void saveOrder(UserDefaults& defaults, const QStringList& order)
{
    QVariantList array;
    array.reserve(order.size());
    for (const QString& id : order)
        array.append(id);
    defaults.setValue(orderKey, array);
}

void saveGains(UserDefaults& defaults, const QMap<QString, float>& gains)
{
    QVariantMap dictionary;
    for (auto it = gains.cbegin(); it != gains.cend(); ++it) {
        // A non-finite gain cannot be stored and would make the whole stored
        // map unreadable; leaving it out keeps every other gain.
        if (std::isfinite(it.value()))
            dictionary.insert(it.key(), double(it.value()));
    }
    defaults.setValue(gainsKey, dictionary);
}

void saveMutes(UserDefaults& defaults, const QMap<QString, bool>& mutes)
{
    QVariantMap dictionary;
    for (auto it = mutes.cbegin(); it != mutes.cend(); ++it)
        dictionary.insert(it.key(), it.value());
    defaults.setValue(mutesKey, dictionary);
}

void saveKnown(UserDefaults& defaults, const KnownApps& known)
{
    defaults.setValue(knownKey, encodeKnownApps(known));
}

} // namespace settings
