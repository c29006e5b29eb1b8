// Verdalune: the mood garden as a live desktop wallpaper.
//
// One borderless window hosts the WebView2 browser control. It sits behind the
// desktop icons (wallpaper mode) or, when the page asks, in front as an
// ordinary full-screen window (window mode). A tray icon's menu talks to the
// page. Everything runs on one thread; the runtime's callbacks arrive through
// the message loop.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wtsapi32.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "handler.h"
#include "host.h"
#include "webview2.h"

using Microsoft::WRL::ComPtr;
namespace fs = std::filesystem;

// Places the garden once more after a burst of display changes have settled.
constexpr UINT_PTR settleTimer = 1;
constexpr UINT settleDelay = 1000;
// Asks for the tray icon again while the shell refuses it.
constexpr UINT_PTR trayTimer = 2;
constexpr UINT trayDelay = 2000;
constexpr int trayTriesAllowed = 15;

// The shell's windows: Progman holds the icon view; a worker draws the wallpaper.
constexpr const wchar_t* progmanClass = L"Progman";
constexpr const wchar_t* iconsClass = L"SHELLDLL_DefView";
constexpr const wchar_t* workerClass = L"WorkerW";
// How long a hung shell may keep us waiting, in milliseconds.
constexpr UINT shellWait = 500;

// Unresponsive reports in a row that are waited out before the page reloads.
constexpr int hangsWaited = 3;
// Rebuilds in a row allowed to fail before the program gives up.
constexpr int rebuildsAllowed = 3;

// The words of the page's modes: sent to it, and heard from it.
constexpr const wchar_t* plantWord = L"plant";
constexpr const wchar_t* menuWord = L"menu";
constexpr const wchar_t* wallWord = L"wall";
constexpr std::wstring_view showWall = L"showWall";
constexpr std::wstring_view showEditor = L"showEditor";

// The site folder is served under this name; ".example" is reserved, so it can
// never be a real host, and unlike ".local" it costs no name lookup.
#define HOST L"verdalune.example"
constexpr const wchar_t* hostName = HOST;
// The file itself: the mapping serves files, and no default document is promised.
constexpr const wchar_t* startAddress = L"https://" HOST L"/garden/index.html";
constexpr std::wstring_view allowedPrefix = L"https://" HOST L"/";
#undef HOST

// Each text that more than one place can show.
constexpr const wchar_t* installRuntime = L"请安装 Microsoft Edge WebView2 Runtime，再启动 Verdalune。";
constexpr const wchar_t* cannotStart = L"无法启动花园显示窗口。";
constexpr const wchar_t* cannotCreate = L"无法创建桌面窗口。";

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the tray record must be the full x64 size");

// The page's automatic backups go to the person's Documents folder, which the
// system may carry to their cloud storage: a garden that outlives the computer.
constexpr const wchar_t* backupFolder = L"情绪花园备份";
// Each copy is this, the local date as YYYY-MM-DD, and ".json".
constexpr std::wstring_view copyPrefix = L"情绪花园自动备份-";
constexpr size_t dateLength = 10;
// The page's asking for a copy, and the answers it is told.
constexpr std::wstring_view backupWord = L"backup:";
constexpr std::wstring_view savedWord = L"backup-saved:";
constexpr std::wstring_view failedWord = L"backup-failed:";
// The largest backup the page reads back, in bytes of UTF-8.
constexpr size_t backupLimit = 32 * 1024 * 1024;
constexpr size_t copiesKept = 8;

// The power setting that says whether the session's display is on.
constexpr GUID displayStatus{0x2b84c20e, 0xad23, 0x4ddf, {0x93, 0xdb, 0x05, 0xff, 0xbd, 0x7e, 0xfc, 0xa5}};

HWND view;
HWND owner;
ComPtr<ICoreWebView2Controller> controller;
ComPtr<ICoreWebView2> web;
NOTIFYICONDATAW icon;
UINT taskbarReady;
fs::path site;
bool onWall;
ComPtr<ICoreWebView2Environment> environment;
int rebuilds;
int hangs;
// True while the notice that the wall is not available is open.
bool noticing;
// The garden was made again after Explorer took it down: a page that asks for
// the wall before Explorer is back waits hidden for "TaskbarCreated".
bool walled;
using Hook = std::unique_ptr<std::remove_pointer_t<HWINEVENTHOOK>, decltype(&UnhookWinEvent)>;
// The destruction watch on the garden window's own process and thread.
Hook watch{nullptr, UnhookWinEvent};
// While the garden lies in Progman: the watch on the order of Progman's
// children, on Progman's own process and thread, and that thread.
Hook restack{nullptr, UnhookWinEvent};
DWORD stackThread;
// What the web view is doing:
//   starting -> showing                 the first environment, then its controller
//   showing -> resting -> suspended     nobody can see the wall (suspended if the
//                                       runtime agrees); someone can: showing
//   any of those -> rebuilding          the garden is lost: a controller from the
//                                       kept environment, then showing
//   rebuilding -> mending               that environment refused: a new one, then
//                                       showing
//   showing -> renewing                 a newer runtime, taken up while nobody
//                                       looks, then showing
//   renewing -> stalled                 its environment could not be made yet:
//                                       renewing again when sight next changes
// A controller exists only while showing, resting or suspended.
enum class Life { starting, showing, resting, suspended, rebuilding, mending, renewing, stalled };
Life life = Life::starting;
// Why nobody can see the wall now, a bit for each: the session is locked, the
// display is off, the session is disconnected.
enum Unseen { locked = 1, dark = 2, away = 4 };
int unseen;
// A resume from sleep came while nobody could see the wall: the wake after it
// does what the resume would have.
bool slept;
// A newer runtime is installed: the garden moves to it when it next rests.
bool updated;
// The user data folder.
fs::path profile;
HPOWERNOTIFY display;
// Times the tray icon has been asked for again since the shell first refused it.
int trayTries;
// Web views made so far: an answer goes only to the page that asked.
int made;

