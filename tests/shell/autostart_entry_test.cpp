// Start at login: the autostart entry on a temporary config folder, as Ravlet
// writes it and as the desktop and other tools leave it.

#include "autostart_entry.h"
#include "desktop_entry.h"
#include "system_log.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kOurs = "[Desktop Entry]\nType=Application\nName=Ravlet\nExec=/usr/bin/ravlet\n";

class AutostartTest : public testing::Test {
protected:
    void SetUp() override
    {
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

    void setWritable(bool writable)
    {
        const QFile::Permissions readable = QFile::ReadOwner | QFile::ExeOwner;
        QFile::setPermissions(folder(), writable ? readable | QFile::WriteOwner : readable);
    }

    QTemporaryDir config;
    QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    QStringList log;
};

TEST_F(AutostartTest, WritesAnEntryTheDesktopStartsAndReadsOneChangedElsewhereAsTheDesktopDoes)
{
    EXPECT_FALSE(autostart::isEnabled());
    ASSERT_TRUE(autostart::setEnabled(true));
    EXPECT_TRUE(autostart::isEnabled());
    QFile file(autostart::entryPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto entry = parseDesktopEntry(file.readAll(), QStringLiteral("io.morvik.ravlet.desktop"), QString());
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->program, QStringLiteral("ravlet"));
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files), QStringList{"io.morvik.ravlet.desktop"}) << "no temporary left";
    ASSERT_TRUE(autostart::setEnabled(false));
    EXPECT_FALSE(QFile::exists(autostart::entryPath()));
    EXPECT_TRUE(autostart::setEnabled(false)) << "already off";

    const std::pair<QByteArray, bool> found[] = {
        {kOurs, true},
        {kOurs + "Hidden=true\n", false},
        {kOurs + "X-GNOME-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nType=Application\nName=Other\nExec=other-mixer --tray\n", false},
        {"not a desktop entry\n", false}};
    for (const auto& [contents, enabled] : found) {
        write(contents);
        EXPECT_EQ(autostart::isEnabled(), enabled) << contents.constData();
    }
    // A FIFO at the path: read as off at once, not waited on for a writer.
    ASSERT_TRUE(QFile::remove(autostart::entryPath()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(autostart::entryPath()).constData(), 0600), 0);
    EXPECT_FALSE(autostart::isEnabled());
    ASSERT_TRUE(autostart::setEnabled(true));
    EXPECT_TRUE(autostart::isEnabled()) << "turning on replaces the FIFO";
    write(kOurs + "Hidden=true\n");
    ASSERT_TRUE(autostart::setEnabled(true));
    EXPECT_TRUE(autostart::isEnabled()) << "turning on replaces a hidden entry";
    EXPECT_EQ(log, QStringList());

    qputenv("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(autostart::entryPath(), QDir::homePath() + QStringLiteral("/.config/autostart/io.morvik.ravlet.desktop"));
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
    write(kOurs);
    setWritable(false);
    item.setEnabled(false);
    EXPECT_TRUE(item.enabled()) << "still on disk";
    setWritable(true);
    write(kOurs + "Hidden=true\n");
    setWritable(false);
    item.setEnabled(true);
    EXPECT_FALSE(item.enabled()) << "the hidden entry stays";
    setWritable(true);
    EXPECT_EQ(log.size(), 3) << log.join('\n').toStdString();
}

} // namespace
