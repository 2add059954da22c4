// The probe's long-running actions: resource figures of the console process
// and a sampler that follows tile captions and "trust" lines over time.
//
//   probe stats
//     stats private=B workingset=B handles=N handlesrc=S gdi=N gdisrc=S user=N usersrc=S
//     (private: PrivateUsage, or PagefileUsage where that is 0; the *src keys
//     name where a count came from when the documented call answers 0)
//   probe watch SECONDS CAPTION_MS LOG_MS STATS_MS [TILES]   (0 switches a part off)
//     C us slot hex       a caption of tiles 0..TILES-1 (default all) changed;
//                         they are polled every CAPTION_MS
//     T us hr bat         a new "trust, hr, bat" line in the TrafficLog
//     G us                the last line seen before is gone: lines may be missed
//     S us <stats> loglen=N maxcall=us calls=N
//     X us timeout        a read got no answer within 10 s
//     E us maxcall=us calls=N     (maxcall over the whole watch)
//   probe cost read|caption|log N
//     cost ACTION us        mean time of one message sent to the console, over
//                           N: a tile's text read, a caption set on tile 0, a
//                           "trust" line added to the TrafficLog (what the
//                           receiver does for each report)
// "us" is Unix time in microseconds, comparable with the simulator's --sent
// log. maxcall is the longest single read of the console's controls since the
// last S line: how long the window took to answer.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "control_ids.h"
#include "probe_watch.h"

#define TILE_COUNT 20
#define CAPTION_SIZE 128
#define LOG_TEXT_SIZE (1024 * 1024)
#define CALL_TIMEOUT_MS 10000
#define TRUST_LINE_SIZE 40

typedef VOID(WINAPI *PreciseTimeFn)(LPFILETIME);

long long UnixMicros(void)
{
    static PreciseTimeFn precise =
        (PreciseTimeFn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime");
    FILETIME ft;
    if (precise)
        precise(&ft);
    else
        GetSystemTimeAsFileTime(&ft);
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    return (long long)((t.QuadPart - 116444736000000000ULL) / 10);
}

// ---------------------------------------------------------------- stats

// Where GetGuiResources is not implemented (Wine), GDI objects are counted in
// the process's GDI handle table, which its PEB names, and USER objects are
// counted as the process's windows. Where GetProcessHandleCount answers 0
// (Wine), the system's handle list is counted by owner.
static DWORD CountGdiTable(HANDLE process, DWORD pid)
{
    // One table entry: object pointer, owner (a process id in the low 16
    // bits; Wine leaves it 0 in its per-process table), unique, type (0 for a
    // free entry), flags, user pointer.
    struct Entry {
        unsigned long long object;
        unsigned long owner;
        unsigned short unique;
        unsigned char type;
        unsigned char flags;
        unsigned long long user;
    };
    static_assert(sizeof(Entry) == 24, "GDI handle table entry");
    const size_t kEntries = 0x10000;
    const size_t kTableOffset = sizeof(void *) == 8 ? 0xF8 : 0x94;  // PEB.GdiSharedHandleTable

    typedef LONG(NTAPI * QueryFn)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    QueryFn query = (QueryFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
    PROCESS_BASIC_INFORMATION basic;
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, NULL) != 0)
        return 0;
    void *table = NULL;
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, (char *)basic.PebBaseAddress + kTableOffset, &table, sizeof table, &got) ||
        !table)
        return 0;
    static Entry entries[kEntries];
    if (!ReadProcessMemory(process, table, entries, sizeof entries, &got))
        return 0;
    DWORD count = 0;
    for (size_t i = 0; i < kEntries && (i + 1) * sizeof(Entry) <= got; i++) {
        DWORD owner = entries[i].owner & 0xFFFF;
        if (entries[i].type != 0 && (owner == 0 || owner == (pid & 0xFFFF)))
            count++;
    }
    return count;
}

static DWORD CountSystemHandles(DWORD pid)
{
    struct Entry {
        void *object;
        ULONG_PTR process;
        ULONG_PTR value;
        ULONG access;
        USHORT backTrace;
        USHORT typeIndex;
        ULONG attributes;
        ULONG reserved;
    };
    struct List {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    const ULONG kExtendedHandleInformation = 64;
    typedef LONG(NTAPI * QueryFn)(ULONG, PVOID, ULONG, PULONG);
    QueryFn query = (QueryFn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    static char buffer[16 * 1024 * 1024];
    ULONG length = 0;
    if (!query || query(kExtendedHandleInformation, buffer, sizeof buffer, &length) != 0)
        return 0;
    const List *list = (const List *)buffer;
    size_t room = (sizeof buffer - offsetof(List, entries)) / sizeof(Entry);
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < list->count && i < room; i++)
        if (list->entries[i].process == pid)
            count++;
    return count;
}

struct WindowCount {
    DWORD pid;
    DWORD count;
};

static BOOL CALLBACK CountChild(HWND, LPARAM lp)
{
    ((WindowCount *)lp)->count++;
    return TRUE;
}

static BOOL CALLBACK CountTop(HWND w, LPARAM lp)
{
    WindowCount *c = (WindowCount *)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == c->pid) {
        c->count++;
        EnumChildWindows(w, CountChild, lp);
    }
    return TRUE;
}

