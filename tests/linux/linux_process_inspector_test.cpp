// Which installed application a Linux process belongs to, on a stand-in /proc
// tree and applications folder written in the real formats.

#include "linux_process_inspector.h"
#include "support/files.h"
#include "unit_names.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>

#include <unistd.h>

// Failure messages find it by argument-dependent lookup: not in the namespace below.
void PrintTo(const AppIdentity& identity, std::ostream* out)
{
    *out << '{' << identity.id.toStdString() << ", " << identity.name.toStdString() << ", "
         << identity.iconPath.value_or("(no icon)").toStdString() << '}';
}

namespace {

using Pid = ProcessInspector::Pid;

const QString kSession = "/user.slice/user-1000.slice/session-2.scope";
const QString kAppSlice = "/user.slice/user-1000.slice/user@1000.service/app.slice/";

struct Process {
    Pid parent;
    quint64 start;
    QString exe;
    QString argv;   // split on spaces
    QString cgroup = kSession;
    QString flatpakInfo = {};   // the sandbox's /.flatpak-info, when it has one
    QString comm = {};          // the kernel's name for it, when not its file's
};

const AppIdentity kPlayer{"org.example.Player.desktop", "Spieler", "org.example.Player"};
const AppIdentity kChat{"chat.desktop", "Chat", "/opt/chat/chat.png"};

// One desktop with its applications, terminal, launchers, sandboxes and
// units; every row below asks about one process in it.
class LinuxIdentityTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        entry("org.example.Player", "Name=Player\nName[de]=Spieler\nIcon=org.example.Player\nExec=env GDK_BACKEND=x11 player %U\n");
        entry("chat", "Name=Chat\nIcon=/opt/chat/chat.png\nExec=/opt/chat/chat\n");
        entry("org.example.Term", "Name=Term\nExec=term\nCategories=System;TerminalEmulator;\n");
        entry("launcher", "Name=Launcher\nExec=/usr/bin/python3 /usr/bin/rofi\n");
        entry("menu", "Name=Menu\nExec=rofi -show drun\nTryExec=/usr/lib/menu/menu-daemon\n");
        entry("systemd", "Name=Service Manager\nExec=systemd\n");   // an entry does not make it an application
        entry("org.example.Radio-Beta", "Name=Radio Beta\nExec=radio-beta\n");
        add(1, {0, 1, "/usr/lib/systemd/systemd", "/sbin/init"});
        add(900, {1, 10, "/usr/lib/systemd/systemd", "/lib/systemd/systemd --user"});
        add(100, {900, 2000, "/usr/bin/player", "player song.ogg"});
        add(200, {900, 2000, "/opt/chat/chat", "/opt/chat/chat"});
        add(201, {200, 2000, "/usr/lib/chat/voice-helper", "voice-helper"});   // forked within the same tick
        add(203, {200, 2003, "/usr/lib/chat/engine", "engine --voice", kSession, {}, "grabación-de-v"});
        add(204, {200, 2004, "/usr/bin/xterm", "xterm"});
        add(202, {201, 2002, "/usr/lib/chat/voice-helper", "voice-helper"});
        add(300, {900, 3000, "/usr/bin/term", "term"});
        add(301, {300, 3001, "/usr/bin/bash", "bash"});
        add(302, {301, 3002, "/usr/bin/paplay", "paplay bell.wav"});
        add(303, {300, 3003, "/usr/bin/paplay", "paplay"});
        add(310, {900, 3100, "/usr/bin/python3.11", "/usr/bin/python3 /usr/bin/rofi"});
        add(311, {310, 3101, "/usr/bin/paplay", "paplay"});
        add(320, {900, 3200, "/usr/lib/menu/menu-daemon", "menu-daemon"});
        add(321, {320, 3201, "/usr/bin/paplay", "paplay"});
        add(400, {900, 5000, "/opt/chat/chat", "chat"});   // younger than its "child"
        add(401, {400, 4000, "/usr/lib/chat/voice-helper", "voice-helper"});
        add(402, {900, 4002, "/usr/lib/x/worker", "worker"});
        add(500, {900, 2000, "/app/bin/player", "player", kSession,
                  "[Application]\nname=org.example.Radio\nruntime=runtime/x\n\n[Instance]\nname=evil\n"});
        add(501, {900, 2000, "/snap/tuner/12/bin/player", "player",
                  kAppSlice + "snap.tuner.tuner-cli-0b1c7c3e-5a4f-4d6e-8f00-123456789abc.scope"});
        add(502, {900, 2000, "/app/bin/player", "player", kSession, "[Application]\nname=../../etc/x\n"});
        add(503, {900, 2000, "/app/bin/player", "player", kSession, "[Application]\nname=chat\n"});
        add(600, {900, 2000, "/usr/libexec/radio-helper", "radio-helper", kAppSlice + "app-gnome-org.example.Radio\\x2dBeta-4242.scope"});
        add(601, {900, 2000, "/usr/libexec/radio-helper", "radio-helper", kAppSlice + "app-org.example.Term-77.scope"});
        add(603, {900, 2000, "/usr/bin/player", "player", kAppSlice + "app-chat-5.scope"});
        add(700, {900, 2000, "/usr/bin/player", "player"});
    }

    void write(const QString& path, const QByteArray& bytes) { writeFile(dir.filePath(path), bytes); }
    void entry(const QString& id, const QByteArray& keys)
    {
        write("share/applications/" + id + ".desktop", "[Desktop Entry]\nType=Application\n" + keys);
    }

    void add(Pid pid, const Process& p)
    {
        const QString base = QStringLiteral("proc/%1/").arg(pid);
        QDir().mkpath(dir.filePath(base));
        const QString comm = p.comm.isEmpty() ? QFileInfo(p.exe).fileName().left(15) : p.comm;
        write(base + "stat", QStringLiteral("%1 (%2) S %3 %1 %1 0 -1 4194560 1 0 0 0 3 1 0 0 20 0 1 0 %4 1 1 18446744073709551615")
                                 .arg(pid).arg(comm).arg(p.parent).arg(p.start).toUtf8());
        QFile::remove(dir.filePath(base + "exe"));
        QFile::link(p.exe, dir.filePath(base + "exe"));
        write(base + "cmdline", p.argv.split(' ').join(QChar(0)).toUtf8() + '\0');
        write(base + "cgroup", "0::" + p.cgroup.toUtf8() + '\n');
        if (!p.flatpakInfo.isEmpty())
            write(base + "root/.flatpak-info", p.flatpakInfo.toUtf8());
    }

    LinuxProcessInspector& inspector()
    {
        if (!made)
            made.emplace(LinuxProcessInspector::Roots{dir.filePath("proc").toUtf8(), {dir.filePath("share/applications")},
                                                      "de_DE.UTF-8", 0});
        return *made;
    }

    std::optional<AppIdentity> identify(Pid pid, AudioClientFacts facts = {})
    {
        return inspector().applicationOf(pid, [facts] { return facts; });
    }

    QString idOf(Pid pid, AudioClientFacts facts = {})
    {
        const auto identity = identify(pid, std::move(facts));
        return identity ? identity->id : "<none>";
    }

    QTemporaryDir dir;
    std::optional<LinuxProcessInspector> made;
};

