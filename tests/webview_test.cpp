// The browser control's set-up, its failures, the navigation guard and the
// page bridge, end to end: the real program against the stand-in runtime.
#include "garden.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>

namespace {

std::string utf8(const std::wstring& text) { return fake::utf8(text); }

fake::Record recordOf(const App& app) { return fake::Record(app.log.wstring()); }

// Where a line stands in the record; past the end when it is missing.
size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

std::vector<std::string> startingWith(const std::vector<std::string>& lines, std::string_view prefix) {
    std::vector<std::string> found;
    for (auto& line : lines)
        if (line.starts_with(prefix)) found.push_back(line);
    return found;
}

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder's entries, each with what it holds ("/" for a folder).
std::map<std::wstring, std::string> listing(const std::filesystem::path& folder) {
    std::map<std::wstring, std::string> found;
    for (auto& entry : std::filesystem::directory_iterator(folder))
        found[entry.path().filename().wstring()] = entry.is_directory() ? "/" : contents(entry.path());
    return found;
}

}  // namespace

TEST_CASE("set-up serves the site under the virtual host and guards before navigating and the guard and the new-window handler keep the page on the site") {
    Garden garden({.place = Garden::hidden});
    auto lines = garden.record.lines();
    auto at = [&](const std::string& line) {
        CAPTURE(line);
        size_t index = indexOf(lines, line);
        CHECK(index < lines.size());
        return index;
    };
    RECT client{};
    GetClientRect(garden.app.view, &client);
    char bounds[64];
    snprintf(bounds, sizeof bounds, "bounds 0 0 %ld %ld", client.right, client.bottom);

    at("start browser=null data=" + utf8(userDataFolder().wstring()) + " options=null");
    at("controller parent=" + hex(garden.app.view));
    for (const char* line : {"settings", "put AreDevToolsEnabled=0", "put IsStatusBarEnabled=0", "put IsZoomControlEnabled=0",
                             "put AreBrowserAcceleratorKeysEnabled=0", "put IsPinchZoomEnabled=0", "put IsSwipeNavigationEnabled=0"})
        at(line);
    at(bounds);
    // The site and its guards are in place before the first navigation.
    size_t first = at("navigate " + startAddress);
    CHECK(at("mapping host=verdalune.example folder=" + utf8((garden.app.folder / L"site").wstring()) + " kind=2") < first);
    CHECK(at("add NavigationStarting") < first);
    CHECK(at("add WebMessageReceived") < first);
    CHECK(at("add NewWindowRequested") < first);
    CHECK(at("navigation " + startAddress + " cancel=0") > first);
    CHECK(countOf(lines, "navigate ") == 1);
    CHECK(countOf(lines, "start ") == 1);
    CHECK(countOf(lines, "controller ") == 1);
    // Those six and no other: the context menu keeps cut, copy and paste.
    CHECK(countOf(lines, "put ") == 6);
    // The garden stays hidden until the page asks for it.
    CHECK_FALSE(IsWindowVisible(garden.app.view));

    // The guard: only addresses under the site's prefix, as written.
    const std::wstring prefix = L"https://verdalune.example/";
    for (const std::wstring& address : {prefix + L"garden/?mood=calm#today", prefix + L"?next=https://evil.example/"}) {
        CAPTURE(utf8(address));
        garden.send(fake::navigate, address);
        CHECK(startingWith(garden.record.lines(), "navigation ").back() == "navigation " + utf8(address) + " cancel=0");
    }
    for (const wchar_t* address : {L"http://verdalune.example/garden/", L"https://Verdalune.example/garden/", L"https://verdalune.example",
                                   L"https://verdalune.example.evil.example/", L"https://verdalune.example@evil.example/", L""}) {
        CAPTURE(utf8(address));
        garden.send(fake::navigate, address);
        CHECK(startingWith(garden.record.lines(), "navigation ").back() == "navigation " + utf8(address) + " cancel=1");
    }
    garden.send(fake::navigateNull);
    CHECK(startingWith(garden.record.lines(), "navigation ").back() == "navigation (null) cancel=1");

    // A new window the page asks for is handled and never made, on the site or off it.
    for (const wchar_t* address : {L"https://evil.example/", L"https://verdalune.example/garden/index.html"}) {
        REQUIRE(fake::drive(garden.control, fake::newWindow, address));
        REQUIRE(garden.record.waitFor([&](auto& now) { return countOf(now, "new-window-done ") == (address[8] == 'e' ? 1u : 2u); }));
    }
    lines = garden.record.lines();
    CHECK(startingWith(lines, "new-window-done ") == std::vector<std::string>(2, "new-window-done handled=1"));
    CHECK(std::find(lines.begin(), lines.end(), "new-window") == lines.end());
    CHECK(garden.app.running());
}

