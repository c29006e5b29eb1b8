// The window procedure, the tray menu and the placement on the wallpaper
// layer, driven in this process against real windows and a fake shell.
#include "handler.h"
#include "harness.h"
#include "host.h"

namespace {

constexpr LONG_PTR wallStyle = WS_CHILD | WS_CLIPCHILDREN;
constexpr LONG_PTR windowStyle = WS_POPUP | WS_CLIPCHILDREN;
const std::wstring notice = L"Windows 桌面层暂不可用。花园将以普通窗口显示，可从托盘重试。";

// The program's two windows and tray record, made as it makes them.
struct Host {
    Host() {
        WNDCLASSW type{};
        type.lpfnWndProc = proc;
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = gardenClass;
        RegisterClassW(&type);
        owner = CreateWindowExW(WS_EX_TOOLWINDOW, type.lpszClassName, ownerTitle, WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                type.hInstance, nullptr);
        RECT screen = fullScreen();
        view = CreateWindowExW(WS_EX_TOOLWINDOW, type.lpszClassName, gardenTitle, WS_POPUP, 0, 0, screen.right,
                               screen.bottom, nullptr, nullptr, type.hInstance, nullptr);
        taskbarReady = RegisterWindowMessageW(L"TaskbarCreated");
        icon = {};
        icon.cbSize = sizeof icon;
        icon.hWnd = owner;
        icon.uID = 1;
        icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        icon.uCallbackMessage = trayMessage;
        lstrcpyW(icon.szTip, trayTip);
        onWall = false;
        // A taskbar's worth less than the display, so that the fallback's
        // rectangle can be told apart from the display's (Wine keeps this
        // per process).
        RECT area = fullScreen();
        area.bottom -= 40;
        SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0);
    }
};

// The exit code of a quit request waiting in this thread's queue, if any.
std::optional<WPARAM> quitRequest() {
    MSG message;
    if (!PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return std::nullopt;
    return message.wParam;
}

// Opens the tray menu through proc on this thread, while another thread
// reads it and then chooses the item at index, or dismisses it (-1).
std::vector<MenuItem> useMenu(LPARAM mouse, int index, bool* opened = nullptr) {
    std::vector<MenuItem> items;
    std::atomic<bool> seen{false};
    std::thread user([&] {
        joinDesktop();
        if (HWND menu = openMenu(3000)) {
            seen = true;
            items = readMenu(menu);
            if (index < 0) dismissMenu(menu);
            else chooseItem(menu, index);
        }
    });
    LRESULT result = proc(owner, trayMessage, 1, mouse);
    // Where no menu opens, the reader simply stops waiting.
    user.join();
    CHECK(result == 0);
    if (opened) *opened = seen;
    return items;
}

}  // namespace

TEST_CASE("tray menu opens on a button release with its four items in order") {
    Host host;
    for (LPARAM mouse : {LPARAM(WM_LBUTTONUP), LPARAM(WM_RBUTTONUP)}) {
        bool opened = false;
        auto items = useMenu(mouse, -1, &opened);
        REQUIRE(opened);
        REQUIRE(items.size() == 4);
        // Spelled out: what a person reads, and what scripts/windows-ci.ps1 chooses.
        const wchar_t* texts[] = {L"种下今天", L"花园菜单", L"回到壁纸", L"退出 Verdalune"};
        for (UINT i = 0; i < 4; ++i) {
            CAPTURE(i);
            CHECK(items[i].id == plantItem + i);
            CHECK(items[i].text == texts[i]);
            CHECK(items[i].type == MFT_STRING);  // no separator, no sub-menu
            CHECK(items[i].state == MFS_ENABLED);  // not greyed, checked or default
        }
        // Escape changes nothing.
        CHECK_FALSE(quitRequest());
    }
}

TEST_CASE("tray menu stays shut for presses double-clicks and moves") {
    Host host;
    // The whole lParam counts: a release with anything in its high word is not one.
    for (LPARAM mouse : std::initializer_list<LPARAM>{WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MOUSEMOVE,
                                                      WM_CONTEXTMENU, LPARAM(WM_RBUTTONUP) | (LPARAM(1) << 16)}) {
        CAPTURE(mouse);
        CHECK(proc(owner, trayMessage, 1, mouse) == 0);
        CHECK_FALSE(openMenu(200));
    }
}

