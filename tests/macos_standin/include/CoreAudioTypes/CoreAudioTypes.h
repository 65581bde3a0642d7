#pragma once

// Stand-in for <CoreAudioTypes/CoreAudioTypes.h>.

#include <CoreAudioTypes/CoreAudioBaseTypes.h>
