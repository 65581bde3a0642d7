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
#include <vector>

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

// However many are asked for at once (a long list scrolled through), icons
// share a few threads, and every one is still drawn.
TEST(AppIconLoading, ManyIconsShareAFewThreads)
{
    auto source = std::make_shared<SlowSource>();
    AppIconProvider provider(source);
    constexpr int kIcons = 16;
    std::vector<std::unique_ptr<QQuickImageResponse>> responses;
    int finished = 0;
    for (int i = 0; i < kIcons; ++i) {
        responses.emplace_back(
            provider.requestImageResponse(AppIconProvider::source(QString::number(i)).path().mid(1), {16, 16}));
        QObject::connect(responses.back().get(), &QQuickImageResponse::finished, [&] { ++finished; });
    }
    ASSERT_TRUE(source->started.tryAcquire(1, 5000)) << "no icon was started";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(source->started.available() + 1, AppIconProvider::kMaxThreads);

    source->released.release(kIcons);
    QElapsedTimer waited;
    waited.start();
    while (finished < kIcons && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(finished, kIcons);
    for (const auto& response : responses)
        EXPECT_TRUE(std::unique_ptr<QQuickTextureFactory>(response->textureFactory()));
}

} // namespace
