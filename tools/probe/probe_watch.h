// Resource figures of the console process and the long-running sampler.
#ifndef TOLVANE_PROBE_WATCH_H
#define TOLVANE_PROBE_WATCH_H

#include <windows.h>

// Unix time in microseconds (the simulator's --sent log uses the same clock).
long long UnixMicros(void);
int RunStats(HWND mainWindow);
// argv: probe watch SECONDS CAPTION_MS LOG_MS STATS_MS [TILES]
int RunWatch(HWND mainWindow, int argc, char **argv);

// argv: probe cost read|caption|log N
int RunCost(HWND mainWindow, const char *action, int count);

#endif
