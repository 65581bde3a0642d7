#pragma once

// The popover: a frameless window of Qt Quick holding the mixer, anchored to
// the status item, shown with a short fade, closed by a click outside it (it
// closes when it loses activation) or by the status item again. The mixer's
// view is made at its first opening, not at start: made ahead, its QML
// engine, types and items (22 MiB) would stay for as long as Ravlet runs,
// most often unopened, to save the first opening about 0.1 s.

#include <QElapsedTimer>
#include <QObject>
#include <QPropertyAnimation>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRect>

#include <memory>

class RavletEngine;

class PopoverWindow : public QObject {
    Q_OBJECT
public:
    static constexpr qreal kRowHeight = 86;

    // startAtLogin: what the header's "Start at Login" item reads and sets
    // (an AutostartEntry); without it the header offers no menu.
    PopoverWindow(RavletEngine& engine, QObject* updater, QObject* startAtLogin = nullptr, QObject* parent = nullptr);

    ~PopoverWindow() override;

    bool isShown() const { return m_window.isVisible(); }
    // Whether it closed itself a moment ago, on the click that is now
    // reaching the status item: that click must not open it again.
    bool justClosedByClickOutside() const;

    void show(const QRect& anchor);
    // Makes the native window ahead of the first click, which would otherwise
    // wait for the window system. Main thread only; idle time is the time for it.
    void prepare();
    // Dark or light colours, switched at once, open or not.
    void setDark(bool dark);

    QQuickWindow& window() { return m_window; }
    // The mixer's root view, made at the first call (an opening makes it
    // too), or null when it could not be loaded.
    QQuickItem* root();

public slots:
    void close();
    // The root's laid-out size; sizes of 1 point or less are ignored.
    void applySize(qreal width, qreal height);

signals:
    void updateRequested(const QString& downloadURL, const QString& expectedVersion);
    void quitRequested();

private:
    void place(const QRect& anchor);

    RavletEngine& m_engine;
    QObject* m_updater;
    QObject* m_startAtLogin;
    bool m_dark = false;
    bool m_loadFailed = false;
    QQuickWindow m_window;
    std::unique_ptr<QQmlEngine> m_qml;
    std::unique_ptr<QQuickItem> m_root;
    QPropertyAnimation m_fade;
    QRect m_anchor;
    QElapsedTimer m_closedByDeactivation;
};
