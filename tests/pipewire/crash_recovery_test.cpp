// What a run that ends without quitting leaves behind: the user's streams
// must be back on their devices at once, and the journal that says where
// they belong must be one nobody else can have written or redirected.

#include "backend_fixture.h"
#include "crash_guardian.h"
#include "runtime_folder.h"
#include "stream_journal.h"
#include "support/files.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The guardians running for the session: the program run as the guardian
// of a journal in the session's runtime folder.
QList<qint64> guardiansOf(const PipeWireSession& session)
{
    QList<qint64> found;
    const QByteArray folder = QFile::encodeName(session.runtimeDir()) + '/';
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QList<QByteArray> arguments = readFile(QStringLiteral("/proc/%1/cmdline").arg(entry)).split('\0');
        if (arguments.size() > 2 && arguments[1] == CrashGuardian::kArgument && arguments[2].startsWith(folder))
            found.append(entry.toLongLong());
    }
    return found;
}

// Whatever stands at the journal's path, only a regular file of ours with
// one name, in a folder of ours, is read; a write replaces what stands
// there, never writing through it.
TEST(StreamJournal, OnlyARegularFileOfOursInAPrivateFolderIsReadAndNothingIsWrittenThroughALink)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("ravlet"));
    const QString path = folder + QStringLiteral("/moved-streams.json");
    const QByteArray at = QFile::encodeName(path);
    const QString victim = writeFile(dir.filePath(QStringLiteral("victim")), "precious");
    ASSERT_TRUE(stream_journal::write(path, "[1]"));
    EXPECT_TRUE(runtime_folder::isPrivate(folder));
    EXPECT_EQ(stream_journal::read(path), QByteArray("[1]"));

    const std::vector<std::pair<const char*, std::function<void()>>> planted{
        {"a symlink", [&] { EXPECT_TRUE(QFile::link(victim, path)); }},
        {"a hard link", [&] { EXPECT_EQ(::link(QFile::encodeName(victim).constData(), at.constData()), 0); }},
        {"a FIFO, without blocking", [&] { EXPECT_EQ(::mkfifo(at.constData(), 0600), 0); }},
        {"another user's file", [&] { EXPECT_EQ(::chown(writeFile(path, "[]").toLocal8Bit().constData(), 65534, 65534), 0); }},
    };
    for (const auto& [what, plant] : planted) {
        if (QByteArray(what).startsWith("another") && ::geteuid() != 0)
            continue;
        QFile::remove(path);
        plant();
        EXPECT_EQ(stream_journal::read(path), std::nullopt) << what;
        ASSERT_TRUE(stream_journal::write(path, "[2]")) << what;
        EXPECT_EQ(readFile(victim), "precious") << what;
        struct stat info {};
        EXPECT_TRUE(::lstat(at.constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1
                    && info.st_uid == ::geteuid())
            << what;
    }
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    EXPECT_EQ(stream_journal::read(path), std::nullopt) << "a folder open to others";
    EXPECT_FALSE(stream_journal::write(path, "[3]"));

    // Without a private runtime folder (su, sudo -u, a session without
    // logind) there is none: not in the shared temporary folder, where
    // another user may have made ours first.
    const QString shared = dir.filePath(QStringLiteral("tmp"));
    writeFile(shared + QStringLiteral("/ravlet-%1/ravlet/moved-streams.json").arg(::geteuid()), "[]");
    ::chmod(QFile::encodeName(shared + QStringLiteral("/ravlet-%1").arg(::geteuid())).constData(), 0777);
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray temporary = qgetenv("TMPDIR");
    qputenv("XDG_RUNTIME_DIR", shared.toUtf8());
    qputenv("TMPDIR", shared.toUtf8());
    EXPECT_EQ(stream_journal::defaultPath(), QString());
    qputenv("XDG_RUNTIME_DIR", runtime);
    temporary.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", temporary);
}