static void FormatStats(HWND mainWindow, char *out, size_t size)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(mainWindow, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        snprintf(out, size, "error=openprocess-%lu", (unsigned long)GetLastError());
        return;
    }
    PROCESS_MEMORY_COUNTERS_EX memory;
    memset(&memory, 0, sizeof memory);
    GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS *)&memory, sizeof memory);
    SIZE_T privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
    DWORD handles = 0;
    GetProcessHandleCount(process, &handles);
    const char *handleSource = "api";
    if (handles == 0) {
        handles = CountSystemHandles(pid);
        handleSource = "system";
    }

    DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    const char *gdiSource = "api";
    if (gdi == 0) {
        gdi = CountGdiTable(process, pid);
        gdiSource = "table";
    }
    DWORD user = GetGuiResources(process, GR_USEROBJECTS);
    const char *userSource = "api";
    if (user == 0) {
        WindowCount c = {pid, 0};
        EnumWindows(CountTop, (LPARAM)&c);
        user = c.count;
        userSource = "windows";
    }
    CloseHandle(process);
    snprintf(out, size, "private=%lu workingset=%lu handles=%lu handlesrc=%s gdi=%lu gdisrc=%s user=%lu usersrc=%s",
             (unsigned long)privateBytes, (unsigned long)memory.WorkingSetSize, (unsigned long)handles, handleSource,
             (unsigned long)gdi, gdiSource, (unsigned long)user, userSource);
}

int RunStats(HWND mainWindow)
{
    char line[256];
    FormatStats(mainWindow, line, sizeof line);
    printf("stats %s\n", line);
    return 0;
}

// ---------------------------------------------------------------- watch

static long long maxCallMicros;  // since the last S line
static long long longestCall;    // over the whole watch
static long long callCount;

// A read of a control's text, timed; -1 when the window does not answer.
static long ReadText(HWND w, char *buffer, size_t size)
{
    long long t0 = UnixMicros();
    DWORD_PTR result = 0;
    LRESULT ok = SendMessageTimeoutA(w, WM_GETTEXT, (WPARAM)size, (LPARAM)buffer, SMTO_NORMAL, CALL_TIMEOUT_MS,
                                     &result);
    long long spent = UnixMicros() - t0;
    callCount++;
    if (spent > maxCallMicros)
        maxCallMicros = spent;
    if (spent > longestCall)
        longestCall = spent;
    if (!ok) {
        printf("X %lld timeout\n", UnixMicros());
        buffer[0] = 0;
        return -1;
    }
    long n = (long)result;
    if (n < 0 || (size_t)n >= size)
        n = 0;
    buffer[n] = 0;
    return n;
}

static void PrintCaption(long long now, int slot, const char *text)
{
    printf("C %lld %d ", now, slot);
    for (const char *p = text; *p; p++)
        printf("%02x", (unsigned char)*p);
    printf("\n");
}

// A complete "trust, hr, bat" line starting at text: it starts the text or a
// line, and a line break ends it.
static bool TrustLineAt(const char *text, const char *start, int *hr, int *bat, const char **end)
{
    if (start != text && start[-1] != '\n')
        return false;
    if (strncmp(start, "trust, ", 7) != 0)
        return false;
    char *after = NULL;
    long a = strtol(start + 7, &after, 10);
    if (after == start + 7 || strncmp(after, ", ", 2) != 0)
        return false;
    const char *second = after + 2;
    long b = strtol(second, &after, 10);
    if (after == second || strncmp(after, "\r\n", 2) != 0)
        return false;
    *hr = (int)a;
    *bat = (int)b;
    *end = after;
    return true;
}

