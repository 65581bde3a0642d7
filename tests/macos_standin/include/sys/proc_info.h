#pragma once

// Stand-in for <sys/proc_info.h>: the size of a process's path, 4 *
// MAXPATHLEN as there.

#define PROC_PIDPATHINFO_MAXSIZE (4 * 1024)
