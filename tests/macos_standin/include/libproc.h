#pragma once

// Stand-in for <libproc.h>: the executable path of a process, answered from
// the simulated process table. proc_pidpath is documented in the header
// only.

#include <sys/proc_info.h>

#include <stdint.h>

extern "C" int proc_pidpath(int pid, void* buffer, uint32_t buffersize);
