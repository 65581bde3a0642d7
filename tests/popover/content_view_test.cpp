// The popover itself, rendered on Qt's offscreen platform over an engine on
// simulated hardware: the size it reports, what it shows, and what a click or
// a drag in it does to the engine.

#include "popover.h"
#include "symbol_provider.h"
#include "view_logic.h"
#include "support/quick_items.h"
#include "support/simulated_scene.h"

#include <QAccessible>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlPropertyMap>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QtQuickTest/quicktest.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace {

class ContentViewTest : public testing::Test {
protected:
    void load(double screenHeight = 0.0, std::shared_ptr<const AppIconSource> icons = {}, bool recordingKnown = true)
    {
        engine = scene.makeEngine(recordingKnown);
        updater.insert({{QStringLiteral("updateAvailable"), false},
                        {QStringLiteral("latestVersion"), QString()},
                        {QStringLiteral("downloadURL"), QUrl()}});
        popover::prepareEngine(*view.engine(), std::move(icons));
        QObject::connect(view.engine(), &QQmlEngine::warnings, [this](const QList<QQmlError>& list) {
            for (const QQmlError& warning : list)
                warnings.append(warning.toString());
        });
        view.setInitialProperties({{QStringLiteral("engine"), QVariant::fromValue<QObject*>(engine.get())},
                                   {QStringLiteral("updater"), QVariant::fromValue<QObject*>(&updater)},
                                   {QStringLiteral("rowHeight"), 86.0},
                                   {QStringLiteral("screenAvailableHeight"), screenHeight}});
        view.setSource(popover::contentViewUrl());
        ASSERT_EQ(view.status(), QQuickView::Ready) << warnings.join(QLatin1Char('\n')).toStdString();
        root = view.rootObject();
        sizes = std::make_unique<QSignalSpy>(root, SIGNAL(sizeReported(double, double)));
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        ASSERT_TRUE(!sizes->isEmpty() || sizes->wait(2000)) << "the first size is reported once the view is up";
        settle();
    }

    void TearDown() override { EXPECT_EQ(warnings, QStringList()) << "the QML ran without errors"; }

    void settle() { ASSERT_TRUE(QQuickTest::qWaitForPolish(&view)); }

    void activate()
    {
        view.requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    }

    QSizeF reportedSize() const { return {sizes->constLast().at(0).toDouble(), sizes->constLast().at(1).toDouble()}; }

    QQuickItem* item(const char* objectName, QQuickItem* under = nullptr) const
    {
        QQuickItem* found = findNamed(under ? under : root, QLatin1String(objectName));
        if (!found)
            ADD_FAILURE() << "no item " << objectName;
        return found;
    }

    bool shown(const char* objectName, QQuickItem* under = nullptr) const
    {
        QQuickItem* found = item(objectName, under);
        return found && found->isVisible();
    }

    QString text(const char* objectName, QQuickItem* under = nullptr) const
    {
        QQuickItem* found = item(objectName, under);
        return found ? found->property("text").toString() : QString();
    }

    // The application rows on screen, top to bottom.
    QList<QQuickItem*> rows() const
    {
        QList<QQuickItem*> found = descendants(root);
        found.removeIf([](QQuickItem* i) { return !i->property("appId").isValid() || !i->isVisible(); });
        std::sort(found.begin(), found.end(),
                  [](QQuickItem* a, QQuickItem* b) { return a->mapToScene({}).y() < b->mapToScene({}).y(); });
        return found;
    }

    QQuickItem* row(const QString& id) const
    {
        for (QQuickItem* candidate : rows())
            if (candidate->property("appId").toString() == id)
                return candidate;
        ADD_FAILURE() << "no row for " << id.toStdString();
        return nullptr;
    }

    void click(QQuickItem* item)
    {
        ASSERT_TRUE(item);
        QTest::mouseClick(&view, Qt::LeftButton, {}, centre(item));
        settle();
    }

    void drag(QPoint from, QPoint to)
    {
        dragAcross(&view, from, to, 12);
        settle();
    }

    void key(Qt::Key key)
    {
        QTest::keyClick(&view, key);
        settle();
    }

    // delta in eighths of a degree, 120 a notch.
    void wheel(QPointF at, int delta, bool inverted = false)
    {
        QWheelEvent event(at, view.mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, inverted);
        QCoreApplication::sendEvent(&view, &event);
        settle();
    }

    // A row's menu (or one inside it, by name), made as its first opening
    // makes it.
    QObject* rowMenu(const QString& id, const QString& name = QStringLiteral("contextMenu"))
    {
        QMetaObject::invokeMethod(row(id), "rowMenu");
        return row(id)->findChild<QObject*>(name);
    }

    // The entry reading text of the menu the right button opens on a row.
    QQuickItem* contextMenuEntry(const QString& id, const QString& text)
    {
        QTest::mouseClick(&view, Qt::RightButton, {}, centre(item("icon", row(id))));
        return menuEntry(rowMenu(id), text);
    }

    QQuickItem* outputMenuEntry(const QString& text)
    {
        click(item("outputMenuButton"));
        return menuEntry(item("outputMenuButton")->findChild<QObject*>(QStringLiteral("outputMenu")), text);
    }

    void offerUpdate(const QString& version, const QUrl& download = {})
    {
        updater.insert({{QStringLiteral("downloadURL"), download},
                        {QStringLiteral("latestVersion"), version},
                        {QStringLiteral("updateAvailable"), true}});
        settle();
    }

    QString addApp(const QString& name) { return scene.addApp(name, nextPid++); }

    // A colour of the popover's palette, as it is now (light or dark).
    QColor style(const char* name)
    {
        QQmlComponent component(view.engine());
        component.setData("import QtQuick\nimport Ravlet.Popover\nQtObject { property QtObject style: Style }", QUrl());
        const std::unique_ptr<QObject> holder(component.create());
        return holder ? holder->property("style").value<QObject*>()->property(name).value<QColor>() : QColor();
    }

    QQuickItem* flickable() const { return item("appList")->property("contentItem").value<QQuickItem*>(); }
    qreal listY() const { return flickable()->property("contentY").toReal(); }

    void endProcess(qint32 pid)
    {
        scene.removeProcess(pid);
        engine->refresh();
        settle();
    }