TEST_CASE("tray menu quit item asks the loop to end with 0 and the mode items do nothing before the page exists") {
    Host host;
    for (int item : {0, 1, 2}) {
        useMenu(WM_RBUTTONUP, item);
        CHECK_FALSE(quitRequest());
    }
    useMenu(WM_LBUTTONUP, 3);
    CHECK(quitRequest() == WPARAM(0));
    CHECK(IsWindow(owner));
    CHECK(IsWindow(view));
}

TEST_CASE("close requests quit from the owner window and keep the garden window") {
    Host host;
    CHECK(SendMessageW(view, WM_CLOSE, 0, 0) == 0);
    CHECK_FALSE(quitRequest());
    CHECK(IsWindow(view));
    CHECK(SendMessageW(owner, WM_CLOSE, 0, 0) == 0);
    CHECK(quitRequest() == WPARAM(0));
    CHECK(IsWindow(owner));
}

TEST_CASE("fail shows the error box and asks the loop to end with 1") {
    Host host;
    BoxWatch watch;
    fail(L"无法创建桌面窗口。");
    auto boxes = watch.boxes();
    REQUIRE(boxes.size() == 1);
    CHECK(boxes[0].text == L"无法创建桌面窗口。");
    CHECK(boxes[0].caption == caption);
    CHECK(boxes[0].icon);
    CHECK(boxes[0].buttons == std::vector<int>{IDOK});
    CHECK(quitRequest() == WPARAM(1));
}

TEST_CASE("window mode puts the garden in front over the whole display without asking the shell") {
    Shell shell(Shell::win11);
    Host host;
    BoxWatch watch;
    position(false);
    CHECK(shell.asked == 0);
    CHECK(watch.boxes().empty());
    CHECK_FALSE(onWall);
    CHECK(styleOf(view) == (windowStyle | WS_VISIBLE));
    CHECK(parentOf(view) == GetDesktopWindow());
    CHECK(screenRect(view) == fullScreen());
    CHECK(IsWindowVisible(view));
    CHECK(GetForegroundWindow() == view);
    CHECK((GetWindowLongPtrW(view, GWL_EXSTYLE) & WS_EX_TOPMOST) == 0);
}

TEST_CASE("wallpaper mode on the 24H2 layout puts a layered garden between the icons and Progman's worker") {
    Shell shell(Shell::win11);
    Host host;
    BoxWatch watch;
    position(true);
    CHECK(shell.asked == 1);
    CHECK(watch.boxes().empty());
    CHECK(onWall);
    CHECK(childrenOf(shell.progman) == std::vector<HWND>{shell.iconView, view, shell.worker});
    CHECK(childrenOf(shell.decoy).empty());  // what an enumeration would have found
    CHECK(styleOf(view) == (wallStyle | WS_VISIBLE));
    CHECK((GetWindowLongPtrW(view, GWL_EXSTYLE) & WS_EX_LAYERED) != 0);
    BYTE alpha = 0;
    DWORD flags = 0;
    CHECK(GetLayeredWindowAttributes(view, nullptr, &alpha, &flags));
    CHECK(alpha == 255);
    CHECK(flags == DWORD(LWA_ALPHA));
    CHECK(screenRect(view) == fullScreen());
    CHECK(IsWindowVisible(view));
    CHECK(GetForegroundWindow() != view);
    CHECK(GetActiveWindow() != view);

    // An ordinary pop-up in window mode; the same place again on the wall.
    position(false);
    CHECK((GetWindowLongPtrW(view, GWL_EXSTYLE) & WS_EX_LAYERED) == 0);
    CHECK(parentOf(view) == GetDesktopWindow());
    position(true);
    CHECK(childrenOf(shell.progman) == std::vector<HWND>{shell.iconView, view, shell.worker});
    CHECK((GetWindowLongPtrW(view, GWL_EXSTYLE) & WS_EX_LAYERED) != 0);
}

TEST_CASE("wallpaper mode on the Windows 10 layout finds the worker behind the icons by enumeration") {
    Shell shell(Shell::win10);
    Host host;
    BoxWatch watch;
    CHECK(shell.worker == nullptr);
    position(true);
    CHECK(shell.asked == 1);
    REQUIRE(shell.worker);
    CHECK(watch.boxes().empty());
    CHECK(onWall);
    CHECK(parentOf(view) == shell.place());
    CHECK(styleOf(view) == (wallStyle | WS_VISIBLE));
    CHECK(screenRect(view) == fullScreen());
    CHECK(GetWindow(view, GW_HWNDNEXT) == nullptr);
    CHECK(GetForegroundWindow() != view);

    // Back to window mode and to the wall again: each call starts afresh.
    position(false);
    CHECK(parentOf(view) == GetDesktopWindow());
    CHECK(shell.asked == 1);
    position(true);
    CHECK(shell.asked == 2);
    CHECK(parentOf(view) == shell.place());
}

