#pragma once

#include <QIcon>

// The mixer symbol, drawn from the same vector artwork as the popover's.
QIcon statusIcon();
