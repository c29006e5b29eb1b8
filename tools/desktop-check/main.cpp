// desktop-check: says whether the garden is seen where it belongs, behind the
// icons of a real desktop, and what Windows built there. A tool for people
// and CI, never shipped.
//
//   desktop-check.exe [--wait SECONDS] [--out FOLDER] [--choose TRAY-ITEM] [--mode wall|window]
//
// Writes report.txt, screen.png and, when it could compare, screen-hidden.png
// into FOLDER (default: "desktop-check" in the current folder), prints the
// report and exits 0 only when the garden is seen in its place behind the
// icons; 1 when it is not, 2 when it could not run, 3 when other windows
// cover too much of the screen to judge. --wait waits for the garden to
// reach its place and to be drawn there. The one change it makes: the garden
// is hidden for the comparison capture and shown again.
//
// --choose opens the program's tray menu and chooses the item with that
// text; --mode then waits (--wait) for the garden on the wall ("wall") or in
// front as a window ("window"), and exits 0 only once it is there. Neither
// judges the pixels.
#include <windows.h>
#include <dwmapi.h>
#include <shellscalingapi.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host.h"

using Microsoft::WRL::ComPtr;
namespace fs = std::filesystem;

namespace {

std::string report;

std::string utf8(std::wstring_view text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::string formatted(const char* pattern, ...) {
    char text[1024];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

void say(const std::string& line) { report += line + "\n"; }

std::wstring classOf(HWND window) {
    wchar_t text[256] = L"";
    GetClassNameW(window, text, 256);
    return text;
}

std::wstring titleOf(HWND window) {
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    return text;
}

std::string handle(HWND window) { return formatted("0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window))); }

std::string rectText(const RECT& r) {
    return formatted("(%ld,%ld)-(%ld,%ld) %ldx%ld", r.left, r.top, r.right, r.bottom, r.right - r.left, r.bottom - r.top);
}

RECT rectOf(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

RECT display() { return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}; }

std::string flags(LONG_PTR value, std::initializer_list<std::pair<LONG_PTR, const char*>> names) {
    std::string out;
    for (auto& [bit, name] : names)
        if (value & bit) out += std::string(out.empty() ? "" : "|") + name;
    return out.empty() ? "-" : out;
}

// One line for a window: what it is, how it is styled, where it is.
std::string describe(HWND window) {
    LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE), ex = GetWindowLongPtrW(window, GWL_EXSTYLE);
    std::string title = utf8(titleOf(window));
    return handle(window) + " \"" + utf8(classOf(window)) + "\"" + (title.empty() ? "" : " \"" + title + "\"") +
           formatted(" style 0x%08lx ", static_cast<unsigned long>(style & 0xffffffff)) +
           flags(style, {{WS_POPUP, "WS_POPUP"}, {WS_CHILD, "WS_CHILD"}, {WS_VISIBLE, "WS_VISIBLE"}, {WS_DISABLED, "WS_DISABLED"},
                         {WS_CLIPSIBLINGS, "WS_CLIPSIBLINGS"}, {WS_CLIPCHILDREN, "WS_CLIPCHILDREN"}}) +
           formatted(" ex 0x%08lx ", static_cast<unsigned long>(ex & 0xffffffff)) +
           flags(ex, {{WS_EX_LAYERED, "WS_EX_LAYERED"}, {WS_EX_NOREDIRECTIONBITMAP, "WS_EX_NOREDIRECTIONBITMAP"},
                      {WS_EX_TOPMOST, "WS_EX_TOPMOST"}, {WS_EX_TRANSPARENT, "WS_EX_TRANSPARENT"}, {WS_EX_TOOLWINDOW, "WS_EX_TOOLWINDOW"},
                      {WS_EX_NOACTIVATE, "WS_EX_NOACTIVATE"}}) +
           (IsWindowVisible(window) ? " visible " : " hidden ") + rectText(rectOf(window));
}

// A window's children, top of the Z order first.
std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> found;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) found.push_back(child);
    return found;
}

// Top-level windows, top of the Z order first.
std::vector<HWND> topLevel() {
    std::vector<HWND> found;
    EnumWindows([](HWND window, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&found));
    return found;
}

bool isShell(HWND window) {
    std::wstring type = classOf(window);
    return type == L"Progman" || type == L"WorkerW";
}

// ---- the system ----

// Wine's version where this runs under Wine, else null.
const char* wineVersion() {
    using Wine = const char*(__cdecl*)();
    auto wine = reinterpret_cast<Wine>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    return wine ? wine() : nullptr;
}

void windowsVersion() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using Version = LONG(WINAPI*)(OSVERSIONINFOW*);
    auto version = reinterpret_cast<Version>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (version) version(&info);
    wchar_t shown[64] = L"";
    DWORD size = sizeof shown, ubr = 0, ubrSize = sizeof ubr;
    const wchar_t* key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    RegGetValueW(HKEY_LOCAL_MACHINE, key, L"DisplayVersion", RRF_RT_REG_SZ, nullptr, shown, &size);
    RegGetValueW(HKEY_LOCAL_MACHINE, key, L"UBR", RRF_RT_REG_DWORD, nullptr, &ubr, &ubrSize);
    say(formatted("Windows: %lu.%lu build %lu.%lu", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, ubr) +
        (*shown ? " (" + utf8(shown) + ")" : ""));
    if (const char* wine = wineVersion()) say(std::string("  under Wine ") + wine + ": the desktop below is a stand-in's, not Windows'");
}

void primaryDisplay() {
    RECT screen = display();
    UINT dpiX = 96, dpiY = 96;
    GetDpiForMonitor(MonitorFromPoint({0, 0}, MONITOR_DEFAULTTOPRIMARY), MDT_EFFECTIVE_DPI, &dpiX, &dpiY);
    say(formatted("Primary display: %ldx%ld physical pixels, scale %u%% (%u dpi); %d display(s)", screen.right, screen.bottom,
               dpiX * 100 / 96, dpiX, GetSystemMetrics(SM_CMONITORS)));
}

// ---- the desktop as Windows built it ----

void desktopLayout() {
    HWND progman = FindWindowW(L"Progman", nullptr);
    if (!progman) {
        say("Progman: none");
    } else {
        std::vector<HWND> tops = topLevel();
        auto place = std::find(tops.begin(), tops.end(), progman) - tops.begin() + 1;
        say(formatted("Progman, #%lld of the top-level windows: ", static_cast<long long>(place)) + describe(progman));
        std::vector<HWND> children = childrenOf(progman);
        say(formatted("  children, top first: %zu", children.size()));
        for (HWND child : children) say("  - " + describe(child));
    }
    say("Top-level WorkerW windows, top first:");
    int count = 0, place = 0;
    for (HWND top : topLevel()) {
        ++place;
        if (classOf(top) != L"WorkerW") continue;
        ++count;
        HWND icons = FindWindowExW(top, nullptr, L"SHELLDLL_DefView", nullptr);
        say(formatted("  - #%d of the top-level windows: ", place) + describe(top) + (icons ? "; holds SHELLDLL_DefView" : ""));
    }
    if (!count) say("  none");
    HWND iconHolder = nullptr;
    for (HWND top : topLevel())
        if (FindWindowExW(top, nullptr, L"SHELLDLL_DefView", nullptr)) iconHolder = top;
    say("SHELLDLL_DefView is in: " + (iconHolder ? handle(iconHolder) + " \"" + utf8(classOf(iconHolder)) + "\"" : std::string("no top-level window")));
}

// ---- the garden ----

HWND findGarden() {
    struct Search {
        HWND found = nullptr;
    } search;
    auto match = [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (classOf(window) == gardenClass && titleOf(window) == gardenTitle) {
            s->found = window;
            return FALSE;
        }
        return TRUE;
    };
    for (HWND top : topLevel()) {
        if (!match(top, reinterpret_cast<LPARAM>(&search))) break;
        EnumChildWindows(top, match, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
    }
    return search.found;
}

bool onWall(HWND garden) {
    HWND parent = GetAncestor(garden, GA_PARENT);
    return parent && parent != GetDesktopWindow() && isShell(GetAncestor(garden, GA_ROOT));
}

// Why the garden is not where it belongs, right behind the icons; empty when
// it is. Since 24H2: a child of Progman right below the icon view, layered
// and opaque. Before: in a top-level WorkerW below the one holding the icons.
std::string misplacement(HWND garden) {
    HWND parent = GetAncestor(garden, GA_PARENT);
    if (!parent || parent == GetDesktopWindow()) return "a top-level window";
    std::string in = "in \"" + utf8(classOf(parent)) + "\"";
    if (GetAncestor(parent, GA_PARENT) != GetDesktopWindow()) return in + ", which is not a top-level window";
    if (classOf(parent) == L"Progman") {
        std::vector<HWND> siblings = childrenOf(parent);
        auto me = std::find(siblings.begin(), siblings.end(), garden);
        if (me == siblings.begin() || classOf(*(me - 1)) != L"SHELLDLL_DefView") return in + ", not directly below SHELLDLL_DefView";
        BYTE alpha = 0;
        DWORD how = 0;
        if (!(GetWindowLongPtrW(garden, GWL_EXSTYLE) & WS_EX_LAYERED)) return in + ", not layered";
        if (!GetLayeredWindowAttributes(garden, nullptr, &alpha, &how) || !(how & LWA_ALPHA) || alpha != 255)
            return in + formatted(", layered without alpha 255 (alpha %u%s)", alpha, how & LWA_ALPHA ? "" : " not set");
        return "";
    }
    if (classOf(parent) == L"WorkerW") {
        std::vector<HWND> tops = topLevel();
        auto holder = std::find_if(tops.begin(), tops.end(), [](HWND top) { return FindWindowExW(top, nullptr, L"SHELLDLL_DefView", nullptr); });
        if (holder == tops.end()) return in + ", and no top-level window holds SHELLDLL_DefView";
        if (parent == *holder) return in + ", the one that holds SHELLDLL_DefView";
        if (std::find(holder, tops.end(), parent) == tops.end()) return in + ", above the window that holds SHELLDLL_DefView";
        return "";
    }
    return in + ", neither Progman nor a WorkerW";
}

bool inPlace(HWND garden) { return garden && IsWindowVisible(garden) && onWall(garden) && misplacement(garden).empty(); }

DWORD processOf(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process;
}

// A process's integrity level and whether it runs elevated, as its token says.
std::string integrity(DWORD process) {
    std::string text = formatted("process %lu ", process);
    HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    HANDLE token = nullptr;
    if (!opened || !OpenProcessToken(opened, TOKEN_QUERY, &token)) {
        DWORD error = GetLastError();
        if (opened) CloseHandle(opened);
        return text + formatted("unknown (error %lu)", error);
    }
    alignas(TOKEN_MANDATORY_LABEL) BYTE buffer[256];
    DWORD size = 0;
    TOKEN_ELEVATION elevation{};
    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) {
        PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        DWORD level = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u);
        text += level >= SECURITY_MANDATORY_SYSTEM_RID ? "system"
                : level >= SECURITY_MANDATORY_HIGH_RID ? "high"
                : level >= SECURITY_MANDATORY_MEDIUM_RID ? "medium"
                : level >= SECURITY_MANDATORY_LOW_RID ? "low" : "untrusted";
        text += formatted(" (0x%lx)", level);
    } else {
        text += formatted("level unknown (error %lu)", GetLastError());
    }
    if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
        text += elevation.TokenIsElevated ? ", elevated" : ", not elevated";
    CloseHandle(token);
    CloseHandle(opened);
    return text;
}

