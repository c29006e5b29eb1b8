// The garden comes back by itself when Windows changes under it: Explorer
// restarts, a replaced worker, dying browser processes, display changes. The
// real program against the stand-in runtime and a fake shell; the test plays
// the page, which posts "showWall" whenever it has loaded.
#include "garden.h"

#include <wtsapi32.h>

#include <algorithm>
#include <iterator>

namespace {

// Tells the program's owner window what Windows would, and returns once it
// has been handled.
void tell(const Garden& garden, UINT message, WPARAM what) {
    DWORD_PTR result = 0;
    REQUIRE(SendMessageTimeoutW(garden.app.owner, message, what, 0, SMTO_ABORTIFHUNG, 5000, &result));
}

// The record's lines about visibility, suspension and the parent's moves, in order.
std::vector<std::string> rests(Garden& garden) {
    std::vector<std::string> out;
    for (auto& line : garden.record.lines())
        if (line.starts_with("visible ") || line.starts_with("suspend") || line == "resume" || line == "notify-position") out.push_back(line);
    return out;
}

bool inPlace(Garden& garden) {
    return childrenOf(garden.shell.progman) == std::vector<HWND>{garden.shell.iconView, garden.garden(), garden.shell.worker};
}

// Handles a process holds, from the system's handle table (Wine answers
// GetProcessHandleCount and GetGuiResources with 0).
size_t handlesOf(DWORD process) {
    struct Entry {
        ULONG process;
        BYTE type, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(1 << 20);
    ULONG size = 0;
    while (query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &size) == LONG(0xC0000004)) buffer.resize(buffer.size() * 2);
    ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
    auto* entries = reinterpret_cast<Entry*>(buffer.data() + sizeof(void*));
    return static_cast<size_t>(std::count_if(entries, entries + count, [&](const Entry& e) { return e.process == process; }));
}

// USER objects a process holds: its windows, top-level and child.
size_t windowsOf(DWORD process) {
    struct Count {
        DWORD process;
        size_t n = 0;
    } count{process};
    static WNDENUMPROC each = [](HWND window, LPARAM data) -> BOOL {
        auto* c = reinterpret_cast<Count*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        c->n += owner == c->process;
        return TRUE;
    };
    EnumWindows([](HWND top, LPARAM data) -> BOOL {
        each(top, data);
        EnumChildWindows(top, each, data);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&count));
    return count.n;
}

}  // namespace

TEST_CASE("an Explorer restart on the wall brings the garden back on the new worker") {
    for (auto layout : {Shell::win10, Shell::win11}) {
        CAPTURE(layout);
        BoxWatch boxes;
        Garden garden({.layout = layout});
        HWND old = garden.app.view, oldWorker = garden.shell.worker;
        size_t windows = windowsOf(garden.app.process.dwProcessId);
        garden.shell.stop();
        CHECK(waitUntil([&] { return !IsWindow(old); }));
        if (layout == Shell::win11) {
            // A display change while Explorer is away finds the garden gone:
            // the old controller goes, but there is nothing to go back to yet,
            // and nothing is said.
            PostMessageW(garden.app.owner, WM_DISPLAYCHANGE, 32, 0);
            REQUIRE(garden.record.waitFor("gone controller"));
            CHECK_FALSE(garden.record.waitFor([](auto& lines) { return countOf(lines, "controller parent=") > 1; }, 300));
        }
        garden.shell.start();
        REQUIRE(garden.pages(2));
        HWND view = garden.garden();
        REQUIRE(view);
        CHECK(view != old);
        CHECK(garden.record.has("controller parent=" + hex(view)));
        CHECK_FALSE(IsWindowVisible(view));
        // Explorer gone again when the new page asks for the wall: the garden
        // waits hidden, with no notice, and goes up once Explorer is back.
        garden.shell.stop();
        garden.page(L"showWall");
        CHECK_FALSE(IsWindowVisible(view));
        CHECK(parentOf(view) == GetDesktopWindow());
        garden.shell.start();
        CHECK(waitUntil([&] { return parentOf(view) == garden.shell.place() && IsWindowVisible(view); }));
        garden.page(L"showWall");
        CHECK(garden.shell.worker != oldWorker);
        CHECK(parentOf(view) == garden.shell.place());
        if (layout == Shell::win11) CHECK(childrenOf(garden.shell.progman) == std::vector<HWND>{garden.shell.iconView, view, garden.shell.worker});
        CHECK(screenRect(view) == fullScreen());
        CHECK(IsWindowVisible(view));
        CHECK(garden.count("navigate ") == 2);
        CHECK(garden.count("gone controller") == 1);
        CHECK(windowsOf(garden.app.process.dwProcessId) == windows);
        CHECK(boxes.boxes().empty());
        garden.quit();
    }
}

