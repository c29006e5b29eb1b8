#include "shell.h"

#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <string_view>

// The colour that layered shell windows show as holes.
constexpr COLORREF seeThrough = RGB(1, 2, 3);
// What a program sends Progman to get a worker behind the icons. The program
// names it in src/host.h; the shell plays Windows, and the stand-in shell of
// tools/fake-shell builds this file without the program's headers.
constexpr UINT spawnWorker = 0x052C;

bool waitUntil(const std::function<bool()>& ready, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() >= end) return ready();
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(10);
    }
}

Shell::Shell(Layout shape, POINT at, bool people) : layout(shape), workerAt(at), forPeople(people) {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!forPeople) bar = std::thread([this, ready] {
        joinDesktop();
        barThread = GetCurrentThreadId();
        WNDCLASSW type{};
        type.lpfnWndProc = trayProc;
        type.lpszClassName = L"Shell_TrayWnd";
        RegisterClassW(&type);
        taskbar = CreateWindowExW(WS_EX_TOOLWINDOW, L"Shell_TrayWnd", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(taskbar, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetEvent(ready);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    });
    if (!forPeople) WaitForSingleObject(ready, 5000);
    ResetEvent(ready);
    desk = std::thread([this, ready] {
        joinDesktop();
        deskThread = GetCurrentThreadId();
        mailbox = make(L"FakeShellMailbox", HWND_MESSAGE, {});
        run();
        SetEvent(ready);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    });
    WaitForSingleObject(ready, 5000);
    CloseHandle(ready);
}

Shell::~Shell() {
    SetEvent(release);
    PostThreadMessageW(deskThread, WM_QUIT, 0, 0);
    PostThreadMessageW(barThread, WM_QUIT, 0, 0);
    desk.join();
    if (bar.joinable()) bar.join();
    CloseHandle(release);
}

HWND Shell::make(const wchar_t* type, HWND parent, RECT at) {
    WNDCLASSW c{};
    c.lpfnWndProc = shellProc;
    c.lpszClassName = type;
    RegisterClassW(&c);  // fails harmlessly once registered
    DWORD style = parent && parent != HWND_MESSAGE ? WS_CHILD | WS_VISIBLE : WS_POPUP;
    // For people, the workers are see-through: around the tiles, and where
    // the garden is (see showMirror in tools/preview-webview2/runtime.cpp).
    bool clear = forPeople && !parent && type == std::wstring_view(L"WorkerW");
    HWND window = CreateWindowExW(parent ? 0 : WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW | (clear ? WS_EX_LAYERED : 0), type, L"", style,
                                  at.left, at.top, at.right - at.left, at.bottom - at.top, parent, nullptr, nullptr, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (clear) SetLayeredWindowAttributes(window, seeThrough, 0, LWA_COLORKEY);
    // The see-through shell's windows are shown as they are made: shown later,
    // in order (show), a colour-keyed worker's SetWindowPos now and then never
    // returned under Wine.
    if (forPeople && !parent) ShowWindow(window, SW_SHOWNA);
    return window;
}

// Top-level windows are made hidden and shown here, the top one first, each
// right below the one above it and without activation. Shown as they were
// made, the one below would be mapped before the next covers it, and its
// expose event may reach Wine's X11 driver only after that: the driver takes
// an exposed window for one on top and raises it, here the empty worker over
// the one that holds the icons, where a walk after the holder misses it.
// Mapped under a window that already covers it, a window is never exposed.
void Shell::show() {
    if (forPeople) return;
    HWND above = HWND_TOP;
    for (HWND window : {holder, layout == win10 ? worker : nullptr, progman, decoy}) {
        if (!window) continue;
        if (!IsWindowVisible(window))
            SetWindowPos(window, above, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
        above = window;
    }
}

void Shell::run() {
    RECT screen = fullScreen();
    if (layout == none) return;
    // Created first, so it lies right below Progman: an enumeration, which
    // the 24H2 layout must not need, would take it.
    if (layout == win11 || layout == hung) decoy = make(L"WorkerW", nullptr, screen);
    // For people, Progman only answers: Wine may stack it above the workers.
    progman = make(L"Progman", nullptr, forPeople ? RECT{0, 0, 1, 1} : screen);
    iconView = make(L"SHELLDLL_DefView", progman, screen);
    if (layout == win11 || layout == hung) {
        // As 24H2 builds it: the icon view layered, on top; the worker that
        // draws the wallpaper right below it.
        SetWindowLongPtrW(iconView, GWL_EXSTYLE, GetWindowLongPtrW(iconView, GWL_EXSTYLE) | WS_EX_LAYERED);
        SetLayeredWindowAttributes(iconView, 0, 255, LWA_ALPHA);
        makeWorker();
    }
    show();
}

void Shell::makeWorker() {
    worker = make(L"WorkerW", progman, workerRect());
    if (!forPeople) painting = make(L"FakeWallpaper", worker, fullScreen());
    raiseWorker();
}

// What 24H2 does when it draws the wallpaper again: its worker goes right
// below the icon view, and Windows raises EVENT_OBJECT_REORDER on Progman,
// here by hand (Wine raises none).
void Shell::raiseWorker() {
    SetWindowPos(worker, iconView, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    NotifyWinEvent(EVENT_OBJECT_REORDER, progman, OBJID_CLIENT, CHILDID_SELF);
}

void Shell::restack() {
    onDesk([this] { raiseWorker(); });
}

// The worker covers the screen; with workerAt it begins elsewhere, as on a
// desktop with a display left of or above the primary one.
RECT Shell::workerRect() {
    RECT screen = fullScreen();
    return {workerAt.x, workerAt.y, screen.right, screen.bottom};
}

// What the shell does on 0x052C.
void Shell::answer() {
    ++asked;
    if (layout == hung) {
        WaitForSingleObject(release, INFINITE);
        return;
    }
    if (layout != win10 || worker) return;
    // The newest window lands on top: the empty worker first, so that it ends
    // up right behind the one that takes the icons.
    worker = make(L"WorkerW", nullptr, workerRect());
    if (!forPeople) painting = make(L"FakeWallpaper", worker, fullScreen());
    holder = make(L"WorkerW", nullptr, fullScreen());
    SetParent(iconView, holder);
    show();
}

LRESULT CALLBACK Shell::shellProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* shell = reinterpret_cast<Shell*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == spawnWorker && shell) {
        shell->answer();
        return 0;
    }
    if (message == WM_APP && shell && window == shell->mailbox) {
        (*reinterpret_cast<const std::function<void()>*>(lParam))();
        return 0;
    }
    if (message == WM_DISPLAYCHANGE && shell && shell->moving && window == shell->progman) {
        SetTimer(window, 1, 300, nullptr);
        return 0;
    }
    if (message == WM_TIMER && shell && window == shell->progman) {
        KillTimer(window, 1);
        shell->moving = false;
        RECT at = shell->workerRect();
        SetWindowPos(shell->worker, nullptr, at.left, at.top, at.right - at.left, at.bottom - at.top, SWP_NOZORDER | SWP_NOACTIVATE);
        ++shell->moved;
        return 0;
    }
    if (message == WM_ERASEBKGND && shell && (window == shell->progman || window == shell->worker)) {
        HWND garden = FindWindowExW(window, nullptr, L"VerdaluneGardenWindow", nullptr);
        if (garden && !IsWindowVisible(garden)) ++shell->repainted;
    }
    if (shell && shell->forPeople) {
        if (message == WM_ERASEBKGND) {
            if (GetWindowLongPtrW(GetAncestor(window, GA_ROOT), GWL_EXSTYLE) & WS_EX_LAYERED) {
                RECT all;
                GetClientRect(window, &all);
                HBRUSH brush = CreateSolidBrush(seeThrough);
                FillRect(reinterpret_cast<HDC>(wParam), &all, brush);
                DeleteObject(brush);
            }
            return 1;
        }
        if (message == WM_PAINT && window == shell->iconView) {
            paintTiles(window);
            return 0;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Wine's shell32 hands every tray request to the desktop's "Shell_TrayWnd"
// as WM_COPYDATA: this record, then the icon's mask and colour bits.
struct WineNote {
    LONG window;
    UINT id, flags, callback;
    WCHAR tip[128];
    DWORD state, stateMask;
    WCHAR info[256];
    UINT timeout;
    WCHAR infoTitle[64];
    DWORD infoFlags;
    GUID item;
    UINT width, height, planes, bpp;
};
static_assert(sizeof(WineNote) == 960, "the icon's bits follow the record");

LRESULT CALLBACK Shell::trayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* shell = reinterpret_cast<Shell*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_COPYDATA && shell) {
        auto* data = reinterpret_cast<COPYDATASTRUCT*>(lParam);
        if (data->cbData >= sizeof(WineNote)) {
            auto* note = static_cast<const WineNote*>(data->lpData);
            TrayNote record{static_cast<DWORD>(data->dwData), reinterpret_cast<HWND>(static_cast<LONG_PTR>(note->window)),
                            note->id, note->flags, note->callback, std::wstring(note->tip, wcsnlen(note->tip, 128)), 0, 0, {}};
            size_t mask = (note->width * note->height + 15) / 16 * 2, colour = size_t(note->width) * note->height * 4;
            if ((note->flags & NIF_ICON) && note->bpp == 32 && note->planes == 1 && data->cbData >= sizeof *note + mask + colour) {
                auto* bits = static_cast<const BYTE*>(data->lpData) + sizeof *note + mask;
                record.iconWidth = note->width;
                record.iconHeight = note->height;
                record.iconPixels.assign(bits, bits + colour);
            }
            std::lock_guard hold(shell->lock);
            auto& shown = shell->icons;
            auto known = std::find(shown.begin(), shown.end(), std::pair(record.window, record.id));
            if (record.action == NIM_ADD && shell->refuse > 0) {
                --shell->refuse;
                return FALSE;
            }
            if (record.action == NIM_MODIFY && known == shown.end()) return FALSE;
            if (record.action == NIM_ADD && known == shown.end()) shown.emplace_back(record.window, record.id);
            if (record.action == NIM_DELETE && known != shown.end()) shown.erase(known);
            shell->seen.push_back(std::move(record));
        }
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The shell's windows belong to its desk thread; only there can they be destroyed.
void Shell::onDesk(const std::function<void()>& work) { SendMessageW(mailbox, WM_APP, 0, reinterpret_cast<LPARAM>(&work)); }

void Shell::tearDown() {
    for (HWND* window : {&worker, &holder, &decoy, &progman})
        if (*window) DestroyWindow(*window), *window = nullptr;
    iconView = painting = nullptr;
}

void Shell::stop() { onDesk([this] { tearDown(); }); }

void Shell::start() {
    onDesk([this] {
        run();
        PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    });
}

void Shell::replaceWorker() {
    onDesk([this] {
        if (layout == win10) {
            // The next 0x052C makes both workers again.
            SetParent(iconView, progman);
            DestroyWindow(worker), DestroyWindow(holder);
            worker = holder = painting = nullptr;
            return;
        }
        DestroyWindow(worker);
        makeWorker();
    });
}

void Shell::changeDisplay(POINT at) {
    onDesk([this, at] {
        workerAt = at;
        moving = true;
    });
    RECT screen = fullScreen();
    SendNotifyMessageW(HWND_BROADCAST, WM_DISPLAYCHANGE, 32, MAKELPARAM(screen.right, screen.bottom));
}

std::vector<TrayNote> Shell::notes() {
    std::lock_guard hold(lock);
    return seen;
}

bool Shell::waitNotes(size_t count, int ms) {
    return waitUntil([&] { return notes().size() >= count; }, ms);
}

// A column of desktop icons, plain tiles with their names.
void Shell::paintTiles(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    const wchar_t* names[] = {L"此电脑", L"回收站", L"文档", L"Verdalune"};
    COLORREF colours[] = {RGB(0x4a, 0x90, 0xd9), RGB(0x8a, 0x9b, 0xa8), RGB(0xe8, 0xb8, 0x4a), RGB(0x7f, 0xb0, 0x69)};
    HFONT font = CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, NONANTIALIASED_QUALITY, 0,
                             L"WenQuanYi Micro Hei");
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    for (int i = 0; i < 4; ++i) {
        RECT tile{28, 24 + i * 104, 28 + 56, 24 + i * 104 + 56};
        HBRUSH brush = CreateSolidBrush(colours[i]);
        HGDIOBJ was = SelectObject(dc, brush);
        RoundRect(dc, tile.left, tile.top, tile.right, tile.bottom, 12, 12);
        SelectObject(dc, was);
        DeleteObject(brush);
        RECT label{8, tile.bottom + 6, 104, tile.bottom + 28};
        SetTextColor(dc, RGB(0xff, 0xff, 0xff));
        DrawTextW(dc, names[i], -1, &label, DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    SelectObject(dc, old);
    DeleteObject(font);
    EndPaint(window, &ps);
}
