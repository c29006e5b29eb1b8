#define DOCTEST_CONFIG_IMPLEMENT
#include "harness.h"

#include "fake.h"
#include "host.h"

#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <string_view>

namespace fs = std::filesystem;

static HDESK desktop;
static std::wstring deskName;

void joinDesktop() { SetThreadDesktop(desktop); }
const std::wstring& desktopName() { return deskName; }

namespace {

// Another process's windows reordered as a shell's are, each time with the
// event Windows raises for it: a parent's two children swapped, then a pause.
int restackOwn(int times) {
    HWND parent = CreateWindowExW(WS_EX_NOACTIVATE, L"STATIC", L"", WS_POPUP, 0, 0, 20, 20, nullptr, nullptr, nullptr, nullptr);
    HWND children[2];
    for (HWND& child : children)
        child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, parent, nullptr, nullptr, nullptr);
    for (int i = 0; i < times; ++i) {
        SetWindowPos(children[i % 2], HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        NotifyWinEvent(EVENT_OBJECT_REORDER, parent, OBJID_CLIENT, CHILDID_SELF);
        Sleep(10);
    }
    return 0;
}

}  // namespace

void restackElsewhere(int times) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --restack " + std::to_wstring(times);
    std::wstring desk = L"WinSta0\\" + deskName;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desk.data();
    PROCESS_INFORMATION process{};
    REQUIRE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    CHECK(WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--restack") return restackOwn(atoi(argv[2]));
    // Process ids come back at once under Wine, so the name takes the time too.
    wchar_t name[64];
    swprintf(name, 64, L"test-%lu-%llu", GetCurrentProcessId(), static_cast<unsigned long long>(GetTickCount64()));
    deskName = name;
    desktop = CreateDesktopW(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!desktop || !SetThreadDesktop(desktop)) {
        fprintf(stderr, "no private desktop: error %lu\n", GetLastError());
        return 2;
    }
    doctest::Context context(argc, argv);
    int result = context.run();
    fflush(stdout);
    fflush(stderr);
    // Threads of a failed test may still wait on windows of the program.
    ExitProcess(static_cast<UINT>(result));
}

