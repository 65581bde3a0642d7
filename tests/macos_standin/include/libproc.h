#pragma once

// Stand-in for <libproc.h>: the executable path of a process, answered from
// the simulated process table. proc_pidpath is documented in the header
// only; 4 * MAXPATHLEN as there.

#include <cstdint>

#define PROC_PIDPATHINFO_MAXSIZE (4 * 1024)

extern "C" int proc_pidpath(int pid, void* buffer, std::uint32_t buffersize);
