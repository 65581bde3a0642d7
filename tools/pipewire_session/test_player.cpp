// Plays a steady sine through PipeWire or the PulseAudio protocol, as an
// application would, for tests that need a real client in a session.
//
//   ravlet-test-player --api pipewire|pulse [--name NAME] [--freq HZ] [--amp A]
//                      [--freq-right HZ] [--target SINK] [--channels 1|2|6]
//                      [--seconds S] [--impulse PERIOD_MS [--impulse-channel C]]
//                      [--restart-after S] [--claim-pid PID] [--claim-binary NAME]
//                      [--claim-mixer MARK]
//
// Every channel carries the same sine, float32 at 48 kHz; with --freq-right,
// the channels of the right side (FR, RR) play a sine of that frequency
// instead, and the centre ones (FC, LFE) silence; with --impulse, silence
// instead but for a one-sample click of --amp on channel C (0, the left,
// unless given) every period. It plays until SIGTERM or SIGINT (then exits
// 0) or for --seconds, after which it drains its stream and exits. With
// --restart-after it ends its stream after S seconds and opens a new one,
// once, as a player moving to its next track does. It is started through
// symlinks named after applications, so nothing here depends on argv[0].

#include <pipewire/pipewire.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/simple.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <optional>
#include <sys/resource.h>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRate = 48000;

struct Options {
    std::string api;
    std::string name = "ravlet-test-player";
    std::string target;
    double frequency = 440.0;
    double rightFrequency = 0.0;  // 0: the same as the others
    double amplitude = 0.25;
    int channels = 2;
    double seconds = 0.0;  // 0: until a signal
    double impulseMs = 0.0;  // 0: the sine
    int impulseChannel = 0;
    double restartAfter = 0.0;  // 0: one stream for good
    std::string claimedPid;     // the client's word on its process; empty: the truth
    std::string claimedBinary;
    std::string claimedMixer;   // a mixer's mark on its client, as any client may set it
    long moveIndex = -1;  // >= 0: no player, a mixer moving this sink input to --target
};

// Continuous across buffers: the phase is carried, not restarted, so the
// output is one unbroken sine that a fit over any window recovers exactly.
class Sine {
public:
    Sine(double frequency, double amplitude)
        : step_(2.0 * std::numbers::pi * frequency / kRate), amplitude_(amplitude) {}

    float next()
    {
        const float value = static_cast<float>(amplitude_ * std::sin(phase_));
        phase_ += step_;
        if (phase_ >= 2.0 * std::numbers::pi)
            phase_ -= 2.0 * std::numbers::pi;
        return value;
    }

private:
    double phase_ = 0.0;
    double step_;
    double amplitude_;
};

// The clicks fall on the frames whose number is a multiple of the period.
// Through PipeWire's API the frames are numbered on the graph's clock, so
// every player's clicks leave on the same graph frames, whenever each was
// started, and a recording that also knows the graph's clock shows how much
// later one path delivers them than another. Through PulseAudio's API they
// are counted from the first frame played.
class Clicks {
public:
    Clicks(double periodMs, double amplitude, int channel)
        : period_(std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(periodMs * kRate / 1000.0))))
        , amplitude_(static_cast<float>(amplitude))
        , channel_(channel) {}

    // graphFrame: the graph's number for the first frame, when known.
    void fill(float* out, std::size_t frames, int channels, std::optional<uint64_t> graphFrame)
    {
        const uint64_t first = graphFrame.value_or(next_);
        std::memset(out, 0, frames * static_cast<std::size_t>(channels) * sizeof(float));
        for (uint64_t i = (period_ - first % period_) % period_; i < frames; i += period_)
            out[i * static_cast<uint64_t>(channels) + static_cast<uint64_t>(channel_)] = amplitude_;
        next_ = first + frames;
    }

private:
    // Initialised here too: gcc 14 cannot tell that an engaged optional's
    // members were set by the constructor.
    uint64_t period_ = 1;
    float amplitude_ = 0.0f;
    int channel_ = 0;
    uint64_t next_ = 0;
};

enum class Side { Left, Right, Centre };

// In the orders of positions() below: FL FR, and FL FR FC LFE RL RR.
Side sideOf(int channels, int channel)
{
    if (channels == 2)
        return channel == 1 ? Side::Right : Side::Left;
    if (channels == 6)
        return channel == 1 || channel == 5 ? Side::Right : channel == 2 || channel == 3 ? Side::Centre : Side::Left;
    return Side::Left;
}

