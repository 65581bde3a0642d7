// The popover itself, rendered on Qt's offscreen platform over an engine on
// simulated hardware: the size it reports, what it shows, and what a click or
// a drag in it does to the engine.

#include "popover.h"
#include "symbol_provider.h"
#include "support/simulated_scene.h"

#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>
#include <QtQuickTest/quicktest.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

// Stands in for the update checker: the three properties the popover reads.
class FakeUpdater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool updateAvailable MEMBER updateAvailable NOTIFY changed)
    Q_PROPERTY(QString latestVersion MEMBER latestVersion NOTIFY changed)
    Q_PROPERTY(QUrl downloadURL MEMBER downloadURL NOTIFY changed)

public:
    bool updateAvailable = false;
    QString latestVersion;
    QUrl downloadURL;

signals:
    void changed();
};

namespace {

void collect(QQuickItem* item, QList<QQuickItem*>& into)
{
    for (QQuickItem* child : item->childItems()) {
        into.append(child);
        collect(child, into);
    }
}

class ContentViewTest : public testing::Test {
protected:
    void load(double screenHeight = 0.0)
    {
        engine = scene.makeEngine();
        popover::prepareEngine(*view.engine());
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

    QSizeF reportedSize() const
    {
        const QList<QVariant>& last = sizes->constLast();
        return {last.at(0).toDouble(), last.at(1).toDouble()};
    }

    QList<QQuickItem*> items(QQuickItem* under = nullptr) const
    {
        QList<QQuickItem*> all;
        collect(under ? under : root, all);
        return all;
    }

    QQuickItem* item(const char* objectName, QQuickItem* under = nullptr) const
    {
        for (QQuickItem* candidate : items(under)) {
            if (candidate->objectName() == QLatin1String(objectName))
                return candidate;
        }
        ADD_FAILURE() << "no item " << objectName;
        return nullptr;
    }

    bool shown(const char* objectName, QQuickItem* under = nullptr) const
    {
        QQuickItem* found = item(objectName, under);
        return found && found->isVisible();
    }

    // The application rows on screen, top to bottom.
    QList<QQuickItem*> rows() const
    {
        QList<QQuickItem*> found;
        for (QQuickItem* candidate : items()) {
            if (candidate->property("appId").isValid() && candidate->isVisible())
                found.append(candidate);
        }
        std::sort(found.begin(), found.end(),
                  [](QQuickItem* a, QQuickItem* b) { return a->mapToScene({}).y() < b->mapToScene({}).y(); });
        return found;
    }

    QQuickItem* row(const QString& id) const
    {
        for (QQuickItem* candidate : rows()) {
            if (candidate->property("appId").toString() == id)
                return candidate;
        }
        ADD_FAILURE() << "no row for " << id.toStdString();
        return nullptr;
    }

    QStringList displayedNames() const
    {
        QStringList names;
        for (const AppEntry& entry : engine->displayApps())
            names.append(entry.name);
        return names;
    }

    static QPoint centre(QQuickItem* item) { return item->mapToScene({item->width() / 2, item->height() / 2}).toPoint(); }

    void click(QQuickItem* item, Qt::MouseButton button = Qt::LeftButton)
    {
        ASSERT_TRUE(item);
        QTest::mouseClick(&view, button, {}, centre(item));
        settle();
    }

    // Press, move there in small steps as a hand would, release.
    void drag(QPoint from, QPoint to)
    {
        QTest::mousePress(&view, Qt::LeftButton, {}, from);
        constexpr int kSteps = 12;
        for (int step = 1; step <= kSteps; ++step)
            QTest::mouseMove(&view, from + (to - from) * step / kSteps);
        QTest::mouseRelease(&view, Qt::LeftButton, {}, to);
        settle();
    }

    // The entry of an opening menu that reads text.
    static QQuickItem* menuEntry(QObject* menu, const QString& text)
    {
        if (!menu || !QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 2000))
            return nullptr;
        for (int i = 0; i < menu->property("count").toInt(); ++i) {
            QQuickItem* entry = nullptr;
            QMetaObject::invokeMethod(menu, "itemAt", Q_RETURN_ARG(QQuickItem*, entry), Q_ARG(int, i));
            if (entry && entry->property("text").toString() == text)
                return entry;
        }
        return nullptr;
    }