fs::path programFolder(HWND garden) {
    DWORD process = 0;
    GetWindowThreadProcessId(garden, &process);
    HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    wchar_t path[MAX_PATH] = L"";
    DWORD size = MAX_PATH;
    if (opened) {
        QueryFullProcessImageNameW(opened, 0, path, &size);
        CloseHandle(opened);
    }
    return fs::path(path).parent_path();
}

void gardenReport(HWND garden) {
    if (!garden) return say("Garden: no window of class \"" + utf8(gardenClass) + "\" titled \"" + utf8(gardenTitle) + "\"");
    say("Garden: " + describe(garden));
    std::string chain = "  parent chain:";
    for (HWND up = GetAncestor(garden, GA_PARENT); up && up != GetDesktopWindow(); up = GetAncestor(up, GA_PARENT))
        chain += std::string(" ") + handle(up) + " \"" + utf8(classOf(up)) + "\" <";
    say(chain + " desktop");
    BYTE alpha = 0;
    COLORREF key = 0;
    DWORD how = 0;
    if (!(GetWindowLongPtrW(garden, GWL_EXSTYLE) & WS_EX_LAYERED)) say("  layered: no");
    else if (GetLayeredWindowAttributes(garden, &key, &alpha, &how))
        say(formatted("  layered: alpha %u%s%s", alpha, how & LWA_ALPHA ? " (LWA_ALPHA)" : " (alpha not set)", how & LWA_COLORKEY ? ", colour key" : ""));
    else say(formatted("  layered: attributes unreadable (error %lu)", GetLastError()));
    RECT at = rectOf(garden), screen = display();
    say("  rectangle " + rectText(at) + " against the primary display " + rectText(screen) + ": " +
        (EqualRect(&at, &screen) ? "the same" : "differs"));

    HWND parent = GetAncestor(garden, GA_PARENT);
    if (parent && parent != GetDesktopWindow()) {
        std::vector<HWND> siblings = childrenOf(parent);
        auto me = std::find(siblings.begin(), siblings.end(), garden);
        size_t index = static_cast<size_t>(me - siblings.begin());
        say(formatted("  place among the %zu children of its parent: #%zu from the top", siblings.size(), index + 1));
        HWND above = index > 0 ? siblings[index - 1] : nullptr;
        say("  directly below SHELLDLL_DefView: " + std::string(above && classOf(above) == L"SHELLDLL_DefView" ? "yes" : "no") +
            (above ? " (above it: \"" + utf8(classOf(above)) + "\")" : " (it is on top)"));
        bool workerBelow = std::any_of(me, siblings.end(), [](HWND w) { return classOf(w) == L"WorkerW"; });
        bool workerAbove = std::any_of(siblings.begin(), me, [](HWND w) { return classOf(w) == L"WorkerW"; });
        say(std::string("  above a WorkerW sibling: ") + (workerBelow ? "yes" : workerAbove ? "no, below one" : "no WorkerW sibling"));
    }
    say("  the web view's windows under it:");
    struct Walk {
        HWND garden;
        int count;
    } walk{garden, 0};
    EnumChildWindows(garden, [](HWND child, LPARAM data) {
        auto* w = reinterpret_cast<Walk*>(data);
        int depth = 0;
        for (HWND up = GetAncestor(child, GA_PARENT); up && up != w->garden; up = GetAncestor(up, GA_PARENT)) ++depth;
        say("  " + std::string(static_cast<size_t>(depth) * 2 + 2, ' ') + "- " + describe(child));
        ++w->count;
        return TRUE;
    }, reinterpret_cast<LPARAM>(&walk));
    if (!walk.count) say("    none");
    say(std::string("  mode: ") + (onWall(garden) ? "on the wall" : GetAncestor(garden, GA_PARENT) == GetDesktopWindow() ? "window mode" : "inside another window"));
    std::string wrong = misplacement(garden);
    say("  placement: " + (!onWall(garden) ? std::string("not on the wall") : wrong.empty() ? "in its place behind the icons" : "misplaced: " + wrong));
    // A person's programs run at the shell's level; a step of a hosted
    // runner starts them elevated unless it goes through the shell.
    say("  integrity: the garden's " + integrity(processOf(garden)));
    HWND progman = FindWindowW(L"Progman", nullptr);
    say("  integrity: the shell's (Progman's) " + (progman ? integrity(processOf(progman)) : std::string("none, no Progman")));
}

