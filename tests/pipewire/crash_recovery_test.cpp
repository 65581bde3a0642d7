// What a run that ends without quitting leaves behind: the user's streams
// must be back on their devices at once, and the journal that says where
// they belong must be one nobody else can have written or redirected.

#include "backend_fixture.h"
#include "guardian_processes.h"
#include "runtime_folder.h"
#include "stream_journal.h"

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

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool regularFile(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// Whatever stands at the journal's path, only a regular file of ours with
// one name is read, and a write replaces what stands there without writing
// through it.
TEST(StreamJournal, OnlyARegularFileOfOursInAPrivateFolderIsReadAndNothingIsWrittenThroughALink)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("ravlet"));
    const QString path = folder + QStringLiteral("/moved-streams.json");
    const QString victim = dir.filePath(QStringLiteral("victim"));
    const auto plant = [&](const std::function<void()>& make) {
        QFile::remove(path);
        make();
    };
    ASSERT_TRUE(stream_journal::write(path, "[1]"));
    EXPECT_TRUE(runtime_folder::isPrivate(folder)) << "made private";
    EXPECT_EQ(stream_journal::read(path), QByteArray("[1]"));

    QFile file(victim);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("precious");
    file.close();
    plant([&] { QFile::link(victim, path); });
    EXPECT_EQ(stream_journal::read(path), std::nullopt) << "a symlink";
    ASSERT_TRUE(stream_journal::write(path, "[2]"));
    EXPECT_EQ(contents(victim), "precious");
    EXPECT_TRUE(regularFile(path));

    plant([&] { ::link(QFile::encodeName(victim).constData(), QFile::encodeName(path).constData()); });
    EXPECT_EQ(stream_journal::read(path), std::nullopt) << "a hard link";
    ASSERT_TRUE(stream_journal::write(path, "[3]"));
    EXPECT_EQ(contents(victim), "precious");

    plant([&] { ::mkfifo(QFile::encodeName(path).constData(), 0600); });
    EXPECT_EQ(stream_journal::read(path), std::nullopt) << "a FIFO, without blocking";
    plant([&] { stream_journal::write(path, QByteArray(stream_journal::kMaxBytes + 1, ' ')); });
    EXPECT_EQ(stream_journal::read(path), std::nullopt) << "too large";

    stream_journal::write(path, "[4]");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        EXPECT_EQ(stream_journal::read(path), std::nullopt) << "another user's file";
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 0, 0), 0);
    }
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    EXPECT_EQ(stream_journal::read(path), std::nullopt) << "a folder open to others";
    EXPECT_FALSE(stream_journal::write(path, "[5]"));
    EXPECT_EQ(contents(path), "[4]");
}

// Without a private runtime folder (su, sudo -u, a session without logind)
// the journal is not kept in the shared temporary folder, where another
// user could make the folder first and plant or forge one.
TEST(StreamJournal, WithoutAPrivateRuntimeFolderThereIsNone)
{
    QTemporaryDir shared;
    ::chmod(QFile::encodeName(shared.path()).constData(), 01777);
    const QString planted = shared.filePath(QStringLiteral("ravlet-%1").arg(::geteuid()));
    ASSERT_TRUE(QDir().mkpath(planted + QStringLiteral("/ravlet")));
    ::chmod(QFile::encodeName(planted).constData(), 0777);
    QFile forged(planted + QStringLiteral("/ravlet/moved-streams.json"));
    ASSERT_TRUE(forged.open(QIODevice::WriteOnly));
    forged.write(R"([{"sink":"speakers","serial":1,"previous":{"type":"","value":"elsewhere"}}])");
    forged.close();

    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray temporary = qgetenv("TMPDIR");
    qputenv("XDG_RUNTIME_DIR", shared.path().toUtf8());
    qputenv("TMPDIR", shared.path().toUtf8());
    EXPECT_EQ(stream_journal::defaultPath(), QString());
    EXPECT_EQ(stream_journal::read(forged.fileName()), std::nullopt);
    qputenv("XDG_RUNTIME_DIR", runtime);
    temporary.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", temporary);
}

// One run holds the journal at a time; its guardian shares the hold, and
// a second start waits for it, then goes without.
TEST(StreamJournal, OneRunHoldsTheJournalAndItsGuardianSharesTheHold)
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
    EXPECT_FALSE(stream_journal::holdsClaim(other, path)) << "a guardian started by hand beside a running one";
    ::close(run);
    ::close(inherited);
    EXPECT_TRUE(stream_journal::holdsClaim(other, path)) << "once the run and its guardian are gone";
    ::close(other);
}

