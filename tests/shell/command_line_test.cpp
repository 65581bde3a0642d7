// The command line and the channel between starts: parsing, matching,
// escaping, and requests answered by a mixer on the simulated scene.

#include "command_line.h"
#include "control_commands.h"
#include "display_platform.h"
#include "instance_channel.h"
#include "runtime_folder.h"
#include "support/simulated_scene.h"
#include "support/wait_until.h"

#include "output_recording.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

cli::Invocation parse(QStringList args)
{
    args.prepend(QStringLiteral("ravlet"));
    return cli::parseArguments(args, QStringLiteral("1.2.3"));
}

} // namespace

TEST(DisplayPlatform, AWaylandSessionRunsThePopoverThroughXWaylandUnlessTheUserChose)
{
    const struct {
        const char* session;
        const char* waylandDisplay;
        const char* display;
        const char* chosen;
        const char* expected;
    } cases[] = {
        {"wayland", "wayland-0", ":0", "", "xcb"},
        {"", "wayland-0", ":0", "", "xcb"},
        {"wayland", "", ":1", "", "xcb"},
        {"wayland", "wayland-0", "", "", ""},       // no XWayland
        {"wayland", "wayland-0", ":0", "wayland", ""},
        {"x11", "", ":0", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.session) + "/" + c.waylandDisplay + "/" + c.display + "/" + c.chosen);
        QProcessEnvironment environment;
        for (const auto& [name, value] : {std::pair{"XDG_SESSION_TYPE", c.session}, {"WAYLAND_DISPLAY", c.waylandDisplay},
                                          {"DISPLAY", c.display}, {"QT_QPA_PLATFORM", c.chosen}})
            if (*value)
                environment.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        EXPECT_EQ(preferredPlatform(environment), QByteArray(c.expected));
    }
}

TEST(CommandLine, ArgumentsBecomeRequestsAndAVolumeIsANumberFrom0To150)
{
    EXPECT_EQ(parse({}).kind, cli::Invocation::Kind::Mixer);
    EXPECT_TRUE(parse({QStringLiteral("--demo")}).demo);
    EXPECT_EQ(parse({QStringLiteral("--demo"), QStringLiteral("--record-output"), QStringLiteral("/tmp/x.wav")})
                  .recordOutput,
              QStringLiteral("/tmp/x.wav"));
    EXPECT_EQ(parse({QStringLiteral("--version")}).text, QStringLiteral("ravlet 1.2.3\n"));
    EXPECT_TRUE(parse({QStringLiteral("--help")}).text.contains(QStringLiteral("toggle-mute ID|NAME")));

    const cli::Invocation set = parse({QStringLiteral("set"), QStringLiteral("Music"), QStringLiteral("50")});
    EXPECT_EQ(set.kind, cli::Invocation::Kind::Control);
    EXPECT_EQ(set.request, (QJsonObject{{"command", "set"}, {"target", "Music"}, {"percent", "50"}}));
    EXPECT_EQ(parse({QStringLiteral("route"), QStringLiteral("Music"), QStringLiteral("50")}).request,
              (QJsonObject{{"command", "route"}, {"target", "Music"}, {"device", "50"}}))
        << "a device, whatever it is called";

    for (const QStringList& wrong : {QStringList{"set", "Music"}, QStringList{"set", "Music", "loud"},
                                     QStringList{"mute"}, QStringList{"list", "x"}, QStringList{"volume"},
                                     QStringList{"--frobnicate"}, QStringList{"limiter"}, QStringList{"limiter", "ON"},
                                     QStringList{"route", "Music"}, QStringList{"--record-output", "x.wav"},
                                     QStringList{"--demo", "--record-output", ""}})
        EXPECT_EQ(parse(wrong).kind, cli::Invocation::Kind::UsageError) << wrong.join(' ').toStdString();

    EXPECT_EQ(cli::parsePercent(QStringLiteral("0")), 0.0);
    EXPECT_EQ(cli::parsePercent(QStringLiteral("150")), 150.0);
    EXPECT_EQ(cli::parsePercent(QStringLiteral("42.5%")), 42.5);
    for (const char* wrong : {"-1", "150.1", "", "%", "nan", "inf", "1e3", "50,5", "0x10", "fifty"})
        EXPECT_FALSE(cli::parsePercent(QString::fromLatin1(wrong))) << wrong;
}