// One run holds the journal at a time, and its guardian shares the hold; a
// later start waits for them, a guardian started by hand beside them does
// nothing.
TEST(StreamJournal, OneRunAndItsGuardianHoldTheJournal)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ravlet/moved-streams.json"));
    const int run = stream_journal::claim(path, 0);
    ASSERT_GE(run, 0);
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(stream_journal::claim(path, 200), -1);
    EXPECT_GE(waited.elapsed(), 200);
    const int inherited = ::dup(run);
    EXPECT_TRUE(stream_journal::holdsClaim(inherited, path));
    const int other = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(), O_RDWR | O_CLOEXEC);
    EXPECT_FALSE(stream_journal::holdsClaim(other, path));
    ::close(run);
    ::close(inherited);
    EXPECT_TRUE(stream_journal::holdsClaim(other, path)) << "once the run and its guardian are gone";
    ::close(other);
}

// The program itself, killed outright while it holds an application the
// user had sent to the headphones, through either API: its guardian puts
// the user's own target back, and the application is on the headphones
// again within a second. Killed with its guardian, the next start does.
TEST_F(PipeWireBackendTest, KilledItsGuardianPutsARoutedApplicationBackOnItsDeviceWithinASecond)
{
    const QString settings = session->configDir() + QStringLiteral("/ravlet/defaults.json");
    writeFile(settings, R"({"ravlet.mutes": {"client:chat": true}})");
    QProcessEnvironment environment = session->environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const auto start = [&](ChildProcess& ravlet, const QString& log) {
        return ravlet.start(QStringLiteral(RAVLET_PROGRAM), {}, environment, session->rootDir() + QLatin1Char('/') + log);
    };
    // A watcher that is no mixer, so the program is the only one.
    PipeWireConnection watcher(nullptr, PipeWireConnection::Role::Restorer);
    ASSERT_TRUE(watcher.isConnected());
    const uint32_t headphones = watcher.graph().nodeNamed(QStringLiteral("headphones"))->id;
    const auto linked = [&](uint32_t stream) {
        const auto& links = watcher.graph().links;
        return std::any_of(links.begin(), links.end(), [&](const pw_graph::Link& link) {
            return link.outputNode == stream && link.inputNode == headphones;
        });
    };
    const auto chatOn = [](const std::vector<float>& s) { return std::abs(amplitude(s, kChatHz) - kAmplitude) < 0.005; };

    QList<qint64> recoveries;
    for (int kill = 0; kill < 4; ++kill) {
        const bool pulse = kill % 2 == 1;
        play(QStringLiteral("chat"), kChatHz, pulse ? QStringLiteral("pulse") : QStringLiteral("pipewire"));
        ASSERT_TRUE(pumpUntil([&] { return nodeOf(QStringLiteral("chat")) != 0; }, 5000));
        const quint32 chat = nodeOf(QStringLiteral("chat"));
        ASSERT_TRUE(pumpUntil([&] { return watcher.graph().nodes.value(chat).described; }, 5000));
        // The user's move: the key desktop mixers write, or a PulseAudio
        // client's move.
        QString sinkInput;
        ASSERT_TRUE(!pulse || pumpUntil([&] {
            QByteArray listed;
            session->run(QStringLiteral("pactl"), {QStringLiteral("-f"), QStringLiteral("json"), QStringLiteral("list"),
                                                   QStringLiteral("sink-inputs")}, &listed);
            for (const QJsonValue& input : QJsonDocument::fromJson(listed).array()) {
                if (input[QStringLiteral("properties")][QStringLiteral("application.name")] == QStringLiteral("chat"))
                    sinkInput = QString::number(input[QStringLiteral("index")].toInteger());
            }
            return !sinkInput.isEmpty();
        }, 5000));
        // Written again if the session manager missed it: the daemon drops
        // metadata events to a client while another binds the metadata.
        // The stream may already be on the headphones, put there by the
        // session manager's memory of an earlier move, before the move's own
        // key reaches the metadata.
        const auto moved = [&] {
            return linked(chat) && session->metadataValue(chat, QStringLiteral("target.object")).has_value();
        };
        ASSERT_TRUE(pumpUntil([&] {
            if (pulse)
                return moveSinkInput(*session, sinkInput.toUInt(), QStringLiteral("headphones"), moved, 1000);
            session->run(QStringLiteral("pw-metadata"),
                         {QString::number(chat), QStringLiteral("target.object"), QStringLiteral("headphones")});
            return pumpUntil(moved, 1000);
        }, 6000));
        const std::optional<QString> chosen = session->metadataValue(chat, QStringLiteral("target.object"));

        ChildProcess ravlet;
        ASSERT_TRUE(start(ravlet, QStringLiteral("ravlet-%1.log").arg(kill)));
        ASSERT_TRUE(soundsLike([](const auto& s) { return energyDb(s, 0, kChatHz) < -90.0; }, 10000,
                               QStringLiteral("headphones")))
            << ravlet.log().toStdString();
        const QList<qint64> guardians = guardiansOf(*session);
        ASSERT_EQ(guardians.size(), 1);
        EXPECT_FALSE(std::any_of(watcher.graph().clients.begin(), watcher.graph().clients.end(),
                                 [&](const pw_graph::Client& client) { return client.securePid == guardians.first(); }))
            << "asleep, the guardian is no client of the audio server";
        if (kill == 0) {
            ChildProcess again;
            ASSERT_TRUE(start(again, QStringLiteral("again.log")));
            EXPECT_TRUE(again.waitForExit(10000));
            EXPECT_EQ(guardiansOf(*session), guardians) << "a second start, which only opens the first, has none";
        }

        const bool guarded = kill < 3;
        for (const qint64 guardian : guarded ? QList<qint64>{} : guardians)
            ::kill(pid_t(guardian), SIGKILL);
        ::kill(pid_t(ravlet.pid()), SIGKILL);
        QElapsedTimer sinceKill;
        sinceKill.start();
        ChildProcess next;
        if (guarded) {
            ASSERT_TRUE(pumpUntil([&] { return linked(chat); }, 5000)) << "back on the headphones";
            recoveries.append(sinceKill.elapsed());
        } else {
            // Heard meanwhile on the default device; the next start, which
            // taps nothing, puts it back.
            EXPECT_TRUE(soundsLike(chatOn, 5000));
            writeFile(settings, "{}");
            ASSERT_TRUE(start(next, QStringLiteral("next.log")));
            ASSERT_TRUE(pumpUntil([&] { return linked(chat); }, 10000)) << "back on the headphones";
        }
        EXPECT_TRUE(soundsLike(chatOn, 3000, QStringLiteral("headphones")));
        EXPECT_EQ(session->metadataValue(chat, QStringLiteral("target.object")), chosen) << "the user's own target";
        EXPECT_TRUE(pumpUntil([&] { return guardiansOf(*session).size() == (guarded ? 0 : 1); }, 5000))
            << "its work done, it ends";
        ravlet.stop();
        if (!guarded) {
            // and a new player of the application goes where the user sent it.
            players.clear();
            play(QStringLiteral("chat"), kChatHz, QStringLiteral("pulse"));
            EXPECT_TRUE(soundsLike(chatOn, 5000, QStringLiteral("headphones"))) << next.log().toStdString();
        }
        // The user moves it back, so that the session manager forgets the
        // headphones for the next test's player of the same name.
        for (const QString& key : {QStringLiteral("target.object"), QStringLiteral("target.node")})
            session->run(QStringLiteral("pw-metadata"),
                         {QStringLiteral("-d"), QString::number(nodeOf(QStringLiteral("chat"))), key});
        players.clear();
    }
    std::printf("on the headphones again, ms after each kill:");
    for (const qint64 ms : recoveries) {
        std::printf(" %lld", static_cast<long long>(ms));
        EXPECT_LT(ms, 1000);
    }
    std::printf("\n");

    // After a quit there is nothing left to put back: the guardian ends too.
    ChildProcess quitting;
    ASSERT_TRUE(start(quitting, QStringLiteral("quit.log")));
    ASSERT_TRUE(pumpUntil([&] { return guardiansOf(*session).size() == 1; }, 10000));
    EXPECT_TRUE(quitting.stop());
    EXPECT_TRUE(pumpUntil([&] { return guardiansOf(*session).isEmpty(); }, 1000));

    // The session manager remembers nothing of the runs' private sinks.
    pumpFor(1500);
    // Neither a target nor a volume: WirePlumber's state, as 0.4 and 0.5 name it.
    for (const char* file : {"restore-stream", "stream-properties"})
        EXPECT_FALSE(readFile(session->stateDir() + QStringLiteral("/wireplumber/") + QLatin1String(file)).contains("ravlet-hold"))
            << file;
}

} // namespace