// A copy of the garden on its way to the Documents folder, written on a
// thread of its own that ends with it, so that the wall never waits for the
// disk and no thread is left once it is done.
struct Copy {
    std::string text;     // UTF-8, as it goes into the file
    int view = 0;         // the web view that asked
    std::wstring answer;  // what that page is told
    std::atomic<bool> done{false};
};
// The copy being written: one at a time.
std::shared_ptr<Copy> copying;

void rest();
void startEnvironment(Life reason);

// What the watch listens for; a test build listens for creation (docs/wine.md).
#ifndef WATCHED_EVENT
#define WATCHED_EVENT EVENT_OBJECT_DESTROY
#endif

using EnvironmentDone = Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>;
using ControllerDone = Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>;
using NavigationStarting = Handler<ICoreWebView2NavigationStartingEventHandler, ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs*>;
using MessageReceived = Handler<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*>;
using ProcessFailed = Handler<ICoreWebView2ProcessFailedEventHandler, ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs*>;
using NewWindowRequested = Handler<ICoreWebView2NewWindowRequestedEventHandler, ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs*>;
using VersionAvailable = Handler<ICoreWebView2NewBrowserVersionAvailableEventHandler, ICoreWebView2Environment*, IUnknown*>;
using SuspendDone = Handler<ICoreWebView2TrySuspendCompletedHandler, HRESULT, BOOL>;

// Takes over the reference that a new object is born with.
template <class T>
ComPtr<T> adopt(T* object) {
    ComPtr<T> owned;
    *owned.GetAddressOf() = object;
    return owned;
}

// The interface T of an object, or null where the runtime is too old for it.
template <class T, class U>
ComPtr<T> query(const ComPtr<U>& object) {
    ComPtr<T> found;
    if (object) object->QueryInterface(T::iid, reinterpret_cast<void**>(found.GetAddressOf()));
    return found;
}

// Ends the loop. A child that leaves the wall with its process keeps its last
// picture there (or a black one) until the shell paints that area again, so
// it is hidden first and the area painted now. Resetting the wallpaper would
// lose a slideshow or Spotlight.
void quit(int code) {
    if (onWall && IsWindow(view)) {
        HWND parent = GetParent(view);
        RECT area{};
        GetWindowRect(view, &area);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&area), 2);
        ShowWindow(view, SW_HIDE);
        RedrawWindow(parent, &area, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    }
    PostQuitMessage(code);
}

void fail(const wchar_t* text) {
    MessageBoxW(nullptr, text, caption, MB_OK | MB_ICONERROR);
    quit(1);
}

void resize() {
    RECT bounds{};
    GetClientRect(view, &bounds);
    if (controller) controller->put_Bounds(bounds);
}

// EnumWindows callback: the worker behind the icons is the next top-level
// "WorkerW" after the window that holds the icon view.
BOOL CALLBACK findHost(HWND top, LPARAM out) {
    if (!FindWindowExW(top, nullptr, iconsClass, nullptr)) return TRUE;
    HWND worker = FindWindowExW(nullptr, top, workerClass, nullptr);
    if (!worker) return TRUE;
    *reinterpret_cast<HWND*>(out) = worker;
    return FALSE;
}

// Where the garden goes on the wall: since 24H2 Progman itself, right below
// its icon view (given back in `icons`); before, the worker behind the icons.
// Null where there is none.
HWND findLayer(HWND shell, HWND& icons) {
    icons = nullptr;
    if (!shell) return nullptr;
    // Asks the shell to put a worker window behind the icons; a hung shell
    // must not hang us, and what it answers does not matter.
    SendMessageTimeoutW(shell, spawnWorker, 0, 0, SMTO_ABORTIFHUNG, shellWait, nullptr);
    // Since 24H2 Progman draws no picture of its own: its icon view is
    // layered, and a WorkerW child below it draws the system wallpaper. The
    // garden goes between the two, as a child of Progman itself.
    HWND found = FindWindowExW(shell, nullptr, iconsClass, nullptr);
    if (found && ((GetWindowLongPtrW(found, GWL_EXSTYLE) & WS_EX_LAYERED) || FindWindowExW(shell, nullptr, workerClass, nullptr))) {
        icons = found;
        return shell;
    }
    HWND worker = nullptr;
    EnumWindows(findHost, reinterpret_cast<LPARAM>(&worker));
    return worker;
}

