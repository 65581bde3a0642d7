#include "monitor_recorder.h"

#include "pipewire_session.h"
#include "pw_dump.h"
#include "signal_fit.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;

// Start-up: a recording must cover `milliseconds` of what the sink played,
// not of wall-clock time since the call. Connecting and WirePlumber linking
// the new stream to the monitor ports take a varying 30 to 100 ms, so the
// window is counted in frames as they arrive, never in time. It opens only
// after the warm-up: the graph cycle in which the link becomes active hands
// the stream a buffer of silence (a whole quantum, whatever its size), so
// the first two buffers and at least 2048 frames are thrown away.
constexpr int kWarmUpBuffers = 2;
constexpr std::size_t kWarmUpFrames = 2048;

struct Recording {
    pw_stream* stream = nullptr;
    std::vector<float> samples;      // preallocated: written on the real-time thread
    int skipBuffers = kWarmUpBuffers;
    std::size_t skipFrames = kWarmUpFrames;
    std::atomic<std::size_t> filled {0};
    std::atomic<qint64> startedNs {0};
    std::atomic<bool> failed {false};
    std::string error;               // written on the loop thread, read after it stops
};

void onProcess(void* data)
{
    auto* recording = static_cast<Recording*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(recording->stream);
    if (!buffer)
        return;
    const spa_data& d = buffer->buffer->datas[0];
    std::size_t filled = recording->filled.load(std::memory_order_relaxed);
    if (d.data && d.chunk && filled < recording->samples.size()) {
        const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        const uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
        const float* in = reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset);
        std::size_t frames = size / (sizeof(float) * kChannels);
        std::size_t skipped = std::min(frames, recording->skipFrames);
        if (recording->skipBuffers > 0) {
            --recording->skipBuffers;
            skipped = frames;
        }
        recording->skipFrames -= std::min(frames, recording->skipFrames);
        in += skipped * kChannels;
        frames -= skipped;
        const std::size_t count = std::min(frames * kChannels, recording->samples.size() - filled);
        if (filled == 0 && count > 0) {
            timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            recording->startedNs.store(qint64(now.tv_sec) * 1000000000 + now.tv_nsec, std::memory_order_relaxed);
        }
        std::copy(in, in + count, recording->samples.begin() + static_cast<std::ptrdiff_t>(filled));
        recording->filled.store(filled + count, std::memory_order_release);
    }
    pw_stream_queue_buffer(recording->stream, buffer);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto* recording = static_cast<Recording*>(data);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        recording->error = error ? error : "the stream was disconnected";
        recording->failed = true;
    }
}

// A stream is not told when the server goes away; its core is.
void onCoreError(void* data, uint32_t id, int, int result, const char* message)
{
    auto* recording = static_cast<Recording*>(data);
    if (id == PW_ID_CORE) {
        recording->error = std::string(message ? message : "") + " (" + spa_strerror(result) + ")";
        recording->failed = true;
    }
}