// The program itself, killed outright while it holds an application the
// user had sent to the headphones, through either API: its guardian puts
// the user's own target back, and the application is on the headphones
// again within a second.
TEST_F(PipeWireBackendTest, KilledItsGuardianPutsARoutedApplicationBackOnItsDeviceWithinASecond)
{
    const QString settings = session->configDir() + QStringLiteral("/ravlet/defaults.json");
    QDir().mkpath(QFileInfo(settings).path());
    {
        QFile file(settings);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(R"({"ravlet.mutes": {"client:chat": true}})");
    }
    QProcessEnvironment environment = session->environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
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
        QString error;
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
        ASSERT_TRUE(pulse ? session->run(QStringLiteral("pactl"),
                                         {QStringLiteral("move-sink-input"), sinkInput, QStringLiteral("headphones")},
                                         nullptr, &error)
                          : session->run(QStringLiteral("pw-metadata"),
                                         {QString::number(chat), QStringLiteral("target.object"), QStringLiteral("headphones")},
                                         nullptr, &error))
            << error.toStdString();
        ASSERT_TRUE(pumpUntil([&] { return linked(chat); }, 5000))
            << "target " << session->metadataValue(chat, QStringLiteral("target.object")).value_or("none").toStdString()
            << "\n" << session->logs().toStdString();
        const std::optional<QString> chosen = session->metadataValue(chat, QStringLiteral("target.object"));

        ChildProcess ravlet;
        ASSERT_TRUE(ravlet.start(QStringLiteral(RAVLET_PROGRAM), {}, environment,
                                 session->rootDir() + QStringLiteral("/ravlet-%1.log").arg(kill)));
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
            ASSERT_TRUE(again.start(QStringLiteral(RAVLET_PROGRAM), {}, environment,
                                    session->rootDir() + QStringLiteral("/again.log")));
            EXPECT_TRUE(again.waitForExit(10000));
            EXPECT_EQ(guardiansOf(*session), guardians) << "a second start, which only opens the first, has none";
        }

        ::kill(pid_t(ravlet.pid()), SIGKILL);
        QElapsedTimer sinceKill;
        sinceKill.start();
        ASSERT_TRUE(pumpUntil([&] { return linked(chat); }, 5000)) << "back on the headphones";
        recoveries.append(sinceKill.elapsed());
        EXPECT_TRUE(soundsLike(chatOn, 3000, QStringLiteral("headphones")));
        EXPECT_EQ(session->metadataValue(chat, QStringLiteral("target.object")), chosen) << "the user's own target";
        EXPECT_TRUE(pumpUntil([&] { return guardiansOf(*session).isEmpty(); }, 5000)) << "its work done, it ends";
        ravlet.stop();
        // The user moves it back, so that the session manager forgets the
        // headphones for the next test's player of the same name.
        for (const QString& key : {QStringLiteral("target.object"), QStringLiteral("target.node")})
            session->run(QStringLiteral("pw-metadata"), {QStringLiteral("-d"), QString::number(chat), key});
        players.clear();
    }
    QStringList shown;
    for (const qint64 ms : recoveries)
        shown.append(QString::number(ms));
    std::printf("on the headphones again, ms after each kill: %s\n", qPrintable(shown.join(QStringLiteral(" "))));
    for (const qint64 ms : recoveries)
        EXPECT_LT(ms, 1000);

    // After a quit there is nothing left to put back: the guardian ends too.
    ChildProcess quitting;
    ASSERT_TRUE(quitting.start(QStringLiteral(RAVLET_PROGRAM), {}, environment, session->rootDir() + QStringLiteral("/quit.log")));
    ASSERT_TRUE(pumpUntil([&] { return guardiansOf(*session).size() == 1; }, 10000));
    EXPECT_TRUE(quitting.stop());
    EXPECT_TRUE(pumpUntil([&] { return guardiansOf(*session).isEmpty(); }, 1000));

    // The session manager remembers nothing of the runs' private sinks.
    pumpFor(1500);
    EXPECT_FALSE(contents(session->stateDir() + QStringLiteral("/wireplumber/restore-stream")).contains("ravlet-hold"));
}

} // namespace
