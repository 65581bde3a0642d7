#include "linux_process_inspector.h"
#include "simulated_process_inspector.h"

#include <QFile>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <unistd.h>

namespace {

TEST(SimulatedProcessInspector, AnswersFromItsScript)
{
    SimulatedProcessInspector inspector;
    inspector.addProcess(10, QStringLiteral("/Applications/Safari.app/Contents/MacOS/Safari"));
    inspector.addProcess(11, QStringLiteral("/System/WebContent"), 10);

    std::array<char, 8> small{};
    EXPECT_EQ(inspector.pidPath(10, small.data(), small.size()), 7);
    EXPECT_STREQ(small.data(), "/Applic");
    std::array<char, 64> buffer{};
    EXPECT_EQ(inspector.pidPath(11, buffer.data(), buffer.size()), 18);
    EXPECT_STREQ(buffer.data(), "/System/WebContent");
    EXPECT_EQ(inspector.pidPath(12, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(inspector.pidPathCalls(), 3);

    EXPECT_EQ(inspector.responsiblePid(11), 10);
    EXPECT_EQ(inspector.responsiblePid(12), 0);
    inspector.setResponsibilityLookupAvailable(false);
    EXPECT_FALSE(inspector.hasResponsibilityLookup());
    EXPECT_EQ(inspector.responsiblePid(11), 0);

    inspector.setDisplayName(QStringLiteral("/Applications/Safari.app"), QStringLiteral("Safari"));
    EXPECT_EQ(inspector.displayNameAtPath(QStringLiteral("/Applications/Safari.app")), QStringLiteral("Safari"));
    EXPECT_EQ(inspector.displayNameAtPath(QStringLiteral("/Applications/Mail.app/")), QStringLiteral("Mail.app"));
}

TEST(LinuxProcessInspector, ReadsTheRunningProcess)
{
    LinuxProcessInspector inspector;
    EXPECT_EQ(inspector.currentPid(), ::getpid());
    EXPECT_FALSE(inspector.hasResponsibilityLookup());

    const QByteArray expected = QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toUtf8();
    ASSERT_FALSE(expected.isEmpty());
    std::array<char, 4096> buffer{};
    EXPECT_EQ(inspector.pidPath(inspector.currentPid(), buffer.data(), buffer.size()), expected.size());
    EXPECT_EQ(QByteArray(buffer.data()), expected);

    std::array<char, 5> small{};
    small.fill('x');
    EXPECT_EQ(inspector.pidPath(inspector.currentPid(), small.data(), small.size()), 4);
    EXPECT_EQ(QByteArray(small.data()), expected.left(4));

    EXPECT_LE(inspector.pidPath(-1, buffer.data(), buffer.size()), 0);
    EXPECT_LE(inspector.pidPath(0x7fffffff, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(inspector.displayNameAtPath(QStringLiteral("/usr/lib/Tool.app/")), QStringLiteral("Tool.app"));
}

}