    SimulatedScene scene;
    // Stands in for the update checker: the three properties the popover reads.
    QQmlPropertyMap updater;
    std::unique_ptr<RavletEngine> engine;
    QQuickView view;
    QQuickItem* root = nullptr;
    std::unique_ptr<QSignalSpy> sizes;
    QStringList warnings;
    qint32 nextPid = 10;
};

struct Layout {
    const char* name;
    int apps;
    bool supported;
    double screenHeight, height;
    bool scrolls;
    std::vector<const char*> visible, invisible;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class LayoutTest : public ContentViewTest, public testing::WithParamInterface<Layout> {};

TEST_P(LayoutTest, ReportsItsSizeAndShowsWhatApplies)
{
    const Layout& layout = GetParam();
    scene.hardware.setProcessTapsSupported(layout.supported);
    for (int i = 0; i < layout.apps; ++i)
        addApp(QStringLiteral("App %1").arg(i));
    ASSERT_NO_FATAL_FAILURE(load(layout.screenHeight));

    EXPECT_EQ(reportedSize(), QSizeF(400, layout.height));
    for (const char* name : layout.visible)
        EXPECT_TRUE(shown(name)) << name;
    for (const char* name : layout.invisible)
        EXPECT_FALSE(shown(name)) << name;
    if (layout.scrolls) {
        QQuickItem* list = item("appList");
        auto* flickable = list->property("contentItem").value<QQuickItem*>();
        // On the scroll bar too, as anywhere off a slider.
        wheel(list->mapToScene({list->width() - 3, list->height() / 2}), -360);
        EXPECT_TRUE(QTest::qWaitFor([&] { return flickable->property("contentY").toReal() > 0; }, 2000));

        // Up from nowhere goes to the last row, which the list scrolls to.
        flickable->setProperty("contentY", 0);
        ASSERT_NO_FATAL_FAILURE(activate());
        key(Qt::Key_Up);
        QQuickItem* last = rows().last();
        EXPECT_TRUE(last->hasActiveFocus());
        EXPECT_LE(last->mapToItem(list, {0, last->height()}).y(), list->height());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Popover, LayoutTest,
    testing::Values(
        Layout{"Empty", 0, true, 0, 256, false, {"emptyText", "masterSlider"}, {"appList", "unsupportedText", "updatePill"}},
        Layout{"Three", 3, true, 0, 428, false, {"appList", "masterSlider"}, {"emptyText", "unsupportedText", "updatePill"}},
        Layout{"TwentyOnASmallScreen", 20, true, 800, 770, true, {"appList"}, {"emptyText"}},
        Layout{"Unsupported", 1, false, 0, 220, false, {"unsupportedText"}, {"masterRow", "appList", "emptyText"}}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

TEST_F(ContentViewTest, TheMasterControlsFollowThePickedDevice)
{
    const AudioObjectID headphones = scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp"), 0.8f);
    for (const char* name : {"Music", "Browser", "Chat"})
        addApp(QString::fromLatin1(name));
    ASSERT_NO_FATAL_FAILURE(load());
    click(outputMenuEntry(QStringLiteral("Headphones")));
    EXPECT_EQ(scene.hardware.defaultOutputDevice(), headphones);
    EXPECT_EQ(text("masterPercentage"), QStringLiteral("80%")) << "the headphones' volume, not the speakers'";

    // Muting the device changes its button alone.
    QQuickItem* mute = item("masterMute");
    click(mute);
    EXPECT_EQ(scene.hardware.deviceMuted(headphones), true);
    EXPECT_EQ(mute->property("symbol").toString(), QStringLiteral("speaker.slash.fill"));
    EXPECT_EQ(text("masterPercentage"), QStringLiteral("80%"));
    EXPECT_FLOAT_EQ(float(item("masterSlider")->property("value").toDouble()), 0.8f);
    click(mute);
    EXPECT_EQ(scene.hardware.deviceMuted(headphones), false);

    // A device without a volume of its own loses the master row's controls,
    // one by one.
    scene.hardware.setDeviceVolume(headphones, std::nullopt);
    engine->refresh();
    settle();
    EXPECT_FALSE(shown("masterSlider"));
    EXPECT_FALSE(shown("masterPercentage"));
    EXPECT_TRUE(shown("masterMute"));
    EXPECT_EQ(reportedSize(), QSizeF(400, 428));
    scene.hardware.setDeviceMuted(headphones, std::nullopt);
    engine->refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return reportedSize() == QSizeF(400, 402); }, 2000));
    EXPECT_FALSE(shown("masterMute"));
}

// The notice follows the engine: shown once taps stayed silent while an
// application played, gone once one is heard.
TEST_F(ContentViewTest, TheRecordingNoticeShowsWhileTheLeaveToRecordIsMissing)
{
    scene.hardware.setRecordingPermission(SimulatedAudioHardware::RecordingPermission::Denied);
    scene.addApp(QStringLiteral("Music"), nextPid++, SimulatedAudioHardware::Signal::sine(440.0f, 0.5f));
    ASSERT_NO_FATAL_FAILURE(load(0.0, {}, false));
    EXPECT_FALSE(shown("recordingNotice"));
    scene.hardware.runCycles(200);
    engine->refresh();
    settle();
    ASSERT_TRUE(engine->recordingPermissionMissing());
    EXPECT_TRUE(shown("recordingNotice"));

    scene.hardware.setRecordingPermission(SimulatedAudioHardware::RecordingPermission::Granted);
    engine->recordingProbe().retry();
    scene.hardware.runCycles(2);
    engine->refresh();
    settle();
    EXPECT_FALSE(shown("recordingNotice"));
}

TEST_F(ContentViewTest, MovingARowsSliderSetsAndSavesItsGain)
{
    const QString music = addApp(QStringLiteral("Music"));
    ASSERT_NO_FATAL_FAILURE(load());
    QQuickItem* slider = item("volume", row(music));
    ASSERT_TRUE(slider);
    const auto saved = [&] { return scene.defaults.value(QStringLiteral("ravlet.gains")).toMap().value(music).toFloat(); };

    // By hand, from the handle at 100 % to a third of the way along.
    drag(sliderPoint(slider, 1.0 / 1.5), sliderPoint(slider, 0.5 / 1.5));
    EXPECT_NEAR(engine->gains().value(music), 0.5f, 0.02f);
    EXPECT_TRUE(QTest::qWaitFor([&] { return saved() == engine->gains().value(music); }, 2000)) << "the last move";
    EXPECT_EQ(text("percentage", row(music)), popover::percentText(engine->gains().value(music)));
    EXPECT_EQ(item("volume", row(music)), slider) << "the row, and the slider in use, are never rebuilt";
}

TEST_F(ContentViewTest, TheStateButtonMutesOrPicksUpARestartedApplication)
{
    const QString music = addApp(QStringLiteral("Music"));
    ASSERT_NO_FATAL_FAILURE(load());
    QQuickItem* musicRow = row(music);
    QQuickItem* button = item("stateButton", musicRow);
    const auto symbol = [&] { return button->property("symbol").toString(); };

    click(button);
    EXPECT_EQ(engine->mutes().value(music, false), true);
    EXPECT_EQ(symbol(), QStringLiteral("speaker.slash.fill"));
    click(button);
    EXPECT_EQ(engine->mutes().value(music, true), false);
    EXPECT_EQ(symbol(), QStringLiteral("speaker.wave.2.fill"));

    engine->setGain(music, 0.5f);
    endProcess(10);
    EXPECT_TRUE(shown("notRunning", musicRow));
    EXPECT_EQ(symbol(), QStringLiteral("arrow.clockwise"));
    EXPECT_TRUE(item("volume", musicRow)->isEnabled()) << "its gain can still be set";

    scene.addApp(QStringLiteral("Music"), 30);
    click(button);
    EXPECT_FALSE(shown("notRunning", musicRow));
}

TEST_F(ContentViewTest, TheHeaderShowsHiddenApplicationsOffersUpdatesAndQuits)
{
    const QString music = addApp(QStringLiteral("Music"));
    addApp(QStringLiteral("Chat"));
    ASSERT_NO_FATAL_FAILURE(load());
    engine->setHidden(music, true);
    settle();
    ASSERT_EQ(rows().size(), 1);

    click(item("showHidden"));
    ASSERT_EQ(rows().size(), 2);
    // Dimmed by its colours, its text never faded.
    const auto nameColour = [&] { return item("name", row(music))->property("color").value<QColor>(); };
    EXPECT_EQ(row(music)->opacity(), 1.0);
    EXPECT_EQ(nameColour(), style("primaryDimmed"));
    click(contextMenuEntry(music, QStringLiteral("Show Music")));
    EXPECT_FALSE(engine->hidden().contains(music));
    EXPECT_EQ(nameColour(), style("primary"));

    const QUrl download(QStringLiteral("https://updates.example/Ravlet-1.4.0.dmg"));
    offerUpdate(QStringLiteral("1.4.0"), download);
    QSignalSpy updates(root, SIGNAL(updateRequested(QString, QString)));
    QSignalSpy quits(root, SIGNAL(quitRequested()));
    click(item("updatePill"));
    EXPECT_EQ(updates, (QList<QVariantList>{{download.toString(), QStringLiteral("1.4.0")}}));
    click(item("power"));
    EXPECT_EQ(quits.count(), 1);
}

TEST_F(ContentViewTest, ARowDrawsItsIconAndOneWithoutAnyTheGreyTile)
{
    QTemporaryDir icons;
    QImage green(48, 48, QImage::Format_ARGB32);
    green.fill(Qt::green);
    ASSERT_TRUE(green.save(icons.filePath(QStringLiteral("radio.png"))));
    const QString radio = addApp(QStringLiteral("Radio"));
    const QString silent = addApp(QStringLiteral("Silent"));
    ASSERT_NO_FATAL_FAILURE(load(0.0, std::make_shared<DesktopIconSource>(IconTheme(QString(), {icons.path()}))));

    QQuickItem* icon = item("icon", row(radio));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !shown("placeholder", icon); }, 2000));
    EXPECT_EQ(view.grabWindow().pixelColor(centre(icon)), QColor(Qt::green));
    EXPECT_TRUE(shown("placeholder", row(silent)));
}

