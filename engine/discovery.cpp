#include "discovery.h"

#include "cf_string.h"
#include "engine.h"
#include "hal_access.h"
#include "settings.h"

#include <QCollator>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <array>

namespace {

// Lower-case name fragments of audio-routing tools.
constexpr std::array<const char*, 11> kInfraApps = {
    "pultova", "ravlet", "blackhole", "loopback", "soundsource", "background music",
    "eqmac", "audio hijack", "rogue amoeba", "vb-cable", "sound siphon",
};

} // namespace

bool isInfraApp(const QString& name)
{
    const QString lower = name.toLower();
    return std::any_of(kInfraApps.begin(), kInfraApps.end(),
                       [&](const char* fragment) { return lower.contains(QLatin1String(fragment)); });
}

void RavletEngine::refresh()
{
    // An audio server can come and go while the program runs, or be left to
    // another mixer: what was set up there goes, and nothing is listed as
    // playing where it cannot be mixed.
    if (const bool supported = m_hardware.processTapsSupported(); supported != m_supported) {
        if (!supported) {
            teardown();
            publish(m_apps, {}, &RavletEngine::appsChanged);
        }
        publish(m_supported, supported, &RavletEngine::supportedChanged);
    }
    publish(m_outputName, defaultOutputName(), &RavletEngine::outputNameChanged);
    publish(m_currentOutputID, hal::defaultOutputDevice(m_hardware), &RavletEngine::currentOutputIDChanged);
    publish(m_outputs, listOutputDevices(), &RavletEngine::outputsChanged);
    readMasterVolume();
    readMasterMute();

    if (!m_supported)
        return;
    if (discoverApplications()) {
        routeApplications();
        reconcile();
    }
}

bool RavletEngine::discoverApplications()
{
    const AudioObjectPropertyAddress listAddress = hal::globalAddress(kAudioHardwarePropertyProcessObjectList);
    UInt32 size = 0;
    if (m_hardware.getPropertyDataSize(kAudioObjectSystemObject, listAddress, 0, nullptr, &size)
            != kAudioHardwareNoError
        || size == 0) {
        publish(m_apps, {}, &RavletEngine::appsChanged);
        return false;
    }
    std::vector<AudioObjectID> objects(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    if (!objects.empty()) {
        UInt32 bytes = UInt32(objects.size() * sizeof(AudioObjectID));
        if (m_hardware.getPropertyData(kAudioObjectSystemObject, listAddress, 0, nullptr, &bytes, objects.data())
            != kAudioHardwareNoError)
            return false;
        objects.resize(std::min<std::size_t>(objects.size(), bytes / sizeof(AudioObjectID)));
    }

    struct Group {
        QString name;
        std::optional<QString> iconPath;
        QList<qint32> pids;
        QSet<qint32> seen;
        AudioObjectID elsewhere = kAudioObjectUnknown;   // the first device other than the default
        bool onDefault = false;                          // a process of it plays on the default
        std::optional<float> ownVolume;                  // the loudest told
    };
    QHash<QString, Group> groups;
    QStringList discoveryOrder;
    const ProcessInspector::Pid self = m_processes.currentPid();

    for (const AudioObjectID object : objects) {
        OSStatus status = kAudioHardwareNoError;
        const auto pid = hal::readFixed<SInt32>(m_hardware, object, hal::globalAddress(kAudioProcessPropertyPID),
                                                &status);
        if (status != kAudioHardwareNoError || pid == self)
            continue;

        const std::optional<AppIdentity> app
            = m_processes.applicationOf(pid, [this, object] { return hal::clientFacts(m_hardware, object); });
        if (!app || isInfraApp(app->name))
            continue;

        auto group = groups.find(app->id);
        if (group == groups.end()) {
            group = groups.insert(app->id, Group{app->name, app->iconPath, {}, {}, kAudioObjectUnknown, false, std::nullopt});
            discoveryOrder.append(app->id);
        }
        const auto device = hal::readFixed<AudioObjectID>(m_hardware, object,
                                                          hal::globalAddress(kRavletProcessPropertyOutputDevice));
        if (device == kAudioObjectUnknown || device == m_currentOutputID)
            group->onDefault = true;
        else if (group->elsewhere == kAudioObjectUnknown)
            group->elsewhere = device;
        OSStatus volumeStatus = kAudioHardwareNoError;
        const auto own = hal::readFixed<Float32>(m_hardware, object, hal::globalAddress(kRavletProcessPropertyOwnVolume),
                                                 &volumeStatus);
        const float level = volumeStatus == kAudioHardwareNoError && std::isfinite(own) ? std::max(own, 0.0f) : 1.0f;
        group->ownVolume = std::max(group->ownVolume.value_or(0.0f), level);
        // A process the audio server could not put a pid to still names its
        // application, but has nothing to tap by.
        if (pid > 0 && !group->seen.contains(pid)) {
            group->seen.insert(pid);
            group->pids.append(pid);
        }
    }

    QList<AudioApp> found;
    found.reserve(discoveryOrder.size());
    for (const QString& id : std::as_const(discoveryOrder)) {
        const Group& group = groups[id];
        found.append(AudioApp{id, group.name, group.iconPath, group.pids,
                              group.onDefault ? kAudioObjectUnknown : group.elsewhere, group.ownVolume.value_or(1.0f)});
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(found.begin(), found.end(), [&collator](const AudioApp& a, const AudioApp& b) {
        return collator.compare(a.name, b.name) < 0;
    });

    m_pidsByID.clear();
    for (const AudioApp& app : std::as_const(found))
        m_pidsByID.insert(app.id, app.pids);

    if (found != m_apps)
        publish(m_apps, std::move(found), &RavletEngine::appsChanged);

    bool knownChanged = false;
    for (const AudioApp& app : std::as_const(m_apps)) {
        const AppMeta meta{app.name, app.iconPath};
        const auto entry = m_known.constFind(app.id);
        if (entry != m_known.cend() && *entry == meta)
            continue;
        m_known.insert(app.id, meta);
        emit this->knownChanged();
        knownChanged = true;
    }
    if (knownChanged)
        saveKnown();
    return true;
}

float RavletEngine::ownVolume(const QString& id) const
{
    const auto app = std::find_if(m_apps.cbegin(), m_apps.cend(), [&id](const AudioApp& a) { return a.id == id; });
    return app == m_apps.cend() ? 1.0f : app->ownVolume;
}