// The notice that the wall is not there, one at a time; false while one is open.
bool notice() {
    if (noticing) return false;
    noticing = true;
    MessageBoxW(nullptr, L"Windows 桌面层暂不可用。花园将以普通窗口显示，可从托盘重试。", caption, MB_OK);
    noticing = false;
    return true;
}

// Gives the garden its parent (null: none) and the style that goes with it.
// Hidden only to change them: a garden that stays where it is is only moved,
// or every display change would flash the wallpaper. True when it changed;
// `parent` comes back null if the shell refused the garden.
bool reparent(HWND& parent) {
    LONG_PTR style = parent ? WS_CHILD | WS_CLIPCHILDREN : WS_POPUP | WS_CLIPCHILDREN;
    if ((GetWindowLongPtrW(view, GWL_STYLE) & (WS_CHILD | WS_POPUP | WS_CLIPCHILDREN)) == style &&
        GetAncestor(view, GA_PARENT) == (parent ? parent : GetDesktopWindow()))
        return false;
    ShowWindow(view, SW_HIDE);
    SetWindowLongPtrW(view, GWL_STYLE, style);
    // A child that is layered when SetParent runs is reported to stay
    // invisible: layered only once it is in place, and never off the wall.
    SetWindowLongPtrW(view, GWL_EXSTYLE, GetWindowLongPtrW(view, GWL_EXSTYLE) & ~LONG_PTR(WS_EX_LAYERED));
    SetLastError(0);
    if (!SetParent(view, parent) && GetLastError()) {
        parent = nullptr;
        SetWindowLongPtrW(view, GWL_STYLE, WS_POPUP | WS_CLIPCHILDREN);
        SetParent(view, nullptr);
    }
    return true;
}

// Since 24H2 the garden is layered, as the icon view above it is, but only
// once it is in place. False if its alpha cannot be set.
bool layer() {
    SetWindowLongPtrW(view, GWL_EXSTYLE, GetWindowLongPtrW(view, GWL_EXSTYLE) | WS_EX_LAYERED);
    return SetLayeredWindowAttributes(view, 0, 255, LWA_ALPHA);
}

// Over the primary display, inside its parent on the wall (whose origin may
// be offset), or over the work area where the wall was wanted but not found.
void place(HWND parent, HWND icons, bool fallback, bool changed) {
    RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    POINT origin{0, 0};
    if (onWall) ScreenToClient(parent, &origin);
    if (fallback) SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    SetWindowPos(view, !onWall ? HWND_TOP : icons ? icons : HWND_BOTTOM, area.left + origin.x, area.top + origin.y,
                 area.right - area.left, area.bottom - area.top,
                 (onWall ? SWP_NOACTIVATE : 0) | (changed ? SWP_FRAMECHANGED : 0));
    ShowWindow(view, onWall ? SW_SHOWNOACTIVATE : SW_SHOW);
    if (!onWall) {
        SetForegroundWindow(view);
        if (controller) controller->MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC);
    }
    resize();
    // The runtime's own windows follow a parent that moved only when told.
    if (onWall && controller) controller->NotifyParentWindowPositionChanged();
}