const pw_core_events kCoreEvents = [] {
    pw_core_events events {};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

const pw_stream_events kEvents = [] {
    pw_stream_events events {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.process = onProcess;
    return events;
}();

std::vector<float> failWith(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return {};
}

} // namespace

std::vector<float> recordMonitor(const PipeWireSession& session, const QString& sinkName, int milliseconds,
                                 QString* error, qint64* startedNs)
{
    if (milliseconds <= 0)
        return failWith(error, QStringLiteral("nothing to record"));
    if (!qEnvironmentVariableIsEmpty("PIPEWIRE_REMOTE"))
        return failWith(error, QStringLiteral("PIPEWIRE_REMOTE is set and would pick the server"));
    // Without a sink of that name WirePlumber would link the stream to the
    // default source instead and record the wrong thing.
    QString dumpError;
    const auto sink = pwdump::nodeByName(session.pwDump(&dumpError), sinkName);
    if (!sink || sink->prop(QStringLiteral("media.class")) != QStringLiteral("Audio/Sink"))
        return failWith(error, QStringLiteral("no sink named %1 %2").arg(sinkName, dumpError));

    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });

    Recording recording;
    recording.samples.assign(static_cast<std::size_t>(milliseconds) * kRate / 1000 * kChannels, 0.0f);

    pw_thread_loop* loop = pw_thread_loop_new("ravlet-recorder", nullptr);
    if (!loop)
        return failWith(error, QStringLiteral("cannot create a PipeWire loop"));
    // The real-time client configuration: with a data thread of normal
    // priority a busy machine drops recorded cycles, which shows as a jump
    // in every tone at once.
    pw_context* context = pw_context_new(pw_thread_loop_get_loop(loop),
                                         pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    pw_core* core = nullptr;
    spa_hook listener {};
    spa_hook coreListener {};
    QString why;

    pw_thread_loop_lock(loop);
    if (!context || pw_thread_loop_start(loop) < 0) {
        why = QStringLiteral("cannot start a PipeWire loop");
    } else if (!(core = pw_context_connect(
                     context,
                     pw_properties_new(PW_KEY_REMOTE_NAME, session.pipewireSocket().toLocal8Bit().constData(), nullptr),
                     0))) {
        why = QStringLiteral("cannot connect to %1").arg(session.pipewireSocket());
    } else {
        pw_core_add_listener(core, &coreListener, &kCoreEvents, &recording);
        const QByteArray target = sinkName.toUtf8();
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
            PW_KEY_APP_NAME, "ravlet-test-recorder", PW_KEY_NODE_NAME, "ravlet-test-recorder",
            PW_KEY_TARGET_OBJECT, target.constData(), PW_KEY_STREAM_CAPTURE_SINK, "true",
            // Follow no other sink if this one goes away mid-recording.
            PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        recording.stream = pw_stream_new(core, "ravlet-test-recorder", props);
        if (recording.stream)
            pw_stream_add_listener(recording.stream, &listener, &kEvents, &recording);

        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_audio_info_raw info {};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = kRate;
        info.channels = kChannels;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        // No node.latency: the recorder must not change the graph's quantum
        // for the clients under test. Copying runs on the real-time thread.
        if (!recording.stream
            || pw_stream_connect(recording.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                                 static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                              | PW_STREAM_FLAG_RT_PROCESS),
                                 params, 1) < 0)
            why = QStringLiteral("cannot connect the recording stream");
    }
    pw_thread_loop_unlock(loop);

    if (why.isEmpty()) {
        const QDeadlineTimer deadline(milliseconds + 10000);
        while (recording.filled.load(std::memory_order_acquire) < recording.samples.size()) {
            if (recording.failed)
                break;
            if (deadline.hasExpired()) {
                why = QStringLiteral("recorded %1 of %2 frames from %3 within %4 ms")
                          .arg(recording.filled / kChannels)
                          .arg(recording.samples.size() / kChannels)
                          .arg(sinkName)
                          .arg(milliseconds + 10000);
                break;
            }
            QThread::msleep(5);
        }
    }

    pw_thread_loop_stop(loop);
    if (recording.failed && why.isEmpty())
        why = QStringLiteral("recording from %1 failed: %2").arg(sinkName, QString::fromStdString(recording.error));
    if (recording.stream)
        pw_stream_destroy(recording.stream);
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
    }
    if (context)
        pw_context_destroy(context);
    pw_thread_loop_destroy(loop);

    if (!why.isEmpty())
        return failWith(error, why);
    if (startedNs)
        *startedNs = recording.startedNs.load(std::memory_order_acquire);
    return std::move(recording.samples);
}

std::optional<double> waitForSteadyTone(const PipeWireSession& session, const QString& sinkName, double frequency,
                                        int timeoutMs, QString* error)
{
    const QDeadlineTimer deadline(timeoutMs);
    double previous = 0.0;
    double amplitude = 0.0;
    while (!deadline.hasExpired()) {
        QString why;
        const std::vector<float> samples = recordMonitor(session, sinkName, 100, &why);
        if (samples.empty()) {
            if (error)
                *error = why;
            return std::nullopt;
        }
        amplitude = fitAmplitudes(samples, 0, {frequency}).amplitudes[0];
        if (amplitudeDb(amplitude) > -80.0 && std::abs(amplitude - previous) <= 0.01 * amplitude)
            return amplitude;
        previous = amplitude;
    }
    if (error)
        *error = QStringLiteral("no steady %1 Hz tone on %2 within %3 ms (last amplitude %4)")
                     .arg(frequency).arg(sinkName).arg(timeoutMs).arg(amplitude);
    return std::nullopt;
}
