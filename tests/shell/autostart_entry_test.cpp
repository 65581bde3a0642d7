// Start at login: the autostart entry on a temporary config folder, as the
// desktop and other tools leave it, and as Ravlet writes it.

#include "autostart_entry.h"
#include "desktop_entry.h"
#include "system_log.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

class AutostartTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(config.isValid());
        saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        setSystemLogSink([this](const QString& line) { log.append(line); });
    }
    void TearDown() override
    {
        setSystemLogSink({});
        qputenv("XDG_CONFIG_HOME", saved);
    }

    QString folder() const { return config.filePath(QStringLiteral("autostart")); }

    void write(const QByteArray& contents)
    {
        QDir().mkpath(folder());
        QFile file(autostart::entryPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

    QTemporaryDir config;
    QByteArray saved;
    QStringList log;
};

TEST_F(AutostartTest, TurningOnWritesAnEntryTheDesktopStartsAndTurningOffRemovesIt)
{
    EXPECT_EQ(autostart::entryPath(), folder() + QStringLiteral("/io.morvik.ravlet.desktop"));
    EXPECT_FALSE(autostart::isEnabled());

    ASSERT_TRUE(autostart::setEnabled(true));
    EXPECT_TRUE(autostart::isEnabled());
    QFile file(autostart::entryPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto entry = parseDesktopEntry(file.readAll(), QStringLiteral("io.morvik.ravlet.desktop"), QString());
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->program, QStringLiteral("ravlet"));
    EXPECT_FALSE(entry->hidden);
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files), QStringList{"io.morvik.ravlet.desktop"}) << "no temporary left";

    ASSERT_TRUE(autostart::setEnabled(false));
    EXPECT_FALSE(QFile::exists(autostart::entryPath()));
    EXPECT_TRUE(autostart::setEnabled(false)) << "already off";
    EXPECT_EQ(log, QStringList());

    qputenv("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(autostart::entryPath(), QDir::homePath() + QStringLiteral("/.config/autostart/io.morvik.ravlet.desktop"));
}

TEST_F(AutostartTest, AnEntryChangedElsewhereReadsAsTheDesktopTakesIt)
{
    const QByteArray ours = "[Desktop Entry]\nType=Application\nName=Ravlet\nExec=/usr/bin/ravlet\n";
    write(ours);
    EXPECT_TRUE(autostart::isEnabled());
    write(ours + "Hidden=true\n");
    EXPECT_FALSE(autostart::isEnabled()) << "hidden means deleted";
    write(ours + "X-GNOME-Autostart-enabled=false\n");
    EXPECT_FALSE(autostart::isEnabled()) << "switched off in GNOME";
    write("[Desktop Entry]\nType=Application\nName=Other\nExec=other-mixer --tray\n");
    EXPECT_FALSE(autostart::isEnabled()) << "another program's";
    write("not a desktop entry\n");
    EXPECT_FALSE(autostart::isEnabled());

    write(ours + "Hidden=true\n");
    ASSERT_TRUE(autostart::setEnabled(true));
    EXPECT_TRUE(autostart::isEnabled()) << "turning on replaces the hidden entry";
}

TEST_F(AutostartTest, AFolderThatCannotBeWrittenIsReportedAndTheStateFollowsTheDisk)
{
    AutostartEntry item;
    QSignalSpy announced(&item, &AutostartEntry::enabledChanged);

    // A file where the folder should be stops even root.
    QFile blocker(folder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    item.setEnabled(true);
    EXPECT_FALSE(item.enabled());
    EXPECT_EQ(announced.count(), 1) << "a check item the user toggled falls back";
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].startsWith("[ravlet] could not start at login")) << log[0].toStdString();
    ASSERT_TRUE(QFile::remove(folder()));

    if (geteuid() == 0)
        GTEST_SKIP() << "root writes into read-only folders";
    const QByteArray ours = "[Desktop Entry]\nType=Application\nName=Ravlet\nExec=ravlet\n";
    write(ours);
    item.reload();
    ASSERT_TRUE(item.enabled());
    QFile::setPermissions(folder(), QFile::ReadOwner | QFile::ExeOwner);
    item.setEnabled(false);
    EXPECT_TRUE(item.enabled()) << "still on disk";
    QFile::setPermissions(folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    write(ours + "Hidden=true\n");
    QFile::setPermissions(folder(), QFile::ReadOwner | QFile::ExeOwner);
    item.setEnabled(true);
    EXPECT_FALSE(item.enabled()) << "the hidden entry stays";
    QFile::setPermissions(folder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_EQ(log.size(), 3) << log.join('\n').toStdString();
}

} // namespace
