#include "linux_process_inspector.h"

#include <QFile>

#include <gtest/gtest.h>

#include <array>
#include <unistd.h>

namespace {

TEST(LinuxProcessInspector, ReadsTheRunningProcess)
{
    LinuxProcessInspector inspector;
    const QByteArray expected = QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toUtf8();
    ASSERT_FALSE(expected.isEmpty());
    std::array<char, 4096> buffer{};
    EXPECT_EQ(inspector.pidPath(::getpid(), buffer.data(), buffer.size()), expected.size());
    EXPECT_EQ(QByteArray(buffer.data()), expected);

    // A short buffer still ends in a terminator.
    std::array<char, 5> small{};
    small.fill('x');
    EXPECT_EQ(inspector.pidPath(::getpid(), small.data(), small.size()), 4);
    EXPECT_EQ(QByteArray(small.data()), expected.left(4));

    EXPECT_LE(inspector.pidPath(-1, buffer.data(), buffer.size()), 0);
    EXPECT_LE(inspector.pidPath(0x7fffffff, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(inspector.displayNameAtPath(QStringLiteral("/usr/lib/Tool.app/")), QStringLiteral("Tool.app"));
}

} // namespace
