// The release as a user unzips it (tests/release/check.py makes it): what
// Windows reads from the program file, and the program started from a folder
// whose path has Chinese characters and spaces. Then the setup as a user runs
// it: installed, upgraded over the running program and uninstalled, silently.
#include "harness.h"
#include "host.h"
#include "version.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

namespace fs = std::filesystem;

namespace {

fs::path testsFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(path).parent_path();
}

fs::path release() { return testsFolder() / L"packaged" / L"Verdalune 发布 测试"; }

std::string_view resource(HMODULE module, const wchar_t* name, const wchar_t* type) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return {};
    return {static_cast<const char*>(LockResource(LoadResource(module, found))), SizeofResource(module, found)};
}

// A string of the version resource, read as Explorer's Properties reads it:
// in the language and code page the translation table names first, which
// must be Simplified Chinese.
std::wstring versionText(const std::vector<BYTE>& info, const wchar_t* name) {
    WORD* translation = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &size) || size < 4 ||
        translation[0] != 0x0804)
        return L"<no Simplified Chinese>";
    wchar_t path[96];
    swprintf(path, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
    void* value = nullptr;
    if (!VerQueryValueW(info.data(), path, &value, &size) || !size) return L"<none>";
    return static_cast<const wchar_t*>(value);
}

// The pixel at x, y of a 32-bit icon as red, green, blue, alpha.
std::array<int, 4> pixel(const BYTE* rows, UINT width, UINT x, UINT y) {
    const BYTE* p = rows + (size_t(y) * width + x) * 4;
    return {p[2], p[1], p[0], p[3]};
}

// The flower's heart is warm yellow; the icon's corners are transparent.
bool isHeart(std::array<int, 4> c) { return c[0] > 230 && c[1] > 180 && c[1] < 225 && c[2] < 120 && c[3] > 240; }

// The icon drawn at 256x256 is the flower: a warm heart, transparent corners.
void checkFlower(HMODULE module, const wchar_t* name) {
    auto big = static_cast<HICON>(LoadImageW(module, name, IMAGE_ICON, 256, 256, 0));
    REQUIRE(big);
    ICONINFO parts{};
    REQUIRE(GetIconInfo(big, &parts));
    BITMAPINFO format{};
    format.bmiHeader = {sizeof(BITMAPINFOHEADER), 256, -256, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<BYTE> rows(256 * 256 * 4);
    HDC screen = GetDC(nullptr);
    CHECK(GetDIBits(screen, parts.hbmColor, 0, 256, rows.data(), &format, DIB_RGB_COLORS) == 256);
    ReleaseDC(nullptr, screen);
    CHECK(isHeart(pixel(rows.data(), 256, 128, 112)));
    CHECK(pixel(rows.data(), 256, 2, 2)[3] == 0);
    DeleteObject(parts.hbmColor);
    DeleteObject(parts.hbmMask);
    DestroyIcon(big);
}

// The unzipped release, copied where the user might unzip it, with the
// stand-in runtime in place of the vendor's loader so that it can start here.
void unzipFor(App& app, bool withSite) {
    fs::remove_all(app.folder);
    app.folder = fs::temp_directory_path() / (L"Verdalune 发布 " + desktopName());
    fs::remove_all(app.folder);
    fs::copy(release(), app.folder, fs::copy_options::recursive);
    fs::copy_file(testsFolder() / L"WebView2Loader.dll", app.folder / L"WebView2Loader.dll",
                  fs::copy_options::overwrite_existing);
    if (!withSite) fs::remove_all(app.folder / L"site");
    app.log = app.folder / L"runtime.log";
}

// Where the comctl32.dll that a process has loaded comes from ("" if none).
// Version 6 lives only in its side-by-side assembly, which a process gets
// through its manifest; without one the system folder's version 5 is used.
std::wstring commonControls(DWORD process) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process);
    MODULEENTRY32W module{};
    module.dwSize = sizeof module;
    std::wstring path;
    for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module))
        if (!_wcsicmp(module.szModule, L"comctl32.dll")) path = module.szExePath;
    CloseHandle(snapshot);
    CharLowerW(path.data());
    return path;
}

