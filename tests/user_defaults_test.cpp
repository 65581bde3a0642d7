// Tests of the user-defaults stores.

#include "json_user_defaults.h"
#include "memory_user_defaults.h"
#include "system_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

unsigned mode(const QString& path)
{
    struct stat info {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class DefaultsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        setSystemLogSink([this](const QString& line) { m_log.append(line); });
    }
    void TearDown() override { setSystemLogSink({}); }

    QString path() const { return m_dir.filePath(QStringLiteral("ravlet/defaults.json")); }
    void writeFile(const QByteArray& bytes)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path()).absolutePath()));
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }

    QTemporaryDir m_dir;
    QStringList m_log;
};

TEST_F(DefaultsTest, EveryTypeSurvivesAFreshStoreOnTheSameFile)
{
    QByteArray everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte.append(char(b));
    const QVariantMap values{
        {QStringLiteral("string"), QStringLiteral("Grüße \"quoted\"\n")},
        {QStringLiteral("true"), true},
        {QStringLiteral("one"), 1.0},
        {QStringLiteral("numbers"), QVariantList{0.1, -2.5e-7, 1e308, 5e-324, std::numeric_limits<double>::max(), 1e22}},
        {QStringLiteral("bytes"), everyByte},
        {QStringLiteral("no bytes"), QByteArray()},
        {QStringLiteral("nested"), QVariantMap{{QStringLiteral("list"), QVariantList{false, QByteArray("\xff"), QVariantMap{}}}}},
        // Dictionaries shaped like stored data, or with '$' names, stay dictionaries.
        {QStringLiteral("lookalike"), QVariantMap{{QStringLiteral("$data"), QStringLiteral("AAEC")}}},
        {QStringLiteral("dollars"), QVariantMap{{QStringLiteral("$"), 1.0}, {QStringLiteral("$$x"), QByteArray("y")}}},
    };
    {
        JsonUserDefaults store(path());
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            store.setValue(it.key(), it.value());
        store.setValue(QStringLiteral("gone"), true);
        store.removeValue(QStringLiteral("gone"));
    }
    EXPECT_EQ(mode(path()), 0600u);
    EXPECT_TRUE(readBytes(path()).contains(R"("bytes": {)" "\n" R"(        "$data": "AAECAw)"));

    JsonUserDefaults reread(path());
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const QVariant read = reread.value(it.key());
        EXPECT_EQ(read.metaType(), it.value().metaType()) << it.key().toStdString();
        EXPECT_EQ(read, it.value()) << it.key().toStdString();
    }
    EXPECT_FALSE(reread.value(QStringLiteral("gone")).isValid());
    EXPECT_TRUE(m_log.isEmpty()) << m_log.join('\n').toStdString();
}

TEST_F(DefaultsTest, HandWrittenMembersThatCannotBeDecodedReadAbsentButAreKept)
{
    const QByteArray undecodable = R"({"$data": 5}, "b": {"$data": "a!b"}, "c": {"$data": "", "x": 1}, )"
                                   R"("d": {"$other": 1}, "e": null, "f": [1, null])";
    writeFile(R"({"count": 3, "a": )" + undecodable + "}");
    JsonUserDefaults store(path());
    EXPECT_EQ(store.value(QStringLiteral("count")), QVariant(3.0));
    for (const char* key : {"a", "b", "c", "d", "e", "f"})
        EXPECT_FALSE(store.value(QString::fromLatin1(key)).isValid()) << key;

    store.setValue(QStringLiteral("count"), 4.0);
    const QByteArray written = readBytes(path());
    EXPECT_TRUE(written.contains(R"("$data": 5)")) << written.constData();
    EXPECT_TRUE(written.contains(R"("$other": 1)")) << written.constData();
    EXPECT_EQ(JsonUserDefaults(path()).value(QStringLiteral("count")), QVariant(4.0));
}

