// Ravlet on a real PipeWire daemon, end to end: how much later a tapped
// application is heard than an untapped one, what the mix costs in CPU next
// to the daemon, and whether our node misses cycles at a small quantum.
//
// A plain program that prints a table, not a Google Benchmark: each figure
// is one measurement of seconds to minutes on a whole session, not a timing
// repeated until it settles. Everything runs in a private session (its own
// runtime directory, session bus, pipewire, wireplumber and pipewire-pulse,
// two null sinks) that is ended on the way out, Ctrl-C included.
//
// Usage: pipewire_bench [--seconds N] [--xrun-minutes N]
//   --seconds       length of each CPU phase (default 60)
//   --xrun-minutes  length of the under-run watch (default 10)
//
// Latency. Two players click once every 500 ms, "music" on the left channel
// and "radio" on the right, each on the graph frames whose number is a
// multiple of the period: they number their frames on the graph's clock,
// the driver's frame counter that every node of the graph shares. The
// recorder on the sink's monitor numbers what it hears on the same clock,
// so a click's arrival frame minus the multiple of the period it left on is
// that path's latency, exactly, whenever either player started. "music" is
// the primary application, which Ravlet taps at unity gain; "radio" at unity
// goes straight to the sink. Both are heard in one recording, and the
// difference of their latencies is what the tap adds. Before Ravlet starts,
// both untapped, the difference must be 0: the check of the method. (A
// latency of a whole period or more would alias; it would be absurd.)
//
// CPU. Time on a CPU from /proc/<pid>/task/*/schedstat, in nanoseconds:
// the daemon's (pipewire) with four players untapped (Ravlet not running)
// and then with all four tapped; over the tapped phase also this process,
// which is Ravlet: the engine on the main thread, the mix on PipeWire's
// data thread (found by running a call on it). Nothing of the bench runs
// meanwhile; the main thread only turns the event loop, as the program's
// does.
//
// Under-runs. With the quantum forced to 256 frames through the "settings"
// metadata and all four tapped, the daemon's profiler (what pw-top reads)
// reports every cycle of our node's driver: a node whose status is not
// "finished" when the driver completes or gives up on the cycle missed it,
// which pw-top counts as an error of that node. Counted for our node, for
// the players beside it, and the driver's own xrun counter.

#include "child_process.h"
#include "engine.h"
#include "linux_process_inspector.h"
#include "memory_user_defaults.h"
#include "pipewire_audio_hardware.h"
#include "pipewire_connection.h"
#include "pipewire_session.h"
#include "pw_dump.h"
#include "test_player_process.h"

// pipewire.h first: the profiler header of PipeWire 1.x uses spa's hook
// macros without including them.
#include <pipewire/pipewire.h>
#include <pipewire/extensions/profiler.h>
#include <pipewire/impl.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/profiler.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <sched.h>
#include <unistd.h>

namespace {

constexpr int kRate = 48000;
constexpr int kClickPeriodMs = 500;
constexpr int64_t kClickPeriod = int64_t(kClickPeriodMs) * kRate / 1000;
constexpr double kClickAmplitude = 0.5;
constexpr int kForcedQuantum = 256;
const QString kSink = QStringLiteral("speakers");
const QString kMixPrefix = QStringLiteral("ravlet-mix-");

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int)
{
    interrupted = true;
}

// ---- waiting, with the event loop turning as it does in the program ----

void runFor(int milliseconds)
{
    // In slices, so that Ctrl-C ends a long phase within a moment.
    const QDeadlineTimer deadline(milliseconds);
    while (!deadline.hasExpired() && !interrupted) {
        QEventLoop loop;
        QTimer::singleShot(std::min<qint64>(250, deadline.remainingTime()), &loop, &QEventLoop::quit);
        loop.exec();
    }
}

bool runUntil(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired() || interrupted)
            return false;
        runFor(50);
    }
    return true;
}