const std::wstring version(VERSION_TEXT, VERSION_TEXT + std::strlen(VERSION_TEXT));
const wchar_t* const uninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Verdalune";
const wchar_t* const runKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

fs::path knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    SHGetKnownFolderPath(id, 0, nullptr, &path);
    fs::path folder(path);
    CoTaskMemFree(path);
    return folder;
}

fs::path installed() { return knownFolder(FOLDERID_LocalAppData) / L"Programs" / L"Verdalune"; }
fs::path garden() { return knownFolder(FOLDERID_LocalAppData) / L"Verdalune"; }
fs::path shortcut() { return knownFolder(FOLDERID_Programs) / L"Verdalune 情绪花园.lnk"; }
fs::path setupExe() { return testsFolder() / L"packaged" / L"dist" / (L"verdalune-" + version + L"-setup.exe"); }
fs::path standInSetup() { return testsFolder() / L"packaged" / L"stand-in-setup.exe"; }

std::wstring regText(const wchar_t* key, const wchar_t* name) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, value, &size)) return L"<none>";
    return value;
}

std::optional<DWORD> regNumber(const wchar_t* key, const wchar_t* name) {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size)) return std::nullopt;
    return value;
}

bool keyExists(const wchar_t* key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened)) return false;
    RegCloseKey(opened);
    return true;
}

std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Starts a setup or an uninstaller on the test desktop, in a job that ends
// with the test (so does any program it starts).
PROCESS_INFORMATION launch(const fs::path& exe, const std::wstring& arguments) {
    static HANDLE job = [] {
        HANDLE made = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        return made;
    }();
    std::wstring desk = L"WinSta0\\" + desktopName();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desk.data();
    PROCESS_INFORMATION process{};
    std::wstring line = L"\"" + exe.wstring() + L"\" " + arguments;
    REQUIRE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                           testsFolder().c_str(), &startup, &process));
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    return process;
}

// Its exit code, once it has ended.
DWORD finish(PROCESS_INFORMATION process) {
    WaitForSingleObject(process.hProcess, 40000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

DWORD run(const fs::path& exe, const std::wstring& arguments) { return finish(launch(exe, arguments)); }

// What a person who changes nothing meets in a setup that is not silent:
// each box, answered 否 or 取消 (a test must open no browser), and the last page.
struct Walk {
    std::vector<Box> boxes;
    std::wstring finishText;
    DWORD code = STILL_ACTIVE;
};

std::wstring allText(HWND window) {
    std::wstring text;
    EnumChildWindows(window, [](HWND child, LPARAM all) -> BOOL {
        if (IsWindowVisible(child)) *reinterpret_cast<std::wstring*>(all) += textOf(child) + L"\n";
        return TRUE;
    }, reinterpret_cast<LPARAM>(&text));
    return text;
}

// Presses the next button once on each page, as soon as it may be pressed.
Walk walk(PROCESS_INFORMATION process) {
    Walk seen;
    HWND pressed = nullptr, shown = nullptr;
    for (auto until = GetTickCount64() + 60000; GetTickCount64() < until && WaitForSingleObject(process.hProcess, 100);) {
        std::pair<DWORD, HWND> found{process.dwProcessId, nullptr};
        EnumWindows([](HWND window, LPARAM data) -> BOOL {
            auto& [id, dialog] = *reinterpret_cast<std::pair<DWORD, HWND>*>(data);
            DWORD from = 0;
            GetWindowThreadProcessId(window, &from);
            if (from == id && classOf(window) == L"#32770" && IsWindowVisible(window)) dialog = window;
            return !dialog;
        }, reinterpret_cast<LPARAM>(&found));
        HWND dialog = found.second;
        if (!dialog) continue;
        if (auto box = readBox(dialog)) {
            seen.boxes.push_back(*box);
            PostMessageW(dialog, WM_COMMAND, box->buttons == std::vector<int>{IDYES, IDNO} ? IDNO : IDCANCEL, 0);
            waitUntil([&] { return !IsWindow(dialog); }, 2000);
            continue;
        }
        HWND page = FindWindowExW(dialog, nullptr, L"#32770", nullptr), next = GetDlgItem(dialog, IDOK);
        // A page is read once it has been there for a round: its controls come
        // after it. The page that installs moves on by itself.
        if (std::exchange(shown, page) != page || page == pressed || !IsWindowVisible(page) || !IsWindowEnabled(next) ||
            FindWindowExW(page, nullptr, PROGRESS_CLASSW, nullptr))
            continue;
        std::wstring text = allText(dialog);
        if (text.find(L"已经安装到") != std::wstring::npos) seen.finishText = text;
        pressed = page;
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), LPARAM(next));
    }
    seen.code = finish(process);
    return seen;
}

