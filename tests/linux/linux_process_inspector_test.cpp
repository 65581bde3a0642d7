// Which installed application a Linux process belongs to, on stand-in /proc
// trees and applications folders written in the real formats.

#include "linux_process_inspector.h"
#include "support/files.h"
#include "unit_names.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using Pid = ProcessInspector::Pid;

struct Process {
    Pid parent = 1;
    quint64 start = 1000;
    QString exe;
    QStringList argv;
    QString cgroup = QStringLiteral("/user.slice/user-1000.slice/session-2.scope");
    QString flatpakInfo = {};   // the sandbox's /.flatpak-info, when it has one
};

class LinuxIdentityTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        write(QStringLiteral("share/applications/org.example.Player.desktop"),
              "[Desktop Entry]\nType=Application\nName=Player\nName[de]=Spieler\nIcon=org.example.Player\n"
              "Exec=env GDK_BACKEND=x11 player %U\n");
        write(QStringLiteral("share/applications/chat.desktop"),
              "[Desktop Entry]\nType=Application\nName=Chat\nIcon=/opt/chat/chat.png\nExec=/opt/chat/chat\n");
        write(QStringLiteral("share/applications/org.example.Term.desktop"),
              "[Desktop Entry]\nType=Application\nName=Term\nExec=term\nCategories=System;TerminalEmulator;\n");
        add(1, {0, 1, QStringLiteral("/usr/lib/systemd/systemd"), {QStringLiteral("/sbin/init")}});
        add(900, {1, 10, QStringLiteral("/usr/lib/systemd/systemd"), {QStringLiteral("/lib/systemd/systemd"), QStringLiteral("--user")}});
    }

    void write(const QString& path, const QByteArray& bytes) { writeFile(dir.filePath(path), bytes); }

    void add(Pid pid, const Process& p)
    {
        const QString base = QStringLiteral("proc/%1/").arg(pid);
        QDir().mkpath(dir.filePath(base));
        const QString comm = QFileInfo(p.exe).fileName().left(15);
        write(base + "stat", QStringLiteral("%1 (%2) S %3 %1 %1 0 -1 4194560 1 0 0 0 3 1 0 0 20 0 1 0 %4 1 1 18446744073709551615")
                                 .arg(pid).arg(comm).arg(p.parent).arg(p.start).toUtf8());
        QFile::remove(dir.filePath(base + "exe"));
        QFile::link(p.exe, dir.filePath(base + "exe"));
        write(base + "cmdline", p.argv.join(QChar(0)).toUtf8() + '\0');
        write(base + "cgroup", "0::" + p.cgroup.toUtf8() + '\n');
        if (!p.flatpakInfo.isEmpty())
            write(base + "root/.flatpak-info", p.flatpakInfo.toUtf8());
    }

    LinuxProcessInspector& inspector()
    {
        if (!made)
            made.emplace(LinuxProcessInspector::Roots{dir.filePath(QStringLiteral("proc")).toUtf8(),
                                                      {dir.filePath(QStringLiteral("share/applications"))},
                                                      QStringLiteral("de_DE.UTF-8"), 0});
        return *made;
    }

    std::optional<AppIdentity> identify(Pid pid, AudioClientFacts facts = {})
    {
        return inspector().applicationOf(pid, [facts] { return facts; });
    }

    QString idOf(Pid pid, AudioClientFacts facts = {})
    {
        const auto identity = identify(pid, std::move(facts));
        return identity ? identity->id : QStringLiteral("<none>");
    }

    QTemporaryDir dir;
    std::optional<LinuxProcessInspector> made;
};

TEST_F(LinuxIdentityTest, AProgramIsItsOwnEntryWithTheLocalisedNameAndIcon)
{
    add(100, {900, 2000, QStringLiteral("/usr/bin/player"), {QStringLiteral("player"), QStringLiteral("song.ogg")}});
    EXPECT_EQ(identify(100), (AppIdentity{"org.example.Player.desktop", "Spieler", "org.example.Player"}));
}