// Work on a thread of its own while this one keeps answering the daemon.
template <typename Work>
auto whileTurning(Work work)
{
    auto future = std::async(std::launch::async, std::move(work));
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (future.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return future.get();
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    const QList<QByteArray> fields = file.readAll().split(' ');
    return fields.size() >= 3 ? QString::fromLatin1(fields[0] + ' ' + fields[1] + ' ' + fields[2]) : QStringLiteral("?");
}

// ---- the session's players and Ravlet ----

class Players {
public:
    explicit Players(const PipeWireSession& session) : session_(session) {}

    // A copy of the player named after the application: PipeWire names a
    // process after its executable.
    bool start(const QString& name, const QStringList& options)
    {
        const QString copy = session_.rootDir() + QStringLiteral("/bin/") + name;
        if (!QFile::exists(copy) && !QFile::copy(TestPlayer::executablePath(), copy))
            return false;
        processes_.emplace_back();
        return processes_.back().start(
            copy, QStringList{QStringLiteral("--api"), QStringLiteral("pipewire"), QStringLiteral("--name"), name} + options,
            session_.environment(), session_.rootDir() + QStringLiteral("/logs/bench-") + name + QStringLiteral(".log"));
    }

private:
    const PipeWireSession& session_;
    std::list<ChildProcess> processes_;
};

struct Ravlet {
    explicit Ravlet(const PipeWireSession& session)
        : connection(std::make_unique<PipeWireConnection>())
        , hardware(std::make_unique<PipeWireAudioHardware>(*connection, inspector))
        , engine(std::make_unique<RavletEngine>(
              EnginePlatform{*hardware, inspector, defaults, session.rootDir() + QStringLiteral("/diag.log")}))
    {
    }

    static QString id(const QString& name) { return QStringLiteral("client:") + name; }

    bool lists(const QStringList& names)
    {
        engine->refresh();
        for (const QString& name : names) {
            if (std::none_of(engine->apps().begin(), engine->apps().end(),
                             [&](const AudioApp& app) { return app.id == id(name); }))
                return false;
        }
        return true;
    }

    pid_t dataThread() const { return connection->dataThread(); }

    MemoryUserDefaults defaults;
    LinuxProcessInspector inspector;
    std::unique_ptr<PipeWireConnection> connection;
    std::unique_ptr<PipeWireAudioHardware> hardware;
    std::unique_ptr<RavletEngine> engine;
};

std::optional<pwdump::Node> mixNode(const QJsonArray& dump)
{
    for (pwdump::Node& node : pwdump::nodes(dump)) {
        if (node.prop(QStringLiteral("node.name")).startsWith(kMixPrefix))
            return std::move(node);
    }
    return std::nullopt;
}

quint32 nodeOf(const QJsonArray& dump, const QString& application)
{
    const auto nodes = pwdump::nodesByApplication(dump, application);
    return nodes.empty() ? 0 : nodes.front().id;
}

// Plays straight into the sink.
bool playsDirectly(const QJsonArray& dump, const QString& application)
{
    const auto sink = pwdump::nodeByName(dump, kSink);
    const quint32 node = nodeOf(dump, application);
    return sink && node && pwdump::countLinks(dump, node, sink->id) > 0;
}

// Heard only through our node, which plays into the sink.
bool playsThroughTheMix(const QJsonArray& dump, const QString& application)
{
    const auto sink = pwdump::nodeByName(dump, kSink);
    const auto mix = mixNode(dump);
    const quint32 node = nodeOf(dump, application);
    return sink && mix && node && pwdump::countLinks(dump, node, sink->id) == 0
        && pwdump::countLinks(dump, node, mix->id) > 0 && pwdump::countLinks(dump, mix->id, sink->id) > 0;
}

std::optional<QString> settingsValue(const PipeWireSession& session, const QString& key)
{
    const auto value = pwdump::metadataValue(session.pwDump(), QStringLiteral("settings"), 0, key);
    return value ? std::optional<QString>(pwdump::metadataText(*value)) : std::nullopt;
}

// ---- a recorder that hears clicks on the graph's clock ----

struct Click {
    int channel = 0;
    int64_t frame = 0;   // on the graph's clock
};

struct ClickRecording {
    std::vector<Click> clicks;
    int64_t quantum = 0;
    int64_t rate = 0;
    uint32_t driver = 0;   // the node whose clock it is
};

struct ClickRecorder {
    pw_stream* stream = nullptr;
    std::atomic<const spa_io_position*> position{nullptr};
    std::vector<Click> clicks = std::vector<Click>(4096);   // preallocated: written on the real-time thread
    std::atomic<std::size_t> clickCount{0};
    std::atomic<int64_t> frames{0};
    std::atomic<int64_t> quantum{0};
    std::atomic<int64_t> rate{0};
    std::atomic<uint32_t> driver{0};
    std::atomic<bool> failed{false};
};

void onRecorderIo(void* data, uint32_t id, void* area, uint32_t)
{
    if (id == SPA_IO_Position)
        static_cast<ClickRecorder*>(data)->position.store(static_cast<const spa_io_position*>(area));
}

void onRecorderProcess(void* data)
{
    auto* recorder = static_cast<ClickRecorder*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(recorder->stream);
    if (!buffer)
        return;
    const spa_data& d = buffer->buffer->datas[0];
    const spa_io_position* position = recorder->position.load();
    if (position && d.data && d.chunk) {
        const uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        const uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
        const float* in = reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset);
        const std::size_t frames = size / (2 * sizeof(float));
        const auto first = int64_t(position->clock.position);
        for (std::size_t i = 0; i < frames * 2; ++i) {
            if (std::fabs(in[i]) < kClickAmplitude / 2)
                continue;
            const std::size_t count = recorder->clickCount.load(std::memory_order_relaxed);
            if (count < recorder->clicks.size()) {
                recorder->clicks[count] = Click{int(i % 2), first + int64_t(i / 2)};
                recorder->clickCount.store(count + 1, std::memory_order_release);
            }
        }
        recorder->frames += int64_t(frames);
        recorder->quantum = int64_t(position->clock.duration);
        recorder->rate = int64_t(position->clock.rate.denom);
        recorder->driver = position->clock.id;
    }
    pw_stream_queue_buffer(recorder->stream, buffer);
}