struct Signal {
    Sine sine;
    std::optional<Sine> right;
    std::optional<Clicks> clicks;

    explicit Signal(const Options& options) : sine(options.frequency, options.amplitude)
    {
        if (options.rightFrequency > 0.0)
            right.emplace(options.rightFrequency, options.amplitude);
        if (options.impulseMs > 0.0)
            clicks.emplace(options.impulseMs, options.amplitude, options.impulseChannel);
    }

    void fill(float* out, std::size_t frames, int channels, std::optional<uint64_t> graphFrame = {})
    {
        if (clicks) {
            clicks->fill(out, frames, channels, graphFrame);
            return;
        }
        for (std::size_t i = 0; i < frames; ++i) {
            const float value = sine.next();
            if (!right) {
                for (int c = 0; c < channels; ++c)
                    *out++ = value;
                continue;
            }
            // The centre would carry both sides' tones, so it stays silent.
            const float rightValue = right->next();
            for (int c = 0; c < channels; ++c) {
                const Side side = sideOf(channels, c);
                *out++ = side == Side::Left ? value : side == Side::Right ? rightValue : 0.0f;
            }
        }
    }
};

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr, "ravlet-test-player: %s\n"
                         "usage: ravlet-test-player --api pipewire|pulse [--name NAME] [--freq HZ] [--amp A]\n"
                         "       [--freq-right HZ] [--target SINK] [--channels 1|2|6] [--seconds S]\n"
                         "       [--impulse PERIOD_MS [--impulse-channel C]] [--restart-after S]\n"
                         "       [--claim-pid PID --claim-binary NAME]\n"
                         "       ravlet-test-player --move-sink-input INDEX --target SINK\n", why);
    std::exit(2);
}

double number(const char* text, const char* option)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value))
        usage((std::string("not a number for ") + option + ": " + text).c_str());
    return value;
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            usage(("missing value for " + option).c_str());
        const char* value = argv[++i];
        if (option == "--api")
            options.api = value;
        else if (option == "--name")
            options.name = value;
        else if (option == "--target")
            options.target = value;
        else if (option == "--freq")
            options.frequency = number(value, "--freq");
        else if (option == "--freq-right")
            options.rightFrequency = number(value, "--freq-right");
        else if (option == "--amp")
            options.amplitude = number(value, "--amp");
        else if (option == "--channels")
            options.channels = static_cast<int>(number(value, "--channels"));
        else if (option == "--seconds")
            options.seconds = number(value, "--seconds");
        else if (option == "--impulse")
            options.impulseMs = number(value, "--impulse");
        else if (option == "--impulse-channel")
            options.impulseChannel = static_cast<int>(number(value, "--impulse-channel"));
        else if (option == "--restart-after")
            options.restartAfter = number(value, "--restart-after");
        else if (option == "--claim-pid")
            options.claimedPid = std::to_string(static_cast<long>(number(value, "--claim-pid")));
        else if (option == "--claim-binary")
            options.claimedBinary = value;
        else if (option == "--claim-mixer")
            options.claimedMixer = value;
        else if (option == "--move-sink-input") {
            options.moveIndex = static_cast<long>(number(value, "--move-sink-input"));
            options.api = "pulse";
        }
        else
            usage(("unknown option " + option).c_str());
    }
    if (options.api != "pipewire" && options.api != "pulse")
        usage("--api must be pipewire or pulse");
    if (options.channels != 1 && options.channels != 2 && options.channels != 6)
        usage("--channels must be 1, 2 or 6");
    if (options.frequency <= 0.0 || options.frequency >= kRate / 2.0 || options.rightFrequency < 0.0
        || options.rightFrequency >= kRate / 2.0)
        usage("--freq and --freq-right must lie between 0 and 24000");
    if (options.amplitude < 0.0 || options.amplitude > 1.0)
        usage("--amp must lie between 0 and 1");
    if (options.seconds < 0.0 || options.name.empty())
        usage("--seconds must not be negative and --name not empty");
    if (options.impulseMs < 0.0 || options.impulseMs > 3600.0 * 1000.0)
        usage("--impulse must lie between 0 and an hour");
    if (options.impulseChannel < 0 || options.impulseChannel >= options.channels)
        usage("--impulse-channel must name one of the channels");
    if (options.restartAfter < 0.0)
        usage("--restart-after must not be negative");
    if (options.moveIndex >= 0 && options.target.empty())
        usage("--move-sink-input needs --target");
    return options;
}

