// Start at login on the Mac, over the stand-in service management framework:
// the check mark and words follow what the system says, approval is asked
// for in System Settings, and a refusal is reported, never taken for success.

#include "main_app_login_item.h"
#include "standin.h"
#include "system_log.h"

#include <gtest/gtest.h>

namespace {

class MainAppLoginItemTest : public testing::Test {
protected:
    void SetUp() override
    {
        standin::loginItem() = {};
        setSystemLogSink([this](const QString& line) { log.append(line); });
    }
    void TearDown() override
    {
        setSystemLogSink({});
        standin::loginItem() = {};
    }

    QStringList log;
};

TEST_F(MainAppLoginItemTest, ShowsWhatTheSystemSaysAndAsksForApprovalInSystemSettings)
{
    using Status = MainAppLoginItem::Status;
    const std::tuple<long, Status, bool, const char*> said[] = {
        {0, Status::NotRegistered, false, "Start at Login"},
        {1, Status::Enabled, true, "Start at Login"},
        {2, Status::RequiresApproval, false, "Start at Login (Approve in System Settings)"},
        {3, Status::NotFound, false, "Start at Login"}};
    MainAppLoginItem item;
    int announced = 0;
    QObject::connect(&item, &StartAtLogin::enabledChanged, [&] { ++announced; });
    for (const auto& [system, status, checked, text] : said) {
        standin::loginItem().status = system;
        item.reload();
        EXPECT_EQ(item.status(), status) << system;
        EXPECT_EQ(item.enabled(), checked) << system;
        EXPECT_EQ(item.text(), QString::fromUtf8(text)) << system;
    }
    EXPECT_EQ(announced, 4);

    // The user must approve: registering fails while the system asks.
    standin::loginItem() = {};
    standin::loginItem().askUser = true;
    item.reload();
    item.setEnabled(true);
    EXPECT_EQ(item.status(), Status::RequiresApproval);
    EXPECT_FALSE(item.enabled());
    EXPECT_EQ(standin::loginItem().settingsOpened, 1);
    // Chosen again, the settings open again; registering again would not ask.
    item.setEnabled(true);
    EXPECT_EQ(standin::loginItem().settingsOpened, 2);
    EXPECT_EQ(standin::loginItem().registers, 1);
    EXPECT_EQ(log, QStringList()) << "waiting for the user is no failure";

    // Approved in System Settings meanwhile; turned off from the menu.
    standin::loginItem().status = 1;
    item.reload();
    EXPECT_TRUE(item.enabled());
    item.setEnabled(false);
    EXPECT_EQ(item.status(), Status::NotRegistered);
}

TEST_F(MainAppLoginItemTest, ARefusalIsLoggedAndTheItemFallsBackToTheSystemsAnswer)
{
    MainAppLoginItem item;
    int announced = 0;
    QObject::connect(&item, &StartAtLogin::enabledChanged, [&] { ++announced; });
    standin::loginItem().failure = "The operation couldn't be completed.";
    item.setEnabled(true);
    EXPECT_FALSE(item.enabled());
    EXPECT_EQ(announced, 1) << "a check item the user toggled falls back";
    EXPECT_EQ(standin::loginItem().settingsOpened, 0);
    EXPECT_EQ(log, QStringList{"[ravlet] could not start at login: The operation couldn't be completed."});

    item.setEnabled(true);
    ASSERT_TRUE(item.enabled());
    item.setEnabled(true);
    EXPECT_EQ(standin::loginItem().registers, 2) << "no second registration of an enabled item";
    standin::loginItem().failure = "Operation not permitted";
    item.setEnabled(false);
    EXPECT_TRUE(item.enabled()) << "still registered";
    EXPECT_EQ(log.last(), QStringLiteral("[ravlet] could not stop starting at login: Operation not permitted"));
}

} // namespace
