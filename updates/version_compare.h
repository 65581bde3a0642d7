#pragma once

#include <QStringView>

// True when candidate is a strictly newer version than `than`. Versions are
// dot-separated integers compared piece by piece, missing pieces counting as
// 0; pieces that are not plain base-10 64-bit integers (such as "0-beta" or
// "v1") are dropped rather than read as 0, so "2.0-beta" is newer than "1.9".
bool isNewer(QStringView candidate, QStringView than);