namespace {
struct Search {
    const wchar_t* type;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK match(HWND window, LPARAM data) {
    auto* s = reinterpret_cast<Search*>(data);
    if (classOf(window) == s->type && (!s->title || textOf(window) == s->title)) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND findWindow(const wchar_t* type, const wchar_t* title) {
    Search search{type, title, nullptr};
    EnumWindows(match, reinterpret_cast<LPARAM>(&search));
    // The garden window lives inside a worker while it is on the wall.
    if (!search.found)
        EnumWindows([](HWND top, LPARAM data) -> BOOL {
            EnumChildWindows(top, match, data);
            return !reinterpret_cast<Search*>(data)->found;
        }, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) children.push_back(child);
    return children;
}

HWND parentOf(HWND window) { return GetAncestor(window, GA_PARENT); }

std::wstring textOf(HWND window) {
    wchar_t text[512] = L"";
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring classOf(HWND window) {
    wchar_t type[256] = L"";
    GetClassNameW(window, type, 256);
    return type;
}

RECT screenRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

RECT workArea() {
    RECT r{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
    return r;
}

bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

doctest::String toString(const RECT& r) {
    char text[96];
    snprintf(text, sizeof text, "{%ld, %ld, %ld, %ld}", r.left, r.top, r.right, r.bottom);
    return text;
}

doctest::String toString(const std::wstring& text) {
    std::string quoted = "\"";
    quoted += fake::utf8(text);
    quoted += '"';
    return quoted.c_str();
}

// ---- message boxes and menus ----

std::optional<Box> readBox(HWND dialog) {
    // Wine fills the box in before it shows it.
    if (!IsWindowVisible(dialog) || !GetDlgItem(dialog, 65535)) return std::nullopt;
    Box box;
    box.caption = textOf(dialog);
    box.text = textOf(GetDlgItem(dialog, 65535));
    HWND image = GetDlgItem(dialog, 1088);
    box.icon = image && SendMessageW(image, STM_GETICON, 0, 0) != 0;
    for (int id : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO, IDTRYAGAIN, IDCONTINUE}) {
        HWND button = GetDlgItem(dialog, id);
        if (button && IsWindowVisible(button)) box.buttons.push_back(id);
    }
    GetWindowThreadProcessId(dialog, &box.process);
    return box;
}

static void pressOk(HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDOK, 0); }

std::optional<Box> takeBox(int ms) {
    std::optional<Box> box;
    waitUntil([&] {
        HWND dialog = FindWindowW(L"#32770", nullptr);
        box = dialog ? readBox(dialog) : std::nullopt;
        if (box) pressOk(dialog);
        return box.has_value();
    }, ms);
    if (box) waitUntil([] { return !FindWindowW(L"#32770", nullptr); }, 2000);
    return box;
}

BoxWatch::BoxWatch() {
    watcher = std::thread([this] {
        joinDesktop();
        while (!stop) {
            HWND dialog = FindWindowW(L"#32770", nullptr);
            if (auto box = dialog ? readBox(dialog) : std::nullopt) {
                {
                    std::lock_guard hold(lock);
                    seen.push_back(*box);
                }
                pressOk(dialog);
                // Wait for this box to go, so that it is counted once.
                for (int i = 0; i < 200 && IsWindow(dialog); ++i) Sleep(10);
            }
            Sleep(10);
        }
    });
}

BoxWatch::~BoxWatch() {
    stop = true;
    watcher.join();
}

std::vector<Box> BoxWatch::boxes() {
    std::lock_guard hold(lock);
    return seen;
}

HWND openMenu(int ms) {
    HWND menu = nullptr;
    waitUntil([&] {
        menu = FindWindowW(L"#32768", nullptr);
        return menu && IsWindowVisible(menu);
    }, ms);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

static void key(HWND menu, WPARAM vk) {
    PostMessageW(menu, WM_KEYDOWN, vk, 0);
    PostMessageW(menu, WM_KEYUP, vk, 0xC0000000);
}

void chooseItem(HWND menu, int index) {
    for (int i = 0; i <= index; ++i) key(menu, VK_DOWN);
    key(menu, VK_RETURN);
}

void dismissMenu(HWND menu) { key(menu, VK_ESCAPE); }

void chooseFromTray(HWND menuOwner, int index, LPARAM button) {
    PostMessageW(menuOwner, trayMessage, 1, button);
    HWND menu = openMenu();
    REQUIRE(menu);
    chooseItem(menu, index);
}

// ---- the program as a process ----

fs::path here() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

fs::path userDataFolder() {
    PWSTR local = nullptr;
    SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local);
    fs::path folder = fs::path(local) / L"Verdalune" / L"WebView2";
    CoTaskMemFree(local);
    return folder;
}

FolderMoved::FolderMoved(const wchar_t* folder, const std::wstring& to) : name(folder) {
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", 0,
                  KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    DWORD size = sizeof old;
    had = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
    RegSetValueExW(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(to.c_str()), static_cast<DWORD>((to.size() + 1) * sizeof(wchar_t)));
}

FolderMoved::~FolderMoved() {
    if (had) RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(old), static_cast<DWORD>((wcslen(old) + 1) * sizeof(wchar_t)));
    else RegDeleteValueW(key, name);
    RegCloseKey(key);
}

App::App(SiteKind kind, const wchar_t* failing, bool launch) : failure(failing ? failing : L"") {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int made = 0;
    folder = fs::path(temp) / (L"verdalune-" + desktopName() + L"-" + std::to_wstring(++made));
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::copy_file(here().parent_path() / L"verdalune.exe", folder / L"verdalune.exe");
    fs::copy_file((kind == preview ? here().parent_path() / L"tools/preview/WebView2Loader.dll" : here() / L"WebView2Loader.dll"), folder / L"WebView2Loader.dll");
    // The source tree, seen from Wine.
    if (kind == preview) fs::copy(fs::path(L"Z:" SOURCE_DIR) / L"site", folder / L"site", fs::copy_options::recursive);
    log = folder / L"runtime.log";
    if (kind != noSite) fs::create_directories(folder / L"site" / L"garden");
    if (kind == fullSite) std::ofstream(folder / L"site" / L"garden" / L"index.html") << "<!doctype html>\n";
    if (kind == entryFolder) fs::create_directories(folder / L"site" / L"garden" / L"index.html");
    if (launch) start();
}

void App::start() {
    job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    SetEnvironmentVariableW(L"FAKE_WEBVIEW2_LOG", log.c_str());
    SetEnvironmentVariableW(L"FAKE_WEBVIEW2_FAIL", failure.empty() ? nullptr : failure.c_str());
    std::wstring desk = L"WinSta0\\" + desktopName();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desk.data();
    std::wstring line = L"\"" + (folder / L"verdalune.exe").wstring() + L"\"";
    // The working folder is the program's own, so no other WebView2Loader.dll is found.
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process);
    DWORD error = GetLastError();
    REQUIRE_MESSAGE(started, "CreateProcessW failed with error " << error);
    AssignProcessToJobObject(job, process.hProcess);
}

std::optional<DWORD> App::exitCode(int ms) {
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

bool App::windows(int ms) {
    waitUntil([&] {
        owner = findWindow(gardenClass, ownerTitle);
        view = findWindow(gardenClass, gardenTitle);
        return owner && view;
    }, ms);
    return owner && view;
}

App::~App() {
    if (process.hProcess) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    if (job) CloseHandle(job);
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

DesktopCheck desktopCheck(const std::wstring& name, const std::wstring& arguments) {
    fs::path out = here() / L"desktop-check" / name;
    fs::remove_all(out);
    std::wstring desk = L"WinSta0\\" + desktopName();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desk.data();
    PROCESS_INFORMATION process{};
    std::wstring line = L"\"" + (here().parent_path() / L"tools" / L"desktop-check.exe").wstring() + L"\" --out \"" + out.wstring() + L"\" " + arguments;
    REQUIRE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process));
    DesktopCheck check{99, ""};
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &check.code);
    else TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    std::ifstream file(out / L"report.txt", std::ios::binary);
    check.report.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return check;
}