TEST(CommandLine, FieldsStayInTheirColumnAndAnIdOrAUniqueNameMatches)
{
    EXPECT_EQ(cli::escapeField(QStringLiteral("Voice Notes")), QStringLiteral("Voice Notes"));
    EXPECT_EQ(cli::escapeField(QStringLiteral("a\tb\nc\\d\re")), QStringLiteral("a\\tb\\nc\\\\d\\re"));
    EXPECT_EQ(cli::escapeField(QString::fromUtf8("\x1b[31m\x7f\u0085\u2028Ä")),
              QStringLiteral("\\x1b[31m\\x7f\\x85\\u2028") + QString::fromUtf8("Ä"));

    const QList<cli::Candidate> apps{{"/A/Music.app", "Music"},
                                     {"/B/Chat.app", "Chat"},
                                     {"/C/Chat.app", "chat"},
                                     {"", "Nameless"}};
    EXPECT_EQ(cli::match(apps, QStringLiteral("/B/Chat.app"), QStringLiteral("application")).index, 1);
    EXPECT_EQ(cli::match(apps, QStringLiteral("MUSIC"), QStringLiteral("application")).index, 0);
    const cli::Match ambiguous = cli::match(apps, QStringLiteral("Chat"), QStringLiteral("application"));
    EXPECT_FALSE(ambiguous.index);
    EXPECT_TRUE(ambiguous.error.contains(QStringLiteral("/C/Chat.app")));
    EXPECT_FALSE(cli::match(apps, QStringLiteral("/a/music.app"), QStringLiteral("application")).index);
    // A candidate without a key is not picked by an empty query.
    EXPECT_FALSE(cli::match(apps, QString(), QStringLiteral("application")).index);
}

class ControlCommandsTest : public testing::Test {
protected:
    ControlCommandsTest()
    {
        scene.addApp(QStringLiteral("Music"), 101);
        scene.addApp(QStringLiteral("Chat"), 102);
        headphones = scene.addOutputDevice(QStringLiteral("USB Headphones"), QStringLiteral("usb-uid"));
        engine = scene.makeEngine();
        commands = std::make_unique<ControlCommands>(*engine, scene.hardware, [this] { ++opened; });
    }

    QJsonObject send(QJsonObject request) { return commands->handle(request); }
    static bool ok(const QJsonObject& answer) { return answer.value("ok").toBool(); }
    // The answer's text, empty for a refusal: what the command line prints.
    QString said(QJsonObject request)
    {
        const QJsonObject answer = send(request);
        return ok(answer) ? answer.value("text").toString() : QString();
    }
    QString list() { return said({{"command", "list"}}); }

    SimulatedScene scene;
    AudioObjectID headphones = kAudioObjectUnknown;
    std::unique_ptr<RavletEngine> engine;
    std::unique_ptr<ControlCommands> commands;
    int opened = 0;
    const QString music = QStringLiteral("/Applications/Music.app");
};

TEST_F(ControlCommandsTest, ChangesGoThroughTheEngineAndAreSaved)
{
    EXPECT_TRUE(ok(send({{"command", "set"}, {"target", "music"}, {"percent", "50"}})));
    EXPECT_EQ(engine->gains().value(music), 0.5f);

    EXPECT_EQ(said({{"command", "toggle-mute"}, {"target", music}}), "Music: muted\n");
    EXPECT_TRUE(engine->mutes().value(music));
    EXPECT_EQ(said({{"command", "toggle-mute"}, {"target", "MUSIC"}}), "Music: unmuted\n");
    EXPECT_FALSE(engine->mutes().value(music));
    EXPECT_EQ(said({{"command", "mute"}, {"target", "Chat"}}), "Chat: muted\n");
    EXPECT_TRUE(scene.defaults.value(QStringLiteral("ravlet.mutes")).toMap().value("/Applications/Chat.app").toBool());

    const QString listed = "/Applications/Chat.app\tChat\t100\tmuted\trunning\tshown\tdefault\t0\n"
                           "/Applications/Music.app\tMusic\t50\tunmuted\trunning\tshown\tdefault\t50\n";
    EXPECT_EQ(list(), listed);

    // One hidden from the popover is listed, marked, and can be set.
    engine->setHidden(music, true);
    EXPECT_EQ(list(), QString(listed).replace("running\tshown\tdefault\t50", "running\thidden\tdefault\t50"));
    EXPECT_EQ(said({{"command", "set"}, {"target", "Music"}, {"percent", "60"}}), "Music: 60 %\n");
    EXPECT_EQ(engine->gains().value(music), 0.6f);
    EXPECT_TRUE(ok(send({{"command", "set"}, {"target", "Music"}, {"percent", "50"}})));
    engine->setHidden(music, false);

    // An output is named by its name or its UID; the answer names the device.
    EXPECT_EQ(said({{"command", "output"}, {"target", "usb headphones"}}), "output: USB Headphones\n");
    EXPECT_EQ(engine->currentOutputID(), headphones);
    EXPECT_EQ(said({{"command", "output"}, {"target", "speakers-uid"}}), "output: Speakers\n");
    EXPECT_EQ(engine->currentOutputID(), scene.speakers);

    EXPECT_TRUE(ok(send({{"command", "open"}})));
    EXPECT_EQ(opened, 1);

    // A remembered application that is not playing can be set; where
    // nothing can be mixed, nothing is listed as running, and it says why.
    EXPECT_TRUE(ok(send({{"command", "unmute"}, {"target", "Chat"}})));
    scene.removeProcess(102);
    engine->refresh();
    EXPECT_TRUE(ok(send({{"command", "set"}, {"target", "Chat"}, {"percent", "40"}})));
    scene.hardware.setProcessTapsSupported(false);
    engine->refresh();
    const QJsonObject stopped = send({{"command", "list"}});
    EXPECT_EQ(stopped.value("text").toString(),
              QStringLiteral("/Applications/Chat.app\tChat\t40\tunmuted\tstopped\tshown\tdefault\t40\n"
                             "/Applications/Music.app\tMusic\t50\tunmuted\tstopped\tshown\tdefault\t50\n"));
    EXPECT_EQ(stopped.value("warning").toString(), engine->unsupportedText());
}

