// The release as a user unzips it (tests/release/check.py makes it): what
// Windows reads from the program file, and the program started from a folder
// whose path has Chinese characters and spaces.
#include "harness.h"
#include "version.h"

#include <tlhelp32.h>

#include <array>
#include <cstring>
#include <string_view>

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

// A string of the version resource, read as Explorer's Properties reads it.
std::wstring versionText(const std::vector<BYTE>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT size = 0;
    std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &size) || !size) return L"<none>";
    return static_cast<const wchar_t*>(value);
}

// The pixel at x, y of a 32-bit icon as red, green, blue, alpha.
std::array<int, 4> pixel(const BYTE* rows, UINT width, UINT x, UINT y) {
    const BYTE* p = rows + (size_t(y) * width + x) * 4;
    return {p[2], p[1], p[0], p[3]};
}

// The flower's heart is warm yellow; the icon's corners are transparent.
bool isHeart(std::array<int, 4> c) { return c[0] > 230 && c[1] > 180 && c[1] < 225 && c[2] < 120 && c[3] > 240; }

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
    std::wstring version(VERSION_TEXT, VERSION_TEXT + std::strlen(VERSION_TEXT));
    CHECK(versionText(info, L"ProductName") == L"Verdalune");
    CHECK(versionText(info, L"FileDescription") == L"Verdalune 情绪花园");
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

    HICON icon = LoadIconW(module, MAKEINTRESOURCEW(1));
    CHECK(icon);
    auto big = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, 256, 256, 0));
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
    FreeLibrary(module);
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
    // the Common Controls, which gives the box the system's current look.
    REQUIRE(waitUntil([] { return FindWindowW(L"#32770", nullptr) != nullptr; }));
    std::wstring controls = commonControls(app.process.dwProcessId);
    CHECK_MESSAGE(controls.find(L"_microsoft.windows.common-controls_6595b64144ccf1df_6.") != std::wstring::npos, toString(controls));
    auto box = takeBox();
    REQUIRE(box);
    CHECK(box->text == L"请完整解压 ZIP 后启动。");
    CHECK(app.exitCode() == DWORD(1));
}
