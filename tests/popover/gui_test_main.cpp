#include <QGuiApplication>
#include <QLocale>
#include <QQuickWindow>

#include <gtest/gtest.h>

// The views need a QGuiApplication. Offscreen and software-rendered unless
// told otherwise, so the tests run, and render, on any machine.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