std::vector<MenuItem> readMenu(HWND window) {
    auto menu = reinterpret_cast<HMENU>(SendMessageW(window, 0x01E1 /* MN_GETHMENU */, 0, 0));
    std::vector<MenuItem> items;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[128] = L"";
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = 128;
        GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
        items.push_back({info.wID, info.fType | (info.hSubMenu ? 0x80000000u : 0u), info.fState, text});
    }
    return items;
}

// Reads a Linux file through Wine's Z: drive.
std::string linuxFile(const std::string& path) {
    std::string text, wide = "Z:" + path;
    HANDLE file = CreateFileA(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

// The Linux process that runs the program: the one whose command line names
// its folder, which is unique to the test.
std::string linuxProcess(const std::filesystem::path& folder) {
    std::string name = folder.filename().string();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &found);
    std::string pid;
    for (BOOL more = search != INVALID_HANDLE_VALUE; more && pid.empty(); more = FindNextFileA(search, &found))
        if (isdigit(static_cast<unsigned char>(found.cFileName[0])) &&
            linuxFile("/proc/" + std::string(found.cFileName) + "/cmdline").find(name) != std::string::npos)
            pid = found.cFileName;
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return pid;
}

size_t threadsOf(const std::string& pid) {
    size_t count = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(("Z:\\proc\\" + pid + "\\task\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
        count += isdigit(static_cast<unsigned char>(found.cFileName[0])) != 0;
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return count;
}

// CPU time (ns) and times scheduled, summed over the process's threads.
std::pair<unsigned long long, unsigned long long> schedule(const std::string& pid) {
    unsigned long long cpu = 0, runs = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(("Z:\\proc\\" + pid + "\\task\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        if (!isdigit(static_cast<unsigned char>(found.cFileName[0]))) continue;
        unsigned long long time = 0, wait = 0, slices = 0;
        sscanf(linuxFile("/proc/" + pid + "/task/" + found.cFileName + "/schedstat").c_str(), "%llu %llu %llu", &time, &wait, &slices);
        cpu += time, runs += slices;
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return {cpu, runs};
}
