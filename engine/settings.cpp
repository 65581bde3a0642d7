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

// A stored dictionary whose every value converts, or nothing at all: one
// value of the wrong type makes the whole setting count as absent.
template <typename T, typename Convert>
std::optional<QMap<QString, T>> typedMap(const UserDefaults& defaults, const QString& key, Convert convert)
{
    const std::optional<QVariantMap> dictionary = defaults.dictionary(key);
    if (!dictionary)
        return std::nullopt;
    QMap<QString, T> map;
    for (auto it = dictionary->cbegin(); it != dictionary->cend(); ++it) {
        const std::optional<T> value = convert(*it);
        if (!value)
            return std::nullopt;
        map.insert(it.key(), *value);
    }
    return map;
}

// A gain that is not a finite 32-bit number (NaN, infinite, or too large to
// narrow) would reach the audio as noise or silence: it is of the wrong type.
std::optional<float> storedGain(const QVariant& value)
{
    if (value.metaType().id() != QMetaType::Double)
        return std::nullopt;
    const float gain = float(value.toDouble());
    return std::isfinite(gain) ? std::optional<float>(gain) : std::nullopt;
}

// A bool and nothing else: a number or a string is no answer to on or off.
std::optional<bool> storedBool(const QVariant& value)
{
    return value.metaType().id() == QMetaType::Bool ? std::optional<bool>(value.toBool()) : std::nullopt;
}

// A device UID: a non-empty string. An empty one would stand for no device
// at all, which absence already says.
std::optional<QString> storedUID(const QVariant& value)
{
    if (value.metaType().id() != QMetaType::QString || value.toString().isEmpty())
        return std::nullopt;
    return value.toString();
}

} // namespace

Loaded load(const UserDefaults& defaults)
{
    Loaded loaded;
    if (auto hidden = stringArray(defaults, hiddenKey))
        loaded.hidden = QSet<QString>(hidden->cbegin(), hidden->cend());
    if (auto order = stringArray(defaults, orderKey))
        loaded.order = *order;
    if (auto gains = typedMap<float>(defaults, gainsKey, storedGain))
        loaded.gains = *gains;
    if (auto mutes = typedMap<bool>(defaults, mutesKey, storedBool))
        loaded.mutes = *mutes;
    if (auto data = defaults.data(knownKey)) {
        if (auto known = decodeKnownApps(*data))
            loaded.known = *known;
    }
    if (auto limiter = storedBool(defaults.value(limiterKey)))
        loaded.limiter = *limiter;
    if (auto outputs = typedMap<QString>(defaults, outputsKey, storedUID))
        loaded.outputs = *outputs;
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

void saveLimiter(UserDefaults& defaults, bool on)
{
    defaults.setValue(limiterKey, on);
}

void saveOutputs(UserDefaults& defaults, const QMap<QString, QString>& outputs)
{
    QVariantMap dictionary;
    for (auto it = outputs.cbegin(); it != outputs.cend(); ++it)
        dictionary.insert(it.key(), it.value());
    defaults.setValue(outputsKey, dictionary);
}

} // namespace settings
