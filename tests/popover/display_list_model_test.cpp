// The rows' model follows the engine's display list in place, so a row is
// created once per application and not again on every change of a gain.

#include "display_list_model.h"
#include "support/simulated_scene.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

class DisplayListModelTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"Music", "Browser", "Chat"})
            ids.append(scene.addApp(QString::fromLatin1(name), nextPid++));
        engine = scene.makeEngine();
        model.setEngine(engine.get());
        for (QSignalSpy* spy : {&resets, &inserts, &removes, &moves, &changes})
            spy->clear();
    }

    SimulatedScene scene;
    std::unique_ptr<RavletEngine> engine;
    DisplayListModel model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
    QSignalSpy resets{&model, &QAbstractItemModel::modelReset};
    QSignalSpy inserts{&model, &QAbstractItemModel::rowsInserted};
    QSignalSpy removes{&model, &QAbstractItemModel::rowsRemoved};
    QSignalSpy moves{&model, &QAbstractItemModel::rowsMoved};
    QSignalSpy changes{&model, &QAbstractItemModel::dataChanged};
    QStringList ids;
    qint32 nextPid = 10;
};

TEST_F(DisplayListModelTest, AGainOrMuteChangeLeavesEveryRowInPlaceAndAReorderMovesOne)
{
    engine->setGain(ids[0], 0.5f);
    engine->setMuted(ids[1], true);
    engine->refresh();
    EXPECT_EQ(resets.count() + inserts.count() + removes.count() + moves.count() + changes.count(), 0);

    const QString first = model.entries().first().id;
    engine->moveApp(first, model.entries().last().id);
    EXPECT_EQ(moves.count(), 1);
    EXPECT_EQ(resets.count() + inserts.count() + removes.count(), 0);
    EXPECT_EQ(model.entries(), engine->displayApps());
    EXPECT_EQ(model.data(model.index(1), DisplayListModel::AppIdRole).toString(), first);
}

// Any sequence of what the user and the system do keeps the model equal to
// the engine's list, with only in-place changes.
TEST_F(DisplayListModelTest, StaysEqualToTheEngineThroughRandomChanges)
{
    QRandomGenerator random(7);
    QList<qint32> running{10, 11, 12};
    for (int step = 0; step < 300; ++step) {
        const QList<AppEntry> shown = engine->displayApps();
        const QString someID = shown.isEmpty() ? ids.value(0) : shown.at(random.bounded(int(shown.size()))).id;
        switch (random.bounded(7)) {
        case 0:
            engine->setGain(someID, random.bounded(2) ? 1.0f : float(random.bounded(1.5)));
            break;
        case 1:
            engine->setHidden(someID, random.bounded(2));
            break;
        case 2:
            engine->setShowHidden(!engine->showHidden());
            break;
        case 3:
            if (!shown.isEmpty())
                engine->moveApp(someID, shown.at(random.bounded(int(shown.size()))).id);
            break;
        case 4:
            if (!running.isEmpty())
                scene.removeProcess(running.takeAt(random.bounded(int(running.size()))));
            engine->refresh();
            break;
        case 5:
            ids.append(scene.addApp(QStringLiteral("App%1").arg(nextPid), nextPid));
            running.append(nextPid++);
            engine->refresh();
            break;
        case 6:
            engine->setMuted(someID, random.bounded(2));
            break;
        }
        ASSERT_EQ(model.entries(), engine->displayApps()) << "step " << step;
        ASSERT_EQ(model.rowCount(), model.count());
    }
    EXPECT_EQ(resets.count(), 0);
}

} // namespace
