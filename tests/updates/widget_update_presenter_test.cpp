// The real panel and alert, on the offscreen platform.

#include "in_app_updater.h"
#include "widget_update_presenter.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

TEST(WidgetUpdatePresenter, PanelFloatsWithoutTakingTheFocusAndFollowsTheStatus)
{
    WidgetUpdatePresenter presenter;
    presenter.showPanel(QStringLiteral("Downloading update…"));
    const QPointer<QWidget> panel = presenter.panel();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->windowTitle(), QStringLiteral("Ravlet Update"));
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_FALSE(panel->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(panel->testAttribute(Qt::WA_ShowWithoutActivating));
    const auto* label = panel->findChild<QLabel*>();
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text(), QStringLiteral("Downloading update…"));

    const QRect before = panel->geometry();
    presenter.setStatus(QStringLiteral("Installing… with a status line far longer than the first one"));
    QCoreApplication::processEvents();
    EXPECT_EQ(label->text(), QStringLiteral("Installing… with a status line far longer than the first one"));
    EXPECT_GT(panel->width(), before.width());   // refitted in place
    EXPECT_EQ(panel->geometry().topLeft(), before.topLeft());

    presenter.closePanel();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(panel);
    presenter.setStatus(QStringLiteral("no panel, no effect"));
}

TEST(WidgetUpdatePresenter, AlertIsAModalWarningWhoseFirstButtonMeansDownload)
{
    WidgetUpdatePresenter presenter;
    for (const QString& pick : {QStringLiteral("Download"), QStringLiteral("Later")}) {
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll.stop();
            EXPECT_EQ(box->icon(), QMessageBox::Warning);
            EXPECT_EQ(box->text(), QStringLiteral("Ravlet Update"));
            EXPECT_EQ(box->informativeText(), InAppUpdater::failureAlert().informativeText);
            QStringList texts;
            for (QAbstractButton* button : box->buttons()) {
                texts << button->text();
                if (button->text() == pick)
                    button->click();
            }
            texts.sort();
            EXPECT_EQ(texts, QStringList({QStringLiteral("Download"), QStringLiteral("Later")}));
        });
        poll.start();
        EXPECT_EQ(presenter.runAlert(InAppUpdater::failureAlert()), pick == QStringLiteral("Download"));
    }
}

}

int main(int argc, char** argv)
{
    // Also when run by hand or listed by CTest at build time.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
