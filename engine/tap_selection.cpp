#include "tap_selection.h"

#include "engine.h"
#include "render.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr std::array<QLatin1String, 2> kMusicKeywords = {QLatin1String("music"), QLatin1String("itunes")};
constexpr std::array<QLatin1String, 8> kBrowserKeywords = {
    QLatin1String("chrome"), QLatin1String("brave"), QLatin1String("firefox"),
    QLatin1String("safari"), QLatin1String("edge"),  QLatin1String("opera"),
    QLatin1String("arc"),    QLatin1String("vivaldi"),
};

// A case-insensitive search: the keywords are lower-case ASCII, so this is
// the lower-cased name's substring test without building a lower-cased copy
// on every reconcile.
template <std::size_t N>
bool containsAny(const QString& name, const std::array<QLatin1String, N>& keywords)
{
    for (const QLatin1String keyword : keywords) {
        if (name.contains(keyword, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

bool needsTap(const QString& id, const QMap<QString, float>& gains, const QMap<QString, bool>& mutes)
{
    if (mutes.value(id, false))
        return true;
    const auto gain = gains.constFind(id);
    return gain != gains.cend() && std::isfinite(*gain) && std::fabs(*gain - 1.0f) >= kUnityTolerance;
}

std::optional<QString> primaryID(const QList<AudioApp>& apps, const QSet<QString>& hidden)
{
    const AudioApp* firstVisible = nullptr;
    const AudioApp* firstBrowser = nullptr;
    for (const AudioApp& app : apps) {
        // One the user sent to another device would be taken off it, to the
        // mix on the default device, for nothing.
        if (hidden.contains(app.id) || app.outputDevice != kAudioObjectUnknown)
            continue;
        if (containsAny(app.name, kMusicKeywords))
            return app.id;
        if (!firstVisible)
            firstVisible = &app;
        if (!firstBrowser && containsAny(app.name, kBrowserKeywords))
            firstBrowser = &app;
    }
    if (firstBrowser)
        return firstBrowser->id;
    if (firstVisible)
        return firstVisible->id;
    return std::nullopt;
}

QStringList wantedTaps(const QList<AudioApp>& apps, const QMap<QString, float>& gains,
                       const QMap<QString, bool>& mutes, const QSet<QString>& hidden, const QStringList& activeIDs,
                       bool waitForOthers, const QSet<QString>& routed, QStringList* beyond)
{
    const auto needs = [&](const QString& id) { return needsTap(id, gains, mutes) || routed.contains(id); };
    QStringList wanted;
    wanted.reserve(std::min<qsizetype>(apps.size() + activeIDs.size() + 1, kSlotCount + 1));
    // Hidden or not, an application plays as its gain and mute say: hiding
    // a row takes it out of sight, never out of the mix.
    for (const AudioApp& app : apps) {
        if (needs(app.id))
            wanted.append(app.id);
    }
    if (const std::optional<QString> primary = primaryID(apps, hidden); primary && !wanted.contains(*primary))
        wanted.append(*primary);
    for (const QString& id : activeIDs) {
        if (!wanted.contains(id) && needs(id))
            wanted.append(id);
    }
    if (beyond) {
        beyond->clear();
        // The primary one past the limit plays as it is: nothing is lost.
        for (qsizetype i = kSlotCount; i < wanted.size(); ++i) {
            if (needs(wanted.at(i)))
                beyond->append(wanted.at(i));
        }
    }
    if (waitForOthers && !wanted.isEmpty()) {
        QStringList remembered = gains.keys();
        for (auto it = mutes.cbegin(); it != mutes.cend(); ++it) {
            if (!gains.contains(it.key()))
                remembered.append(it.key());
        }
        for (const QString& id : std::as_const(remembered)) {
            if (!wanted.contains(id) && needsTap(id, gains, mutes))
                wanted.append(id);
        }
    }
    if (wanted.size() > kSlotCount)
        wanted.resize(kSlotCount);
    return wanted;
}

void RavletEngine::reconcile()
{
    // The primary application is one on the default device: each running
    // application is placed where it plays now.
    QList<AudioApp> placed = m_apps;
    QSet<QString> routed;
    for (AudioApp& app : placed) {
        const AudioObjectID device = playsOn(app.id);
        app.outputDevice = device == m_currentOutputID ? kAudioObjectUnknown : device;
        if (routedByTap(app.id))
            routed.insert(app.id);
    }
    for (const QString& id : std::as_const(m_activeIDs)) {
        if (routedByTap(id))
            routed.insert(id);
    }
    QStringList beyond;
    QStringList wanted =
        wantedTaps(placed, m_gains, m_mutes, m_hidden, m_activeIDs, !m_tapsCannotWait, routed, &beyond);
    if (const QSet<QString> unmixed(beyond.cbegin(), beyond.cend()); unmixed != m_beyondSlots)
        publish(m_beyondSlots, unmixed, &RavletEngine::beyondSlotsChanged);
    holdUntilTapsAreHeard(wanted);
    // The same applications in another order need no new setup: the gains
    // follow the running slots. An application that stopped playing moves to
    // the end of the wanted list while it keeps its tap, and rebuilding for
    // that alone would drop it (it has no process to tap), so that its next
    // stream would be heard unscaled until the refresh after.
    const bool sameApplications = wanted.size() == m_activeIDs.size()
                               && std::all_of(wanted.cbegin(), wanted.cend(),
                                              [this](const QString& id) { return m_activeIDs.contains(id); });
    if (sameApplications && !setupIsStale())
        pushGains();
    else
        rebuild(wanted);
    // Listening has setup of its own: which rows are followed never touches
    // a mix.
    // In any order: each device lists its own.
    if (const QStringList meters = wantedMeters(wanted);
        QSet<QString>(meters.cbegin(), meters.cend()) != QSet<QString>(m_meteredIDs.cbegin(), m_meteredIDs.cend())
        || metersAreStale())
        rebuildMeters(meters);
}

// A tap that mutes an application without the leave to record system audio
// plays it nowhere: only those that should be silent anyway are tapped to
// mute until a tap has been heard delivering sound.
void RavletEngine::holdUntilTapsAreHeard(QStringList& wanted)
{
    if (m_supported && !m_recording.granted() && m_recording.poll())
        emit recordingPermissionChanged();
    if (m_recording.granted())
        return;
    const qsizetype before = wanted.size();
    wanted.removeIf([this](const QString& id) {
        const auto gain = m_gains.constFind(id);
        return slotGain(gain == m_gains.cend() ? std::nullopt : std::optional(*gain), m_mutes.value(id)) != 0.0f;
    });
    if (!m_supported || wanted.size() == before)
        return;
    QList<qint32> pids;
    for (const QList<qint32>& some : std::as_const(m_pidsByID))
        pids.append(some);
    m_recording.listen(pids);
}

QStringList RavletEngine::wantedMeters(const QStringList& tapped) const
{
    QStringList meters;
    if (!m_metering || m_meterTapsRefused)
        return meters;
    for (const AppEntry& entry : displayApps()) {
        if (meters.size() >= kSlotCount)
            break;
        if (entry.isActive && !tapped.contains(entry.id) && !m_pidsByID.value(entry.id).isEmpty())
            meters.append(entry.id);
    }
    return meters;
}

bool RavletEngine::setupIsStale() const
{
    if (m_mixes.empty())
        return false;
    if (m_currentOutputID != m_setupDefault)
        return true;
    for (const DeviceMix& mix : m_mixes) {
        for (const QString& id : mix.slotIDs) {
            if (playsOn(id) != mix.device)
                return true;
        }
    }
    for (auto it = m_setupPids.cbegin(); it != m_setupPids.cend(); ++it) {
        const auto running = m_pidsByID.constFind(it.key());
        if (running != m_pidsByID.cend() && *running != it.value())
            return true;
    }
    return false;
}
