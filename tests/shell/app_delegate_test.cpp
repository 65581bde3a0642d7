// Opening and closing the popover from the status item, and following the
// size the mixer reports.

#include "app_delegate.h"
#include "meters.h"
#include "autostart_entry.h"
#include "no_update_offered.h"
#include "support/files.h"
#include "support/quick_items.h"
#include "support/simulated_scene.h"

#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QPalette>
#include <QQuickItem>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class FakeStatusItem final : public StatusItem {
public:
    QRect geometry() const override { return rect; }
    void setToolTip(const QString& text) override { toolTip = text; }

    QString toolTip;
    QRect rect{900, 0, 24, 24};
};

class AppDelegateTest : public testing::Test {
protected:
    void SetUp() override
    {
        savedConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        scene.addApp(QStringLiteral("Music"), 10);
        delegate = std::make_unique<AppDelegate>(EnginePlatform{scene.hardware, scene.processes, scene.defaults,
                                                                scene.diagPath()});
        delegate->applicationDidFinishLaunching(
            [this] {
                return UpdateServices{&noUpdate, [this] { ++cleanups; }, {}};
            },
            [this] {
                auto item = std::make_unique<FakeStatusItem>();
                statusItem = item.get();
                return item;
            });
    }

    void TearDown() override { qputenv("XDG_CONFIG_HOME", savedConfigHome); }

    int refreshes() const
    {
        return scene.hardware.callCount(SimulatedAudioHardware::Call::GetPropertyDataSize,
                                        kAudioHardwarePropertyProcessObjectList);
    }

    QTemporaryDir config;
    QByteArray savedConfigHome;
    SimulatedScene scene;
    NoUpdateOffered noUpdate;
    int cleanups = 0;
    FakeStatusItem* statusItem = nullptr;
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, LaunchCleansUpAndShowsNothingThenOpeningRefreshesOnceBeforeShowingAndClosingDoesNot)
{
    EXPECT_EQ(cleanups, 1);
    ASSERT_NE(delegate->popover(), nullptr);
    EXPECT_NE(delegate->popover()->root(), nullptr) << "the mixer view loads";
    EXPECT_FALSE(delegate->popover()->isShown());
    QCoreApplication::processEvents();
    EXPECT_NE(delegate->popover()->window().handle(), nullptr) << "made ready before the first click";
    EXPECT_FALSE(delegate->popover()->isShown()) << "and not shown for it";

    bool shownDuringRefresh = true;
    QObject::connect(&delegate->engine(), &RavletEngine::outputsChanged,
                     [this, &shownDuringRefresh] { shownDuringRefresh = delegate->popover()->isShown(); });
    const int before = refreshes();

    emit statusItem->clicked();
    EXPECT_EQ(refreshes(), before + 1);
    EXPECT_FALSE(shownDuringRefresh);
    EXPECT_TRUE(delegate->popover()->isShown());

    emit statusItem->clicked();
    EXPECT_EQ(refreshes(), before + 1);
    EXPECT_FALSE(delegate->popover()->isShown());

    // Closed, nothing follows the levels any more: the meters rest, and
    // nothing is read of the applications that play unmixed.
    for (int i = 0; i <= kDiagPumpsPerStart && delegate->engine().meterTimer().isActive(); ++i) {
        QCoreApplication::processEvents();
        delegate->engine().pumpMeters();
    }
    EXPECT_FALSE(delegate->engine().meterTimer().isActive());
}

TEST_F(AppDelegateTest, TheTrayItemsWheelMiddleButtonAndMenuActOnTheOutputAndItsToolTipSaysSo)
{
    RavletEngine& engine = delegate->engine();
    EXPECT_EQ(statusItem->toolTip, QStringLiteral("Speakers \u2014 50%"));
    emit statusItem->scrolled(2);
    EXPECT_FLOAT_EQ(engine.masterVolume(), 0.6f);
    EXPECT_EQ(statusItem->toolTip, QStringLiteral("Speakers \u2014 60%"));
    emit statusItem->scrolled(-20);
    engine.refresh();
    EXPECT_FLOAT_EQ(engine.masterVolume(), 0.0f) << "what the device took";

    emit statusItem->secondaryClicked();
    engine.refresh();
    EXPECT_TRUE(engine.masterMuted()) << "what the device took";
    EXPECT_EQ(statusItem->toolTip, QStringLiteral("Speakers \u2014 muted"));

    StatusMenu* menu = delegate->statusMenu();
    ASSERT_TRUE(menu);
    EXPECT_TRUE(std::ranges::none_of(QApplication::topLevelWidgets(), [](QWidget* w) { return qobject_cast<QMenu*>(w); }))
        << "a widget menu, and the widget style with it, made before anything asked for one";
    QMap<QString, QAction*> entries;
    for (QAction* entry : menu->actions())
        entries.insert(entry->text(), entry);
    ASSERT_EQ(entries.keys(), (QStringList{"", "Mute Output", "Open Ravlet", "Quit Ravlet", "Start at Login"}));
    EXPECT_TRUE(entries["Mute Output"]->isChecked()) << "muted by the middle button";
    entries["Mute Output"]->trigger();
    engine.refresh();
    EXPECT_FALSE(engine.masterMuted());

    emit menu->aboutToShow();
    EXPECT_FALSE(entries["Start at Login"]->isChecked());
    entries["Start at Login"]->trigger();
    EXPECT_TRUE(autostart::isEnabled());
    ASSERT_TRUE(QFile::remove(autostart::entryPath()));
    // As Qt's tray icon and the corner button open it.
    emit menu->menu()->aboutToShow();
    EXPECT_FALSE(entries["Start at Login"]->isChecked()) << "removed elsewhere since";

    entries["Open Ravlet"]->trigger();
    EXPECT_TRUE(delegate->popover()->isShown());
    QSignalSpy quits(delegate.get(), &AppDelegate::quitRequested);
    entries["Quit Ravlet"]->trigger();
    EXPECT_EQ(quits.size(), 1);
}