TEST_CASE("a runtime without the newer settings starts all the same with no box") {
    Garden garden({.place = Garden::hidden, .failure = L"settings-old"});
    auto lines = garden.record.lines();
    for (const char* newer : {"ICoreWebView2Settings3", "ICoreWebView2Settings5", "ICoreWebView2Settings6"})
        CHECK(indexOf(lines, std::string("query ") + newer) < indexOf(lines, "navigate " + startAddress));
    CHECK(startingWith(lines, "put ") ==
          std::vector<std::string>{"put AreDevToolsEnabled=0", "put IsStatusBarEnabled=0", "put IsZoomControlEnabled=0"});
    CHECK_FALSE(takeBox(500));
    CHECK(garden.app.running());
}

TEST_CASE("every runtime failure is told in its own words and ends with 1") {
    const std::wstring install = L"请安装 Microsoft Edge WebView2 Runtime，再启动 Verdalune。";
    const std::wstring update = L"请更新 Microsoft Edge WebView2 Runtime。";
    struct Case {
        const wchar_t* failure;
        std::wstring text;
    } cases[] = {
        {L"start", install},
        {L"environment-code", install},
        {L"environment-null", install},
        {L"controller-request", L"无法创建桌面窗口。"},
        {L"controller-code", L"无法启动花园显示窗口。"},
        {L"controller-null", L"无法启动花园显示窗口。"},
        {L"view-null", L"无法启动花园显示窗口。"},
        {L"view3-missing", update},
        {L"mapping", update},
    };
    Shell shell(Shell::win11);
    for (auto& each : cases) {
        CAPTURE(utf8(each.failure));
        size_t notes = shell.notes().size();
        App app(App::fullSite, each.failure);
        REQUIRE(app.windows());
        auto box = takeBox();
        REQUIRE(box);
        CHECK(box->text == each.text);
        CHECK(box->caption == L"Verdalune");
        CHECK(box->icon);
        CHECK(box->buttons == std::vector<int>{IDOK});
        CHECK_FALSE(IsWindowVisible(app.view));
        CHECK(app.exitCode() == DWORD(1));

        // The icon came and went.
        REQUIRE(shell.waitNotes(notes + 2));
        CHECK(shell.notes().back().action == DWORD(NIM_DELETE));

        auto record = recordOf(app);
        checkReleased(record);
        auto lines = record.lines();
        // A view that cannot serve the site is never used (the environment's
        // update listener aside).
        CHECK(countOf(lines, "add ") == countOf(lines, "add NewBrowserVersionAvailable"));
        CHECK(countOf(lines, "navigate ") == 0);
        CHECK(countOf(lines, "unknown ") == 0);
    }
}

TEST_CASE("the page's messages move the garden between the wall and the front") {
    Garden garden({.place = Garden::hidden});
    HWND view = garden.app.view;

    garden.send(fake::messageString, L"showEditor");
    CHECK(IsWindowVisible(view));
    CHECK(parentOf(view) == GetDesktopWindow());
    CHECK(styleOf(view) == (WS_POPUP | WS_CLIPCHILDREN | WS_VISIBLE));
    CHECK(screenRect(view) == fullScreen());
    CHECK(GetForegroundWindow() == view);
    auto lines = garden.record.lines();
    CHECK(startingWith(lines, "focus ") == std::vector<std::string>{"focus 0"});
    // The control is fitted again once the window is in place.
    CHECK(lines[lines.size() - 2].starts_with("bounds 0 0 "));
    CHECK(indexOf(lines, "focus 0") < lines.size() - 2);
    CHECK(garden.shell.asked == 0);

    garden.send(fake::messageString, L"showWall");
    CHECK(garden.shell.asked == 1);
    CHECK(parentOf(view) == garden.shell.place());
    CHECK(styleOf(view) == (WS_CHILD | WS_CLIPCHILDREN | WS_VISIBLE));
    CHECK(IsWindowVisible(view));
    CHECK(screenRect(view) == fullScreen());
    CHECK(countOf(garden.record.lines(), "focus ") == 1);

    // Near misses of either word, and a JSON message, change nothing.
    for (const wchar_t* miss : {L"showeditor", L"ShowEditor", L" showEditor", L"showEditor ", L"showEditor!", L"show Editor",
                                L"showWall\n", L"SHOWWALL", L"showwall", L"\"showEditor\"", L""}) {
        CAPTURE(utf8(miss));
        garden.send(fake::messageString, miss);
        CHECK(parentOf(view) == garden.shell.place());
        CHECK(garden.shell.asked == 1);
    }
    garden.send(fake::messageJson, L"\"showEditor\"");
    garden.send(fake::messageJson, L"{\"message\":\"showEditor\"}");
    CHECK(parentOf(view) == garden.shell.place());
    CHECK(countOf(garden.record.lines(), "focus ") == 1);

    // Repeats are not filtered: each one places the window again.
    garden.send(fake::messageString, L"showWall");
    garden.send(fake::messageString, L"showWall");
    CHECK(garden.shell.asked == 3);
    CHECK(parentOf(view) == garden.shell.place());
    garden.send(fake::messageString, L"showEditor");
    garden.send(fake::messageString, L"showEditor");
    CHECK(countOf(garden.record.lines(), "focus ") == 3);
    CHECK(parentOf(view) == GetDesktopWindow());
}