TEST_F(ContentViewTest, TextFromOtherProgramsIsShownAsWrittenAndNothingReachesTheNetwork)
{
    // Nothing answers here; a request that got through would never finish.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const QString remote = QStringLiteral("http://127.0.0.1:%1/x.png").arg(server.serverPort());
    const QString name = QStringLiteral("<b>Rock & Roll");
    const QString app = addApp(name);
    scene.addOutputDevice(name, QStringLiteral("rock-uid"));
    ASSERT_NO_FATAL_FAILURE(load());
    // As rich text it would be drawn bold without its tags, and a menu would
    // take the "&" for a shortcut marker: narrower either way.
    const auto drawnAsWritten = [](QQuickItem* text, const QString& written) {
        return text && std::abs(text->implicitWidth() - QFontMetricsF(text->property("font").value<QFont>())
                                                             .horizontalAdvance(written)) < 1.0;
    };
    EXPECT_TRUE(drawnAsWritten(item("name", row(app)), name));

    QQuickItem* entry = contextMenuEntry(app, QStringLiteral("Hide ") + name);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(drawnAsWritten(findNamed(entry, QStringLiteral("entryText")), QStringLiteral("Hide ") + name));
    QTest::keyClick(&view, Qt::Key_Escape);

    entry = outputMenuEntry(name);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(drawnAsWritten(item("entryText", entry), name));
    QTest::keyClick(&view, Qt::Key_Escape);

    offerUpdate(QStringLiteral("<img src=\"%1\">").arg(remote));
    EXPECT_TRUE(text("updatePillLabel").startsWith(QStringLiteral("\u2B06 <img src="))) << "shown as text, not loaded";

    // Whatever the views are made to load from the network fails at once.
    QQmlComponent component(view.engine());
    component.setData(QStringLiteral("import QtQuick\nImage { source: \"%1\" }").arg(remote).toUtf8(), QUrl());
    const std::unique_ptr<QObject> image(component.create());
    ASSERT_TRUE(image) << component.errorString().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return image->property("status").toInt() == 3; }, 5000)) << "Image.Error";
    EXPECT_FALSE(server.hasPendingConnections());
    warnings.removeIf([](const QString& warning) { return warning.contains("does not use the network"); });
}