TEST_F(LinuxIdentityTest, AHelperIsFoundThroughItsNearestParentButNeverThroughATerminalOrShell)
{
    add(200, {900, 2000, QStringLiteral("/opt/chat/chat"), {QStringLiteral("/opt/chat/chat")}});
    add(201, {200, 2001, QStringLiteral("/usr/lib/chat/voice-helper"), {QStringLiteral("voice-helper")}});
    add(202, {201, 2002, QStringLiteral("/usr/lib/chat/voice-helper"), {QStringLiteral("voice-helper")}});
    add(300, {900, 3000, QStringLiteral("/usr/bin/term"), {QStringLiteral("term")}});
    add(301, {300, 3001, QStringLiteral("/usr/bin/bash"), {QStringLiteral("bash")}});
    add(302, {301, 3002, QStringLiteral("/usr/bin/paplay"), {QStringLiteral("paplay"), QStringLiteral("bell.wav")}});
    add(303, {300, 3003, QStringLiteral("/usr/bin/paplay"), {QStringLiteral("paplay")}});
    EXPECT_EQ(idOf(202), "chat.desktop");
    EXPECT_EQ(identify(202)->iconPath, "/opt/chat/chat.png");
    EXPECT_EQ(idOf(300), "org.example.Term.desktop") << "a terminal may be itself";
    EXPECT_EQ(idOf(302), "<none>");
    EXPECT_EQ(idOf(303), "<none>") << "a terminal claims nothing it started";
    EXPECT_EQ(idOf(302, {"paplay", "paplay", {}}), "client:paplay");

    write(QStringLiteral("share/applications/launcher.desktop"),
          "[Desktop Entry]\nType=Application\nName=Launcher\nExec=/usr/bin/python3 /usr/bin/rofi\n");
    add(310, {900, 3100, QStringLiteral("/usr/bin/python3.11"), {QStringLiteral("/usr/bin/python3"), QStringLiteral("/usr/bin/rofi")}});
    add(311, {310, 3101, QStringLiteral("/usr/bin/paplay"), {QStringLiteral("paplay")}});
    EXPECT_EQ(idOf(311), "<none>") << "a launcher written in Python claims nothing either";
}

TEST_F(LinuxIdentityTest, TheParentChainStopsAtAReusedPidAndAtTheServiceManager)
{
    add(400, {900, 5000, QStringLiteral("/opt/chat/chat"), {QStringLiteral("chat")}});   // younger than its "child"
    add(401, {400, 4000, QStringLiteral("/usr/lib/chat/voice-helper"), {QStringLiteral("voice-helper")}});
    write(QStringLiteral("share/applications/systemd.desktop"),
          "[Desktop Entry]\nType=Application\nName=Service Manager\nExec=systemd\n");
    add(402, {900, 4002, QStringLiteral("/usr/lib/x/worker"), {QStringLiteral("worker")}});
    EXPECT_EQ(idOf(401), "<none>");
    EXPECT_EQ(idOf(402), "<none>");
}

