// Roster logic with no business with Windows: the slot table, the name
// rules, caption and tooltip texts, and the Clear Useless compaction. Every
// function works on the table it is given; the caller provides the locking.
#ifndef TOLVANE_ROSTER_CORE_H
#define TOLVANE_ROSTER_CORE_H

#include <stddef.h>
#include <stdint.h>

#define ROSTER_SLOTS 20
#define SLOT_UNMARKED 5
#define SLOT_MARKED 15
#define KIND_QORVESSA 0
#define KIND_OTHER 9
#define KEEP_VALUE 65535

// Large enough for any caption: a 25-character name and values up to 65535.
#define TILE_CAPTION_SIZE 100
// Six colon-separated pairs and the terminator.
#define TIP_TEXT_SIZE 18

// Tile colours, 0x00BBGGRR.
#define TILE_COLOUR_QORVESSA_NORMAL 0xFF8000u
#define TILE_COLOUR_QORVESSA_HOT 0xBD350Bu
#define TILE_COLOUR_OTHER_NORMAL 0xB740D5u
#define TILE_COLOUR_OTHER_HOT 0x8C24A6u

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

void ResetRosterTable(DeviceSlot *roster);
int FindSlotInTable(const DeviceSlot *roster, const char *address);
// KIND_QORVESSA, KIND_OTHER, or -1 for a name that is refused ("Polar...").
int ClassifyMonitorName(const char *name);
// The slot of the address (known or newly taken), or -1.
int RegisterInTable(DeviceSlot *roster, const char *name, const char *address);
// Stores the values (KEEP_VALUE keeps the stored one) and formats the
// caption the slot's tile shows: three lines when marked, the name and two
// line feeds otherwise.
void StoreSlotValues(DeviceSlot *slot, int32_t heartRate, int32_t rrInterval, int32_t battery);
void FormatSlotCaption(const DeviceSlot *slot, char caption[TILE_CAPTION_SIZE]);
// Marks or unmarks an in-use slot; unmarking sets the three values to 0.
// Returns 1 when marked, 0 when unmarked, -1 when the slot is free.
int ToggleMarkInTable(DeviceSlot *roster, int slot);
int CountMarkedSlots(const DeviceSlot *roster);
// Drops the unmarked monitors and moves the marked ones down into the
// lowest free slots, keeping their order. changed[s] is set for every tile
// whose caption must be rewritten: "empty" when the slot ended free, the
// slot's caption otherwise.
void ClearUselessInTable(DeviceSlot *roster, bool changed[ROSTER_SLOTS]);
// "0A:1B:2C:3D:4E:5F" from the first 12 characters of the address; the
// text ends at the first zero byte among them.
void FormatTipAddress(const char *address, char text[TIP_TEXT_SIZE]);
uint32_t TileColour(uint8_t kind, bool hot);
// Colour of pixel row y of a vertical gradient height rows high.
uint32_t GradientRowColour(uint32_t top, uint32_t bottom, int y, int height);

#endif
