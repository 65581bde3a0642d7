#include "popover.h"

#include "symbol_provider.h"

#include <QIcon>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQmlEngine>
#include <QQmlNetworkAccessManagerFactory>

// Generated with the module's type registrations. Referring to it keeps the
// registrations of this static library in every program that prepares an
// engine.
extern void qml_register_types_Ravlet_Popover();

namespace popover {

namespace {

// A request answered with an error at once, without any connection.
class RefusedReply final : public QNetworkReply {
public:
    RefusedReply(QNetworkAccessManager::Operation operation, const QNetworkRequest& request, QObject* parent)
        : QNetworkReply(parent)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(operation);
        open(QIODevice::ReadOnly);
        setError(ContentAccessDenied, QStringLiteral("the popover does not use the network"));
        setFinished(true);
        QMetaObject::invokeMethod(this, [this] {
            emit errorOccurred(error());
            emit finished();
        }, Qt::QueuedConnection);
    }
    void abort() override {}

protected:
    qint64 readData(char*, qint64) override { return -1; }
};

// The views show names and versions that other programs choose; nothing in
// them may make Ravlet reach out to the network (a remote image in a name
// taken for rich text, say). Local files and the program's own resources
// stay readable.
class NoNetworkAccess final : public QNetworkAccessManager {
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request, QIODevice* data) override
    {
        const QUrl url = request.url();
        if (url.isLocalFile() || url.scheme() == QLatin1String("qrc") || url.scheme() == QLatin1String("data"))
            return QNetworkAccessManager::createRequest(operation, request, data);
        return new RefusedReply(operation, request, this);
    }
};

class NoNetworkAccessFactory final : public QQmlNetworkAccessManagerFactory {
public:
    QNetworkAccessManager* create(QObject* parent) override { return new NoNetworkAccess(parent); }
};

} // namespace

QUrl contentViewUrl()
{
    return QUrl(QStringLiteral("qrc:/qt/qml/Ravlet/Popover/ContentView.qml"));
}

void prepareEngine(QQmlEngine& engine, std::shared_ptr<const AppIconSource> icons)
{
    [[maybe_unused]] volatile auto keepRegistrations = &qml_register_types_Ravlet_Popover;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    // Stateless and never destroyed: engines do not own their factory.
    static NoNetworkAccessFactory* const noNetwork = new NoNetworkAccessFactory;
    engine.setNetworkAccessManagerFactory(noNetwork);
    // The theme's name is read here, on the main thread, as QIcon wants; the
    // lookups themselves happen wherever images are loaded.
    if (!icons)
        icons = std::make_shared<DesktopIconSource>(IconTheme::fromEnvironment(QIcon::themeName()));
    engine.addImageProvider(QLatin1String(SymbolProvider::kId), new SymbolProvider);
    engine.addImageProvider(QLatin1String(AppIconProvider::kId), new AppIconProvider(std::move(icons)));
}

} // namespace popover
