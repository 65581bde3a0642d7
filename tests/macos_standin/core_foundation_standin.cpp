// A small CoreFoundation: one reference-counted object kind holding any of
// the property-list types, and preference domains in memory.

#include "standin.h"

#include <CoreFoundation/CoreFoundation.h>

#include "utf8_length.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

enum Kind : CFTypeID { String = 7, Number, Boolean_, Data, Array, Dictionary };

struct Object {
    explicit Object(Kind k, bool counted = true) : kind(k), counted(counted) {}
    std::atomic<int> refs{1};
    Kind kind;
    bool counted;
    std::string bytes;        // a string's UTF-8, or data
    CFIndex utf16Length = 0;
    bool isFloat = false;
    double real = 0;
    long long integer = 0;
    std::vector<CFTypeRef> items;                        // an array
    std::vector<std::pair<CFTypeRef, CFTypeRef>> pairs;  // a dictionary, in insertion order
};

std::atomic<long> live{0};

const Object* object(CFTypeRef ref) { return static_cast<const Object*>(ref); }
Object* mutableObject(const void* ref) { return static_cast<Object*>(const_cast<void*>(ref)); }

template <typename Ref>
Ref make(Object* o)
{
    live.fetch_add(1, std::memory_order_relaxed);
    return reinterpret_cast<Ref>(o);
}

bool sameString(CFTypeRef a, CFTypeRef b)
{
    return object(a)->kind == String && object(b)->kind == String && object(a)->bytes == object(b)->bytes;
}

Object trueObject(Boolean_, false);
Object falseObject(Boolean_, false);

std::mutex preferencesMutex;
struct Domain {
    std::map<std::string, CFTypeRef> values;
    std::map<std::string, int> writes;
};
std::map<std::string, Domain> domains;

} // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(&trueObject);
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(&falseObject);
const CFArrayCallBacks kCFTypeArrayCallBacks = {};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {};

CFTypeRef CFRetain(CFTypeRef cf)
{
    mutableObject(cf)->refs.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf)
{
    Object* o = mutableObject(cf);
    if (o->refs.fetch_sub(1, std::memory_order_acq_rel) != 1 || !o->counted)
        return;
    for (CFTypeRef item : o->items)
        CFRelease(item);
    for (const auto& [key, value] : o->pairs) {
        CFRelease(key);
        CFRelease(value);
    }
    live.fetch_sub(1, std::memory_order_relaxed);
    delete o;
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return object(cf)->kind; }
CFTypeID CFStringGetTypeID(void) { return String; }
CFTypeID CFNumberGetTypeID(void) { return Number; }
CFTypeID CFBooleanGetTypeID(void) { return Boolean_; }
CFTypeID CFDataGetTypeID(void) { return Data; }
CFTypeID CFArrayGetTypeID(void) { return Array; }
CFTypeID CFDictionaryGetTypeID(void) { return Dictionary; }

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean)
{
    if (encoding != kCFStringEncodingUTF8 || numBytes < 0)
        return nullptr;
    const std::optional<long> units = utf16LengthOfUtf8(reinterpret_cast<const char*>(bytes), std::size_t(numBytes));
    if (!units)
        return nullptr;
    auto* o = new Object(String);
    o->bytes.assign(reinterpret_cast<const char*>(bytes), std::size_t(numBytes));
    o->utf16Length = *units;
    return make<CFStringRef>(o);
}

CFIndex CFStringGetLength(CFStringRef theString) { return object(theString)->utf16Length; }

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding)
{
    return encoding == kCFStringEncodingUTF8 ? length * 3 : 0;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding)
{
    const std::string& bytes = object(theString)->bytes;
    if (encoding != kCFStringEncodingUTF8 || bufferSize <= CFIndex(bytes.size()))
        return false;
    std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = '\0';
    return true;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr)
{
    auto* o = new Object(Number);
    if (theType == kCFNumberDoubleType) {
        std::memcpy(&o->real, valuePtr, sizeof o->real);
        o->isFloat = true;
    } else if (theType == kCFNumberSInt64Type) {
        std::memcpy(&o->integer, valuePtr, sizeof o->integer);
    } else {
        SInt32 value;
        std::memcpy(&value, valuePtr, sizeof value);
        o->integer = value;
    }
    return make<CFNumberRef>(o);
}

