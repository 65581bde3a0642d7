#pragma once

// RavletEngine: the one model object. It holds everything the mixer shows
// (applications, gains, mutes, order, outputs, master volume and mute,
// levels), keeps the user's settings, and owns the storage shared with the
// I/O thread.
// Main thread only, except render(), which the audio device calls.

#include "audio_hardware.h"
#include "coalesced_write.h"
#include "device_mix.h"
#include "diag_log.h"
#include "process_inspector.h"
#include "records.h"
#include "recording_probe.h"
#include "render.h"
#include "user_defaults.h"

#include <QList>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QElapsedTimer>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <optional>
#include <vector>

// What the engine runs on. The references must outlive the engine.
struct EnginePlatform {
    AudioHardware& hardware;
    ProcessInspector& processes;
    UserDefaults& defaults;
    QString diagLogPath = DiagLog::defaultPath();
};

class RavletEngine : public QObject {
    Q_OBJECT
    // Each NOTIFY signal is emitted on every assignment, changed or not.
    Q_PROPERTY(bool supported READ supported NOTIFY supportedChanged)
    // Why the mixer cannot work here, while it cannot.
    Q_PROPERTY(QString unsupportedText READ unsupportedText NOTIFY supportedChanged)
    Q_PROPERTY(QList<AudioApp> apps READ apps NOTIFY appsChanged)
    Q_PROPERTY(QMap<QString, float> levels READ levels NOTIFY levelsChanged)
    Q_PROPERTY(float masterLevel READ masterLevel NOTIFY masterLevelChanged)
    Q_PROPERTY(QMap<QString, float> gains READ gains WRITE setGains NOTIFY gainsChanged)
    Q_PROPERTY(QMap<QString, bool> mutes READ mutes WRITE setMutes NOTIFY mutesChanged)
    Q_PROPERTY(QSet<QString> hidden READ hidden NOTIFY hiddenChanged)
    Q_PROPERTY(bool showHidden READ showHidden WRITE setShowHidden NOTIFY showHiddenChanged)
    Q_PROPERTY(QStringList order READ order NOTIFY orderChanged)
    Q_PROPERTY(KnownApps known READ known NOTIFY knownChanged)
    Q_PROPERTY(QString outputName READ outputName NOTIFY outputNameChanged)
    Q_PROPERTY(float masterVolume READ masterVolume WRITE setMasterVolume NOTIFY masterVolumeChanged)
    Q_PROPERTY(bool masterVolumeSupported READ masterVolumeSupported NOTIFY masterVolumeSupportedChanged)
    Q_PROPERTY(bool masterMuted READ masterMuted WRITE setMasterMuted NOTIFY masterMutedChanged)
    Q_PROPERTY(bool masterMuteSupported READ masterMuteSupported NOTIFY masterMuteSupportedChanged)
    Q_PROPERTY(QList<OutputDevice> outputs READ outputs NOTIFY outputsChanged)
    Q_PROPERTY(quint32 currentOutputID READ currentOutputID NOTIFY currentOutputIDChanged)
    // "Prevent Clipping": a limiter on the mix onto each device, so that
    // boosts above 100 % never clip. Off by default; remembered.
    Q_PROPERTY(bool preventClipping READ preventClipping WRITE setPreventClipping NOTIFY preventClippingChanged)
    // The devices in the shape QML binds to, with the same signal.
    Q_PROPERTY(QVariantList outputList READ outputList NOTIFY outputsChanged)
    // The output device chosen for each application, by UID; an application
    // not listed follows the system's default output. Remembered.
    Q_PROPERTY(QMap<QString, QString> outputChoices READ outputChoices NOTIFY outputChoicesChanged)
    // Taps were heard delivering only silence while applications played: the
    // user has not let Ravlet record system audio, and only the muted
    // applications are tapped until a tap is heard.
    Q_PROPERTY(bool recordingPermissionMissing READ recordingPermissionMissing NOTIFY recordingPermissionChanged)
    // Where the user gives that leave.
    Q_PROPERTY(QString recordingSettingsUrl READ recordingSettingsUrl CONSTANT)

public:
    static constexpr int kAppTimerMs = 1500;
    // A mix that could not start is tried again this soon, for this long
    // after it first failed (see retryFailedMixSoon()).
    static constexpr int kQuickRetryMs = 250;
    static constexpr int kQuickRetriesForMs = 15000;
    static constexpr double kMeterTimerSeconds = 1.0 / 30.0;

    // Loads the settings, refreshes once and starts both timers.
    explicit RavletEngine(const EnginePlatform& platform, QObject* parent = nullptr);
    ~RavletEngine() override;

