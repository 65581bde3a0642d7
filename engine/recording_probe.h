#pragma once

// Whether taps deliver sound here. macOS gives them sound only with the
// user's leave to record system audio, asked for by the system when the
// first aggregate device with a tap starts and reported by no call; without
// it a tap delivers silence and a muting tap still mutes. So nothing that
// should be heard is tapped to mute until a tap that leaves the sound alone,
// of the processes that report running output, in a private aggregate
// device of its own, has read something other than zero. When it has read
// only silence for kSilenceLimitMs of the device's time while those
// processes still played, the leave counts as missing: the user is told,
// and the probe listens again every kRetryMs and when asked (the popover
// opening). Main thread only, except the probe's block.

#include "audio_hardware.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>

// The Screen & System Audio Recording pane of System Settings. Apple
// documents no anchor for it; Privacy_ScreenCapture is the one the pane
// has answered to since it was Screen Recording, and macOS 15 put the
// system audio leave there.
inline constexpr char kRecordingSettingsUrl[] = "x-apple.systempreferences:com.apple.preference.security?Privacy_ScreenCapture";

class RecordingProbe : public QObject {
    Q_OBJECT
public:
    static constexpr int kSilenceLimitMs = 2000;
    static constexpr int kRetryMs = 60'000;
    static constexpr int kPollMs = 100;

    // Granted from the start where the hardware says taps need no leave.
    explicit RecordingProbe(AudioHardware& hardware, QObject* parent = nullptr);
    ~RecordingProbe() override;

    bool granted() const { return m_granted; }
    // Found missing and not heard since: what the user is shown.
    bool missing() const { return m_missing; }
    bool listening() const { return m_aggregate != kAudioObjectUnknown; }

    // Listens to those of the pids' processes that report running output,
    // unless it listens already, knows, or waits for its next retry.
    void listen(const QList<qint32>& pids);
    // After the leave was found missing: listens again at once.
    void retry();
    // Moves on from what the probe read; true when granted() or missing()
    // changed. Emits nothing, so that the engine may call it mid-reconcile.
    bool poll();

    QTimer& retryTimer() { return m_retry; }

signals:
    // granted() or missing() changed on a poll of the probe's own timer.
    void changed();

private:
    // Written by the block, read by the main thread; allocated per probe and
    // held by the block, so that it outlives any cycle in flight.
    struct Heard {
        std::atomic<bool> sound{false};
        std::atomic<std::int64_t> silentFrames{0};
    };

    bool start(const QList<qint32>& pids);
    void stop();
    bool anyRunningOutput();

    AudioHardware& m_hardware;
    bool m_granted = false;
    bool m_missing = false;
    QList<qint32> m_pids;                     // asked for last, for the retries
    std::vector<AudioObjectID> m_processes;   // listened to now
    AudioObjectID m_tap = kAudioObjectUnknown;
    AudioObjectID m_aggregate = kAudioObjectUnknown;
    DeviceIOProcID m_ioProc = nullptr;
    std::shared_ptr<Heard> m_heard;
    std::int64_t m_silenceLimit = 0;          // frames at the tap's rate
    QTimer m_poll;
    QTimer m_retry;
};
