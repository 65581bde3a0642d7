// The rows' model follows the engine's display list in place, so a row is
// created once per application and not again on every change of a gain, and
// a change reaches only the roles it changes.

#include "display_list_model.h"
#include "meters.h"
#include "support/simulated_scene.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>

#include <cmath>
#include <utility>

#include <gtest/gtest.h>

namespace {

using Role = DisplayListModel::Role;

class DisplayListModelTest : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"Music", "Browser", "Chat"})
            ids.append(scene.addApp(QString::fromLatin1(name), nextPid++,
                                    SimulatedAudioHardware::Signal::sine(440.0f, 0.5f)));
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

    using Changes = QList<std::pair<QString, QList<int>>>;
    // The application and roles of each dataChanged since the last call.
    Changes changed()
    {
        Changes all;
        for (const QList<QVariant>& change : std::as_const(changes)) {
            EXPECT_EQ(change.at(0).toModelIndex(), change.at(1).toModelIndex()) << "one row at a time";
            all.append({change.at(0).toModelIndex().data(DisplayListModel::AppIdRole).toString(),
                        change.at(2).value<QList<int>>()});
        }
        changes.clear();
        return all;
    }
    QVariant role(const QString& id, int role) const
    {
        for (int row = 0; row < model.rowCount(); ++row) {
            if (model.index(row).data(DisplayListModel::AppIdRole).toString() == id)
                return model.index(row).data(role);
        }
        return QStringLiteral("<no row>");
    }
};

TEST_F(DisplayListModelTest, ASettingChangesOnlyItsRoleOfItsRowAndAReorderMovesOneRow)
{
    // The values the roles hold are checked against the engine's below.
    engine->setGain(ids[0], 0.5f);
    EXPECT_EQ(changed(), (Changes{{ids[0], {Role::GainRole}}}));
    // Another program's volume on its streams changes what is heard alone.
    scene.hardware.setProcessOwnVolume(scene.hardware.processObject(10), 0.5f);
    engine->refresh();
    EXPECT_EQ(changed(), (Changes{{ids[0], {Role::HeardRole}}}));
    EXPECT_EQ(role(ids[0], Role::HeardRole), QVariant(25));
    engine->setMuted(ids[1], true);
    EXPECT_EQ(changed(), (Changes{{ids[1], {Role::MutedRole}}}));
    engine->setShowHidden(true);
    engine->setHidden(ids[2], true);
    EXPECT_EQ(changed(), (Changes{{ids[2], {Role::HiddenRole}}}));
    scene.removeProcess(11);
    engine->refresh();
    EXPECT_EQ(changed(), (Changes{{ids[1], {Role::IsActiveRole}}}));
    engine->refresh();
    EXPECT_TRUE(changed().isEmpty()) << "a refresh that changes nothing";
    EXPECT_EQ(resets.count() + inserts.count() + removes.count() + moves.count(), 0);

    const QString first = model.entries().first().id;
    engine->moveApp(first, model.entries().last().id);
    EXPECT_EQ(moves.count(), 1);
    EXPECT_EQ(resets.count() + inserts.count() + removes.count(), 0);
    EXPECT_EQ(model.data(model.index(1), Role::AppIdRole).toString(), first);
}

TEST_F(DisplayListModelTest, LevelsChangeOnlyTheLevelRoleOfRowsThatMovedAndOnlyWhileMetering)
{
    engine->setGain(ids[0], 0.5f);   // tapped: the only application with a level
    changed();
    scene.hardware.runCycles(2);
    engine->pumpMeters();
    EXPECT_EQ(changed(), (Changes{{ids[0], {Role::LevelRole}}}));
    EXPECT_FLOAT_EQ(role(ids[0], Role::LevelRole).toFloat(), 0.25f);
    EXPECT_FLOAT_EQ(model.masterLevel(), engine->masterLevel());
    EXPECT_GT(model.masterLevel(), 0.0f);

    model.setMetering(false);
    EXPECT_EQ(changed(), (Changes{{ids[0], {Role::LevelRole}}}));
    EXPECT_EQ(role(ids[0], Role::LevelRole).toFloat(), 0.0f);
    EXPECT_EQ(model.masterLevel(), 0.0f);
    for (int i = 0; i < kDiagPumpsPerStart; ++i)
        engine->pumpMeters();
    EXPECT_TRUE(changed().isEmpty());
    EXPECT_FALSE(engine->meterTimer().isActive()) << "the meters rest while not metering";

    model.setMetering(true);
    EXPECT_FLOAT_EQ(role(ids[0], Role::LevelRole).toFloat(), engine->levels().value(ids[0]))
        << "metering again starts from the engine's levels";
}

