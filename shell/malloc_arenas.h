#pragma once

// Each thread that allocates (the QML loader, D-Bus, the audio server's
// client threads) would get a malloc arena of its own, whose touched pages
// stay for as long as the program runs for the little each holds: two arenas
// serve them all, 0.3 MiB less. The real-time callback never allocates, so
// it never waits on one. Called first in main, before any thread starts.

#ifdef __linux__
#include <malloc.h>
#endif

inline void shareMallocArenas()
{
#if defined(__linux__) && defined(M_ARENA_MAX)
    mallopt(M_ARENA_MAX, 2);
#endif
}