TEST_F(ContentViewTest, KeysChangeTheRowTheyAreOn)
{
    addApp(QStringLiteral("Music"));
    addApp(QStringLiteral("Chat"));
    ASSERT_NO_FATAL_FAILURE(load());
    const QString top = rows()[0]->property("appId").toString();
    const QString bottom = rows()[1]->property("appId").toString();
    ASSERT_NO_FATAL_FAILURE(activate());
    const auto ringed = [&](QQuickItem* control) { return control->hasActiveFocus() && shown("focusRing", control); };
    const auto gain = [&](const QString& id) { return engine->gains().value(id, 1.0f); };
    const float master = engine->masterVolume();

    key(Qt::Key_Down);
    EXPECT_TRUE(ringed(item("masterSlider")));
    key(Qt::Key_Right);
    EXPECT_FLOAT_EQ(engine->masterVolume(), popover::steppedMasterVolume(master, 1));
    key(Qt::Key_M);
    EXPECT_EQ(scene.hardware.deviceMuted(scene.speakers), true);
    key(Qt::Key_Tab);
    EXPECT_TRUE(ringed(item("masterMute")));
    key(Qt::Key_M);
    EXPECT_EQ(scene.hardware.deviceMuted(scene.speakers), false);
    key(Qt::Key_Down);
    EXPECT_TRUE(ringed(item("volume", row(top)))) << "from either control of the master row";
    key(Qt::Key_Right);
    EXPECT_EQ(gain(top), 1.05f);
    key(Qt::Key_Home);
    EXPECT_EQ(gain(top), 1.0f);
    key(Qt::Key_M);
    EXPECT_TRUE(engine->mutes().value(top));
    key(Qt::Key_Down);
    key(Qt::Key_Down);
    EXPECT_TRUE(ringed(item("volume", row(bottom)))) << "the last row stays";
    key(Qt::Key_Left);
    EXPECT_EQ(gain(bottom), 0.95f);
    EXPECT_EQ(gain(top), 1.0f);
    key(Qt::Key_Tab);
    key(Qt::Key_M);
    EXPECT_TRUE(engine->mutes().value(bottom)) << "the keys act on the row, not only its slider";

    QSignalSpy closes(root, SIGNAL(closeRequested()));
    key(Qt::Key_Menu);
    QObject* menu = rowMenu(bottom);
    EXPECT_EQ(menu->property("currentIndex").toInt(), 0) << "opened by the keys: the first entry highlighted";
    key(Qt::Key_Escape);
    EXPECT_FALSE(menu->property("visible").toBool());
    EXPECT_TRUE(ringed(item("stateButton", row(bottom)))) << "the keys are back where they were";
    EXPECT_EQ(closes.count(), 0) << "Escape closed the menu only";
    // Up and Down enter a row at its slider, whichever control it had.
    key(Qt::Key_Up);
    EXPECT_TRUE(ringed(item("volume", row(top)))) << "not at the mute button last used there";
    key(Qt::Key_Tab);
    key(Qt::Key_Down);
    EXPECT_TRUE(ringed(item("volume", row(bottom))));

    // Return opens the row's menu too; Return in it chooses the first entry.
    key(Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 2000));
    EXPECT_EQ(menu->property("currentIndex").toInt(), 0);
    key(Qt::Key_Escape);
    key(Qt::Key_Escape);
    EXPECT_EQ(closes.count(), 1);
}

TEST_F(ContentViewTest, TabReachesEveryControlWithARingAndAName)
{
    addApp(QStringLiteral("Music"));
    const QString radio = addApp(QStringLiteral("Radio"));
    ASSERT_NO_FATAL_FAILURE(load());
    offerUpdate(QStringLiteral("1.4.0"));
    engine->setGain(radio, 0.5f);
    endProcess(11);
    ASSERT_TRUE(shown("notRunning", row(radio)));
    ASSERT_NO_FATAL_FAILURE(activate());

    QStringList reached;
    for (int i = 0; i < 20; ++i) {
        key(Qt::Key_Tab);
        QQuickItem* focused = view.activeFocusItem();
        ASSERT_TRUE(focused);
        if (!reached.isEmpty() && focused->objectName() == reached.first())
            break;
        reached.append(focused->objectName());
        EXPECT_TRUE(shown("focusRing", focused)) << reached.last().toStdString();
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(focused);
        ASSERT_TRUE(accessible);
        EXPECT_FALSE(accessible->text(QAccessible::Name).isEmpty()) << reached.last().toStdString();
        EXPECT_NE(accessible->role(), QAccessible::Client) << "a role of its own: " << reached.last().toStdString();
    }
    EXPECT_EQ(reached, (QStringList{"updatePill", "showHidden", "power", "outputMenuButton", "masterSlider",
                                    "masterMute", "volume", "stateButton", "volume", "stateButton"}));
}

TEST_F(ContentViewTest, LongNamesEllipsizeAndLeaveTheControlsInPlace)
{
    const QString latin = QString(QStringLiteral("Extraordinarily Long Application Name ")).repeated(6).left(200);
    const QString arabic = QString(QStringLiteral("مشغل الموسيقى العربي الطويل ")).repeated(8).left(200);
    const QString shortName = addApp(QStringLiteral("Music"));
    const QStringList longOnes{addApp(latin), addApp(arabic)};
    for (const char* name : {"Chat", "Browser", "Voice Notes"})
        addApp(QString::fromLatin1(name));
    ASSERT_NO_FATAL_FAILURE(load());
    for (QQuickItem* shown : rows())
        EXPECT_EQ(item("name", shown)->property("truncated").toBool(), longOnes.contains(shown->property("appId")))
            << "only a name too long for the row elides: " << shown->property("name").toString().left(20).toStdString();
    const QRectF popover(0, 0, 400, reportedSize().height());
    const auto rect = [](QQuickItem* i) { return i->mapRectToScene(QRectF(0, 0, i->width(), i->height())); };

    for (const QString& id : longOnes) {
        QQuickItem* shown = row(id);
        ASSERT_TRUE(shown);
        for (const char* control : {"stateButton", "percentage", "volume"}) {
            EXPECT_TRUE(rect(shown).contains(rect(item(control, shown)))) << control;
            EXPECT_EQ(rect(item(control, shown)).right(), rect(item(control, row(shortName))).right()) << control;
        }
        EXPECT_TRUE(popover.contains(rect(item("stateButton", shown))));
        EXPECT_LT(rect(item("name", shown)).right(), rect(item("percentage", shown)).left());
        click(item("stateButton", shown));
        EXPECT_TRUE(engine->mutes().value(id)) << "the mute button takes the click";
    }
}

