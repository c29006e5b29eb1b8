// A stand-in for the WebView2 runtime and its loader, for tests only.
//
// Each object is a plain vtable array filled by slot number from the published
// layout, never through the program's own interface declarations: a slot that
// is wrong in the program's header then calls the wrong function here and
// shows up in the record as "unexpected <kind> <slot>" instead of agreeing
// with itself. Completions and events are posted to a message-only window on
// the caller's thread, so they arrive through the program's message loop, as
// with the real runtime. Every call is appended to the file named by
// FAKE_WEBVIEW2_LOG, one UTF-8 line each; see fake.h for the test side.
#include <windows.h>
#include <objbase.h>

#include <charconv>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "slots.h"

namespace {

using slots::copy, slots::hex, slots::invoke, slots::quoted, slots::slot, slots::utf8, slots::variable, slots::wide;
using slots::Kind;
using enum slots::Kind;

constexpr const char* kindName[] = {"environment", "controller", "view", "navigation-args", "message-args", "failure-args",
                                    "settings", "new-window-args"};

enum Role { EnvironmentDone, ControllerDone, NavigationStarting, MessageReceived, ProcessFailed, NewWindow, NewVersion, SuspendDone };
constexpr const char* roleName[] = {"environment-done", "controller-done", "navigation-starting", "message-received", "process-failed",
                                    "new-window-requested", "new-version", "suspend-done"};

// What the runtime answers on a closed controller and its view.
constexpr HRESULT invalidState = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

slots::Vtables vtables;

struct Object {
    explicit Object(Kind of) : vtbl(vtables[of]), kind(of) {}
    void** vtbl;
    Kind kind;
    // Only the program's references: ours would hide a leak or an over-release.
    LONG refs = 0;
    Object* view = nullptr;  // a controller's web view, made on first request
    Object* controller = nullptr;  // a view's controller
    Object* settings = nullptr;    // a view's settings, made on first request
    HWND parent = nullptr;   // a controller's parent window, if it was one
    bool closed = false;     // a controller closed by the program, its parent's end or the browser's
    bool old = false;        // an environment made before the last runtime update
    int failure = 0;         // the process-failure kind that failure args report
    bool hasText = true;     // a navigation may have no address at all
    bool isString = true;    // a web message posted as a string, not as JSON
    int cancel = -1;         // -1 until put_Cancel is called (new windows: put_Handled)
    std::wstring text;       // an event's text; a view's address, as last navigated to
    std::wstring source;     // the address a web message comes from
};

struct Held {
    Held(Role as, IUnknown* callee, Object* on) : role(as), handler(callee), view(on) {}
    Role role;
    IUnknown* handler;
    Object* view;  // the view or environment an event handler was added to
    bool active = true;
    LONG last = 0;  // what our final Release returned
};

// Never destroyed: the report runs in DLL_PROCESS_DETACH, when static
// destructors may already have run. Objects and Held records are never freed
// either, so that a program holding leaked references, or a completion still
// queued after a report, finds valid memory.
struct State {
    HINSTANCE module = nullptr;
    HANDLE log = nullptr;  // null: not opened yet
    HWND control = nullptr;
    bool dirty = false;    // something was recorded since the last report
    std::string fail;
    std::vector<Object*> objects;
    std::vector<Held*> held;
    Object* view = nullptr;  // the sender of events
    INT64 tokens = 0;
    int starts = 0;  // environments asked for
};
State& state = *new State;

std::string show(const wchar_t* text, const char* absent) { return text ? utf8(text) : absent; }

void record(const std::string& line) {
    state.dirty = true;
    if (!state.log) {
        std::wstring path = variable(L"FAKE_WEBVIEW2_LOG");
        state.log = path.empty() ? INVALID_HANDLE_VALUE
                                 : CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (state.log == INVALID_HANDLE_VALUE) return;
    // One write per line, so a reader never sees half a line from us.
    std::string text = line + '\n';
    DWORD written = 0;
    WriteFile(state.log, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool failing(std::string_view mode) { return state.fail == mode; }

// Runs a task later from the caller's message loop, never inside the call
// that asked for it.
constexpr UINT runTask = WM_APP;
void later(std::function<void()> task) {
    PostMessageW(state.control, runTask, 0, reinterpret_cast<LPARAM>(new std::function<void()>(std::move(task))));
}

Object* make(Kind kind) {
    state.objects.push_back(new Object(kind));
    return state.objects.back();
}

Held* hold(Role role, IUnknown* handler, Object* view = nullptr) {
    handler->AddRef();
    state.held.push_back(new Held(role, handler, view));
    return state.held.back();
}

void letGo(Held* held) {
    if (!held->active) return;
    held->active = false;
    held->last = static_cast<LONG>(held->handler->Release());
}

// A closed controller lets go of its view's event handlers, as the runtime
// does.
void shut(Object* controller) {
    controller->closed = true;
    for (Held* held : state.held)
        if (held->view && held->view == controller->view) letGo(held);
}

// The runtime closes a controller whose parent window is destroyed, and no
// event says so: later calls on it and its view fail.
bool closed(Object* self) {
    Object* controller = self->kind == View ? self->controller : self;
    if (!controller) return false;
    if (!controller->closed && controller->parent && !IsWindow(controller->parent)) shut(controller);
    return controller->closed;
}

// Delivers an event to every live handler of its kind on the newest view,
// with one args object made only if someone listens.
Object* raise(Role role, Kind kind, const std::function<void(Object*)>& fill) {
    Object* args = nullptr;
    if (state.view) closed(state.view);
    for (size_t i = 0; i < state.held.size(); ++i) {
        Held* held = state.held[i];
        if (!held->active || held->role != role || held->view != state.view) continue;
        if (!args) fill(args = make(kind));
        invoke(held->handler, state.view, args);
    }
    return args;
}

void navigation(bool hasUri, std::wstring uri) {
    later([=] {
        Object* args = raise(NavigationStarting, NavigationArgs, [&](Object* a) { a->hasText = hasUri, a->text = uri; });
        std::string cancel = args && args->cancel >= 0 ? std::to_string(args->cancel) : "none";
        record("navigation " + (hasUri ? utf8(uri) : "(null)") + " cancel=" + cancel);
    });
}

// From the page the view shows, unless the test names another address.
void webMessage(bool isString, std::wstring text, std::wstring source = {}) {
    later([=] {
        std::wstring from = source.empty() && state.view ? state.view->text : source;
        raise(MessageReceived, MessageArgs, [&](Object* a) { a->isString = isString, a->text = text, a->source = from; });
        record("message-done");
    });
}

// A dead browser process closes the controller as well.
// A page asks for a new window (window.open, a link with a target).
void newWindow(std::wstring uri) {
    later([=] {
        Object* args = raise(NewWindow, NewWindowArgs, [&](Object* a) { a->text = uri; });
        record("new-window-done handled=" + (args && args->cancel >= 0 ? std::to_string(args->cancel) : std::string("none")));
    });
}

// Every environment hears of the update; those it found are old from now on.
void newVersion() {
    later([] {
        for (Object* object : state.objects)
            if (object->kind == Environment) object->old = true;
        for (size_t i = 0; i < state.held.size(); ++i)
            if (state.held[i]->active && state.held[i]->role == NewVersion)
                invoke(state.held[i]->handler, state.held[i]->view, static_cast<IUnknown*>(nullptr));
        record("new-version-done");
    });
}

void processFailure(int kind) {
    later([=] {
        raise(ProcessFailed, FailureArgs, [&](Object* a) { a->failure = kind; });
        record("failure-done " + std::to_string(kind));
        if (kind == 0 && state.view && state.view->controller) shut(state.view->controller);
    });
}

bool readFile(const std::wstring& path, std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    DWORD got = 0;
    bool whole = GetFileSizeEx(file, &size) && size.QuadPart < (1 << 30);
    if (whole) bytes.resize(static_cast<size_t>(size.QuadPart));
    whole = whole && ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size();
    CloseHandle(file);
    return whole;
}

LRESULT CALLBACK controlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == runTask) {
        std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lParam));
        (*task)();
        return 0;
    }
    if (message == WM_COPYDATA) {
        // The sender's buffer lives only for this call: copy, post, answer.
        auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        std::wstring text;
        if (data->lpData) text.assign(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        switch (data->dwData) {
        case 1: navigation(true, text); return TRUE;
        case 2: navigation(false, L""); return TRUE;
        case 3: webMessage(true, text); return TRUE;
        case 4: webMessage(false, text); return TRUE;
        case 5: processFailure(_wtoi(text.c_str())); return TRUE;
        case 6: newWindow(text); return TRUE;
        case 7: newVersion(); return TRUE;
        case 8: {
            size_t end = text.find(L'\n');
            if (end == std::wstring::npos) return FALSE;
            webMessage(true, text.substr(end + 1), text.substr(0, end));
            return TRUE;
        }
        case 9: {
            std::string bytes;
            if (!readFile(text, bytes)) return FALSE;
            webMessage(true, wide(bytes));
            return TRUE;
        }
        }
        return FALSE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void openControl() {
    if (!state.control) state.control = slots::messageWindow(state.module, L"FakeWebView2Control", controlProc);
    // Every record starts with it, also a new one after a report.
    if (!state.dirty) record("control " + hex(state.control));
}

// Slots 0-2 of every object, and the slots the program should not call.

// What the view and its settings are asked for is recorded.
bool has(Object* self, REFIID iid) {
    const char* name = slots::interfaceName(self->kind, iid);
    if (self->kind == View || self->kind == Settings) {
        wchar_t guid[40];
        StringFromGUID2(iid, guid, 40);
        record(std::string("query ") + (name ? name : utf8(guid)));
        if (name && name == std::string_view("ICoreWebView2_3") && failing("view3-missing")) name = nullptr;
        // A runtime from before the newer settings.
        std::string_view known = name ? name : "";
        if (known.starts_with("ICoreWebView2Settings") && known > "ICoreWebView2Settings2" && failing("settings-old")) name = nullptr;
    }
    return name != nullptr;
}

// "gone" tells the order in which the program lets go of what it held.
void gone(Object* self) { record(std::string("gone ") + kindName[self->kind]); }

void unexpected(Kind kind, size_t at) { record(std::string("unexpected ") + kindName[kind] + ' ' + std::to_string(at)); }

using Objects = slots::Objects<Object, has, gone, unexpected>;

// ICoreWebView2Environment

HRESULT STDMETHODCALLTYPE createController(Object* self, HWND parent, IUnknown* handler) {
    record("controller parent=" + hex(parent));
    if (failing("controller-request") || (self->old && failing("old-request"))) return E_FAIL;
    if (!handler) return E_INVALIDARG;
    Held* done = hold(ControllerDone, handler);
    bool refuse = failing("controller-code") || (self->old && failing("old-code"));
    later([done, parent, refuse] {
        if (!done->active) return;
        Object* controller = failing("controller-null") ? nullptr : make(Controller);
        if (controller && IsWindow(parent)) controller->parent = parent;
        invoke(done->handler, refuse ? E_FAIL : S_OK, controller);
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE addNewVersion(Object* self, IUnknown* handler, INT64* token) {
    record("add NewBrowserVersionAvailable");
    if (!handler) return E_INVALIDARG;
    hold(NewVersion, handler, self);
    if (token) *token = ++state.tokens;
    return S_OK;
}

// ICoreWebView2Controller

HRESULT STDMETHODCALLTYPE putBounds(Object* self, RECT bounds) {
    record("bounds " + std::to_string(bounds.left) + ' ' + std::to_string(bounds.top) + ' ' + std::to_string(bounds.right) + ' ' +
           std::to_string(bounds.bottom));
    return closed(self) ? invalidState : S_OK;
}

HRESULT STDMETHODCALLTYPE putVisible(Object* self, BOOL visible) {
    record(std::string("visible ") + (visible ? "1" : "0"));
    return closed(self) ? invalidState : S_OK;
}

HRESULT STDMETHODCALLTYPE notifyPosition(Object* self) {
    record("notify-position");
    return closed(self) ? invalidState : S_OK;
}

HRESULT STDMETHODCALLTYPE moveFocus(Object* self, int reason) {
    record("focus " + std::to_string(reason));
    return closed(self) ? invalidState : S_OK;
}

HRESULT STDMETHODCALLTYPE closeController(Object* self) {
    record("close");
    if (closed(self)) return invalidState;
    shut(self);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getView(Object* self, Object** out) {
    record("view");
    if (!out) return E_POINTER;
    *out = nullptr;
    if (closed(self)) return invalidState;
    if (failing("view-null")) return S_OK;
    if (!self->view) state.view = self->view = make(View), self->view->controller = self;
    InterlockedIncrement(&self->view->refs);
    *out = self->view;
    return S_OK;
}

// ICoreWebView2 to ICoreWebView2_3

HRESULT STDMETHODCALLTYPE navigate(Object* self, const wchar_t* uri) {
    record("navigate " + show(uri, "(null)"));
    if (closed(self)) return invalidState;
    if (!uri) return E_INVALIDARG;
    self->text = uri;
    navigation(true, uri);
    return S_OK;
}

HRESULT subscribe(Object* self, const char* event, Role role, IUnknown* handler, INT64* token) {
    record(std::string("add ") + event);
    if (closed(self)) return invalidState;
    if (!handler) return E_INVALIDARG;
    hold(role, handler, self);
    if (token) *token = ++state.tokens;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE addNavigationStarting(Object* self, IUnknown* handler, INT64* token) {
    return subscribe(self, "NavigationStarting", NavigationStarting, handler, token);
}

HRESULT STDMETHODCALLTYPE addWebMessageReceived(Object* self, IUnknown* handler, INT64* token) {
    return subscribe(self, "WebMessageReceived", MessageReceived, handler, token);
}

HRESULT STDMETHODCALLTYPE addNewWindowRequested(Object* self, IUnknown* handler, INT64* token) {
    return subscribe(self, "NewWindowRequested", NewWindow, handler, token);
}

HRESULT STDMETHODCALLTYPE getSettings(Object* self, Object** out) {
    record("settings");
    if (!out) return E_POINTER;
    *out = nullptr;
    if (closed(self)) return invalidState;
    if (!self->settings) self->settings = make(Settings);
    InterlockedIncrement(&self->settings->refs);
    *out = self->settings;
    return S_OK;
}

// ICoreWebView2Settings to ICoreWebView2Settings6: every put is recorded.
template <size_t S>
HRESULT STDMETHODCALLTYPE putSetting(Object*, LONG_PTR value) {
    record(std::string("put ") + slots::settingNames[(S - 4) / 2] + '=' + std::to_string(value));
    return S_OK;
}

// ICoreWebView2NewWindowRequestedEventArgs

HRESULT STDMETHODCALLTYPE putHandled(Object* self, BOOL handled) {
    self->cancel = handled ? 1 : 0;
    record("handled " + std::to_string(self->cancel));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE putNewWindow(Object*, void*) {
    record("new-window");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE addProcessFailed(Object* self, IUnknown* handler, INT64* token) {
    return subscribe(self, "ProcessFailed", ProcessFailed, handler, token);
}

HRESULT STDMETHODCALLTYPE reload(Object* self) {
    record("reload");
    return closed(self) ? invalidState : S_OK;
}

HRESULT STDMETHODCALLTYPE executeScript(Object* self, const wchar_t* script, IUnknown* handler) {
    record("script " + show(script, "(null)") + " handler=" + (handler ? "set" : "null"));
    if (closed(self)) return invalidState;
    if (!handler) return S_OK;
    // Held only until it has run, as the runtime does.
    handler->AddRef();
    later([handler] {
        invoke(handler, S_OK, L"null");
        handler->Release();
    });
    return S_OK;
}

// The runtime suspends a hidden view when it can, and says so later.
HRESULT STDMETHODCALLTYPE trySuspend(Object* self, IUnknown* handler) {
    record("suspend");
    if (closed(self)) return invalidState;
    if (!handler) return E_INVALIDARG;
    Held* done = hold(SuspendDone, handler);
    later([done] {
        if (!done->active) return;
        // A busy page may not be suspended; the view then stays hidden and awake.
        invoke(done->handler, S_OK, failing("suspend-refused") ? FALSE : TRUE);
        letGo(done);
        record("suspend-done");
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE postString(Object* self, const wchar_t* text) {
    record("post " + show(text, "(null)"));
    if (closed(self)) return invalidState;
    return text ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE resume(Object* self) {
    record("resume");
    return closed(self) ? invalidState : S_OK;
}

HRESULT STDMETHODCALLTYPE mapFolder(Object* self, const wchar_t* host, const wchar_t* folder, int kind) {
    record("mapping host=" + show(host, "(null)") + " folder=" + show(folder, "(null)") + " kind=" + std::to_string(kind));
    if (closed(self)) return invalidState;
    return failing("mapping") ? E_FAIL : S_OK;
}

// ICoreWebView2ProcessFailedEventArgs

HRESULT STDMETHODCALLTYPE getFailureKind(Object* self, int* out) {
    record("failure-kind");
    if (!out) return E_POINTER;
    *out = self->failure;
    return S_OK;
}

// ICoreWebView2NavigationStartingEventArgs

HRESULT STDMETHODCALLTYPE getUri(Object* self, wchar_t** out) {
    record("uri");
    if (!out) return E_POINTER;
    *out = self->hasText ? copy(self->text) : nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE putCancel(Object* self, BOOL cancel) {
    self->cancel = cancel ? 1 : 0;
    record("cancel " + std::to_string(self->cancel));
    return S_OK;
}

// ICoreWebView2WebMessageReceivedEventArgs

HRESULT STDMETHODCALLTYPE getSource(Object* self, wchar_t** out) {
    record("message-source");
    if (!out) return E_POINTER;
    *out = copy(self->source);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getJson(Object* self, wchar_t** out) {
    record("message-json");
    if (!out) return E_POINTER;
    *out = copy(self->isString ? quoted(self->text) : self->text);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE tryGetString(Object* self, wchar_t** out) {
    record("message-string");
    if (!out) return E_POINTER;
    if (!self->isString) return E_INVALIDARG;
    *out = copy(self->text);
    return S_OK;
}

void buildVtables() {
    Objects::build(vtables, {.createController = createController, .addNewVersion = addNewVersion,
                             .putVisible = putVisible, .notifyPosition = notifyPosition, .putBounds = putBounds, .moveFocus = moveFocus, .close = closeController, .getView = getView,
                             .getSettings = getSettings, .navigate = navigate, .addNavigationStarting = addNavigationStarting,
                             .addProcessFailed = addProcessFailed, .executeScript = executeScript, .reload = reload,
                             .postString = postString,
                             .addWebMessageReceived = addWebMessageReceived, .addNewWindowRequested = addNewWindowRequested,
                             .trySuspend = trySuspend, .resume = resume, .mapFolder = mapFolder,
                             .getUri = getUri, .putCancel = putCancel,
                             .getSource = getSource, .getJson = getJson, .tryGetString = tryGetString,
                             .getFailureKind = getFailureKind,
                             .getNewWindowUri = getUri, .putNewWindow = putNewWindow, .putHandled = putHandled});
    [&]<size_t... P>(std::index_sequence<P...>) {
        ((vtables[Settings][4 + 2 * P] = slot(&putSetting<4 + 2 * P>)), ...);
    }(std::make_index_sequence<15>{});
}

// Ends a record: what the program still holds, and what our last Release of
// each of its handlers returned. The state is then cleared for a new run.
void report() {
    if (!state.dirty) return;
    for (Held* held : state.held) letGo(held);
    for (Object* object : state.objects) record(std::string("refs ") + kindName[object->kind] + ' ' + std::to_string(object->refs));
    for (Held* held : state.held) record(std::string("release ") + roleName[held->role] + ' ' + std::to_string(held->last));
    record("end");
    if (state.log != INVALID_HANDLE_VALUE) CloseHandle(state.log);
    state.log = nullptr;
    state.objects.clear();
    state.held.clear();
    state.view = nullptr;
    state.starts = 0;
    state.dirty = false;
}

constexpr const char* failModes[] = {"", "start", "environment-code", "environment-null", "controller-request",
                                     "controller-code", "controller-null", "view-null", "view3-missing", "mapping", "hold",
                                     "settings-old", "old-request", "old-code", "environment-busy", "suspend-refused"};

}  // namespace

extern "C" HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(const wchar_t* browserFolder, const wchar_t* userDataFolder,
                                                                         void* options, IUnknown* handler) {
    state.fail = utf8(variable(L"FAKE_WEBVIEW2_FAIL"));
    openControl();
    record("start browser=" + show(browserFolder, "null") + " data=" + show(userDataFolder, "null") +
           " options=" + (options ? "set" : "null"));
    bool known = false;
    for (const char* mode : failModes) known = known || failing(mode);
    if (!known) record("unknown FAKE_WEBVIEW2_FAIL=" + state.fail);
    if (failing("start")) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (++state.starts == 2 && failing("environment-busy")) return invalidState;
    if (!handler) return E_INVALIDARG;
    Held* done = hold(EnvironmentDone, handler);
    // A runtime still starting: the program must get by without a view.
    if (failing("hold")) return S_OK;
    later([done] {
        if (!done->active) return;
        invoke(done->handler, failing("environment-code") ? E_FAIL : S_OK, failing("environment-null") ? nullptr : make(Environment));
    });
    return S_OK;
}

extern "C" void WINAPI FakeWebView2Finish() { report(); }

// Marks this DLL as a test runtime: scripts/package refuses any loader that
// exports it.
extern "C" void WINAPI NotForRelease() {}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) slots::loaded(instance, state.module, buildVtables);
    if (reason == DLL_PROCESS_DETACH) report();
    return TRUE;
}