// Windows reorders Progman's children now and then (its worker raised right
// below the icon view when it draws the wallpaper again), which would hide
// the garden behind the system wallpaper. Only reorders on Progman's own
// thread are heard, and only a garden moved out of its place is moved back.
void CALLBACK restacked(HWINEVENTHOOK, DWORD, HWND window, LONG, LONG, DWORD, DWORD) {
    if (!onWall || window != GetParent(view)) return;
    HWND icons = FindWindowExW(window, nullptr, iconsClass, nullptr);
    if (icons && GetWindow(icons, GW_HWNDNEXT) != view) SetWindowPos(view, icons, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// Watches Progman's children while the garden is one of them (`shell`), and
// nothing otherwise; a restarted Explorer is a new thread, watched anew.
void watchStack(HWND shell) {
    DWORD process = 0;
    DWORD thread = shell ? GetWindowThreadProcessId(shell, &process) : 0;
    if (thread == stackThread && (restack || !thread)) return;
    stackThread = thread;
    restack.reset();
    if (!thread) return;
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_REORDER, EVENT_OBJECT_REORDER, nullptr, restacked, process, thread, WINEVENT_OUTOFCONTEXT);
    // Wine refuses a hook on a thread of another process (docs/wine.md).
    if (!hook) hook = SetWinEventHook(EVENT_OBJECT_REORDER, EVENT_OBJECT_REORDER, nullptr, restacked, process, 0, WINEVENT_OUTOFCONTEXT);
    restack.reset(hook);
}

void position(bool wall) {
    // The shell takes the garden down with its worker (Explorer restarting, a
    // worker replaced): it is made again, hidden and off the wall, and its
    // page puts it back. Whatever finds it gone comes here.
    if (!IsWindow(view)) {
        watchStack(nullptr);
        rebuild();
        // While Explorer restarts there is no new window yet, and the garden
        // still belongs on the wall: "TaskbarCreated" looks for it only then.
        if (IsWindow(view)) onWall = false, walled = true;
        return;
    }
    HWND shell = FindWindowW(progmanClass, nullptr);
    if (wall && walled && !shell) {
        onWall = true;
        return;
    }
    walled = false;
    HWND icons = nullptr;  // 24H2 and later: the garden lies right below it
    HWND parent = wall ? findLayer(shell, icons) : nullptr;
    // Recorded before the notice: its box runs a message loop, where neither
    // "TaskbarCreated" nor a display change may look for the wall again, and
    // the page's own asking is answered by the notice already open.
    onWall = parent != nullptr;
    if (wall && !parent && !notice()) return;
    bool changed = reparent(parent);
    onWall = parent != nullptr;
    // A layered child without its alpha is an invisible garden behind the
    // icons: no wall, then.
    if (onWall && icons && !layer()) {
        onWall = false;
        parent = icons = nullptr;
        changed = reparent(parent) || changed;
        if (!notice()) return;
    }
    place(parent, icons, wall && !onWall, changed);
    watchStack(onWall && icons ? shell : nullptr);
}

// Sends a mode word to the page; the page decides what it means.
void command(const wchar_t* word) {
    // A garden lost unnoticed comes back when the user reaches for it.
    if (!IsWindow(view)) return position(false);
    if (!web) return;
    std::wstring script = L"window.moodMode('" + std::wstring(word) + L"')";
    web->ExecuteScript(script.c_str(), nullptr);
}

// What the page is told when a copy could not be kept: the step that failed
// and the system's error number. The page puts it in words.
std::wstring failed(const wchar_t* step, DWORD error) {
    return std::wstring(failedWord) + step + L' ' + std::to_wstring(error);
}

// Exactly the name of an automatic copy: the prefix, a date, ".json".
bool isCopy(std::wstring_view name) {
    constexpr std::wstring_view suffix = L".json";
    if (name.size() != copyPrefix.size() + dateLength + suffix.size() || !name.starts_with(copyPrefix) || !name.ends_with(suffix))
        return false;
    for (size_t i = 0; i < dateLength; ++i) {
        wchar_t c = name[copyPrefix.size() + i];
        bool dash = i == 4 || i == 7;
        if (dash ? c != L'-' : (c < L'0' || c > L'9')) return false;
    }
    return true;
}

// Keeps the newest automatic copies, `kept` (the one just written) among
// them whatever its date; every other file in the folder stays as it is.
void prune(const fs::path& folder, const std::wstring& kept) {
    std::vector<std::wstring> older;
    WIN32_FIND_DATAW found;
    std::wstring pattern = (folder / copyPrefix).wstring() + L"*.json";
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isCopy(found.cFileName) && found.cFileName != kept)
            older.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    // Their names sort as their dates.
    std::sort(older.begin(), older.end());
    size_t excess = older.size() + 1 > copiesKept ? older.size() + 1 - copiesKept : 0;
    for (size_t i = 0; i < excess; ++i) DeleteFileW((folder / older[i]).c_str());
}

// Writes a copy under today's name in the backup folder, and says how it went.
// The text goes to a temporary file beside it first, flushed to the disk, and
// only then takes the real name in one step: a crash or a full disk never
// leaves half a copy under it.
std::wstring save(const std::string& text) {
    PWSTR documents = nullptr;
    HRESULT result = SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &documents);
    fs::path folder = SUCCEEDED(result) ? fs::path(documents) / backupFolder : fs::path();
    CoTaskMemFree(documents);
    if (FAILED(result)) return failed(L"documents", static_cast<DWORD>(HRESULT_CODE(result)));
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return failed(L"folder", GetLastError());
    SYSTEMTIME today{};
    GetLocalTime(&today);
    wchar_t date[32];
    swprintf(date, 32, L"%04u-%02u-%02u.json", unsigned{today.wYear}, unsigned{today.wMonth}, unsigned{today.wDay});
    std::wstring name = std::wstring(copyPrefix) + date;
    // One name for every write, so that one a crash cut short is replaced by the next.
    fs::path temporary = folder / L"情绪花园自动备份.tmp";
    fs::path path = folder / name;
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed(L"create", GetLastError());
    const wchar_t* step = nullptr;
    DWORD written = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) || written != text.size()) step = L"write";
    else if (!FlushFileBuffers(file)) step = L"flush";
    DWORD error = GetLastError();
    if (!CloseHandle(file) && !step) {
        step = L"close";
        error = GetLastError();
    }
    if (!step && !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        step = L"move";
        error = GetLastError();
    }
    if (step) {
        DeleteFileW(temporary.c_str());
        return failed(step, error);
    }
    prune(folder, name);
    return std::wstring(savedWord) + path.wstring();
}

// The writer's thread: it hands the answer to the owner window and ends.
DWORD WINAPI writeCopy(void* context) {
    std::unique_ptr<std::shared_ptr<Copy>> held(static_cast<std::shared_ptr<Copy>*>(context));
    Copy& copy = **held;
    copy.answer = save(copy.text);
    std::string().swap(copy.text);
    copy.done = true;
    PostMessageW(owner, savedMessage, 0, 0);
    return 0;
}

