#include "popover.h"

#include "symbol_provider.h"

#include <QIcon>
#include <QQmlEngine>

// Generated with the module's type registrations. Referring to it keeps the
// registrations of this static library in every program that prepares an
// engine.
extern void qml_register_types_Ravlet_Popover();

namespace popover {

QUrl contentViewUrl()
{
    return QUrl(QStringLiteral("qrc:/qt/qml/Ravlet/Popover/ContentView.qml"));
}

void prepareEngine(QQmlEngine& engine, std::shared_ptr<const AppIconSource> icons)
{
    [[maybe_unused]] volatile auto keepRegistrations = &qml_register_types_Ravlet_Popover;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    // The theme's name is read here, on the main thread, as QIcon wants; the
    // lookups themselves happen wherever images are loaded.
    if (!icons)
        icons = std::make_shared<DesktopIconSource>(IconTheme::fromEnvironment(QIcon::themeName()));
    engine.addImageProvider(QLatin1String(SymbolProvider::kId), new SymbolProvider);
    engine.addImageProvider(QLatin1String(AppIconProvider::kId), new AppIconProvider(std::move(icons)));
}

} // namespace popover