TEST_F(ContentViewTest, HidingTheFocusedRowPassesTheKeysToTheNextRow)
{
    for (const char* name : {"Browser", "Chat", "Music"})
        addApp(QString::fromLatin1(name));
    ASSERT_NO_FATAL_FAILURE(load());
    ASSERT_NO_FATAL_FAILURE(activate());
    const QString chat = rows()[1]->property("appId").toString();
    const auto focusedRow = [&] {
        const QList<QQuickItem*> shown = rows();
        const auto found = std::find_if(shown.cbegin(), shown.cend(), [](QQuickItem* r) { return r->hasActiveFocus(); });
        return found == shown.cend() ? QString() : (*found)->property("appId").toString();
    };
    const auto hideFocused = [&] {
        QQuickItem* focused = row(focusedRow());
        ASSERT_TRUE(focused);
        key(Qt::Key_Menu);
        click(menuEntry(focused->findChild<QObject*>(QStringLiteral("contextMenu")),
                        "Hide " + focused->property("name").toString()));
    };

    key(Qt::Key_Down);
    key(Qt::Key_Down);
    hideFocused();
    EXPECT_EQ(focusedRow(), chat) << "the next row";
    key(Qt::Key_M);
    EXPECT_TRUE(engine->mutes().value(chat));
    key(Qt::Key_Down);
    hideFocused();
    EXPECT_EQ(focusedRow(), chat) << "the last row: the one before it";
    hideFocused();
    EXPECT_TRUE(item("masterSlider")->hasActiveFocus()) << "no row left: the master row";
    const float master = engine->masterVolume();
    key(Qt::Key_Left);
    EXPECT_FLOAT_EQ(engine->masterVolume(), popover::steppedMasterVolume(master, -1));
    QSignalSpy closes(root, SIGNAL(closeRequested()));
    key(Qt::Key_Escape);
    EXPECT_EQ(closes.count(), 1);

    // Every application hidden while they play: the list says so, and how
    // to show them.
    EXPECT_TRUE(text("emptyText").contains(QStringLiteral("3 apps playing audio are hidden")));
    EXPECT_TRUE(text("emptyText").contains(QStringLiteral("eye")));
}

TEST_F(ContentViewTest, RowsMoveByKeysAsByADragAndADragScrollsAtTheEdge)
{
    for (int i = 0; i < 12; ++i)
        addApp(QStringLiteral("App %1").arg(i, 2, 10, QLatin1Char('0')));
    ASSERT_NO_FATAL_FAILURE(load(600));
    // The rows on screen, in the engine's order.
    const auto ids = [&] {
        QStringList onScreen, listed;
        for (QQuickItem* shown : rows())
            onScreen.append(shown->property("appId").toString());
        for (const AppEntry& entry : engine->displayApps())
            listed.append(entry.id);
        EXPECT_EQ(onScreen, listed);
        return listed;
    };
    const QStringList before = ids();
    const auto stored = [&] { return scene.defaults.value(QStringLiteral("ravlet.order")).toStringList(); };
    ASSERT_NO_FATAL_FAILURE(activate());

    key(Qt::Key_Down);
    key(Qt::Key_Down);
    QTest::keyClick(&view, Qt::Key_Down, Qt::ControlModifier);
    settle();
    const QStringList byKeys = stored();
    EXPECT_EQ(ids().mid(0, 3), (QStringList{before[1], before[0], before[2]}));
    EXPECT_TRUE(row(before[0])->hasActiveFocus()) << "the keys stay with the moved row";
    QTest::keyClick(&view, Qt::Key_Up, Qt::ControlModifier);
    QTest::keyClick(&view, Qt::Key_Up, Qt::ControlModifier);
    settle();
    EXPECT_EQ(ids(), before) << "back, and no further than the top";

    // The same move by a drag, stored the same way: an image under the
    // pointer, a marker where it would land.
    QQuickItem* handle = item("dragHandle", row(before[0]));
    const QPoint from = centre(handle);
    pressAndMove(&view, from, QPoint(from.x(), centre(row(before[2])).y()), 10);
    settle();
    QQuickItem* image = item("dragImage");
    EXPECT_TRUE(image && image->isVisible());
    EXPECT_TRUE(shown("dropMarker", row(before[2])));
    EXPECT_FALSE(shown("dropMarker", row(before[1])));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, centre(row(before[2])));
    settle();
    EXPECT_EQ(stored(), byKeys);
    EXPECT_FALSE(image->isVisible());
    drag(centre(item("dragHandle", row(before[2]))), centre(row(before[2])));
    EXPECT_EQ(stored(), byKeys) << "onto itself: nothing moves";

    // Held at the list's bottom edge, the list scrolls to its end, and the
    // row goes where it was dropped, out of sight when the drag began: below
    // the last row, in the list's padding, to the end.
    ASSERT_EQ(listY(), 0);
    const QString last = ids().last();
    QQuickItem* list = item("appList");
    const QPoint edge = list->mapToScene({list->width() / 2, list->height() - 6}).toPoint();
    const QPoint start = centre(item("dragHandle", row(before[2])));
    pressAndMove(&view, start, edge, 10);
    const qreal end = flickable()->property("contentHeight").toReal() - flickable()->height();
    QElapsedTimer scrolling;
    scrolling.start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return listY() >= end; }, 10000)) << listY() << " of " << end;
    const double rowsPerSecond = end / 96 / (scrolling.elapsed() / 1000.0);
    EXPECT_GE(rowsPerSecond, 8) << "rows (86 points and the gap) a second, near the edge";
    QTest::mouseRelease(&view, Qt::LeftButton, {}, edge);
    settle();
    EXPECT_EQ(ids().mid(ids().size() - 2), (QStringList{last, before[2]}));

    // Dropped at the very top edge, in the list's padding: it lands first.
    const QPoint top = list->mapToScene({list->width() / 2, 2}).toPoint();
    pressAndMove(&view, centre(item("dragHandle", row(last))), top, 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return listY() == 0; }, 10000)) << listY();
    QTest::mouseRelease(&view, Qt::LeftButton, {}, top);
    settle();
    EXPECT_EQ(ids().first(), last);
}

