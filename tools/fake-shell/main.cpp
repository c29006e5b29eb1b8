// A stand-in desktop shell for a person to look at, with the program under
// Wine: Progman, the icon view with a few tiles and the worker windows in the
// Windows 10 layout, in a process of its own as Explorer's are. It starts the
// program given on its command line and ends when the program ends.
//
//   fake-shell.exe PROGRAM.exe
#include <windows.h>

#include <string>

#include "shell.h"

// The shell's windows belong on the session's ordinary desktop.
void joinDesktop() {}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR line, int) {
    if (!*line) {
        MessageBoxW(nullptr, L"fake-shell.exe PROGRAM.exe", L"fake shell", MB_OK);
        return 2;
    }
    Shell shell(Shell::win10, Shell::ForPeople{});
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = line;
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return 3;
    // Wine's taskbar keeps the place it was made in, below the windows made
    // after it, and would hide the tray. Once the program has asked for its
    // place on the wall and taken it, the taskbar is lifted above them all,
    // as Windows keeps its own above the desktop.
    if (waitUntil([&] { return shell.asked > 0; }, 60000)) {
        Sleep(1000);
        if (HWND bar = FindWindowW(L"Shell_TrayWnd", nullptr)) SetWindowPos(bar, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(code);
}
