// The tray item as hosts see it: a stand-in StatusNotifierWatcher and host on
// a private session bus register it, read it and click, scroll and
// middle-click it, and come and go.

#include "dbus_menu.h"
#include "status_item.h"
#include "stand_in_watcher.h"
#include "status_menu.h"
#include "status_notifier_item.h"
#include "support/files.h"
#include "support/private_bus.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusObjectPath>
#include <QApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <tuple>

namespace {

class Counter : public QObject {
    Q_OBJECT
public:
    int count = 0;
public slots:
    void hit() { ++count; }
};

QIcon redSquares()
{
    QIcon icon;
    for (const int size : {16, 22}) {
        QPixmap pixmap(size, size);
        pixmap.fill(QColor(255, 0, 0));
        icon.addPixmap(pixmap);
    }
    return icon;
}

class StatusNotifierItemTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus.running()) << "dbus-daemon is needed"; }

    void serveWatcher() { ASSERT_TRUE(watcher.serve(bus.connect(QStringLiteral("watcher")))); }
    void stopWatcher() { bus.disconnect(QStringLiteral("watcher")); }

    std::unique_ptr<StatusItem> makeItem()
    {
        return StatusItem::create(redSquares(), QStringLiteral("Ravlet"), bus.connect("ravlet"));
    }
    bool registered(int times = 1)
    {
        return QTest::qWaitFor([&] { return watcher.items.size() == times; }, 2000);
    }

    // A call of the host's on the item, answered before it returns.
    QDBusMessage call(const QString& method, const QVariantList& arguments, const QString& host = "host",
                      const QString& path = StatusNotifierItem::kItemPath,
                      const QString& interface = "org.kde.StatusNotifierItem")
    {
        QDBusMessage message = QDBusMessage::createMethodCall(watcher.items.value(0), path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = bus.connect(host).asyncCall(message);
        EXPECT_TRUE(QTest::qWaitFor([&] { return pending.isFinished(); }, 2000)) << qPrintable(method);
        return pending.reply();
    }
    QVariant property(const QString& name)
    {
        const QDBusMessage reply = call("Get", {QStringLiteral("org.kde.StatusNotifierItem"), name}, "host",
                                        StatusNotifierItem::kItemPath, "org.freedesktop.DBus.Properties");
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    PrivateBus bus;
    StandInWatcher watcher;
};

TEST_F(StatusNotifierItemTest, FollowsTheTrayHostAsItComesAndGoes)
{
    const auto item = makeItem();
    EXPECT_TRUE(QTest::qWaitFor([&] { return item->surface() == QStringLiteral("button"); }, 2000))
        << "no tray at all";

    watcher.hostRegistered = false;
    ASSERT_NO_FATAL_FAILURE(serveWatcher());
    QTest::qWait(200);
    EXPECT_EQ(item->surface(), QStringLiteral("button")) << "a watcher, but nothing shows its items";

    watcher.announceHost();
    ASSERT_TRUE(registered());
    EXPECT_EQ(item->surface(), QStringLiteral("status notifier item"));
    EXPECT_TRUE(watcher.items[0].startsWith(QStringLiteral("org.kde.StatusNotifierItem-")));
    EXPECT_EQ(watcher.senders[0], bus.connect("ravlet").baseService());

    // A panel that restarts finds the item again, and it stays the same one.
    stopWatcher();
    QTest::qWait(100);
    ASSERT_NO_FATAL_FAILURE(serveWatcher());
    ASSERT_TRUE(registered(2));
    EXPECT_EQ(watcher.items[1], watcher.items[0]);

    // One that is gone for good leaves the button in its place.
    stopWatcher();
    EXPECT_TRUE(QTest::qWaitFor([&] { return item->surface() == QStringLiteral("button"); }, 5000));
}

TEST_F(StatusNotifierItemTest, PassesOnTheClickWithItsPlaceTheWheelAndTheMiddleButton)
{
    ASSERT_NO_FATAL_FAILURE(serveWatcher());
    const auto item = makeItem();
    ASSERT_TRUE(registered());
    QSignalSpy clicks(item.get(), &StatusItem::clicked);
    QSignalSpy wheel(item.get(), &StatusItem::scrolled);
    QSignalSpy middle(item.get(), &StatusItem::secondaryClicked);

    call("Activate", {300, 20});
    EXPECT_EQ(clicks.size(), 1);
    EXPECT_TRUE(item->geometry().contains(300, 20)) << "the popover opens at the click";
    call("ContextMenu", {0, 0});
    EXPECT_EQ(clicks.size(), 2) << "no menu of its own: the right button opens the mixer too";
    EXPECT_FALSE(item->geometry().isValid()) << "a host that does not know where: the popover places itself";
    call("SecondaryActivate", {300, 20});
    EXPECT_EQ(middle.size(), 1);

    // Plasma's units: 120 a notch, positive away from the user, and a
    // touchpad's fractions add up.
    for (const auto& [delta, orientation] : {std::pair{120, "vertical"}, {-240, "Vertical"}, {60, "vertical"},
                                             {60, "vertical"}, {120, "horizontal"}})
        call("Scroll", {delta, QString::fromLatin1(orientation)});
    EXPECT_EQ(wheel, (QList<QVariantList>{{1}, {-2}, {1}}));

    // GNOME Shell's: 1 a notch, positive towards the user.
    ASSERT_TRUE(bus.connect("shell").registerService(QStringLiteral("org.gnome.Shell")));
    call("Scroll", {1, QStringLiteral("vertical")}, "shell");
    call("Scroll", {-2, QStringLiteral("vertical")}, "shell");
    EXPECT_EQ(wheel, (QList<QVariantList>{{1}, {-2}, {1}, {-1}, {2}}));
    // A peer that let the name go is one of Plasma's kind again.
    ASSERT_TRUE(bus.connect("shell").unregisterService(QStringLiteral("org.gnome.Shell")));
    call("Scroll", {120, QStringLiteral("vertical")}, "shell");
    EXPECT_EQ(wheel.size(), 6);
    EXPECT_EQ(wheel.last(), QVariantList{1});
}

// With no tray host, the corner button stands in and takes what the item
// would: the wheel, the middle button, and a tooltip shown over a window
// that never becomes the active one.
TEST_F(StatusNotifierItemTest, WithoutAHostTheCornerButtonTakesTheWheelAndTheMiddleButtonAndShowsItsToolTip)
{
    const auto item = makeItem();
    ASSERT_TRUE(QTest::qWaitFor([&] { return item->surface() == QStringLiteral("button"); }, 3000));
    QToolButton* button = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QToolButton*>(widget); found && found->isVisible())
            button = found;
    ASSERT_TRUE(button);
    QSignalSpy clicks(item.get(), &StatusItem::clicked);
    QSignalSpy wheel(item.get(), &StatusItem::scrolled);
    QSignalSpy middle(item.get(), &StatusItem::secondaryClicked);

    for (const int delta : {120, -240, 60, 60}) {
        QWheelEvent event(QPointF(8, 8), button->mapToGlobal(QPointF(8, 8)), {}, QPoint(0, delta), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(button, &event);
    }
    EXPECT_EQ(wheel, (QList<QVariantList>{{1}, {-2}, {1}}));
    QTest::mouseClick(button, Qt::MiddleButton);
    QTest::mousePress(button, Qt::MiddleButton);
    QTest::mouseRelease(button, Qt::MiddleButton, {}, QPoint(-20, -20));
    EXPECT_EQ(middle.size(), 1) << "once: the second let go off the button";
    EXPECT_EQ(clicks.size(), 0);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(clicks.size(), 1);

    item->setToolTip(QStringLiteral("Speakers \u2014 40 %"));
    // As on a desktop: the button never takes the focus, the click above did here.
    QApplication::setActiveWindow(nullptr);
    ASSERT_FALSE(button->isActiveWindow());
    QTest::mouseMove(button, QPoint(10, 10));
    QTest::mouseMove(button, QPoint(12, 12));
    EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 3000));
    EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("Speakers \u2014 40 %"))) << QToolTip::text().toStdString();
}