TEST_CASE("twenty Explorer restarts leave one garden and no more handles") {
    BoxWatch boxes;
    Garden garden;
    DWORD id = garden.app.process.dwProcessId;
    size_t handles = 0, windows = 0;
    for (size_t i = 1; i <= 20; ++i) {
        CAPTURE(i);
        garden.shell.stop();
        garden.shell.start();
        REQUIRE(garden.pages(i + 1));
        garden.page(L"showWall");
        REQUIRE(parentOf(garden.garden()) == garden.shell.place());
        // Counted once the first rebuild has warmed everything up.
        if (i == 2) handles = handlesOf(id), windows = windowsOf(id);
    }
    CHECK(handles > 0);
    CHECK(handlesOf(id) <= handles);
    CHECK(windowsOf(id) == windows);
    CHECK(boxes.boxes().empty());
    garden.quit();
}

// The garden's own WM_NCDESTROY tells it, on its own thread, with no tray
// choice, display change or "TaskbarCreated". On 24H2 the garden lies in
// Progman, and a replaced worker leaves it alone.
TEST_CASE("a replaced worker brings the garden back without waiting for the shell") {
    for (auto layout : {Shell::win10, Shell::win11}) {
        CAPTURE(layout);
        BoxWatch boxes;
        Garden garden({.layout = layout});
        for (size_t i = 1; i <= 5; ++i) {
            CAPTURE(i);
            HWND old = garden.garden(), oldWorker = garden.shell.worker;
            garden.shell.replaceWorker();
            CHECK(garden.shell.worker != oldWorker);
            if (layout == Shell::win11) {
                Sleep(300);
                CHECK(garden.garden() == old);
                CHECK(parentOf(old) == garden.shell.progman);
                continue;
            }
            REQUIRE(garden.pages(i + 1));
            garden.page(L"showWall");
            HWND view = garden.garden();
            CHECK(view != old);
            CHECK(parentOf(view) == garden.shell.place());
        }
        // No "TaskbarCreated" was needed: the icon was added only once.
        CHECK(garden.shell.notes().size() == 1);
        CHECK(boxes.boxes().empty());
    }
}

TEST_CASE("a garden in window mode is left alone through an Explorer restart") {
    BoxWatch boxes;
    Garden garden;
    garden.page(L"showEditor");
    HWND view = garden.app.view;
    REQUIRE(parentOf(view) == GetDesktopWindow());
    garden.shell.stop();
    garden.shell.start();
    // The icon comes back: "TaskbarCreated" has been handled.
    REQUIRE(garden.shell.waitNotes(2));
    Sleep(200);
    CHECK(garden.garden() == view);
    CHECK(parentOf(view) == GetDesktopWindow());
    CHECK(IsWindowVisible(view));
    CHECK(garden.count("controller parent=") == 1);
    CHECK(garden.count("close") == 0);
    CHECK(boxes.boxes().empty());
}

TEST_CASE("dead renderers are reloaded and hung ones on the third report while a dead browser is rebuilt") {
    BoxWatch boxes;
    Garden garden;
    garden.failure(1);
    CHECK(garden.count("reload") == 1);
    garden.failure(2);
    garden.failure(2);
    CHECK(garden.count("reload") == 1);
    garden.failure(2);
    CHECK(garden.count("reload") == 2);
    // Another failure between hang reports breaks the row.
    garden.failure(2);
    garden.failure(6);
    garden.failure(2);
    garden.failure(2);
    CHECK(garden.count("reload") == 2);

    HWND view = garden.app.view;
    garden.failure(0);
    REQUIRE(garden.pages(2));
    // The window is still there: only the browser is made again.
    CHECK(garden.garden() == view);
    CHECK(garden.count("controller parent=" + hex(view)) == 2);
    CHECK(garden.count("gone controller") == 1);
    garden.page(L"showWall");
    CHECK(parentOf(view) == garden.shell.place());
    CHECK(boxes.boxes().empty());
    garden.quit();
}

TEST_CASE("three failed rebuilds in a row end with one box while twenty good ones never do") {
    BoxWatch boxes;
    Garden garden;
    for (size_t i = 1; i <= 20; ++i) {
        garden.failure(0);
        REQUIRE(garden.pages(i + 1));
        garden.page(L"showWall");
    }
    CHECK(boxes.boxes().empty());
    // Pages that never speak: each rebuild fails, and the fourth loss gives up.
    for (size_t i = 1; i <= 3; ++i) {
        garden.failure(0);
        REQUIRE(garden.pages(21 + i));
    }
    CHECK(garden.app.running());
    garden.failure(0);
    CHECK(garden.app.exitCode() == DWORD(1));
    auto shown = boxes.boxes();
    REQUIRE(shown.size() == 1);
    CHECK(shown[0].text == L"无法启动花园显示窗口。");
    CHECK(shown[0].icon);
    CHECK(garden.count("controller parent=") == 24);
}

