#include "cf_property_list.h"

#include "cf_string.h"

#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <vector>

namespace {

struct Releaser {
    void operator()(CFTypeRef object) const { CFRelease(object); }
};
using Owned = std::unique_ptr<const void, Releaser>;

CFPropertyListRef createArray(const QVariantList& list)
{
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, CFIndex(list.size()), &kCFTypeArrayCallBacks);
    for (const QVariant& item : list) {
        const Owned element(createPropertyList(item));
        if (!element) {
            CFRelease(array);
            return nullptr;
        }
        CFArrayAppendValue(array, element.get());
    }
    return array;
}

CFPropertyListRef createDictionary(const QVariantMap& map)
{
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        kCFAllocatorDefault, CFIndex(map.size()), &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const Owned key(createCFString(it.key()));
        const Owned value(createPropertyList(it.value()));
        if (!key || !value) {
            CFRelease(dictionary);
            return nullptr;
        }
        CFDictionarySetValue(dictionary, key.get(), value.get());
    }
    return dictionary;
}

} // namespace

CFStringRef createCFString(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    return cfStringFromUtf8(std::string_view(utf8.constData(), std::size_t(utf8.size())));
}

CFPropertyListRef createPropertyList(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return createCFString(value.toString());
    case QMetaType::Bool:
        return CFRetain(value.toBool() ? kCFBooleanTrue : kCFBooleanFalse);
    case QMetaType::Double:
    case QMetaType::Float: {
        const double number = value.toDouble();
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &number);
    }
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong: {
        const long long number = value.toLongLong();
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &number);
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes.constData()), CFIndex(bytes.size()));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return createArray(value.toList());
    case QMetaType::QVariantMap:
        return createDictionary(value.toMap());
    default:
        return nullptr;
    }
}

std::optional<QVariant> variantFromPropertyList(CFPropertyListRef list)
{
    if (!list)
        return std::nullopt;
    const CFTypeID type = CFGetTypeID(list);
    if (type == CFStringGetTypeID())
        return QString::fromStdString(utf8FromCFString(static_cast<CFStringRef>(list)));
    if (type == CFBooleanGetTypeID())
        return bool(CFBooleanGetValue(static_cast<CFBooleanRef>(list)));
    if (type == CFNumberGetTypeID()) {
        // Settings hold numbers as doubles, whatever width they were stored with.
        double real = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(list), kCFNumberDoubleType, &real);
        return real;
    }
    if (type == CFDataGetTypeID()) {
        const auto data = static_cast<CFDataRef>(list);
        return QByteArray(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), qsizetype(CFDataGetLength(data)));
    }
    if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(list);
        QVariantList result;
        for (CFIndex i = 0, count = CFArrayGetCount(array); i < count; ++i) {
            std::optional<QVariant> item = variantFromPropertyList(CFArrayGetValueAtIndex(array, i));
            if (!item)
                return std::nullopt;
            result.append(*item);
        }
        return result;
    }
    if (type == CFDictionaryGetTypeID()) {
        const auto dictionary = static_cast<CFDictionaryRef>(list);
        const auto count = std::size_t(CFDictionaryGetCount(dictionary));
        std::vector<const void*> keys(count), values(count);
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        QVariantMap result;
        for (std::size_t i = 0; i < count; ++i) {
            if (CFGetTypeID(keys[i]) != CFStringGetTypeID())
                return std::nullopt;
            std::optional<QVariant> value = variantFromPropertyList(values[i]);
            if (!value)
                return std::nullopt;
            result.insert(QString::fromStdString(utf8FromCFString(static_cast<CFStringRef>(keys[i]))), *value);
        }
        return result;
    }
    return std::nullopt;
}
