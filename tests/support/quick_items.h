#pragma once

// Reaching the popover's items as a hand would: by name, at their middle, a
// slider along its travel, a menu's entries once it has opened.

#include <QQuickItem>
#include <QTest>
#include <QWindow>

inline QList<QQuickItem*> descendants(QQuickItem* item)
{
    QList<QQuickItem*> all;
    for (QQuickItem* child : item->childItems())
        all << child << descendants(child);
    return all;
}

// The first item named so under root, depth first; visible ones only if asked.
inline QQuickItem* findNamed(QQuickItem* root, const QString& name, bool visibleOnly = false)
{
    for (QQuickItem* candidate : descendants(root))
        if (candidate->objectName() == name && (!visibleOnly || candidate->isVisible()))
            return candidate;
    return nullptr;
}

inline QPoint centre(QQuickItem* item) { return item->mapToScene({item->width() / 2, item->height() / 2}).toPoint(); }

// Where the middle of a slider's handle is at fraction of its travel.
inline QPoint sliderPoint(QQuickItem* slider, qreal fraction)
{
    const qreal handle = slider->property("handle").value<QQuickItem*>()->width();
    return slider->mapToScene({handle / 2 + fraction * (slider->width() - handle), slider->height() / 2}).toPoint();
}

// Press, move there in small steps and hold.
inline void pressAndMove(QWindow* window, QPoint from, QPoint to, int steps)
{
    QTest::mousePress(window, Qt::LeftButton, {}, from);
    for (int step = 1; step <= steps; ++step)
        QTest::mouseMove(window, from + (to - from) * step / steps);
}

// Press, move there in small steps, release.
inline void dragAcross(QWindow* window, QPoint from, QPoint to, int steps)
{
    pressAndMove(window, from, to, steps);
    QTest::mouseRelease(window, Qt::LeftButton, {}, to);
}

// A menu's entry at index, null where it has none.
inline QQuickItem* menuItem(QObject* menu, int index)
{
    QQuickItem* entry = nullptr;
    QMetaObject::invokeMethod(menu, "itemAt", Q_RETURN_ARG(QQuickItem*, entry), Q_ARG(int, index));
    return entry;
}

// The entry that reads text of a menu that is opening; null if it never
// opens or has no such entry.
inline QQuickItem* menuEntry(QObject* menu, const QString& text)
{
    if (!menu || !QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 2000))
        return nullptr;
    for (int i = 0; i < menu->property("count").toInt(); ++i)
        if (QQuickItem* entry = menuItem(menu, i); entry && entry->property("text").toString() == text)
            return entry;
    return nullptr;
}