// The runtime the loader beside the program would use, or the one the
// setup looks for in the registry.
void runtimeVersion(const fs::path& folder) {
    fs::path loader = folder / L"WebView2Loader.dll";
    const char* exported = "GetAvailableCoreWebView2BrowserVersionString";
    std::string loaderSays;
    std::error_code error;
    if (!folder.empty() && fs::exists(loader, error)) {
        // Looked into first without running it: our test runtimes write their
        // record when they are unloaded.
        HMODULE probe = LoadLibraryExW(loader.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        bool has = probe && GetProcAddress(probe, exported);
        if (probe) FreeLibrary(probe);
        HMODULE module = has ? LoadLibraryExW(loader.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) : nullptr;
        auto available = module ? reinterpret_cast<decltype(&GetAvailableCoreWebView2BrowserVersionString)>(
                                      reinterpret_cast<void*>(GetProcAddress(module, exported)))
                                : nullptr;
        LPWSTR version = nullptr;
        HRESULT result = available ? available(nullptr, &version) : E_NOTIMPL;
        if (SUCCEEDED(result) && version) {
            say("WebView2 runtime: " + utf8(version) + " (from the loader beside the program)");
            CoTaskMemFree(version);
            return;
        }
        loaderSays = has ? formatted("  the loader beside the program found none (0x%08lx)", static_cast<unsigned long>(result))
                         : "  the loader beside the program does not tell (not the vendor's loader)";
    }
    const wchar_t* key = L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
    struct Place {
        HKEY root;
        DWORD view;
        const char* name;
    } places[] = {{HKEY_LOCAL_MACHINE, RRF_SUBKEY_WOW6464KEY, "HKLM"},
                  {HKEY_LOCAL_MACHINE, RRF_SUBKEY_WOW6432KEY, "HKLM (32-bit view)"},
                  {HKEY_CURRENT_USER, 0, "HKCU"}};
    for (auto& place : places) {
        wchar_t version[64] = L"";
        DWORD size = sizeof version;
        if (RegGetValueW(place.root, key, L"pv", RRF_RT_REG_SZ | place.view, nullptr, version, &size) == ERROR_SUCCESS && *version &&
            std::wstring(version) != L"0.0.0.0") {
            say("WebView2 runtime: " + utf8(version) + " (registered, " + place.name + ")");
            if (!loaderSays.empty()) say(loaderSays);
            return;
        }
    }
    say("WebView2 runtime: not found (no loader answer, no registration)");
    if (!loaderSays.empty()) say(loaderSays);
}

// The page's ground, from the style sheet the program serves.
std::optional<COLORREF> groundColour(const fs::path& folder) {
    std::ifstream file(folder / L"site" / L"garden" / L"style.css");
    std::stringstream css;
    css << file.rdbuf();
    std::smatch found;
    std::string text = css.str();
    if (!std::regex_search(text, found, std::regex(R"((^|\n)body\s*\{[^}]*\bbackground(-color)?\s*:\s*([^;}]+))"))) return std::nullopt;
    std::string value = found[3].str();
    // A custom property: its value where it is set.
    if (std::regex_search(value, found, std::regex(R"(^var\(\s*(--[\w-]+)\s*\))")) &&
        std::regex_search(text, found, std::regex(found[1].str() + R"(\s*:\s*([^;}]+))")))
        value = found[1].str();
    if (!std::regex_search(value, found, std::regex(R"(^\s*#([0-9a-fA-F]{6})\s*$)"))) return std::nullopt;
    unsigned long rgb = std::stoul(found[1].str(), nullptr, 16);
    return RGB((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff);
}

// ---- seeing it ----

struct Shot {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // top-down rows, 0x00RRGGBB
    COLORREF at(POINT p) const {
        uint32_t v = pixels[static_cast<size_t>(p.y) * static_cast<size_t>(width) + static_cast<size_t>(p.x)];
        return RGB((v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff);
    }
};

// The primary display as a person sees it, layered windows included.
Shot capture() {
    RECT screen = display();
    Shot shot{screen.right, screen.bottom, {}};
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), shot.width, -shot.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HDC desk = GetDC(nullptr), memory = CreateCompatibleDC(desk);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(desk, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, shot.width, shot.height, desk, 0, 0, SRCCOPY | CAPTUREBLT);
        GdiFlush();
        auto* start = static_cast<uint32_t*>(bits);
        shot.pixels.assign(start, start + static_cast<size_t>(shot.width) * static_cast<size_t>(shot.height));
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, desk);
    return shot;
}

bool savePng(const Shot& shot, const fs::path& path) {
    if (shot.pixels.empty()) return false;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IWICBitmap> source;
    UINT stride = static_cast<UINT>(shot.width) * 4;
    return SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory))) &&
           SUCCEEDED(factory->CreateBitmapFromMemory(static_cast<UINT>(shot.width), static_cast<UINT>(shot.height), GUID_WICPixelFormat32bppBGR,
                                                     stride, stride * static_cast<UINT>(shot.height),
                                                     reinterpret_cast<BYTE*>(const_cast<uint32_t*>(shot.pixels.data())), &source)) &&
           SUCCEEDED(factory->CreateStream(&stream)) && SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
           SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
           SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) && SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) &&
           SUCCEEDED(frame->Initialize(nullptr)) && SUCCEEDED(frame->WriteSource(source.Get(), nullptr)) && SUCCEEDED(frame->Commit()) &&
           SUCCEEDED(encoder->Commit());
}