TEST_CASE("a worker the shell moves after a display change gets the garden placed again") {
    BoxWatch boxes;
    Garden garden;
    garden.shell.changeDisplay({-300, -40});
    REQUIRE(waitUntil([&] { return garden.shell.moved == 1; }));
    CHECK(waitUntil([&] { return screenRect(garden.app.view) == fullScreen(); }, 3000));
    CHECK(parentOf(garden.app.view) == garden.shell.place());
    CHECK(boxes.boxes().empty());
}

// Placing a garden again where it already is must not flash the wallpaper:
// watched from another thread while it happens.
TEST_CASE("display changes taskbar restarts and the shell's restacks on the wall never hide or move the garden") {
    BoxWatch boxes;
    Garden garden;
    HWND view = garden.app.view, home = garden.shell.place();
    RECT place = screenRect(view);
    std::atomic<bool> done{false};
    std::atomic<int> looks{0}, hidden{0}, away{0};
    std::thread watch([&] {
        joinDesktop();
        while (!done) {
            hidden += !IsWindowVisible(view);
            away += parentOf(view) != home;
            ++looks;
        }
    });
    int before = garden.shell.asked;
    UINT restarted = RegisterWindowMessageW(L"TaskbarCreated");
    for (int i = 0; i < 25; ++i) {
        PostMessageW(garden.app.owner, WM_DISPLAYCHANGE, 32, 0);
        PostMessageW(garden.app.owner, restarted, 0, 0);
        Sleep(20);
    }
    // One placement for each, and one more from the settle timer.
    CHECK(waitUntil([&] { return garden.shell.asked == before + 51; }));
    // The 24H2 shell raises its worker over the garden: back below the icons.
    for (int i = 0; i < 5; ++i) {
        garden.shell.restack();
        CHECK(waitUntil([&] { return inPlace(garden); }, 1000));
    }
    Sleep(300);
    done = true;
    watch.join();
    MESSAGE(looks.load(), " looks at the garden, ", hidden.load(), " hidden, ", away.load(), " away");
    CHECK(looks > 1000);
    CHECK(hidden == 0);
    CHECK(away == 0);
    CHECK(garden.shell.asked == before + 51);
    CHECK(screenRect(view) == place);
    CHECK(boxes.boxes().empty());
}

TEST_CASE("with nothing happening the program on the wall wakes for nothing") {
    BoxWatch boxes;
    Garden garden;
    std::string pid = linuxProcess(garden.app.folder);
    REQUIRE_FALSE(pid.empty());
    // Once after start, once after a display change has settled: no timer is left behind.
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            garden.shell.changeDisplay({0, 0});
            Sleep(1500);
        }
        auto before = schedule(pid);
        Sleep(3000);
        auto after = schedule(pid);
        MESSAGE("idle 3 s, round ", round, ": ", after.second - before.second, " wakes, ", (after.first - before.first) / 1000, " us CPU");
        CHECK(after.second == before.second);
        CHECK(before.second > 0);
    }
}

TEST_CASE("windows coming and going or restacked in another process wake the program on the wall for nothing") {
    // The build whose watch listens for creation, which Wine raises across processes.
    Garden garden({.program = L"verdalune-create.exe"});
    REQUIRE(waitUntil([&] { return IsWindowVisible(garden.app.view) && parentOf(garden.app.view) == garden.shell.place(); }));
    std::string pid = linuxProcess(garden.app.folder);
    REQUIRE_FALSE(pid.empty());
    Sleep(1000);
    // 100 windows a second made and destroyed by this process, for 3 s.
    auto before = schedule(pid);
    for (int i = 0; i < 300; ++i) {
        DestroyWindow(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr));
        Sleep(10);
    }
    auto after = schedule(pid);
    MESSAGE("300 foreign windows in 3 s: ", after.second - before.second, " wakes, ", (after.first - before.first) / 1000, " us CPU");
    CHECK(after.second == before.second);
    // Reorders in a process that is not Progman's, each with its event.
    before = schedule(pid);
    restackElsewhere(300);
    after = schedule(pid);
    MESSAGE("300 foreign restacks: ", after.second - before.second, " wakes, ", (after.first - before.first) / 1000, " us CPU");
    CHECK(after.second == before.second);
    CHECK(garden.app.running());
}