void onRecorderState(void* data, pw_stream_state, pw_stream_state state, const char*)
{
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
        static_cast<ClickRecorder*>(data)->failed = true;
}

const pw_stream_events kRecorderEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onRecorderState;
    events.io_changed = onRecorderIo;
    events.process = onRecorderProcess;
    return events;
}();

// `milliseconds` of the sink's monitor, counted in frames heard. Blocks:
// run it off the thread that drives Ravlet.
std::optional<ClickRecording> recordClicks(const PipeWireSession& session, int milliseconds, QString* error)
{
    ClickRecorder recorder;
    pw_thread_loop* loop = pw_thread_loop_new("bench-recorder", nullptr);
    pw_context* context = loop ? pw_context_new(pw_thread_loop_get_loop(loop),
                                                pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0)
                               : nullptr;
    pw_core* core = nullptr;
    spa_hook listener{};
    QString why;
    if (!context || pw_thread_loop_start(loop) < 0) {
        why = QStringLiteral("cannot start a PipeWire loop");
    } else {
        pw_thread_loop_lock(loop);
        core = pw_context_connect(
            context, pw_properties_new(PW_KEY_REMOTE_NAME, session.pipewireSocket().toLocal8Bit().constData(), nullptr), 0);
        if (core) {
            recorder.stream = pw_stream_new(
                core, "bench-recorder",
                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME,
                                  "bench-recorder", PW_KEY_TARGET_OBJECT, kSink.toUtf8().constData(),
                                  PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr));
        }
        if (recorder.stream) {
            pw_stream_add_listener(recorder.stream, &listener, &kRecorderEvents, &recorder);
            uint8_t buffer[1024];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
            spa_audio_info_raw info{};
            info.format = SPA_AUDIO_FORMAT_F32;
            info.rate = kRate;
            info.channels = 2;
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
            const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
            if (pw_stream_connect(recorder.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                                  pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                  | PW_STREAM_FLAG_RT_PROCESS),
                                  params, 1) < 0)
                why = QStringLiteral("cannot connect the recorder");
        } else {
            why = QStringLiteral("cannot connect to %1").arg(session.pipewireSocket());
        }
        pw_thread_loop_unlock(loop);
    }

    // The first buffers after the link comes up may be silence: only the
    // frames heard count.
    const int64_t wanted = int64_t(milliseconds) * kRate / 1000;
    const QDeadlineTimer deadline(milliseconds + 10000);
    while (why.isEmpty() && recorder.frames < wanted) {
        if (recorder.failed)
            why = QStringLiteral("the recorder was disconnected");
        else if (deadline.hasExpired() || interrupted)
            why = QStringLiteral("heard %1 of %2 frames in time").arg(recorder.frames.load()).arg(wanted);
        else
            usleep(5000);
    }

    if (loop)
        pw_thread_loop_stop(loop);
    if (recorder.stream)
        pw_stream_destroy(recorder.stream);
    if (core)
        pw_core_disconnect(core);
    if (context)
        pw_context_destroy(context);
    if (loop)
        pw_thread_loop_destroy(loop);
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return std::nullopt;
    }
    ClickRecording recording;
    recording.clicks.assign(recorder.clicks.begin(), recorder.clicks.begin() + std::ptrdiff_t(recorder.clickCount.load()));
    recording.quantum = recorder.quantum;
    recording.rate = recorder.rate;
    recording.driver = recorder.driver;
    return recording;
}

// Where one channel's clicks arrive after the multiple of the period they
// left on.
struct Arrival {
    int count = 0;
    int64_t least = 0;
    int64_t most = 0;
    bool exact() const { return count > 0 && least == most; }
};

Arrival arrival(const ClickRecording& recording, int channel)
{
    Arrival result;
    for (const Click& click : recording.clicks) {
        if (click.channel != channel)
            continue;
        const int64_t late = ((click.frame % kClickPeriod) + kClickPeriod) % kClickPeriod;
        result.least = result.count == 0 ? late : std::min(result.least, late);
        result.most = result.count == 0 ? late : std::max(result.most, late);
        ++result.count;
    }
    return result;
}