TEST_F(ContentViewTest, TheWheelSetsVolumeOnASliderAndScrollsElsewhereAndWhileScrolling)
{
    for (int i = 0; i < 12; ++i)
        addApp(QStringLiteral("App %1").arg(i, 2, 10, QLatin1Char('0')));
    ASSERT_NO_FATAL_FAILURE(load(600));
    auto* router = root->findChild<WheelRouter*>(QStringLiteral("wheelRouter"));
    ASSERT_TRUE(router);
    qint64 now = 1000;
    router->setClock([&] { return now; });
    const auto gains = [&] { return engine->gains(); };
    const QString top = rows().first()->property("appId").toString();
    const QPoint onSlider = centre(item("volume", row(top)));

    wheel(onSlider, 60);
    wheel(onSlider, 60);
    EXPECT_EQ(engine->gains().value(top), 1.05f) << "two half notches on a slider: one step";
    wheel(onSlider, 120, true);
    EXPECT_EQ(engine->gains().value(top), 1.0f) << "natural scrolling turned back";
    const auto before = gains();

    wheel(centre(item("icon", row(top))), -120);
    EXPECT_GT(listY(), 0) << "on the row, off the slider: the list scrolls";
    for (int i = 0; i < 3; ++i) {
        const qreal y = listY();
        now += 250;
        wheel(onSlider, -120);
        EXPECT_GT(listY(), y) << "over whatever slider is under the pointer now, still scrolling";
    }
    EXPECT_EQ(gains(), before);

    now += 300;
    QQuickItem* under = rows()[5];
    wheel(centre(item("volume", under)), 120);
    EXPECT_EQ(engine->gains().value(under->property("appId").toString()), 1.05f) << "the scroll has come to rest";

    const float master = engine->masterVolume();
    wheel(centre(item("masterSlider")), -60);
    wheel(centre(item("masterSlider")), 60, true);
    EXPECT_FLOAT_EQ(engine->masterVolume(), popover::steppedMasterVolume(master, -1))
        << "on the master row too: half notches, one turned back";
}

TEST_F(ContentViewTest, AMenuClosedOnAScrolledListGivesBackTheListAsItWas)
{
    for (int i = 0; i < 12; ++i)
        addApp(QStringLiteral("App %1").arg(i, 2, 10, QLatin1Char('0')));
    ASSERT_NO_FATAL_FAILURE(load(600));

    // The keys on the first row; the list scrolled to its end by hand; a
    // menu opened and closed there leaves the list where it is.
    ASSERT_NO_FATAL_FAILURE(activate());
    key(Qt::Key_Down);
    key(Qt::Key_Down);
    const qreal end = flickable()->property("contentHeight").toReal() - flickable()->height();
    flickable()->setProperty("contentY", end);
    settle();
    QTest::mouseClick(&view, Qt::RightButton, {}, centre(item("icon", rows().last())));
    QObject* rowMenu = rows().last()->findChild<QObject*>(QStringLiteral("contextMenu"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rowMenu->property("opened").toBool(); }, 2000));
    key(Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !rowMenu->property("visible").toBool(); }, 2000));
    settle();
    EXPECT_EQ(listY(), end);
    EXPECT_TRUE(rows().first()->hasActiveFocus()) << "the keys are back where they were";
}

