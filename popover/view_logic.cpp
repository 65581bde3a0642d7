#include "view_logic.h"

#include "icon_provider.h"
#include "render.h"
#include "symbol_provider.h"

#include <QElapsedTimer>
#include <QQmlEngine>

#include <algorithm>
#include <cmath>
#include <memory>

namespace popover {

namespace {

constexpr double kBaseUnsupported = 120.0;
constexpr double kBaseWithMaster = 156.0;
constexpr double kBaseWithoutMaster = 130.0;
// The list's padding below the last row.
constexpr double kListPadding = 14.0;
constexpr double kMinLitWidth = 2.0;

} // namespace

double popoverHeight(const SizeInputs& in)
{
    const qsizetype rows = in.supported ? std::max<qsizetype>(in.rows, 1) : 1;
    const double cap = in.screenHeight ? *in.screenHeight - kScreenMargin : kNoScreenHeightCap;
    const double base = !in.supported             ? kBaseUnsupported
                        : in.masterVolumeSupported ? kBaseWithMaster
                                                   : kBaseWithoutMaster;
    // A screen too small for the margin would give a negative height, which
    // no window can take; zero is what the shell knows to ignore.
    return std::max(0.0, std::min(cap, base + double(rows) * in.rowHeight + kListPadding));
}

QString percentText(float fraction)
{
    const float percent = fraction * 100.0f;
    return QString::asprintf("%lld", static_cast<long long>(std::llround(percent))) + QLatin1Char('%');
}

float shownMasterVolume(float volume)
{
    if (std::isnan(volume))
        return 1.0f;
    return std::clamp(volume, 0.0f, 1.0f);
}

float shownGain(std::optional<float> gain)
{
    if (!gain || !std::isfinite(*gain))
        return 1.0f;
    return std::clamp(*gain, 0.0f, kMaxGain);
}

RowState rowState(bool hidden, bool active)
{
    if (hidden)
        return RowState::Hidden;
    return active ? RowState::Active : RowState::NotRunning;
}

double rowOpacity(RowState state)
{
    switch (state) {
    case RowState::Hidden:
        return 0.45;
    case RowState::Active:
        return 1.0;
    case RowState::NotRunning:
        return 0.6;
    }
    return 1.0;
}

float rowLevel(std::optional<float> level, bool active)
{
    return active ? level.value_or(0.0f) : 0.0f;
}

double litWidth(double available, float level)
{
    // A level that is not a number (a meter fed garbage samples) shows as
    // silence rather than as a bar of undefined width.
    const float shown = std::isnan(level) ? 0.0f : std::min(level, 1.0f);
    return std::max(available * double(shown), kMinLitWidth);
}

bool wheelScrolls(bool onVolumeControl, std::optional<qint64> msSinceScrollStep)
{
    if (!onVolumeControl)
        return true;
    // A clock that went back (another machine's, a test's) counts as long ago.
    return msSinceScrollStep && *msSinceScrollStep >= 0 && *msSinceScrollStep < kWheelScrollHoldMs;
}

double scrolledContentY(double contentY, double contentHeight, double height, int pixelDeltaY, int angleDeltaY)
{
    const double by = pixelDeltaY != 0 ? double(pixelDeltaY) : double(angleDeltaY) / kWheelNotch * kWheelScrollPixels;
    const double bottom = std::max(0.0, contentHeight - height);
    return std::clamp(contentY - by, 0.0, bottom);
}

double edgeScrollStep(double y, double height, double elapsedMs)
{
    if (!(height > 2 * kEdgeZone) || !(elapsedMs > 0))
        return 0.0;
    const double ms = std::min(elapsedMs, kEdgeScrollLongestMs);
    const double top = kEdgeZone - y;
    const double bottom = y - (height - kEdgeZone);
    const auto distance = [ms](double into) { return std::min(into, kEdgeZone) / kEdgeZone * kEdgeScrollMaxSpeed * ms; };
    if (top > 0)
        return -distance(top);
    if (bottom > 0)
        return distance(bottom);
    return 0.0;
}

QString emptyListText(int hiddenPlaying)
{
    if (hiddenPlaying <= 0)
        return QStringLiteral("No apps are playing audio right now.");
    const QString playing = hiddenPlaying == 1 ? QStringLiteral("The app playing audio is hidden.")
                                               : QStringLiteral("All %1 apps playing audio are hidden.").arg(hiddenPlaying);
    return playing + QStringLiteral("\nClick the eye above to show hidden apps.");
}

QString contextMenuTitle(bool hidden, const QString& name)
{
    return (hidden ? QStringLiteral("Show ") : QStringLiteral("Hide ")) + name;
}

QString rowNote(bool beyondSlots, bool active, const QString& output, bool outputPresent, const QString& outputName,
                int heard)
{
    if (beyondSlots)
        return QStringLiteral("Ravlet mixes %1 applications at most").arg(kSlotCount);
    if (!active)
        return {};
    QString note;
    // Unplugged, the application plays on the default meanwhile: nothing to
    // tell apart from any other row.
    if (!output.isEmpty() && outputPresent && !outputName.isEmpty())
        note = QStringLiteral("\u00B7 ") + outputName;
    // Another program's volume on its streams multiplies with the row's.
    if (heard >= 0)
        note += (note.isEmpty() ? QString() : QStringLiteral(" ")) + QStringLiteral("\u00B7 heard at %1 %").arg(heard);
    return note;
}

namespace {

float stepped(float shown, int steps, int maxPercent)
{
    // In 64 bits: a flood of wheel events must not wrap around.
    const long long percent = std::llround(shown * 100.0f) + (long long)steps * kStepPercent;
    return float(std::clamp<long long>(percent, 0, maxPercent)) / 100.0f;
}

} // namespace

float steppedGain(std::optional<float> gain, int steps)
{
    return stepped(shownGain(gain), steps, std::lround(kMaxGain * 100.0f));
}

float steppedMasterVolume(float volume, int steps)
{
    return stepped(shownMasterVolume(volume), steps, 100);
}

WheelNotches wheelNotches(int pending, int delta)
{
    const long long total = (long long)pending + delta;
    return {int(total / kWheelNotch), int(total % kWheelNotch)};
}

QString updatePillLabel(const QString& version)
{
    constexpr qsizetype kLongest = 24;
    QString shown = version;
    for (QChar& c : shown) {
        // Line breaks, and the marks that turn text around, as spaces.
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char(' ');
    }
    shown = shown.simplified();
    if (shown.size() > kLongest) {
        qsizetype cut = kLongest - 1;
        if (shown.at(cut - 1).isHighSurrogate())
            --cut;
        shown = shown.left(cut) + QChar(0x2026);
    }
    return QStringLiteral("\u2B06 ") + shown;
}

} // namespace popover