    bool supported() const { return m_supported; }
    QString unsupportedText() const { return m_supported ? QString() : m_hardware.unsupportedReason(); }
    const QList<AudioApp>& apps() const { return m_apps; }
    const QMap<QString, float>& levels() const { return m_levels; }
    float masterLevel() const { return m_masterLevel; }
    const QMap<QString, float>& gains() const { return m_gains; }
    const QMap<QString, bool>& mutes() const { return m_mutes; }
    const QSet<QString>& hidden() const { return m_hidden; }
    bool showHidden() const { return m_showHidden; }
    const QStringList& order() const { return m_order; }
    const KnownApps& known() const { return m_known; }
    QString outputName() const { return m_outputName; }
    float masterVolume() const { return m_masterVolume; }
    bool masterVolumeSupported() const { return m_masterVolumeSupported; }
    bool masterMuted() const { return m_masterMuted; }
    bool masterMuteSupported() const { return m_masterMuteSupported; }
    const QList<OutputDevice>& outputs() const { return m_outputs; }
    AudioObjectID currentOutputID() const { return m_currentOutputID; }
    bool preventClipping() const { return m_preventClipping; }
    const QMap<QString, QString>& outputChoices() const { return m_outputChoices; }
    bool recordingPermissionMissing() const { return m_recording.missing(); }
    static QString recordingSettingsUrl() { return QString::fromLatin1(kRecordingSettingsUrl); }

    // The tapped applications of every device's mix, the default device's
    // first.
    const QStringList& activeIDs() const { return m_activeIDs; }
    // The applications whose gain, mute or device cannot be applied: they
    // need a tap, and every slot is taken by ones before them.
    const QSet<QString>& beyondSlots() const { return m_beyondSlots; }
    // The level another program set on the application's own streams (see
    // AudioApp::ownVolume); 1 for one not running.
    float ownVolume(const QString& id) const;
    const QMap<QString, QList<qint32>>& pidsByID() const { return m_pidsByID; }
    // The applications tapped only for their levels, while someone follows
    // them (see pumpMeters).
    const QStringList& meteredIDs() const { return m_meteredIDs; }
    // The running mixes, one per device in use, the default device's first.
    const std::vector<DeviceMix>& mixes() const { return m_mixes; }
    // What reads the levels of the applications that play unmixed: an
    // aggregate device of its own, so that following the levels or not
    // never touches the mixes. Empty while no one follows them.
    const std::vector<DeviceMix>& meterMixes() const { return m_meterMixes; }
    // The aggregate device of the first mix (the default device's, when it
    // has one); unknown while nothing is mixed.
    AudioObjectID aggregateDevice() const { return m_mixes.empty() ? kAudioObjectUnknown : m_mixes.front().aggregate; }
    // The taps of every mix, in the order of activeIDs(); those that only
    // listen are not among them.
    QList<AudioObjectID> taps() const;

    void setGains(const QMap<QString, float>& gains);
    void setMutes(const QMap<QString, bool>& mutes);
    void setShowHidden(bool showHidden);
    // Takes effect from the next audio cycle, and is saved at once.
    void setPreventClipping(bool on);

    // The output side, discovery and grouping of the audio applications,
    // then the taps they need.
    Q_INVOKABLE void refresh();
    // Publishes v at once and writes it, clamped to 0…1, to the default device.
    Q_INVOKABLE void setMasterVolume(float volume);
    // Publishes muted at once and writes it to the default device.
    Q_INVOKABLE void setMasterMuted(bool muted);
    // The opposite of what the default device says now; nothing when it
    // cannot be muted.
    Q_INVOKABLE void toggleMasterMuted();
    // Makes device the system's output and moves the tapped applications to it.
    Q_INVOKABLE void selectOutputDevice(quint32 device);
    // Plays the application on the output device with this UID from now on,
    // or, with an empty UID, on the system's default output; remembered.
    // A device that is not there plays it on the default until it returns.
    // False, changing nothing, for a UID no present output has.
    Q_INVOKABLE bool setOutputOf(const QString& id, const QString& uid);
    // The device the application plays on now: its chosen device while that
    // is there, else one it was sent to outside Ravlet, else the default.
    AudioObjectID playsOn(const QString& id) const;

    // What a row does: store the setting, save it, retap.
    Q_INVOKABLE void setGain(const QString& id, float gain);
    Q_INVOKABLE void setMuted(const QString& id, bool muted);

    // The rows to show, in display order; recomputed on every read.
    QList<AppEntry> displayApps() const;
    Q_INVOKABLE void moveApp(const QString& id, const QString& beforeID);
    Q_INVOKABLE void setHidden(const QString& id, bool hidden);