QString describe(const Arrival& a)
{
    if (a.count == 0)
        return QStringLiteral("no clicks heard");
    if (a.exact())
        return QStringLiteral("+%1 frames (%2 clicks)").arg(a.least).arg(a.count);
    return QStringLiteral("+%1 to +%2 frames (%3 clicks; not steady)").arg(a.least).arg(a.most).arg(a.count);
}

// Records until both channels' clicks arrive steadily, a few tries at most:
// a recording that catches a link coming up is not a measurement.
std::optional<ClickRecording> steadyClicks(const PipeWireSession& session, QString* error)
{
    for (int attempt = 0; attempt < 4 && !interrupted; ++attempt) {
        auto recording = whileTurning([&] { return recordClicks(session, 3000, error); });
        if (!recording)
            return std::nullopt;
        if (arrival(*recording, 0).exact() && arrival(*recording, 1).exact())
            return recording;
        *error = QStringLiteral("left %1, right %2")
                     .arg(describe(arrival(*recording, 0)), describe(arrival(*recording, 1)));
    }
    return std::nullopt;
}

QString driverName(const PipeWireSession& session, uint32_t id)
{
    const auto node = pwdump::nodeById(session.pwDump(), id);
    return node ? node->prop(QStringLiteral("node.name")) : QStringLiteral("node %1").arg(id);
}

void row(const char* label, const QString& value)
{
    std::printf("  %-44s %s\n", label, qPrintable(value));
    std::fflush(stdout);
}

bool fail(const QString& why)
{
    std::printf("  failed: %s\n", qPrintable(why));
    std::fflush(stdout);
    return false;
}

bool measureLatency(const PipeWireSession& session)
{
    std::printf("\nExtra latency of a tapped stream (load %s)\n", qPrintable(loadAverage()));
    Players players(session);
    const QStringList clicks = {QStringLiteral("--impulse"), QString::number(kClickPeriodMs), QStringLiteral("--amp"),
                                QString::number(kClickAmplitude)};
    if (!players.start(QStringLiteral("music"), clicks + QStringList{QStringLiteral("--impulse-channel"), QStringLiteral("0")})
        || !players.start(QStringLiteral("radio"), clicks + QStringList{QStringLiteral("--impulse-channel"), QStringLiteral("1")}))
        return fail(QStringLiteral("cannot start the players"));
    if (!session.waitUntil([](const QJsonArray& dump) {
            return playsDirectly(dump, QStringLiteral("music")) && playsDirectly(dump, QStringLiteral("radio"));
        }))
        return fail(QStringLiteral("the players were not linked to the sink"));

    QString error;
    const auto before = steadyClicks(session, &error);
    if (!before)
        return fail(QStringLiteral("before Ravlet: ") + error);
    const Arrival musicBefore = arrival(*before, 0);
    const Arrival radioBefore = arrival(*before, 1);
    row("both untapped: music (left), radio (right)", describe(musicBefore) + QStringLiteral(", ") + describe(radioBefore));
    row("  apart (checks the method; must be 0)", QStringLiteral("%1 frames").arg(musicBefore.least - radioBefore.least));
    row("  the graph's driver", driverName(session, before->driver));

    Ravlet ravlet(session);
    if (!runUntil([&] { return ravlet.lists({QStringLiteral("music"), QStringLiteral("radio")}); }, 10000))
        return fail(QStringLiteral("Ravlet did not list the players"));
    if (!runUntil([&] {
            const QJsonArray dump = session.pwDump();
            return playsThroughTheMix(dump, QStringLiteral("music")) && playsDirectly(dump, QStringLiteral("radio"));
        }, 10000))
        return fail(QStringLiteral("music was not tapped, or radio was"));
    const auto after = steadyClicks(session, &error);
    if (!after)
        return fail(QStringLiteral("with music tapped: ") + error);
    const Arrival music = arrival(*after, 0);
    const Arrival radio = arrival(*after, 1);
    const int64_t extra = music.least - radio.least;
    row("music tapped at unity, radio untapped", describe(music) + QStringLiteral(", ") + describe(radio));
    row("  the graph's driver", driverName(session, after->driver));
    row("extra latency of the tap (aim 0, at most 1 q)",
        QStringLiteral("%1 frames = %2 quanta of %3 frames at %4 Hz")
            .arg(extra)
            .arg(after->quantum > 0 ? double(extra) / double(after->quantum) : 0.0, 0, 'g', 3)
            .arg(after->quantum)
            .arg(after->rate));
    return true;
}

// ---- CPU ----

using ThreadTimes = std::map<pid_t, uint64_t>;   // nanoseconds on a CPU, per thread