// Where the ground shows: right of the icons' columns, above the taskbar,
// clear of the edges. The page keeps its flowers in rows with ground between,
// so a fair share of these points lands on ground.
std::vector<POINT> samplePoints() {
    RECT screen = display();
    std::vector<POINT> points;
    constexpr int columns = 24, rows = 14;
    for (int row = 0; row < rows; ++row)
        for (int column = 0; column < columns; ++column)
            points.push_back({screen.right * (12 + column * 84 / (columns - 1)) / 100, screen.bottom * (6 + row * 82 / (rows - 1)) / 100});
    return points;
}

bool alike(COLORREF a, COLORREF b) {
    auto close = [](int x, int y) { return x - y <= 12 && y - x <= 12; };
    return close(GetRValue(a), GetRValue(b)) && close(GetGValue(a), GetGValue(b)) && close(GetBValue(a), GetBValue(b));
}

bool cloaked(HWND window) {
    DWORD value = 0;
    return SUCCEEDED(DwmGetWindowAttribute(window, DWMWA_CLOAKED, &value, sizeof value)) && value;
}

// The sample points that a visible window above the garden's place covers,
// and those windows, most points first. The desktop's own windows and those
// of the garden's process (which draw the garden, if any) do not count.
struct Cover {
    std::vector<bool> under;  // by sample point
    size_t count = 0;
    std::vector<std::pair<size_t, std::string>> by;