// A silent uninstaller hands its work to a copy of itself in the temporary
// folder and returns at once; the uninstall entry goes last.
void uninstall(const std::wstring& arguments, const fs::path& folder = installed()) {
    REQUIRE(run(folder / L"uninstall.exe", arguments) == 0);
    CHECK(waitUntil([] { return !keyExists(uninstallKey); }, 20000));
    CHECK(waitUntil([&] { return !fs::exists(folder / L"verdalune.exe"); }, 5000));
    CHECK(!fs::exists(shortcut()));
    CHECK(regText(runKey, L"Verdalune") == L"<none>");
}

// True once no uninstaller runs, nor the copy of itself that a silent one
// runs from in the temporary folder ("Un…exe").
bool uninstallerEnded() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W process{};
    process.dwSize = sizeof process;
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &process); more && !running; more = Process32NextW(snapshot, &process))
        running = !_wcsnicmp(process.szExeFile, L"Un", 2);
    CloseHandle(snapshot);
    return !running;
}

// Files of the person's own, in a folder the setup is given or installs into.
const char* const mine[] = {"site/mine/index.html", "我的笔记.txt"};

void addMine(const fs::path& folder) {
    for (auto name : mine) {
        fs::path file = folder / fs::u8path(name);
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "mine: " << name;
    }
}

bool keptMine(const fs::path& folder) {
    return std::all_of(std::begin(mine), std::end(mine),
                       [&](auto name) { return bytesOf(folder / fs::u8path(name)) == std::string("mine: ") + name; });
}

// The installed program started as a user would, with the stand-in runtime
// in the loader's place; its runtime log lives outside the installed folder.
void startInstalled(App& app) {
    fs::remove_all(app.folder);
    app.folder = installed();
    app.log = fs::temp_directory_path() / (L"verdalune-setup-" + desktopName() + L".log");
    fs::copy_file(testsFolder() / L"WebView2Loader.dll", app.folder / L"WebView2Loader.dll", fs::copy_options::overwrite_existing);
    app.start();
}

// The process behind the program's owner window, once one shows.
HANDLE ownerProcess(int ms) {
    HWND menuOwner = nullptr;
    waitUntil([&] { return (menuOwner = findWindow(gardenClass, ownerTitle)) != nullptr; }, ms);
    DWORD id = 0;
    if (menuOwner) GetWindowThreadProcessId(menuOwner, &id);
    return id ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id) : nullptr;
}

}  // namespace