TEST_F(StatusNotifierItemTest, ShowsItsNameSymbolAndToolTip)
{
    sni::registerTypes();
    QTemporaryDir data;
    writeFile(data.path() + "/icons/hicolor/symbolic/apps/" + StatusNotifierItem::kSymbolicIconName + ".svg", {});
    const QByteArray savedDataDirs = qgetenv("XDG_DATA_DIRS");
    qputenv("XDG_DATA_DIRS", data.path().toUtf8());
    ASSERT_NO_FATAL_FAILURE(serveWatcher());
    const auto item = makeItem();
    const bool found = registered();
    qputenv("XDG_DATA_DIRS", savedDataDirs);
    ASSERT_TRUE(found);

    const std::pair<const char*, QVariant> properties[] = {
        {"Id", "ravlet"}, {"Title", "Ravlet"}, {"Category", "Hardware"}, {"Status", "Active"},
        {"ItemIsMenu", false},   // a left click activates
        {"IconName", StatusNotifierItem::kSymbolicIconName}, {"IconThemePath", data.path() + "/icons"}};
    for (const auto& [name, value] : properties)
        EXPECT_EQ(property(name), value) << name;
    EXPECT_EQ(property("Menu").value<QDBusObjectPath>().path(), QStringLiteral("/NO_DBUSMENU"));

    const auto pixmaps = qdbus_cast<sni::Pixmaps>(property("IconPixmap").value<QDBusArgument>());
    ASSERT_EQ(pixmaps.size(), 2);
    EXPECT_EQ(pixmaps[1].width, 22);
    ASSERT_EQ(pixmaps[1].argb.size(), 22 * 22 * 4);
    EXPECT_EQ(pixmaps[1].argb.left(4), QByteArray("\xff\xff\x00\x00", 4)) << "ARGB in network byte order";

    Counter newToolTips;
    ASSERT_TRUE(bus.connect("host").connect(watcher.items[0], StatusNotifierItem::kItemPath,
                                            QStringLiteral("org.kde.StatusNotifierItem"),
                                            QStringLiteral("NewToolTip"), &newToolTips, SLOT(hit())));
    item->setToolTip(QStringLiteral("Speakers \u2014 50%"));
    item->setToolTip(QStringLiteral("Speakers \u2014 50%"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return newToolTips.count == 1; }, 2000));
    QTest::qWait(100);
    EXPECT_EQ(newToolTips.count, 1) << "only a change is announced";
    const auto toolTip = qdbus_cast<sni::ToolTip>(property("ToolTip").value<QDBusArgument>());
    EXPECT_EQ(toolTip.title, QStringLiteral("Ravlet"));
    EXPECT_EQ(toolTip.text, QStringLiteral("Speakers \u2014 50%"));
}