    size_t open() const { return under.size() - count; }
    std::string names() const {
        std::string text;
        for (auto& [points, name] : by) text += (text.empty() ? "" : ", ") + name + formatted(" (%zu points)", points);
        return text;
    }
};

Cover coverOf(HWND garden) {
    HWND root = GetAncestor(garden, GA_ROOT);
    DWORD own = processOf(garden);
    std::vector<POINT> points = samplePoints();
    Cover cover{std::vector<bool>(points.size()), 0, {}};
    for (HWND top : topLevel()) {
        if (top == root) break;
        if (!IsWindowVisible(top) || IsIconic(top) || isShell(top) || cloaked(top) || processOf(top) == own) continue;
        RECT r = rectOf(top);
        size_t mine = 0;
        for (size_t i = 0; i < points.size(); ++i)
            if (PtInRect(&r, points[i]) && !cover.under[i]) cover.under[i] = true, ++mine;
        cover.count += mine;
        if (mine) cover.by.push_back({mine, handle(top) + " \"" + utf8(classOf(top)) + "\" \"" + utf8(titleOf(top)) + "\""});
    }
    std::stable_sort(cover.by.begin(), cover.by.end(), [](auto& a, auto& b) { return a.first > b.first; });
    return cover;
}

// The share, in percent, of the points in sight (no other window covers
// them) whose colour passes the test.
template <class Test>
int share(const Shot& shot, const Cover& cover, Test test) {
    std::vector<POINT> points = samplePoints();
    if (shot.pixels.empty() || !cover.open()) return 0;
    size_t hits = 0;
    for (size_t i = 0; i < points.size(); ++i)
        if (!cover.under[i] && test(shot.at(points[i]))) ++hits;
    return static_cast<int>(hits * 100 / cover.open());
}

