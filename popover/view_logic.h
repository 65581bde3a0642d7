#pragma once

// The decisions behind the popover's drawing: its size, the percentage texts,
// how a row looks in each state and how much of a level bar is lit. Plain
// functions, so they are testable without a display; ViewLogic hands them to
// QML.

#include <QColor>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

#include <functional>
#include <optional>

class QJSEngine;
class QQmlEngine;

namespace popover {

inline constexpr double kWidth = 400.0;
// The cap when there is no screen to measure.
inline constexpr double kNoScreenHeightCap = 870.0;
inline constexpr double kScreenMargin = 30.0;
inline constexpr float kMaxGain = 1.5f;

struct SizeInputs {
    bool supported = false;
    bool masterVolumeSupported = false;
    qsizetype rows = 0;
    double rowHeight = 0.0;
    // The visible height of the main screen; nothing when there is none.
    std::optional<double> screenHeight;
};

// The popover's height: room for the header, the master row and every row,
// but no taller than the screen allows.
double popoverHeight(const SizeInputs& in);

// p followed by "%", p = fraction × 100 in 32-bit float, halves away from zero.
QString percentText(float fraction);

// The master volume as the slider and the percentage show it: within 0…1,
// where the device keeps it; a value that is not a number is what the device
// is given for it, full volume.
float shownMasterVolume(float volume);

// A row's gain as its slider and percentage show it: a missing or non-finite
// gain is unity (what the mix plays for it), anything else is held within the
// slider's range.
float shownGain(std::optional<float> gain);

enum class RowState { Hidden, Active, NotRunning };

// Hidden wins over running or not.
RowState rowState(bool hidden, bool active);
// How far a row's icon and level bar fade; its text and symbols take dimmed
// colours instead, which stay legible.
double rowOpacity(RowState state);

// The level a row's bar shows: only running applications have a live level.
float rowLevel(std::optional<float> level, bool active);

// The lit part of a level bar `available` wide: full at a level of 1 or more,
// never less than a 2-point dot.
double litWidth(double available, float level);

QString contextMenuTitle(bool hidden, const QString& name);

// What a row says after its name, beside "· not running": that its gain,
// mute and device go unapplied when every slot is taken by rows before it,
// else, while it runs, the device it plays on when that is one of its own
// and there, and what is heard (heard, in percent; -1 for nothing to say)
// where another program's volume on its streams multiplies with the row's.
// Empty when there is nothing to say.
QString rowNote(bool beyondSlots, bool active, const QString& output, bool outputPresent, const QString& outputName,
                int heard = -1);

// One press of an arrow key, one notch of the wheel.
inline constexpr int kStepPercent = 5;
// Angle-delta units in one notch of a mouse wheel; touchpads and smooth
// wheels send smaller parts of one.
inline constexpr int kWheelNotch = 120;

// The gain `steps` steps away from the one the row shows, in whole percent
// (so that stepping back lands on unity exactly, untapped again), within
// the slider's range.
float steppedGain(std::optional<float> gain, int steps);
// The same for the master volume, within 0…100 %.
float steppedMasterVolume(float volume, int steps);

struct WheelNotches {
    int steps;   // whole notches, positive away from the user
    int rest;    // what is kept towards the next notch
};
// The whole notches in what is left of earlier events plus this one's delta.
WheelNotches wheelNotches(int pending, int delta);

// Whether a turn of the wheel over the list scrolls it rather than setting a
// volume: anywhere but on a volume control, and on one too while the list is
// being scrolled (its last scroll step less than kWheelScrollHoldMs ago), so
// that a slider passing under the pointer does not catch the scroll.
// msSinceScrollStep: nothing when the list has not scrolled yet.
inline constexpr qint64 kWheelScrollHoldMs = 300;
bool wheelScrolls(bool onVolumeControl, std::optional<qint64> msSinceScrollStep);

// Where one wheel event leaves a list's top edge: a touchpad's pixels as
// given, a wheel's notches kWheelScrollPixels each, within the content.
inline constexpr double kWheelScrollPixels = 60.0;
double scrolledContentY(double contentY, double contentHeight, double height, int pixelDeltaY, int angleDeltaY);

// How far a list scrolls in elapsedMs of a drag held at y (in the list's own
// coordinates, `height` tall): towards the edge the pointer is near, faster
// the closer it is, nothing away from the edges. By the time passed, not per
// tick, so a busy machine scrolls as fast; a stall counts for no more than
// kEdgeScrollLongestMs, so the list does not leap after one.
inline constexpr double kEdgeZone = 36.0;
// Pixels per millisecond at the very edge: about ten rows a second.
inline constexpr double kEdgeScrollMaxSpeed = 1.0;
inline constexpr double kEdgeScrollLongestMs = 100.0;
double edgeScrollStep(double y, double height, double elapsedMs);

// What the list says when it has no rows: that the applications playing are
// hidden, and how to show them, when any are.
QString emptyListText(int hiddenPlaying);

// The update pill's label: the arrow and the version, whatever it is
// ("0.2.0-beta" is newer too), on one line without control characters and
// elided past 24 characters. It comes from a file on a server: the label
// shows it as plain text.
QString updatePillLabel(const QString& version);

} // namespace popover

