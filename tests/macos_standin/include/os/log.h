#pragma once

// Stand-in for <os/log.h>: the default log and os_log, which here writes
// the formatted line to standard error (the "{public}" markers dropped).
// https://developer.apple.com/documentation/os/os_log

typedef struct os_log_s* os_log_t;
#define OS_LOG_DEFAULT ((os_log_t)nullptr)

extern "C" void ravlet_standin_os_log(os_log_t log, const char* format, ...);
#define os_log(log, format, ...) ravlet_standin_os_log(log, format, ##__VA_ARGS__)
