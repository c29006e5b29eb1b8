// The program and the real garden page together, end to end: the real
// verdalune.exe with the preview runtime (tools/preview-webview2), which shows
// site/ through Chromium. Each case runs with the runtime's page side
// listening; the test looks into the page through a probe connection to it,
// and works the page through the runtime's window, as a person would.
#include "fake.h"
#include "harness.h"
#include "wire.h"

#include <optional>
#include <string>

namespace {

// The page side's view of the page.
struct Page {
    Page() {
        socket = wire::connectToPreview();
        REQUIRE(socket != INVALID_SOCKET);
        wire::sendAll(socket, wire::encode({"probe"}));
    }
    ~Page() { closesocket(socket); }

    // A script's value as JSON; empty while there is no page or when it threw.
    std::string eval(const std::string& script) {
        wire::Fields answer;
        if (!wire::sendAll(socket, wire::encode({"eval", script})) || !wire::receive(socket, answer)) return "";
        return answer.size() == 2 && answer[0] == "result" ? answer[1] : "";
    }

    bool waitFor(const std::string& condition, int ms = 10000) {
        return waitUntil([&] { return eval(condition) == "true"; }, ms);
    }

    // What has gone over the program's connection (bytes, frames, navigations).
    std::string counts() {
        wire::Fields answer;
        wire::sendAll(socket, wire::encode({"counts"}));
        return wire::receive(socket, answer) && answer.size() == 2 ? answer[1] : "";
    }

    // The program's Chromium: all its processes' PSS (kB), its renderers' CPU
    // time and their main threads' (ns), and whether its page is frozen.
    struct Usage {
        long long pss = 0, renderer = 0, main = 0, own = 0;
        bool resting = false;
        std::string text;  // all of it, each process too
    };
    Usage usage() {
        wire::Fields answer;
        Usage out;
        wire::sendAll(socket, wire::encode({"usage"}));
        if (wire::receive(socket, answer) && answer.size() == 2 && answer[0] == "result") {
            sscanf(answer[1].c_str(), "{\"pss\":%lld,\"renderer\":%lld,\"main\":%lld,\"own\":%lld", &out.pss, &out.renderer, &out.main, &out.own);
            out.resting = answer[1].find("\"resting\":true") != std::string::npos;
            out.text = answer[1];
        }
        return out;
    }

    // Ends the program's browser, as a crash would.
    bool end() {
        wire::Fields answer;
        wire::sendAll(socket, wire::encode({"end"}));
        return wire::receive(socket, answer) && answer.size() == 2 && answer[1] == "true";
    }

    // The centre of an element, in page pixels.
    POINT centre(const std::string& selector) {
        std::string at = eval("(() => { const r = document.querySelector('" + selector +
                              "').getBoundingClientRect(); return Math.round(r.x + r.width / 2) * 100000 + Math.round(r.y + r.height / 2); })()");
        REQUIRE_FALSE(at.empty());
        long long both = std::stoll(at);
        return {static_cast<LONG>(both / 100000), static_cast<LONG>(both % 100000)};
    }

    SOCKET socket;
};

// The garden shown by the program with the preview runtime and the fake
// shell, on the wall and drawn. The 24H2 layout unless a case needs the
// other. A see-through shell, as people see it, lets the screen show the page
// (see showMirror in the runtime).
struct Garden {
    explicit Garden(Shell::Layout layout = Shell::win11, bool seeThrough = false)
        : shell(seeThrough ? Shell(layout, Shell::ForPeople{}) : Shell(layout)), app(App::preview) {
        REQUIRE(app.windows());
        REQUIRE(page.waitFor("document.getElementById('today-line')?.textContent !== ''", 30000));
        if (!onWall()) {
            INFO("shell asked " << shell.asked.load() << " times; a message box is " << (FindWindowW(L"#32770", nullptr) ? "open" : "shut"));
            FAIL("the garden never reached the wall");
        }
    }

    bool onWall() { return waitUntil([&] { return GetParent(app.view) == shell.place() && IsWindowVisible(app.view); }, 10000); }
    bool inFront() {
        return waitUntil([&] { return !GetParent(app.view) && IsWindowVisible(app.view) && GetForegroundWindow() == app.view; }, 10000);
    }

    // The runtime's own window inside the garden window.
    HWND pageWindow() { return FindWindowExW(app.view, nullptr, L"PreviewWebView2Page", nullptr); }

    void click(POINT at) {
        HWND window = pageWindow();
        PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(at.x, at.y));
        PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
        PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    }

    void trayItem(int index) { chooseFromTray(app.owner, index); }

