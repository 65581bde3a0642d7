// Ravlet as a black box on a real PipeWire daemon, for minutes: the program
// itself runs on a private session and is driven only through its command
// line, while players come and go through both audio APIs and both sinks'
// monitors are recorded and fitted. Each round
//   - starts a new player of a muted application (PipeWire and PulseAudio
//     in turn): no 5 ms window of its tone may reach either sink;
//   - taps or untaps another application (a rebuild): an application
//     Ravlet never touches must play on without a gap;
//   - restarts a player of an application at 50 %, sets it back to 100 %
//     and checks that it is heard whole, then to 50 % again;
//   - sends an application at 50 % to the headphones, or back to the
//     default, and checks that it is heard there alone, at its volume,
//     while an application that plays on the headphones by itself plays on
//     without a gap too;
//   - counts Ravlet's open descriptors.
// Last, a stream the user sent to the headphones is tapped and Ravlet is
// killed: the time until it plays on the headphones again is measured.
// Prints the figures; exits 1 when a leak, a gap, a silent restart, a
// growing descriptor count or a slow recovery was seen.
//
// Usage: ravlet-soak [--minutes M] [--log FILE] [--verbose] [--allow-start-leaks]
//        ravlet-soak --baseline N
// (default 3; FILE keeps Ravlet's own log of the run; --verbose says when in
// each round a muted start was heard; --allow-start-leaks counts them but
// does not fail on them: on a busy machine the session manager now and then
// links a muted application's new stream before Ravlet takes it, a race
// still open, and CI's runs are there to catch everything else). With
// --baseline, N rounds' worth of both recordings with the untouched players
// alone and no Ravlet: the gaps the machine and the daemons make by
// themselves, which the rounds' gaps are to be read against.

#include "child_process.h"
#include "event_pump.h"
#include "monitor_recorder.h"
#include "pipewire_session.h"
#include "pw_dump.h"
#include "signal_fit.h"
#include "test_player_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <future>
#include <list>
#include <tuple>