// The page asks for an automatic copy: "backup:" and the text of a backup
// file. Only the site's own page may ask, and only for a text that the page
// could read back; anything else is ignored, as any unknown message is. One
// copy is written at a time: the page asks again at its next start or
// planting, and a queue would only hold a second, older garden.
void backUp(ICoreWebView2WebMessageReceivedEventArgs* args, std::wstring_view json) {
    LPWSTR source = nullptr;
    bool ours = SUCCEEDED(args->get_Source(&source)) && source && std::wstring_view(source).starts_with(allowedPrefix);
    CoTaskMemFree(source);
    // A code unit is at least one byte of UTF-8, and at most three.
    if (!ours || !json.starts_with(L'{') || json.size() > backupLimit) return;
    auto copy = std::make_shared<Copy>();
    copy->view = made;
    // In one pass: a text over the limit fails to convert, as does one that
    // is not whole (half of a surrogate pair).
    copy->text.resize(std::min(json.size() * 3, backupLimit));
    int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, json.data(), static_cast<int>(json.size()), copy->text.data(),
                                   static_cast<int>(copy->text.size()), nullptr, nullptr);
    if (size <= 0) return;
    if (copying) {
        web->PostWebMessageAsString((std::wstring(failedWord) + L"busy").c_str());
        return;
    }
    copy->text.resize(static_cast<size_t>(size));
    copying = std::move(copy);
    auto* held = new std::shared_ptr<Copy>(copying);
    if (HANDLE thread = CreateThread(nullptr, 0, writeCopy, held, 0, nullptr)) {
        CloseHandle(thread);
        return;
    }
    web->PostWebMessageAsString(failed(L"thread", GetLastError()).c_str());
    delete held;
    copying.reset();
}

// The writer is done: its answer goes to the page that asked, if that page is
// still there. A page made since asks again by itself.
void saved() {
    if (!copying || !copying->done) return;
    if (web && copying->view == made) web->PostWebMessageAsString(copying->answer.c_str());
    copying.reset();
}

HRESULT onMessage(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
    // A page that speaks is alive: its garden has come back.
    rebuilds = 0;
    hangs = 0;
    LPWSTR text = nullptr;
    if (FAILED(args->TryGetWebMessageAsString(&text))) return S_OK;
    std::wstring message = text ? text : L"";
    CoTaskMemFree(text);
    if (message.starts_with(backupWord)) backUp(args, std::wstring_view(message).substr(backupWord.size()));
    else if (message == showEditor) position(false);
    else if (message == showWall) {
        position(true);
        // A page made while nobody can see it (a new runtime) rests at once.
        rest();
    }
    return S_OK;
}

// Keeps every top-level navigation on the site: anything else is cancelled.
HRESULT guard(ICoreWebView2*, ICoreWebView2NavigationStartingEventArgs* args) {
    LPWSTR uri = nullptr;
    args->get_Uri(&uri);
    BOOL cancel = TRUE;
    if (uri && std::wstring(uri).starts_with(allowedPrefix)) cancel = FALSE;
    CoTaskMemFree(uri);
    args->put_Cancel(cancel);
    return S_OK;
}

// The browser's processes may die under the page; none of that is worth a
// box. A dead browser takes the controller with it, a dead or hung renderer
// only the page.
HRESULT onFailure(ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs* args) {
    COREWEBVIEW2_PROCESS_FAILED_KIND kind{};
    args->get_ProcessFailedKind(&kind);
    if (kind != COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_UNRESPONSIVE) hangs = 0;
    if (kind == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED) {
        // Rebuilt from the loop, not inside the dead controller's own event.
        PostMessageW(owner, lostMessage, 1, 0);
    } else if (kind == COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED ||
               (kind == COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_UNRESPONSIVE && ++hangs == hangsWaited)) {
        // A hang is reported every few seconds while it lasts; a short one
        // is waited out.
        hangs = 0;
        if (web) web->Reload();
    }
    return S_OK;
}

// New windows (window.open, links with a target) never pass the guard, so
// none is ever opened.
HRESULT refuseWindow(ICoreWebView2*, ICoreWebView2NewWindowRequestedEventArgs* args) {
    args->put_Handled(TRUE);
    return S_OK;
}

// An app, not a browser: no reload, history, zoom, developer tools or status
// bar. The default context menu stays for the note's cut, copy and paste; the
// page cancels it elsewhere. Older runtimes lack the newer settings, and go
// without them.
void settle() {
    ComPtr<ICoreWebView2Settings> settings;
    if (FAILED(web->get_Settings(settings.GetAddressOf())) || !settings) return;
    settings->put_AreDevToolsEnabled(FALSE);
    settings->put_IsStatusBarEnabled(FALSE);
    settings->put_IsZoomControlEnabled(FALSE);
    if (auto keys = query<ICoreWebView2Settings3>(settings)) keys->put_AreBrowserAcceleratorKeysEnabled(FALSE);
    if (auto pinch = query<ICoreWebView2Settings5>(settings)) pinch->put_IsPinchZoomEnabled(FALSE);
    if (auto swipe = query<ICoreWebView2Settings6>(settings)) swipe->put_IsSwipeNavigationEnabled(FALSE);
}

void refused(const wchar_t* text);