// The colours follow the dark flag as it changes, there and back, and every
// text and symbol stands out against the material and a row's tint, over a
// dark or a light desktop, at WCAG's 4.5:1.
TEST_F(ContentViewTest, TheColoursFollowTheDarkFlagLiveAndStandOutFromTheirBackground)
{
    const QString music = addApp(QStringLiteral("Music"));
    const QString radio = addApp(QStringLiteral("Radio"));
    ASSERT_NO_FATAL_FAILURE(load());
    engine->setGain(radio, 0.5f);
    endProcess(11);
    QObject* menu = rowMenu(music);
    ASSERT_TRUE(menu);
    const auto luminance = [](QColor c) {
        const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const auto over = [](QColor top, QColor below) {
        const double a = top.alphaF();
        return QColor::fromRgbF(float(top.redF() * a + below.redF() * (1 - a)),
                                float(top.greenF() * a + below.greenF() * (1 - a)),
                                float(top.blueF() * a + below.blueF() * (1 - a)));
    };
    const auto ratio = [&](QColor a, QColor b) {
        const double la = luminance(a), lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    };
    for (const bool dark : {false, true, false}) {
        root->setProperty("dark", dark);
        QList<QColor> backgrounds;
        for (const QColor desktop : {QColor(Qt::black), QColor(Qt::white)}) {
            const QColor material = over(style("material"), desktop);
            backgrounds << material << over(style("rowTint"), material);
        }
        for (const char* name : {"primary", "primaryDimmed", "secondary", "secondaryDimmed", "tertiary", "blue", "red"})
            for (const QColor& background : backgrounds)
                EXPECT_GE(ratio(style(name), background), 4.5) << name << (dark ? " dark" : " light");
        EXPECT_GE(ratio(style("primary"), style("menu")), 4.5) << (dark ? "dark" : "light");
        for (const char* name : {"menuHighlight", "menuPressed"}) {
            EXPECT_GE(ratio(style("menuHighlightText"), style(name)), 4.5) << name << (dark ? " dark" : " light");
            EXPECT_GE(ratio(style(name), style("menu")), 3.0) << name << (dark ? " dark" : " light");
        }
        EXPECT_GE(ratio(style("white"), style("accentFill")), 4.5) << "the update pill";

        settle();
        const QImage image = view.grabWindow();
        const int lightness = image.pixelColor(3, 3).lightness();
        EXPECT_TRUE(dark ? lightness < 80 : lightness > 200) << "the material: " << lightness;
        const int menuLightness = menu->property("background").value<QQuickItem*>()->property("color")
                                      .value<QColor>().lightness();
        EXPECT_TRUE(dark ? menuLightness < 80 : menuLightness > 200) << "a row's menu: " << menuLightness;

        // Drawn small and thin, a symbol or text is lighter than its colour:
        // its strongest pixel against the background beside it.
        for (QQuickItem* drawn : {item("outputChevron"), item("notRunning", row(radio))}) {
            ASSERT_TRUE(drawn);
            const std::string name = drawn->objectName().toStdString();
            const QRect at = drawn->mapRectToScene({0, 0, drawn->width(), drawn->height()}).toAlignedRect();
            const QColor background = image.pixelColor(at.right() + 3, at.center().y());
            double peak = 0;
            for (int y = at.top(); y <= at.bottom(); ++y)
                for (int x = at.left(); x <= at.right(); ++x)
                    peak = std::max(peak, ratio(image.pixelColor(x, y), background));
            EXPECT_GE(peak, 4.5) << name << (dark ? " dark" : " light");
        }
    }
}

// "Prevent Clipping" in the header's menu sets the engine's, and shows the
// engine's as it is, also once the command line has changed it, with the
// checkmark every menu has. The menu opens at the pointer, or from the keys
// below the header with its first entry highlighted, which Return chooses.
TEST_F(ContentViewTest, TheHeadersMenuOpensWhereAskedAndFollowsTheEngine)
{
    load();
    QQmlComponent stub(view.engine());
    stub.setData("import QtQuick\nQtObject { property bool enabled: false; property string text: \"Start at Login\"\n"
                 "function reload() {}\nfunction setEnabled(on) { enabled = on } }", QUrl());
    const std::unique_ptr<QObject> startAtLogin(stub.create());
    ASSERT_TRUE(startAtLogin);
    root->setProperty("startAtLogin", QVariant::fromValue(startAtLogin.get()));
    ASSERT_NO_FATAL_FAILURE(activate());
    QQuickItem* header = item("header");
    const QPoint at = header->mapToScene({header->width() / 2, header->height() / 2}).toPoint();
    // Made at its first opening.
    QObject* menu = nullptr;
    for (const bool on : {true, false}) {
        QTest::mouseClick(&view, Qt::RightButton, {}, at);
        menu = root->findChild<QObject*>(QStringLiteral("headerMenu"));
        ASSERT_TRUE(menu);
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 2000));
        const QPointF corner = header->mapToScene({menu->property("x").toReal(), menu->property("y").toReal()});
        EXPECT_LE(std::abs(corner.x() - at.x()) + std::abs(corner.y() - at.y()), 4) << "at the pointer";
        QQuickItem* entry = menuEntry(menu, QStringLiteral("Prevent Clipping"));
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->property("checked").toBool(), !on);
        EXPECT_EQ(shown("checkmark", entry), !on);
        click(entry);
        EXPECT_EQ(engine->preventClipping(), on);
        engine->setPreventClipping(!on);
        EXPECT_EQ(entry->property("checked").toBool(), !on);
        engine->setPreventClipping(on);
    }
    root->forceActiveFocus();
    key(Qt::Key_Menu);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 2000));
    key(Qt::Key_Return);
    EXPECT_TRUE(startAtLogin->property("enabled").toBool()) << "its first entry highlighted, which Return chooses";
}

// "Play On" in a row's menu, by the keys alone: the device picked is the
// engine's choice for the application, checked when the menu opens again; an
// unplugged choice is shown, kept, and left only for another pick.
TEST_F(ContentViewTest, PlayOnInTheRowsMenuSendsTheApplicationToADevice)
{
    const AudioObjectID headphones = scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp"));
    const QString music = addApp(QStringLiteral("Music"));
    ASSERT_NO_FATAL_FAILURE(load());
    ASSERT_NO_FATAL_FAILURE(activate());
    QObject* playOn = rowMenu(music, QStringLiteral("playOnMenu"));
    ASSERT_TRUE(playOn);
    // The entries as shown, in order: "* " before the one with the
    // checkmark, " (disabled)" after a greyed one, "-" for the separator.
    const auto shown = [&] {
        QStringList entries;
        for (int i = 0; i < playOn->property("count").toInt(); ++i) {
            QQuickItem* entry = menuItem(playOn, i);
            if (!entry || entry->height() == 0)
                continue;
            if (!entry->property("text").isValid()) {
                entries << "-";
                continue;
            }
            entries << (entry->property("current").toBool() ? "* " : "") + entry->property("text").toString()
                           + (entry->isEnabled() ? "" : " (disabled)");
        }
        return entries;
    };
    // Menu key (Play On is highlighted), into it, down to the entry, Return.
    const auto pick = [&](const QString& text) {
        key(Qt::Key_Menu);
        key(Qt::Key_Right);
        ASSERT_TRUE(QTest::qWaitFor([&] { return playOn->property("opened").toBool(); }, 2000));
        for (int i = 0; i < 6; ++i) {
            QQuickItem* at = menuItem(playOn, playOn->property("currentIndex").toInt());
            if (at && at->property("text").toString() == text)
                break;
            key(Qt::Key_Down);
        }
        key(Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !playOn->property("visible").toBool(); }, 2000));
    };

    key(Qt::Key_Down);
    key(Qt::Key_Down);
    ASSERT_NO_FATAL_FAILURE(pick(QStringLiteral("Headphones")));
    EXPECT_EQ(engine->outputChoices().value(music), QStringLiteral("hp"));
    EXPECT_TRUE(item("volume", row(music))->hasActiveFocus()) << "the keys are back on the row";
    EXPECT_EQ(shown(), (QStringList{"System Default", "-", "Speakers", "* Headphones"}));

    // Unplugged: still the choice, shown greyed; the application plays on
    // the default meanwhile.
    scene.hardware.removeDevice(headphones);
    engine->refresh();
    settle();
    EXPECT_EQ(shown(), (QStringList{"System Default", "-", "Speakers", "* Headphones (unavailable) (disabled)"}));
    key(Qt::Key_Menu);
    key(Qt::Key_Escape);
    EXPECT_EQ(engine->outputChoices().value(music), QStringLiteral("hp")) << "looking changes nothing";
    ASSERT_NO_FATAL_FAILURE(pick(QStringLiteral("System Default")));
    EXPECT_FALSE(engine->outputChoices().contains(music));
    EXPECT_EQ(shown(), (QStringList{"* System Default", "-", "Speakers"}));
}