TEST_CASE("wallpaper mode keeps the garden on the primary display inside an offset worker") {
    for (auto layout : {Shell::win10, Shell::win11}) {
        CAPTURE(layout);
        Shell shell(layout, {-300, -40});
        Host host;
        position(true);
        REQUIRE(onWall);
        CHECK(parentOf(view) == shell.place());
        CHECK(screenRect(view) == fullScreen());
        position(false);
        SetParent(view, nullptr);
    }
}

TEST_CASE("no wallpaper layer shows the notice and falls back to a window over the work area") {
    for (auto layout : {Shell::noWorker, Shell::none}) {
        CAPTURE(layout);
        Shell shell(layout);
        Host host;
        BoxWatch watch;
        REQUIRE_FALSE(workArea() == fullScreen());
        position(true);
        auto boxes = watch.boxes();
        REQUIRE(boxes.size() == 1);
        CHECK(boxes[0].text == notice);
        CHECK(boxes[0].caption == caption);
        CHECK_FALSE(boxes[0].icon);
        CHECK(boxes[0].buttons == std::vector<int>{IDOK});
        CHECK(shell.asked == (layout == Shell::none ? 0 : 1));
        CHECK_FALSE(onWall);
        CHECK(parentOf(view) == GetDesktopWindow());
        CHECK(styleOf(view) == (windowStyle | WS_VISIBLE));
        CHECK(screenRect(view) == workArea());
        CHECK(GetForegroundWindow() == view);
    }
}

TEST_CASE("while the notice is open a restarted taskbar or a display change opens no other") {
    Shell shell(Shell::noWorker);
    Host host;
    onWall = true;  // the wall went away under the garden
    size_t open = 0, answered = 0;
    std::thread user([&] {
        joinDesktop();
        if (!waitUntil([] { return FindWindowW(L"#32770", nullptr) != nullptr; })) return;
        for (int i = 0; i < 3; ++i) {
            PostMessageW(owner, WM_DISPLAYCHANGE, 32, MAKELPARAM(800, 600));
            PostMessageW(owner, taskbarReady, 0, 0);
        }
        // Each restart adds the icon again: all six have been handled.
        shell.waitNotes(4);
        for (HWND box = nullptr; (box = FindWindowExW(nullptr, box, L"#32770", nullptr));) ++open;
        while (takeBox(1000)) ++answered;
    });
    proc(owner, taskbarReady, 0, 0);
    user.join();
    CHECK(open == 1);
    CHECK(answered == 1);
    CHECK(shell.notes().size() == 4);
    CHECK_FALSE(onWall);
    CHECK(parentOf(view) == GetDesktopWindow());
    CHECK(IsWindowVisible(view));
    CHECK(screenRect(view) == workArea());
}

TEST_CASE("a hung shell delays wallpaper mode by about half a second only") {
    Shell shell(Shell::hung);
    Host host;
    auto begin = std::chrono::steady_clock::now();
    position(true);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    CHECK(shell.asked == 1);
    CHECK(took >= 400);
    CHECK(took < 1500);
    CHECK(onWall);
    CHECK(parentOf(view) == shell.place());
}

TEST_CASE("findHost takes the next top-level worker after the icon holder and nothing else") {
    Shell shell(Shell::win10);
    HWND found = reinterpret_cast<HWND>(0x1234);
    // Progman still holds the icon view, but no worker follows it yet.
    CHECK(findHost(shell.progman, reinterpret_cast<LPARAM>(&found)) == TRUE);
    CHECK(found == reinterpret_cast<HWND>(0x1234));
    CHECK(findHost(shell.taskbar, reinterpret_cast<LPARAM>(&found)) == TRUE);
    CHECK(found == reinterpret_cast<HWND>(0x1234));

    SendMessageW(shell.progman, spawnWorker, 0, 0);
    HWND holder = GetParent(shell.iconView);
    REQUIRE(holder != shell.progman);
    CHECK(findHost(holder, reinterpret_cast<LPARAM>(&found)) == FALSE);
    CHECK(found == shell.worker);
}

