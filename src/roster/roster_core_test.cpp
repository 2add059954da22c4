#include "roster_core.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

struct Roster {
    DeviceSlot slots[ROSTER_SLOTS];
    Roster()
    {
        memset(slots, 0, sizeof slots);
        ResetRosterTable(slots);
    }
};

std::string Caption(const DeviceSlot &slot)
{
    char text[TILE_CAPTION_SIZE];
    FormatSlotCaption(&slot, text);
    return text;
}

std::string Address(int n)
{
    char a[13];
    snprintf(a, sizeof a, "C0FFEE%06d", n);
    return a;
}

TEST(RosterCore, ResetSetsStartValuesAndKeepsTexts)
{
    Roster r;
    strcpy(r.slots[4].name, "Qorvessa 4");
    strcpy(r.slots[4].address, "0A1B2C3D4E5F");
    r.slots[4].inUse = 1;
    r.slots[4].mark = SLOT_MARKED;
    r.slots[4].kind = KIND_OTHER;
    ResetRosterTable(r.slots);
    for (const DeviceSlot &s : r.slots) {
        EXPECT_EQ(0, s.inUse);
        EXPECT_EQ(SLOT_UNMARKED, s.mark);
        EXPECT_EQ(KIND_QORVESSA, s.kind);
        EXPECT_EQ(255, s.heartRate);
        EXPECT_EQ(65535, s.rrInterval);
        EXPECT_EQ(255, s.battery);
    }
    EXPECT_STREQ("Qorvessa 4", r.slots[4].name);
    EXPECT_STREQ("0A1B2C3D4E5F", r.slots[4].address);
}

