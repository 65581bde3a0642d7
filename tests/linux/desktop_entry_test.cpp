#include "desktop_entry.h"
#include "desktop_entry_index.h"

#include "support/files.h"
#include "support/qt_printers.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

QByteArray app(const QByteArray& name, const QByteArray& exec, const QByteArray& more = {})
{
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + exec + "\n" + more;
}

// Every field of an entry, in the order they are declared, so that whole
// entries compare at once.
QStringList fields(const DesktopEntry& e)
{
    return {e.id, e.name, e.icon, e.program, e.arguments.join('|'), e.tryExec, e.startupWMClass,
            e.categories.join('|'), e.noDisplay ? "noDisplay" : "", e.hidden ? "hidden" : ""};
}

TEST(DesktopEntryTest, NameFollowsTheLocaleFromMostToLeastSpecific)
{
    const QByteArray bytes = "\xEF\xBB\xBF# comment\n\n[Desktop Entry]\r\nType=Application\r\nName=Plain\r\n"
                             "Name[de]=Deutsch\nName[de_DE]=Deutschland\nName[de_DE@euro]=Euro\n"
                             "Name[sr]=Ćirilica\nName[sr@latin]=Latinica\nName[fr]=\nExec=x\n";
    const std::pair<const char*, const char*> cases[] = {
        {"de_DE.UTF-8@euro", "Euro"}, {"de_DE.UTF-8", "Deutschland"}, {"de_AT", "Deutsch"},
        {"de", "Deutsch"}, {"sr_RS@latin", "Latinica"}, {"sr_RS.UTF-8", "Ćirilica"},
        {"fr_FR", "Plain"}, {"C.UTF-8", "Plain"}, {"POSIX", "Plain"}, {"", "Plain"},
    };
    for (const auto& [locale, name] : cases) {
        const auto entry = parseDesktopEntry(bytes, "x.desktop", locale);
        ASSERT_TRUE(entry) << locale;
        EXPECT_EQ(entry->name, QString::fromUtf8(name)) << locale;
    }
}

TEST(DesktopEntryTest, ExecGivesTheProgramPastEnvAndTheArgumentsWithoutFieldCodes)
{
    struct Case { QByteArray exec; QString program; QStringList arguments; };
    const Case cases[] = {
        {"/opt/foo/bin/foo --new %u --icon=%i 100%% file%f %k", "/opt/foo/bin/foo", {"--new", "--icon=", "100%", "file"}},
        {R"(env A=1 B="x y" prog %U)", "prog", {}},
        {"/usr/bin/env -i -u HOME --unset=X -C /tmp -- A=1 prog --flag %d %D %n %N %v %m", "prog", {"--flag"}},
        {R"("/opt/My App/run" "say \\"hi\\" \\$HOME \\`id\\` \\\\" %F)", "/opt/My App/run", {R"(say "hi" $HOME `id` \)"}},
        {R"x(sh -c "echo $(touch gone)")x", "sh", {"-c", "echo $(touch gone)"}},
        {"two\\swords", "two", {"words"}},
        {R"(foo "unterminated)", "", {}},
        {"env A=1", "", {}},
        {"%U", "", {}},
    };
    for (const Case& c : cases) {
        const auto entry = parseDesktopEntry(app("N", c.exec), "x.desktop", "");
        ASSERT_TRUE(entry) << c.exec.constData();
        EXPECT_EQ(entry->program, c.program) << c.exec.constData();
        EXPECT_EQ(entry->arguments, c.arguments) << c.exec.constData();
    }
    EXPECT_EQ(splitExec(R"(a  "b c"d "" "e\"f")"), (QStringList{"a", "b cd", "", "e\"f"}));
    EXPECT_FALSE(splitExec(R"(a "b\")"));
}

TEST(DesktopEntryTest, ReadsOnlyTheEntryGroupAndKeepsTextVerbatim)
{
    const auto entry = parseDesktopEntry(
        "[Desktop Entry]\nType=Application\nName=Early\n  Name = <b>Tom</b> &amp; Jerry\\s\\\\ \n"
        "Icon=/opt/icons/t.png\nTryExec=tom\nStartupWMClass=TomWin\nNoDisplay=true\n"
        "Categories=AudioVideo;Odd\\;Name;TerminalEmulator;\nExec=tom\n"
        "[Desktop Action quit]\nName=Quit \xff\nExec=tom --quit\nHidden=true\nnot a key line\n",
        "tom.desktop", "de");
    ASSERT_TRUE(entry);
    EXPECT_EQ(fields(*entry), (QStringList{"tom.desktop", "<b>Tom</b> &amp; Jerry \\", "/opt/icons/t.png", "tom", "",
                                           "tom", "TomWin", "AudioVideo|Odd;Name|TerminalEmulator", "noDisplay", ""}));
    EXPECT_TRUE(entry->isTerminalEmulator());

    const auto masking = parseDesktopEntry("[Desktop Entry]\nHidden=true\n", "tom.desktop", "");
    ASSERT_TRUE(masking);
    EXPECT_EQ(fields(*masking), (QStringList{"tom.desktop", "", "", "", "", "", "", "", "", "hidden"}));
}