TEST_F(LinuxIdentityTest, SandboxesNameTheirApplicationFirst)
{
    Process flatpak{900, 2000, QStringLiteral("/app/bin/player"), {QStringLiteral("player")}};
    flatpak.flatpakInfo = QStringLiteral("[Application]\nname=org.example.Radio\nruntime=runtime/x\n\n[Instance]\nname=evil\n");
    add(500, flatpak);
    Process snap{900, 2000, QStringLiteral("/snap/tuner/12/bin/player"), {QStringLiteral("player")}};
    snap.cgroup = QStringLiteral("/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                 "snap.tuner.tuner-cli-0b1c7c3e-5a4f-4d6e-8f00-123456789abc.scope");
    add(501, snap);
    Process hostile = flatpak;
    hostile.flatpakInfo = QStringLiteral("[Application]\nname=../../etc/x\n");
    add(502, hostile);
    EXPECT_EQ(identify(500, {"Radio Player", "player", {}}),
              (AppIdentity{"org.example.Radio.desktop", "Radio Player", "org.example.Radio"}))
        << "the sandbox outranks the program's own entry";
    EXPECT_EQ(idOf(501), "tuner_tuner-cli.desktop");
    EXPECT_EQ(idOf(502), "org.example.Player.desktop") << "a malformed id is no answer";
}

TEST_F(LinuxIdentityTest, AProcessWhoseParentsSayNothingIsNamedByItsApplicationUnit)
{
    const QString slice = QStringLiteral("/user.slice/user-1000.slice/user@1000.service/app.slice/");
    write(QStringLiteral("share/applications/org.example.Radio-Beta.desktop"),
          "[Desktop Entry]\nType=Application\nName=Radio Beta\nExec=radio-beta\n");
    Process helper{900, 2000, QStringLiteral("/usr/libexec/radio-helper"), {QStringLiteral("radio-helper")}};
    helper.cgroup = slice + QStringLiteral("app-gnome-org.example.Radio\\x2dBeta-4242.scope");
    add(600, helper);
    helper.cgroup = slice + QStringLiteral("app-org.example.Term-77.scope");
    add(601, helper);
    helper.cgroup = slice + QStringLiteral("app-org.example.Player@autostart.service");
    add(602, helper);
    EXPECT_EQ(idOf(600), "org.example.Radio-Beta.desktop");
    EXPECT_EQ(idOf(601), "<none>") << "a terminal's unit holds whatever runs in it";
    EXPECT_EQ(idOf(602), "org.example.Player.desktop");
}

TEST_F(LinuxIdentityTest, TheAudioServersWordCountsWhenThePidCannotBeTrusted)
{
    add(700, {900, 2000, QStringLiteral("/usr/bin/player"), {QStringLiteral("player")}});
    EXPECT_EQ(idOf(700, {"Game", "game", "game-icon"}), "client:game") << "the pid names some other program";
    EXPECT_EQ(identify(0, {"Game", "game", "game-icon"}), (AppIdentity{"client:game", "Game", "game-icon"}));
    EXPECT_EQ(idOf(0, {"", "/usr/bin/player", ""}), "org.example.Player.desktop") << "its program's entry first";
    EXPECT_EQ(idOf(12345, {"", "tool", ""}), "client:tool") << "a vanished process";
    EXPECT_EQ(idOf(0, {"Evil", "x.desktop", ""}), "<none>") << "never shaped like an entry's id";
    EXPECT_EQ(idOf(0, {"Evil", "a\nb", ""}), "<none>");
    EXPECT_EQ(idOf(0, {"Nobody", "", ""}), "<none>");
}

TEST_F(LinuxIdentityTest, AnswersAreCachedPerProcessAndDroppedWhenEntriesOrTheProcessChange)
{
    add(800, {900, 2000, QStringLiteral("/usr/bin/radio"), {QStringLiteral("radio")}});
    add(801, {900, 2000, QStringLiteral("/usr/bin/player"), {QStringLiteral("player")}});
    EXPECT_EQ(idOf(800), "<none>");
    EXPECT_EQ(idOf(801), "org.example.Player.desktop");
    QFile::remove(dir.filePath(QStringLiteral("proc/801/exe")));
    QFile::remove(dir.filePath(QStringLiteral("proc/801/cmdline")));
    EXPECT_EQ(idOf(801), "org.example.Player.desktop") << "the same process is not read again";

    write(QStringLiteral("share/applications/radio.desktop"), "[Desktop Entry]\nType=Application\nName=Radio\nExec=radio\n");
    EXPECT_EQ(idOf(800), "radio.desktop") << "a new entry is seen";

    add(800, {900, 2500, QStringLiteral("/opt/chat/chat"), {QStringLiteral("chat")}});
    EXPECT_EQ(idOf(800), "chat.desktop") << "the pid now names another process";
}

TEST(LinuxIdentity, TheRealProcFileSystemNamesThisTestByItsEntry)
{
    QTemporaryDir dir;
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    writeFile(dir.filePath(QStringLiteral("applications/io.example.Tests.desktop")),
              "[Desktop Entry]\nType=Application\nName=Tests\nExec=\"" + exe.toUtf8() + "\" --gtest_filter=%f\n");
    LinuxProcessInspector inspector({"/proc", {dir.filePath(QStringLiteral("applications"))}, {}, 0});
    EXPECT_EQ(inspector.currentPid(), ::getpid());
    const auto identity = inspector.applicationOf(::getpid(), {});
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->id, "io.example.Tests.desktop");
}

TEST(UnitNames, ApplicationAndSnapUnitsNameTheirDesktopEntry)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/app.slice/app-firefox-1234.scope", "firefox.desktop"},
        {"/app.slice/app-gnome-firefox\\x2desr-1234.scope", "firefox-esr.desktop"},
        {"/app.slice/app-flatpak-org.example.App-99.scope", "org.example.App.desktop"},
        {"/app.slice/app-org.kde.kalendarac@autostart.service", "org.kde.kalendarac.desktop"},
        {"/app.slice/app-gnome-org.example.App.service", "org.example.App.desktop"},
        {"/app.slice/app-a-b-c-1.scope", ""},
        {"/app.slice/app-1.scope", ""},
        {"/app.slice/vte-spawn-0b1c7c3e.scope", ""},
        {"/app.slice/app-..\\x2f..\\x2fetc-1.scope", ""},
        {"/app.slice/app-bad\\x2-1.scope", ""},
        {"/app.slice/app-x.slice", ""},
    };
    for (const auto& [path, id] : cases)
        EXPECT_EQ(desktopIdFromAppUnit(QString::fromUtf8(path)), QString::fromUtf8(id)) << path;

    // A snap's application, but not its hooks.
    const std::pair<const char*, const char*> snaps[] = {
        {"/snap.hello-world.sh-4706fe54-7802-4808-aa7e-ae8b567239e0.scope", "hello-world_sh.desktop"},
        {"/snap.firefox.firefox.service", "firefox_firefox.desktop"},
        {"/snap.firefox.hook.configure-4706fe54-7802-4808-aa7e-ae8b567239e0.scope", ""},
        {"/snap.Firefox.firefox.scope", ""},
        {"/snapx.firefox.firefox.scope", ""},
    };
    for (const auto& [path, id] : snaps)
        EXPECT_EQ(desktopIdFromSnapUnit(QString::fromUtf8(path)), QString::fromUtf8(id)) << path;
}

} // namespace
