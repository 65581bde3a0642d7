#include "renderer_choice.h"

#include <QQuickWindow>

bool rendererChosenByUser(const QProcessEnvironment& environment)
{
    for (const char* name : {"QMLSCENE_DEVICE", "QT_QUICK_BACKEND", "QSG_RHI_BACKEND"}) {
        if (!environment.value(QLatin1String(name)).isEmpty())
            return true;
    }
    return false;
}

void chooseRenderer(const QProcessEnvironment& environment)
{
    if (!rendererChosenByUser(environment))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // Glyphs from the font rasteriser, as the rest of the desktop draws them,
    // under either renderer; the hardware path would otherwise draw them from
    // distance fields, softer at these sizes and unlike the software path.
    QQuickWindow::setTextRenderType(QQuickWindow::NativeTextRendering);
}

QString rendererName(const QQuickWindow& window)
{
    const QSGRendererInterface* renderer = window.rendererInterface();
    switch (renderer ? renderer->graphicsApi() : QSGRendererInterface::Unknown) {
    case QSGRendererInterface::Software:
        return QStringLiteral("software");
    case QSGRendererInterface::OpenVG:
        return QStringLiteral("openvg");
    case QSGRendererInterface::OpenGL:
        return QStringLiteral("opengl");
    case QSGRendererInterface::Direct3D11:
        return QStringLiteral("d3d11");
    case QSGRendererInterface::Vulkan:
        return QStringLiteral("vulkan");
    case QSGRendererInterface::Metal:
        return QStringLiteral("metal");
    case QSGRendererInterface::Null:
        return QStringLiteral("null");
    default:
        // Unknown, and what later Qt adds (Direct3D12 from 6.6 on).
        break;
    }
    return QStringLiteral("unknown");
}
