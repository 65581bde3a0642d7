#include "test_player_process.h"

#include "event_pump.h"
#include "pipewire_session.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>

QString TestPlayer::executablePath()
{
    return QStringLiteral(RAVLET_TEST_PLAYER_PATH);
}

bool TestPlayer::start(const PlayerOptions& options)
{
    static QAtomicInt counter;
    QString program = executablePath();
    if (!options.executableName.isEmpty()) {
        // A copy, not a symlink: PipeWire and libpulse name the process by
        // /proc/self/exe, which resolves symlinks to ravlet-test-player.
        const QString copy = session_.rootDir() + QStringLiteral("/bin/") + options.executableName;
        if (!QFile::exists(copy) && !QFile::copy(program, copy))
            return false;
        program = copy;
    }
    QStringList arguments = {QStringLiteral("--api"), options.api,
                             QStringLiteral("--freq"), QString::number(options.frequency, 'g', 17),
                             QStringLiteral("--amp"), QString::number(options.amplitude, 'g', 17),
                             QStringLiteral("--channels"), QString::number(options.channels)};
    if (!options.name.isEmpty())
        arguments << QStringLiteral("--name") << options.name;
    if (options.rightFrequency > 0)
        arguments << QStringLiteral("--freq-right") << QString::number(options.rightFrequency, 'g', 17);
    if (!options.target.isEmpty())
        arguments << QStringLiteral("--target") << options.target;
    if (options.seconds > 0)
        arguments << QStringLiteral("--seconds") << QString::number(options.seconds, 'g', 17);
    if (options.restartAfter > 0)
        arguments << QStringLiteral("--restart-after") << QString::number(options.restartAfter, 'g', 17);
    if (options.claimedPid > 0)
        arguments << QStringLiteral("--claim-pid") << QString::number(options.claimedPid);
    if (!options.claimedBinary.isEmpty())
        arguments << QStringLiteral("--claim-binary") << options.claimedBinary;
    if (!options.claimedMixer.isEmpty())
        arguments << QStringLiteral("--claim-mixer") << options.claimedMixer;
    const QString log = session_.rootDir() + QStringLiteral("/logs/player-%1.log").arg(counter.fetchAndAddRelaxed(1));
    return process_.start(program, arguments, session_.environment(), log);
}

bool moveSinkInput(const PipeWireSession& session, quint32 index, const QString& sink,
                   const std::function<bool()>& landed, int timeoutMs)
{
    static QAtomicInt counter;
    ChildProcess mixer;
    const QString log = session.rootDir() + QStringLiteral("/logs/mixer-%1.log").arg(counter.fetchAndAddRelaxed(1));
    if (!mixer.start(TestPlayer::executablePath(),
                     {QStringLiteral("--move-sink-input"), QString::number(index), QStringLiteral("--target"), sink},
                     session.environment(), log))
        return false;
    bool done = false;
    pumpUntil([&] { return (done = landed()) || !mixer.isRunning(); }, timeoutMs);
    mixer.stop();
    return done;
}
