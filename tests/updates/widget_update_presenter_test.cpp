// The real panel and alert, on the offscreen platform.

#include "widget_update_presenter.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

TEST(WidgetUpdatePresenter, PanelTakesNoFocusAndRefitsToTheStatus)
{
    WidgetUpdatePresenter presenter;
    presenter.showPanel("Downloading update…");
    const QPointer<QWidget> panel = presenter.panel();
    ASSERT_TRUE(panel && panel->isVisible());
    EXPECT_TRUE(panel->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(panel->testAttribute(Qt::WA_ShowWithoutActivating));

    const int width = panel->width();
    presenter.setStatus("Installing… with a status line far longer than the first one");
    QCoreApplication::processEvents();
    EXPECT_GT(panel->width(), width);

    presenter.closePanel();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(panel);
    presenter.setStatus("no panel, no effect");
}

TEST(WidgetUpdatePresenter, AlertIsAPlainTextWarningWhoseFirstButtonAloneMeansYes)
{
    WidgetUpdatePresenter presenter;
    // Markup in a folder's name stays text.
    const UpdateAlert alert{"Ravlet Update", "It is kept at /Users/<b>kim</b>.", {"Download", "Maybe", "Later"}};
    for (const QString& pick : alert.buttons) {
        QTimer poll;
        poll.callOnTimeout([&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                poll.stop();
                EXPECT_EQ(box->icon(), QMessageBox::Warning);
                EXPECT_EQ(box->defaultButton() ? box->defaultButton()->text() : QString(), "Download");
                for (const QLabel* label : box->findChildren<QLabel*>())
                    EXPECT_TRUE(label->text().isEmpty() || label->textFormat() == Qt::PlainText) << label->objectName().toStdString();
                for (QAbstractButton* button : box->buttons())
                    if (button->text() == pick)
                        button->click();
            }
        });
        poll.start(10);
        EXPECT_EQ(presenter.runAlert(alert), pick == "Download") << pick.toStdString();
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