namespace {

constexpr double kSteadyHz = 300.0;   // untouched, on the speakers
// The muted tone sits high and between two that no one plays: a step in
// another player's sound (a click) spreads a level that falls off with the
// distance from that player's tone, so near 4 kHz both neighbours get as much
// of a click as the muted tone's own frequency, while near the players' tones
// the nearer neighbour would not.
constexpr double kMutedHz = 4000.0;   // muted: must never be heard
constexpr double kBelowMutedHz = 3400.0;
constexpr double kAboveMutedHz = 4600.0;
constexpr double kHalfHz = 500.0;     // at 50 %, restarted every round
constexpr double kChatHz = 700.0;     // tapped and untapped in turn
constexpr double kRoutedHz = 800.0;   // sent to the headphones by the user
constexpr double kAwayHz = 350.0;     // untouched, on the headphones
constexpr double kRoamHz = 600.0;     // at 50 %, sent from one device to the other
constexpr double kAmplitude = 0.2;
constexpr double kLeakDb = -60.0;
constexpr double kToneOverClickDb = 10.0;
constexpr int kRoundMs = 2500;
// How far apart two devices' recordings may see the same lost cycle, and how
// far a 10 ms window may reach past it: a cycle of the longest quantum.
constexpr double kGraphSlackMs = 1024 * 1000.0 / 48000;
constexpr int kRate = 48000;

struct Figures {
    int rounds = 0;
    int mutedStarts = 0;
    int leakyStarts = 0;
    int clickWindows = 0;
    double leakedMs = 0;
    int rebuilds = 0;
    int gaps = 0;
    double gapMs = 0;
    int lostCycles = 0;
    int restarts = 0;
    int silentRestarts = 0;
    int moves = 0;
    int misroutedMoves = 0;
    int fdFirst = -1;
    int fdLast = -1;
    qint64 recoveryMs = -1;
};

int openDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

// A monitor's recording and the CLOCK_MONOTONIC time of its first frame.
struct Recorded {
    std::vector<float> samples;
    qint64 startedNs = 0;
};

// Where a recording is digital silence, every channel, for 256 frames (5 ms)
// or more: [begin, end) in ms from its first frame. A player's own sound
// never is, nor is a fall of one stream under the others.
std::vector<std::pair<double, double>> silentSpans(const std::vector<float>& samples)
{
    constexpr std::size_t kMinFrames = 256;
    std::vector<std::pair<double, double>> spans;
    std::size_t runStart = 0;
    const std::size_t frames = samples.size() / 2;
    for (std::size_t frame = 0; frame <= frames; ++frame) {
        const bool silent = frame < frames && samples[2 * frame] == 0.0f && samples[2 * frame + 1] == 0.0f;
        if (silent)
            continue;
        if (frame - runStart >= kMinFrames)
            spans.emplace_back(runStart * 1000.0 / kRate, frame * 1000.0 / kRate);
        runStart = frame + 1;
    }
    return spans;
}

// The amplitude of each frequency in consecutive windows of one channel.
std::vector<std::vector<double>> windowed(const std::vector<float>& samples, int windowMs,
                                         const std::vector<double>& frequencies)
{
    const std::size_t frames = samples.size() / 2;
    const std::size_t window = std::size_t(kRate) * std::size_t(windowMs) / 1000;
    std::vector<std::vector<double>> result;
    for (std::size_t start = 0; start + window <= frames; start += window) {
        const std::span<const float> part(samples.data() + 2 * start, 2 * window);
        std::vector<double> amplitudes(frequencies.size(), 0.0);
        for (int channel = 0; channel < 2; ++channel) {
            const SineFit fit = fitAmplitudes(part, channel, frequencies);
            for (std::size_t f = 0; f < frequencies.size(); ++f)
                amplitudes[f] = std::max(amplitudes[f], fit.valid ? fit.amplitudes[f] : 1.0);
        }
        result.push_back(amplitudes);
    }
    return result;
}

// Each device's recording is fitted with the tones that can play there, its
// untouched player's first and the muted one and its neighbours last. A fit
// with tones close together that are not there (the two untouched ones,
// 50 Hz apart) is ill-conditioned and turns a click into a fall of the
// untouched tone.
const std::vector<double> kOnSpeakers = {kSteadyHz, kHalfHz, kChatHz, kRoamHz, kMutedHz, kBelowMutedHz, kAboveMutedHz};
const std::vector<double> kOnHeadphones = {kAwayHz, kRoamHz, kMutedHz, kBelowMutedHz, kAboveMutedHz};

// Where the untouched player, the first of the tones, falls under half in
// 10 ms windows, outside the spans excused (cycles the whole graph lost):
// the ms at which each gap starts, and their length together.
struct Gaps {
    QStringList startsAt;
    int ms = 0;
};

Gaps gapsOf(const std::vector<float>& recording, const std::vector<double>& tones,
            const std::vector<std::pair<double, double>>& excused = {})
{
    Gaps gaps;
    bool inGap = false;
    int at = 0;
    for (const auto& window : windowed(recording, 10, tones)) {
        const bool lost = std::any_of(excused.begin(), excused.end(), [&](const auto& span) {
            return span.first < at + 10 + kGraphSlackMs && at < span.second + kGraphSlackMs;
        });
        const bool gap = window[0] < 0.5 * kAmplitude && !lost;
        if (gap) {
            gaps.ms += 10;
            if (!inGap)
                gaps.startsAt.append(QString::number(at));
        }
        inGap = gap;
        at += 10;
    }
    return gaps;
}

class Soak {
public:
    Soak(PipeWireSession& session, bool verbose) : m_session(session), m_verbose(verbose) {}

    bool startRavlet()
    {
        QProcessEnvironment environment = m_session.environment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QString settings = m_session.configDir() + QStringLiteral("/ravlet/defaults.json");
        QDir().mkpath(QFileInfo(settings).path());
        QFile file(settings);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(R"({"ravlet.mutes": {"client:muted": true}, "ravlet.gains": {"client:half": 0.5, "client:roam": 0.5}})");
        file.close();
        m_environment = environment;
        return m_ravlet.start(QStringLiteral(RAVLET_PROGRAM), {}, environment,
                              m_session.rootDir() + QStringLiteral("/ravlet.log"));
    }

    bool command(const QStringList& arguments)
    {
        QString error;
        return runTool(QStringLiteral(RAVLET_PROGRAM), arguments, m_environment, 5000, nullptr, &error);
    }

    TestPlayer& play(const QString& name, double frequency, const QString& api, const QString& target = {})
    {
        m_players.emplace_back(m_session);
        PlayerOptions options;
        options.api = api;
        options.name = name;
        options.executableName = name;
        options.frequency = frequency;
        options.amplitude = kAmplitude;
        options.target = target;
        m_players.back().start(options);
        return m_players.back();
    }

    void stop(TestPlayer* player)
    {
        m_players.remove_if([&](TestPlayer& p) { return &p == player; });
    }