// ---- PipeWire ----

struct PipeWirePlayer {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    Signal signal;
    int channels;
    bool failed = false;
    std::atomic<const spa_io_position*> position {nullptr};
    // For opening the stream again.
    pw_core* core = nullptr;
    const Options* options = nullptr;
    spa_hook streamListener {};
};

void onProcess(void* data)
{
    auto* player = static_cast<PipeWirePlayer*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(player->stream);
    if (!buffer)
        return;
    spa_data& d = buffer->buffer->datas[0];
    if (!d.data) {
        pw_stream_queue_buffer(player->stream, buffer);
        return;
    }
    const std::size_t stride = sizeof(float) * static_cast<std::size_t>(player->channels);
    std::size_t frames = d.maxsize / stride;
    // Fill only what this cycle asks for: filling maxsize would queue
    // seconds of audio ahead of the graph.
    if (buffer->requested > 0 && buffer->requested < frames)
        frames = buffer->requested;
    const spa_io_position* position = player->position.load(std::memory_order_acquire);
    player->signal.fill(static_cast<float*>(d.data), frames, player->channels,
                        position ? std::optional<uint64_t>(position->clock.position) : std::nullopt);
    d.chunk->offset = 0;
    d.chunk->stride = static_cast<int32_t>(stride);
    d.chunk->size = static_cast<uint32_t>(frames * stride);
    pw_stream_queue_buffer(player->stream, buffer);
}

// The graph's clock, for clicks on its frames.
void onIoChanged(void* data, uint32_t id, void* area, uint32_t)
{
    if (id == SPA_IO_Position)
        static_cast<PipeWirePlayer*>(data)->position.store(static_cast<const spa_io_position*>(area),
                                                           std::memory_order_release);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto* player = static_cast<PipeWirePlayer*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
        std::fprintf(stderr, "ravlet-test-player: stream error: %s\n", error ? error : "unknown");
        player->failed = true;
        pw_main_loop_quit(player->loop);
    }
}

// The end of --seconds, played out.
void onDrained(void* data)
{
    pw_main_loop_quit(static_cast<PipeWirePlayer*>(data)->loop);
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.io_changed = onIoChanged;
    events.process = onProcess;
    events.drained = onDrained;
    return events;
}();

// A stream whose server goes away is not told so; its core is.
void onCoreError(void* data, uint32_t id, int, int result, const char* message)
{
    auto* player = static_cast<PipeWirePlayer*>(data);
    if (id != PW_ID_CORE)
        return;
    std::fprintf(stderr, "ravlet-test-player: server error: %s (%s)\n", message ? message : "", spa_strerror(result));
    player->failed = true;
    pw_main_loop_quit(player->loop);
}

const pw_core_events kCoreEvents = [] {
    pw_core_events events {};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

void quitOnSignal(void* data, int)
{
    pw_main_loop_quit(static_cast<pw_main_loop*>(data));
}

// At the end of --seconds: what was queued is played out first, as a player
// that finishes a file does; the drained event then ends the loop.
void drainOnTimer(void* data, uint64_t)
{
    pw_stream_flush(static_cast<PipeWirePlayer*>(data)->stream, true);
}

void positions(int channels, uint32_t* out)
{
    static const uint32_t mono[] = {SPA_AUDIO_CHANNEL_MONO};
    static const uint32_t stereo[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR};
    static const uint32_t surround[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC,
                                        SPA_AUDIO_CHANNEL_LFE, SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR};
    const uint32_t* from = channels == 1 ? mono : channels == 2 ? stereo : surround;
    std::memcpy(out, from, sizeof(uint32_t) * static_cast<std::size_t>(channels));
}

// Opens player.stream, as an application's player does: 0, or a negative
// errno.
int openStream(PipeWirePlayer& player)
{
    const Options& options = *player.options;
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, options.name.c_str(), PW_KEY_NODE_NAME, options.name.c_str(),
        PW_KEY_MEDIA_NAME, "Sine", nullptr);
    if (!options.target.empty())
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, options.target.c_str());
    player.stream = pw_stream_new(player.core, options.name.c_str(), props);
    if (!player.stream)
        return -errno;
    pw_stream_add_listener(player.stream, &player.streamListener, &kStreamEvents, &player);

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info {};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = static_cast<uint32_t>(options.channels);
    positions(options.channels, info.position);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    // The generator is cheap and lock-free, so it runs on the real-time
    // thread itself.
    return pw_stream_connect(
        player.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
}

