// tolvane_probe: reads and drives a running console from another process,
// the way a user or a screen reader would reach it. One action per run:
//   probe wait [ms]            wait for the window of class "MAIN"; prints its handle
//   probe reap                 end every process that has a window of class "MAIN"
//   probe dump                 title, styles, rectangles and texts of every control
//   probe text ID              a control's text, hex-encoded
//   probe post ID [CODE]       post WM_COMMAND (menu, accelerator, click)
//   probe postmany ID ID ...   post WM_COMMAND for each, in order (many clicks)
//   probe posttimed ID         post WM_COMMAND; print "posted" and the Unix time in us
//   probe choose INDEX         select a PortList item as a user's choice does
//   probe settext|replacesel ID HEX|@FILE
//   probe setsel ID A B | getsel ID | linefromchar ID | setlimit ID N
//   probe syscmd minimize|restore|close
//   probe findwin TITLE        a top-level window of the console's process
//   probe dlgcmd TITLE ID      post WM_COMMAND ID to that window
//   probe enabled | iconic | screenrect ID | itemheight
//   probe maxtext              real EN_MAXTEXT from the log; answers the box
//   probe frames               the frames the console sends, and their echo
//   probe stats                memory, handles, GDI and USER objects of the console
//   probe watch SECONDS CAPTION_MS LOG_MS STATS_MS [TILES]   sample captions, trust lines, stats
//   probe cost read|caption|log N   time of one message of the receiver's kinds
// Output lines are "key value"; texts are hex-encoded so that CR LF survive.
// With TOLVANE_PROBE_MAIN set to the handle "wait" printed, every other action
// works on that window only, so a console left over from an earlier run can
// never answer in its place.
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "control_ids.h"
#include "probe_watch.h"
#include "qrn_frame.h"

#define COUNTOF(a) (sizeof(a) / sizeof((a)[0]))
#define BIG_TEXT (4 * 1024 * 1024)
#define TEXT_ANSWER_MS 30000

static HWND mainWindow;

static void PrintHex(const char *key, const char *text, size_t n)
{
    printf("%s ", key);
    for (size_t i = 0; i < n; i++)
        printf("%02x", (unsigned char)text[i]);
    printf("\n");
}

static int Fail(const char *why)
{
    fprintf(stderr, "probe: %s\n", why);
    return 2;
}

static char *GetText(HWND w, int *length)
{
    static char *buffer;
    if (!buffer)
        buffer = (char *)malloc(BIG_TEXT);
    // A console that no longer answers must end the run with a clear word, not hang it.
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutA(w, WM_GETTEXT, BIG_TEXT, (LPARAM)buffer, SMTO_NORMAL, TEXT_ANSWER_MS, &n)) {
        fprintf(stderr, "probe: the window did not answer WM_GETTEXT within %d ms\n", TEXT_ANSWER_MS);
        exit(3);
    }
    if ((LRESULT)n < 0 || n >= BIG_TEXT)
        n = 0;
    buffer[n] = 0;
    *length = (int)n;
    return buffer;
}

static size_t FromHex(const char *hex, char *out, size_t cap)
{
    size_t n = 0;
    while (hex[0] && hex[1] && n + 1 < cap) {
        char pair[3] = {hex[0], hex[1], 0};
        out[n++] = (char)strtol(pair, NULL, 16);
        hex += 2;
    }
    out[n] = 0;
    return n;
}

static RECT ClientRectOf(HWND child)
{
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(NULL, mainWindow, (POINT *)&r, 2);
    return r;
}

static const int controlIds[] = {IDC_PORT_LABEL, IDC_PORT_LIST, IDC_START_BUTTON, IDC_CLEAR_USELESS,
                                 IDC_CLEAR_LOG, IDC_LOG_TOGGLE, IDC_DONGLE_INFO, IDC_MARKED_COUNT,
                                 IDC_TRAFFIC_LOG};

static void DumpControl(int id)
{
    HWND w = GetDlgItem(mainWindow, id);
    char cls[64] = "";
    if (!w) {
        printf("ctl %d missing\n", id);
        return;
    }
    GetClassNameA(w, cls, COUNTOF(cls));
    RECT r = ClientRectOf(w);
    printf("ctl %d class=%s style=%08lx ex=%08lx rect=%ld,%ld,%ld,%ld ", id, cls,
           (unsigned long)GetWindowLongPtrA(w, GWL_STYLE), (unsigned long)GetWindowLongPtrA(w, GWL_EXSTYLE), r.left,
           r.top, r.right - r.left, r.bottom - r.top);
    int n;
    char *t = GetText(w, &n);
    PrintHex("text", t, n > 200 ? 200 : n);
}

struct TipCount {
    int count;
    int balloon;
};

