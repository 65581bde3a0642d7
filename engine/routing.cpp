// Which device each application plays on: the one the user chose for it,
// remembered by the device's UID; a move made in another program, adopted as
// the user's choice; else the system's default output. Hardware that can
// send a process to a device itself (a sound server) is asked to; where it
// cannot (Core Audio), the application is tapped and mixed onto its device.
// Main thread only.

#include "engine.h"

#include "client_properties.h"
#include "hal_access.h"
#include "settings.h"
#include "system_log.h"

AudioObjectID RavletEngine::deviceWithUID(const QString& uid) const
{
    if (uid.isEmpty())
        return kAudioObjectUnknown;
    for (const OutputDevice& device : m_outputs) {
        if (device.uid == uid)
            return device.id;
    }
    return kAudioObjectUnknown;
}

AudioObjectID RavletEngine::playsOn(const QString& id) const
{
    if (const AudioObjectID chosen = deviceWithUID(m_outputChoices.value(id)))
        return chosen;
    // Sent elsewhere while its chosen device is away: it plays where it is.
    for (const AudioApp& app : m_apps) {
        if (app.id == id && app.outputDevice != kAudioObjectUnknown
            && std::any_of(m_outputs.cbegin(), m_outputs.cend(),
                           [&app](const OutputDevice& device) { return device.id == app.outputDevice; }))
            return app.outputDevice;
    }
    return m_currentOutputID;
}

bool RavletEngine::routedByTap(const QString& id) const
{
    return m_routesByTap && deviceWithUID(m_outputChoices.value(id)) != kAudioObjectUnknown
        && playsOn(id) != m_currentOutputID;
}

bool RavletEngine::setOutputOf(const QString& id, const QString& uid)
{
    if (id.isEmpty() || (!uid.isEmpty() && deviceWithUID(uid) == kAudioObjectUnknown))
        return false;
    QMap<QString, QString> choices = m_outputChoices;
    if (uid.isEmpty())
        choices.remove(id);
    else
        choices.insert(id, uid);
    publish(m_outputChoices, std::move(choices), &RavletEngine::outputChoicesChanged);
    settings::saveOutputs(m_defaults, m_outputChoices);
    m_routeNow.insert(id);
    // Routed from where each application plays now, not from where the last
    // refresh saw it: a choice made twice in a row must move it twice.
    refresh();
    return true;
}

void RavletEngine::routeApplications()
{
    const AudioObjectPropertyAddress address = hal::globalAddress(kRavletProcessPropertyOutputDevice);
    bool choicesChanged = false;
    QHash<QString, SeenOn> seen;
    // A new default output changes what "elsewhere" means: an application
    // that stays where it was sent (by a sound server that remembers
    // targets, say) seems to move. This pass only looks; the next one routes.
    const bool defaultChanged = m_seenDefault != kAudioObjectUnknown && m_seenDefault != m_currentOutputID;
    m_seenDefault = m_currentOutputID;
    bool appsMoved = false;
    QSet<QString> strayed;
    for (AudioApp& app : m_apps) {
        // Where it plays now; unknown: on the default output.
        const AudioObjectID observed = app.outputDevice == m_currentOutputID ? kAudioObjectUnknown : app.outputDevice;
        seen.insert(app.id, SeenOn{observed, app.pids});
        if (defaultChanged)
            continue;
        const bool hasChoice = m_outputChoices.contains(app.id);
        AudioObjectID chosen = deviceWithUID(m_outputChoices.value(app.id));
        const bool choiceAway = hasChoice && chosen == kAudioObjectUnknown;

        // A move is a change since the last refresh of a process seen then,
        // or, for an application without a choice of ours, a device other
        // than the default from the start. A player started again between
        // two looks plays where the server put it, which nobody chose.
        // Falling back to the default while the chosen device is away is no
        // move: the choice comes back with the device.
        const auto before = m_seenOn.constFind(app.id);
        const bool seenBefore = before != m_seenOn.cend()
                             && (std::any_of(app.pids.cbegin(), app.pids.cend(),
                                             [&before](qint32 pid) { return before->pids.contains(pid); })
                                 || (app.pids.isEmpty() && before->pids.isEmpty()));
        bool moved = seenBefore ? before->device != observed : observed != kAudioObjectUnknown && !hasChoice;
        // Our own move is none, landed or not yet.
        if (const auto pending = m_pendingRoutes.constFind(app.id); pending != m_pendingRoutes.cend()) {
            if (observed == pending->to || observed == pending->from)
                moved = false;
            if (observed != pending->from)
                m_pendingRoutes.erase(pending);
        }
        if (moved && observed != chosen && !(observed == kAudioObjectUnknown && choiceAway)) {
            const auto device = std::find_if(m_outputs.cbegin(), m_outputs.cend(),
                                             [observed](const OutputDevice& d) { return d.id == observed; });
            if (observed == kAudioObjectUnknown) {
                m_outputChoices.remove(app.id);
                choicesChanged = true;
            } else if (device != m_outputs.cend() && !device->uid.isEmpty()) {
                m_outputChoices.insert(app.id, device->uid);
                choicesChanged = true;
            }
            chosen = observed;
        }

        if (m_routesByTap || observed == chosen || (chosen == kAudioObjectUnknown && choiceAway))
            continue;
        // A tapped application's streams are held by us: for a moment while
        // that changes they can seem to be elsewhere, and what they go back
        // to is only written once they stay there for a second look, or when
        // the user has just chosen.
        if (m_activeIDs.contains(app.id) && !m_routeNow.contains(app.id) && !m_strayed.contains(app.id)) {
            strayed.insert(app.id);
            continue;
        }
        m_pendingRoutes.insert(app.id, PendingRoute{chosen, observed});
        bool routed = false;
        for (qint32 pid : app.pids) {
            const AudioObjectID object = hal::processObject(m_hardware, pid);
            if (object == kAudioObjectUnknown)
                continue;
            const OSStatus status = m_hardware.setPropertyData(object, address, 0, nullptr, sizeof(chosen), &chosen);
            if (status == kAudioHardwareUnknownPropertyError) {
                // The hardware cannot move a process: from now on a tap
                // plays each application on its device.
                systemLog(QStringLiteral("[ravlet] processes are routed by their taps"));
                m_routesByTap = true;
                break;
            }
            if (status != kAudioHardwareNoError)
                systemLog(QStringLiteral("[ravlet] could not route ") + app.id + QStringLiteral(": ")
                          + QString::number(status));
            else
                routed = true;
        }
        // Where it plays from now on, for the setup this refresh builds; the
        // next discovery reads it back.
        if (routed && !m_routesByTap) {
            app.outputDevice = chosen;
            appsMoved = true;
        }
    }
    if (appsMoved)
        emit appsChanged();
    m_seenOn = std::move(seen);
    m_strayed = std::move(strayed);
    m_routeNow.clear();
    // An application that went takes its unfinished move with it.
    m_pendingRoutes.removeIf([this](const auto& entry) { return !m_seenOn.contains(entry.key()); });
    if (choicesChanged) {
        emit outputChoicesChanged();
        settings::saveOutputs(m_defaults, m_outputChoices);
    }
}