TEST_CASE("the released program carries its manifest and version and a compressed icon") {
    fs::path exe = release() / L"verdalune.exe";
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    REQUIRE(module);

    std::string manifest(resource(module, MAKEINTRESOURCEW(1), RT_MANIFEST));
    CHECK(manifest.find(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")") != std::string::npos);
    CHECK(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}") != std::string::npos);
    CHECK(manifest.find(R"(level="asInvoker")") != std::string::npos);
    CHECK(manifest.find("dpiAware") == std::string::npos);

    std::vector<BYTE> info(GetFileVersionInfoSizeW(exe.c_str(), nullptr));
    REQUIRE(!info.empty());
    REQUIRE(GetFileVersionInfoW(exe.c_str(), 0, DWORD(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    REQUIRE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    const WORD numbers[] = {VERSION_NUMBERS};
    CHECK(fixed->dwFileVersionMS == MAKELONG(numbers[1], numbers[0]));
    CHECK(fixed->dwFileVersionLS == MAKELONG(numbers[3], numbers[2]));
    CHECK(fixed->dwFileType == DWORD(VFT_APP));
    // Task Manager shows these two as the startup entry's name and publisher.
    CHECK(versionText(info, L"FileDescription") == L"Verdalune 情绪花园");
    CHECK(versionText(info, L"CompanyName") == L"Verdalune");
    CHECK(versionText(info, L"ProductName") == L"Verdalune 情绪花园");
    CHECK(versionText(info, L"FileVersion") == version);
    CHECK(versionText(info, L"ProductVersion") == version);
    CHECK(versionText(info, L"LegalCopyright") == L"© 2026 Verdalune");

    // One 256x256 32-bit image, stored as PNG, that Windows still draws.
    auto group = resource(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    REQUIRE(group.size() == 6 + 14);
    CHECK(reinterpret_cast<const WORD*>(group.data())[2] == 1);
    int id = LookupIconIdFromDirectoryEx(reinterpret_cast<BYTE*>(const_cast<char*>(group.data())), TRUE, 256, 256, LR_DEFAULTCOLOR);
    auto image = resource(module, MAKEINTRESOURCEW(id), RT_ICON);
    CHECK(image.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8));
    CHECK(image.size() < 16384);

    HICON flower = LoadIconW(module, MAKEINTRESOURCEW(1));
    CHECK(flower);
    checkFlower(module, MAKEINTRESOURCEW(1));
    FreeLibrary(module);
}

TEST_CASE("the setup carries the flower and the version") {
    fs::path exe = setupExe();
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    REQUIRE(module);
    // The icon Explorer shows is the first group.
    const wchar_t* first = nullptr;
    EnumResourceNamesW(module, RT_GROUP_ICON, [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) -> BOOL {
        *reinterpret_cast<const wchar_t**>(found) = name;
        return FALSE;
    }, reinterpret_cast<LONG_PTR>(&first));
    REQUIRE(first);
    checkFlower(module, first);
    FreeLibrary(module);

    std::vector<BYTE> info(GetFileVersionInfoSizeW(exe.c_str(), nullptr));
    REQUIRE(!info.empty());
    REQUIRE(GetFileVersionInfoW(exe.c_str(), 0, DWORD(info.size()), info.data()));
    CHECK(versionText(info, L"ProductName") == L"Verdalune 情绪花园");
    CHECK(versionText(info, L"FileDescription") == L"Verdalune 情绪花园 安装程序");
    CHECK(versionText(info, L"ProductVersion") == version);
}

TEST_CASE("the release starts from a folder named in Chinese with spaces and shows its icon and themed boxes") {
    Shell shell(Shell::win11);
    {
        App app(App::fullSite, nullptr, false);
        unzipFor(app, true);
        app.start();
        REQUIRE(app.windows());
        REQUIRE(shell.waitNotes(1));
        auto note = shell.notes()[0];
        CHECK(note.action == DWORD(NIM_ADD));
        // The tray is handed the flower itself, not a blank or default icon.
        REQUIRE(note.iconWidth > 0);
        REQUIRE(note.iconPixels.size() == size_t(note.iconWidth) * note.iconHeight * 4);
        UINT w = note.iconWidth, h = note.iconHeight;
        CHECK(isHeart(pixel(note.iconPixels.data(), w, w / 2, h * 44 / 100)));
        CHECK(pixel(note.iconPixels.data(), w, 0, 0)[3] == 0);
        PostMessageW(app.owner, WM_CLOSE, 0, 0);
        CHECK(app.exitCode() == DWORD(0));
    }

    App app(App::fullSite, nullptr, false);
    unzipFor(app, false);
    app.start();
    // Read while the box is up: the manifest must have brought in version 6 of
    // the Common Controls, which gives the box the system's current look. The
    // dialog exists before its controls do, and the Common Controls come in
    // with the first control, so wait until the box is filled in and shown.
    REQUIRE(waitUntil([] {
        HWND dialog = FindWindowW(L"#32770", nullptr);
        return dialog && readBox(dialog);
    }));
    std::wstring controls = commonControls(app.process.dwProcessId);
    CHECK_MESSAGE(controls.find(L"_microsoft.windows.common-controls_6595b64144ccf1df_6.") != std::wstring::npos, toString(controls));
    auto box = takeBox();
    REQUIRE(box);
    CHECK(box->text == L"请完整解压 ZIP 后启动。");
    CHECK(app.exitCode() == DWORD(1));
}

TEST_CASE("a silent setup installs for this user alone and its program starts and a silent uninstall keeps only the garden") {
    // Given a folder that holds the person's own things, the setup makes a
    // Verdalune folder inside it, here the usual one.
    fs::path given = installed().parent_path();
    fs::remove_all(installed());
    addMine(given);
    REQUIRE(run(setupExe(), L"/S /D=" + given.wstring()) == 0);
    CHECK(keptMine(given));
    fs::path exe = installed() / L"verdalune.exe";
    CHECK(bytesOf(exe) == bytesOf(release() / L"verdalune.exe"));
    for (auto name : {L"WebView2Loader.dll", L"使用说明.txt", L"site/garden/index.html", L"uninstall.exe"})
        CHECK_MESSAGE(fs::exists(installed() / name), toString(name));

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t target[MAX_PATH] = L"";
    REQUIRE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link))));
    if (SUCCEEDED(link->QueryInterface(IID_PPV_ARGS(&file))) && SUCCEEDED(file->Load(shortcut().c_str(), STGM_READ)))
        link->GetPath(target, MAX_PATH, nullptr, 0);
    if (file) file->Release();
    link->Release();
    CHECK(fs::path(target) == exe);

    std::wstring quoted = L"\"" + exe.wstring() + L"\"";
    CHECK(regText(runKey, L"Verdalune") == quoted);
    CHECK(regText(uninstallKey, L"DisplayName") == L"Verdalune 情绪花园");
    CHECK(regText(uninstallKey, L"DisplayVersion") == version);
    CHECK(regText(uninstallKey, L"Publisher") == L"Verdalune");
    CHECK(regText(uninstallKey, L"DisplayIcon") == exe.wstring() + L",0");
    CHECK(regText(uninstallKey, L"InstallLocation") == installed().wstring());
    fs::path uninstaller = installed() / L"uninstall.exe";
    CHECK(regText(uninstallKey, L"UninstallString") == L"\"" + uninstaller.wstring() + L"\"");
    CHECK(regText(uninstallKey, L"QuietUninstallString") == L"\"" + uninstaller.wstring() + L"\" /S");
    CHECK(regNumber(uninstallKey, L"EstimatedSize").value_or(0) * 1024 > fs::file_size(exe));
    CHECK(regNumber(uninstallKey, L"NoModify") == 1u);
    CHECK(regNumber(uninstallKey, L"NoRepair") == 1u);
    // Nothing was running, so a silent setup starts nothing.
    CHECK(!findWindow(gardenClass, ownerTitle));

    {
        Shell shell(Shell::win11);
        App app(App::fullSite, nullptr, false);
        startInstalled(app);
        REQUIRE(app.windows());
        REQUIRE(shell.waitNotes(1));
        auto note = shell.notes()[0];
        REQUIRE(note.iconWidth > 0);
        CHECK(isHeart(pixel(note.iconPixels.data(), note.iconWidth, note.iconWidth / 2, note.iconHeight * 44 / 100)));
        PostMessageW(app.owner, WM_CLOSE, 0, 0);
        CHECK(app.exitCode() == DWORD(0));
        app.folder.clear();
    }

    // What the person puts in the install folder outlives an upgrade.
    addMine(installed());
    REQUIRE(run(setupExe(), L"/S") == 0);
    CHECK(keptMine(installed()));
    CHECK(bytesOf(exe) == bytesOf(release() / L"verdalune.exe"));

    // A second copy elsewhere takes the Run value, the entry and the shortcut;
    // uninstalling the first leaves them to it, and the person's files too.
    fs::path other = fs::temp_directory_path() / (L"Verdalune B " + desktopName());
    fs::remove_all(other);
    REQUIRE(run(setupExe(), L"/S /D=" + other.wstring()) == 0);
    REQUIRE(regText(uninstallKey, L"InstallLocation") == other.wstring());
    REQUIRE(run(installed() / L"uninstall.exe", L"/S") == 0);
    CHECK(waitUntil([] { return !fs::exists(installed() / L"uninstall.exe"); }, 20000));
    REQUIRE(waitUntil(uninstallerEnded, 20000));
    CHECK(!fs::exists(exe));
    CHECK(!fs::exists(installed() / L"site" / L"garden"));
    CHECK(keptMine(installed()));
    CHECK(regText(uninstallKey, L"InstallLocation") == other.wstring());
    CHECK(regText(runKey, L"Verdalune") == L"\"" + (other / L"verdalune.exe").wstring() + L"\"");
    CHECK(fs::exists(shortcut()));
    fs::remove_all(installed());
    for (auto name : {L"site", L"我的笔记.txt"}) fs::remove_all(given / name);

    fs::create_directories(garden());
    std::ofstream(garden() / L"种下的日子.txt") << "kept";
    uninstall(L"/S", other);
    CHECK(!fs::exists(other));
    CHECK(bytesOf(garden() / L"种下的日子.txt") == "kept");
    fs::remove(garden() / L"种下的日子.txt");
}

