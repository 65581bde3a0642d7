#pragma once

// Grouping audio processes into applications.

#include <QString>

// Audio-routing tools that are never listed, matched by name fragment.
bool isInfraApp(const QString& name);
