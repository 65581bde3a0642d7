#pragma once

// The values the engine publishes and remembers. All are plain values; the
// application id (the outermost ".app" bundle path) is the key throughout.

#include "core_audio_types.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>

#include <optional>

// One running audio application as found by a refresh.
struct AudioApp {
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString iconPath READ iconPathOrEmpty)
public:
    QString id;
    QString name;
    std::optional<QString> iconPath;
    QList<qint32> pids;
    // The device it plays on when every process of it was sent to one other
    // than the default output device; unknown (0) while any plays on the
    // default, or where that cannot be told.
    AudioObjectID outputDevice = kAudioObjectUnknown;
    // The level the audio server applies to its streams besides ours, as
    // another program set it (its loudest process's); 1 where none is told.
    float ownVolume = 1.0f;

    QString iconPathOrEmpty() const { return iconPath.value_or(QString()); }

    // The icon path takes no part: it always follows the id.
    friend bool operator==(const AudioApp& a, const AudioApp& b)
    {
        return a.id == b.id && a.name == b.name && a.pids == b.pids && a.outputDevice == b.outputDevice
            && a.ownVolume == b.ownVolume;
    }
};

// What is remembered of an application that need not be running.
struct AppMeta {
    QString name;
    std::optional<QString> iconPath;

    friend bool operator==(const AppMeta&, const AppMeta&) = default;
};

using KnownApps = QMap<QString, AppMeta>;

// The remembered applications as stored: one JSON object whose member names
// are application ids and whose values are {"name": …, "iconPath": …}.
QByteArray encodeKnownApps(const KnownApps& known);
// Nothing when the bytes are not such an object, or any member lacks a name.
std::optional<KnownApps> decodeKnownApps(const QByteArray& json);

// One row of the display list.
struct AppEntry {
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString iconPath READ iconPathOrEmpty)
    Q_PROPERTY(bool isActive MEMBER isActive)
public:
    QString id;
    QString name;
    std::optional<QString> iconPath;
    bool isActive = false;

    QString iconPathOrEmpty() const { return iconPath.value_or(QString()); }

    friend bool operator==(const AppEntry&, const AppEntry&) = default;
};

// A selectable output device.
struct OutputDevice {
    Q_GADGET
    Q_PROPERTY(quint32 id MEMBER id)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString uid MEMBER uid)
public:
    AudioObjectID id = kAudioObjectUnknown;
    QString name;
    // What a choice of this device is remembered by: ids are for one run.
    QString uid;

    friend bool operator==(const OutputDevice&, const OutputDevice&) = default;
};

Q_DECLARE_METATYPE(AudioApp)
Q_DECLARE_METATYPE(AppMeta)
Q_DECLARE_METATYPE(AppEntry)
Q_DECLARE_METATYPE(OutputDevice)