    // Both monitors at once, pumping this thread's events meanwhile.
    std::pair<Recorded, Recorded> recordBoth(int milliseconds, const std::function<void()>& during)
    {
        const auto record = [&](const QString& sink) {
            Recorded recorded;
            recorded.samples = recordMonitor(m_session, sink, milliseconds, nullptr, &recorded.startedNs);
            return recorded;
        };
        auto speakers = std::async(std::launch::async, record, QStringLiteral("speakers"));
        auto headphones = std::async(std::launch::async, record, QStringLiteral("headphones"));
        during();
        return {speakers.get(), headphones.get()};
    }

    void round(Figures& figures)
    {
        const int n = figures.rounds++;
        const QString api = n % 2 == 0 ? QStringLiteral("pipewire") : QStringLiteral("pulse");
        TestPlayer* muted = nullptr;
        const auto [speakersRecorded, headphonesRecorded] = recordBoth(kRoundMs, [&] {
            pumpFor(300);
            muted = &play(QStringLiteral("muted"), kMutedHz, api);
            ++figures.mutedStarts;
            pumpFor(700);
            // A rebuild: chat tapped or untapped.
            command({QStringLiteral("set"), QStringLiteral("chat"), n % 2 == 0 ? QStringLiteral("60") : QStringLiteral("100")});
            ++figures.rebuilds;
            pumpFor(300);
            // Another device's mix made or dropped.
            command({QStringLiteral("route"), QStringLiteral("roam"),
                     n % 2 == 0 ? QStringLiteral("headphones") : QStringLiteral("default")});
            ++figures.moves;
            pumpFor(kRoundMs - 1300);
        });
        stop(muted);
        const std::vector<float>& speakers = speakersRecorded.samples;
        const std::vector<float>& headphones = headphonesRecorded.samples;

        const auto tonesOf = [&](const std::vector<float>* recording) { return recording == &speakers ? kOnSpeakers : kOnHeadphones; };
        // The muted tone counts as heard where it stands out of what a click
        // spreads over its neighbours.
        double leaked = 0;
        QStringList at;
        for (const auto* recording : {&speakers, &headphones}) {
            const std::vector<double> tones = tonesOf(recording);
            const std::size_t m = tones.size() - 3;
            int ms = 0;
            for (const auto& window : windowed(*recording, 5, tones)) {
                const double muted = amplitudeDb(window[m]);
                const double quiet = amplitudeDb(std::max(window[m + 1], window[m + 2]));
                if (muted > kLeakDb && muted > quiet + kToneOverClickDb) {
                    leaked += 5;
                    at.append(QString::number(ms));
                } else if (muted > kLeakDb) {
                    ++figures.clickWindows;
                }
                ms += 5;
            }
        }
        if (leaked > 0) {
            ++figures.leakyStarts;
            if (m_verbose)
                std::fprintf(stderr, "round %d (%s): the muted start heard at %s ms\n", n, qPrintable(api),
                             qPrintable(at.join(QLatin1Char(' '))));
        }
        figures.leakedMs += leaked;
        // The steady players' levels in 10 ms windows: any below half is a gap.
        // A cycle in which both devices played digital silence at once is one
        // the whole graph lost: some node, anywhere, was late (on a busy
        // machine, a player or the PulseAudio server), and every stream on
        // both devices missed it. Such cycles are counted apart; what Ravlet
        // must never do is silence an application it leaves alone while the
        // rest of its device plays on.
        const auto lostByGraph = [&](const Recorded& here, const Recorded& there) {
            const double shiftMs = (here.startedNs - there.startedNs) / 1e6;
            const auto elsewhere = silentSpans(there.samples);
            std::vector<std::pair<double, double>> lost;
            for (const auto& [begin, end] : silentSpans(here.samples)) {
                for (const auto& [otherBegin, otherEnd] : elsewhere) {
                    if (begin + shiftMs < otherEnd + kGraphSlackMs && otherBegin < end + shiftMs + kGraphSlackMs)
                        lost.emplace_back(begin, end);
                }
            }
            return lost;
        };
        const auto speakersLost = lostByGraph(speakersRecorded, headphonesRecorded);
        figures.lostCycles += int(speakersLost.size());
        for (const auto& [recording, lost, where] :
             {std::tuple{&speakers, speakersLost, "speakers"},
              std::tuple{&headphones, lostByGraph(headphonesRecorded, speakersRecorded), "headphones"}}) {
            const Gaps gaps = gapsOf(*recording, tonesOf(recording), lost);
            figures.gaps += int(gaps.startsAt.size());
            figures.gapMs += gaps.ms;
            if (m_verbose && !gaps.startsAt.isEmpty())
                std::fprintf(stderr, "round %d (%s): the untouched player on the %s fell silent at %s ms\n", n,
                             qPrintable(api), where, qPrintable(gaps.startsAt.join(QLatin1Char(' '))));
        }
        // The roaming application, in the round's last 400 ms: at its volume
        // on the device it was sent to, and not heard on the other.
        const auto tail = [&](const std::vector<float>& recording) {
            const std::size_t frames = std::size_t(kRate) * 400 / 1000;
            const std::size_t start = recording.size() / 2 > frames ? recording.size() / 2 - frames : 0;
            const std::span<const float> part(recording.data() + 2 * start, recording.size() - 2 * start);
            return fitAmplitudes(part, 0, {kRoamHz}).amplitudes.front();
        };
        const bool toHeadphones = n % 2 == 0;
        const double there = tail(toHeadphones ? headphones : speakers);
        const double elsewhere = tail(toHeadphones ? speakers : headphones);
        if (std::abs(there - 0.5 * kAmplitude) > 0.05 * kAmplitude || amplitudeDb(elsewhere) > kLeakDb) {
            ++figures.misroutedMoves;
            if (m_verbose)
                std::fprintf(stderr, "round %d: sent to the %s, heard there at %.4f and elsewhere at %.1f dBFS\n", n,
                             toHeadphones ? "headphones" : "speakers", there, amplitudeDb(elsewhere));
        }

        // The half-volume application restarts, then is set back to 100 %.
        stop(m_half);
        m_half = &play(QStringLiteral("half"), kHalfHz, n % 2 == 0 ? QStringLiteral("pulse") : QStringLiteral("pipewire"));
        pumpFor(400);
        command({QStringLiteral("set"), QStringLiteral("half"), QStringLiteral("100")});
        ++figures.restarts;
        const std::optional<double> level = waitForSteadyTone(m_session, QStringLiteral("speakers"), kHalfHz, 3000);
        if (!level || std::abs(*level - kAmplitude) > 0.02 * kAmplitude)
            ++figures.silentRestarts;
        command({QStringLiteral("set"), QStringLiteral("half"), QStringLiteral("50")});

        const int fds = openDescriptors(m_ravlet.pid());
        if (figures.fdFirst < 0)
            figures.fdFirst = fds;
        figures.fdLast = fds;
    }

