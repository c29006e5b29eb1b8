// The desktop shell's windows as the program looks for them, on threads of
// their own as the real shell's are, and a taskbar that records tray icons.
// Nothing here depends on the test framework, so a program of its own can
// host the same shell.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Puts the calling thread on the desktop where the shell's windows belong;
// whoever hosts the shell defines it (tests: a private desktop per process).
void joinDesktop();

// Polls until ready() holds or the time runs out; the result of the last poll.
bool waitUntil(const std::function<bool()>& ready, int ms = 5000);

inline RECT fullScreen() { return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}; }

// A notification that reached the fake taskbar.
struct TrayNote {
    DWORD action;  // NIM_ADD, NIM_DELETE, ...
    HWND window;
    UINT id, flags, callback;
    std::wstring tip;
    // The icon's picture as Wine hands it over: 32-bit rows, top-down, BGRA.
    UINT iconWidth = 0, iconHeight = 0;
    std::vector<BYTE> iconPixels;
};

struct Shell {
    enum Layout {
        win10,     // icon view in Progman; 0x052C moves it into a top-level WorkerW with an empty one behind
        win11,     // 24H2: Progman holds the icon view, layered, and a WorkerW below it
        noWorker,  // Progman with the icon view, no worker anywhere
        none,      // no Progman at all
        hung,      // as win11, but Progman's thread never answers 0x052C
    };
    explicit Shell(Layout shape, POINT at = {0, 0}) : Shell(shape, at, false) {}
    // For a person to look at (tools/fake-shell): a few icon tiles on a see-through
    // icon layer, nothing painted over the wallpaper, and no taskbar of its own,
    // so that Wine's shows the tray.
    struct ForPeople {};
    Shell(Layout shape, ForPeople) : Shell(shape, {0, 0}, true) {}
    ~Shell();

    HWND progman = nullptr, iconView = nullptr, taskbar = nullptr;
    HWND worker = nullptr;    // the wallpaper worker (win10: exists once asked)
    HWND painting = nullptr;  // a child of the worker: the wallpaper it draws
    HWND decoy = nullptr;     // win11: a top-level WorkerW that only an enumeration would find
    std::atomic<int> asked{0};
    // Where the garden belongs: the worker on Windows 10, Progman since 24H2.
    HWND place() const { return layout == win10 ? worker : progman; }
    // Paintings of Progman or the worker while a garden inside it is hidden.
    std::atomic<int> repainted{0};

    // What the taskbar took: a request it refused leaves no note.
    std::vector<TrayNote> notes();
    bool waitNotes(size_t count, int ms = 5000);
    // Adds the taskbar refuses before it takes one, as a shell still busy at
    // sign-in may. It updates only an icon it has.
    std::atomic<int> refuse{0};

    // Explorer restarting: stop() destroys Progman, its workers and the icon
    // view, and with them whatever a program put inside; start() makes them
    // again with new handles and broadcasts "TaskbarCreated".
    void stop();
    void start();
    // What Windows does to a slideshow background after sleep: the worker is
    // destroyed and a new one made (Windows 10 layout: as before 0x052C).
    void replaceWorker();
    // Tells every window of a display change; a moment later the shell moves
    // its worker to begin at workerAt, as Explorer does when a display is
    // added on the left.
    void changeDisplay(POINT workerAt);
    // 24H2: the worker raised to right below the icon view, over the garden.
    void restack();
    std::atomic<int> moved{0};

private:
    Shell(Layout shape, POINT at, bool people);
    void run();
    void makeWorker();
    void raiseWorker();
    void answer();
    static LRESULT CALLBACK shellProc(HWND, UINT, WPARAM, LPARAM);
    static LRESULT CALLBACK trayProc(HWND, UINT, WPARAM, LPARAM);
    HWND make(const wchar_t* type, HWND parent, RECT at);
    void show();
    RECT workerRect();
    void onDesk(const std::function<void()>& work);
    void tearDown();
    HWND mailbox = nullptr;  // where other threads hand the desk thread its work
    HWND holder = nullptr;   // win10: the top-level worker that took the icon view
    bool moving = false;

    static void paintTiles(HWND window);

    Layout layout;
    POINT workerAt;
    bool forPeople;
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex lock;
    std::vector<TrayNote> seen;
    std::vector<std::pair<HWND, UINT>> icons;  // the ones the taskbar has
    std::thread desk, bar;
    DWORD deskThread = 0, barThread = 0;
};
