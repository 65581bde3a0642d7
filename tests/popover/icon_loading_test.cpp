// Application icons as Qt Quick loads them: an icon still loading when the
// view goes must not hold up quitting (the program is asked to quit on
// SIGTERM, and gives the streams it holds back as it does).

#include "icon_provider.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSemaphore>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

// An icon that takes as long as the test says.
class SlowSource : public AppIconSource {
public:
    bool hasIcon(const QString&) const override { return true; }
    QImage icon(const QString&, const QSize&) const override
    {
        started.release();
        released.acquire();
        QImage image(16, 16, QImage::Format_ARGB32);
        image.fill(Qt::red);
        return image;
    }
    mutable QSemaphore started;
    mutable QSemaphore released;
};

TEST(AppIconLoading, QuittingDoesNotWaitForAnIconStillLoading)
{
    auto source = std::make_shared<SlowSource>();
    auto engine = std::make_unique<QQmlEngine>();
    engine->addImageProvider(QLatin1String(AppIconProvider::kId), new AppIconProvider(source));
    QQmlComponent component(engine.get());
    component.setData("import QtQuick\nImage { asynchronous: true; source: \""
                          + AppIconProvider::source(QStringLiteral("slow")).toString().toUtf8() + "\" }",
                      QUrl());
    std::unique_ptr<QObject> image(component.create());
    ASSERT_TRUE(image) << component.errorString().toStdString();
    QElapsedTimer waited;
    waited.start();
    while (!source->started.tryAcquire(1, 10) && waited.elapsed() < 5000)
        QCoreApplication::processEvents();
    ASSERT_LT(waited.elapsed(), 5000) << "the load never started";

    // Should the view wait after all, it waits seconds, not for ever.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        source->released.release();
    });
    QElapsedTimer quitting;
    quitting.start();
    image.reset();
    engine.reset();
    EXPECT_LT(quitting.elapsed(), 1000);
    release.join();
}

} // namespace
