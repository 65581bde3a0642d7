// Light or dark: the desktop portal's colour scheme, answered by a stand-in
// portal on a private session bus, and the palette when it has no answer.

#include "appearance.h"
#include "support/private_bus.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QString kGroup = QStringLiteral("org.freedesktop.appearance");

// The Settings interface as xdg-desktop-portal serves it: Read wraps the
// value in one variant too many; older portals have no ReadOne.
class StandInPortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    uint scheme = 1;
    bool hasReadOne = true, answers = true;
    QStringList calls;

    void change(const QString& group, uint value)
    {
        emit SettingChanged(group, QStringLiteral("color-scheme"), QDBusVariant(value));
    }

public slots:
    QDBusVariant Read(const QString&, const QString&)
    {
        return answer(QStringLiteral("Read"), QDBusVariant(QVariant::fromValue(QDBusVariant(scheme))));
    }
    QDBusVariant ReadOne(const QString&, const QString&)
    {
        if (hasReadOne)
            return answer(QStringLiteral("ReadOne"), QDBusVariant(scheme));
        calls.append(QStringLiteral("ReadOne"));
        sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("no ReadOne here"));
        return {};
    }

signals:
    void SettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    QDBusVariant answer(const QString& call, const QDBusVariant& value)
    {
        calls.append(call);
        setDelayedReply(!answers);
        return value;
    }
};

class AppearanceTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(privateBus.running()) << "dbus-daemon is needed"; }
    void TearDown() override { QGuiApplication::setPalette(light); }

    QDBusConnection bus(const char* name) { return privateBus.connect(QLatin1String(name)); }

    void servePortal()
    {
        privateBus.disconnect(QStringLiteral("portal"));
        QDBusConnection connection = bus("portal");
        ASSERT_TRUE(connection.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                              QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
        ASSERT_TRUE(connection.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    }

    static void setDarkPalette()
    {
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(30, 30, 30));
        QGuiApplication::setPalette(dark);
    }

    PrivateBus privateBus;
    QPalette light = QGuiApplication::palette();
    StandInPortal portal;
};

TEST_F(AppearanceTest, ThePortalsSchemeDecidesAndItsChangesFollowLive)
{
    for (const bool hasReadOne : {true, false}) {
        SCOPED_TRACE(hasReadOne ? "ReadOne" : "Read only");
        portal.hasReadOne = hasReadOne;
        portal.calls.clear();
        ASSERT_NO_FATAL_FAILURE(servePortal());
        Appearance appearance(bus("ravlet"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return appearance.dark(); }, 2000));
        EXPECT_EQ(portal.calls, (hasReadOne ? QStringList{"ReadOne"} : QStringList{"ReadOne", "Read"}));

        QSignalSpy changes(&appearance, &Appearance::darkChanged);
        portal.change(kGroup, 2);
        EXPECT_TRUE(changes.wait(2000) && !appearance.dark());
        portal.change(QStringLiteral("org.example.other"), 1);
        EXPECT_FALSE(changes.wait(200)) << "another setting";
        portal.change(kGroup, 1);
        EXPECT_TRUE(changes.wait(2000) && appearance.dark());
        // No preference: the palette decides, and keeps deciding.
        portal.change(kGroup, 0);
        EXPECT_TRUE(changes.wait(2000) && !appearance.dark());
        setDarkPalette();
        EXPECT_TRUE(appearance.dark());
        QGuiApplication::setPalette(light);
        privateBus.disconnect(QStringLiteral("ravlet"));
    }
}

TEST_F(AppearanceTest, WithoutAnAnswerInTimeThePaletteDecides)
{
    setDarkPalette();
    {
        Appearance appearance(bus("ravlet"));
        QTest::qWait(200);
        EXPECT_TRUE(appearance.dark()) << "no portal on the bus";
    }
    privateBus.disconnect(QStringLiteral("ravlet"));

    portal.answers = false;
    ASSERT_NO_FATAL_FAILURE(servePortal());
    const QDBusConnection connection = bus("ravlet");
    QElapsedTimer clock;
    clock.start();
    Appearance appearance(connection);
    EXPECT_LT(clock.elapsed(), Appearance::kTimeoutMs) << "nobody waits for the portal";
    QTest::qWait(Appearance::kTimeoutMs + 200);
    EXPECT_TRUE(appearance.dark());
    QGuiApplication::setPalette(light);
    EXPECT_FALSE(appearance.dark());
    portal.change(kGroup, 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return appearance.dark(); }, 2000)) << "a portal that wakes up later";
}

} // namespace

#include "appearance_test.moc"
