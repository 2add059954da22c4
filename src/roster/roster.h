// The DeviceRoster: 20 monitor slots shown by the DeviceTiles.
#ifndef TOLVANE_ROSTER_H
#define TOLVANE_ROSTER_H

#include <windows.h>
#include <stdint.h>

#include "control_ids.h"

#include "roster_core.h"

extern DeviceSlot deviceRoster[ROSTER_SLOTS];
// Filled once when the main window creates its controls.
extern HWND tileWindows[ROSTER_SLOTS];
extern HWND tileTooltips[ROSTER_SLOTS];

void ResetRoster(void);
int FindSlotByAddress(const char *address);
bool IsSlotInUse(int slot);
int RegisterDevice(const char *name, const char *address);
void ToggleTileMark(HWND mainWindow, WORD identifier);
void ShowMarkedCount(HWND mainWindow);
void ClearRosterOnScanStop(HWND mainWindow);
void ClearUseless(HWND mainWindow);
void SetTileCaption(HWND mainWindow, int slot, int32_t heartRate, int32_t rrInterval, int32_t battery);

// Every operation above takes the roster's lock only while it touches the
// table and sends its control messages after releasing it, so each may be
// called from the receiver thread or the user-interface thread. Read the
// table through these copies rather than deviceRoster itself.
void CopyRoster(DeviceSlot copy[ROSTER_SLOTS]);
bool CopySlot(int slot, DeviceSlot *copy);
// Registration and storing of a report's values in one step, so that a
// Clear Useless between the two cannot send the values to another monitor.
// Returns the slot, or -1 as RegisterDevice.
int StoreDeviceReport(HWND mainWindow, const char *name, const char *address, int32_t heartRate,
                      int32_t rrInterval, int32_t battery);

#endif