namespace {

std::optional<float> number(const QVariant& value)
{
    if (!value.isValid() || value.isNull())
        return std::nullopt;
    bool ok = false;
    const double result = value.toDouble(&ok);
    return ok ? std::optional<float>(float(result)) : std::nullopt;
}

} // namespace

ViewLogic::ViewLogic(QQmlEngine* engine, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
{
}

ViewLogic* ViewLogic::create(QQmlEngine* qmlEngine, QJSEngine*)
{
    return new ViewLogic(qmlEngine);
}

qreal ViewLogic::popoverHeight(bool supported, bool masterVolumeSupported, int rows, qreal rowHeight,
                               qreal screenAvailableHeight) const
{
    // NaN fails the comparison and counts as no screen too.
    const std::optional<double> screen = screenAvailableHeight > 0.0 ? std::optional<double>(screenAvailableHeight)
                                                                     : std::nullopt;
    return popover::popoverHeight({supported, masterVolumeSupported, rows, rowHeight, screen});
}

QString ViewLogic::masterPercentText(float masterVolume) const
{
    return popover::percentText(popover::shownMasterVolume(masterVolume));
}

qreal ViewLogic::masterSliderValue(float masterVolume) const
{
    return popover::shownMasterVolume(masterVolume);
}

QString ViewLogic::gainPercentText(const QVariant& gain) const
{
    return popover::percentText(popover::shownGain(number(gain)));
}

qreal ViewLogic::gainSliderValue(const QVariant& gain) const
{
    return popover::shownGain(number(gain));
}

qreal ViewLogic::rowOpacity(bool hidden, bool active) const
{
    return popover::rowOpacity(popover::rowState(hidden, active));
}

bool ViewLogic::rowDimmed(bool hidden, bool active) const
{
    return popover::rowState(hidden, active) != popover::RowState::Active;
}

qreal ViewLogic::scrolledContentY(qreal contentY, qreal contentHeight, qreal height, int pixelDeltaY,
                                  int angleDeltaY) const
{
    return popover::scrolledContentY(contentY, contentHeight, height, pixelDeltaY, angleDeltaY);
}

qreal ViewLogic::edgeScrollStep(qreal y, qreal height, qreal elapsedMs) const
{
    return popover::edgeScrollStep(y, height, elapsedMs);
}

QString ViewLogic::emptyListText(int hiddenPlaying) const
{
    return popover::emptyListText(hiddenPlaying);
}

qreal ViewLogic::rowLevel(const QVariant& level, bool active) const
{
    return popover::rowLevel(number(level), active);
}

qreal ViewLogic::litWidth(qreal available, float level) const
{
    return popover::litWidth(available, level);
}

QString ViewLogic::contextMenuTitle(bool hidden, const QString& name) const
{
    return popover::contextMenuTitle(hidden, name);
}

QString ViewLogic::rowNote(bool beyondSlots, bool active, const QString& output, bool outputPresent,
                           const QString& outputName, int heard) const
{
    return popover::rowNote(beyondSlots, active, output, outputPresent, outputName, heard);
}

QString ViewLogic::updatePillLabel(const QString& version) const
{
    return popover::updatePillLabel(version);
}

qreal ViewLogic::steppedGain(const QVariant& gain, int steps) const
{
    return popover::steppedGain(number(gain), steps);
}

qreal ViewLogic::steppedMasterVolume(float volume, int steps) const
{
    return popover::steppedMasterVolume(volume, steps);
}

QVariantMap ViewLogic::wheelNotches(int pending, int delta) const
{
    const popover::WheelNotches notches = popover::wheelNotches(pending, delta);
    return {{QStringLiteral("steps"), notches.steps}, {QStringLiteral("rest"), notches.rest}};
}

QUrl ViewLogic::symbolSource(const QString& name, const QColor& color) const
{
    return SymbolProvider::source(name, color);
}

QUrl ViewLogic::appIconSource(const QString& path) const
{
    if (path.isEmpty() || !m_engine)
        return {};
    const auto* icons = dynamic_cast<AppIconProvider*>(m_engine->imageProvider(AppIconProvider::kId));
    if (!icons || !icons->hasIcon(path))
        return {};
    return AppIconProvider::source(path);
}

WheelRouter::WheelRouter(QObject* parent)
    : QObject(parent)
{
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    m_clock = [started] { return started->elapsed(); };
}

bool WheelRouter::scrolls(bool onVolumeControl)
{
    const qint64 now = m_clock();
    const std::optional<qint64> since = m_lastScroll ? std::optional<qint64>(now - *m_lastScroll) : std::nullopt;
    if (!popover::wheelScrolls(onVolumeControl, since))
        return false;
    m_lastScroll = now;
    return true;
}
