// The clock: cycles run on the simulated I/O thread or by hand, each playing
// the processes' signals into their devices and running the started blocks.

#include "simulated_model.h"

#include <QScopeGuard>

#include <chrono>
#include <cmath>
#include <numbers>
#include <pthread.h>

using namespace simulated;

namespace {

// A clock that fell behind (a stalled machine, a debugger) runs at most this
// many cycles back to back and then drops the rest, as a real device
// overloads rather than replaying the missed time.
constexpr int kMaxCatchUpCycles = 3;

std::chrono::nanoseconds cycleTime(std::int64_t cycles)
{
    // 512 frames at 48 kHz is 32'000'000 / 3 ns; counted from the start of a
    // schedule so that rounding never accumulates.
    return std::chrono::nanoseconds(cycles * 32'000'000 / 3);
}

std::int64_t cyclesSince(std::chrono::steady_clock::duration elapsed)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() * 3 / 32'000'000;
}

// A signal's frames [first, first + kFrames) as interleaved stereo, with the
// very values sample() gives: the right channel is the left one, or its
// negation, and a pattern repeats after 100 frames. A busy scene plays
// thousands of processes at once, so no sample is worked out twice.
void render(const Signal& signal, std::int64_t first, float* out)
{
    if (signal.kind == Signal::Kind::Sine) {
        // A rotating phasor instead of a sine per sample: the stand-in for
        // other applications should not cost more than the program it hosts.
        // Started exactly at the first frame, it stays within 1e-12 of
        // sample() over a cycle.
        const double step = 2.0 * std::numbers::pi * double(signal.frequency) / SimulatedAudioHardware::kSampleRate;
        const double turns = double(signal.frequency) * double(first) / SimulatedAudioHardware::kSampleRate;
        const double phase = 2.0 * std::numbers::pi * (turns - std::floor(turns));
        double sine = std::sin(phase);
        double cosine = std::cos(phase);
        const double stepSine = std::sin(step);
        const double stepCosine = std::cos(step);
        for (UInt32 i = 0; i < kFrames; ++i) {
            const float value = float(double(signal.amplitude) * sine);
            out[2 * i] = value;
            out[2 * i + 1] = value;
            const double nextSine = sine * stepCosine + cosine * stepSine;
            cosine = cosine * stepCosine - sine * stepSine;
            sine = nextSine;
        }
        return;
    }
    constexpr UInt32 kPatternPeriod = 100;
    const bool pattern = signal.kind == Signal::Kind::Pattern;
    for (UInt32 i = 0; i < kFrames; ++i) {
        const float left = pattern && i >= kPatternPeriod ? out[2 * (i - kPatternPeriod)]
                                                          : signal.sample(first + i, 0);
        out[2 * i] = left;
        out[2 * i + 1] = pattern ? -left : left;
    }
}

}

float SimulatedAudioHardware::Signal::sample(std::int64_t frame, int channel) const
{
    switch (kind) {
    case Kind::Silence:
        break;
    case Kind::Sine:
        return float(double(amplitude)
                     * std::sin(2.0 * std::numbers::pi * double(frequency) * double(frame) / kSampleRate));
    case Kind::Pattern: {
        const float left = float(double(amplitude) * double((frame % 100 + 100) % 100) / 100.0);
        return channel == 0 ? left : -left;
    }
    }
    return 0.0f;
}

// Hardware plays whether or not anything of ours is started: what the
// processes play reaches their devices between two calls of the main thread
// too, and so does a gap that a call leaves.
bool SimulatedAudioHardware::Model::clockWanted() const
{
    return !manualClock;
}

std::int64_t SimulatedAudioHardware::Model::cyclesWithin(std::chrono::microseconds duration) const
{
    // Rounded up: a process published "a moment" later is never published
    // at once.
    const std::int64_t thirds = duration.count() * 3'000;
    return (thirds + 31'999'999) / 32'000'000;
}

void SimulatedAudioHardware::Model::takeTime(std::chrono::microseconds duration)
{
    if (duration.count() <= 0)
        return;
    {
        const Lock lock(mutex);
        if (manualClock) {
            owedThirds += duration.count() * 3'000;
            for (; owedThirds >= 32'000'000; owedThirds -= 32'000'000)
                runCycle();
            return;
        }
    }
    std::this_thread::sleep_for(duration);
}

void SimulatedAudioHardware::setTimings(const Timings& timings)
{
    const Lock lock(m->mutex);
    m->timings = timings;
}