TEST(RosterCore, NameRules)
{
    struct {
        const char *name;
        int kind;
    } cases[] = {
        {"Qorvessa", KIND_QORVESSA},     {"Qorvessa H10 1234", KIND_QORVESSA},
        {"QorvessaX", KIND_QORVESSA},    {"Qorvess", KIND_OTHER},
        {"qorvessa", KIND_OTHER},        {"QORVESSA 1", KIND_OTHER},
        {" Qorvessa", KIND_OTHER},       {"", KIND_OTHER},
        {"Pola", KIND_OTHER},            {"polar H7", KIND_OTHER},
        {"Polar", -1},                   {"Polar H7 0001", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.kind, ClassifyMonitorName(c.name)) << '"' << c.name << '"';
}

TEST(RosterCore, RegistrationFillsLowestFreeSlot)
{
    Roster r;
    EXPECT_EQ(0, RegisterInTable(r.slots, "Qorvessa A", "000000000001"));
    EXPECT_EQ(1, RegisterInTable(r.slots, "Other B", "000000000002"));
    const DeviceSlot &a = r.slots[0], &b = r.slots[1];
    EXPECT_EQ(1, a.inUse);
    EXPECT_EQ(SLOT_UNMARKED, a.mark);
    EXPECT_STREQ("Qorvessa A", a.name);
    EXPECT_STREQ("000000000001", a.address);
    EXPECT_EQ(KIND_QORVESSA, a.kind);
    EXPECT_EQ(KIND_OTHER, b.kind);
    // Registration leaves the stored values alone.
    EXPECT_EQ(255, a.heartRate);
    EXPECT_EQ(65535, a.rrInterval);
    EXPECT_EQ(255, a.battery);
}

TEST(RosterCore, KnownAddressKeepsSlotNameAndKind)
{
    Roster r;
    ASSERT_EQ(0, RegisterInTable(r.slots, "Qorvessa A", "000000000001"));
    ASSERT_EQ(1, RegisterInTable(r.slots, "Other B", "000000000002"));
    EXPECT_EQ(0, RegisterInTable(r.slots, "Renamed", "000000000001"));
    EXPECT_EQ(1, RegisterInTable(r.slots, "Polar now", "000000000002"));
    EXPECT_STREQ("Qorvessa A", r.slots[0].name);
    EXPECT_EQ(KIND_QORVESSA, r.slots[0].kind);
    EXPECT_STREQ("Other B", r.slots[1].name);
    EXPECT_EQ(0, r.slots[2].inUse);
    // Case matters in the address.
    EXPECT_EQ(2, RegisterInTable(r.slots, "x", "00000000000a"));
    EXPECT_EQ(2, FindSlotInTable(r.slots, "00000000000a"));
    EXPECT_EQ(-1, FindSlotInTable(r.slots, "00000000000A"));
}

TEST(RosterCore, FullRosterRefusesNewAddressOnly)
{
    Roster r;
    for (int s = 0; s < ROSTER_SLOTS; ++s)
        ASSERT_EQ(s, RegisterInTable(r.slots, "Qorvessa", Address(s).c_str()));
    DeviceSlot before[ROSTER_SLOTS];
    memcpy(before, r.slots, sizeof before);
    EXPECT_EQ(-1, RegisterInTable(r.slots, "Qorvessa", Address(99).c_str()));
    EXPECT_EQ(0, memcmp(before, r.slots, sizeof before));
    EXPECT_EQ(13, RegisterInTable(r.slots, "Other", Address(13).c_str()));
}

TEST(RosterCore, PolarIsRefusedAndItsSlotReused)
{
    Roster r;
    ASSERT_EQ(0, RegisterInTable(r.slots, "Qorvessa A", "000000000001"));
    EXPECT_EQ(-1, RegisterInTable(r.slots, "Polar H10", "000000000002"));
    EXPECT_EQ(0, r.slots[1].inUse);
    EXPECT_EQ(-1, FindSlotInTable(r.slots, "000000000002"));
    EXPECT_EQ(1, RegisterInTable(r.slots, "Other C", "000000000003"));
    EXPECT_STREQ("000000000003", r.slots[1].address);
}

TEST(RosterCore, OverlongTextsAreCut)
{
    Roster r;
    ASSERT_EQ(0, RegisterInTable(r.slots, "Qorvessa 0123456789ABCDEFGHIJKLMNOP", "0A1B2C3D4E5F6071"));
    EXPECT_EQ(25u, strlen(r.slots[0].name));
    EXPECT_STREQ("0A1B2C3D4E5F", r.slots[0].address);
}

TEST(RosterCore, CaptionTexts)
{
    struct {
        uint8_t mark;
        int32_t hr, rr, bat;
        int32_t storedRr;
        const char *caption;
        int32_t wantRr;
    } cases[] = {
        {SLOT_MARKED, 72, 0, 95, 65535, "Qorvessa 7\nHR: 72\nBat: 95%", 0},
        {SLOT_MARKED, 72, 812, 95, 65535, "Qorvessa 7\nHR: 72 , RR: 812\nBat: 95%", 812},
        {SLOT_MARKED, 72, KEEP_VALUE, 95, 640, "Qorvessa 7\nHR: 72 , RR: 640\nBat: 95%", 640},
        {SLOT_MARKED, 72, KEEP_VALUE, 95, 65535, "Qorvessa 7\nHR: 72 , RR: 65535\nBat: 95%", 65535},
        {SLOT_MARKED, 72, KEEP_VALUE, 95, 0, "Qorvessa 7\nHR: 72\nBat: 95%", 0},
        {SLOT_UNMARKED, 72, 0, 95, 65535, "Qorvessa 7\n\n", 0},
        {SLOT_UNMARKED, 72, 812, 95, 65535, "Qorvessa 7\n\n", 812},
        {SLOT_UNMARKED, 72, KEEP_VALUE, 95, 65535, "Qorvessa 7\n\n", 65535},
    };
    for (const auto &c : cases) {
        DeviceSlot s = {};
        s.inUse = 1;
        s.mark = c.mark;
        strcpy(s.name, "Qorvessa 7");
        s.heartRate = 255;
        s.rrInterval = c.storedRr;
        s.battery = 255;
        StoreSlotValues(&s, c.hr, c.rr, c.bat);
        EXPECT_EQ(c.caption, Caption(s)) << c.rr;
        EXPECT_EQ(c.hr, s.heartRate);
        EXPECT_EQ(c.wantRr, s.rrInterval);
        EXPECT_EQ(c.bat, s.battery);
    }
}

TEST(RosterCore, KeepValueKeepsEveryField)
{
    DeviceSlot s = {};
    s.mark = SLOT_MARKED;
    strcpy(s.name, "N");
    s.heartRate = 61;
    s.rrInterval = 999;
    s.battery = 40;
    StoreSlotValues(&s, KEEP_VALUE, KEEP_VALUE, KEEP_VALUE);
    EXPECT_EQ("N\nHR: 61 , RR: 999\nBat: 40%", Caption(s));
}

TEST(RosterCore, LongestCaptionFits)
{
    DeviceSlot s = {};
    s.mark = SLOT_MARKED;
    memset(s.name, 'W', 25);
    s.heartRate = 255;
    s.rrInterval = 65535;
    s.battery = 255;
    std::string c = Caption(s);
    EXPECT_EQ(std::string(25, 'W') + "\nHR: 255 , RR: 65535\nBat: 255%", c);
    EXPECT_LT(c.size(), (size_t)TILE_CAPTION_SIZE);
}

TEST(RosterCore, ToggleMark)
{
    Roster r;
    ASSERT_EQ(0, RegisterInTable(r.slots, "Qorvessa A", "000000000001"));
    StoreSlotValues(&r.slots[0], 72, 812, 95);
    EXPECT_EQ(1, ToggleMarkInTable(r.slots, 0));
    EXPECT_EQ(SLOT_MARKED, r.slots[0].mark);
    EXPECT_EQ(72, r.slots[0].heartRate);
    EXPECT_EQ(1, CountMarkedSlots(r.slots));

    EXPECT_EQ(0, ToggleMarkInTable(r.slots, 0));
    EXPECT_EQ(SLOT_UNMARKED, r.slots[0].mark);
    EXPECT_EQ(0, r.slots[0].heartRate);
    EXPECT_EQ(0, r.slots[0].rrInterval);
    EXPECT_EQ(0, r.slots[0].battery);
    EXPECT_EQ("Qorvessa A\n\n", Caption(r.slots[0]));
    EXPECT_EQ(0, CountMarkedSlots(r.slots));

    DeviceSlot before[ROSTER_SLOTS];
    memcpy(before, r.slots, sizeof before);
    for (int s : {1, 19, -1, 20})
        EXPECT_EQ(-1, ToggleMarkInTable(r.slots, s)) << s;
    EXPECT_EQ(0, memcmp(before, r.slots, sizeof before));
}

// Fills every slot with monitor s ("Qorvessa s" for even s, "Other s" for
// odd), values hr = 60 + s, rr = 800 + s, battery = 50 + s, and marks the
// slots listed.
void FillAndMark(Roster &r, std::initializer_list<int> marked)
{
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        char name[26];
        snprintf(name, sizeof name, s % 2 ? "Other %d" : "Qorvessa %d", s);
        ASSERT_EQ(s, RegisterInTable(r.slots, name, Address(s).c_str()));
        StoreSlotValues(&r.slots[s], 60 + s, 800 + s, 50 + s);
    }
    for (int s : marked)
        ASSERT_EQ(1, ToggleMarkInTable(r.slots, s));
}