TEST_CASE("setting up again over the running program closes it with code 0 and replaces its files and starts it again") {
    fs::remove_all(installed());
    REQUIRE(run(standInSetup(), L"/S") == 0);
    fs::path page = installed() / L"site" / L"garden" / L"index.html";
    std::string fresh = bytesOf(page);
    std::ofstream(page, std::ios::trunc) << "an older page";
    // A module that an older version installed, and recorded as its own.
    std::ofstream(installed() / L"site" / L"garden" / L"gone.js") << "an older module";
    std::wstring line = L"site\\garden\\gone.js\r\n";
    std::ofstream(installed() / L"uninstall.files", std::ios::binary | std::ios::app)
        .write(reinterpret_cast<const char*>(line.data()), line.size() * sizeof(wchar_t));
    addMine(installed());
    // Start-with-Windows turned off stays off, silent or not.
    RegDeleteKeyValueW(HKEY_CURRENT_USER, runKey, L"Verdalune");

    Shell shell(Shell::win11);
    App app(App::fullSite, nullptr, false);
    startInstalled(app);
    REQUIRE(app.windows());
    REQUIRE(run(standInSetup(), L"/S") == 0);
    CHECK(app.exitCode(0) == DWORD(0));
    CHECK(bytesOf(page) == fresh);
    CHECK(!fs::exists(installed() / L"site" / L"garden" / L"gone.js"));
    CHECK(keptMine(installed()));
    CHECK(regText(runKey, L"Verdalune") == L"<none>");

    auto started = [&](int count) {
        return waitUntil([&] {
            auto notes = shell.notes();
            return std::count_if(notes.begin(), notes.end(), [](auto& note) { return note.action == NIM_ADD; }) == count;
        });
    };
    HANDLE running = ownerProcess(5000);
    REQUIRE(running);
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    QueryFullProcessImageNameW(running, 0, image, &size);
    CHECK(fs::path(image) == installed() / L"verdalune.exe");
    CHECK(started(2));

    // Not silent: the choices page shows start-with-Windows unticked, and the
    // last page, the program being back, does not offer to start it.
    Walk setup = walk(launch(standInSetup(), L""));
    CHECK(setup.code == 0);
    CHECK(regText(runKey, L"Verdalune") == L"<none>");
    CHECK(WaitForSingleObject(running, 5000) == WAIT_OBJECT_0);
    CloseHandle(running);
    CHECK_MESSAGE(setup.finishText.find(L"重新启动") != std::wstring::npos, toString(setup.finishText));
    CHECK(setup.finishText.find(L"完成后启动") == std::wstring::npos);
    REQUIRE(setup.boxes.size() == 1);
    CHECK(setup.boxes[0].text.find(L"现在打开下载页面吗？") != std::wstring::npos);
    CHECK(setup.boxes[0].buttons == std::vector<int>{IDYES, IDNO});
    CHECK(started(3));
    HANDLE again = ownerProcess(5000);
    REQUIRE(again);

    // The uninstaller asks it to quit as well, and the delete choice takes the garden.
    fs::create_directories(garden());
    std::ofstream(garden() / L"种下的日子.txt") << "gone";
    app.folder.clear();
    uninstall(L"/S /DELETEGARDEN");
    // Only the person's files are left, and the folders that hold them.
    CHECK(keptMine(installed()));
    std::vector<fs::path> left;
    for (auto& entry : fs::recursive_directory_iterator(installed())) left.push_back(entry.path().lexically_relative(installed()));
    std::sort(left.begin(), left.end());
    CHECK(left == std::vector<fs::path>{L"site", L"site/mine", L"site/mine/index.html", L"我的笔记.txt"});
    fs::remove_all(installed());
    CHECK(WaitForSingleObject(again, 0) == WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(again, &code);
    CHECK(code == 0);
    CloseHandle(again);
    CHECK(!fs::exists(garden()));
}

TEST_CASE("a setup never kills a program that does not quit: it stops and changes nothing") {
    // A stand-in for a program that ignores the close request.
    std::atomic<DWORD> thread{0};
    std::thread stubborn([&] {
        joinDesktop();
        WNDCLASSW type{};
        type.lpfnWndProc = [](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
            return message == WM_CLOSE ? 0 : DefWindowProcW(window, message, w, l);
        };
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = gardenClass;
        RegisterClassW(&type);
        CreateWindowW(gardenClass, ownerTitle, WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, type.hInstance, nullptr);
        thread = GetCurrentThreadId();
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    });
    REQUIRE(waitUntil([&] { return thread != 0; }));
    fs::remove_all(installed());
    RegDeleteTreeW(HKEY_CURRENT_USER, uninstallKey);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, runKey, L"Verdalune");
    fs::remove(shortcut());
    auto unchanged = [] {
        CHECK(findWindow(gardenClass, ownerTitle));
        CHECK(!fs::exists(installed()));
        CHECK(!keyExists(uninstallKey));
        CHECK(regText(runKey, L"Verdalune") == L"<none>");
        CHECK(!fs::exists(shortcut()));
    };
    auto started = GetTickCount64();
    CHECK(run(setupExe(), L"/S") == 2);
    CHECK(GetTickCount64() - started >= 10000);
    unchanged();

    // Not silent, the person is offered 重试 and 取消; 取消 changes nothing either.
    Walk setup = walk(launch(setupExe(), L""));
    CHECK(setup.code == 2);
    REQUIRE(setup.boxes.size() == 2);
    CHECK(setup.boxes[1].buttons == std::vector<int>{IDCANCEL, IDRETRY});
    CHECK(setup.boxes[1].text.find(L"什么都没有改动") != std::wstring::npos);
    unchanged();
    PostThreadMessageW(thread, WM_QUIT, 0, 0);
    stubborn.join();
}