TEST_F(AppDelegateTest, ThePopoverTakesTheSizeTheMixerReportsButNoneOfOnePointOrLess)
{
    // One application with a master volume: 156 + 86 + 14.
    PopoverWindow& popover = *delegate->popover();
    ASSERT_NE(popover.root(), nullptr);
    EXPECT_EQ(popover.window().size(), QSize(400, 256));
    popover.applySize(400, 300);
    EXPECT_EQ(popover.window().size(), QSize(400, 300));

    popover.applySize(0, 0);
    popover.applySize(1, 500);
    popover.applySize(500, 0.5);
    EXPECT_EQ(popover.window().size(), QSize(400, 300));
}

// However far the status item is from the screen's edge, the cap is the
// screen's visible height less 30, and the popover stays on the screen.
TEST_F(AppDelegateTest, ALongPopoverIsCappedByTheScreensVisibleHeight)
{
    statusItem->rect = QRect(700, 40, 40, 40);
    for (qint32 pid = 20; pid < 40; ++pid)
        scene.addApp(QStringLiteral("App %1").arg(pid), pid);
    emit statusItem->clicked();
    QQuickWindow& window = delegate->popover()->window();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.height() == area.height() - 30; }, 2000)) << window.height();
    EXPECT_TRUE(area.contains(window.geometry()));
}

TEST_F(AppDelegateTest, TheHeadersMenuTurnsStartAtLoginOnAsTheDiskSaysByMouseOrKeys)
{
    emit statusItem->clicked();
    QQuickWindow& window = delegate->popover()->window();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto* header = delegate->popover()->root()->findChild<QQuickItem*>(QStringLiteral("header"));
    ASSERT_TRUE(header);
    // Made at its first opening.
    QObject* menu = nullptr;
    const auto opened = [&](auto open) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !menu || !menu->property("visible").toBool(); }, 2000));
        open();
        menu = header->findChild<QObject*>(QStringLiteral("headerMenu"));
        return menu ? menuEntry(menu, QStringLiteral("Start at Login")) : nullptr;
    };
    const auto byKeys = [&] { QTest::keyClick(&window, Qt::Key_F10, Qt::ShiftModifier); };

    QQuickItem* entry = opened([&] { QTest::mouseClick(&window, Qt::RightButton, {}, centre(header)); });
    ASSERT_TRUE(entry);
    EXPECT_FALSE(entry->property("checked").toBool());
    QTest::mouseClick(&window, Qt::LeftButton, {}, centre(entry));
    EXPECT_TRUE(autostart::isEnabled());

    writeFile(autostart::entryPath(), readFile(autostart::entryPath()) + "Hidden=true\n");
    entry = opened(byKeys);
    ASSERT_TRUE(entry);
    EXPECT_FALSE(entry->property("checked").toBool()) << "hidden by another tool since";
    // Opened by the keys, the first entry is highlighted: Return chooses it.
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_TRUE(autostart::isEnabled());
    entry = opened(byKeys);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->property("checked").toBool());

    QTest::keyClick(&window, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !menu->property("visible").toBool(); }, 2000));
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(delegate->popover()->isShown());
}

TEST_F(AppDelegateTest, ThePopoverFollowsTheAppearance)
{
    // No bus: the palette decides.
    Appearance appearance(QDBusConnection(QStringLiteral("no bus")));
    delegate->followAppearance(appearance);
    const QPalette light = QGuiApplication::palette();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    // Dark first: a view made after the change starts dark.
    for (const auto& [palette, isDark] : {std::pair{dark, true}, {light, false}, {dark, true}}) {
        QGuiApplication::setPalette(palette);
        EXPECT_EQ(delegate->popover()->root()->property("dark").toBool(), isDark);
    }
    QGuiApplication::setPalette(light);
}

} // namespace

// A login item the system wants approved first, handed to the delegate: the
// menu says so, in the item's own words.
TEST(AppDelegateLogin, TheMenuShowsTheWordsOfTheLoginItemItIsGiven)
{
    struct AwaitingApproval final : StartAtLogin {
        bool enabled() const override { return false; }
        QString text() const override { return QStringLiteral("Start at Login (Approve in System Settings)"); }
        void reload() override {}
        void setEnabled(bool) override {}
    };
    SimulatedScene scene;
    NoUpdateOffered noUpdate;
    AppDelegate delegate(EnginePlatform{scene.hardware, scene.processes, scene.defaults, scene.diagPath()},
                         std::make_unique<AwaitingApproval>());
    delegate.applicationDidFinishLaunching([&] { return UpdateServices{&noUpdate, [] {}, {}}; },
                                           [] { return std::make_unique<FakeStatusItem>(); });
    QStringList words;
    for (QAction* entry : delegate.statusMenu()->actions())
        words.append(entry->text());
    EXPECT_TRUE(words.contains(QStringLiteral("Start at Login (Approve in System Settings)"))) << words.join(", ").toStdString();
}