TEST(RosterCore, ClearUselessPacksMarkedInOrder)
{
    Roster r;
    FillAndMark(r, {3, 7, 12});
    bool changed[ROSTER_SLOTS];
    ClearUselessInTable(r.slots, changed);

    const int from[] = {3, 7, 12};
    for (int k = 0; k < 3; ++k) {
        const DeviceSlot &d = r.slots[k];
        int j = from[k];
        EXPECT_EQ(1, d.inUse);
        EXPECT_EQ(SLOT_MARKED, d.mark);
        EXPECT_EQ(Address(j), d.address);
        EXPECT_EQ(j % 2 ? KIND_OTHER : KIND_QORVESSA, d.kind) << k;
        EXPECT_EQ(60 + j, d.heartRate);
        EXPECT_EQ(800 + j, d.rrInterval);
        EXPECT_EQ(50 + j, d.battery);
        EXPECT_TRUE(changed[k]);
    }
    EXPECT_EQ("Other 3\nHR: 63 , RR: 803\nBat: 53%", Caption(r.slots[0]));
    for (int s = 3; s < ROSTER_SLOTS; ++s) {
        EXPECT_EQ(0, r.slots[s].inUse) << s;
        EXPECT_EQ(SLOT_UNMARKED, r.slots[s].mark) << s;
        EXPECT_STREQ("", r.slots[s].address) << s;
        EXPECT_TRUE(changed[s]) << s;
    }
    EXPECT_EQ(3, CountMarkedSlots(r.slots));
    // The moved-from slots hold the reset values.
    for (int j : from) {
        EXPECT_STREQ("", r.slots[j].name);
        EXPECT_EQ(255, r.slots[j].heartRate);
        EXPECT_EQ(65535, r.slots[j].rrInterval);
        EXPECT_EQ(255, r.slots[j].battery);
    }
    // A freed, never-moved slot keeps name, kind and values.
    EXPECT_STREQ("Other 5", r.slots[5].name);
    EXPECT_EQ(KIND_OTHER, r.slots[5].kind);
    EXPECT_EQ(65, r.slots[5].heartRate);
}