    // A stream the user sent to the headphones, tapped, then Ravlet killed.
    void killWhileRouted(Figures& figures)
    {
        play(QStringLiteral("routed"), kRoutedHz, QStringLiteral("pulse"), QStringLiteral("headphones"));
        if (!waitForSteadyTone(m_session, QStringLiteral("headphones"), kRoutedHz, 5000))
            return;
        command({QStringLiteral("mute"), QStringLiteral("routed")});
        pumpUntil([&] {
            return amplitudeDb(fitAmplitudes(recordMonitor(m_session, QStringLiteral("headphones"), 100), 0, {kRoutedHz})
                                   .amplitudes.front()) < kLeakDb;
        }, 5000);
        ::kill(pid_t(m_ravlet.pid()), SIGKILL);
        QElapsedTimer since;
        since.start();
        if (pumpUntil([&] {
                const auto samples = recordMonitor(m_session, QStringLiteral("headphones"), 50);
                return std::abs(fitAmplitudes(samples, 0, {kRoutedHz}).amplitudes.front() - kAmplitude) < 0.01;
            }, 5000))
            figures.recoveryMs = since.elapsed();
        m_ravlet.stop();
    }

    void begin()
    {
        play(QStringLiteral("steady"), kSteadyHz, QStringLiteral("pipewire"));
        play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
        play(QStringLiteral("away"), kAwayHz, QStringLiteral("pipewire"), QStringLiteral("headphones"));
        play(QStringLiteral("roam"), kRoamHz, QStringLiteral("pulse"));
        m_half = &play(QStringLiteral("half"), kHalfHz, QStringLiteral("pipewire"));
    }

    QString log() const { return m_ravlet.log(); }

