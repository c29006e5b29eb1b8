// The program started with the stand-in runtime (tests/fake-webview2) on a
// fake shell, its start page loaded, and the readers of the runtime's record
// that the tests of the web view and of recovery share.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fake.h"
#include "harness.h"

// Record lines that begin with prefix.
size_t countOf(const std::vector<std::string>& lines, std::string_view prefix);

// A window as the record names it.
std::string hex(HWND window);

// Every object of the runtime and every callback object of the program is
// gone once the program has exited, and it called nothing it should not.
void checkReleased(const fake::Record& record);

// The program with its start page loaded, the test playing the page: by
// default on the wall (the page posts "showWall" whenever it has loaded).
struct Garden {
    enum Place { wall, hidden };
    struct Options {
        Shell::Layout layout = Shell::win11;
        Place place = wall;
        const wchar_t* failure = nullptr;  // for the stand-in, as App takes it
        const wchar_t* program = nullptr;  // another build from the build folder
    };
    Garden();
    explicit Garden(Options options);

    // Waits until the start page has been navigated to n times in all.
    bool pages(size_t n);
    // Raises one event of the stand-in and returns once the program has handled it.
    void send(int kind, const std::wstring& text = L"");
    // The page posts a message.
    void page(const wchar_t* text) { send(fake::messageString, text); }
    // The runtime reports a process failure of this kind.
    void failure(int kind) { send(fake::processFailed, std::to_wstring(kind)); }

    size_t count(std::string_view prefix) { return countOf(record.lines(), prefix); }
    // The garden window there is now, which a rebuild may have made again.
    HWND garden() { return findWindow(L"VerdaluneGardenWindow", L"Verdalune 情绪花园"); }
    // Quits from the owner window and checks that all was released.
    void quit();

    Shell shell;
    App app;
    fake::Record record;
    HWND control = nullptr;
};