    Shell shell;
    App app;
    Page page;
};

COLORREF screenPixel(POINT at) {
    HDC screen = GetDC(nullptr);
    COLORREF colour = GetPixel(screen, at.x, at.y);
    ReleaseDC(nullptr, screen);
    return colour;
}

bool alike(COLORREF a, COLORREF b) {
    auto close = [](int x, int y) { return x - y < 20 && y - x < 20; };
    return close(GetRValue(a), GetRValue(b)) && close(GetGValue(a), GetGValue(b)) && close(GetBValue(a), GetBValue(b));
}

}  // namespace

// A garden of its own, new on each run, with a Documents folder of its own:
// seven old days merged in, yes to the weekly copy, and a week later a day
// planted through the runtime's window. The copy's folder is where the
// preview's open picker looks (PREVIEW_WEBVIEW2_FILES, set for this case in
// tests/CMakeLists.txt), so that 从备份恢复 on a new computer, an empty profile,
// opens the newest copy.
TEST_CASE("a day planted from the tray goes back to the wall and into the weekly copy and is there after a restart and on a new computer") {
    namespace fs = std::filesystem;
    const fs::path run = here() / L"weekly-copy", documents = run / L"documents", copies = documents / L"情绪花园备份";
    fs::remove_all(run);
    for (const fs::path& folder : {run / L"computer", run / L"new-computer", documents}) fs::create_directories(folder);
    FolderMoved moved(L"Personal", documents.wstring());
    // A date as the page names its days, and today's.
    const std::string dayOf = "((d) => [d.getFullYear(), d.getMonth() + 1, d.getDate()].map((n) => String(n).padStart(2, '0')).join('-'))";
    const std::string today = dayOf + "(new Date())";
    const std::wstring prefix = L"情绪花园自动备份-", copy = prefix + [] {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        wchar_t date[16];
        swprintf(date, 16, L"%04u-%02u-%02u", unsigned{now.wYear}, unsigned{now.wMonth}, unsigned{now.wDay});
        return std::wstring(date);
    }() + L".json";
    // A copy's days, and its text. It is read sharing everything: the
    // program's rename may still hold it for a moment after it has its name.
    auto moods = [](const fs::path& file) {
        std::string text;
        HANDLE in = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        char buffer[4096];
        DWORD got = 0;
        while (in != INVALID_HANDLE_VALUE && ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
        if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
        size_t n = 0;
        for (size_t at = text.find("\"mood\""); at != std::string::npos; at = text.find("\"mood\"", at + 1)) ++n;
        return std::make_pair(n, text);
    };
    // The page's garden in the order of its days, each with its mood and line.
    const std::string planted = "JSON.stringify(Object.entries(JSON.parse(localStorage.getItem('verdalune.garden.v1')).days)"
                               ".sort(([a], [b]) => (a < b ? -1 : 1)))";
    const std::wstring note = L"晚霞很美";
    std::string kept;
    std::optional<FolderMoved> computer(std::in_place, L"Local AppData", (run / L"computer").wstring());
    {
        Garden garden;
        garden.trayItem(1);  // 花园菜单
        REQUIRE(garden.page.waitFor("document.body.dataset.view === 'menu'"));
        CHECK(garden.page.eval("document.getElementById('auto-ask').hidden") == "true");
        // Lines that JSON must escape, and a character beyond 16 bits.
        CHECK(garden.page.eval(R"((() => { const days = {}, moods = ['happy', 'calm', 'warm', 'tired', 'sad', 'cross', 'calm'];
            moods.forEach((mood, i) => { days[`2024-05-0${i + 1}`] = { mood, note: `第${i + 1}天 "引号" \\ 换\n行 🌱` }; });
            const list = new DataTransfer(); list.items.add(new File([JSON.stringify({ app: 'verdalune-garden', version: 1, days })], '旧.json'));
            const input = document.getElementById('restore-file'); input.files = list.files;
            input.dispatchEvent(new Event('change')); return true; })())") == "true");
        REQUIRE(garden.page.waitFor("!document.getElementById('restore-confirm').hidden"));
        garden.page.eval("document.getElementById('restore-merge').click()");
        REQUIRE(garden.page.waitFor("document.getElementById('backup-status').textContent.startsWith('已经合并')"));
        // The seventh day brings the question; nothing is written before the yes.
        REQUIRE(garden.page.waitFor("!document.getElementById('auto-ask').hidden"));
        CHECK(garden.page.eval("document.querySelector('#auto-ask p').textContent.startsWith('每周自动备份到“文档\\\\情绪花园备份”吗？')") == "true");
        CHECK((!fs::exists(copies) || fs::is_empty(copies)));
        garden.click(garden.page.centre("#auto-yes"));
        REQUIRE(waitUntil([&] { return fs::exists(copies / copy); }));
        CHECK(moods(copies / copy).first == 7);
        CHECK(garden.page.waitFor("JSON.parse(localStorage.getItem('verdalune.prefs.v1')).lastAuto === " + today));

        // A week on: the last copy, and the page's record of it, are 7 days old.
        std::string weekAgo = garden.page.eval("(async () => { const d = new Date(); d.setDate(d.getDate() - 7); const day = " + dayOf +
                                               "(d); (await import(new URL('prefs.js', location.href))).setPref('lastAuto', day); return day; })()");
        REQUIRE(weekAgo.size() == 12);
        fs::rename(copies / copy, copies / (prefix + std::wstring(weekAgo.begin() + 1, weekAgo.end() - 1) + L".json"));

        garden.trayItem(0);  // 种下今天
        REQUIRE(garden.inFront());
        CHECK(garden.page.waitFor("document.body.dataset.view === 'plant' && !document.getElementById('editor').hidden"));
        // The editor is on the screen: the panel's own colour where the page
        // has it, once it has stopped moving.
        CHECK(garden.page.waitFor("document.getAnimations().length === 0"));
        std::string paper = garden.page.eval("getComputedStyle(document.querySelector('.panel-editor')).backgroundColor");
        unsigned r = 0, g = 0, b = 0;
        REQUIRE(sscanf(paper.c_str(), "\"rgb(%u, %u, %u)\"", &r, &g, &b) == 3);
        POINT corner = garden.page.centre(".panel-editor h2");
        corner.x -= 60;  // beside the title, on the panel
        COLORREF seen = 0;
        CAPTURE(paper);
        CAPTURE(seen);
        CAPTURE(corner.x);
        CAPTURE(corner.y);
        CHECK(waitUntil([&] { return alike(seen = screenPixel(corner), RGB(r, g, b)); }, 5000));

        // A mood clicked, a line typed (characters as an input method gives
        // them), and 种下 clicked, all through the runtime's window.
        garden.click(garden.page.centre("#mood-grid label:nth-of-type(2)"));
        CHECK(garden.page.waitFor("document.querySelector('#mood-grid input[value=\"calm\"]').checked"));
        garden.click(garden.page.centre("#note"));
        CHECK(garden.page.waitFor("document.activeElement === document.getElementById('note')"));
        for (wchar_t c : note) PostMessageW(garden.pageWindow(), WM_CHAR, c, 1);
        CHECK(garden.page.waitFor("document.getElementById('note').value === '" + fake::utf8(note) + "'"));
        POINT plantAt = garden.page.centre("#editor-plant");
        ULONGLONG clicked = GetTickCount64();
        garden.click(plantAt);
        // Today's copy, with the day just planted, from the click to the
        // file under its own name; this click and the page's message each
        // cross the preview's connection on the way.
        CHECK(waitUntil([&] { return fs::exists(copies / copy); }, 10000));
        ULONGLONG took = GetTickCount64() - clicked;
        MESSAGE("from 种下 to the weekly copy in Documents: ", took, " ms");
        CHECK(took < 2000);
        auto [days, text] = moods(copies / copy);
        CHECK(days == 8);
        CHECK(text.find(fake::utf8(note)) != std::string::npos);
        CHECK(garden.onWall());
        CHECK(garden.page.waitFor("document.body.dataset.view === 'wall'"));
        CHECK(garden.page.eval("document.getElementById('today-mood').textContent.includes('平静')") == "true");
        // The program's answer reached the page.
        CHECK(garden.page.waitFor("JSON.parse(localStorage.getItem('verdalune.prefs.v1')).lastAuto === " + today));
        kept = garden.page.eval(planted);
        CHECK(kept.find(fake::utf8(note)) != std::string::npos);

        garden.trayItem(3);  // 退出 Verdalune
        CHECK(garden.app.exitCode(10000) == DWORD(0));
    }
    {
        Garden again;
        CHECK(again.page.eval("document.getElementById('today-mood').textContent.includes('平静')") == "true");
        CHECK(again.page.eval("JSON.parse(localStorage.getItem('verdalune.garden.v1')).days[" + today + "]") ==
              "{\"mood\":\"calm\",\"note\":\"" + fake::utf8(note) + "\"}");
        CHECK(again.page.eval(planted) == kept);
    }

    // A new computer: an empty profile, and the copy in Documents.
    computer.emplace(L"Local AppData", (run / L"new-computer").wstring());
    Garden fresh;
    CHECK(fresh.page.eval("document.getElementById('year-count').textContent.includes('“花园菜单”→“从备份恢复”')") == "true");
    fresh.trayItem(1);  // 花园菜单
    REQUIRE(fresh.page.waitFor("document.body.dataset.view === 'menu' && document.getAnimations().length === 0"));
    // Below the fold on this screen, as a person would scroll to it.
    fresh.page.eval("document.getElementById('backup-restore').scrollIntoView({ block: 'center' })");
    fresh.click(fresh.page.centre("#backup-restore"));
    REQUIRE(fresh.page.waitFor("!document.getElementById('restore-confirm').hidden"));
    std::string summary = fresh.page.eval("document.getElementById('restore-summary').textContent");
    CAPTURE(summary);
    for (const std::string& part : {fake::utf8(copy), std::string("里有 8 天的记录"), std::string("现在的花园有 0 天")}) CHECK(summary.find(part) != std::string::npos);
    fresh.click(fresh.page.centre("#restore-merge"));
    REQUIRE(fresh.page.waitFor("document.getElementById('backup-status').textContent.startsWith('已经合并')"));
    CHECK(fresh.page.eval(planted) == kept);
}