// Each application on a device of its own: named by the device's name or
// UID, or back on the default; listed as the last field, the default also
// while the chosen device is unplugged.
TEST_F(ControlCommandsTest, RouteSendsAnApplicationToADeviceAndListShowsIt)
{
    scene.addOutputDevice(QStringLiteral("Desk\tLeft"), QStringLiteral("desk-uid"));
    engine->refresh();
    EXPECT_EQ(said({{"command", "route"}, {"target", "music"}, {"device", "usb headphones"}}),
              "Music: plays on USB Headphones\n");
    EXPECT_EQ(engine->outputChoices().value(music), QStringLiteral("usb-uid"));
    EXPECT_TRUE(ok(send({{"command", "route"}, {"target", "Chat"}, {"device", "desk-uid"}})));
    EXPECT_EQ(list(),
              QStringLiteral("/Applications/Chat.app\tChat\t100\tunmuted\trunning\tshown\tDesk\\tLeft\t100\n"
                             "/Applications/Music.app\tMusic\t100\tunmuted\trunning\tshown\tUSB Headphones\t100\n"));

    EXPECT_EQ(said({{"command", "route"}, {"target", "Chat"}, {"device", "default"}}), "Chat: plays on the default output\n");
    EXPECT_FALSE(engine->outputChoices().contains(QStringLiteral("/Applications/Chat.app")));

    scene.hardware.removeDevice(headphones);
    engine->refresh();
    EXPECT_TRUE(list().contains("Music\t100\tunmuted\trunning\tshown\tdefault\t100\n"));
    EXPECT_EQ(engine->outputChoices().value(music), QStringLiteral("usb-uid")) << "the choice waits for the device";
}

TEST_F(ControlCommandsTest, RefusedRequestsChangeNothing)
{
    // A device without a UID cannot be remembered as a choice.
    scene.hardware.addDevice({QStringLiteral("Nameless"), QString(), {2}, {}, {}, false});
    engine->refresh();
    const auto gains = engine->gains();
    const auto mutes = engine->mutes();
    const auto output = engine->currentOutputID();
    for (const QJsonObject& request : {
             QJsonObject{{"command", "set"}, {"target", "Music"}, {"percent", "151"}},
             QJsonObject{{"command", "set"}, {"target", "Music"}, {"percent", 50}},   // not a string
             QJsonObject{{"command", "set"}, {"target", "Music"}}, QJsonObject{{"command", "mute"}, {"target", "Radio"}},
             QJsonObject{{"command", "mute"}}, QJsonObject{{"command", "output"}, {"target", "HDMI"}},
             QJsonObject{{"command", "limiter"}, {"target", "yes"}}, QJsonObject{{"command", "erase"}}, QJsonObject{},
             QJsonObject{{"command", "route"}, {"target", "Music"}, {"device", "HDMI"}},
             QJsonObject{{"command", "route"}, {"target", "Music"}, {"device", "Nameless"}},
             QJsonObject{{"command", "route"}, {"target", "Radio"}, {"device", "default"}},
             QJsonObject{{"command", "route"}, {"target", "Music"}}}) {
        const QJsonObject answer = send(request);
        EXPECT_FALSE(ok(answer)) << QJsonDocument(request).toJson().toStdString();
        EXPECT_FALSE(answer.value("text").toString().isEmpty());
    }
    EXPECT_EQ(engine->gains(), gains);
    EXPECT_EQ(engine->mutes(), mutes);
    EXPECT_EQ(engine->currentOutputID(), output);
    EXPECT_FALSE(engine->preventClipping());
    EXPECT_TRUE(engine->outputChoices().isEmpty());
}