ThreadTimes threadTimes(pid_t pid)
{
    ThreadTimes times;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            times[pid_t(task.toInt())] = schedstat.readAll().split(' ').value(0).toULongLong();
    }
    return times;
}

// What the threads accepted by `which` used between the two readings; a
// thread that began in between counts from zero.
double seconds(const ThreadTimes& before, const ThreadTimes& after, const std::function<bool(pid_t)>& which = {})
{
    uint64_t used = 0;
    for (const auto& [tid, time] : after) {
        if (which && !which(tid))
            continue;
        const auto start = before.find(tid);
        const uint64_t from = start == before.end() ? 0 : start->second;
        used += time > from ? time - from : 0;
    }
    return double(used) / 1e9;
}

QString percent(double cpuSeconds, double wallSeconds)
{
    return QStringLiteral("%1 % of one core").arg(100.0 * cpuSeconds / wallSeconds, 0, 'f', 2);
}

QString threadDescription(pid_t tid)
{
    QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
    const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromUtf8(comm.readAll()).trimmed() : QStringLiteral("?");
    const int policy = sched_getscheduler(tid);
    sched_param param{};
    sched_getparam(tid, &param);
    const QString scheduling = policy == SCHED_FIFO ? QStringLiteral("SCHED_FIFO %1").arg(param.sched_priority)
        : policy == SCHED_RR                        ? QStringLiteral("SCHED_RR %1").arg(param.sched_priority)
                                                    : QStringLiteral("not real-time");
    return QStringLiteral("\"%1\", %2").arg(name, scheduling);
}

const QStringList kFour = {QStringLiteral("music"), QStringLiteral("radio"), QStringLiteral("chat"), QStringLiteral("game")};

bool startFour(Players& players, const PipeWireSession& session)
{
    for (int i = 0; i < kFour.size(); ++i) {
        if (!players.start(kFour[i], {QStringLiteral("--freq"), QString::number(440 + 110 * i), QStringLiteral("--amp"),
                                      QStringLiteral("0.1")}))
            return false;
    }
    return session.waitUntil([](const QJsonArray& dump) {
        return std::all_of(kFour.begin(), kFour.end(), [&](const QString& name) { return playsDirectly(dump, name); });
    });
}

bool tapFour(Ravlet& ravlet, const PipeWireSession& session)
{
    if (!runUntil([&] { return ravlet.lists(kFour); }, 10000))
        return false;
    for (const QString& name : kFour)
        ravlet.engine->setGain(Ravlet::id(name), 0.8f);
    return runUntil([&] {
        const QJsonArray dump = session.pwDump();
        return std::all_of(kFour.begin(), kFour.end(), [&](const QString& name) { return playsThroughTheMix(dump, name); });
    }, 10000);
}

// Leaves Ravlet running with all four tapped, for the under-run watch.
bool measureCpu(const PipeWireSession& session, std::unique_ptr<Ravlet>& ravlet, int phaseSeconds)
{
    const std::vector<qint64> pids = session.pids();
    if (pids.size() != 4)
        return fail(QStringLiteral("the session is not running"));
    const auto daemon = pid_t(pids[1]);

    std::printf("\nCPU, four players of a stereo sine, %d s a phase\n", phaseSeconds);
    std::printf("  untapped (Ravlet not running), load %s\n", qPrintable(loadAverage()));
    QElapsedTimer wall;
    ThreadTimes daemonBefore = threadTimes(daemon);
    wall.start();
    runFor(phaseSeconds * 1000);
    const double daemonUntapped = seconds(daemonBefore, threadTimes(daemon));
    double wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    row("PipeWire daemon", percent(daemonUntapped, wallSeconds));
    if (interrupted)
        return false;

    // Only now: running, Ravlet always taps one application, the primary.
    ravlet = std::make_unique<Ravlet>(session);
    if (!tapFour(*ravlet, session))
        return fail(QStringLiteral("Ravlet did not tap all four players"));
    runFor(2000);
    const pid_t dataThread = ravlet->dataThread();
    std::printf("  all four tapped, load %s\n", qPrintable(loadAverage()));
    daemonBefore = threadTimes(daemon);
    const ThreadTimes oursBefore = threadTimes(getpid());
    wall.start();
    runFor(phaseSeconds * 1000);
    const ThreadTimes oursAfter = threadTimes(getpid());
    const double daemonTapped = seconds(daemonBefore, threadTimes(daemon));
    wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    const double ours = seconds(oursBefore, oursAfter);
    const double mainThread = seconds(oursBefore, oursAfter, [](pid_t tid) { return tid == getpid(); });
    const double mixThread = seconds(oursBefore, oursAfter, [&](pid_t tid) { return tid == dataThread; });
    row("PipeWire daemon", percent(daemonTapped, wallSeconds));
    row("Ravlet, all threads", percent(ours, wallSeconds));
    row("  main thread (engine, PipeWire's main loop)", percent(mainThread, wallSeconds));
    row("  data thread (the mix)",
        dataThread ? percent(mixThread, wallSeconds) + QStringLiteral("; ") + threadDescription(dataThread)
                   : QStringLiteral("not found"));
    row("Ravlet / daemon, both tapped", QString::number(ours / daemonTapped, 'f', 2));
    row("Ravlet / daemon untapped", QString::number(ours / daemonUntapped, 'f', 2));
    row("daemon tapped / untapped", QString::number(daemonTapped / daemonUntapped, 'f', 2));
    return !interrupted;
}