TEST_CASE("in the real page the guard keeps an outside link out and in the editor the browser's keys change nothing while Alt+F4 and the close request and Escape send the garden back") {
    Garden garden;
    const std::string start = "\"" + startAddress + "\"";
    CHECK(garden.page.eval("window.stayed = true") == "true");
    CHECK(garden.page.eval("(() => { const a = document.createElement('a'); a.id = 'out'; a.href = 'https://example.com/elsewhere';"
                           " a.textContent = '外面'; a.style.cssText = 'position:fixed;left:200px;top:200px;padding:30px;"
                           "z-index:99;background:#fff'; document.body.append(a); return true; })()") == "true");
    garden.click(garden.page.centre("#out"));
    CHECK(waitUntil([&] { return garden.page.counts().find("{\"uri\":\"https://example.com/elsewhere\",\"cancel\":true}") != std::string::npos; }));
    Sleep(300);
    CHECK(garden.page.eval("location.href") == start);
    CHECK(garden.page.eval("window.stayed") == "true");

    garden.trayItem(0);
    REQUIRE(garden.inFront());
    REQUIRE(garden.page.waitFor("document.body.dataset.view === 'plant'"));
    CHECK(garden.page.eval("window.keysSeen = [];"
                           " addEventListener('keydown', (e) => keysSeen.push(e.key), true); devicePixelRatio") == "1");
    HWND page = garden.pageWindow();
    auto press = [&](UINT down, UINT up, WPARAM vk, LPARAM flags = 0) {
        PostMessageW(page, down, vk, 1 | flags);
        PostMessageW(page, up, vk, 0xC0000001 | flags);
    };
    constexpr LPARAM alt = 1 << 29;
    press(WM_KEYDOWN, WM_KEYUP, VK_F5);
    PostMessageW(page, WM_SYSKEYDOWN, VK_MENU, 1 | alt);
    press(WM_SYSKEYDOWN, WM_SYSKEYUP, VK_LEFT, alt);
    PostMessageW(page, WM_KEYUP, VK_MENU, 0xC0000001);
    PostMessageW(page, WM_KEYDOWN, VK_CONTROL, 1);
    press(WM_KEYDOWN, WM_KEYUP, VK_OEM_PLUS);
    POINT middle{GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2};
    PostMessageW(page, WM_MOUSEWHEEL, MAKEWPARAM(MK_CONTROL, WHEEL_DELTA), MAKELPARAM(middle.x, middle.y));
    PostMessageW(page, WM_KEYUP, VK_CONTROL, 0xC0000001);
    press(WM_KEYDOWN, WM_KEYUP, VK_SHIFT);  // goes through: the end of the row
    REQUIRE(garden.page.waitFor("keysSeen.includes('Shift')"));
    Sleep(500);
    // Only the modifiers themselves reached the page; no reload, no history, no zoom.
    CHECK(garden.page.eval("keysSeen") == "[\"Alt\",\"Control\",\"Shift\"]");
    CHECK(garden.page.eval("window.stayed") == "true");
    CHECK(garden.page.eval("location.href") == start);
    CHECK(garden.page.eval("devicePixelRatio === 1 && visualViewport.scale === 1") == "true");
    CHECK(garden.page.eval("document.body.dataset.view") == "\"plant\"");

    // Alt+F4 is the garden window's close request: back to the wall.
    PostMessageW(page, WM_SYSKEYDOWN, VK_MENU, 1 | alt);
    press(WM_SYSKEYDOWN, WM_SYSKEYUP, VK_F4, alt);
    PostMessageW(page, WM_KEYUP, VK_MENU, 0xC0000001);
    CHECK(garden.onWall());
    CHECK(garden.page.waitFor("document.body.dataset.view === 'wall'"));
    CHECK(garden.page.eval("window.stayed") == "true");

    garden.trayItem(0);
    REQUIRE(garden.inFront());
    REQUIRE(garden.page.waitFor("document.body.dataset.view === 'plant'"));
    PostMessageW(garden.app.view, WM_CLOSE, 0, 0);
    CHECK(garden.onWall());
    CHECK(garden.page.waitFor("document.body.dataset.view === 'wall'"));

    garden.trayItem(0);
    REQUIRE(garden.inFront());
    REQUIRE(garden.page.waitFor("document.body.dataset.view === 'plant'"));
    PostMessageW(garden.pageWindow(), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(garden.pageWindow(), WM_KEYUP, VK_ESCAPE, 0xC0010001);
    CHECK(garden.onWall());
    CHECK(garden.page.waitFor("document.body.dataset.view === 'wall'"));
    CHECK(garden.app.running());

    // Drawn and left alone, the garden costs the connection nothing at all:
    // once the last change has settled, five seconds without a byte.
    std::string before = garden.page.counts();
    for (int i = 0; i < 10; ++i) {
        Sleep(1000);
        std::string now = garden.page.counts();
        if (now == before) break;
        before = now;
    }
    Sleep(5000);
    CHECK(garden.page.counts() == before);

    // The browser gone, the program lives on; what it asks of the closed view
    // is refused quietly.
    REQUIRE(garden.page.end());
    garden.trayItem(0);
    Sleep(500);
    CHECK(garden.app.running());
}

TEST_CASE("the preview runtime without Chromium or without its page side is a missing runtime") {
    const std::wstring install = L"请安装 Microsoft Edge WebView2 Runtime，再启动 Verdalune。";
    SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", L"C:\\no-browser-here");
    {
        Shell shell(Shell::win10);
        App app(App::preview);
        auto box = takeBox(15000);
        REQUIRE(box);
        CHECK(box->text == install);
        CHECK(app.exitCode() == DWORD(1));
    }
    SetEnvironmentVariableW(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", nullptr);
    SetEnvironmentVariableW(L"PREVIEW_WEBVIEW2_PORT", nullptr);
    Shell shell(Shell::win10);
    App app(App::preview);
    auto box = takeBox();
    REQUIRE(box);
    CHECK(box->text == install);
    CHECK(app.exitCode() == DWORD(1));
}

TEST_CASE("a day planted moments before the browser is killed is there when the garden comes back") {
    Garden garden;
    const std::string today = "(() => { const d = new Date(); return [d.getFullYear(), d.getMonth() + 1, d.getDate()]"
                              ".map((n) => String(n).padStart(2, '0')).join('-'); })()";
    // Killed outright at each delay after the page said "planted"; half a
    // second is the case that counts, the others show the margin.
    for (int delay : {500, 1000, 2000}) {
        CAPTURE(delay);
        std::string note = "杀掉之前" + std::to_string(delay) + "-" + std::to_string(GetTickCount64() % 100000);
        garden.trayItem(0);  // 种下今天
        REQUIRE(garden.inFront());
        REQUIRE(garden.page.waitFor("document.body.dataset.view === 'plant'"));
        CHECK(garden.page.eval("(() => { document.querySelector('#mood-grid input[value=\"cross\"]').checked = true;"
                               " document.getElementById('note').value = '" + note + "';"
                               " document.getElementById('editor-plant').disabled = false;"
                               " document.getElementById('editor-plant').click(); return true; })()") == "true");
        REQUIRE(garden.page.waitFor("document.body.dataset.view === 'wall'"));
        Sleep(delay);
        wire::Fields answer;
        wire::sendAll(garden.page.socket, wire::encode({"kill"}));
        REQUIRE((wire::receive(garden.page.socket, answer) && answer.size() == 2 && answer[1] == "true"));

        // The program makes a new browser on the same profile, which opens the garden again.
        CHECK(garden.page.waitFor("document.getElementById('today-line')?.textContent !== '' && document.body.dataset.view === 'wall'", 60000));
        CHECK(garden.page.waitFor("document.querySelector(`#garden .flower[data-day=\"${" + today + "}\"]`)?.dataset.mood === 'cross'"));
        CHECK(garden.page.waitFor("JSON.parse(localStorage.getItem('verdalune.garden.v1')).days[" + today + "]?.note === '" + note + "'"));
        CHECK(garden.onWall());
        CHECK(garden.app.running());
    }

    // Two merges, the browser killed as soon as the second is done: 撤销恢复
    // comes back with the page and undoes that merge alone.
    auto merge = [&](const std::string& day) {
        CHECK(garden.page.eval("(() => { const list = new DataTransfer(); list.items.add(new File([JSON.stringify("
                               "{ app: 'verdalune-garden', version: 1, days: { '" + day + "': { mood: 'calm' } } })], 'b.json'));"
                               " const input = document.getElementById('restore-file'); input.files = list.files;"
                               " input.dispatchEvent(new Event('change')); return true; })()") == "true");
        REQUIRE(garden.page.waitFor("!document.getElementById('restore-confirm').hidden"));
        garden.page.eval("document.getElementById('restore-merge').click()");
        REQUIRE(garden.page.waitFor("document.getElementById('backup-status').textContent.startsWith('已经合并')"));
    };
    garden.trayItem(1);  // 花园菜单
    REQUIRE(garden.page.waitFor("document.body.dataset.view === 'menu'"));
    merge("2000-01-01");
    const std::string beforeLast = garden.page.eval("localStorage.getItem('verdalune.garden.v1').replace(/\"saved\":\\d+,/, '')");
    merge("2000-01-02");
    wire::Fields answer;
    wire::sendAll(garden.page.socket, wire::encode({"kill"}));
    REQUIRE((wire::receive(garden.page.socket, answer) && answer.size() == 2 && answer[1] == "true"));
    CHECK(garden.page.waitFor("document.getElementById('today-line')?.textContent !== '' && document.body.dataset.view === 'wall'", 60000));
    garden.trayItem(1);
    REQUIRE(garden.page.waitFor("!document.getElementById('restore-undo-box').hidden"));
    garden.page.eval("document.getElementById('restore-undo').click()");
    CHECK(garden.page.waitFor("document.getElementById('backup-status').textContent.startsWith('已经撤销')"));
    CHECK(garden.page.eval("localStorage.getItem('verdalune.garden.v1').replace(/\"saved\":\\d+,/, '')") == beforeLast);
}

// The garden lost and made again with the real page: Explorer restarting,
// the worker replaced, the browser ending. Each time a new browser shows the
// same profile, so a day planted before is there again.
namespace {

// Plants today as 平静 with a line of this run's own, through the runtime's
// window; returns the line.
std::wstring plant(Garden& garden) {
    std::wstring note = L"雨后" + std::to_wstring(GetTickCount64() % 100000);
    garden.trayItem(0);
    REQUIRE(garden.inFront());
    REQUIRE(garden.page.waitFor("document.body.dataset.view === 'plant' && document.getAnimations().length === 0"));
    garden.click(garden.page.centre("#mood-grid label:nth-of-type(2)"));
    REQUIRE(garden.page.waitFor("document.querySelector('#mood-grid input[value=\"calm\"]').checked"));
    garden.click(garden.page.centre("#note"));
    REQUIRE(garden.page.waitFor("document.activeElement === document.getElementById('note')"));
    garden.page.eval("document.getElementById('note').value = ''");
    for (wchar_t c : note) PostMessageW(garden.pageWindow(), WM_CHAR, c, 1);
    REQUIRE(garden.page.waitFor("document.getElementById('note').value === '" + fake::utf8(note) + "'"));
    garden.click(garden.page.centre("#editor-plant"));
    REQUIRE(garden.onWall());
    REQUIRE(garden.page.waitFor("document.body.dataset.view === 'wall'"));
    // Marks this page, so that a new one can be told from it.
    REQUIRE(garden.page.eval("window.earlier = true") == "true");
    return note;
}

// A new page, drawn, on the wall in the garden window there is now, with
// the planted day: its mood on the wall, its line in the editor.
void recovered(Garden& garden, const std::wstring& note) {
    REQUIRE(garden.page.waitFor("window.earlier === undefined && !!document.getElementById('today-line')?.textContent", 60000));
    REQUIRE(garden.app.windows());
    CHECK(garden.onWall());
    CHECK(IsWindowVisible(garden.pageWindow()));
    CHECK(garden.page.eval("document.getElementById('today-mood').textContent.includes('平静')") == "true");
    garden.trayItem(0);
    REQUIRE(garden.inFront());
    CHECK(garden.page.waitFor("document.getElementById('note').value === '" + fake::utf8(note) + "'"));
    PostMessageW(garden.app.view, WM_CLOSE, 0, 0);
    CHECK(garden.onWall());
    CHECK(garden.page.waitFor("document.body.dataset.view === 'wall'"));
    REQUIRE(garden.page.eval("window.earlier = true") == "true");
}

}  // namespace

// On the Windows 10 layout, where the worker holds the garden: on 24H2 it
// lies in Progman, which a replaced worker leaves alone.
TEST_CASE("with the real page Explorer restarts at once and after 3 s and a replaced worker and then the wall item of the tray bring the garden and the planted day back") {
    BoxWatch boxes;
    Garden garden(Shell::win10);
    std::wstring note = plant(garden);
    for (int gap : {0, 3000}) {
        CAPTURE(gap);
        HWND old = garden.app.view;
        garden.shell.stop();
        Sleep(gap);
        garden.shell.start();
        recovered(garden, note);
        CHECK(garden.app.view != old);
    }
    HWND old = garden.app.view;
    garden.shell.replaceWorker();
    garden.trayItem(2);  // 回到壁纸
    recovered(garden, note);
    CHECK(garden.app.view != old);
    CHECK(garden.app.running());
    CHECK(boxes.boxes().empty());
}

TEST_CASE("with the real page a browser that ends comes back in the same window with the planted day") {
    BoxWatch boxes;
    Garden garden;
    std::wstring note = plant(garden);
    HWND view = garden.app.view;
    REQUIRE(garden.page.end());
    recovered(garden, note);
    CHECK(garden.app.view == view);
    CHECK(garden.app.running());
    CHECK(boxes.boxes().empty());
}

// Prints what resting gives back, for docs/performance.md; it rests
// PREVIEW_REST_SECONDS (5 unless set). The page must not be asked anything
// while frozen: it would not answer.
TEST_CASE("with the real page a lock freezes the garden and an unlock shows it again running") {
    BoxWatch boxes;
    Garden garden;
    std::string pid = linuxProcess(garden.app.folder);
    REQUIRE_FALSE(pid.empty());
    wchar_t text[16] = L"";
    int seconds = GetEnvironmentVariableW(L"PREVIEW_REST_SECONDS", text, 16) ? _wtoi(text) : 5;
    auto tell = [&](WPARAM what) {
        DWORD_PTR result = 0;
        REQUIRE(SendMessageTimeoutW(garden.app.owner, WM_WTSSESSION_CHANGE, what, 0, SMTO_ABORTIFHUNG, 5000, &result));
    };
    Sleep(3000);  // drawn and settled
    auto wall = garden.page.usage();
    // A timer of the page's own, every 100 ms: it must not fire while the page rests.
    REQUIRE(garden.page.eval("window.ticks = [], setInterval(() => window.ticks.push(Date.now()), 100), true") == "true");
    auto now = [] {
        FILETIME time;
        GetSystemTimeAsFileTime(&time);
        return std::to_string(((ULONGLONG(time.dwHighDateTime) << 32 | time.dwLowDateTime) - 116444736000000000ULL) / 10000);
    };
    tell(7);  // WTS_SESSION_LOCK
    REQUIRE(waitUntil([&] { return garden.page.usage().resting; }, 10000));
    CHECK_FALSE(IsWindowVisible(garden.pageWindow()));
    Sleep(2000);
    auto resting = garden.page.usage();
    auto before = schedule(pid);
    std::string from = now();
    Sleep(seconds * 1000);
    std::string to = now();
    auto after = schedule(pid);
    auto rested = garden.page.usage();

    ULONGLONG woken = GetTickCount64();
    tell(8);  // WTS_SESSION_UNLOCK
    CHECK(waitUntil([&] { return IsWindowVisible(garden.pageWindow()) && garden.page.eval("1") == "1"; }, 5000));
    woken = GetTickCount64() - woken;
    std::string ticks = garden.page.eval("window.ticks.filter((t) => t >= " + from + " && t <= " + to + ").length");
    CHECK(ticks == "0");
    CHECK(garden.page.waitFor("window.ticks.at(-1) > " + to));  // and it runs again
    CHECK(garden.onWall());
    CHECK(garden.page.eval("document.getElementById('today-line').textContent !== ''") == "true");
    Sleep(3000);
    auto awake = garden.page.usage();
    CHECK_FALSE(awake.resting);
    MESSAGE("browser PSS, all processes: on the wall ", wall.pss / 1024, " MB, resting ", resting.pss / 1024, " MB, after waking ",
            awake.pss / 1024, " MB; private: ", wall.own / 1024, " / ", resting.own / 1024, " / ", awake.own / 1024, " MB");
    MESSAGE("resting ", seconds, " s: renderer CPU ", (rested.renderer - resting.renderer) / 1000, " us, of it its main thread ",
            (rested.main - resting.main) / 1000, " us; program ",
            after.second - before.second, " wakes, ", (after.first - before.first) / 1000, " us CPU");
    MESSAGE("unlock to the page shown and answering: ", woken, " ms; the page's 100 ms timer ran ", ticks, " times while it rested");
    MESSAGE("on the wall: ", wall.text, "\nresting: ", resting.text, "\nafter resting: ", rested.text, "\nawake: ", awake.text);
    CHECK(after.second == before.second);
    CHECK(boxes.boxes().empty());
}

TEST_CASE("desktop-check sees the real page in its place on the Windows 10 layout") {
    Garden garden(Shell::win10, true);
    DesktopCheck check = desktopCheck(L"windows-10", L"--wait 30");
    CAPTURE(check.report);
    CHECK(check.code == DWORD(0));
    CHECK(check.says("Verdict: seen\n"));
    CHECK(check.says("Primary display: 1280x800"));
    CHECK(check.says("Ground colour: #"));  // read from the page's style sheet
    CHECK(check.says("PreviewWebView2Page"));
    CHECK(check.says("holds SHELLDLL_DefView"));
    CHECK(check.says("placement: in its place behind the icons"));
    CHECK(check.says("integrity: the garden's process "));
    // Shown again after the comparison, where it was.
    CHECK(garden.onWall());
}

// At the size of a hosted Windows runner's screen (WINE_RUN_SCREEN, set in
// tests/CMakeLists.txt), with the steps the Windows workflow takes.
TEST_CASE("desktop-check at 1024x768 judges the 24H2 wall as seen or covered or misplaced and follows the tray to window mode and back") {
    Garden garden(Shell::win11, true);
    DesktopCheck check = desktopCheck(L"24H2", L"--wait 30");
    CAPTURE(check.report);
    CHECK(check.code == DWORD(0));
    CHECK(check.says("Verdict: seen\n"));
    CHECK(check.says("Primary display: 1024x768"));
    CHECK(check.says("\"SHELLDLL_DefView\" style 0x50000000 WS_CHILD|WS_VISIBLE ex 0x00080000 WS_EX_LAYERED"));
    CHECK(check.says("directly below SHELLDLL_DefView: yes"));
    CHECK(check.says("layered: alpha 255 (LWA_ALPHA)"));
    CHECK(check.says("placement: in its place behind the icons"));
    REQUIRE(garden.onWall());

    // A window over most of the screen leaves too little in sight to judge.
    RECT screen = screenRect(GetDesktopWindow());
    HWND cover = CreateWindowExW(WS_EX_NOACTIVATE, L"STATIC", L"cover", WS_POPUP | WS_VISIBLE, 0, 0, screen.right * 3 / 4, screen.bottom,
                                 nullptr, nullptr, nullptr, nullptr);
    check = desktopCheck(L"covered");
    DestroyWindow(cover);
    CHECK(check.code == DWORD(3));
    CHECK(check.says("Verdict: not judged: covered by "));
    CHECK(check.says("\"Static\" \"cover\""));

    // The tray's choices, each checked by where the garden went.
    check = desktopCheck(L"plant", L"--choose 种下今天 --mode window --wait 20");
    CHECK(check.code == DWORD(0));
    CHECK(check.says("Mode: window, as asked"));
    REQUIRE(garden.inFront());
    check = desktopCheck(L"window-mode");
    CHECK(check.code == DWORD(1));
    CHECK(check.says("Verdict: not seen: window mode"));
    check = desktopCheck(L"back", L"--choose 回到壁纸 --mode wall --wait 20");
    CHECK(check.code == DWORD(0));
    CHECK(check.says("Mode: wall, as asked"));
    REQUIRE(garden.onWall());

    // Above the icon view it would hide them, whatever its pixels show.
    SetWindowPos(garden.app.view, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    const char* above = "in \"Progman\", not directly below SHELLDLL_DefView";
    check = desktopCheck(L"misplaced-mode", L"--mode wall");
    CHECK(check.code == DWORD(1));
    CHECK(check.says(std::string("on the wall, misplaced: ") + above));
    check = desktopCheck(L"misplaced");
    CHECK(check.code == DWORD(1));
    CHECK(check.says(std::string("Verdict: not seen: misplaced: ") + above + "\n"));

    ShowWindow(garden.app.view, SW_HIDE);
    check = desktopCheck(L"hidden");
    CHECK(check.code == DWORD(1));
    CHECK(check.says("Verdict: not seen: hidden\n"));
    CHECK_FALSE(IsWindowVisible(garden.app.view));
}
