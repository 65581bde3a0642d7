#pragma once

// Hosting the popover: what a QQmlEngine needs before it loads ContentView.
//
//     QQuickView view;
//     popover::prepareEngine(*view.engine());
//     view.setInitialProperties({{"engine", QVariant::fromValue(engine)}, …});
//     view.setSource(popover::contentViewUrl());

#include "icon_provider.h"

#include <QUrl>

#include <memory>

class QQmlEngine;

namespace popover {

QUrl contentViewUrl();

// Makes the Ravlet.Popover module importable, installs the image providers
// for symbols and application icons (icons from a DesktopIconSource over the
// desktop's icon theme unless told otherwise) and takes the engine off the
// network. Once per engine, on the main thread, before anything is loaded.
void prepareEngine(QQmlEngine& engine, std::shared_ptr<const AppIconSource> icons = {});

} // namespace popover