// ---- under-runs, from the daemon's profiler ----

struct ProfileCounts {
    uint64_t ourCycles = 0;
    uint64_t ourMissed = 0;
    std::map<int32_t, uint64_t> ourStatuses;
    uint64_t playerCycles = 0;
    uint64_t playerMissed = 0;
    std::map<int64_t, uint64_t> quanta;      // cycles of our node's driver by length
    int64_t rate = 0;
    std::map<int32_t, std::pair<uint32_t, uint32_t>> driverXruns;   // driver → first, last count seen
    std::map<QString, uint64_t> drivers;     // cycles of our node by its driver's name
};

struct Profiler {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_proxy* profiler = nullptr;
    spa_hook registryListener{};
    spa_hook profilerListener{};
    ProfileCounts counts;   // under the loop's lock
};

struct Follower {
    int32_t id = 0;
    const char* name = nullptr;
    int32_t status = 0;
};

void onProfile(void* data, const spa_pod* pod)
{
    auto* profiler = static_cast<Profiler*>(data);
    ProfileCounts& counts = profiler->counts;
    if (!spa_pod_is_struct(pod))
        return;
    const void* body = SPA_POD_BODY_CONST(pod);
    const uint32_t size = SPA_POD_BODY_SIZE(pod);
    for (auto* object = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, object);
         object = static_cast<const spa_pod*>(spa_pod_next(object))) {
        if (!spa_pod_is_object_type(object, SPA_TYPE_OBJECT_Profiler))
            continue;
        int32_t driver = -1;
        QString driverName;
        int64_t duration = 0;
        int32_t rate = 0;
        uint32_t xruns = 0;
        std::vector<Follower> followers;
        const auto* properties = reinterpret_cast<const spa_pod_object*>(object);
        for (const spa_pod_prop* property = spa_pod_prop_first(&properties->body);
             spa_pod_prop_is_inside(&properties->body, SPA_POD_BODY_SIZE(properties), property);
             property = spa_pod_prop_next(property)) {
            spa_pod_parser parser;
            spa_pod_frame frame;
            spa_pod_parser_pod(&parser, &property->value);
            if (spa_pod_parser_push_struct(&parser, &frame) < 0)
                continue;
            if (property->key == SPA_PROFILER_info) {
                int64_t counter = 0;
                float load = 0;
                int32_t count = 0;
                if (spa_pod_parser_get_long(&parser, &counter) >= 0 && spa_pod_parser_get_float(&parser, &load) >= 0
                    && spa_pod_parser_get_float(&parser, &load) >= 0 && spa_pod_parser_get_float(&parser, &load) >= 0
                    && spa_pod_parser_get_int(&parser, &count) >= 0)
                    xruns = uint32_t(count);
            } else if (property->key == SPA_PROFILER_clock) {
                int32_t flags = 0, id = 0;
                const char* name = nullptr;
                int64_t nsec = 0, position = 0;
                spa_fraction fraction{};
                if (spa_pod_parser_get_int(&parser, &flags) >= 0 && spa_pod_parser_get_int(&parser, &id) >= 0
                    && spa_pod_parser_get_string(&parser, &name) >= 0 && spa_pod_parser_get_long(&parser, &nsec) >= 0
                    && spa_pod_parser_get_fraction(&parser, &fraction) >= 0
                    && spa_pod_parser_get_long(&parser, &position) >= 0
                    && spa_pod_parser_get_long(&parser, &duration) >= 0)
                    rate = int32_t(fraction.denom);
            } else if (property->key == SPA_PROFILER_driverBlock || property->key == SPA_PROFILER_followerBlock) {
                Follower block;
                int64_t times[4] = {};
                if (spa_pod_parser_get_int(&parser, &block.id) < 0 || spa_pod_parser_get_string(&parser, &block.name) < 0)
                    continue;
                bool complete = true;
                for (int64_t& time : times)
                    complete = complete && spa_pod_parser_get_long(&parser, &time) >= 0;
                if (!complete || spa_pod_parser_get_int(&parser, &block.status) < 0)
                    continue;
                if (property->key == SPA_PROFILER_driverBlock) {
                    driver = block.id;
                    driverName = QString::fromUtf8(block.name ? block.name : "");
                } else {
                    followers.push_back(block);
                }
            }
        }
        const bool ours = std::any_of(followers.begin(), followers.end(), [](const Follower& f) {
            return f.name && QString::fromUtf8(f.name).startsWith(kMixPrefix);
        });
        if (!ours)
            continue;
        counts.quanta[duration]++;
        counts.drivers[driverName]++;
        counts.rate = rate;
        auto [entry, added] = counts.driverXruns.try_emplace(driver, xruns, xruns);
        entry->second.second = xruns;
        for (const Follower& follower : followers) {
            const QString name = QString::fromUtf8(follower.name ? follower.name : "");
            if (name.startsWith(kMixPrefix)) {
                counts.ourCycles++;
                counts.ourStatuses[follower.status]++;
                counts.ourMissed += follower.status != 3 ? 1 : 0;   // 3: finished
            } else if (kFour.contains(name)) {
                counts.playerCycles++;
                counts.playerMissed += follower.status != 3 ? 1 : 0;
            }
        }
    }
}