TEST(SymbolTest, EverySymbolDrawsInItsColourAndNoPathEscapes)
{
    for (const char* name : {"slider.horizontal.3", "eye.fill", "eye.slash", "power", "speaker.wave.3.fill",
                             "chevron.up.chevron.down", "checkmark", "line.3.horizontal", "speaker.slash.fill",
                             "speaker.wave.2.fill", "arrow.clockwise"}) {
        const QImage image = renderSymbol(QString::fromLatin1(name), QColor(255, 0, 0), QSize(39, 39));
        ASSERT_EQ(image.size(), QSize(39, 39)) << name;
        int opaque = 0, otherColour = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                opaque += pixel.alpha() > 200;
                otherColour += pixel.alpha() != 0 && (pixel.green() >= 8 || pixel.blue() >= 8);
            }
        }
        EXPECT_GT(opaque, 39) << name;
        EXPECT_EQ(otherColour, 0) << name;
    }
    EXPECT_TRUE(renderSymbol(QStringLiteral("../images/badge"), Qt::red, QSize(20, 20)).isNull());
    EXPECT_TRUE(renderSymbol(QStringLiteral("gear"), Qt::red, QSize(20, 20)).isNull());
}

// A 50-character device name and a row past the slots: the name elides and
// the master controls stay inside the popover; the menus are as wide as the
// name wants within it, eliding what does not fit; a row says the device it
// plays on, and one whose settings go unapplied says so.
TEST_F(ContentViewTest, LongNamesElideAndEveryRowSaysWhatItCannotShow)
{
    const QString longName = QStringLiteral("Studio Display Speakers USB Audio Output Device 2");
    const AudioObjectID studio = scene.addOutputDevice(longName + QLatin1Char('X'), QStringLiteral("studio"), 0.8f);
    scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp"));
    scene.addOutputDevice(longName.repeated(2), QStringLiteral("longer"));
    scene.hardware.setDefaultOutputDevice(studio);
    QStringList ids;
    for (int i = 0; i < 17; ++i)
        ids.append(addApp(QStringLiteral("App %1").arg(i, 2, 10, QLatin1Char('0'))));
    ASSERT_NO_FATAL_FAILURE(load(900));
    for (const QString& id : ids)
        engine->setMuted(id, true);
    ASSERT_TRUE(engine->setOutputOf(ids[0], QStringLiteral("hp")));
    settle();

    const auto inside = [&](const char* name) {
        QQuickItem* control = item(name);
        return control && control->mapToScene({control->width(), 0}).x() <= 400 - 16 + 0.5;
    };
    for (const char* name : {"masterPercentage", "masterSlider", "masterMute"})
        EXPECT_TRUE(inside(name)) << name;
    EXPECT_TRUE(item("outputName")->property("truncated").toBool());

    // Beyond the sixteen slots the seventeenth is heard: its row says so.
    flickable()->setProperty("contentY", flickable()->property("contentHeight").toReal() - flickable()->height());
    settle();
    EXPECT_EQ(text("rowNote", row(ids[16])), QStringLiteral("Ravlet mixes 16 applications at most"));
    EXPECT_FALSE(item("rowNote", row(ids[16]))->property("truncated").toBool()) << "in full beside the bar";
    EXPECT_FALSE(shown("rowNote", row(ids[15])));
    EXPECT_EQ(text("rowNote", row(ids[0])), QStringLiteral("\u00B7 Headphones"));
    if (qEnvironmentVariableIsSet("RAVLET_POPOVER_SHOT"))
        view.grabWindow().save(qEnvironmentVariable("RAVLET_POPOVER_SHOT"));

    // Each entry's text ends inside its menu, elided when it must, and starts
    // in line with the others, the checked one's too.
    const auto fitsIn = [&](QObject* menu) {
        const qreal menuWidth = menu->property("width").toReal();
        EXPECT_LE(menuWidth, 400);
        std::optional<qreal> start;
        for (int i = 0; i < menu->property("count").toInt(); ++i) {
            QQuickItem* entry = menuItem(menu, i);
            QQuickItem* label = entry ? findNamed(entry, QStringLiteral("entryText")) : nullptr;
            if (!label)
                continue;
            EXPECT_LE(label->mapToItem(entry, {label->width(), 0}).x(), entry->width()) << i;
            EXPECT_EQ(label->mapToScene({}).x(), start.value_or(label->mapToScene({}).x())) << i;
            start = label->mapToScene({}).x();
            const QString shown = label->property("text").toString();
            if (shown.startsWith(longName)) {
                EXPECT_EQ(label->property("truncated").toBool(), shown.size() > 60)
                    << "in full where the popover has room, else elided with an ellipsis";
            }
        }
    };
    QQuickItem* entry = outputMenuEntry(longName + QLatin1Char('X'));
    ASSERT_TRUE(entry);
    fitsIn(item("outputMenuButton")->findChild<QObject*>(QStringLiteral("outputMenu")));
    QTest::keyClick(&view, Qt::Key_Escape);
    settle();

    // The row's menu opens just off the pointer, so its submenu waits for
    // the pointer to come to it.
    QObject* contextMenu = rowMenu(ids[16]);
    QObject* playOn = rowMenu(ids[16], QStringLiteral("playOnMenu"));
    ASSERT_NO_FATAL_FAILURE(activate());
    const QPoint at = centre(item("icon", row(ids[16])));
    QTest::mouseMove(&view, at);
    QTest::mouseClick(&view, Qt::RightButton, {}, at);
    ASSERT_TRUE(QTest::qWaitFor([&] { return contextMenu->property("opened").toBool(); }, 2000));
    QTest::qWait(500);
    EXPECT_FALSE(playOn->property("visible").toBool()) << "not at once, under a pointer that has not moved";
    QQuickItem* playOnEntry = menuEntry(contextMenu, QStringLiteral("Play On"));
    ASSERT_TRUE(playOnEntry);
    QTest::mouseMove(&view, centre(playOnEntry));
    EXPECT_TRUE(QTest::qWaitFor([&] { return playOn->property("opened").toBool(); }, 2000)) << "on hover";
    fitsIn(playOn);
    QTest::keyClick(&view, Qt::Key_Escape);
    QTest::keyClick(&view, Qt::Key_Escape);
}

} // namespace
