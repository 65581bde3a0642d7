// The program's start-up and quit path on the built-in scene, with its
// settings in the file given: opens the popover, drags the first row's volume
// slider as a hand would, prints "released", the row's application and the
// gain the engine holds, then runs until it is ended.

#include "app_delegate.h"
#include "demo_scene.h"
#include "json_user_defaults.h"
#include "no_update_offered.h"
#include "quit_signals.h"
#include "support/quick_items.h"

#include <QApplication>
#include <QFileInfo>
#include <QQuickWindow>
#include <QTest>
#include <QtQuickTest/quicktest.h>

#include <cstdio>

namespace {

class AnchorItem final : public StatusItem {
public:
    QRect geometry() const override { return {900, 0, 24, 24}; }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 64;
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    const QString settings = QString::fromLocal8Bit(argv[1]);
    DemoScene scene;
    JsonUserDefaults defaults(settings);
    NoUpdateOffered noUpdate;
    AppDelegate delegate(EnginePlatform{scene.hardware(), scene.processes(), defaults,
                                        QFileInfo(settings).dir().filePath(QStringLiteral("diag.log"))});
    QObject::connect(&delegate, &AppDelegate::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &delegate, &AppDelegate::quitRequested);
    delegate.applicationDidFinishLaunching([&] { return UpdateServices{&noUpdate, {}, {}}; },
                                           [] { return std::make_unique<AnchorItem>(); });

    delegate.togglePopover();
    QQuickWindow& window = delegate.popover()->window();
    if (!QTest::qWaitForWindowExposed(&window) || !QQuickTest::qWaitForPolish(&window))
        return 1;
    QQuickItem* slider = findNamed(delegate.popover()->root(), QStringLiteral("volume"), true);
    QQuickItem* row = slider ? slider->parentItem() : nullptr;
    while (row && !row->property("appId").isValid())
        row = row->parentItem();
    if (!row)
        return 1;

    // From 100 % to a fifth of the way along, in small steps, quickly: most
    // moves fall within the quarter second after a write.
    dragAcross(&window, sliderPoint(slider, 1.0 / 1.5), sliderPoint(slider, 0.2), 40);

    const QString id = row->property("appId").toString();
    std::printf("released\t%s\t%.9g\n", qPrintable(id), double(delegate.engine().gains().value(id, 1.0f)));
    std::fflush(stdout);
    return app.exec();
}