// Waits for the garden in its place on the wall, shown; true once it is there.
bool waitForPlace(HWND& garden, std::chrono::steady_clock::time_point until) {
    for (;;) {
        garden = findGarden();
        if (inPlace(garden)) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

// The share of the ground's colour must be at least this, and this much more
// than with the garden hidden.
constexpr int seenShare = 40, seenLead = 25;

// The exit codes: seen (or in the mode asked for), not, could not run, and
// too little of the screen in sight to judge.
enum Outcome : int { seen = 0, missed = 1, failed = 2, unjudged = 3 };

// The verdict; writes the screenshots.
Outcome judge(HWND garden, const fs::path& out, std::chrono::steady_clock::time_point until) {
    auto notSeen = [](const std::string& why) { return say("Verdict: not seen: " + why), missed; };
    Shot shot = capture();
    auto finish = [&](Outcome outcome) {
        say(savePng(shot, out / L"screen.png") ? "Screenshot: screen.png" : "Screenshot: could not be saved");
        return outcome;
    };
    if (!garden) return finish(notSeen("no garden window"));
    fs::path folder = programFolder(garden);
    std::optional<COLORREF> ground = groundColour(folder);
    if (ground) say(formatted("Ground colour: #%02x%02x%02x (site\\garden\\style.css beside the program)", GetRValue(*ground), GetGValue(*ground), GetBValue(*ground)));
    else say("Ground colour: unknown (no body background in " + utf8((folder / L"site\\garden\\style.css").wstring()) + ")");
    if (!onWall(garden)) return finish(notSeen(IsWindowVisible(garden) ? "window mode: the garden is an ordinary window, not on the wall" : "hidden, and not on the wall"));
    if (!IsWindowVisible(garden)) return finish(notSeen("hidden"));
    // Whatever its pixels show: a garden above the icons hides them.
    std::string wrong = misplacement(garden);
    if (!wrong.empty()) return finish(notSeen("misplaced: " + wrong));

    auto isGround = [&](COLORREF c) { return ground && alike(c, *ground); };
    Cover cover = coverOf(garden);
    size_t points = cover.under.size();
    // The page may still be drawing its first frame.
    while (cover.open() * 3 >= points && share(shot, cover, isGround) < seenShare && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        shot = capture();
        cover = coverOf(garden);
    }
    say(formatted("Sample: %zu points, x 12-96%%, y 6-88%% of the primary display; %zu in sight, %zu under other windows", points,
                  cover.open(), cover.count));
    if (cover.count) say("  covered by: " + cover.names());
    if (cover.open() * 3 < points) {
        say("Verdict: not judged: covered by " + cover.names());
        return finish(unjudged);
    }
    int shown = share(shot, cover, isGround);
    int black = share(shot, cover, [](COLORREF c) { return GetRValue(c) < 24 && GetGValue(c) < 24 && GetBValue(c) < 24; });
    int white = share(shot, cover, [](COLORREF c) { return GetRValue(c) > 232 && GetGValue(c) > 232 && GetBValue(c) > 232; });
    say(formatted("  in sight with the garden shown: %d%% ground colour, %d%% black, %d%% white", shown, black, white));

    // The comparison: the same desktop without the garden.
    ShowWindow(garden, SW_HIDE);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    Shot bare = capture();
    ShowWindow(garden, SW_SHOWNOACTIVATE);
    bool back = IsWindowVisible(garden);
    int without = share(bare, cover, isGround);
    say(formatted("  in sight with the garden hidden: %d%% ground colour (shown again: %s)", without, back ? "yes" : "NO"));
    say(savePng(bare, out / L"screen-hidden.png") ? "Comparison: screen-hidden.png" : "Comparison: could not be saved");

    if (ground && shown >= seenShare && shown - without >= seenLead) {
        say("Verdict: seen");
        return finish(seen);
    }
    if (black >= 80) return finish(notSeen("black"));
    if (white >= 80) return finish(notSeen("white"));
    if (!ground) return finish(notSeen("the page's ground colour is unknown"));
    if (shown < seenShare) return finish(notSeen(formatted("only %d%% of the points in sight show the ground colour", shown)));
    return finish(notSeen(formatted("the desktop shows the ground colour without the garden too (%d%%)", without)));
}

// ---- the tray and the modes ----

template <class Ready>
bool waitFor(Ready ready, std::chrono::steady_clock::time_point until) {
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

auto after(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

// The visible pop-up menu of this thread, if it shows one.
HWND menuOf(DWORD thread) {
    for (HWND top : topLevel())
        if (classOf(top) == L"#32768" && IsWindowVisible(top) && GetWindowThreadProcessId(top, nullptr) == thread) return top;
    return nullptr;
}

// The texts of the items the keyboard can reach in a menu window (separators
// are skipped), or none where the menu cannot be read from here.
std::optional<std::vector<std::wstring>> menuTexts(HWND window) {
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, 0x01E1 /* MN_GETHMENU */, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer) || !answer) return std::nullopt;
    auto menu = reinterpret_cast<HMENU>(answer);
    int count = GetMenuItemCount(menu);
    if (count <= 0) return std::nullopt;
    std::vector<std::wstring> texts;
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 128;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) return std::nullopt;
        if (!(info.fType & MFT_SEPARATOR)) texts.push_back(text);
    }
    return texts;
}