class InstanceChannelTest : public testing::Test {
protected:
    InstanceChannelTest() { ::chmod(QFile::encodeName(dir.path()).constData(), 0700); }

    // Sends raw bytes and returns the answer line; the server answers from this event loop.
    QJsonObject raw(const QByteArray& bytes)
    {
        QLocalSocket socket;
        socket.connectToServer(instance::socketPath(dir.path()));
        socket.write(bytes);
        QByteArray answer;
        waitUntil([&] {
            if (socket.isOpen())
                answer += socket.readAll();
            return answer.contains('\n') || socket.state() == QLocalSocket::UnconnectedState;
        }, 3000);
        return QJsonDocument::fromJson(answer).object();
    }

    QTemporaryDir dir;
    instance::Server server{[](const QJsonObject& request) {
        return instance::answer(true, request.value("command").toString());
    }};
};

TEST_F(InstanceChannelTest, OneServerAStaleSocketReplaced)
{
    // A socket file left by a crash: bound, then its owner gone without removing it.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(instance::socketPath(dir.path())).constData(),
                 sizeof address.sun_path);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    EXPECT_EQ(server.claim(dir.path()), instance::Server::Claim::Listening);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(instance::socketPath(dir.path())).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);

    instance::Server second{[](const QJsonObject&) { return instance::answer(false, {}); }};
    EXPECT_EQ(second.claim(dir.path()), instance::Server::Claim::OtherRunning);
    EXPECT_EQ(raw("{\"command\":\"list\"}\n").value("text").toString(), QStringLiteral("list"));
}

TEST_F(InstanceChannelTest, BadRequestsAreAnsweredAndTheServerLivesOn)
{
    ASSERT_EQ(server.claim(dir.path()), instance::Server::Claim::Listening);
    EXPECT_EQ(raw("not json\n").value("text").toString(), QStringLiteral("malformed request"));
    EXPECT_EQ(raw("[1,2]\n").value("text").toString(), QStringLiteral("malformed request"));
    EXPECT_EQ(raw(QByteArray(instance::kMaxRequestBytes + 10, 'x')).value("text").toString(),
              QStringLiteral("request too long"));
    // One byte past the limit before its line break, though what fits is a request.
    QByteArray padded = "{\"command\":\"open\"}";
    padded += QByteArray(instance::kMaxRequestBytes + 1 - padded.size(), ' ') + '\n';
    EXPECT_EQ(raw(padded).value("text").toString(), QStringLiteral("request too long"));
    EXPECT_EQ(raw("{\"command\":\"open\"}\n{\"command\":\"x\"}\n").value("text").toString(), QStringLiteral("open"));
}

// A crowd of idle clients, then no descriptor left for an accept: the
// command line is answered again once they are gone, and a second start
// never takes over the folder meanwhile.
TEST_F(InstanceChannelTest, ACrowdIsCappedAndTheServerListensAgainAfterAnAcceptError)
{
    ASSERT_EQ(server.claim(dir.path()), instance::Server::Claim::Listening);
    const QByteArray path = QFile::encodeName(instance::socketPath(dir.path()));
    const auto connectRaw = [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    };
    std::vector<int> crowd;
    for (int i = 0; i < 40; ++i)
        crowd.push_back(connectRaw());
    const auto stillOpen = [&] {
        return std::count_if(crowd.begin(), crowd.end(), [](int fd) {
            char byte;
            return fd >= 0 && ::recv(fd, &byte, 1, MSG_PEEK) < 0 && errno == EAGAIN;
        });
    };
    EXPECT_TRUE(waitUntil([&] { return stillOpen() == instance::kMaxConnections; }, 3000)) << stillOpen();
    for (int fd : crowd)
        ::close(fd);
    EXPECT_TRUE(waitUntil([&] { return raw("{\"command\":\"list\"}\n").value("text") == QStringLiteral("list"); }, 3000));

    // Every descriptor below a lowered limit taken, the last by a client.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = rlim_t(::dup(0) + 32);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;)
        filler.push_back(fd);
    ::close(filler.back());
    filler.back() = connectRaw();
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(QFile::decodeName(path)); }, 3000)) << "no accept failed";
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    instance::Server second{[](const QJsonObject&) { return instance::answer(false, {}); }};
    EXPECT_EQ(second.claim(dir.path()), instance::Server::Claim::Unreachable);
    EXPECT_TRUE(waitUntil([&] { return QFile::exists(QFile::decodeName(path)); }, 3000));
    EXPECT_EQ(raw("{\"command\":\"list\"}\n").value("text").toString(), QStringLiteral("list"));
}