    // Gaps of the untouched players with nothing of Ravlet's running.
    void baseline(int rounds)
    {
        int gaps = 0;
        for (int n = 0; n < rounds; ++n) {
            const auto [speakers, headphones] = recordBoth(kRoundMs, [] { pumpFor(kRoundMs); });
            for (const auto& [recording, tones, where] : {std::tuple{&speakers.samples, kOnSpeakers, "speakers"},
                                                         std::tuple{&headphones.samples, kOnHeadphones, "headphones"}}) {
                const QStringList at = gapsOf(*recording, tones).startsAt;
                gaps += int(at.size());
                if (m_verbose && !at.isEmpty())
                    std::fprintf(stderr, "recording %d: the player on the %s fell silent at %s ms\n", n, where,
                                 qPrintable(at.join(QLatin1Char(' '))));
            }
        }
        std::printf("without Ravlet: %d recordings of %d ms on both devices, gaps in the untouched players: %d\n",
                    rounds, kRoundMs, gaps);
    }

private:
    PipeWireSession& m_session;
    bool m_verbose = false;
    QProcessEnvironment m_environment;
    ChildProcess m_ravlet;
    std::list<TestPlayer> m_players;
    TestPlayer* m_half = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    double minutes = 3;
    const QStringList arguments = app.arguments();
    const qsizetype at = arguments.indexOf(QStringLiteral("--minutes"));
    if (at > 0 && at + 1 < arguments.size())
        minutes = arguments[at + 1].toDouble();
    const qsizetype logAt = arguments.indexOf(QStringLiteral("--log"));
    const QString logFile = logAt > 0 && logAt + 1 < arguments.size() ? arguments[logAt + 1] : QString();
    const bool allowStartLeaks = arguments.contains(QStringLiteral("--allow-start-leaks"));
    const qsizetype baselineAt = arguments.indexOf(QStringLiteral("--baseline"));
    const int baselineRounds = baselineAt > 0 && baselineAt + 1 < arguments.size() ? arguments[baselineAt + 1].toInt() : 0;
    if (!(minutes > 0) || (logAt > 0 && logFile.isEmpty()) || (baselineAt > 0 && baselineRounds <= 0)) {
        std::fprintf(stderr, "usage: ravlet-soak [--minutes M] [--log FILE] [--verbose] [--allow-start-leaks]\n"
                             "       ravlet-soak --baseline N [--verbose]\n");
        return 2;
    }

    PipeWireSession session;
    if (!session.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(session.errorString()));
        return 1;
    }
    Soak soak(session, arguments.contains(QStringLiteral("--verbose")));
    soak.begin();
    if (baselineRounds > 0) {
        pumpFor(1000);
        soak.baseline(baselineRounds);
        return 0;
    }
    if (!soak.startRavlet()) {
        std::fprintf(stderr, "Ravlet did not start\n");
        return 1;
    }
    // Settled: the muted application is known and the half one mixed.
    pumpFor(3000);

    Figures figures;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < qint64(minutes * 60000))
        soak.round(figures);
    soak.killWhileRouted(figures);
    if (!logFile.isEmpty()) {
        QFile file(logFile);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(soak.log().toUtf8()) < 0)
            std::fprintf(stderr, "could not write %s\n", qPrintable(logFile));
    }

    std::printf("rounds: %d in %.1f min\n", figures.rounds, clock.elapsed() / 60000.0);
    std::printf("muted application's starts: %d, of which heard: %d (%.0f ms of 5 ms windows above %.0f dBFS)\n",
                figures.mutedStarts, figures.leakyStarts, figures.leakedMs, kLeakDb);
    std::printf("rebuilds: %d; gaps in the untouched applications on either device: %d (%.0f ms)\n", figures.rebuilds,
                figures.gaps, figures.gapMs);
    std::printf("cycles the whole graph lost (both devices silent at once): %d\n", figures.lostCycles);
    std::printf("moves of an application at 50 %% between the devices: %d, of which not heard right: %d\n",
                figures.moves, figures.misroutedMoves);
    std::printf("restarted players set back to 100 %%: %d, of which not heard whole: %d\n", figures.restarts,
                figures.silentRestarts);
    std::printf("Ravlet's open descriptors: %d after the first round, %d after the last\n", figures.fdFirst,
                figures.fdLast);
    std::printf("killed while holding a stream the user sent to the headphones: back there after %lld ms\n",
                static_cast<long long>(figures.recoveryMs));
    // A lost cycle now and then is the machine's; one in most rounds would be a
    // fault of the rounds' own doing.
    const bool good = (figures.leakyStarts == 0 || allowStartLeaks) && figures.gaps == 0
                   && figures.lostCycles <= figures.rounds / 4 && figures.silentRestarts == 0
                   && figures.misroutedMoves == 0
                   && figures.fdLast <= figures.fdFirst + 2 && figures.recoveryMs >= 0 && figures.recoveryMs <= 1000;
    std::printf(good ? "passed\n" : "FAILED\n");
    return good ? 0 : 1;
}