void SimulatedAudioHardware::Model::startClock()
{
    if (!manualClock && !clock.joinable())
        clock = std::thread([this] { runClock(); });
    wake.notify_all();
}

void SimulatedAudioHardware::Model::stopClock()
{
    {
        const Lock lock(mutex);
        quit = true;
    }
    wake.notify_all();
    if (clock.joinable())
        clock.join();
}

// The I/O thread: idle while nothing is started, otherwise one cycle per
// period on a steady schedule that starts afresh whenever the clock does.
void SimulatedAudioHardware::Model::runClock()
{
    // Named, so that measurements can tell the simulated hardware's own
    // work from the program's.
#if defined(__APPLE__)
    // macOS names the calling thread only.
    pthread_setname_np("sim-audio-io");
#else
    pthread_setname_np(pthread_self(), "sim-audio-io");
#endif
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex);
    while (!quit) {
        wake.wait(lock, [this] { return quit || clockWanted(); });
        const Clock::time_point start = Clock::now();
        std::int64_t next = 0;
        while (!quit && clockWanted()) {
            if (wake.wait_until(lock, start + cycleTime(next), [this] { return quit; }))
                break;
            const Clock::time_point woke = Clock::now();
            const std::int64_t due = cyclesSince(woke - start);
            for (int burst = 0; next <= due && burst < kMaxCatchUpCycles && clockWanted(); ++burst, ++next)
                runCycle();
            // An overloaded device drops cycles; this one also rests at
            // least as long as it worked, so that slow cycles (thousands
            // of processes, a sanitizer) never keep the main thread out.
            const Clock::time_point done = Clock::now();
            next = std::max(next, cyclesSince(done + (done - woke) - start) + 1);
        }
    }
}

void SimulatedAudioHardware::Model::runCycle()
{
    inCycle = true;
    const auto leave = qScopeGuard([this] { inCycle = false; });
    const std::int64_t first = cycles * kFrames;
    decideSilence();
    playProcesses(first);
    for (auto& [id, d] : devices) {
        if (d.aggregate && anyStarted(id))
            runAggregate(id, *d.aggregate, first);
    }
    for (auto& entry : devices) {
        if (!entry.second.ring.empty())
            entry.second.played += kFrames;
    }
    ++cycles;
}

// Taps hear their processes before this: a muted process is still
// captured, it is only no longer played.
void SimulatedAudioHardware::Model::decideSilence()
{
    for (auto& entry : taps)
        entry.second.read = false;
    for (const auto& entry : ioProcs) {
        const AggregateRecord* a = entry.second.started ? aggregate(entry.second.device) : nullptr;
        if (!a)
            continue;
        for (AudioObjectID id : a->taps) {
            if (const auto found = taps.find(id); found != taps.end())
                found->second.read = true;
        }
    }
    for (auto& entry : processes)
        entry.second.silenced = false;
    for (const auto& entry : taps) {
        const TapRecord& t = entry.second;
        const int behavior = t.description.muteBehavior;
        if (behavior != kTapMuted && !(behavior == kTapMutedWhenTapped && t.read))
            continue;
        for (AudioObjectID id : t.processes) {
            if (const auto found = processes.find(id); found != processes.end())
                found->second.silenced = true;
        }
    }
}

void SimulatedAudioHardware::Model::playProcesses(std::int64_t first)
{
    for (auto& entry : processes) {
        ProcessRecord& p = entry.second;
        if (p.signal.kind != Signal::Kind::Silence)
            render(p.signal, first, p.block.data());
    }
    for (auto& [id, d] : devices) {
        if (d.ring.empty())
            continue;
        d.play(nullptr);
        // A process plays on the device it was sent to while that is there,
        // else on the default.
        for (const auto& entry : processes) {
            const ProcessRecord& p = entry.second;
            const AudioObjectID on = device(p.outputDevice) ? p.outputDevice : defaultOutput;
            if (on == id && !p.silenced && p.signal.kind != Signal::Kind::Silence)
                d.play(p.block.data());
        }
    }
}

