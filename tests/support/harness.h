// What the tests share: a private desktop for each test process, the fake
// desktop shell (shell.h), the program started as a process, and readers for the
// message boxes and menus that would otherwise wait for a person.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "doctest.h"
#include "shell.h"

// Every test process runs on a desktop of its own (see joinDesktop).
const std::wstring& desktopName();

// Top-level or child window of the test desktop by class and title.
HWND findWindow(const wchar_t* type, const wchar_t* title = nullptr);

// A window's children, top of the Z order first.
std::vector<HWND> childrenOf(HWND parent);
// The parent window; the desktop window for a top-level one.
HWND parentOf(HWND window);
std::wstring textOf(HWND window);
std::wstring classOf(HWND window);
RECT screenRect(HWND window);
RECT workArea();
bool operator==(const RECT& a, const RECT& b);
doctest::String toString(const RECT& r);
doctest::String toString(const std::wstring& text);

// Wine keeps WS_CLIPSIBLINGS on windows that were top-level when styled.
inline LONG_PTR styleOf(HWND window) { return GetWindowLongPtrW(window, GWL_STYLE) & ~LONG_PTR(WS_CLIPSIBLINGS); }

// A message box as a user sees it.
struct Box {
    std::wstring text, caption;
    bool icon = false;
    std::vector<int> buttons;
    DWORD process = 0;
};

// The message box this dialog is, once it shows; none for another dialog.
std::optional<Box> readBox(HWND dialog);

// Waits for a message box on the test desktop, reads it and presses OK.
std::optional<Box> takeBox(int ms = 5000);

// Answers every message box on the test desktop while it lives, for calls
// that block the test's own thread.
struct BoxWatch {
    BoxWatch();
    ~BoxWatch();
    std::vector<Box> boxes();

private:
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<Box> seen;
    std::thread watcher;
};

// The pop-up menu that is open on the test desktop, if any.
HWND openMenu(int ms = 5000);
// Chooses the item at index (0 = top) with the keyboard, or dismisses with Escape.
void chooseItem(HWND menu, int index);
void dismissMenu(HWND menu);
// Opens the program's tray menu as a release of this button does, and
// chooses the item at index.
void chooseFromTray(HWND menuOwner, int index, LPARAM button = WM_RBUTTONUP);

// The address the program opens first.
inline const std::string startAddress = "https://verdalune.example/garden/index.html";

// The program, copied into a folder of its own with the stand-in runtime and
// started on the test desktop. It dies with the test if the test fails.
// `preview` copies the real site/ and the preview runtime instead, whose page
// side (tools/preview-webview2/preview.mjs) must be listening.
struct App {
    enum SiteKind { fullSite, noSite, noEntry, entryFolder, preview };
    explicit App(SiteKind kind = fullSite, const wchar_t* failing = nullptr, bool launch = true);
    ~App();

    void start();
    // Waits for both of the program's windows and keeps their handles.
    bool windows(int ms = 5000);
    std::optional<DWORD> exitCode(int ms = 5000);
    bool running() { return !exitCode(0); }

    std::filesystem::path folder, log;
    HWND owner = nullptr, view = nullptr;  // found once the program has made them
    PROCESS_INFORMATION process{};

private:
    HANDLE job = nullptr;
    std::wstring failure;
};

// tools/desktop-check run on the test desktop with these arguments: its exit
// code and report, which it leaves in build/tests/desktop-check/<name>/.
struct DesktopCheck {
    DWORD code;
    std::string report;
    bool says(const std::string& text) const { return report.find(text) != std::string::npos; }
};
DesktopCheck desktopCheck(const std::wstring& name, const std::wstring& arguments = L"");

// The folder of this test program (build/tests).
std::filesystem::path here();

// The program's user data folder under the local application data folder.
std::filesystem::path userDataFolder();

// Points one of this Wine prefix's shell folders ("Local AppData", or
// "Personal" for Documents) somewhere else for the life of the object. The
// whole prefix sees it: a case that uses it runs alone (RUN_SERIAL).
struct FolderMoved {
    FolderMoved(const wchar_t* name, const std::wstring& to);
    ~FolderMoved();
    FolderMoved(const FolderMoved&) = delete;
    FolderMoved& operator=(const FolderMoved&) = delete;

private:
    const wchar_t* name;
    HKEY key = nullptr;
    DWORD type = REG_EXPAND_SZ;
    wchar_t old[1024] = L"";
    bool had = false;
};

// Runs this test program again, as another process on the test desktop that
// reorders its own windows `times` times in about 10 ms each, raising
// EVENT_OBJECT_REORDER as Windows would; returns once it has ended.
void restackElsewhere(int times);

// A Linux file read through Wine's Z: drive.
std::string linuxFile(const std::string& path);
// The Linux process that runs the program in `folder` (unique to its test).
std::string linuxProcess(const std::filesystem::path& folder);
// CPU time (ns) and times scheduled, summed over the Linux process's threads.
std::pair<unsigned long long, unsigned long long> schedule(const std::string& pid);
// How many threads the Linux process has.
size_t threadsOf(const std::string& pid);

// The items of a menu open in this process (Wine cannot read another
// process's menu texts).
struct MenuItem {
    UINT id, type, state;
    std::wstring text;
};
std::vector<MenuItem> readMenu(HWND menu);
