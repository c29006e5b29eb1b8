// The program as a user meets it: started as a process with a site folder of
// its own, the stand-in runtime beside it, and a fake shell on the desktop.
#include "fake.h"
#include "harness.h"
#include "host.h"

#include <fstream>

namespace fs = std::filesystem;

namespace {

// Windows of the program's class on the test desktop.
int gardenWindows() {
    int count = 0;
    EnumWindows([](HWND window, LPARAM data) -> BOOL {
        if (classOf(window) == gardenClass) ++*reinterpret_cast<int*>(data);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&count));
    return count;
}

int notesOf(Shell& shell, DWORD action) {
    int count = 0;
    for (auto& note : shell.notes()) count += note.action == action;
    return count;
}

}  // namespace

TEST_CASE("start shows only a tray icon and two hidden windows and a second start leaves at once and the tray menu quits with 0") {
    Shell shell(Shell::win11);
    App app;
    REQUIRE(app.windows());

    CHECK(textOf(app.owner) == L"Verdalune 菜单");
    CHECK(styleOf(app.owner) == WS_POPUP);
    CHECK(GetWindowLongPtrW(app.owner, GWL_EXSTYLE) == WS_EX_TOOLWINDOW);
    CHECK(screenRect(app.owner) == RECT{0, 0, 1, 1});
    CHECK(textOf(app.view) == L"Verdalune 情绪花园");
    CHECK(styleOf(app.view) == WS_POPUP);
    CHECK(GetWindowLongPtrW(app.view, GWL_EXSTYLE) == WS_EX_TOOLWINDOW);
    CHECK(screenRect(app.view) == fullScreen());
    CHECK_FALSE(IsWindowVisible(app.owner));
    CHECK_FALSE(IsWindowVisible(app.view));
    CHECK(GetParent(app.owner) == nullptr);
    CHECK(GetWindow(app.view, GW_OWNER) == nullptr);

    REQUIRE(shell.waitNotes(1));
    auto note = shell.notes()[0];
    CHECK(note.action == DWORD(NIM_ADD));
    CHECK(note.window == app.owner);
    CHECK(note.id == 1u);
    CHECK(note.flags == UINT(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    CHECK(note.callback == trayMessage);
    CHECK(note.tip == L"Verdalune · 种下今天");

    CHECK(fs::is_directory(userDataFolder()));
    // Nothing but the tray icon asks for attention while the page loads.
    Sleep(300);
    CHECK_FALSE(IsWindowVisible(app.view));
    CHECK_FALSE(FindWindowW(L"#32770", nullptr));
    CHECK(app.running());

    // A second start leaves at once and changes nothing.
    {
        App second;
        CHECK(second.exitCode() == DWORD(0));
        CHECK(gardenWindows() == 2);
        // It never reached the runtime: the stand-in writes its record on first use.
        CHECK_FALSE(fs::exists(second.log));
        Sleep(200);
        CHECK(shell.notes().size() == 1);
    }

    // Escape first: nothing changes.
    PostMessageW(app.owner, trayMessage, 1, WM_RBUTTONUP);
    HWND menu = openMenu();
    REQUIRE(menu);
    dismissMenu(menu);
    CHECK(waitUntil([] { return !openMenu(0); }, 2000));
    CHECK(app.running());

    // Only releases open it.
    for (LPARAM mouse : std::initializer_list<LPARAM>{WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK, WM_MOUSEMOVE}) PostMessageW(app.owner, trayMessage, 1, mouse);
    CHECK_FALSE(openMenu(300));

    chooseFromTray(app.owner, 3, WM_LBUTTONUP);
    CHECK(app.exitCode() == DWORD(0));
    REQUIRE(shell.waitNotes(2));
    auto last = shell.notes().back();
    CHECK(last.action == DWORD(NIM_DELETE));
    CHECK(last.window == app.owner);
    CHECK(last.id == 1u);
    CHECK(notesOf(shell, NIM_DELETE) == 1);
}

TEST_CASE("a missing entry page is told in a plain box and ends with 1 while a folder in its place passes the check") {
    Shell shell(Shell::win11);
    for (auto kind : {App::noSite, App::noEntry}) {
        CAPTURE(int(kind));
        std::error_code ignored;
        fs::remove_all(userDataFolder().parent_path(), ignored);
        App app(kind);
        auto box = takeBox();
        REQUIRE(box);
        CHECK(box->text == L"请完整解压 ZIP 后启动。");
        CHECK(box->caption == caption);
        CHECK_FALSE(box->icon);
        CHECK(box->buttons == std::vector<int>{IDOK});
        CHECK(box->process == app.process.dwProcessId);
        CHECK(app.exitCode() == DWORD(1));
        CHECK(gardenWindows() == 0);
        CHECK(shell.notes().empty());
        CHECK_FALSE(fs::exists(userDataFolder().parent_path()));
    }

    App app(App::entryFolder);
    REQUIRE(app.windows());
    CHECK_FALSE(FindWindowW(L"#32770", nullptr));
    CHECK(app.running());
}

TEST_CASE("a taskbar that refuses the icon at sign-in has it within 10 s and no timer is left") {
    BoxWatch boxes;
    Shell shell(Shell::win11);
    shell.refuse = 3;
    ULONGLONG started = GetTickCount64();
    App app;
    REQUIRE(shell.waitNotes(1, 10000));
    ULONGLONG took = GetTickCount64() - started;
    MESSAGE("the icon after ", took, " ms");
    CHECK(shell.refuse == 0);
    CHECK(shell.notes()[0].action == DWORD(NIM_ADD));
    // Asked again 2 s after each refusal, not in a loop.
    CHECK(took >= 5500);
    std::string pid = linuxProcess(app.folder);
    REQUIRE_FALSE(pid.empty());
    auto before = schedule(pid);
    Sleep(2500);
    auto after = schedule(pid);
    CHECK(after.second == before.second);
    CHECK(shell.notes().size() == 1);
    CHECK(boxes.boxes().empty());
    CHECK(app.running());
}

TEST_CASE("no local application data folder ends with 1 and says nothing") {
    Shell shell(Shell::win11);
    FolderMoved moved(L"Local AppData", L"C:\\verdalune-nowhere\\missing");
    App app;
    CHECK(app.exitCode() == DWORD(1));
    CHECK_FALSE(FindWindowW(L"#32770", nullptr));
    // The icon it had shown is taken away again; the runtime is never asked.
    REQUIRE(shell.waitNotes(2));
    CHECK(shell.notes()[0].action == DWORD(NIM_ADD));
    CHECK(shell.notes()[1].action == DWORD(NIM_DELETE));
    CHECK_FALSE(fs::exists(app.log));
}

TEST_CASE("a user data folder that cannot be made does not stop the start") {
    Shell shell(Shell::win11);
    fs::path blocker = userDataFolder().parent_path();
    std::error_code ignored;
    fs::remove_all(blocker, ignored);
    std::ofstream(blocker) << "in the way";
    struct Cleanup {
        fs::path file;
        ~Cleanup() { fs::remove(file); }
    } cleanup{blocker};

    App app;
    REQUIRE(app.windows());
    fake::Record record(app.log.wstring());
    CHECK(record.waitFor("start browser=null data=" + fake::utf8(userDataFolder().wstring()) + " options=null"));
    CHECK(fs::is_regular_file(blocker));
    CHECK(app.running());
}