TEST_F(LinuxIdentityTest, SandboxThenProgramOrNearestParentThenUnitThenTheAudioServersWord)
{
    struct Row {
        const char* what;
        Pid pid;
        AudioClientFacts facts;
        std::optional<AppIdentity> identity;
    };
    const Row rows[] = {
        {"a program is its own entry, named in the locale", 100, {}, kPlayer},
        {"a helper is its nearest parent's", 202, {}, kChat},
        {"the kernel keeps 15 bytes of a long name", 203, {"", "grabación-de-voz", ""}, kChat},
        {"a terminal opened by an application is not the application", 204, {}, std::nullopt},
        {"a terminal may be itself", 300, {}, AppIdentity{"org.example.Term.desktop", "Term", std::nullopt}},
        {"a terminal claims nothing its shell started", 302, {}, std::nullopt},
        {"a terminal claims nothing it started", 303, {}, std::nullopt},
        {"the audio server names what a terminal started", 302, {"paplay", "paplay", {}}, AppIdentity{"client:paplay", "paplay", std::nullopt}},
        {"a launcher written in Python claims nothing", 311, {}, std::nullopt},
        {"a launcher that plays sound itself is its own entry", 310, {}, AppIdentity{"launcher.desktop", "Launcher", std::nullopt}},
        {"a program whose entry runs a launcher claims nothing", 321, {}, std::nullopt},
        {"a parent younger than its child is another process", 401, {}, std::nullopt},
        {"the service manager claims nothing", 402, {}, std::nullopt},
        {"a flatpak outranks the program's own entry", 500, {"", "player", {}},
         AppIdentity{"org.example.Radio.desktop", "Radio", "org.example.Radio"}},
        {"a snap outranks it too", 501, {}, AppIdentity{"tuner_tuner-cli.desktop", "tuner-cli", std::nullopt}},
        {"a malformed flatpak id is no answer", 502, {}, kPlayer},
        {"nor is a one-part flatpak id", 503, {}, kPlayer},
        {"an application unit names a helper", 600, {}, AppIdentity{"org.example.Radio-Beta.desktop", "Radio Beta", std::nullopt}},
        {"a terminal's unit holds whatever runs in it", 601, {}, std::nullopt},
        {"a program's own entry outranks its unit", 603, {}, kPlayer},
        {"the pid runs another program than the client's", 700, {"Game", "game", "game-icon"}, AppIdentity{"client:game", "Game", "game-icon"}},
        {"no pid", 0, {"Game", "game", "game-icon"}, AppIdentity{"client:game", "Game", "game-icon"}},
        {"the client program's entry first", 0, {"", "/usr/bin/player", ""}, kPlayer},
        {"a vanished process", 12345, {"", "tool", ""}, AppIdentity{"client:tool", "tool", std::nullopt}},
        {"a made id is never shaped like an entry's", 0, {"Evil", "x.desktop", ""}, std::nullopt},
        {"nor holds a control character", 0, {"Evil", "a\nb", ""}, std::nullopt},
        {"no program, no made id", 0, {"Nobody", "", ""}, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        made.reset();
        EXPECT_EQ(identify(row.pid, row.facts), row.identity);
    }
    // An icon is what a client names by a theme's name, never a file of its
    // choosing for the icon loader to open.
    for (const char* icon : {"/tmp/evil.svg", "~/evil.svg", "../evil.svg", ".evil", "icons/evil", "evil\x1b[2J"}) {
        made.reset();
        EXPECT_EQ(identify(0, {"Game", "game", icon}), (AppIdentity{"client:game", "Game", std::nullopt})) << icon;
        made.reset();
        EXPECT_EQ(identify(501, {"", "", icon}), (AppIdentity{"tuner_tuner-cli.desktop", "tuner-cli", std::nullopt}))
            << "a snap's: " << icon;
    }
}

TEST_F(LinuxIdentityTest, AnswersAreCachedPerProcessAndDroppedWhenEntriesOrTheProcessChange)
{
    add(800, {900, 2000, "/usr/bin/radio", "radio"});
    EXPECT_EQ(idOf(800), "<none>");
    EXPECT_EQ(idOf(100), "org.example.Player.desktop");
    QFile::remove(dir.filePath("proc/100/exe"));
    QFile::remove(dir.filePath("proc/100/cmdline"));
    EXPECT_EQ(idOf(100), "org.example.Player.desktop") << "the same process is not read again";
    EXPECT_EQ(idOf(800, {"", "radio", ""}), "client:radio");
    EXPECT_EQ(identify(800, {"Radio", "radio", ""}), (AppIdentity{"client:radio", "Radio", std::nullopt}))
        << "the audio server's word is read each time";

    entry("radio", "Name=Radio\nExec=radio\n");
    EXPECT_EQ(idOf(800), "radio.desktop") << "a new entry is seen";

    add(800, {900, 2500, "/opt/chat/chat", "chat"});
    EXPECT_EQ(idOf(800), "chat.desktop") << "the pid now names another process";
}

TEST_F(LinuxIdentityTest, AnotherUsersProcessIsNoParentOfOurs)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    ASSERT_EQ(::chown(QFile::encodeName(dir.filePath("proc/200")).constData(), 65534, 65534), 0);
    EXPECT_EQ(idOf(202), "<none>");
}