TEST_CASE("a backup from the page is kept in Documents with the newest eight while foreign or oversized ones and other files are left alone") {
    Garden garden({.place = Garden::hidden});
    std::filesystem::path documents = garden.app.folder / L"文档", folder = documents / L"情绪花园备份";
    std::filesystem::create_directories(folder / L"情绪花园自动备份-2019-12-30.json");
    for (int day = 1; day <= 9; ++day) std::ofstream(folder / (L"情绪花园自动备份-2020-01-0" + std::to_wstring(day) + L".json")) << day;
    for (const wchar_t* other : {L"情绪花园自动备份-2019-12-31.json.bak", L"情绪花园自动备份-2019-1-31.json", L"情绪花园备份-2019-12-31.json",
                                 L"情绪花园自动备份-2019-12-31.JSON", L"情绪花园自动备份-２０19-12-31.json", L"笔记.txt"})
        std::ofstream(folder / other) << "not ours";
    FolderMoved moved(L"Personal", documents.wstring());
    auto posts = [&] { return startingWith(garden.record.lines(), "post "); };
    const std::wstring json = L"{\n  \"app\": \"verdalune-garden\",\n  \"days\": {\n    \"2020-01-10\": {\n      \"mood\": \"calm\",\n"
                              L"      \"note\": \"平静的一天 🌱\"\n    }\n  }\n}\n";

    // Nothing is written or answered for another page, a text that is not a
    // backup, or one the page could not read back.
    auto before = listing(folder);
    garden.send(fake::messageFrom, L"https://evil.example/garden/index.html\nbackup:" + json);
    garden.send(fake::messageFrom, L"https://verdalune.example.evil.example/\nbackup:" + json);
    for (std::wstring ignored : {L"backup:", L"backup:[]", L"backup: {}", L"Backup:{}", L"backup:{\xD800}"}) garden.page(ignored.c_str());
    // Over 32 MiB: in code units, and only in bytes of UTF-8 (11.2 million 花).
    std::string flowers = "backup:{";
    for (int i = 0; i < 11'200'000; ++i) flowers += "花";
    for (const std::string& big : {"backup:{" + std::string(32 << 20, ' '), flowers}) {
        std::ofstream(garden.app.folder / L"big.txt", std::ios::binary) << big;
        garden.send(fake::messageFile, (garden.app.folder / L"big.txt").wstring());
    }
    CHECK(posts().empty());
    CHECK(listing(folder) == before);

    // A folder that cannot be written: the page is told, and nothing is left behind.
    {
        std::filesystem::path blocked = garden.app.folder / L"满";
        std::filesystem::create_directories(blocked);
        std::ofstream(blocked / L"情绪花园备份") << "a file where the folder goes";
        FolderMoved full(L"Personal", blocked.wstring());
        garden.page((L"backup:" + json).c_str());
        REQUIRE(garden.record.waitFor([&](auto& lines) { return countOf(lines, "post ") == 1; }));
        CHECK(posts()[0].starts_with("post backup-failed:"));
        CHECK(listing(blocked).size() == 1);
    }

    std::string pid = linuxProcess(garden.app.folder);
    size_t threads = threadsOf(pid);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t name[64];
    swprintf(name, 64, L"情绪花园自动备份-%04u-%02u-%02u.json", unsigned{now.wYear}, unsigned{now.wMonth}, unsigned{now.wDay});
    garden.page((L"backup:" + json).c_str());
    REQUIRE(garden.record.waitFor([&](auto& lines) { return countOf(lines, "post ") == 2; }));
    CHECK(posts()[1] == "post backup-saved:" + utf8((folder / name).wstring()));
    // Exactly the text, as UTF-8 without a byte-order mark; the two oldest of
    // ten copies gone, and nothing else.
    auto expected = before;
    expected.erase(L"情绪花园自动备份-2020-01-01.json");
    expected.erase(L"情绪花园自动备份-2020-01-02.json");
    expected[name] = utf8(json);
    CHECK(listing(folder) == expected);
    // The writer's thread is gone with its work.
    CHECK(waitUntil([&] { return threadsOf(pid) == threads; }, 2000));
    CHECK(garden.app.running());
}

