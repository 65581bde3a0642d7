#pragma once

// The user's settings as the engine keeps them, and their stored form under
// the "ravlet." keys of the user defaults.

#include "records.h"
#include "user_defaults.h"

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

namespace settings {

inline const QString hiddenKey = QStringLiteral("ravlet.hidden");
inline const QString orderKey = QStringLiteral("ravlet.order");
inline const QString gainsKey = QStringLiteral("ravlet.gains");
inline const QString mutesKey = QStringLiteral("ravlet.mutes");
inline const QString knownKey = QStringLiteral("ravlet.known");
inline const QString limiterKey = QStringLiteral("ravlet.limiter");   // "Prevent Clipping"; absent is off
// Application id → the UID of the output device it plays on; absent: the
// system's default output.
inline const QString outputsKey = QStringLiteral("ravlet.outputs");

struct Loaded {
    QSet<QString> hidden;
    QStringList order;
    QMap<QString, float> gains;
    QMap<QString, bool> mutes;
    KnownApps known;
    bool limiter = false;
    QMap<QString, QString> outputs;
};

// Each setting that is present and wholly of the expected type replaces its
// empty default; anything else is ignored as a whole, quietly.
Loaded load(const UserDefaults& defaults);

void saveHidden(UserDefaults& defaults, const QSet<QString>& hidden);
void saveOrder(UserDefaults& defaults, const QStringList& order);
void saveGains(UserDefaults& defaults, const QMap<QString, float>& gains);
void saveMutes(UserDefaults& defaults, const QMap<QString, bool>& mutes);
void saveKnown(UserDefaults& defaults, const KnownApps& known);
void saveLimiter(UserDefaults& defaults, bool on);
void saveOutputs(UserDefaults& defaults, const QMap<QString, QString>& outputs);

} // namespace settings
