#include "roster_core.h"

#include <stdio.h>
#include <string.h>


void ResetRosterTable(DeviceSlot *roster)
{
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        roster[s].inUse = 0;
        roster[s].mark = SLOT_UNMARKED;
        roster[s].kind = KIND_QORVESSA;
        roster[s].heartRate = 255;
        roster[s].rrInterval = 65535;
        roster[s].battery = 255;
    }
}

int FindSlotInTable(const DeviceSlot *roster, const char *address)
{
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        if (roster[s].inUse == 1 && strcmp(roster[s].address, address) == 0)
            return s;
    return -1;
}

int ClassifyMonitorName(const char *name)
{
    if (strncmp(name, "Qorvessa", 8) == 0)
        return KIND_QORVESSA;
    if (strncmp(name, "Polar", 5) == 0)
        return -1;
    return KIND_OTHER;
}

static void CopyText(char *to, size_t size, const char *from)
{
    size_t n = strlen(from);
    if (n >= size)
        n = size - 1;
    memcpy(to, from, n);
    to[n] = '\0';
}

int RegisterInTable(DeviceSlot *roster, const char *name, const char *address)
{
    int found = FindSlotInTable(roster, address);
    if (found >= 0)
        return found;
    int s = 0;
    while (s < ROSTER_SLOTS && roster[s].inUse != 0)
        ++s;
    if (s == ROSTER_SLOTS)
        return -1;
    int kind = ClassifyMonitorName(name);
    if (kind < 0)
        return -1;
    DeviceSlot &slot = roster[s];
    slot.kind = (uint8_t)kind;
    CopyText(slot.name, sizeof slot.name, name);
    CopyText(slot.address, sizeof slot.address, address);
    slot.inUse = 1;
    return s;
}

void StoreSlotValues(DeviceSlot *slot, int32_t heartRate, int32_t rrInterval, int32_t battery)
{
    if (heartRate != KEEP_VALUE)
        slot->heartRate = heartRate;
    if (rrInterval != KEEP_VALUE)
        slot->rrInterval = rrInterval;
    if (battery != KEEP_VALUE)
        slot->battery = battery;
}

void FormatSlotCaption(const DeviceSlot *slot, char caption[TILE_CAPTION_SIZE])
{
    if (slot->mark != SLOT_MARKED) {
        snprintf(caption, TILE_CAPTION_SIZE, "%s\n\n", slot->name);
        return;
    }
    char hr[24], rr[24], bat[24];
    snprintf(hr, sizeof hr, "HR: %d", (int)slot->heartRate);
    if (slot->rrInterval != 0)
        snprintf(rr, sizeof rr, " , RR: %d", (int)slot->rrInterval);
    else
        rr[0] = '\0';
    snprintf(bat, sizeof bat, "Bat: %d%%", (int)slot->battery);
    snprintf(caption, TILE_CAPTION_SIZE, "%s\n%s%s\n%s", slot->name, hr, rr, bat);
}

int ToggleMarkInTable(DeviceSlot *roster, int slot)
{
    if (slot < 0 || slot >= ROSTER_SLOTS || roster[slot].inUse != 1)
        return -1;
    DeviceSlot &d = roster[slot];
    if (d.mark == SLOT_UNMARKED) {
        d.mark = SLOT_MARKED;
        return 1;
    }
    d.mark = SLOT_UNMARKED;
    StoreSlotValues(&d, 0, 0, 0);
    return 0;
}

int CountMarkedSlots(const DeviceSlot *roster)
{
    int n = 0;
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        if (roster[s].mark == SLOT_MARKED)
            ++n;
    return n;
}

void ClearUselessInTable(DeviceSlot *roster, bool changed[ROSTER_SLOTS])
{
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        changed[s] = false;

    for (int i = 0; i < ROSTER_SLOTS; ++i) {
        DeviceSlot &d = roster[i];
        if (d.inUse == 1 && d.mark != SLOT_MARKED) {
            d.address[0] = '\0';
            d.inUse = 0;
            changed[i] = true;
        }
    }

    for (int j = 1; j < ROSTER_SLOTS; ++j) {
        DeviceSlot &from = roster[j];
        if (from.inUse != 1 || from.mark != SLOT_MARKED)
            continue;
        int k = 0;
        while (k < j && roster[k].inUse != 0)
            ++k;
        if (k == j)
            continue;
        DeviceSlot &to = roster[k];
        to = from;
        from.inUse = 0;
        from.mark = SLOT_UNMARKED;
        from.name[0] = '\0';
        from.address[0] = '\0';
        from.heartRate = 255;
        from.rrInterval = 65535;
        from.battery = 255;
        changed[k] = true;
        changed[j] = true;
    }
}

void FormatTipAddress(const char *address, char text[TIP_TEXT_SIZE])
{
    int n = 0;
    for (int c = 0; c < 12 && address[c] != '\0'; ++c) {
        if (c > 0 && c % 2 == 0)
            text[n++] = ':';
        text[n++] = address[c];
    }
    text[n] = '\0';
}

uint32_t TileColour(uint8_t kind, bool hot)
{
    if (kind == KIND_QORVESSA)
        return hot ? TILE_COLOUR_QORVESSA_HOT : TILE_COLOUR_QORVESSA_NORMAL;
    return hot ? TILE_COLOUR_OTHER_HOT : TILE_COLOUR_OTHER_NORMAL;
}

uint32_t GradientRowColour(uint32_t top, uint32_t bottom, int y, int height)
{
    uint32_t colour = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        int c1 = (int)((top >> shift) & 0xFF);
        int c2 = (int)((bottom >> shift) & 0xFF);
        int c = c1 + (c2 - c1) * y / height;
        colour |= (uint32_t)c << shift;
    }
    return colour;
}