// As the kernel writes them: a name holding ") " of its own, and the link to a
// program replaced on disk while it runs (an update).
TEST(ProcFiles, ReadsNamesAsTheKernelWritesThem)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("7/stat"), "7 (a) (b) S 3 7 7 0 -1 4194560 1 0 0 0 3 1 0 0 20 0 1 0 99 1 1\n");
    ASSERT_TRUE(QFile::link("/usr/bin/player (deleted)", dir.filePath("7/exe")));
    const ProcFiles proc(dir.path().toUtf8());
    const std::optional<ProcStat> stat = proc.stat(7);
    ASSERT_TRUE(stat);
    EXPECT_EQ(std::tuple(stat->parent, stat->startTime, stat->comm), std::tuple(3, 99ull, QByteArray("a) (b")));
    EXPECT_EQ(proc.executable(7), "/usr/bin/player");
}

TEST(LinuxIdentity, TheRealProcFileSystemNamesThisTestByItsEntry)
{
    QTemporaryDir dir;
    const QString exe = QFile::symLinkTarget("/proc/self/exe");
    writeFile(dir.filePath("applications/io.example.Tests.desktop"),
              "[Desktop Entry]\nType=Application\nName=Tests\nExec=\"" + exe.toUtf8() + "\" --gtest_filter=%f\n");
    LinuxProcessInspector inspector({"/proc", {dir.filePath("applications")}, {}, 0});
    EXPECT_EQ(inspector.currentPid(), ::getpid());
    const auto identity = inspector.applicationOf(::getpid(), {});
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->id, "io.example.Tests.desktop");
}

