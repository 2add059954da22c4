#include "roster.h"

#include <commctrl.h>
#include <string.h>

DeviceSlot deviceRoster[ROSTER_SLOTS];
HWND tileWindows[ROSTER_SLOTS];
HWND tileTooltips[ROSTER_SLOTS];

// Guards deviceRoster and the wanted texts below. Never held while a
// message is sent: the receiver thread's sends complete only when the
// user-interface thread, which may be waiting for this lock, answers them.
static SRWLOCK rosterLock = SRWLOCK_INIT;

// The text each tile (0..19) and the MarkedCountBox (MARKED_COUNT_SHOWN)
// should show, with a sequence number bumped at every change. A text is
// changed under the lock and sent after it is released; a sender that finds
// the number moved on after its send completed sends again, so a late send
// from the other thread never leaves a stale text behind.
#define MARKED_COUNT_SHOWN ROSTER_SLOTS
static char shownText[ROSTER_SLOTS + 1][TILE_CAPTION_SIZE];
static uint32_t shownSeq[ROSTER_SLOTS + 1];

static void Lock(void) { AcquireSRWLockExclusive(&rosterLock); }
static void Unlock(void) { ReleaseSRWLockExclusive(&rosterLock); }

// Lock held.
static void WantText(int shown, const char *text)
{
    lstrcpynA(shownText[shown], text, TILE_CAPTION_SIZE);
    ++shownSeq[shown];
}

// Lock held.
static void WantSlotCaption(int slot)
{
    char caption[TILE_CAPTION_SIZE];
    if (deviceRoster[slot].inUse == 1)
        FormatSlotCaption(&deviceRoster[slot], caption);
    else
        lstrcpynA(caption, "empty", sizeof caption);
    WantText(slot, caption);
}

// Lock not held.
static void ShowText(HWND mainWindow, int shown)
{
    for (;;) {
        char text[TILE_CAPTION_SIZE];
        Lock();
        uint32_t seq = shownSeq[shown];
        memcpy(text, shownText[shown], sizeof text);
        Unlock();

        // The box's two messages are not one step, but only the receiver
        // thread sends them from outside, and only to empty the box; the
        // user-interface thread's pair cannot be split by it.
        if (shown == MARKED_COUNT_SHOWN) {
            HWND box = GetDlgItem(mainWindow, IDC_MARKED_COUNT);
            SendMessageA(box, EM_SETSEL, 0, -1);
            SendMessageA(box, EM_REPLACESEL, 0, (LPARAM)text);
        } else {
            SendMessageA(GetDlgItem(mainWindow, TILE_ID_BASE + shown), WM_SETTEXT, 0, (LPARAM)text);
        }

        Lock();
        bool current = shownSeq[shown] == seq;
        Unlock();
        if (current)
            return;
    }
}

static void SwitchTooltipOff(int slot)
{
    if (tileTooltips[slot])
        SendMessageA(tileTooltips[slot], TTM_ACTIVATE, FALSE, 0);
}

void ResetRoster(void)
{
    Lock();
    ResetRosterTable(deviceRoster);
    Unlock();
}

int FindSlotByAddress(const char *address)
{
    Lock();
    int s = FindSlotInTable(deviceRoster, address);
    Unlock();
    return s;
}

bool IsSlotInUse(int slot)
{
    if (slot < 0 || slot >= ROSTER_SLOTS)
        return false;
    Lock();
    bool inUse = deviceRoster[slot].inUse == 1;
    Unlock();
    return inUse;
}

int RegisterDevice(const char *name, const char *address)
{
    Lock();
    int s = RegisterInTable(deviceRoster, name, address);
    Unlock();
    return s;
}

void CopyRoster(DeviceSlot copy[ROSTER_SLOTS])
{
    Lock();
    memcpy(copy, deviceRoster, sizeof deviceRoster);
    Unlock();
}

bool CopySlot(int slot, DeviceSlot *copy)
{
    if (slot < 0 || slot >= ROSTER_SLOTS)
        return false;
    Lock();
    *copy = deviceRoster[slot];
    Unlock();
    return true;
}

// Lock held. False when the slot is free: its tile keeps reading "empty".
static bool StoreAndWantCaption(int slot, int32_t heartRate, int32_t rrInterval, int32_t battery)
{
    if (deviceRoster[slot].inUse != 1)
        return false;
    StoreSlotValues(&deviceRoster[slot], heartRate, rrInterval, battery);
    WantSlotCaption(slot);
    return true;
}

void SetTileCaption(HWND mainWindow, int slot, int32_t heartRate, int32_t rrInterval, int32_t battery)
{
    if (slot < 0 || slot >= ROSTER_SLOTS)
        return;
    Lock();
    bool show = StoreAndWantCaption(slot, heartRate, rrInterval, battery);
    Unlock();
    if (show)
        ShowText(mainWindow, slot);
}

int StoreDeviceReport(HWND mainWindow, const char *name, const char *address, int32_t heartRate,
                      int32_t rrInterval, int32_t battery)
{
    Lock();
    int s = RegisterInTable(deviceRoster, name, address);
    if (s >= 0)
        StoreAndWantCaption(s, heartRate, rrInterval, battery);
    Unlock();
    if (s >= 0)
        ShowText(mainWindow, s);
    return s;
}

// Lock held.
static void WantMarkedCount(void)
{
    char text[16];
    wsprintfA(text, "%d", CountMarkedSlots(deviceRoster));
    WantText(MARKED_COUNT_SHOWN, text);
}

void ShowMarkedCount(HWND mainWindow)
{
    Lock();
    WantMarkedCount();
    Unlock();
    ShowText(mainWindow, MARKED_COUNT_SHOWN);
}

void ToggleTileMark(HWND mainWindow, WORD identifier)
{
    if (identifier < TILE_ID_BASE || identifier > TILE_ID_BASE + ROSTER_SLOTS - 1)
        return;
    int s = identifier - TILE_ID_BASE;
    Lock();
    int marked = ToggleMarkInTable(deviceRoster, s);
    if (marked == 0)
        WantSlotCaption(s);
    if (marked >= 0)
        WantMarkedCount();
    Unlock();
    if (marked < 0)
        return;
    if (marked == 0)
        ShowText(mainWindow, s);
    ShowText(mainWindow, MARKED_COUNT_SHOWN);
}

void ClearRosterOnScanStop(HWND mainWindow)
{
    bool wasInUse[ROSTER_SLOTS];
    Lock();
    WantText(MARKED_COUNT_SHOWN, "");
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        wasInUse[s] = deviceRoster[s].inUse == 1;
        if (wasInUse[s])
            WantText(s, "empty");
    }
    ResetRosterTable(deviceRoster);
    Unlock();

    ShowText(mainWindow, MARKED_COUNT_SHOWN);
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        if (wasInUse[s])
            ShowText(mainWindow, s);
        SwitchTooltipOff(s);
    }
}

void ClearUseless(HWND mainWindow)
{
    bool changed[ROSTER_SLOTS];
    Lock();
    ClearUselessInTable(deviceRoster, changed);
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        if (changed[s])
            WantSlotCaption(s);
    Unlock();

    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        if (changed[s])
            ShowText(mainWindow, s);
        SwitchTooltipOff(s);
    }
}