// True only when the value converts without loss, as CoreFoundation answers.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr)
{
    const Object* o = object(number);
    if (theType == kCFNumberDoubleType) {
        const double value = o->isFloat ? o->real : double(o->integer);
        std::memcpy(valuePtr, &value, sizeof value);
        return o->isFloat || (long long)value == o->integer;
    }
    const long long value = o->isFloat ? (long long)o->real : o->integer;
    if (theType == kCFNumberSInt64Type) {
        std::memcpy(valuePtr, &value, sizeof value);
    } else {
        const SInt32 narrow = SInt32(value);
        std::memcpy(valuePtr, &narrow, sizeof narrow);
        if (narrow != value)
            return false;
    }
    return !o->isFloat || double(value) == o->real;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) { return object(boolean) == &trueObject; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length)
{
    auto* o = new Object(Data);
    o->bytes.assign(reinterpret_cast<const char*>(bytes), std::size_t(length));
    return make<CFDataRef>(o);
}

CFIndex CFDataGetLength(CFDataRef theData) { return CFIndex(object(theData)->bytes.size()); }
const UInt8* CFDataGetBytePtr(CFDataRef theData) { return reinterpret_cast<const UInt8*>(object(theData)->bytes.data()); }

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks*)
{
    return make<CFMutableArrayRef>(new Object(Array));
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value)
{
    mutableObject(theArray)->items.push_back(CFRetain(value));
}

CFIndex CFArrayGetCount(CFArrayRef theArray) { return CFIndex(object(theArray)->items.size()); }
const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) { return object(theArray)->items.at(std::size_t(idx)); }

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*,
                                                 const CFDictionaryValueCallBacks*)
{
    return make<CFMutableDictionaryRef>(new Object(Dictionary));
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value)
{
    CFRetain(value);
    for (auto& [k, v] : mutableObject(theDict)->pairs) {
        if (sameString(k, key)) {
            CFRelease(v);
            v = value;
            return;
        }
    }
    mutableObject(theDict)->pairs.emplace_back(CFRetain(key), value);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) { return CFIndex(object(theDict)->pairs.size()); }

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values)
{
    std::size_t i = 0;
    for (const auto& [key, value] : object(theDict)->pairs) {
        if (keys)
            keys[i] = key;
        if (values)
            values[i] = value;
        ++i;
    }
}

CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID)
{
    std::lock_guard lock(preferencesMutex);
    const Domain& domain = domains[object(applicationID)->bytes];
    const auto found = domain.values.find(object(key)->bytes);
    return found == domain.values.end() ? nullptr : CFRetain(found->second);
}

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID)
{
    std::lock_guard lock(preferencesMutex);
    Domain& domain = domains[object(applicationID)->bytes];
    const std::string name = object(key)->bytes;
    ++domain.writes[name];
    if (const auto found = domain.values.find(name); found != domain.values.end()) {
        CFRelease(found->second);
        domain.values.erase(found);
    }
    if (value)
        domain.values.emplace(name, CFRetain(value));
}

Boolean CFPreferencesAppSynchronize(CFStringRef) { return true; }

} // extern "C"

namespace standin {

long liveCFObjects() { return live.load(std::memory_order_relaxed); }

int preferenceWrites(const std::string& applicationID, const std::string& key)
{
    std::lock_guard lock(preferencesMutex);
    return domains[applicationID].writes[key];
}

void resetPreferences(const std::string& applicationID)
{
    std::lock_guard lock(preferencesMutex);
    for (auto& [key, value] : domains[applicationID].values)
        CFRelease(value);
    domains.erase(applicationID);
}

} // namespace standin