TEST(UnitNames, ApplicationAndSnapUnitsNameTheirDesktopEntry)
{
    const auto app = desktopIdFromAppUnit, snap = desktopIdFromSnapUnit;
    const std::tuple<QString (*)(const QString&), const char*, const char*> cases[] = {
        {app, "/app.slice/app-firefox-1234.scope", "firefox.desktop"},
        {app, "/app.slice/app-gnome-firefox\\x2desr-1234.scope", "firefox-esr.desktop"},
        {app, "/app.slice/app-flatpak-org.example.App-99.scope", "org.example.App.desktop"},
        {app, "/app.slice/app-org.kde.kalendarac@autostart.service", "org.kde.kalendarac.desktop"},
        {app, "/app.slice/app-gnome-org.example.App.service", "org.example.App.desktop"},
        {app, "/app.slice/app-a-b-c-1.scope", ""},
        {app, "/app.slice/app-1.scope", ""},
        {app, "/app.slice/vte-spawn-0b1c7c3e.scope", ""},
        {app, "/app.slice/app-..\\x2f..\\x2fetc-1.scope", ""},
        {app, "/app.slice/app-bad\\x2-1.scope", ""},
        {app, "/app.slice/app-x.slice", ""},
        // A snap's application, but not its hooks.
        {snap, "/snap.hello-world.sh-4706fe54-7802-4808-aa7e-ae8b567239e0.scope", "hello-world_sh.desktop"},
        {snap, "/snap.firefox.firefox.service", "firefox_firefox.desktop"},
        {snap, "/snap.firefox.hook.configure-4706fe54-7802-4808-aa7e-ae8b567239e0.scope", ""},
        {snap, "/snap.Firefox.firefox.scope", ""},
        {snap, "/snapx.firefox.firefox.scope", ""},
    };
    for (const auto& [read, path, id] : cases)
        EXPECT_EQ(read(QString::fromUtf8(path)), QString::fromUtf8(id)) << path;
}

} // namespace
