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

const QString kAppSuffix = QStringLiteral(".app");
const QString kApplicationsFolder = QStringLiteral("/Applications/");

} // namespace

QStringList pathComponents(const QString& path)
{
    QStringList components;
    if (path.startsWith(QLatin1Char('/')))
        components.append(QStringLiteral("/"));
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        components.append(part);
    return components;
}

QString pathWithComponents(const QStringList& components)
{
    if (components.isEmpty())
        return {};
    if (components.first() == QLatin1String("/"))
        return QLatin1Char('/') + components.mid(1).join(QLatin1Char('/'));
    return components.join(QLatin1Char('/'));
}

std::optional<AppPath> exeAppPath(const ProcessInspector& processes, ProcessInspector::Pid pid)
{
    constexpr std::uint32_t kBufferSize = 4096;
    char buffer[kBufferSize] = {};
    if (processes.pidPath(pid, buffer, kBufferSize) <= 0)
        return std::nullopt;
    buffer[kBufferSize - 1] = '\0';

    const QStringList components = pathComponents(QString::fromUtf8(buffer));
    for (qsizetype i = 0; i < components.size(); ++i) {
        if (!components.at(i).endsWith(kAppSuffix))
            continue;
        AppPath result;
        result.path = pathWithComponents(components.first(i + 1));
        result.name = processes.displayNameAtPath(result.path);
        if (result.name.endsWith(kAppSuffix))
            result.name.chop(kAppSuffix.size());
        return result;
    }
    return std::nullopt;
}

bool isInfraApp(const QString& name)
{
    const QString lower = name.toLower();
    return std::any_of(kInfraApps.begin(), kInfraApps.end(),
                       [&](const char* fragment) { return lower.contains(QLatin1String(fragment)); });
}

void RavletEngine::refresh()
{
    publish(m_outputName, defaultOutputName(), &RavletEngine::outputNameChanged);
    publish(m_currentOutputID, hal::defaultOutputDevice(m_hardware), &RavletEngine::currentOutputIDChanged);
    publish(m_outputs, listOutputDevices(), &RavletEngine::outputsChanged);
    readMasterVolume();

    if (!m_supported)
        return;
    if (discoverApplications())
        reconcile();
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
        QString iconPath;
        QList<qint32> pids;
        QSet<qint32> seen;
    };
    QHash<QString, Group> groups;
    QStringList discoveryOrder;
    const ProcessInspector::Pid self = m_processes.currentPid();

    for (const AudioObjectID object : objects) {
        OSStatus status = kAudioHardwareNoError;
        const auto pid = hal::readFixed<SInt32>(m_hardware, object, hal::globalAddress(kAudioProcessPropertyPID),
                                                &status);
        if (status != kAudioHardwareNoError || pid <= 0 || pid == self)
            continue;

        std::optional<AppPath> app = exeAppPath(m_processes, pid);
        if (!app || !app->path.contains(kApplicationsFolder)) {
            if (!m_processes.hasResponsibilityLookup())
                continue;
            const ProcessInspector::Pid responsible = m_processes.responsiblePid(pid);
            if (responsible <= 0 || responsible == pid)
                continue;
            app = exeAppPath(m_processes, responsible);
            if (!app || !app->path.contains(kApplicationsFolder))
                continue;
        }
        if (isInfraApp(app->name))
            continue;

        auto group = groups.find(app->path);
        if (group == groups.end()) {
            group = groups.insert(app->path, Group{app->name, app->path, {}, {}});
            discoveryOrder.append(app->path);
        }
        if (!group->seen.contains(pid)) {
            group->seen.insert(pid);
            group->pids.append(pid);
        }
    }

    QList<AudioApp> found;
    found.reserve(discoveryOrder.size());
    for (const QString& id : std::as_const(discoveryOrder)) {
        const Group& group = groups[id];
        found.append(AudioApp{id, group.name, group.iconPath, group.pids});
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
