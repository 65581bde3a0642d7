#include "json_user_defaults.h"
#include "memory_user_defaults.h"
#include "support/files.h"
#include "system_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <limits>
#include <ostream>
#include <string>
#include <sys/resource.h>

namespace {

class DefaultsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        setSystemLogSink([this](const QString& line) { m_log.append(line); });
    }
    void TearDown() override { setSystemLogSink({}); }

    QString path() const { return m_dir.filePath(QStringLiteral("ravlet/defaults.json")); }
    void write(const QByteArray& bytes) { writeFile(path(), bytes); }

    QTemporaryDir m_dir;
    QStringList m_log;
};

TEST_F(DefaultsTest, EveryTypeSurvivesAFreshStoreAndUndecodableMembersAreKept)
{
    // What a hand edit left undecodable reads as absent but is never dropped from the file.
    write(R"({"count": 3, "raw": {"$data": "AAEC"}, "a": {"$data": 5}, "b": {"$data": "a!b"}, )"
              R"("c": {"$data": "", "x": 1}, "d": {"$other": 1}, "e": null, "f": [1, null]})");
    QByteArray everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte.append(char(b));
    const QVariantMap values{
        {"string", QStringLiteral("Grüße \"quoted\"\n")}, {"true", true}, {"one", 1.0},
        {"numbers", QVariantList{0.1, -2.5e-7, 5e-324, std::numeric_limits<double>::max(), 1e22}},
        {"bytes", everyByte}, {"no bytes", QByteArray()},
        {"nested", QVariantMap{{"list", QVariantList{false, QByteArray("\xff"), QVariantMap{}}}}},
        // Dictionaries shaped like stored data, or with '$' names, stay dictionaries.
        {"lookalike", QVariantMap{{"$data", QStringLiteral("AAEC")}}},
        {"dollars", QVariantMap{{"$", 1.0}, {"$$x", QByteArray("y")}}},
    };
    {
        JsonUserDefaults store(path());
        for (const char* key : {"a", "b", "c", "d", "e", "f"})
            EXPECT_FALSE(store.value(key).isValid()) << key;
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            store.setValue(it.key(), it.value());
        store.setValue("gone", true);
        store.removeValue("gone");
    }
    const QByteArray written = readFile(path());
    EXPECT_TRUE(written.contains(R"("$data": 5)") && written.contains(R"("$other": 1)")) << written.constData();

    JsonUserDefaults reread(path());
    EXPECT_EQ(reread.value("count"), QVariant(3.0));
    EXPECT_EQ(reread.value("raw"), QVariant(QByteArray("\0\1\2", 3)));
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        EXPECT_EQ(reread.value(it.key()).metaType(), it.value().metaType()) << it.key().toStdString();
        EXPECT_EQ(reread.value(it.key()), it.value()) << it.key().toStdString();
    }
    EXPECT_FALSE(reread.value("gone").isValid());
    EXPECT_TRUE(m_log.isEmpty()) << m_log.join('\n').toStdString();
}

// The memory store stands in for the file in engine tests, so it refuses the same values.
TEST_F(DefaultsTest, NonFiniteOrUnstorableValuesAreRefusedWhole)
{
    JsonUserDefaults json(path());
    MemoryUserDefaults memory;
    for (UserDefaults* store : std::initializer_list<UserDefaults*>{&json, &memory}) {
        store->setValue("k", 0.5);
        for (const QVariant& refused : {QVariant(std::nan("")), QVariant(QVariantMap{{"deep", QVariantList{-HUGE_VAL}}}),
                                        QVariant(7), QVariant()}) {
            m_log.clear();
            store->setValue("k", refused);
            EXPECT_EQ(store->value("k"), QVariant(0.5));
            ASSERT_EQ(m_log.size(), 1);
            EXPECT_TRUE(m_log.first().startsWith("[ravlet] ") && m_log.first().contains("\"k\""));
        }
    }
    EXPECT_EQ(JsonUserDefaults(path()).value("k"), QVariant(0.5));
}

struct CorruptFile {
    const char* name;
    const char* bytes;
};

void PrintTo(const CorruptFile& file, std::ostream* out) { *out << file.name; }