    QString addApp(const char* name) { return scene.addApp(QString::fromLatin1(name), nextPid++); }

    SimulatedScene scene;
    FakeUpdater updater;
    std::unique_ptr<RavletEngine> engine;
    QQuickView view;
    QQuickItem* root = nullptr;
    std::unique_ptr<QSignalSpy> sizes;
    QStringList warnings;
    qint32 nextPid = 10;
};

TEST_F(ContentViewTest, WithNoApplicationsItSaysSoInOneRowsHeight)
{
    ASSERT_NO_FATAL_FAILURE(load());

    EXPECT_EQ(reportedSize(), QSizeF(400, 256));
    EXPECT_TRUE(shown("emptyText"));
    EXPECT_FALSE(shown("appList"));
    EXPECT_FALSE(shown("unsupportedText"));

    const QImage image = view.grabWindow();
    ASSERT_EQ(image.size(), QSize(400, 256));
    qsizetype drawn = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            drawn += image.pixelColor(x, y) != image.pixelColor(0, 0);
    }
    EXPECT_GT(drawn, image.width() * image.height() / 50) << "more than a background";
}

TEST_F(ContentViewTest, ThreeApplicationsFitAndTheMasterControlsFollowTheDevice)
{
    for (const char* name : {"Music", "Browser", "Chat"})
        addApp(name);
    ASSERT_NO_FATAL_FAILURE(load());

    EXPECT_EQ(reportedSize(), QSizeF(400, 428));
    EXPECT_EQ(rows().size(), 3);
    EXPECT_FALSE(shown("placeholder", rows().first())) << "the simulated applications bring their icons";
    EXPECT_TRUE(shown("masterSlider"));
    EXPECT_EQ(item("masterPercentage")->property("text").toString(), QStringLiteral("50%"));

    scene.hardware.setDeviceVolume(scene.speakers, std::nullopt);
    engine->refresh();
    ASSERT_TRUE(sizes->wait(2000));
    settle();
    EXPECT_EQ(reportedSize(), QSizeF(400, 402));
    EXPECT_FALSE(shown("masterSlider"));
    EXPECT_FALSE(shown("masterPercentage"));
}

TEST_F(ContentViewTest, TwentyApplicationsAreCappedByTheScreenAndScroll)
{
    for (int i = 0; i < 20; ++i)
        scene.addApp(QStringLiteral("App %1").arg(i, 2, 10, QLatin1Char('0')), nextPid++);
    ASSERT_NO_FATAL_FAILURE(load(800.0));

    EXPECT_EQ(reportedSize(), QSizeF(400, 770));
    EXPECT_TRUE(shown("placeholder", rows().first())) << "no icon anywhere: the grey tile";
    QQuickItem* list = item("appList");
    auto* flickable = list->property("contentItem").value<QQuickItem*>();
    ASSERT_TRUE(flickable);
    EXPECT_GT(flickable->property("contentHeight").toReal(), list->height());

    const QPointF at = centre(list);
    QWheelEvent wheel(at, view.mapToGlobal(at), QPoint(), QPoint(0, -360), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&view, &wheel);
    EXPECT_TRUE(QTest::qWaitFor([&] { return flickable->property("contentY").toReal() > 0; }, 2000));
}

TEST_F(ContentViewTest, AnUnsupportedSystemShowsOnlyTheMessage)
{
    scene.hardware.setProcessTapsSupported(false);
    addApp("Music");
    ASSERT_NO_FATAL_FAILURE(load());

    EXPECT_EQ(reportedSize(), QSizeF(400, 220));
    EXPECT_TRUE(shown("unsupportedText"));
    EXPECT_EQ(item("unsupportedText")->property("text").toString(),
              QStringLiteral("Ravlet needs macOS 14.2 or newer (Core Audio process taps)."));
    EXPECT_FALSE(shown("masterRow"));
    EXPECT_FALSE(shown("appList"));
    EXPECT_FALSE(shown("emptyText"));
}