    // Taps what needs a tap: rebuilds the setup when that changes, otherwise
    // only pushes the gains to the running mix.
    void reconcile();
    // Replaces the tap setup with one for ids: one mix on each device they
    // play on (see playsOn). The running setup plays until the new one does.
    void retryFailedMixSoon();
    void rebuild(QStringList ids);   // by value: callers pass activeIDs, which the rebuild clears
    // Ends every mix and what listens to the unmixed applications.
    void teardown();
    QString tapFormat(AudioObjectID tap);

    // Writes the gains at once, or, while they keep changing (a slider being
    // dragged), at most every CoalescedWrite::kInterval and always the last.
    void saveGains();
    void saveMutes();
    void saveKnown();
    // Writes what saveGains() still holds back; at quit, and on destruction.
    void flushSettings();

    // Slot gains of the tapped applications from the user's gains and mutes.
    void pushGains();
    // Raw peaks → published levels; a few diagnostics lines after a start.
    // The meter timer calls it while levels or masterLevel have a receiver,
    // and for the diagnostics lines after a start; a tick that finds neither
    // stops it, a new receiver starts it again.
    void pumpMeters();
    void appendDiag(const QString& line);

    // The I/O procedure's body; see render().
    void render(const AudioBufferList& input, AudioBufferList& output) noexcept
    {
        ::render(*m_renderState, input, output);
    }
    // The storage shared with the I/O thread by the first mix (a silent one
    // while nothing is mixed), to see whether it is alive.
    std::weak_ptr<const RenderState> renderStorage() const
    {
        return m_mixes.empty() ? m_renderState : m_mixes.front().state;
    }

    QVariantList outputList() const;

    // For tests and diagnostics: the timers that drive refresh and the meters
    // (the meter timer runs only while wanted, see pumpMeters).
    QTimer& appTimer() { return m_appTimer; }
    QTimer& meterTimer() { return m_meterTimer; }
    RecordingProbe& recordingProbe() { return m_recording; }

signals:
    void supportedChanged();
    void appsChanged();
    void levelsChanged();
    void masterLevelChanged();
    void gainsChanged();
    void mutesChanged();
    void hiddenChanged();
    void showHiddenChanged();
    void orderChanged();
    void knownChanged();
    void outputNameChanged();
    void masterVolumeChanged();
    void masterVolumeSupportedChanged();
    void masterMutedChanged();
    void masterMuteSupportedChanged();
    void outputsChanged();
    void currentOutputIDChanged();
    void preventClippingChanged();
    void outputChoicesChanged();
    void beyondSlotsChanged();
    void displayAppsChanged();
    void recordingPermissionChanged();

protected:
    void connectNotify(const QMetaMethod& signal) override;

private:
    bool metersObserved() const;
    // Starts listening to the applications that play unmixed, once someone
    // follows the levels; queued from connectNotify.
    void followMeters();
    // The visible applications that play and are not in tapped, in display
    // order, to meter while someone follows the levels: at most as many as
    // a mix has slots.
    QStringList wantedMeters(const QStringList& tapped) const;
    // Leaves out of wanted what should be heard while taps are not known to
    // deliver sound, and has the probe listen meanwhile.
    void holdUntilTapsAreHeard(QStringList& wanted);
    // Moves the levels on from every mix's meters, and master from the
    // default device's.
    void pumpMeterSources(float& master);
    // Starts the meter timer unless it runs.
    void resumeMeters();

    template <typename T>
    void publish(T& field, T value, void (RavletEngine::*changed)())
    {
        field = std::move(value);
        emit(this->*changed)();
    }

    // The output side of a refresh.
    QList<OutputDevice> listOutputDevices();
    QString defaultOutputName();
    void readMasterVolume();
    void readMasterMute();
    // Discovery; false when the process list could not be read.
    bool discoverApplications();
    // A running setup that no longer fits: the default device changed, a
    // tapped application plays on another device than its mix, or runs with
    // other processes than it was tapped with.
    bool setupIsStale() const;

    // Routing, after discovery: adopts moves made in other programs as the
    // user's choice, and sends each application that plays to its chosen
    // device where the hardware can move one without a tap.
    void routeApplications();
    // The present output device with this UID; unknown when it is absent.
    AudioObjectID deviceWithUID(const QString& uid) const;
    // Whether the application is tapped only to play it on another device,
    // where the hardware cannot send it there itself.
    bool routedByTap(const QString& id) const;
    // One application's tap, mixing (its own output silenced while the tap
    // is read) or only listening; nothing when the hardware refused it.
    struct MadeTap {
        AudioObjectID tap = kAudioObjectUnknown;
        QString uid;
    };
    std::optional<MadeTap> createTap(const QString& id, bool metered);
    // Taps for each of ids, in order, into the mix; ids keeps those that
    // got one. The taps' UIDs, for the aggregate's description.
    QStringList createTaps(DeviceMix& mix, QStringList& ids, bool metered);
    // Builds the mix on one device; false, with nothing left behind, when
    // the hardware refused it. With silent, every slot starts at gain 0.
    bool startMix(DeviceMix& mix, const QStringList& tapUIDs, bool silent);
    void stopMix(DeviceMix& mix);
    // Stops and ends the mixes, emptying the list.
    void retire(std::vector<DeviceMix>& mixes);
    // Replaces what listens to the unmixed applications with taps of ids.
    void rebuildMeters(const QStringList& ids);
    bool metersAreStale() const;
    // Render storage no running mix uses, cleared, for a new mix; each is
    // kept for the engine's life.
    std::shared_ptr<RenderState> takeState();