void press(HWND window, WPARAM key) {
    PostMessageW(window, WM_KEYDOWN, key, 0);
    PostMessageW(window, WM_KEYUP, key, 0xC0000000);
}

// Opens the program's tray menu as a click on its icon does and chooses the
// item with this text by the keyboard, as a person may; true once the menu
// has closed on it.
bool chooseFromTray(const std::wstring& text) {
    HWND menuOwner = FindWindowW(gardenClass, ownerTitle);
    if (!menuOwner) return say("Tray: no window of class \"" + utf8(gardenClass) + "\" titled \"" + utf8(ownerTitle) + "\""), false;
    DWORD process = 0, thread = GetWindowThreadProcessId(menuOwner, &process);
    // The shell lets a program whose icon was clicked take the foreground.
    AllowSetForegroundWindow(process);
    PostMessageW(menuOwner, trayMessage, 0, WM_RBUTTONUP);
    HWND menu = nullptr;
    if (!waitFor([&] { return (menu = menuOf(thread)) != nullptr; }, after(10000)))
        return say("Tray: no menu of the program's showed within 10 s"), false;
    std::optional<std::vector<std::wstring>> texts = menuTexts(menu);
    if (!texts && wineVersion()) {
        // Wine keeps a menu's items in the process that made it.
        texts.emplace(std::begin(trayTexts), std::end(trayTexts));
        say("Tray: the menu cannot be read from another process under Wine; its items are taken from the program's own list");
    }
    if (!texts) {
        press(menu, VK_ESCAPE);
        return say(formatted("Tray: the menu could not be read (error %lu)", GetLastError())), false;
    }
    std::string listed;
    for (auto& item : *texts) listed += (listed.empty() ? "\"" : ", \"") + utf8(item) + "\"";
    auto found = std::find(texts->begin(), texts->end(), text);
    if (found == texts->end()) {
        press(menu, VK_ESCAPE);
        return say("Tray: no item \"" + utf8(text) + "\" among " + listed), false;
    }
    auto index = found - texts->begin();
    for (auto i = index; i >= 0; --i) press(menu, VK_DOWN);
    press(menu, VK_RETURN);
    if (!waitFor([&] { return !IsWindow(menu) || !IsWindowVisible(menu); }, after(5000))) {
        press(menu, VK_ESCAPE);
        return say("Tray: the menu stayed open after choosing \"" + utf8(text) + "\""), false;
    }
    say(formatted("Tray: chose \"%s\", item %lld of ", utf8(text).c_str(), static_cast<long long>(index + 1)) + listed);
    return true;
}