// The stream ends and a new one opens, in the same process and client.
void restartOnTimer(void* data, uint64_t)
{
    auto* player = static_cast<PipeWirePlayer*>(data);
    player->position.store(nullptr, std::memory_order_release);
    pw_stream_destroy(player->stream);
    player->stream = nullptr;
    if (const int result = openStream(*player); result < 0) {
        std::fprintf(stderr, "ravlet-test-player: cannot play again: %s\n", spa_strerror(result));
        player->failed = true;
        pw_main_loop_quit(player->loop);
    }
}

int playPipeWire(const Options& options, int argc, char** argv)
{
    pw_init(&argc, &argv);
    PipeWirePlayer player {nullptr, nullptr, Signal(options), options.channels};
    player.loop = pw_main_loop_new(nullptr);
    if (!player.loop) {
        std::fprintf(stderr, "ravlet-test-player: cannot create a loop\n");
        return 1;
    }
    pw_loop* loop = pw_main_loop_get_loop(player.loop);
    pw_loop_add_signal(loop, SIGTERM, quitOnSignal, player.loop);
    pw_loop_add_signal(loop, SIGINT, quitOnSignal, player.loop);

    // The real-time client configuration: on a busy test machine a data
    // thread of normal priority misses cycles and the tone breaks up.
    pw_properties* contextProps =
        pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", PW_KEY_APP_NAME, options.name.c_str(), nullptr);
    // What a client says of itself, as any native client may say anything.
    if (!options.claimedPid.empty())
        pw_properties_set(contextProps, PW_KEY_APP_PROCESS_ID, options.claimedPid.c_str());
    if (!options.claimedBinary.empty())
        pw_properties_set(contextProps, PW_KEY_APP_PROCESS_BINARY, options.claimedBinary.c_str());
    if (!options.claimedMixer.empty())
        pw_properties_set(contextProps, "ravlet.mixer", options.claimedMixer.c_str());
    pw_context* context = pw_context_new(loop, contextProps, 0);
    pw_core* core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
    if (!core) {
        std::fprintf(stderr, "ravlet-test-player: cannot connect: %s\n", std::strerror(errno));
        if (context)
            pw_context_destroy(context);
        pw_main_loop_destroy(player.loop);
        return 1;
    }
    spa_hook coreListener {};
    pw_core_add_listener(core, &coreListener, &kCoreEvents, &player);

    player.core = core;
    player.options = &options;
    const int result = openStream(player);
    if (result < 0) {
        std::fprintf(stderr, "ravlet-test-player: cannot play: %s\n", spa_strerror(result));
        player.failed = true;
    } else {
        if (options.restartAfter > 0) {
            spa_source* timer = pw_loop_add_timer(loop, restartOnTimer, &player);
            timespec value {static_cast<time_t>(options.restartAfter),
                            static_cast<long>(std::fmod(options.restartAfter, 1.0) * 1e9)};
            pw_loop_update_timer(loop, timer, &value, nullptr, false);
        }
        if (options.seconds > 0) {
            spa_source* timer = pw_loop_add_timer(loop, drainOnTimer, &player);
            timespec value {static_cast<time_t>(options.seconds),
                            static_cast<long>(std::fmod(options.seconds, 1.0) * 1e9)};
            pw_loop_update_timer(loop, timer, &value, nullptr, false);
        }
        pw_main_loop_run(player.loop);
    }

    if (player.stream)
        pw_stream_destroy(player.stream);
    spa_hook_remove(&coreListener);
    pw_core_disconnect(core);
    pw_context_destroy(context);
    pw_main_loop_destroy(player.loop);
    pw_deinit();
    return player.failed ? 1 : 0;
}

// ---- PulseAudio ----

std::atomic<bool> stopRequested {false};

extern "C" void requestStop(int)
{
    stopRequested = true;
}