TEST_CASE("a restarted taskbar gets the icon back and the garden re-attached only while on the wall") {
    Shell shell(Shell::win11);
    Host host;
    CHECK(proc(owner, taskbarReady, 0, 0) == 0);
    REQUIRE(shell.waitNotes(1));
    auto note = shell.notes().back();
    CHECK(note.action == DWORD(NIM_ADD));
    CHECK(note.window == owner);
    CHECK(note.id == 1u);
    CHECK(shell.asked == 0);

    position(true);
    REQUIRE(onWall);
    CHECK(proc(owner, taskbarReady, 0, 0) == 0);
    REQUIRE(shell.waitNotes(2));
    CHECK(shell.asked == 2);
    CHECK(parentOf(view) == shell.place());

    // Only the owner window listens for it.
    DefWindowProcW(view, taskbarReady, 0, 0);
    proc(view, taskbarReady, 0, 0);
    CHECK(shell.asked == 2);
    Sleep(100);
    CHECK(shell.notes().size() == 2);
}

TEST_CASE("a display change re-attaches only while on the wall and only at the owner window") {
    Shell shell(Shell::win11);
    Host host;
    position(false);
    SetWindowPos(view, nullptr, 10, 10, 200, 100, SWP_NOZORDER | SWP_NOACTIVATE);
    // Window mode is fitted to the display again, and whoever has the focus keeps it.
    HWND other = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    REQUIRE(GetForegroundWindow() == other);
    SendMessageW(owner, WM_DISPLAYCHANGE, 32, MAKELPARAM(800, 600));
    CHECK(shell.asked == 0);
    CHECK(screenRect(view) == fullScreen());
    CHECK(GetForegroundWindow() == other);
    CHECK(GetFocus() != view);
    DestroyWindow(other);

    position(true);
    REQUIRE(onWall);
    SendMessageW(view, WM_DISPLAYCHANGE, 32, MAKELPARAM(800, 600));
    CHECK(shell.asked == 1);
    CHECK(SendMessageW(owner, WM_DISPLAYCHANGE, 32, MAKELPARAM(800, 600)) == 0);
    CHECK(shell.asked == 2);
    CHECK(onWall);
    CHECK(screenRect(view) == fullScreen());
}

TEST_CASE("the display going off and on is heard at the owner window only and a dimmed display still shows the garden") {
    Shell shell(Shell::win11);
    Host host;
    const GUID displayStatus{0x2b84c20e, 0xad23, 0x4ddf, {0x93, 0xdb, 0x05, 0xff, 0xbd, 0x7e, 0xfc, 0xa5}};
    // The record as Windows sends it: the setting, then its 4 bytes of data.
    auto tell = [&](HWND window, const GUID& setting, DWORD state) {
        alignas(POWERBROADCAST_SETTING) BYTE record[sizeof(POWERBROADCAST_SETTING) + sizeof state] = {};
        auto* change = reinterpret_cast<POWERBROADCAST_SETTING*>(record);
        change->PowerSetting = setting;
        change->DataLength = sizeof state;
        memcpy(record + offsetof(POWERBROADCAST_SETTING, Data), &state, sizeof state);
        return proc(window, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, reinterpret_cast<LPARAM>(record));
    };
    unseen = 0;
    CHECK(tell(owner, displayStatus, 0) == TRUE);
    CHECK(unseen == 2);
    tell(owner, displayStatus, 2);
    CHECK(unseen == 2);
    tell(owner, displayStatus, 1);
    CHECK(unseen == 0);
    tell(view, displayStatus, 0);
    tell(owner, GUID_NULL, 0);
    CHECK(unseen == 0);
}

TEST_CASE("a garden destroyed with the worker of the shell is made again from the kept environment") {
    Shell shell(Shell::win10);
    Host host;
    auto made = new Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>(
        [](HRESULT, ICoreWebView2Environment* created) {
            environment = created;
            return S_OK;
        });
    CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, made);
    made->Release();
    REQUIRE(waitUntil([] { return environment != nullptr; }));
    position(true);
    REQUIRE(onWall);
    HWND old = view;
    // The garden's WM_DESTROY arrives while this thread waits for the shell.
    shell.replaceWorker();
    CHECK_FALSE(IsWindow(old));
    REQUIRE(waitUntil([&] { return IsWindow(view) && controller; }));
    CHECK(view != old);
    CHECK(textOf(view) == gardenTitle);
    CHECK(styleOf(view) == WS_POPUP);
    CHECK(screenRect(view) == fullScreen());
    CHECK(parentOf(view) == GetDesktopWindow());
    CHECK_FALSE(onWall);
    CHECK(rebuilds == 1);
}
