#include "build_settings.h"
#include "in_app_updater.h"
#include "widget_update_presenter.h"

#include <QCoreApplication>
#include <QDir>

namespace {

// The application bundle the executable runs from (X.app for
// X.app/Contents/MacOS/x), or else the executable's directory.
QString mainBundlePath()
{
    const QDir executableDir(QCoreApplication::applicationDirPath());
    QDir bundle = executableDir;
    if (executableDir.dirName() == QLatin1String("MacOS") && bundle.cdUp()
        && bundle.dirName() == QLatin1String("Contents") && bundle.cdUp()
        && bundle.dirName().endsWith(QLatin1String(".app")))
        return bundle.absolutePath();
    return executableDir.absolutePath();
}

}

InAppUpdater& InAppUpdater::shared()
{
    // Never destroyed: an attempt may still run when the program ends.
    static WidgetUpdatePresenter* const presenter = new WidgetUpdatePresenter;
    static InAppUpdater* const instance = [] {
        UpdaterPlatform platform{*presenter, UpdaterTools{}, mainBundlePath(), QDir::tempPath()};
        platform.downloadPage = downloadPageURL();
        return new InAppUpdater(std::move(platform));
    }();
    return *instance;
}