const pw_profiler_events kProfilerEvents = [] {
    pw_profiler_events events{};
    events.version = PW_VERSION_PROFILER_EVENTS;
    events.profile = onProfile;
    return events;
}();

void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict*)
{
    auto* profiler = static_cast<Profiler*>(data);
    if (profiler->profiler || std::strcmp(type, PW_TYPE_INTERFACE_Profiler) != 0)
        return;
    profiler->profiler = static_cast<pw_proxy*>(pw_registry_bind(profiler->registry, id, type, PW_VERSION_PROFILER, 0));
    if (profiler->profiler)
        pw_proxy_add_object_listener(profiler->profiler, &profiler->profilerListener, &kProfilerEvents, profiler);
}

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = onGlobal;
    return events;
}();

bool startProfiler(Profiler& p, const PipeWireSession& session)
{
    p.loop = pw_thread_loop_new("bench-profiler", nullptr);
    p.context = p.loop ? pw_context_new(pw_thread_loop_get_loop(p.loop), nullptr, 0) : nullptr;
    if (!p.context || pw_thread_loop_start(p.loop) < 0)
        return false;
    pw_thread_loop_lock(p.loop);
    // The profiler's protocol comes with its module.
    pw_context_load_module(p.context, PW_EXTENSION_MODULE_PROFILER, nullptr, nullptr);
    p.core = pw_context_connect(
        p.context, pw_properties_new(PW_KEY_REMOTE_NAME, session.pipewireSocket().toLocal8Bit().constData(), nullptr), 0);
    if (p.core) {
        p.registry = pw_core_get_registry(p.core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(p.registry, &p.registryListener, &kRegistryEvents, &p);
    }
    pw_thread_loop_unlock(p.loop);
    return p.core != nullptr;
}

void stopProfiler(Profiler& p)
{
    if (p.loop)
        pw_thread_loop_stop(p.loop);
    if (p.profiler)
        pw_proxy_destroy(p.profiler);
    if (p.registry)
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(p.registry));
    if (p.core)
        pw_core_disconnect(p.core);
    if (p.context)
        pw_context_destroy(p.context);
    if (p.loop)
        pw_thread_loop_destroy(p.loop);
    p = {};
}

ProfileCounts readCounts(Profiler& p, bool reset = false)
{
    pw_thread_loop_lock(p.loop);
    ProfileCounts counts = p.counts;
    if (reset)
        p.counts = {};
    pw_thread_loop_unlock(p.loop);
    return counts;
}