// Prints the trust lines that came after the one printed last. A line is
// found again by its text: the simulator's numbered reports make every line
// of the (trimmed) log distinct.
static void ScanTrustLines(long long now, const char *text, char *lastLine)
{
    const char *from = text;
    if (lastLine[0]) {
        const char *found = NULL;
        size_t n = strlen(lastLine);
        for (const char *p = strstr(text, lastLine); p; p = strstr(p + 1, lastLine))
            if ((p == text || p[-1] == '\n') && strncmp(p + n, "\r\n", 2) == 0)
                found = p;
        if (found)
            from = found + n;
        else
            printf("G %lld\n", now);
    }
    for (const char *p = strstr(from, "trust, "); p; p = strstr(p + 1, "trust, ")) {
        int hr, bat;
        const char *end;
        if (!TrustLineAt(text, p, &hr, &bat, &end))
            continue;
        printf("T %lld %d %d\n", now, hr, bat);
        size_t n = (size_t)(end - p);
        if (n < TRUST_LINE_SIZE) {
            memcpy(lastLine, p, n);
            lastLine[n] = 0;
        }
    }
}

int RunWatch(HWND mainWindow, int argc, char **argv)
{
    if (argc < 6)
        return 2;
    long long seconds = atoi(argv[2]);
    int captionMs = atoi(argv[3]), logMs = atoi(argv[4]), statsMs = atoi(argv[5]);
    int polledTiles = argc > 6 ? atoi(argv[6]) : TILE_COUNT;
    if (polledTiles < 0 || polledTiles > TILE_COUNT)
        polledTiles = TILE_COUNT;
    static char log[LOG_TEXT_SIZE];
    static char captions[TILE_COUNT][CAPTION_SIZE];
    char caption[CAPTION_SIZE];
    char lastTrust[TRUST_LINE_SIZE] = "";
    HWND tiles[TILE_COUNT];
    for (int s = 0; s < TILE_COUNT; s++) {
        tiles[s] = GetDlgItem(mainWindow, TILE_ID_BASE + s);
        captions[s][0] = 1;  // no caption reads like this: the first read prints
    }
    HWND logWindow = GetDlgItem(mainWindow, IDC_TRAFFIC_LOG);

    long long start = UnixMicros(), end = start + seconds * 1000000;
    long long nextCaption = start, nextLog = start, nextStats = start;
    for (long long now = start; now < end && IsWindow(mainWindow); now = UnixMicros()) {
        if (captionMs > 0 && now >= nextCaption) {
            nextCaption = now + captionMs * 1000LL;
            for (int s = 0; s < polledTiles; s++) {
                if (ReadText(tiles[s], caption, sizeof caption) < 0)
                    continue;
                if (strcmp(caption, captions[s]) != 0) {
                    strcpy(captions[s], caption);
                    PrintCaption(UnixMicros(), s, caption);
                }
            }
        }
        if (logMs > 0 && now >= nextLog) {
            nextLog = now + logMs * 1000LL;
            if (ReadText(logWindow, log, sizeof log) >= 0)
                ScanTrustLines(UnixMicros(), log, lastTrust);
        }
        if (statsMs > 0 && now >= nextStats) {
            nextStats = now + statsMs * 1000LL;
            char line[256];
            FormatStats(mainWindow, line, sizeof line);
            long length = ReadText(logWindow, log, sizeof log);
            printf("S %lld %s loglen=%ld maxcall=%lld calls=%lld\n", UnixMicros(), line, length, maxCallMicros,
                   callCount);
            maxCallMicros = 0;
        }
        // Whoever reads the output may stop the watch at any time.
        fflush(stdout);
        Sleep(1);
    }
    printf("E %lld maxcall=%lld calls=%lld\n", UnixMicros(), longestCall, callCount);
    fflush(stdout);
    return 0;
}

int RunCost(HWND mainWindow, const char *action, int count)
{
    HWND tile = GetDlgItem(mainWindow, TILE_ID_BASE);
    HWND logWindow = GetDlgItem(mainWindow, IDC_TRAFFIC_LOG);
    char text[CAPTION_SIZE];
    if (count < 1)
        count = 1;
    long long start = UnixMicros();
    for (int i = 0; i < count; i++) {
        if (strcmp(action, "read") == 0) {
            SendMessageA(tile, WM_GETTEXT, sizeof text, (LPARAM)text);
        } else if (strcmp(action, "caption") == 0) {
            snprintf(text, sizeof text, "Cost Probe\nHR: %d , RR: %d\nBat: %d%%", i & 255, i, (i >> 8) & 255);
            SendMessageA(tile, WM_SETTEXT, 0, (LPARAM)text);
        } else if (strcmp(action, "log") == 0) {
            snprintf(text, sizeof text, "\r\ntrust, %d, %d\r\n", i & 255, (i >> 8) & 255);
            SendMessageA(logWindow, EM_REPLACESEL, 0, (LPARAM)text);
        } else {
            return 2;
        }
    }
    printf("cost %s %lld\n", action, (UnixMicros() - start) / count);
    return 0;
}