void stopOnSignals()
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Moves a sink input as a desktop mixer does, then stays connected until
// stopped: the PulseAudio server writes the move on this client's own
// connection to PipeWire, and PipeWire drops what a client sent if it hangs
// up before the daemon has read it, as pactl's quick exit often does on a
// busy machine.
int movePulse(const Options& options)
{
    stopOnSignals();
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "ravlet-test-mixer");
    const auto alive = [&] { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); };
    const auto iterate = [&] { return !stopRequested && alive() && pa_mainloop_iterate(loop, 1, nullptr) >= 0; };
    int moved = -1;  // -1 until the server answers, then 1 or 0
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (pa_context_get_state(context) != PA_CONTEXT_READY && iterate()) {
        }
    }
    if (pa_context_get_state(context) == PA_CONTEXT_READY) {
        pa_operation* operation = pa_context_move_sink_input_by_name(
            context, static_cast<uint32_t>(options.moveIndex), options.target.c_str(),
            [](pa_context*, int success, void* data) { *static_cast<int*>(data) = success ? 1 : 0; }, &moved);
        while (moved < 0 && iterate()) {
        }
        if (operation)
            pa_operation_unref(operation);
    }
    if (moved != 1)
        std::fprintf(stderr, "ravlet-test-player: cannot move %ld to %s: %s\n", options.moveIndex,
                     options.target.c_str(), pa_strerror(pa_context_errno(context)));
    while (moved == 1 && !stopRequested && alive()) {
        pa_mainloop_iterate(loop, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return moved == 1 ? 0 : 1;
}

int playPulse(const Options& options)
{
    stopOnSignals();

    pa_sample_spec format {PA_SAMPLE_FLOAT32LE, kRate, static_cast<uint8_t>(options.channels)};
    pa_channel_map map;
    pa_channel_map_init(&map);
    map.channels = static_cast<uint8_t>(options.channels);
    if (options.channels == 1) {
        map.map[0] = PA_CHANNEL_POSITION_MONO;
    } else {
        const pa_channel_position_t order[] = {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                                               PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
                                               PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT};
        for (int c = 0; c < options.channels; ++c)
            map.map[c] = order[c];
    }
    // A short buffer keeps each blocking write brief, so a stop request is
    // seen within a few milliseconds.
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(100 * 1000, &format));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);

    // What PipeWire's real-time module gives its clients' main threads: a
    // session starting beside this one on a busy machine otherwise starves
    // the writer past its buffer and the tone breaks up. Threads inherit it;
    // without the privilege it is simply not granted.
    setpriority(PRIO_PROCESS, 0, -11);

    int error = 0;
    const auto open = [&] {
        return pa_simple_new(nullptr, options.name.c_str(), PA_STREAM_PLAYBACK,
                             options.target.empty() ? nullptr : options.target.c_str(), "Sine", &format, &map, &attr,
                             &error);
    };
    pa_simple* simple = open();
    if (!simple) {
        std::fprintf(stderr, "ravlet-test-player: cannot connect: %s\n", pa_strerror(error));
        return 1;
    }

    Signal signal(options);
    constexpr std::size_t kBlock = kRate / 100;  // 10 ms
    std::vector<float> block(kBlock * static_cast<std::size_t>(options.channels));
    const std::size_t total = static_cast<std::size_t>(std::llround(options.seconds * kRate));
    std::size_t written = 0;
    const std::size_t restartAt = static_cast<std::size_t>(std::llround(options.restartAfter * kRate));
    int status = 0;
    while (!stopRequested && (total == 0 || written < total)) {
        if (restartAt > 0 && written >= restartAt && written < restartAt + kBlock) {
            // A new stream of the same process (a client of its own, as
            // libpulse's simple API makes one per stream).
            pa_simple_free(simple);
            if (!(simple = open())) {
                std::fprintf(stderr, "ravlet-test-player: cannot play again: %s\n", pa_strerror(error));
                return 1;
            }
        }
        const std::size_t frames = total == 0 ? kBlock : std::min(kBlock, total - written);
        signal.fill(block.data(), frames, options.channels);
        if (pa_simple_write(simple, block.data(), frames * sizeof(float) * options.channels, &error) < 0) {
            if (stopRequested)
                break;
            std::fprintf(stderr, "ravlet-test-player: write failed: %s\n", pa_strerror(error));
            status = 1;
            break;
        }
        written += frames;
    }
    if (status == 0 && !stopRequested && pa_simple_drain(simple, &error) < 0 && !stopRequested) {
        std::fprintf(stderr, "ravlet-test-player: drain failed: %s\n", pa_strerror(error));
        status = 1;
    }
    pa_simple_free(simple);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (options.moveIndex >= 0)
        return movePulse(options);
    return options.api == "pipewire" ? playPipeWire(options, argc, argv) : playPulse(options);
}
