// What the PipeWire backend's tests cannot see for themselves of the private
// session they stand on: it is the session's own and not the user's, and
// nothing of it outlives it. How it plays, routes and restarts, every sound
// test shows.

#include "pipewire_session.h"
#include "pw_dump.h"
#include "support/qt_printers.h"
#include "test_player_process.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>

namespace {


class PipeWireSessionTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.start()) << session.errorString().toStdString(); }

    // The player's stream once WirePlumber has linked both its channels to
    // the sink.
    std::optional<pwdump::Node> linkedStream(const QString& application, const QString& sinkName)
    {
        std::optional<pwdump::Node> found;
        const bool linked = session.waitUntil(
            [&](const QJsonArray& graph) {
                const auto streams = pwdump::nodesByApplication(graph, application);
                const auto sink = pwdump::nodeByName(graph, sinkName);
                if (streams.size() != 1 || !sink)
                    return false;
                found = streams.front();
                return pwdump::countLinks(graph, found->id, sink->id) == 2;
            },
            10000);
        if (!linked) {
            ADD_FAILURE() << application.toStdString() << " not linked to " << sinkName.toStdString() << "\n"
                          << session.logs().toStdString();
            return std::nullopt;
        }
        return found;
    }

    PipeWireSession session;
};

TEST_F(PipeWireSessionTest, StartsWithBothSinksAndSpeakersAsDefaultInItsOwnDirectories)
{
    const QJsonArray dump = session.pwDump();
    for (const QString& name : {QStringLiteral("speakers"), QStringLiteral("headphones")}) {
        const auto sink = pwdump::nodeByName(dump, name);
        ASSERT_TRUE(sink) << name.toStdString();
        EXPECT_EQ(sink->prop(QStringLiteral("media.class")), QStringLiteral("Audio/Sink"));
        EXPECT_EQ(pwdump::countPorts(dump, sink->id, QStringLiteral("input")), 2);
    }
    EXPECT_EQ(session.metadataValue(0, QStringLiteral("default.audio.sink")),
              QStringLiteral(R"({"name":"speakers"})"));

    struct stat runtime {};
    ASSERT_EQ(::stat(QFile::encodeName(session.runtimeDir()).constData(), &runtime), 0);
    EXPECT_EQ(runtime.st_mode & 0777, 0700u);
    // A pulse client lands on this session's socket, not the user's.
    QByteArray info;
    ASSERT_TRUE(session.run(QStringLiteral("pactl"), {QStringLiteral("info")}, &info));
    EXPECT_TRUE(info.contains(("Server String: " + session.pulseSocket()).toUtf8())) << info.toStdString();

    // So does a client that takes this process's own environment.
    session.applyToThisProcess();
    QByteArray inherited;
    QString error;
    ASSERT_TRUE(runTool(QStringLiteral("pw-dump"), {}, QProcessEnvironment::systemEnvironment(), 5000, &inherited, &error))
        << error.toStdString();
    EXPECT_TRUE(inherited.contains(R"("node.name": "headphones")"));
}

TEST_F(PipeWireSessionTest, StopLeavesNoProcessOrGroupBehind)
{
    TestPlayer player(session);
    ASSERT_TRUE(player.start({.name = QStringLiteral("Left Playing")}));
    ASSERT_TRUE(linkedStream(QStringLiteral("Left Playing"), QStringLiteral("speakers")));
    const std::vector<qint64> pids = session.pids();
    ASSERT_EQ(pids.size(), 4u);

    session.stop();
    EXPECT_TRUE(session.pids().empty());
    for (const qint64 pid : pids) {
        const int process = ::kill(static_cast<pid_t>(pid), 0);
        const int why = errno;
        EXPECT_TRUE(process == -1 && why == ESRCH) << pid;
        EXPECT_EQ(::kill(static_cast<pid_t>(-pid), 0), -1) << "group " << pid;
    }
    // A client that loses its server ends by itself.
    EXPECT_TRUE(player.waitForExit(5000));
}

} // namespace