TEST_F(ContentViewTest, MovingARowsSliderSetsAndSavesItsGain)
{
    const QString music = addApp("Music");
    addApp("Chat");
    ASSERT_NO_FATAL_FAILURE(load());
    QQuickItem* slider = item("volume", row(music));
    QQuickItem* percentage = item("percentage", row(music));
    ASSERT_TRUE(slider && percentage);
    EXPECT_EQ(percentage->property("text").toString(), QStringLiteral("100%"));

    // By hand, from the handle at 100 % to a third of the way along.
    const qreal handle = slider->property("handle").value<QQuickItem*>()->width();
    const auto at = [&](qreal fraction) {
        return slider->mapToScene({handle / 2 + fraction * (slider->width() - handle), slider->height() / 2}).toPoint();
    };
    drag(at(1.0 / 1.5), at(0.5 / 1.5));
    const float dragged = engine->gains().value(music);
    EXPECT_NEAR(dragged, 0.5f, 0.02f);
    EXPECT_EQ(scene.defaults.value(QStringLiteral("ravlet.gains")).toMap().value(music).toFloat(), dragged);

    // Exactly, as the control reports a move.
    slider->setProperty("value", 0.5);
    QMetaObject::invokeMethod(slider, "moved");
    EXPECT_EQ(engine->gains().value(music), 0.5f);
    EXPECT_EQ(scene.defaults.value(QStringLiteral("ravlet.gains")).toMap().value(music).toFloat(), 0.5f);
    EXPECT_EQ(percentage->property("text").toString(), QStringLiteral("50%"));
    EXPECT_EQ(item("volume", row(music)), slider) << "the row, and the slider in use, are never rebuilt";
}

TEST_F(ContentViewTest, TheMuteButtonTogglesTheApplicationsMute)
{
    const QString music = addApp("Music");
    ASSERT_NO_FATAL_FAILURE(load());
    QQuickItem* button = item("stateButton", row(music));

    click(button);
    EXPECT_EQ(engine->mutes().value(music, false), true);
    EXPECT_EQ(button->property("symbol").toString(), QStringLiteral("speaker.slash.fill"));

    click(button);
    ASSERT_TRUE(engine->mutes().contains(music));
    EXPECT_EQ(engine->mutes().value(music), false);
    EXPECT_EQ(button->property("symbol").toString(), QStringLiteral("speaker.wave.2.fill"));
}

TEST_F(ContentViewTest, DroppingARowOnAnotherReordersTheList)
{
    const QString browser = addApp("Browser");
    addApp("Chat");
    const QString music = addApp("Music");
    ASSERT_NO_FATAL_FAILURE(load());
    ASSERT_EQ(displayedNames(), (QStringList{"Browser", "Chat", "Music"}));
    QQuickItem* handle = item("dragHandle", row(browser));

    drag(centre(handle), centre(row(music)));

    EXPECT_EQ(displayedNames(), (QStringList{"Chat", "Browser", "Music"}));
    QStringList onScreen;
    for (QQuickItem* shownRow : rows())
        onScreen.append(shownRow->property("name").toString());
    EXPECT_EQ(onScreen, displayedNames());

    drag(centre(item("dragHandle", row(music))), centre(row(music)));
    EXPECT_EQ(displayedNames(), (QStringList{"Chat", "Browser", "Music"})) << "onto itself: nothing moves";
}

TEST_F(ContentViewTest, ARowThatIsNotRunningOffersARescan)
{
    const QString music = addApp("Music");
    ASSERT_NO_FATAL_FAILURE(load());
    engine->setGain(music, 0.5f);
    scene.removeProcess(10);
    engine->refresh();
    settle();

    QQuickItem* musicRow = row(music);
    QQuickItem* button = item("stateButton", musicRow);
    EXPECT_TRUE(shown("notRunning", musicRow));
    EXPECT_EQ(musicRow->opacity(), 0.6);
    EXPECT_EQ(button->property("symbol").toString(), QStringLiteral("arrow.clockwise"));
    EXPECT_EQ(button->property("help").toString(),
              QStringLiteral("App not running — start it, then click to pick it up"));
    EXPECT_TRUE(item("volume", musicRow)->isEnabled());

    scene.addApp(QStringLiteral("Music"), 30);
    click(button);
    EXPECT_FALSE(shown("notRunning", musicRow));
    EXPECT_EQ(musicRow->opacity(), 1.0);
    EXPECT_EQ(button->property("symbol").toString(), QStringLiteral("speaker.wave.2.fill"));
}