static BOOL CALLBACK CountTip(HWND w, LPARAM lp)
{
    TipCount *c = (TipCount *)lp;
    char cls[64] = "";
    GetClassNameA(w, cls, COUNTOF(cls));
    if (lstrcmpiA(cls, TOOLTIPS_CLASSA) == 0 && GetWindow(w, GW_OWNER) == mainWindow) {
        c->count++;
        if ((DWORD)GetWindowLongPtrA(w, GWL_STYLE) == 0x80000041u ||
            ((DWORD)GetWindowLongPtrA(w, GWL_STYLE) & 0x800000C1u) == 0x80000041u)
            c->balloon++;
    }
    return TRUE;
}

static void Dump(void)
{
    int n;
    char *t = GetText(mainWindow, &n);
    PrintHex("title", t, n);
    RECT c, w;
    GetClientRect(mainWindow, &c);
    GetWindowRect(mainWindow, &w);
    printf("main style=%08lx ex=%08lx window=%ld,%ld,%ld,%ld client=%ld,%ld\n",
           (unsigned long)GetWindowLongPtrA(mainWindow, GWL_STYLE),
           (unsigned long)GetWindowLongPtrA(mainWindow, GWL_EXSTYLE), w.left, w.top, w.right - w.left,
           w.bottom - w.top, c.right, c.bottom);
    for (size_t i = 0; i < COUNTOF(controlIds); i++)
        DumpControl(controlIds[i]);
    for (int s = 0; s < 20; s++)
        DumpControl(TILE_ID_BASE + s);
    TipCount tips = {0, 0};
    EnumWindows(CountTip, (LPARAM)&tips);
    printf("tips owned=%d balloon=%d\n", tips.count, tips.balloon);

    HWND list = GetDlgItem(mainWindow, IDC_PORT_LIST);
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    printf("ports count=%ld sel=%ld\n", (long)count, (long)SendMessageA(list, CB_GETCURSEL, 0, 0));
    for (LRESULT i = 0; i < count; i++) {
        // Across processes the ANSI form answers with UTF-16, so ask in UTF-16.
        WCHAR item[64] = {0};
        if (SendMessageW(list, CB_GETLBTEXTLEN, i, 0) < (LRESULT)COUNTOF(item))
            SendMessageW(list, CB_GETLBTEXT, i, (LPARAM)item);
        char a[64];
        WideCharToMultiByte(CP_ACP, 0, item, -1, a, sizeof a, NULL, NULL);
        printf("port %s\n", a);
    }
    HWND log = GetDlgItem(mainWindow, IDC_TRAFFIC_LOG);
    printf("log limit=%ld\n", (long)SendMessageA(log, EM_GETLIMITTEXT, 0, 0));
    printf("enabled %d iconic %d visible %d\n", IsWindowEnabled(mainWindow) ? 1 : 0, IsIconic(mainWindow) ? 1 : 0,
           IsWindowVisible(mainWindow) ? 1 : 0);
}