// Any sequence of what the user and the system do keeps the model, its rows
// and their roles' values, equal to the engine's list, with only in-place
// changes.
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
        SCOPED_TRACE(testing::Message() << "step " << step);
        ASSERT_EQ(model.entries(), engine->displayApps());
        for (const AppEntry& entry : engine->displayApps()) {
            const auto gain = engine->gains().constFind(entry.id);
            ASSERT_EQ(role(entry.id, Role::GainRole), gain == engine->gains().cend() ? QVariant() : QVariant(*gain));
            ASSERT_EQ(role(entry.id, Role::MutedRole).toBool(), engine->mutes().value(entry.id));
            ASSERT_EQ(role(entry.id, Role::HiddenRole).toBool(), engine->hidden().contains(entry.id));
        }
    }
    EXPECT_EQ(resets.count(), 0);
}

// Rows write through the model as through any editable model, and the
// engine stores what they write; nothing that is not a gain gets through.
TEST_F(DisplayListModelTest, RowsWriteGainAndHiddenThroughSetData)
{
    const auto at = [&](const QString& id) {
        const QModelIndexList found = model.match(model.index(0), Role::AppIdRole, id, 1, Qt::MatchExactly);
        return found.value(0);
    };
    EXPECT_TRUE(model.setData(at(ids[0]), 9.0, Role::GainRole));
    EXPECT_EQ(engine->gains().value(ids[0]), 1.5f) << "held within the slider's range";
    for (const QVariant& notAGain : {QVariant(std::nan("")), QVariant(QStringLiteral("loud")), QVariant()})
        EXPECT_FALSE(model.setData(at(ids[0]), notAGain, Role::GainRole)) << notAGain.toString().toStdString();
    EXPECT_EQ(role(ids[0], Role::GainRole), QVariant(1.5f));
    EXPECT_FALSE(model.setData(at(ids[0]), QStringLiteral("x"), Role::NameRole));

    // Muting and unmuting through the model: the view's state button test.
    EXPECT_TRUE(model.setData(at(ids[2]), true, Role::HiddenRole));
    EXPECT_TRUE(engine->hidden().contains(ids[2]));
    EXPECT_EQ(model.hiddenPlaying(), 1) << "kept out of the list";
    engine->setShowHidden(true);
    EXPECT_EQ(model.hiddenPlaying(), 0) << "listed again";
}

// The device a row plays on follows the engine wherever the choice is made,
// only in the output roles; a refresh that changes no device announces none.
// An unplugged choice, kept with its name, is checked in the row's Play On
// menu.
TEST_F(DisplayListModelTest, OutputRolesFollowTheChoiceWhereverItIsMade)
{
    const AudioObjectID headphones = scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp-uid"));
    // Without a UID a device cannot be anyone's choice.
    scene.hardware.addDevice({QStringLiteral("Nameless"), QString(), {2}, {}, {}, false});
    QSignalSpy devices(&model, &DisplayListModel::outputsChanged);
    engine->refresh();
    engine->refresh();
    EXPECT_EQ(devices.count(), 1);
    EXPECT_EQ(model.outputs().size(), 2);
    changed();

    engine->setOutputOf(ids[1], QStringLiteral("hp-uid"));
    EXPECT_EQ(changed(), (Changes{{ids[1], {Role::OutputRole, Role::OutputNameRole, Role::OutputPresentRole}}}));
    const QModelIndex chat = model.match(model.index(0), Role::AppIdRole, ids[1], 1, Qt::MatchExactly).value(0);
    for (const QVariant& wrong : {QVariant(QStringLiteral("gone-uid")), QVariant(42), QVariant()})
        EXPECT_FALSE(model.setData(chat, wrong, Role::OutputRole)) << wrong.toString().toStdString();
    EXPECT_EQ(engine->outputChoices().value(ids[1]), QStringLiteral("hp-uid")) << "a refused device changes nothing";
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(10), headphones);
    engine->refresh();
    EXPECT_EQ(role(ids[0], Role::OutputRole).toString(), QStringLiteral("hp-uid")) << "moved in another program";
}

} // namespace
