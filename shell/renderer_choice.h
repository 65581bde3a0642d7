#pragma once

// Which renderer draws the popover. A few hundred points of flat shapes,
// text and ten level bars gain nothing from a GPU, and on a desktop without
// one (a virtual machine, a remote session) the OpenGL path is emulated on
// the CPU at about ten times the cost of Qt Quick's own software renderer,
// with twice the memory. So the software renderer draws it, unless the user
// asked Qt for another.
//
// Qt 6.4 takes the renderer from, in this order: the application's own
// request (QQuickWindow::setGraphicsApi or setSceneGraphBackend), then the
// QMLSCENE_DEVICE and QT_QUICK_BACKEND variables (the scene graph
// adaptation: "software", or "rhi" for the hardware path), and for the
// hardware path the QSG_RHI_BACKEND variable (opengl, vulkan, ...). Since the
// application's request comes first, it is made only when none of those
// variables is set, so that the user's choice holds.

#include <QProcessEnvironment>

// Whether the environment names a renderer for Qt Quick.
bool rendererChosenByUser(const QProcessEnvironment& environment);

// Before the first Qt Quick window is created: the software renderer unless
// the environment chose another.
void chooseRenderer(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

class QQuickWindow;

// The renderer drawing window, named as the variables above name it
// ("software", "opengl", "vulkan", ...); "unknown" before its first frame.
QString rendererName(const QQuickWindow& window);