struct FindWin {
    const char *title;
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK MatchTitle(HWND w, LPARAM lp)
{
    FindWin *f = (FindWin *)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    char t[256] = "";
    GetWindowTextA(w, t, COUNTOF(t));
    if (pid == f->pid && IsWindowVisible(w) && strcmp(t, f->title) == 0) {
        f->found = w;
        return FALSE;
    }
    return TRUE;
}

static HWND FindOwnWindow(const char *title, DWORD waitMs)
{
    FindWin f = {title, 0, NULL};
    GetWindowThreadProcessId(mainWindow, &f.pid);
    DWORD start = GetTickCount();
    do {
        EnumWindows(MatchTitle, (LPARAM)&f);
        if (f.found)
            return f.found;
        Sleep(50);
    } while (GetTickCount() - start < waitMs);
    return NULL;
}

static BOOL CALLBACK DumpDialogChild(HWND w, LPARAM)
{
    char cls[64] = "", t[256] = "";
    GetClassNameA(w, cls, COUNTOF(cls));
    GetWindowTextA(w, t, COUNTOF(t));
    printf("child id=%d class=%s style=%08lx ", (int)(short)GetDlgCtrlID(w), cls,
           (unsigned long)GetWindowLongPtrA(w, GWL_STYLE));
    PrintHex("text", t, strlen(t));
    return TRUE;
}

static DWORD WINAPI OverfillLog(LPVOID)
{
    HWND log = GetDlgItem(mainWindow, IDC_TRAFFIC_LOG);
    int n;
    GetText(log, &n);
    SendMessageA(log, EM_SETLIMITTEXT, (WPARAM)(n + 8), 0);
    SendMessageA(log, EM_SETSEL, (WPARAM)-1, -1);
    SendMessageA(log, EM_REPLACESEL, 0, (LPARAM) "more than eight characters\r\n");
    return 0;
}

static bool IsMainWindow(HWND w)
{
    char cls[64] = "";
    return w && IsWindow(w) && GetClassNameA(w, cls, COUNTOF(cls)) && strcmp(cls, "MAIN") == 0;
}

static BOOL CALLBACK CollectMainOwner(HWND w, LPARAM lp)
{
    DWORD *pid = (DWORD *)lp;
    if (*pid == 0 && IsMainWindow(w))
        GetWindowThreadProcessId(w, pid);
    return *pid == 0;
}

// Ends the processes behind windows of class MAIN, one at a time, until none
// is left: each run starts with a console of its own and no other.
static int Reap(void)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD pid = 0;
        EnumWindows(CollectMainOwner, (LPARAM)&pid);
        if (pid == 0)
            break;
        if (GetTickCount() - start > 20000)
            return Fail("a window of class MAIN is still there after 20 s");
        HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (p) {
            if (TerminateProcess(p, 9))
                printf("reaped %lu\n", (unsigned long)pid);
            WaitForSingleObject(p, 5000);
            CloseHandle(p);
        }
        Sleep(100);
    }
    printf("clean 1\n");
    fflush(stdout);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Fail("no action");
    const char *action = argv[1];

    if (strcmp(action, "frames") == 0) {
        uint8_t frame[100];
        uint8_t length = 0;
        char text[DESCRIBE_TEXT_SIZE(100)];
        BuildScanControlFrame(frame, 0, &length);
        PrintHex("stop", (const char *)frame, length);
        DescribeSentFrame(frame, text, length);
        PrintHex("stopecho", text, strlen(text));
        BuildScanControlFrame(frame, 1, &length);
        PrintHex("start", (const char *)frame, length);
        DescribeSentFrame(frame, text, length);
        PrintHex("startecho", text, strlen(text));
        BuildConfigRequestFrame(frame, &length);
        PrintHex("config", (const char *)frame, length);
        DescribeSentFrame(frame, text, length);
        PrintHex("configecho", text, strlen(text));
        return 0;
    }

    if (strcmp(action, "reap") == 0)
        return Reap();

    const char *bound = getenv("TOLVANE_PROBE_MAIN");
    if (bound && bound[0] && strcmp(action, "wait") != 0) {
        mainWindow = (HWND)(UINT_PTR)strtoul(bound, NULL, 16);
        if (!IsMainWindow(mainWindow))
            return Fail("the console's window is gone");
    } else {
        DWORD waitMs = 100;
        if (strcmp(action, "wait") == 0)
            waitMs = argc > 2 ? (DWORD)atoi(argv[2]) : 20000;
        DWORD start = GetTickCount();
        while (!(mainWindow = FindWindowA("MAIN", NULL)) || !IsWindowVisible(mainWindow)) {
            if (GetTickCount() - start > waitMs)
                return Fail("no window of class MAIN");
            Sleep(50);
        }
    }
    int id = argc > 2 ? atoi(argv[2]) : 0;
    HWND control = argc > 2 ? GetDlgItem(mainWindow, id) : NULL;

    if (strcmp(action, "wait") == 0) {
        // Window handles keep to 32 bits, in 64-bit processes too.
        printf("main %lx\n", (unsigned long)(UINT_PTR)mainWindow);
    } else if (strcmp(action, "stats") == 0) {
        return RunStats(mainWindow);
    } else if (strcmp(action, "watch") == 0) {
        if (argc < 6)
            return Fail("watch SECONDS CAPTION_MS LOG_MS STATS_MS");
        return RunWatch(mainWindow, argc, argv);
    } else if (strcmp(action, "cost") == 0) {
        if (argc < 4 || RunCost(mainWindow, argv[2], atoi(argv[3])) != 0)
            return Fail("cost read|caption|log N");
    } else if (strcmp(action, "dump") == 0) {
        Dump();
    } else if (strcmp(action, "text") == 0) {
        int n;
        char *t = GetText(control, &n);
        PrintHex("text", t, n);
    } else if (strcmp(action, "post") == 0) {
        WORD code = argc > 3 ? (WORD)atoi(argv[3]) : 0;
        PostMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)control);
    } else if (strcmp(action, "posttimed") == 0) {
        long long at = UnixMicros();
        PostMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(id, 0), (LPARAM)control);
        printf("posted %lld\n", at);
    } else if (strcmp(action, "postmany") == 0) {
        for (int i = 2; i < argc; i++) {
            int each = atoi(argv[i]);
            PostMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(each, 0), (LPARAM)GetDlgItem(mainWindow, each));
        }
    } else if (strcmp(action, "choose") == 0) {
        HWND list = GetDlgItem(mainWindow, IDC_PORT_LIST);
        SendMessageA(list, CB_SETCURSEL, (WPARAM)id, 0);
        PostMessageA(mainWindow, WM_COMMAND, MAKEWPARAM(IDC_PORT_LIST, CBN_SELCHANGE), (LPARAM)list);
    } else if (strcmp(action, "settext") == 0 || strcmp(action, "replacesel") == 0) {
        static char buf[BIG_TEXT];
        const char *arg = argc > 3 ? argv[3] : "";
        if (arg[0] == '@') {
            // Long texts come in a file: a command line holds 32767 characters.
            FILE *in = fopen(arg + 1, "rb");
            if (!in)
                return Fail("no text file");
            size_t n = fread(buf, 1, sizeof buf - 1, in);
            buf[n] = 0;
            fclose(in);
        } else {
            FromHex(arg, buf, sizeof buf);
        }
        UINT msg = strcmp(action, "settext") == 0 ? WM_SETTEXT : EM_REPLACESEL;
        printf("result %ld\n", (long)SendMessageA(control, msg, 0, (LPARAM)buf));
    } else if (strcmp(action, "setsel") == 0) {
        SendMessageA(control, EM_SETSEL, (WPARAM)atoi(argv[3]), (LPARAM)atoi(argv[4]));
    } else if (strcmp(action, "getsel") == 0) {
        LRESULT both = SendMessageA(control, EM_GETSEL, 0, 0);
        printf("sel %u %u\n", (unsigned)LOWORD(both), (unsigned)HIWORD(both));
    } else if (strcmp(action, "linefromchar") == 0) {
        printf("line %ld\n", (long)SendMessageA(control, EM_LINEFROMCHAR, (WPARAM)-1, 0));
    } else if (strcmp(action, "setlimit") == 0) {
        SendMessageA(control, EM_SETLIMITTEXT, (WPARAM)atoi(argv[3]), 0);
    } else if (strcmp(action, "syscmd") == 0) {
        const char *what = argv[2];
        WPARAM cmd = strcmp(what, "minimize") == 0 ? SC_MINIMIZE : strcmp(what, "restore") == 0 ? SC_RESTORE : SC_CLOSE;
        PostMessageA(mainWindow, WM_SYSCOMMAND, cmd, 0);
    } else if (strcmp(action, "findwin") == 0) {
        HWND w = FindOwnWindow(argv[2], 10000);
        if (!w)
            return Fail("no such window");
        char cls[64] = "";
        GetClassNameA(w, cls, COUNTOF(cls));
        RECT r;
        GetWindowRect(w, &r);
        printf("window class=%s style=%08lx owner=%d\n", cls, (unsigned long)GetWindowLongPtrA(w, GWL_STYLE),
               GetWindow(w, GW_OWNER) == mainWindow ? 1 : 0);
        EnumChildWindows(w, DumpDialogChild, 0);
    } else if (strcmp(action, "dlgcmd") == 0) {
        HWND w = FindOwnWindow(argv[2], 10000);
        if (!w)
            return Fail("no such window");
        PostMessageA(w, WM_COMMAND, MAKEWPARAM(atoi(argv[3]), BN_CLICKED), 0);
    } else if (strcmp(action, "gone") == 0) {
        // Waits until no visible window with this title is left.
        DWORD t0 = GetTickCount();
        while (FindOwnWindow(argv[2], 0) && GetTickCount() - t0 < 10000)
            Sleep(50);
        printf("gone %d\n", FindOwnWindow(argv[2], 0) ? 0 : 1);
    } else if (strcmp(action, "enabled") == 0) {
        printf("enabled %d\n", IsWindowEnabled(mainWindow) ? 1 : 0);
    } else if (strcmp(action, "iconic") == 0) {
        printf("iconic %d\n", IsIconic(mainWindow) ? 1 : 0);
    } else if (strcmp(action, "screenrect") == 0) {
        RECT r;
        GetWindowRect(control ? control : mainWindow, &r);
        printf("screen %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        POINT o = {0, 0};
        ClientToScreen(mainWindow, &o);
        printf("client %ld %ld\n", o.x, o.y);
    } else if (strcmp(action, "itemheight") == 0) {
        printf("itemheight %ld\n", (long)SendDlgItemMessageA(mainWindow, IDC_PORT_LIST, CB_GETITEMHEIGHT, 0, 0));
    } else if (strcmp(action, "maxtext") == 0) {
        HANDLE t = CreateThread(NULL, 0, OverfillLog, NULL, 0, NULL);
        HWND box = FindOwnWindow("Skelder", 10000);
        if (!box)
            return Fail("no out-of-space box");
        char cls[64] = "";
        GetClassNameA(box, cls, COUNTOF(cls));
        printf("box class=%s owner=%d\n", cls, GetWindow(box, GW_OWNER) == mainWindow ? 1 : 0);
        EnumChildWindows(box, DumpDialogChild, 0);
        fflush(stdout);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        WaitForSingleObject(t, 10000);
    } else {
        return Fail("unknown action");
    }
    fflush(stdout);
    return 0;
}