TEST(RosterCore, ClearUselessLeavesPackedSlotsAlone)
{
    Roster r;
    FillAndMark(r, {0, 1});
    bool changed[ROSTER_SLOTS];
    ClearUselessInTable(r.slots, changed);
    EXPECT_FALSE(changed[0]);
    EXPECT_FALSE(changed[1]);
    EXPECT_EQ(Address(0), r.slots[0].address);
    EXPECT_EQ(Address(1), r.slots[1].address);
    for (int s = 2; s < ROSTER_SLOTS; ++s)
        EXPECT_TRUE(changed[s] && r.slots[s].inUse == 0) << s;
}

TEST(RosterCore, ClearUselessWithNoneMarkedFreesAll)
{
    Roster r;
    FillAndMark(r, {});
    bool changed[ROSTER_SLOTS];
    ClearUselessInTable(r.slots, changed);
    for (int s = 0; s < ROSTER_SLOTS; ++s) {
        EXPECT_EQ(0, r.slots[s].inUse) << s;
        EXPECT_TRUE(changed[s]) << s;
    }
    EXPECT_EQ(0, RegisterInTable(r.slots, "Qorvessa x", Address(5).c_str()));
}

TEST(RosterCore, MovedMonitorWithoutDataShowsResetValues)
{
    Roster r;
    ASSERT_EQ(0, RegisterInTable(r.slots, "Other A", "000000000001"));
    ASSERT_EQ(1, RegisterInTable(r.slots, "Qorvessa B", "000000000002"));
    ASSERT_EQ(1, ToggleMarkInTable(r.slots, 1));
    bool changed[ROSTER_SLOTS];
    ClearUselessInTable(r.slots, changed);
    EXPECT_EQ(KIND_QORVESSA, r.slots[0].kind);
    EXPECT_EQ("Qorvessa B\nHR: 255 , RR: 65535\nBat: 255%", Caption(r.slots[0]));
}

TEST(RosterCore, TipAddress)
{
    struct {
        const char *address;
        const char *text;
    } cases[] = {
        {"0A1B2C3D4E5F", "0A:1B:2C:3D:4E:5F"},
        {"", ""},
        {"0A1", "0A:1"},
        {"0A1B2C3D4E5F77", "0A:1B:2C:3D:4E:5F"},
    };
    for (const auto &c : cases) {
        char text[TIP_TEXT_SIZE];
        FormatTipAddress(c.address, text);
        EXPECT_STREQ(c.text, text) << c.address;
    }
}

TEST(RosterCore, TileColours)
{
    EXPECT_EQ(0xFF8000u, TileColour(KIND_QORVESSA, false));
    EXPECT_EQ(0xBD350Bu, TileColour(KIND_QORVESSA, true));
    EXPECT_EQ(0xB740D5u, TileColour(KIND_OTHER, false));
    EXPECT_EQ(0x8C24A6u, TileColour(KIND_OTHER, true));
    EXPECT_EQ(0x8C24A6u, TileColour(3, true));
}

TEST(RosterCore, GradientRows)
{
    EXPECT_EQ(0xFF8000u, GradientRowColour(0xFF8000, 0xFF8000, 57, 118));
    // Red 0 -> 100, green 200 -> 0, blue 10 -> 10.
    EXPECT_EQ(0x0AC800u, GradientRowColour(0x0AC800, 0x0A0064, 0, 10));
    EXPECT_EQ(0x0A6432u, GradientRowColour(0x0AC800, 0x0A0064, 5, 10));
    // Division truncates toward zero: green 200 - 200 / 3 is 134, not 133.
    EXPECT_EQ(0x0A8621u, GradientRowColour(0x0AC800, 0x0A0064, 1, 3));
}

} // namespace