// The functions above for QML, plus the image sources of symbols and
// application icons.
class ViewLogic : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(qreal popoverWidth READ popoverWidth CONSTANT)

public:
    // Not default-constructible, so that QML creates it through create().
    explicit ViewLogic(QQmlEngine* engine, QObject* parent = nullptr);
    static ViewLogic* create(QQmlEngine* qmlEngine, QJSEngine* jsEngine);

    qreal popoverWidth() const { return popover::kWidth; }

    // screenAvailableHeight 0 (or less) means there is no screen.
    Q_INVOKABLE qreal popoverHeight(bool supported, bool masterVolumeSupported, int rows, qreal rowHeight,
                                    qreal screenAvailableHeight) const;
    Q_INVOKABLE QString masterPercentText(float masterVolume) const;
    Q_INVOKABLE qreal masterSliderValue(float masterVolume) const;
    // gain: the row's value in the engine's gains, undefined when missing.
    Q_INVOKABLE QString gainPercentText(const QVariant& gain) const;
    Q_INVOKABLE qreal gainSliderValue(const QVariant& gain) const;
    Q_INVOKABLE qreal rowOpacity(bool hidden, bool active) const;
    Q_INVOKABLE bool rowDimmed(bool hidden, bool active) const;
    Q_INVOKABLE qreal scrolledContentY(qreal contentY, qreal contentHeight, qreal height, int pixelDeltaY,
                                       int angleDeltaY) const;
    Q_INVOKABLE qreal edgeScrollStep(qreal y, qreal height, qreal elapsedMs) const;
    Q_INVOKABLE QString emptyListText(int hiddenPlaying) const;
    Q_INVOKABLE qreal rowLevel(const QVariant& level, bool active) const;
    Q_INVOKABLE qreal litWidth(qreal available, float level) const;
    Q_INVOKABLE QString contextMenuTitle(bool hidden, const QString& name) const;
    Q_INVOKABLE QString rowNote(bool beyondSlots, bool active, const QString& output, bool outputPresent,
                                const QString& outputName, int heard) const;
    Q_INVOKABLE QString updatePillLabel(const QString& version) const;
    // gain: as for gainPercentText.
    Q_INVOKABLE qreal steppedGain(const QVariant& gain, int steps) const;
    Q_INVOKABLE qreal steppedMasterVolume(float volume, int steps) const;
    // {steps, rest}: see popover::wheelNotches.
    Q_INVOKABLE QVariantMap wheelNotches(int pending, int delta) const;

    // "image://symbol/…" for the named symbol tinted with color.
    Q_INVOKABLE QUrl symbolSource(const QString& name, const QColor& color) const;
    // The icon standing for the application at path; empty when there is
    // none, and the view draws the placeholder tile.
    Q_INVOKABLE QUrl appIconSource(const QString& path) const;

private:
    QQmlEngine* m_engine;
};

// Decides, turn by turn, whether the wheel scrolls the popover's list or sets
// the volume under it, remembering when the list last scrolled. Main thread
// only.
class WheelRouter : public QObject {
    Q_OBJECT
    QML_ELEMENT

public:
    explicit WheelRouter(QObject* parent = nullptr);

    // Whether this turn scrolls; one that does counts as the latest step.
    Q_INVOKABLE bool scrolls(bool onVolumeControl);

    // Milliseconds from any fixed point, for tests to step by hand.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

private:
    std::function<qint64()> m_clock;
    std::optional<qint64> m_lastScroll;
};