TEST_F(ContentViewTest, HiddenApplicationsComeBackWithTheEyeButtonAndTheirMenu)
{
    const QString music = addApp("Music");
    addApp("Chat");
    ASSERT_NO_FATAL_FAILURE(load());
    engine->setHidden(music, true);
    settle();
    ASSERT_EQ(rows().size(), 1);
    QQuickItem* eye = item("showHidden");
    EXPECT_EQ(eye->property("symbol").toString(), QStringLiteral("eye.slash"));

    click(eye);
    EXPECT_TRUE(engine->showHidden());
    EXPECT_EQ(eye->property("symbol").toString(), QStringLiteral("eye.fill"));
    ASSERT_EQ(rows().size(), 2);
    QQuickItem* musicRow = row(music);
    EXPECT_EQ(musicRow->opacity(), 0.45);

    QTest::mouseClick(&view, Qt::RightButton, {}, centre(item("icon", musicRow)));
    QQuickItem* entry = menuEntry(musicRow->findChild<QObject*>(QStringLiteral("contextMenu")), QStringLiteral("Show Music"));
    ASSERT_TRUE(entry);
    click(entry);
    EXPECT_FALSE(engine->hidden().contains(music));
    EXPECT_EQ(musicRow->opacity(), 1.0);
}

TEST_F(ContentViewTest, TheHeaderReachesTheUpdaterAndTheShell)
{
    ASSERT_NO_FATAL_FAILURE(load());
    QQuickItem* pill = item("updatePill");
    EXPECT_FALSE(pill->isVisible());

    updater.setProperty("downloadURL", QUrl(QStringLiteral("https://updates.example/Ravlet-1.4.0.dmg")));
    updater.setProperty("latestVersion", QStringLiteral("1.4.0"));
    updater.setProperty("updateAvailable", true);
    settle();
    ASSERT_TRUE(pill->isVisible());
    EXPECT_EQ(pill->property("contentItem").value<QQuickItem*>()->property("text").toString(),
              QStringLiteral("⬆ 1.4.0"));

    QSignalSpy updates(root, SIGNAL(updateRequested(QString, QString)));
    QSignalSpy quits(root, SIGNAL(quitRequested()));
    click(pill);
    ASSERT_EQ(updates.count(), 1);
    EXPECT_EQ(updates.at(0), (QVariantList{QStringLiteral("https://updates.example/Ravlet-1.4.0.dmg"),
                                           QStringLiteral("1.4.0")}));
    click(item("power"));
    EXPECT_EQ(quits.count(), 1);
}

TEST_F(ContentViewTest, PickingAnOutputDeviceMakesItTheSystemOutput)
{
    const AudioObjectID headphones = scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp"), 0.8f);
    addApp("Music");
    ASSERT_NO_FATAL_FAILURE(load());

    click(item("outputMenuButton"));
    click(menuEntry(item("outputMenuButton")->findChild<QObject*>(QStringLiteral("outputMenu")),
                    QStringLiteral("Headphones")));

    EXPECT_EQ(scene.hardware.defaultOutputDevice(), headphones);
    EXPECT_EQ(engine->currentOutputID(), headphones);
    EXPECT_EQ(item("masterPercentage")->property("text").toString(), QStringLiteral("80%"));
}

TEST(SymbolTest, EverySymbolDrawsInItsColourAtTheSizeAskedFor)
{
    for (const char* name : {"slider.horizontal.3", "eye.fill", "eye.slash", "power", "speaker.wave.3.fill",
                             "chevron.up.chevron.down", "checkmark", "line.3.horizontal", "speaker.slash.fill",
                             "speaker.wave.2.fill", "arrow.clockwise"}) {
        const QImage image = renderSymbol(QString::fromLatin1(name), QColor(255, 0, 0), QSize(39, 39));
        ASSERT_EQ(image.size(), QSize(39, 39)) << name;
        int opaque = 0;
        bool onlyRed = true;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                opaque += pixel.alpha() > 200;
                onlyRed = onlyRed && (pixel.alpha() == 0 || (pixel.green() < 8 && pixel.blue() < 8));
            }
        }
        EXPECT_GT(opaque, 39) << name;
        EXPECT_TRUE(onlyRed) << name;
    }
    EXPECT_TRUE(renderSymbol(QStringLiteral("../images/badge"), Qt::red, QSize(20, 20)).isNull());
    EXPECT_TRUE(renderSymbol(QStringLiteral("gear"), Qt::red, QSize(20, 20)).isNull());
}

} // namespace

#include "content_view_test.moc"