bool measureXruns(const PipeWireSession& session, double minutes)
{
    std::printf("\nUnder-runs at a %d-frame quantum, all four tapped, %g min (load %s)\n", kForcedQuantum, minutes,
                qPrintable(loadAverage()));
    QString error;
    if (!session.run(QStringLiteral("pw-metadata"), {QStringLiteral("-n"), QStringLiteral("settings"), QStringLiteral("0"),
                                                    QStringLiteral("clock.force-quantum"), QString::number(kForcedQuantum)},
                     nullptr, &error))
        return fail(error);
    Profiler profiler;
    const auto finish = [&](bool result) {
        stopProfiler(profiler);
        session.run(QStringLiteral("pw-metadata"), {QStringLiteral("-n"), QStringLiteral("settings"), QStringLiteral("0"),
                                                    QStringLiteral("clock.force-quantum"), QStringLiteral("0")});
        return result;
    };
    if (!startProfiler(profiler, session))
        return finish(fail(QStringLiteral("cannot reach the daemon's profiler")));
    if (!runUntil([&] { return readCounts(profiler).quanta.contains(kForcedQuantum); }, 10000))
        return finish(fail(QStringLiteral("our node's driver never ran at %1 frames").arg(kForcedQuantum)));
    // The change of quantum itself may cost a cycle; that is not ours.
    runFor(2000);
    readCounts(profiler, true);
    QElapsedTimer elapsed;
    elapsed.start();
    runFor(int(minutes * 60 * 1000));
    const ProfileCounts counts = readCounts(profiler);
    const double seconds = double(elapsed.elapsed()) / 1000.0;

    QStringList quanta;
    for (const auto& [length, cycles] : counts.quanta)
        quanta << QStringLiteral("%1 frames × %2").arg(length).arg(cycles);
    QStringList statuses;
    for (const auto& [status, cycles] : counts.ourStatuses)
        statuses << QStringLiteral("%1: %2").arg(status).arg(cycles);
    uint64_t driverXruns = 0;
    for (const auto& [driver, range] : counts.driverXruns)
        driverXruns += range.second >= range.first ? range.second - range.first : range.second;
    const double expected = counts.quanta.empty() ? 0.0 : seconds * double(counts.rate) / double(kForcedQuantum);
    QStringList drivers;
    for (const auto& [name, cycles] : counts.drivers)
        drivers << QStringLiteral("%1 × %2").arg(name).arg(cycles);
    row("quantum, rate", quanta.join(QStringLiteral(", ")) + QStringLiteral(" at %1 Hz").arg(counts.rate));
    row("the driver", drivers.join(QStringLiteral(", ")));
    row("cycles of our node profiled",
        QStringLiteral("%1 of %2 in %3 s").arg(counts.ourCycles).arg(std::llround(expected)).arg(seconds, 0, 'f', 0));
    row("our node's missed cycles (aim 0)",
        QStringLiteral("%1 (statuses %2; 3 is finished)").arg(counts.ourMissed).arg(statuses.join(QStringLiteral(", "))));
    row("the players' missed cycles", QStringLiteral("%1 of %2").arg(counts.playerMissed).arg(counts.playerCycles));
    row("the driver's xruns", QString::number(driverXruns));
    std::printf("  load afterwards %s\n", qPrintable(loadAverage()));
    return finish(!interrupted);
}

int intArgument(const char* text, const char* option)
{
    bool ok = false;
    const double value = QString::fromLocal8Bit(text).toDouble(&ok);
    if (!ok || value <= 0) {
        std::fprintf(stderr, "pipewire_bench: %s needs a positive number\n", option);
        std::exit(2);
    }
    return int(value);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int phaseSeconds = 60;
    double xrunMinutes = 10;
    for (int i = 1; i < argc; ++i) {
        const QByteArray option = argv[i];
        if (i + 1 < argc && option == "--seconds") {
            phaseSeconds = intArgument(argv[++i], "--seconds");
        } else if (i + 1 < argc && option == "--xrun-minutes") {
            bool ok = false;
            xrunMinutes = QString::fromLocal8Bit(argv[++i]).toDouble(&ok);
            if (!ok || !(xrunMinutes > 0)) {
                std::fprintf(stderr, "pipewire_bench: --xrun-minutes needs a positive number\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: pipewire_bench [--seconds N] [--xrun-minutes N]\n");
            return 2;
        }
    }
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    PipeWireSession session;
    if (!session.start()) {
        std::fprintf(stderr, "pipewire_bench: no session: %s\n", qPrintable(session.errorString()));
        return 1;
    }
    session.applyToThisProcess();
    pw_init(nullptr, nullptr);
    std::printf("Ravlet on PipeWire %s, in a private session; the machine has %ld cores\n", pw_get_library_version(),
                sysconf(_SC_NPROCESSORS_ONLN));
    row("settings: clock.rate, clock.quantum",
        QStringLiteral("%1, %2")
            .arg(settingsValue(session, QStringLiteral("clock.rate")).value_or(QStringLiteral("?")),
                 settingsValue(session, QStringLiteral("clock.quantum")).value_or(QStringLiteral("?"))));

    bool ok = measureLatency(session);
    if (!interrupted) {
        Players players(session);
        std::unique_ptr<Ravlet> ravlet;   // goes before the players
        if (!startFour(players, session)) {
            ok = fail(QStringLiteral("cannot start four players"));
        } else {
            ok = measureCpu(session, ravlet, phaseSeconds) && ok;
            if (ravlet && !interrupted)
                ok = measureXruns(session, xrunMinutes) && ok;
        }
    }
    session.stop();
    return ok ? 0 : 1;
}