class CorruptDefaultsTest : public DefaultsTest, public testing::WithParamInterface<CorruptFile> {};

TEST_P(CorruptDefaultsTest, IsMovedAsideIntactAndTheStoreStartsEmpty)
{
    const QByteArray bytes = GetParam().bytes;
    write(bytes);
    JsonUserDefaults store(path());
    const QString aside = store.movedAsidePath();
    ASSERT_TRUE(aside.startsWith(path() + ".unreadable-"));
    EXPECT_EQ(readFile(aside), bytes);
    ASSERT_EQ(m_log.size(), 1);
    EXPECT_TRUE(m_log.first().startsWith("[ravlet] ") && m_log.first().contains(aside));

    store.setValue("k", true);
    EXPECT_EQ(JsonUserDefaults(path()).value("k"), QVariant(true));
    write(bytes);
    EXPECT_NE(JsonUserDefaults(path()).movedAsidePath(), aside) << "within the same second, too";
    EXPECT_EQ(readFile(aside), bytes);
}

INSTANTIATE_TEST_SUITE_P(Files, CorruptDefaultsTest,
    testing::Values(CorruptFile{"CutOff", R"({"a": [1, 2)"}, CorruptFile{"NotText", "\x89PNG\r\n\x1a\n"},
                    CorruptFile{"NotAnObject", "[1, 2]"}, CorruptFile{"Empty", ""},
                    CorruptFile{"NumberBeyondDouble", R"({"beyond double": 1e999})"}),
    [](const testing::TestParamInfo<CorruptFile>& info) { return std::string(info.param.name); });

TEST_F(DefaultsTest, AnUnreadableFileThatCannotBeMovedAsideIsNeverSavedOver)
{
    const QByteArray bytes = "not json";
    write(bytes);
    // Every name it could go to is taken, for this second and on until the
    // second after the one the names are all made in (a busy machine takes
    // seconds for them); a dangling link is a name taken too.
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = 0; second <= now.secsTo(QDateTime::currentDateTime()) + 1; ++second) {
        const QString base = path() + ".unreadable-" + now.addSecs(second).toString("yyyyMMdd-HHmmss");
        for (int attempt = 1; attempt <= 1000; ++attempt)
            ASSERT_TRUE(QFile::link("nowhere", attempt == 1 ? base : base + '-' + QString::number(attempt)));
    }
    JsonUserDefaults store(path());
    EXPECT_TRUE(store.movedAsidePath().isEmpty());
    store.setValue("k", true);
    EXPECT_EQ(store.value("k"), QVariant(true));
    EXPECT_EQ(readFile(path()), bytes);
    ASSERT_EQ(m_log.size(), 1);
    EXPECT_TRUE(m_log.first().contains("nor moved aside")) << m_log.first().toStdString();
}

TEST_F(DefaultsTest, AFailedSaveKeepsTheOldFileAndTheNewValueAndSaysSoOnce)
{
    JsonUserDefaults store(path());
    store.setValue("k", QStringLiteral("old"));
    EXPECT_EQ((QFile::permissions(path()) & 0x0777).toInt(), 0x0600) << "settings name what the user runs";
    const QByteArray before = readFile(path());
    const QString big(4096, QLatin1Char('x'));
    // A file size limit stands in for a full disk; unlike a read-only
    // directory it also stops root. Nothing may print while it is in force.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limit{rlim_t(before.size()), saved.rlim_max};
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    store.setValue("k", big);
    store.setValue("k", big + big);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_EQ(readFile(path()), before);
    EXPECT_EQ(QDir(QFileInfo(path()).absolutePath()).entryList(QDir::Files), QStringList{"defaults.json"});
    EXPECT_EQ(store.value("k"), big + big);
    ASSERT_EQ(m_log.size(), 1) << m_log.join('\n').toStdString();
    EXPECT_TRUE(m_log.first().startsWith("[ravlet] could not save settings to " + path()));

    store.setValue("k", QStringLiteral("later"));
    EXPECT_EQ(JsonUserDefaults(path()).value("k"), QStringLiteral("later"));
}

} // namespace
