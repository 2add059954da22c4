// The DeviceRoster: 20 monitor slots shown by the DeviceTiles.
#ifndef TOLVANE_ROSTER_H
#define TOLVANE_ROSTER_H

#include <windows.h>
#include <stdint.h>

#include "control_ids.h"

#define ROSTER_SLOTS 20
#define SLOT_UNMARKED 5
#define SLOT_MARKED 15
#define KIND_QORVESSA 0
#define KIND_OTHER 9
#define KEEP_VALUE 65535

struct DeviceSlot {
    int32_t inUse;
    uint8_t mark;
    char name[26];
    char address[13];
    uint8_t kind;
    int32_t heartRate;
    int32_t rrInterval;
    int32_t battery;
};

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

#endif