    AudioHardware& m_hardware;
    ProcessInspector& m_processes;
    UserDefaults& m_defaults;
    CoalescedWrite m_gainsWrite;
    DiagLog m_diagLog;

    bool m_supported = false;
    QList<AudioApp> m_apps;
    QMap<QString, float> m_levels;
    float m_masterLevel = 0.0f;
    QMap<QString, float> m_gains;
    QMap<QString, bool> m_mutes;
    QSet<QString> m_hidden;
    bool m_showHidden = false;
    QStringList m_order;
    KnownApps m_known;
    QString m_outputName = QStringLiteral("Output");
    float m_masterVolume = 1.0f;
    bool m_masterVolumeSupported = false;
    bool m_masterMuted = false;
    bool m_masterMuteSupported = false;
    QList<OutputDevice> m_outputs;
    AudioObjectID m_currentOutputID = kAudioObjectUnknown;
    bool m_preventClipping = false;
    QMap<QString, QString> m_outputChoices;

    // Routing. The device each application was seen on at the last refresh
    // (unknown: the default) and by which processes, to tell a move made
    // elsewhere from one of ours, and from a new process put somewhere.
    struct SeenOn {
        AudioObjectID device = kAudioObjectUnknown;
        QList<qint32> pids;
    };
    QHash<QString, SeenOn> m_seenOn;
    AudioObjectID m_seenDefault = kAudioObjectUnknown;   // the default output at that refresh
    // Our moves not seen landed yet: from where, to where.
    struct PendingRoute {
        AudioObjectID to = kAudioObjectUnknown;
        AudioObjectID from = kAudioObjectUnknown;
    };
    QHash<QString, PendingRoute> m_pendingRoutes;
    // Chosen by the user since the last routing, to be sent there at once;
    // tapped and seen away from their device at the last routing.
    QSet<QString> m_routeNow;
    QSet<QString> m_strayed;
    // The hardware cannot send a process to a device by itself (Core
    // Audio): applications are tapped to play elsewhere.
    bool m_routesByTap = false;

    // The tap setup.
    std::vector<DeviceMix> m_mixes;
    QStringList m_activeIDs;
    QSet<QString> m_beyondSlots;
    QStringList m_meteredIDs;
    // Levels of applications that play unmixed are wanted (the levels are
    // followed), and the hardware has not refused a tap that leaves the
    // sound alone.
    bool m_metering = false;
    bool m_meterTapsRefused = false;
    AudioObjectID m_setupDefault = kAudioObjectUnknown;   // the default output when it was built
    QMap<QString, QList<qint32>> m_setupPids;
    // Listening to the unmixed applications, beside the mixes.
    std::vector<DeviceMix> m_meterMixes;
    QMap<QString, QList<qint32>> m_meterPids;
    int m_rebuilds = 0;

    QMap<QString, QList<qint32>> m_pidsByID;
    int m_diagPumpsLeft = 0;
    bool m_destroying = false;

    // Shared with the I/O thread: allocated once, never moved. The I/O block
    // holds it weakly, and the engine keeps it while a block may still run.
    // Each mix has storage of its own from the spares, made as needed: a new
    // setup plays beside the old one for a moment. The default device's mix
    // gives the master meter; m_renderState, which no block uses, stands in
    // while there is none.
    std::shared_ptr<RenderState> m_renderState;
    std::vector<std::shared_ptr<RenderState>> m_spareStates;
    // A block whose device could be neither stopped nor destroyed.
    bool m_blockMayRun = false;
    // The hardware refused a tap of processes still to come: only
    // applications that play, or were tapped, are asked for.
    bool m_tapsCannotWait = false;

    // Whether taps deliver sound; see reconcile.
    RecordingProbe m_recording;

    QElapsedTimer m_failingSince;   // since a mix first failed to start, of the failures in a row
    bool m_quickRetryQueued = false;
    QTimer m_appTimer;
    QTimer m_meterTimer;
};