TEST_F(StatusNotifierItemTest, OffersItsMenuAsTheHostDrawsItAndTakesItsClicks)
{
    StatusMenu menu;
    QAction* open = menu.addAction(QStringLiteral("Open Ravlet"));
    QAction* mute = menu.addAction(QStringLiteral("Mute &Output"));
    mute->setCheckable(true);
    menu.addSeparator();
    QAction* hidden = menu.addAction(QStringLiteral("Later_Maybe"));
    hidden->setVisible(false);
    bool muted = false;
    QObject::connect(&menu, &StatusMenu::aboutToShow, [&] { mute->setChecked(muted); });
    QSignalSpy opened(open, &QAction::triggered);

    ASSERT_NO_FATAL_FAILURE(serveWatcher());
    const auto item = makeItem();
    item->setMenu(&menu);
    ASSERT_TRUE(registered());
    ASSERT_EQ(property("Menu").value<QDBusObjectPath>().path(), StatusNotifierItem::kMenuPath);

    dbusmenu::registerTypes();
    const auto menuCall = [&](const QString& method, const QVariantList& arguments) {
        return call(method, arguments, "host", StatusNotifierItem::kMenuPath, "com.canonical.dbusmenu");
    };
    const auto layout = [&] {
        const QDBusMessage reply = menuCall("GetLayout", {0, -1, QStringList()});
        return qdbus_cast<dbusmenu::LayoutItem>(reply.arguments().value(1));
    };
    dbusmenu::LayoutItem root = layout();
    ASSERT_EQ(root.children.size(), 4);
    const std::tuple<int, const char*, QVariant> drawn[] = {
        {0, "label", "Open Ravlet"}, {1, "label", "Mute _Output"}, {1, "toggle-type", "checkmark"}, {1, "toggle-state", 0},
        {2, "type", "separator"}, {3, "label", "Later__Maybe"}, {3, "visible", false}};
    for (const auto& [index, key, value] : drawn)
        EXPECT_EQ(root.children[index].properties.value(key).toString(), value.toString()) << index << key;

    // Changed elsewhere (the middle button): the host asks before showing.
    Counter layoutUpdates;
    ASSERT_TRUE(bus.connect("host").connect(watcher.items[0], StatusNotifierItem::kMenuPath,
                                            QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("LayoutUpdated"),
                                            &layoutUpdates, SLOT(hit())));
    muted = true;
    EXPECT_TRUE(menuCall("AboutToShow", {0}).arguments().value(0).toBool()) << "the layout changed";
    EXPECT_TRUE(QTest::qWaitFor([&] { return layoutUpdates.count == 1; }, 2000));
    EXPECT_EQ(layout().children[1].properties.value("toggle-state").toInt(), 1);
    EXPECT_FALSE(menuCall("AboutToShow", {0}).arguments().value(0).toBool()) << "nothing changed since";

    menuCall("Event", {root.children[0].id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_TRUE(QTest::qWaitFor([&] { return opened.size() == 1; }, 2000));
    menuCall("Event", {root.children[0].id, QStringLiteral("hovered"), QVariant::fromValue(QDBusVariant(0)), 0u});
    EXPECT_EQ(menuCall("Event", {99, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u}).type(),
              QDBusMessage::ErrorMessage);
    QTest::qWait(50);
    EXPECT_EQ(opened.size(), 1) << "only a click on the entry triggers it";
}

} // namespace

#include "status_notifier_item_test.moc"