HRESULT setup(HRESULT result, ICoreWebView2Controller* created) {
    if (FAILED(result) || !created) {
        refused(cannotStart);
        return S_OK;
    }
    controller = created;
    life = Life::showing;
    controller->get_CoreWebView2(web.ReleaseAndGetAddressOf());
    if (!web) {
        fail(cannotStart);
        return S_OK;
    }
    ++made;
    auto web3 = query<ICoreWebView2_3>(web);
    if (!web3 || FAILED(web3->SetVirtualHostNameToFolderMapping(hostName, site.c_str(), COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY_CORS))) {
        fail(L"请更新 Microsoft Edge WebView2 Runtime。");
        return S_OK;
    }
    // Both handlers go in before the first navigation, so the start page is
    // guarded too. The view keeps them for its lifetime; the token is not needed.
    EventRegistrationToken token{};
    auto guarding = adopt(new NavigationStarting(guard));
    web->add_NavigationStarting(guarding.Get(), &token);
    auto listening = adopt(new MessageReceived(onMessage));
    web->add_WebMessageReceived(listening.Get(), &token);
    auto watching = adopt(new ProcessFailed(onFailure));
    web->add_ProcessFailed(watching.Get(), &token);
    auto refusing = adopt(new NewWindowRequested(refuseWindow));
    web->add_NewWindowRequested(refusing.Get(), &token);
    settle();
    resize();
    web->Navigate(startAddress);
    return S_OK;
}

// Asks the environment for a controller on the garden window; `setup` takes
// it from there.
void askController() {
    auto done = adopt(new ControllerDone(setup));
    if (FAILED(environment->CreateCoreWebView2Controller(view, done.Get()))) refused(cannotCreate);
}

// A kept environment may point at a runtime that an update has removed, and
// then refuses every controller: the garden is asked once more of a new
// environment before the program gives up.
void refused(const wchar_t* text) {
    if (life != Life::rebuilding) return fail(text);
    environment.Reset();
    startEnvironment(Life::mending);
}

HRESULT onVersion(ICoreWebView2Environment*, IUnknown*) {
    updated = true;
    return S_OK;
}

HRESULT onEnvironment(HRESULT result, ICoreWebView2Environment* created) {
    if (FAILED(result) || !created) {
        // Most likely the old browser still holds the profile: asked again at
        // the next rest or wake (see sight), never at once and with no box.
        if (life == Life::renewing) life = Life::stalled;
        else fail(life == Life::starting ? installRuntime : cannotStart);
        return S_OK;
    }
    // Kept, so that a lost garden can be made again without a new browser profile.
    environment = created;
    EventRegistrationToken token{};
    environment->add_NewBrowserVersionAvailable(adopt(new VersionAvailable(onVersion)).Get(), &token);
    askController();
    return S_OK;
}

// Asks for a new environment on the profile; whatever the runtime's newest
// version is, this one uses it.
void startEnvironment(Life reason) {
    life = reason;
    updated = false;
    auto done = adopt(new EnvironmentDone(onEnvironment));
    HRESULT result = CreateCoreWebView2EnvironmentWithOptions(nullptr, profile.c_str(), nullptr, done.Get());
    if (FAILED(result)) onEnvironment(result, nullptr);
}

// Lets go of the view and its controller; a closed controller may refuse to
// close again, and nothing is to be done about it.
void letGo() {
    web.Reset();
    if (controller) {
        controller->Close();
        controller.Reset();
    }
    if (life == Life::resting || life == Life::suspended) life = Life::showing;
}

// Moves the garden to the newest runtime: nothing of the old environment may
// be left for its browser to end. The same window gets a new controller, and
// the new page puts it back on the wall; the profile, and so the garden, is
// the same.
void renew() {
    letGo();
    environment.Reset();
    startEnvironment(Life::renewing);
}

HRESULT onSuspend(HRESULT result, BOOL done) {
    bool asleep = SUCCEEDED(result) && done;
    if (life == Life::resting || life == Life::suspended) life = asleep ? Life::suspended : Life::resting;
    // Woken before the runtime had finished suspending it.
    else if (asleep)
        if (auto web3 = query<ICoreWebView2_3>(web)) web3->Resume();
    return S_OK;
}

// While nobody can see it, the garden on the wall gives back what it can:
// hidden, then suspended if the runtime agrees (a refusal leaves it hidden and
// awake). The editor never rests: a note may be half written.
void rest() {
    if (!unseen || life != Life::showing || !onWall || !controller) return;
    // Nobody sees the garden made again on a newer runtime now; made from the
    // loop, as this may run inside the page's own message.
    if (updated) {
        PostMessageW(owner, renewMessage, 0, 0);
        return;
    }
    life = Life::resting;
    controller->put_IsVisible(FALSE);
    if (auto web3 = query<ICoreWebView2_3>(web)) web3->TrySuspend(adopt(new SuspendDone(onSuspend)).Get());
}

// Someone can see the wall again, or the machine woke from sleep, after which
// a web view may stay blank with no event for it. Shown again (hidden first if
// it was not resting, which is the documented remedy) and placed again as
// after "TaskbarCreated". While nobody can see the wall yet, the next wake does it.
void wake(bool resumed) {
    slept = slept || resumed;
    if (unseen || !controller || (life == Life::showing && !slept)) return;
    if (life == Life::suspended)
        if (auto web3 = query<ICoreWebView2_3>(web)) web3->Resume();
    if (life == Life::showing) controller->put_IsVisible(FALSE);
    controller->put_IsVisible(TRUE);
    life = Life::showing;
    slept = false;
    if (onWall) position(true);
}