void SimulatedAudioHardware::Model::runAggregate(AudioObjectID id, AggregateRecord& a, std::int64_t first)
{
    DeviceRecord* master = device(a.master);
    if (!master)
        return;
    fillInput(a, *master, first);

    const std::uint64_t hostTime = std::uint64_t(double(first) * 1e9 / SimulatedAudioHardware::kSampleRate);
    const AudioTimeStamp stamp{double(first), hostTime, 1.0, 0, {},
                               kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid
                                   | kAudioTimeStampRateScalarValid, 0};
    for (auto& entry : ioProcs) {
        IOProcRecord& proc = entry.second;
        if (proc.device != id || !proc.started)
            continue;
        proc.output.reset();
        const AudioTimeStamp now = stamp, inputTime = stamp, outputTime = stamp;
        proc.block(&now, a.input.list(), &inputTime, proc.output.list(), &outputTime);
        if (master->ring.empty() || proc.heard[0].buffer < 0)
            continue;
        for (UInt32 i = 0; i < kFrames; ++i) {
            const std::size_t at = ringIndex(master->played + i);
            master->ring[at] += proc.output.at(proc.heard[0], i);
            master->ring[at + 1] += proc.output.at(proc.heard[1], i);
        }
    }
}

void SimulatedAudioHardware::Model::fillInput(AggregateRecord& a, const DeviceRecord& master, std::int64_t first)
{
    a.input.reset();
    for (std::size_t b = 0; b < a.masterInputBuffers; ++b) {
        const UInt32 channels = a.input.channels(b);
        float* samples = a.input.samples(b);
        for (UInt32 i = 0; i < kFrames; ++i) {
            const float value = master.inputSignal.sample(first + i, 0);
            std::fill_n(samples + std::size_t(i) * channels, channels, value);
        }
    }
    // Without the leave to record system audio a tap is still made, and
    // still mutes what it taps, but hears only silence, as on macOS.
    for (std::size_t t = 0; t < a.taps.size(); ++t) {
        const TapRecord* tapped = tap(a.taps[t]);
        if (!tapped || recording != RecordingPermission::Granted)
            continue;
        float* samples = a.input.samples(a.masterInputBuffers + t);
        for (AudioObjectID id : tapped->processes) {
            const ProcessRecord* p = process(id);
            if (!p || p->signal.kind == Signal::Kind::Silence)
                continue;
            const float* block = p->block.data();
            for (std::size_t j = 0; j < std::size_t(kFrames) * 2; ++j)
                samples[j] += block[j];
        }
    }
}

void SimulatedAudioHardware::setManualClock(bool manual)
{
    const Lock lock(m->mutex);
    m->manualClock = manual;
    if (!manual && !(m->devices.empty() && m->processes.empty()))
        m->startClock();
    m->wake.notify_all();
}

void SimulatedAudioHardware::runCycles(int cycles)
{
    // One lock per cycle, so a running clock thread interleaves rather than
    // waiting for the whole run.
    for (int i = 0; i < cycles; ++i) {
        const Lock lock(m->mutex);
        m->runCycle();
    }
}

std::int64_t SimulatedAudioHardware::cyclesRun() const
{
    const Lock lock(m->mutex);
    return m->cycles;
}

std::vector<float> SimulatedAudioHardware::recentOutput(AudioObjectID device, UInt32 frames) const
{
    const Lock lock(m->mutex);
    const DeviceRecord* d = m->device(device);
    if (!d || d->ring.empty())
        return {};
    const std::int64_t count = std::min({std::int64_t(frames), d->played, kRingFrames});
    std::vector<float> out;
    out.reserve(std::size_t(count) * 2);
    for (std::int64_t frame = d->played - count; frame < d->played; ++frame) {
        const std::size_t at = ringIndex(frame);
        out.push_back(d->ring[at]);
        out.push_back(d->ring[at + 1]);
    }
    return out;
}

float SimulatedAudioHardware::recentPeak(AudioObjectID device, UInt32 frames) const
{
    float peak = 0.0f;
    for (float sample : recentOutput(device, frames))
        peak = std::max(peak, std::abs(sample));
    return peak;
}

std::vector<float> SimulatedAudioHardware::playedSince(std::int64_t& position) const
{
    const Lock lock(m->mutex);
    const std::int64_t now = m->cycles * kFrames;
    const std::int64_t from = std::min(position, now);
    std::vector<float> out(std::size_t(now - from) * 2, 0.0f);
    for (const auto& entry : m->devices) {
        const DeviceRecord& d = entry.second;
        if (d.ring.empty())
            continue;
        // A device added later counts its frames from then.
        const std::int64_t offset = now - d.played;
        for (std::int64_t frame = std::max({from, now - kRingFrames, offset}); frame < now; ++frame) {
            const std::size_t at = ringIndex(frame - offset);
            const std::size_t to = std::size_t(frame - from) * 2;
            out[to] += d.ring[at];
            out[to + 1] += d.ring[at + 1];
        }
    }
    position = now;
    return out;
}