TEST(DesktopEntryTest, WhatIsNotAWellFormedApplicationEntryGivesNothing)
{
    const QByteArray cases[] = {
        "",
        "Type=Application\nName=No group\nExec=x\n",
        "[Desktop Action a]\nName=A\n[Desktop Entry]\nType=Application\nName=Late\nExec=x\n",
        "[Desktop Entry]\nType=Link\nName=Link\nURL=https://example.org\n",
        "[Desktop Entry]\nType=Application\nExec=nameless\n",
        "[Desktop Entry]\nType=Application\nName=\nExec=x\n",
        "[Desktop Entry]\nType=Application\nName[de]=Nur deutsch\nExec=x\n",
        "[Desktop Entry\nType=Application\nName=Bad header\n",
        app("Garbage", "x", "this line has no equals sign\n"),
        app("Bad \xff byte", "x"),
        app("Overlong \xc0\xaf", "x"),
        app("Nul", QByteArray("x\0y", 3)),
        app("Huge", "x", "#" + QByteArray(maxDesktopEntryBytes, 'x') + "\n"),
        QByteArray("\x7f" "ELF\x02\x01\x01\0\0\0", 10),
    };
    for (const QByteArray& bytes : cases)
        EXPECT_FALSE(parseDesktopEntry(bytes, "x.desktop", "de_DE")) << bytes.left(80).constData();
}

class DesktopEntryIndexTest : public testing::Test {
protected:
    QTemporaryDir m_root;
    const QString user = m_root.filePath("user/applications");
    const QString system = m_root.filePath("system/applications");
};

TEST_F(DesktopEntryIndexTest, TheHighestFolderDecidesAnIdAndBrokenFilesCostOnlyThemselves)
{
    writeFile(system + "/a.desktop", app("System A", "a"));
    writeFile(user + "/a.desktop", app("User A", "a"));
    writeFile(system + "/b.desktop", app("System B", "bee"));
    writeFile(user + "/b.desktop", "[Desktop Entry]\nHidden=true\n");
    writeFile(system + "/c.desktop", app("System C", "c"));
    writeFile(user + "/c.desktop", "[Desktop Entry]\nName=Half-written");
    writeFile(system + "/kde4/sub/d.desktop", app("Nested", "d"));
    writeFile(system + "/notes.txt", app("Not an entry", "txt"));
    writeFile(system + "/binary.desktop", QByteArray("\x7f" "ELF\0\0\0", 7));
    writeFile(system + "/huge.desktop", app("Huge", "huge"));
    writeFile(user + "/huge.desktop", app("Huge", "huge", QByteArray(maxDesktopEntryBytes, '#')));
    writeFile(m_root.filePath("store/real.desktop"), app("Linked", "linked"));
    ASSERT_TRUE(QFile::link(m_root.filePath("store/real.desktop"), system + "/linked.desktop"));
    ASSERT_TRUE(QFile::link(system, system + "/loop"));
    ASSERT_TRUE(QFile::link(m_root.filePath("nowhere"), system + "/dangling.desktop"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(system + "/fifo.desktop").constData(), 0600), 0);
    const QString witness = m_root.filePath("witness");
    writeFile(system + "/shell.desktop", app("Shell", "sh -c \"touch " + witness.toUtf8() + "; $(touch " + witness.toUtf8() + ")\""));

    DesktopEntryIndex index({user, system}, "de_DE.UTF-8");
    EXPECT_EQ(index.size(), 4);
    ASSERT_TRUE(index.entry("a.desktop"));
    EXPECT_EQ(index.entry("a.desktop")->name, "User A");
    EXPECT_FALSE(index.entry("b.desktop")) << "hidden in the user's folder";
    EXPECT_FALSE(index.matchProcess("/usr/bin/bee", {"bee"}));
    EXPECT_FALSE(index.entry("c.desktop")) << "the user's broken copy still masks it";
    EXPECT_FALSE(index.entry("huge.desktop")) << "so does an oversized one";
    EXPECT_TRUE(index.entry("kde4-sub-d.desktop"));
    EXPECT_TRUE(index.entry("linked.desktop"));
    EXPECT_TRUE(index.entry("shell.desktop"));
    EXPECT_FALSE(QFile::exists(witness)) << "nothing in an entry is ever run";
}