// A reason that nobody can see the wall comes or goes. A move to a new runtime
// that could not start is tried again here, at the next of these.
void sight(Unseen reason, bool gone) {
    if (life == Life::stalled) startEnvironment(Life::renewing);
    unseen = gone ? unseen | reason : unseen & ~reason;
    if (unseen) rest();
    else wake(false);
}

// The garden window, hidden, over the primary display.
void makeView() {
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    view = CreateWindowExW(WS_EX_TOOLWINDOW, gardenClass, gardenTitle, WS_POPUP, 0, 0, width, height, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
    // Events are raised for the process and thread that own a window, also
    // when another process destroys it: listening to those alone, nothing
    // that closes elsewhere on the desktop wakes the program.
    DWORD process = 0;
    DWORD thread = GetWindowThreadProcessId(view, &process);
    watch.reset(SetWinEventHook(WATCHED_EVENT, WATCHED_EVENT, nullptr, destroyed, process, thread, WINEVENT_OUTOFCONTEXT));
}

// Makes the garden again once its window or its browser is gone: a new window
// where the old one was destroyed, a new controller from the kept environment,
// the same set-up. The new page posts "showWall" as it loads, which puts the
// garden back on the wall.
void rebuild() {
    letGo();
    bool gone = !IsWindow(view);
    // While Explorer restarts there is no wall to go back to; "TaskbarCreated"
    // brings us here again.
    if (!environment || (gone && !FindWindowW(progmanClass, nullptr))) return;
    // A rebuild has failed until its page speaks. A garden that keeps dying
    // must not loop: the loss after the last allowed rebuild ends the
    // program, once.
    if (rebuilds > rebuildsAllowed) return;
    if (rebuilds++ == rebuildsAllowed) {
        fail(cannotStart);
        return;
    }
    if (gone) makeView();
    hangs = 0;
    life = Life::rebuilding;
    askController();
}

// The shell destroyed the garden from its own process, which its messages
// alone may not tell us (docs/wine.md).
void CALLBACK destroyed(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
    if (window == view && object == OBJID_WINDOW) PostMessageW(owner, lostMessage, 0, 0);
}

// Shows the tray icon, the only way to the menu and to quit. At sign-in the
// shell may still be too busy to take it, and no "TaskbarCreated" follows, as
// the taskbar is there already: the icon is asked for again trayDelay later,
// trayTriesAllowed times at most, by a one-shot timer that exists only while
// it is missing.
// One that is there already is only updated.
void showIcon(bool again) {
    KillTimer(owner, trayTimer);
    trayTries = again ? trayTries + 1 : 0;
    if (Shell_NotifyIconW(NIM_ADD, &icon) || Shell_NotifyIconW(NIM_MODIFY, &icon)) return;
    if (trayTries < trayTriesAllowed) SetTimer(owner, trayTimer, trayDelay, nullptr);
}

void trayMenu() {
    HMENU menu = CreatePopupMenu();
    for (UINT item = plantItem; item <= quitItem; ++item) AppendMenuW(menu, MF_STRING, item, trayTexts[item - plantItem]);
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close on a click elsewhere.
    SetForegroundWindow(owner);
    int choice = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, owner, nullptr);
    DestroyMenu(menu);
    switch (choice) {
    case plantItem: command(plantWord); break;
    case menuItem: command(menuWord); break;
    case wallItem: command(wallWord); break;
    case quitItem: quit(0); break;
    }
}

// The session is locked or unlocked, disconnected or connected again.
void onSession(WPARAM change) {
    if (change == WTS_SESSION_LOCK || change == WTS_SESSION_UNLOCK) sight(locked, change == WTS_SESSION_LOCK);
    else if (change == WTS_CONSOLE_DISCONNECT || change == WTS_REMOTE_DISCONNECT) sight(away, true);
    else if (change == WTS_CONSOLE_CONNECT || change == WTS_REMOTE_CONNECT) sight(away, false);
}

// The machine woke from sleep, or the display went off or on.
void onPower(WPARAM event, LPARAM data) {
    if (event == PBT_APMRESUMEAUTOMATIC) wake(true);
    if (event != PBT_POWERSETTINGCHANGE) return;
    auto* setting = reinterpret_cast<const POWERBROADCAST_SETTING*>(data);
    // 0 off, 1 on, 2 dimmed: a dimmed display still shows the garden.
    if (setting && IsEqualGUID(setting->PowerSetting, displayStatus) && setting->DataLength >= sizeof(DWORD)) {
        DWORD state = *reinterpret_cast<const DWORD*>(setting->Data);
        if (state != 2) sight(dark, state == 0);
    }
}

