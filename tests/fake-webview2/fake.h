// The test side of the stand-in WebView2Loader.dll: reads its record and
// drives it while the program runs in another process.
//
// Record lines (UTF-8), in the order the program causes them:
//   control 0x<hwnd>            the window that drive() talks to
//   start browser=<text|null> data=<text|null> options=<null|set>
//   controller parent=0x<hwnd> | view | query <interface name or {GUID}>
//   mapping host=<h> folder=<f> kind=<n> | add NavigationStarting | add WebMessageReceived
//   bounds <l> <t> <r> <b> | focus <n> | navigate <uri> | script <text> handler=<null|set>
//   uri | cancel <0|1> | message-source | message-string | message-json | close
//   post <text>                                 the program posted a string to the page
//   navigation <uri|(null)> cancel=<0|1|none>   after each NavigationStarting event
//   message-done                                after each web message event
//   add ProcessFailed | reload | failure-kind
//   settings | query ICoreWebView2Settings<n> | put <property>=<value>
//   add NewWindowRequested | handled <0|1> | new-window
//   visible <0|1> | suspend | suspend-done | resume | notify-position
//   add NewBrowserVersionAvailable | new-version-done    after each new-version event
//   new-window-done handled=<0|1|none>          after each new-window event
//   failure-done <kind>                         after each process-failure event
//   gone <kind>                                 the program let go of its last reference
//   unexpected <kind> <slot>                    a slot the program should not call
//   unknown FAKE_WEBVIEW2_FAIL=<value>
//   refs <kind> <n> ... release <role> <n> ... end   at exit or FakeWebView2Finish()
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fake {

// WM_COPYDATA dwData values understood by the control window.
constexpr int navigate = 1;       // NavigationStarting for the address in the text
constexpr int navigateNull = 2;   // NavigationStarting with no address
constexpr int messageString = 3;  // a web message posted as a string
constexpr int messageJson = 4;    // a web message that is not a string; the text is its JSON
// A process failure of the kind in the text (a number); kind 0, the browser
// process, also closes the newest controller. A controller whose parent
// window is destroyed is closed too. Calls on a closed controller or its view
// return invalidState.
constexpr int processFailed = 5;
// The page asks for a new window to the address in the text.
constexpr int newWindow = 6;
// A newer runtime has been installed: every environment raises
// NewBrowserVersionAvailable, and those made before it are old from now on.
// With FAKE_WEBVIEW2_FAIL=old-request an old environment refuses controllers
// at once; with old-code, in the completion. With environment-busy the second
// environment asked for is refused at once, as while the last browser still
// holds the profile. (With suspend-refused, TrySuspend reports false.)
constexpr int newVersion = 7;
// A web message posted as a string from another address: the text is the
// address, a line break, and the message. Other messages come from the
// address the program last navigated the view to.
constexpr int messageFrom = 8;
// A web message posted as a string, too long to hand over here: the text names
// a file that holds it as UTF-8.
constexpr int messageFile = 9;
constexpr HRESULT invalidState = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

inline std::string utf8(std::wstring_view text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

class Record {
public:
    explicit Record(std::wstring name) : file(std::move(name)) {}

    const std::wstring& path() const { return file; }

    // Complete lines only: a line still being written is left for the next read.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return out;
        std::string text;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
        CloseHandle(handle);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out.push_back(std::move(line));
        }
        return out;
    }

    bool has(std::string_view line) const {
        for (const std::string& each : lines())
            if (each == line) return true;
        return false;
    }

    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& done, DWORD ms = 5000) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (done(lines())) return true;
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    bool waitFor(std::string_view line, DWORD ms = 5000) const {
        return waitFor([&](const std::vector<std::string>& all) {
            for (const std::string& each : all)
                if (each == line) return true;
            return false;
        }, ms);
    }

    // The latest control window: a record that was finished in-process and
    // started again names it once per run.
    HWND control() const {
        HWND found = nullptr;
        for (const std::string& line : lines())
            if (line.starts_with("control 0x"))
                found = reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoull(line.substr(10), nullptr, 16)));
        return found;
    }

private:
    std::wstring file;
};

// True once the stand-in has taken the request; the event itself arrives
// later, through the program's message loop.
inline bool drive(HWND control, int kind, std::wstring_view text = {}) {
    COPYDATASTRUCT data{static_cast<ULONG_PTR>(kind), static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                        const_cast<wchar_t*>(text.data())};
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(control, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 5000, &answer) &&
           answer == TRUE;
}

// For a test that runs the program's code in its own process: writes the
// refs/release/end lines now instead of at unload.
inline void finish() {
    using Finish = void(WINAPI*)();
    if (HMODULE loader = GetModuleHandleW(L"WebView2Loader.dll"))
        if (auto done = reinterpret_cast<Finish>(reinterpret_cast<void*>(GetProcAddress(loader, "FakeWebView2Finish")))) done();
}

}  // namespace fake
