// Resource figures of the console process and the long-running sampler.
#ifndef TOLVANE_PROBE_WATCH_H
#define TOLVANE_PROBE_WATCH_H

#include <windows.h>

int RunStats(HWND mainWindow);
// argv: probe watch SECONDS CAPTION_MS LOG_MS STATS_MS [TILES]
int RunWatch(HWND mainWindow, int argc, char **argv);

// argv: probe cost read|caption|log N
int RunCost(HWND mainWindow, const char *action, int count);

#endif