TEST_F(DefaultsTest, NonFiniteOrUnstorableValuesAreRefusedWhole)
{
    JsonUserDefaults json(path());
    MemoryUserDefaults memory;
    for (UserDefaults* store : {static_cast<UserDefaults*>(&json), static_cast<UserDefaults*>(&memory)}) {
        store->setValue(QStringLiteral("k"), 0.5);
        for (const QVariant& refused : {QVariant(std::numeric_limits<double>::quiet_NaN()),
                 QVariant(QVariantMap{{QStringLiteral("deep"), QVariantList{-std::numeric_limits<double>::infinity()}}}),
                 QVariant(7), QVariant()}) {
            m_log.clear();
            store->setValue(QStringLiteral("k"), refused);
            EXPECT_EQ(store->value(QStringLiteral("k")), QVariant(0.5));
            ASSERT_EQ(m_log.size(), 1);
            EXPECT_TRUE(m_log.first().startsWith(QStringLiteral("[ravlet] ")) && m_log.first().contains("\"k\""));
        }
    }
    EXPECT_EQ(JsonUserDefaults(path()).value(QStringLiteral("k")), QVariant(0.5));
    memory.removeValue(QStringLiteral("k"));
    memory.removeValue(QStringLiteral("k"));
    EXPECT_EQ(memory.writeCount(QStringLiteral("k")), 2) << "a refused value or removing nothing saves nothing";
}

class CorruptDefaultsTest : public DefaultsTest, public testing::WithParamInterface<const char*> {};

TEST_P(CorruptDefaultsTest, IsMovedAsideIntactAndTheStoreStartsEmpty)
{
    const QByteArray bytes = GetParam();
    writeFile(bytes);
    JsonUserDefaults store(path());
    const QString aside = store.movedAsidePath();
    ASSERT_TRUE(aside.startsWith(path() + QStringLiteral(".unreadable-")));
    EXPECT_EQ(readBytes(aside), bytes);
    ASSERT_EQ(m_log.size(), 1);
    EXPECT_TRUE(m_log.first().startsWith(QStringLiteral("[ravlet] ")) && m_log.first().contains(aside));

    store.setValue(QStringLiteral("k"), true);
    EXPECT_EQ(JsonUserDefaults(path()).value(QStringLiteral("k")), QVariant(true));
    writeFile(bytes);
    EXPECT_NE(JsonUserDefaults(path()).movedAsidePath(), aside) << "within the same second, too";
    EXPECT_EQ(readBytes(aside), bytes);
}

INSTANTIATE_TEST_SUITE_P(Files, CorruptDefaultsTest,
    testing::Values(R"({"a": [1, 2)", "\x89PNG\r\n\x1a\n", "[1, 2]", "", R"({"beyond double": 1e999})"));

TEST_F(DefaultsTest, ADirectoryAtThePathIsMovedAsideToo)
{
    ASSERT_TRUE(QDir().mkpath(path()));
    EXPECT_TRUE(QFileInfo(JsonUserDefaults(path()).movedAsidePath()).isDir());
    EXPECT_EQ(m_log.size(), 1);
}

TEST_F(DefaultsTest, AFailedSaveKeepsTheOldFileAndTheNewValueAndSaysSoOnce)
{
    JsonUserDefaults store(path());
    store.setValue(QStringLiteral("k"), QStringLiteral("old"));
    const QByteArray before = readBytes(path());
    const QString big(4096, QLatin1Char('x'));
    // A file size limit stands in for a full disk; unlike a read-only
    // directory it also stops root. Nothing may print while it is in force.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = rlim_t(before.size());
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    store.setValue(QStringLiteral("k"), big);
    store.setValue(QStringLiteral("k"), big + big);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_EQ(readBytes(path()), before);
    EXPECT_EQ(QDir(QFileInfo(path()).absolutePath()).entryList(QDir::Files), QStringList{"defaults.json"});
    EXPECT_EQ(store.value(QStringLiteral("k")), big + big);
    ASSERT_EQ(m_log.size(), 1) << m_log.join('\n').toStdString();
    EXPECT_TRUE(m_log.first().startsWith(QStringLiteral("[ravlet] could not save settings to ") + path()));

    ASSERT_EQ(chmod(QFile::encodeName(path()).constData(), 0640), 0);
    store.setValue(QStringLiteral("k"), QStringLiteral("later"));
    EXPECT_EQ(JsonUserDefaults(path()).value(QStringLiteral("k")), QStringLiteral("later"));
    EXPECT_EQ(mode(path()), 0640u) << "the user's choice of mode is kept";
}

} // namespace