TEST_F(DesktopEntryIndexTest, AProcessIsMatchedByPathThenNameThenScriptThenWindowClass)
{
    writeFile(user + "/mine-player.desktop", app("My Player", "/opt/player/player"));
    writeFile(system + "/player.desktop", app("Player", "/usr/bin/player %U", "StartupWMClass=PlayerWin\n"));
    writeFile(system + "/a-tool.desktop", app("Tool", "tool"));
    writeFile(system + "/z-tool.desktop", app("Tool Exact", "/opt/z/tool"));
    writeFile(system + "/writer.desktop", app("Writer", "libreoffice --writer %U"));
    writeFile(system + "/calc.desktop", app("Calc", "libreoffice --calc %U"));
    writeFile(system + "/startcenter.desktop", app("Office", "libreoffice %U", "NoDisplay=true\n"));
    writeFile(system + "/helper.desktop", app("Helper", "helper", "NoDisplay=true\n"));
    writeFile(system + "/wrapped.desktop", app("Wrapped", "env GDK_BACKEND=x11 /opt/wrapped/bin/wrapped %U"));
    writeFile(system + "/tried.desktop", app("Tried", "launch-tried", "TryExec=/opt/tried/real\n"));
    writeFile(system + "/tool-script.desktop", app("Script Tool", "python3 /usr/share/stool/stool.py"));
    writeFile(system + "/gizmo.desktop", app("Gizmo", "gizmo %F", "NoDisplay=false\n"));
    writeFile(system + "/a-gizmo-open.desktop", app("Open in Gizmo", "gizmo %u", "NoDisplay=true\n"));
    writeFile(system + "/python3.11.desktop", app("Python", "/usr/bin/python3.11"));
    writeFile(system + "/org.example.Flat.desktop",
              app("Flat", "/usr/bin/flatpak run --branch=stable --command=flat org.example.Flat @@u %U @@", "StartupWMClass=flat\n"));
    writeFile(system + "/window.desktop", app("Window Box", "/opt/win/launch.sh", "StartupWMClass=Winbox\n"));

    DesktopEntryIndex index({user, system}, "");
    struct Case { QString executable; QStringList argv; QString id; };
    const Case cases[] = {
        {"/usr/bin/player", {"player", "song.ogg"}, "player.desktop"},
        {"/usr/local/bin/player", {}, "mine-player.desktop"},   // same name in both folders: the user's
        {"/opt/z/tool", {"tool"}, "z-tool.desktop"},            // exact path beats the smaller id
        {"/usr/bin/tool", {"tool"}, "a-tool.desktop"},
        {"/usr/lib/office/soffice", {"libreoffice", "--calc", "sheet.ods"}, "calc.desktop"},
        {"/usr/lib/office/soffice", {"libreoffice", "--writer"}, "writer.desktop"},
        {"/usr/lib/office/soffice", {"libreoffice"}, "startcenter.desktop"},
        {"/usr/libexec/helper", {}, "helper.desktop"},
        {"/opt/wrapped/bin/wrapped", {}, "wrapped.desktop"},
        {"/opt/tried/real", {}, "tried.desktop"},
        {"/usr/bin/python3.11", {"python3", "-u", "/usr/share/stool/stool.py"}, "tool-script.desktop"},
        {"/usr/bin/python3.11", {"/usr/bin/python3", "/usr/bin/gizmo", "--verbose"}, "gizmo.desktop"},
        {"/usr/bin/python3.11", {"python3", "/home/u/other.py"}, "(none)"},
        {"/usr/bin/python3.11", {}, "(none)"},
        {"/usr/bin/flatpak", {"flatpak", "run", "org.example.Flat"}, "(none)"},
        {"/opt/win/bin/WinBox", {"WinBox"}, "window.desktop"},
        {"/opt/other/playerwin", {}, "player.desktop"},
        {"/usr/bin/unknown", {"unknown"}, "(none)"},
    };
    for (const Case& c : cases) {
        const DesktopEntry* found = index.matchProcess(c.executable, c.argv);
        EXPECT_EQ(found ? found->id : "(none)", c.id) << c.executable.toStdString() << " " << c.argv.join(' ').toStdString();
    }
    EXPECT_TRUE(index.entry("org.example.Flat.desktop"));
}