TEST_CASE("five showWall messages without a wallpaper layer give one notice and then window mode") {
    Garden garden({.layout = Shell::noWorker, .place = Garden::hidden});
    auto handled = [&](size_t n) { return garden.record.waitFor([&](auto& lines) { return countOf(lines, "message-done") == n; }); };
    for (int i = 0; i < 5; ++i) REQUIRE(fake::drive(garden.control, fake::messageString, L"showWall"));
    // The first opens the notice; the other four are handled inside its loop.
    CHECK(handled(4));
    auto box = takeBox();
    REQUIRE(box);
    CHECK(box->text == L"Windows 桌面层暂不可用。花园将以普通窗口显示，可从托盘重试。");
    CHECK(handled(5));
    CHECK_FALSE(takeBox(1000));
    CHECK(IsWindowVisible(garden.app.view));
    CHECK(parentOf(garden.app.view) == GetDesktopWindow());
    CHECK(garden.shell.asked == 5);
}

TEST_CASE("the tray menu and a close request send the page its mode words") {
    Garden garden({.place = Garden::hidden});
    const char* scripts[] = {"script window.moodMode('plant') handler=null", "script window.moodMode('menu') handler=null",
                             "script window.moodMode('wall') handler=null"};
    for (int item = 0; item < 3; ++item) {
        CAPTURE(item);
        chooseFromTray(garden.app.owner, item, item == 1 ? WM_LBUTTONUP : WM_RBUTTONUP);
        CHECK(garden.record.waitFor(scripts[item]));
    }
    PostMessageW(garden.app.view, WM_CLOSE, 0, 0);
    CHECK(garden.record.waitFor([&](auto& lines) { return std::count(lines.begin(), lines.end(), scripts[2]) == 2; }));
    // A mode word moves nothing by itself: that is the page's answer.
    CHECK_FALSE(IsWindowVisible(garden.app.view));
    CHECK(countOf(garden.record.lines(), "script ") == 3 + 1);
    CHECK(garden.app.running());
}

TEST_CASE("mode words are dropped while the runtime is still starting") {
    Shell shell(Shell::win11);
    App app(App::fullSite, L"hold");
    REQUIRE(app.windows());
    auto record = recordOf(app);
    REQUIRE(record.waitFor([](auto& lines) { return countOf(lines, "start ") == 1; }));
    for (int item = 0; item < 3; ++item) {
        chooseFromTray(app.owner, item);
        REQUIRE(waitUntil([] { return !openMenu(0); }, 2000));
    }
    PostMessageW(app.view, WM_CLOSE, 0, 0);
    Sleep(300);
    CHECK(app.running());
    CHECK(countOf(record.lines(), "script ") == 0);

    // Quitting before there is a controller is an ordinary quit.
    PostMessageW(app.owner, WM_CLOSE, 0, 0);
    CHECK(app.exitCode() == DWORD(0));
    checkReleased(record);
    CHECK(countOf(record.lines(), "close") == 0);
}

TEST_CASE("quitting from the wall repaints the desktop closes the controller and releases everything") {
    for (auto layout : {Shell::win11, Shell::win10}) {
    CAPTURE(layout);
    Garden garden({.layout = layout});
    REQUIRE(IsWindowVisible(garden.app.view));
    if (layout == Shell::win11) {
        // desktop-check finds the garden on the wall, but not seen: the
        // stand-in runtime draws nothing. It looks into the loader beside the
        // program without running it.
        DesktopCheck check = desktopCheck(L"stand-in");
        CAPTURE(check.report);
        CHECK(check.code == DWORD(1));
        CHECK(check.says("mode: on the wall"));
        CHECK(check.says("Verdict: not seen: black\n"));
        CHECK(parentOf(garden.app.view) == garden.shell.place());
        CHECK(IsWindowVisible(garden.app.view));
    }
    Sleep(200);
    int repainted = garden.shell.repainted;
    garden.quit();
    // Painted while the garden was still there, hidden: not by its end.
    CHECK(garden.shell.repainted > repainted);
    auto lines = garden.record.lines();
    CHECK(countOf(lines, "close") == 1);
    CHECK(countOf(lines, "refs ") >= 3);
    CHECK(countOf(lines, "release ") == 7);  // four callbacks, the process-failure, new-window and update handlers
    // The view goes first, then the controller is closed, then it goes too.
    size_t view = indexOf(lines, "gone view"), close = indexOf(lines, "close"), controller = indexOf(lines, "gone controller");
    CHECK(view < close);
    CHECK(close < controller);
    CHECK(controller < lines.size());
    }
}