TEST_F(InstanceChannelTest, OnlyAPrivateFolderOfTheUsersOwnIsUsed)
{
    const QByteArray path = QFile::encodeName(dir.path());
    EXPECT_TRUE(runtime_folder::isPrivate(dir.path()));
    ::chmod(path.constData(), 0770);
    EXPECT_FALSE(runtime_folder::isPrivate(dir.path()));
    ::chmod(path.constData(), 0700);
    const QString link = dir.filePath(QStringLiteral("link"));
    QFile::link(dir.path(), link);
    EXPECT_FALSE(runtime_folder::isPrivate(link));
    EXPECT_FALSE(runtime_folder::isPrivate(QStringLiteral("/")));   // open to others
}

// What --record-output writes: a float WAV at the device's rate holding
// what the devices played, a valid file at every moment, and a clear
// refusal for a path that cannot be written.
TEST(OutputRecording, WritesWhatTheDevicesPlayAsAFloatWav)
{
    SimulatedAudioHardware hardware;
    hardware.setTimings(SimulatedAudioHardware::kInstant);
    const AudioObjectID speakers = hardware.addDevice({QStringLiteral("Speakers"), QStringLiteral("spk"), {2}, {}, {}});
    const AudioObjectID headphones = hardware.addDevice({QStringLiteral("Phones"), QStringLiteral("hp"), {2}, {}, {}});
    hardware.setDefaultOutputDevice(speakers);
    hardware.addProcess(10);
    hardware.setProcessSignal(10, SimulatedAudioHardware::Signal::sine(1000.0f, 0.25f));
    hardware.addProcess(11);
    hardware.setProcessSignal(11, SimulatedAudioHardware::Signal::sine(1000.0f, 0.25f));
    hardware.setProcessOutputDevice(hardware.processObject(11), headphones);

    const QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.wav"));
    QString error;
    EXPECT_EQ(OutputRecording::start(hardware, dir.filePath(QStringLiteral("no/such/dir.wav")), &error), nullptr);
    EXPECT_FALSE(error.isEmpty());
    auto recording = OutputRecording::start(hardware, path, &error);
    ASSERT_NE(recording, nullptr) << error.toStdString();
    QThread::msleep(300);
    recording.reset();

    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_GT(bytes.size(), 58);
    const auto u16 = [&](int at) { return qFromLittleEndian<quint16>(bytes.constData() + at); };
    const auto u32 = [&](int at) { return qFromLittleEndian<quint32>(bytes.constData() + at); };
    EXPECT_EQ(bytes.left(4), "RIFF");
    EXPECT_EQ(u32(4), quint32(bytes.size() - 8));
    EXPECT_EQ(bytes.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(u16(20), 3) << "IEEE float";
    EXPECT_EQ(u16(22), 2);
    EXPECT_EQ(u32(24), 48000u);
    EXPECT_EQ(u16(34), 32);
    EXPECT_EQ(bytes.mid(50, 4), "data");
    const quint32 data = u32(54);
    EXPECT_EQ(data, quint32(bytes.size() - 58));
    EXPECT_EQ(u32(46), data / 8) << "frames";
    EXPECT_GE(data / 8, 48000u / 10) << "about 300 ms recorded";
    std::vector<float> stereo(data / 4);
    for (std::size_t i = 0; i < stereo.size(); ++i)
        stereo[i] = qFromLittleEndian<float>(bytes.constData() + 58 + 4 * i);
    float peak = 0.0f;
    for (const float sample : stereo)
        peak = std::max(peak, std::fabs(sample));
    EXPECT_NEAR(peak, 0.5f, 0.01f) << "both devices, summed";
}