TEST_F(DesktopEntryIndexTest, RefreshRebuildsOnlyWhenEntriesChanged)
{
    writeFile(system + "/a.desktop", app("A", "a"));
    DesktopEntryIndex index({user, system}, "");
    EXPECT_TRUE(index.refreshIfChanged()) << "the first call builds";
    const quint64 first = index.generation();
    EXPECT_FALSE(index.refreshIfChanged());
    writeFile(system + "/mimeinfo.cache", "[MIME Cache]\n");
    EXPECT_FALSE(index.refreshIfChanged()) << "no entry changed";
    EXPECT_EQ(index.generation(), first);

    const auto expectRebuild = [&](const char* what) {
        const quint64 before = index.generation();
        EXPECT_TRUE(index.refreshIfChanged()) << what;
        EXPECT_EQ(index.generation(), before + 1) << what;
        EXPECT_FALSE(index.refreshIfChanged()) << what;
    };
    writeFile(system + "/b.desktop", app("B", "b"));
    expectRebuild("added");
    EXPECT_TRUE(index.entry("b.desktop"));
    ASSERT_TRUE(QFile::rename(system + "/b.desktop", system + "/c.desktop"));
    expectRebuild("renamed");
    EXPECT_FALSE(index.entry("b.desktop"));
    EXPECT_TRUE(index.entry("c.desktop"));
    ASSERT_TRUE(QFile::remove(system + "/c.desktop"));
    expectRebuild("removed");
    EXPECT_EQ(index.size(), 1);
    writeFile(user + "/a.desktop", app("User A", "a"));
    expectRebuild("folder created");
    EXPECT_EQ(index.entry("a.desktop")->name, "User A");
    writeFile(user + "/deep/d.desktop", app("D", "d"));
    expectRebuild("subfolder created");
    EXPECT_TRUE(index.entry("deep-d.desktop"));

    // A folder's time changes by clock ticks: an entry added within the tick
    // of the last look leaves it as it was.
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(system).constData(), &before), 0);
    writeFile(system + "/e.desktop", app("E", "e"));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(system).constData(), times, 0), 0);
    expectRebuild("added within the clock tick");
}

// The variables the test sets, put back as they were after it.
class EnvironmentTest : public testing::Test {
protected:
    void set(const char* name, const QByteArray& value)   // a null value unsets
    {
        if (!m_saved.contains(name))
            m_saved[name] = qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray();
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    void TearDown() override
    {
        for (auto it = m_saved.cbegin(); it != m_saved.cend(); ++it)
            it.value().isNull() ? qunsetenv(it.key()) : qputenv(it.key(), it.value());
    }
    QMap<QByteArray, QByteArray> m_saved;
};

TEST_F(EnvironmentTest, FoldersAndLocaleFollowTheXdgVariables)
{
    set("HOME", "/home/u");
    set("XDG_DATA_HOME", "relative/share");
    set("XDG_DATA_DIRS", "/opt/share/:relative::/usr/share:/opt/share:/var/lib/flatpak/exports/share");
    EXPECT_EQ(DesktopEntryIndex::applicationDirsFromEnvironment(),
              (QStringList{"/home/u/.local/share/applications", "/opt/share/applications", "/usr/share/applications",
                           "/var/lib/flatpak/exports/share/applications",
                           "/home/u/.local/share/flatpak/exports/share/applications",
                           "/var/lib/snapd/desktop/applications"}));
    set("XDG_DATA_HOME", "/data");
    set("XDG_DATA_DIRS", QByteArray());
    EXPECT_EQ(DesktopEntryIndex::applicationDirsFromEnvironment(),
              (QStringList{"/data/applications", "/usr/local/share/applications", "/usr/share/applications",
                           "/data/flatpak/exports/share/applications", "/var/lib/flatpak/exports/share/applications",
                           "/var/lib/snapd/desktop/applications"}));

    set("LC_ALL", "");
    set("LC_MESSAGES", "de_DE.UTF-8");
    set("LANG", "fr_FR.UTF-8");
    EXPECT_EQ(DesktopEntryIndex::localeFromEnvironment(), "de_DE.UTF-8");
    set("LC_MESSAGES", QByteArray());
    EXPECT_EQ(DesktopEntryIndex::localeFromEnvironment(), "fr_FR.UTF-8");
    set("LANG", QByteArray());
    EXPECT_EQ(DesktopEntryIndex::localeFromEnvironment(), "");
}

} // namespace