void onDisplayChange() {
    if (onWall) {
        position(true);
        // Explorer may move its worker after us: once the changes have
        // settled, the garden is placed once more.
        SetTimer(owner, settleTimer, settleDelay, nullptr);
    } else {
        // The editor must not lie partly off screen; the user's focus stays where it is.
        SetWindowPos(view, nullptr, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void onTimer(UINT_PTR timer) {
    if (timer == trayTimer) showIcon(true);
    if (timer == settleTimer) {
        KillTimer(owner, settleTimer);
        if (onWall) position(true);
    }
}

LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // A restarted shell has forgotten our icon and our place behind its icons,
    // and may have taken the garden with it (position makes it again).
    if (taskbarReady && message == taskbarReady && window == owner) {
        showIcon(false);
        if (onWall) position(true);
        return 0;
    }
    switch (message) {
    case WM_NCDESTROY:
        // Nothing of ours destroys the garden: the shell took it with its
        // worker. Made again from the loop, once the window is gone (docs/wine.md).
        if (window == view) PostMessageW(owner, lostMessage, 0, 0);
        break;
    case lostMessage:
        if (wParam) rebuild();
        // The garden is made again, off the wall, by the placement that finds it gone.
        else if (!IsWindow(view)) position(false);
        return 0;
    case renewMessage:
        if (updated && unseen) renew();
        return 0;
    case savedMessage:
        saved();
        return 0;
    case WM_WTSSESSION_CHANGE:
        if (window != owner) break;
        onSession(wParam);
        return 0;
    case WM_POWERBROADCAST:
        if (window != owner) break;
        onPower(wParam, lParam);
        return TRUE;
    case WM_SIZE:
        if (window != view) break;
        resize();
        return 0;
    case WM_CLOSE:
        // Closing the garden only sends it back to the wall; it is never destroyed.
        if (window == view) command(wallWord);
        else quit(0);
        return 0;
    case WM_DISPLAYCHANGE:
        if (window != owner) break;
        onDisplayChange();
        return 0;
    case WM_TIMER:
        if (window != owner) break;
        onTimer(wParam);
        return 0;
    case trayMessage:
        if (lParam == WM_LBUTTONUP || lParam == WM_RBUTTONUP) trayMenu();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The COM apartment of the thread, left when it goes out of scope.
struct Apartment {
    Apartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Apartment() { CoUninitialize(); }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
};

// The site folder beside the program; false, having said so, if its page is missing.
bool findSite() {
    std::vector<wchar_t> path(32768);
    GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    site = fs::path(path.data()).parent_path() / L"site";
    std::error_code error;
    if (fs::exists(site / L"garden/index.html", error)) return true;
    MessageBoxW(nullptr, L"请完整解压 ZIP 后启动。", caption, MB_OK);
    return false;
}

// The owner window, which holds the tray icon, and the garden window, of one class.
void makeWindows(HINSTANCE instance, HICON flower) {
    WNDCLASSW type{};
    type.lpfnWndProc = proc;
    type.hInstance = instance;
    type.hIcon = flower;
    type.lpszClassName = gardenClass;
    RegisterClassW(&type);
    owner = CreateWindowExW(WS_EX_TOOLWINDOW, gardenClass, ownerTitle, WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
    makeView();
}

void addIcon(HICON flower) {
    icon.cbSize = sizeof icon;
    icon.hWnd = owner;
    icon.uID = 1;
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = trayMessage;
    icon.hIcon = flower;
    lstrcpyW(icon.szTip, trayTip);
    showIcon(false);
    taskbarReady = RegisterWindowMessageW(L"TaskbarCreated");
}

// The user data folder, made if missing; false if there is no local
// application data folder to put it in.
bool findProfile() {
    PWSTR local = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local))) {
        CoTaskMemFree(local);
        return false;
    }
    profile = fs::path(local) / L"Verdalune" / L"WebView2";
    CoTaskMemFree(local);
    std::error_code error;
    fs::create_directories(profile, error);
    return true;
}

// Lock, unlock, connect and disconnect, and the display going off and on:
// messages to the owner window, nothing that runs meanwhile.
void watchSight() {
    WTSRegisterSessionNotification(owner, NOTIFY_FOR_THIS_SESSION);
    display = RegisterPowerSettingNotification(owner, &displayStatus, DEVICE_NOTIFY_WINDOW_HANDLE);
}

// The message loop; the exit code it ends with.
int run() {
    MSG message{};
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return got < 0 ? 1 : static_cast<int>(static_cast<UINT>(message.wParam));
}

void cleanUp() {
    Shell_NotifyIconW(NIM_DELETE, &icon);
    WTSUnRegisterSessionNotification(owner);
    if (display) UnregisterPowerSettingNotification(display);
    letGo();
    environment.Reset();
    watch.reset();
    restack.reset();
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Before anything else, so that a second start changes nothing.
    std::unique_ptr<void, decltype(&CloseHandle)> mutex{CreateMutexW(nullptr, FALSE, L"Local\\VerdaluneDesktopGarden"), CloseHandle};
    if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) return 0;
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    Apartment apartment;

    if (!findSite()) return 1;
    HICON flower = LoadIconW(instance, MAKEINTRESOURCEW(1));
    makeWindows(instance, flower);
    addIcon(flower);
    if (!findProfile()) {
        Shell_NotifyIconW(NIM_DELETE, &icon);
        return 1;
    }
    watchSight();
    startEnvironment(Life::starting);
    int code = run();
    cleanUp();
    // The apartment and the mutex go as they leave scope.
    return code;
}