// What the garden is now: "wall" (in its place behind the icons), "window"
// (a top-level window in front), or what else.
std::string modeOf(HWND garden) {
    if (!garden) return "no garden window";
    if (!IsWindowVisible(garden)) return "hidden";
    if (inPlace(garden)) return "wall";
    if (onWall(garden)) return "on the wall, misplaced: " + misplacement(garden);
    if (GetAncestor(garden, GA_PARENT) != GetDesktopWindow()) return "inside another window";
    HWND front = GetForegroundWindow();
    if (front == garden) return "window";
    return "a top-level window, not in front: the foreground window is " + (front ? describe(front) : std::string("none"));
}

void print(const std::string& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        std::wstring wide(static_cast<size_t>(size), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int wait = 0;
    fs::path out = L"desktop-check";
    std::wstring choice, mode;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--wait" && i + 1 < argc) wait = _wtoi(argv[++i]);
        else if (arg == L"--out" && i + 1 < argc) out = argv[++i];
        else if (arg == L"--choose" && i + 1 < argc) choice = argv[++i];
        else if (arg == L"--mode" && i + 1 < argc) mode = argv[++i];
        else mode = L"?";
    }
    if (!mode.empty() && mode != L"wall" && mode != L"window") {
        print("usage: desktop-check.exe [--wait SECONDS] [--out FOLDER] [--choose TRAY-ITEM] [--mode wall|window]\n");
        return failed;
    }
    // Physical pixels, as the program itself sees them.
    if (!SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) SetProcessDPIAware();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::error_code error;
    fs::create_directories(out, error);

    say("desktop-check");
    windowsVersion();
    primaryDisplay();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
    HWND garden = nullptr;
    Outcome outcome = seen;
    if (!choice.empty() || !mode.empty()) {
        // A step of the tray's, and the mode it leads to.
        if (!choice.empty() && !chooseFromTray(choice)) outcome = failed;
        std::string now;
        if (outcome == seen && !mode.empty()) {
            bool reached = waitFor([&] { return (now = modeOf(garden = findGarden())) == utf8(mode); }, until);
            say("Mode: " + utf8(mode) + (reached ? ", as asked" : formatted(" asked, not reached in %d s: ", wait) + now));
            if (!reached) outcome = missed;
        }
        garden = findGarden();
        desktopLayout();
        gardenReport(garden);
        say(savePng(capture(), out / L"screen.png") ? "Screenshot: screen.png" : "Screenshot: could not be saved");
    } else {
        bool waited = waitForPlace(garden, until);
        desktopLayout();
        if (wait) say(formatted("Waited up to %d s for the garden in its place on the wall: %s", wait, waited ? "there" : "not there"));
        gardenReport(garden);
        runtimeVersion(garden ? programFolder(garden) : fs::path());
        outcome = judge(garden, out, until);
    }

    std::ofstream(out / L"report.txt", std::ios::binary) << report;
    print(report);
    CoUninitialize();
    return outcome;
}