TEST_CASE("a lock rests the garden on the wall and an unlock wakes it in place while the editor never rests and a resume shows it again") {
    BoxWatch boxes;
    Garden garden;
    using Lines = std::vector<std::string>;
    CHECK(rests(garden) == Lines{"notify-position"});
    // Each told twice: the second costs nothing.
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK);
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK);
    REQUIRE(garden.record.waitFor("suspend-done"));
    int asked = garden.shell.asked;
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK);
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK);
    CHECK(rests(garden) == Lines{"notify-position", "visible 0", "suspend", "suspend-done", "resume", "visible 1", "notify-position"});
    CHECK(garden.shell.asked == asked + 1);
    CHECK(inPlace(garden));
    CHECK(IsWindowVisible(garden.app.view));

    // A disconnected session rests it as well; the editor never rests.
    tell(garden, WM_WTSSESSION_CHANGE, WTS_REMOTE_DISCONNECT);
    REQUIRE(garden.record.waitFor([](auto& lines) { return countOf(lines, "suspend-done") == 2; }));
    tell(garden, WM_WTSSESSION_CHANGE, WTS_REMOTE_CONNECT);
    CHECK(garden.count("visible 1") == 2);
    garden.page(L"showEditor");
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK);
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK);
    CHECK(garden.count("visible ") == 4);

    // Sleep with no lock: hidden and shown again and placed again, nothing suspended.
    garden.page(L"showWall");
    size_t before = rests(garden).size();
    asked = garden.shell.asked;
    tell(garden, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC);
    Lines now = rests(garden);
    CHECK(Lines(now.begin() + before, now.end()) == Lines{"visible 0", "visible 1", "notify-position"});
    CHECK(garden.shell.asked == asked + 1);
    CHECK(inPlace(garden));
    CHECK(boxes.boxes().empty());
    garden.quit();
}

TEST_CASE("a suspend the runtime refuses leaves the garden hidden until the unlock shows it with nothing to resume") {
    BoxWatch boxes;
    Garden garden({.failure = L"suspend-refused"});
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK);
    REQUIRE(garden.record.waitFor("suspend-done"));
    tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK);
    CHECK(rests(garden) == std::vector<std::string>{"notify-position", "visible 0", "suspend", "suspend-done", "visible 1", "notify-position"});
    CHECK(inPlace(garden));
    CHECK(boxes.boxes().empty());
    garden.quit();
}

// A new runtime is taken up while nobody looks: the old environment let go
// of, a new one on the same profile, the same window. Where the old browser
// still holds the profile, the next wake asks again; nothing spins meanwhile.
TEST_CASE("a new runtime is taken up at the next lock on the same profile in the same window with no box") {
    for (const wchar_t* failure : {static_cast<const wchar_t*>(nullptr), L"environment-busy"}) {
        CAPTURE(failure != nullptr);
        BoxWatch boxes;
        Garden garden({.failure = failure});
        HWND view = garden.app.view;
        garden.send(fake::newVersion);
        CHECK(garden.count("start ") == 1);
        tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK);
        if (failure) {
            Sleep(300);
            CHECK(garden.count("start ") == 2);
            CHECK(garden.count("controller parent=") == 1);
            tell(garden, WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK);
        }
        REQUIRE(garden.pages(2));
        auto lines = garden.record.lines();
        std::vector<std::string> starts;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(starts), [](auto& line) { return line.starts_with("start "); });
        CHECK(starts.size() == (failure ? 3u : 2u));
        CHECK(std::all_of(starts.begin(), starts.end(), [&](auto& line) { return line == starts[0]; }));
        CHECK(garden.count("close") == 1);
        CHECK(garden.record.has("gone environment"));
        CHECK(garden.count("controller parent=" + hex(view)) == 2);
        garden.page(L"showWall");
        CHECK(garden.garden() == view);
        CHECK(inPlace(garden));
        // Still locked: the new garden rests at once.
        if (!failure) REQUIRE(garden.record.waitFor("suspend-done"));
        CHECK(boxes.boxes().empty());
        garden.quit();
    }
}

// A browser that dies after an update, on a kept environment whose runtime
// is gone: once more from a new environment, and no box.
TEST_CASE("a rebuild refused by the environment an update left behind comes back on a new one") {
    for (const wchar_t* failure : {L"old-request", L"old-code"}) {
        CAPTURE(std::wstring(failure));
        BoxWatch boxes;
        Garden garden({.failure = failure});
        HWND view = garden.app.view;
        garden.send(fake::newVersion);
        garden.failure(0);
        REQUIRE(garden.pages(2));
        CHECK(garden.count("start ") == 2);
        CHECK(garden.count("controller parent=" + hex(view)) == 3);
        garden.page(L"showWall");
        CHECK(inPlace(garden));
        CHECK(garden.app.running());
        CHECK(boxes.boxes().empty());
        garden.quit();
    }
}
