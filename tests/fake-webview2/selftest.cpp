// Checks the stand-in runtime as a program meets it: through raw vtable slots
// numbered from the published layout, with handlers of our own, and through
// the record that the other tests read.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fake.h"

extern "C" HRESULT WINAPI CreateCoreWebView2EnvironmentWithOptions(const wchar_t*, const wchar_t*, void*, void*);
extern "C" void WINAPI FakeWebView2Finish();

namespace {

int failures = 0;
#define CHECK(condition) check(condition, #condition, __LINE__)
void check(bool ok, const char* text, int line) {
    if (ok) return;
    std::fprintf(stderr, "selftest.cpp:%d: CHECK(%s) failed\n", line, text);
    ++failures;
}

const GUID iidView3{0xa0d6df20, 0x3b92, 0x416d, {0xaa, 0x0c, 0x43, 0x7a, 0x9c, 0x72, 0x78, 0x57}};

// A handler as the program would hand one over: counts its references and
// keeps what Invoke was given.
struct Probe {
    explicit Probe(void** slots) : vtbl(slots) {}
    void** vtbl;
    LONG refs = 1;
    int calls = 0;
    HRESULT result = E_PENDING;
    void* object = nullptr;
    std::function<void(void* args)> onEvent;
};
HRESULT STDMETHODCALLTYPE probeQuery(Probe*, REFIID, void** out) { return *out = nullptr, E_NOINTERFACE; }
ULONG STDMETHODCALLTYPE probeAddRef(Probe* self) { return InterlockedIncrement(&self->refs); }
ULONG STDMETHODCALLTYPE probeRelease(Probe* self) { return InterlockedDecrement(&self->refs); }
HRESULT STDMETHODCALLTYPE completed(Probe* self, HRESULT result, void* object) {
    ++self->calls, self->result = result, self->object = object;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE raised(Probe* self, void* sender, void* args) {
    ++self->calls, self->object = sender;
    if (self->onEvent) self->onEvent(args);
    return S_OK;
}
void* completedSlots[] = {reinterpret_cast<void*>(probeQuery), reinterpret_cast<void*>(probeAddRef),
                          reinterpret_cast<void*>(probeRelease), reinterpret_cast<void*>(completed)};
void* eventSlots[] = {reinterpret_cast<void*>(probeQuery), reinterpret_cast<void*>(probeAddRef),
                      reinterpret_cast<void*>(probeRelease), reinterpret_cast<void*>(raised)};

template <class... A>
HRESULT call(void* object, int slot, A... args) {
    using Method = HRESULT(STDMETHODCALLTYPE*)(void*, A...);
    return reinterpret_cast<Method>((*static_cast<void***>(object))[slot])(object, args...);
}
void release(void* object) { static_cast<IUnknown*>(object)->Release(); }

void pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

std::vector<std::wstring> files;
fake::Record fresh(const std::wstring& name, const wchar_t* fail) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = folder + (L"fake-webview2-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name + L".log");
    DeleteFileW(path.c_str());
    files.push_back(path);
    SetEnvironmentVariableW(L"FAKE_WEBVIEW2_LOG", path.c_str());
    SetEnvironmentVariableW(L"FAKE_WEBVIEW2_FAIL", fail);
    return fake::Record(path);
}

void same(const std::vector<std::string>& got, const std::vector<std::string>& want, int line) {
    check(got == want, "record matches", line);
    for (size_t i = 0; got != want && i < std::max(got.size(), want.size()); ++i)
        std::fprintf(stderr, "  %-45s | %s\n", i < got.size() ? got[i].c_str() : "-", i < want.size() ? want[i].c_str() : "-");
}

void session() {
    fake::Record record = fresh(L"session", nullptr);
    Probe environmentDone{completedSlots}, controllerDone{completedSlots};
    CHECK(CreateCoreWebView2EnvironmentWithOptions(L"C:\\浏览器", nullptr, nullptr, &environmentDone) == S_OK);
    CHECK(environmentDone.calls == 0 && environmentDone.refs == 2);
    pump();
    CHECK(environmentDone.calls == 1 && environmentDone.result == S_OK && environmentDone.object);
    if (!environmentDone.object) return;
    CHECK(call(environmentDone.object, 3, reinterpret_cast<HWND>(0xabc0), &controllerDone) == S_OK);
    CHECK(controllerDone.calls == 0);
    pump();
    void* controller = controllerDone.object;
    CHECK(controllerDone.calls == 1 && controllerDone.result == S_OK && controller);
    if (!controller) return;
    static_cast<IUnknown*>(controller)->AddRef();
    call(controller, 6, RECT{1, 2, 3, 4});
    call(controller, 12, 2);
    void* view = nullptr;
    void* view3 = nullptr;
    CHECK(call(controller, 25, &view) == S_OK && view);
    CHECK(call(view, 0, &iidView3, &view3) == S_OK && view3 == view);
    CHECK(call(view3, 71, L"garden.example", L"C:\\花园", 2) == S_OK);
    release(view3);

    Probe guard{eventSlots};
    guard.onEvent = [](void* args) {
        wchar_t* uri = nullptr;
        call(args, 3, &uri);
        bool allowed = uri && std::wstring_view(uri).starts_with(L"https://garden.example/");
        CoTaskMemFree(uri);
        call(args, 8, allowed ? FALSE : TRUE);
    };
    INT64 token = 0;
    CHECK(call(view, 7, &guard, &token) == S_OK && token != 0 && guard.refs == 2);
    call(view, 5, L"https://garden.example/花");
    CHECK(guard.calls == 0);
    pump();
    CHECK(guard.calls == 1 && guard.object == view);

    HWND control = record.control();
    CHECK(control && IsWindow(control));
    CHECK(fake::drive(control, fake::navigateNull));
    CHECK(fake::drive(control, fake::navigate, L"https://elsewhere.example/"));
    CHECK(!fake::drive(control, 9));
    CHECK(guard.calls == 1);
    pump();
    CHECK(guard.calls == 3);

    std::vector<HRESULT> results;
    std::vector<std::wstring> texts;
    Probe listener{eventSlots};
    listener.onEvent = [&](void* args) {
        wchar_t* text = nullptr;
        results.push_back(call(args, 5, &text));
        texts.push_back(text ? text : L"<untouched>");
        CoTaskMemFree(text);
        call(args, 4, &text);
        texts.push_back(text);
        CoTaskMemFree(text);
    };
    CHECK(call(view, 34, &listener, &token) == S_OK);
    fake::drive(control, fake::messageString, L"show \"Editor\"");
    fake::drive(control, fake::messageJson, L"{\"mood\":1}");
    pump();
    CHECK((results == std::vector<HRESULT>{S_OK, E_INVALIDARG}));
    CHECK((texts == std::vector<std::wstring>{L"show \"Editor\"", L"\"show \\\"Editor\\\"\"", L"<untouched>", L"{\"mood\":1}"}));

    CHECK(call(view, 30, 0, nullptr, nullptr) == E_NOTIMPL);
    Probe scriptDone{completedSlots};
    call(view, 29, L"window.moodMode('wall')", nullptr);
    call(view, 29, L"1", &scriptDone);
    CHECK(scriptDone.calls == 0 && scriptDone.refs == 2);
    pump();
    CHECK(scriptDone.calls == 1 && scriptDone.refs == 1 && std::wstring_view(static_cast<wchar_t*>(scriptDone.object)) == L"null");
    call(controller, 24);
    CHECK(guard.refs == 1 && listener.refs == 1);
    fake::drive(control, fake::navigate, L"https://late.example/");
    pump();
    CHECK(guard.calls == 3);

    release(view);
    release(view);
    release(controller);
    release(&environmentDone);
    FakeWebView2Finish();
    CHECK(environmentDone.refs == 0 && controllerDone.refs == 1);
    std::vector<std::string> lines = record.lines();
    CHECK(!lines.empty() && lines[0].starts_with("control 0x"));
    same({lines.begin() + !lines.empty(), lines.end()},
         {"start browser=C:\\浏览器 data=null options=null", "controller parent=0xabc0", "bounds 1 2 3 4", "focus 2", "view",
          "query ICoreWebView2_3", "mapping host=garden.example folder=C:\\花园 kind=2", "add NavigationStarting",
          "navigate https://garden.example/花", "uri", "cancel 0", "navigation https://garden.example/花 cancel=0", "uri",
          "cancel 1", "navigation (null) cancel=1", "uri", "cancel 1", "navigation https://elsewhere.example/ cancel=1",
          "add WebMessageReceived", "message-string", "message-json", "message-done", "message-string", "message-json",
          "message-done", "unexpected view 30", "script window.moodMode('wall') handler=null", "script 1 handler=set", "close",
          "navigation https://late.example/ cancel=none", "gone view", "gone controller", "refs environment 0", "refs controller 0", "refs view -1",
          "refs navigation-args 0", "refs navigation-args 0", "refs navigation-args 0", "refs message-args 0",
          "refs message-args 0", "release environment-done 0", "release controller-done 1", "release navigation-starting 1",
          "release message-received 1", "end"},
         __LINE__);
}

// Goes as far as a program would and says how each step ended; releases all
// it was given, so a correct stand-in ends with every count back where it was.
std::string walk(const wchar_t* mode) {
    fake::Record record = fresh(std::wstring(L"walk-") + (mode ? mode : L"none"), mode);
    Probe environmentDone{completedSlots}, controllerDone{completedSlots};
    void *view = nullptr, *view3 = nullptr;
    std::string trace;
    auto step = [&](const char* name, HRESULT result, bool gave = true) {
        if (!trace.empty()) trace += ' ';
        trace.append(name).append(SUCCEEDED(result) ? "=ok" : "=fail").append(gave ? "" : "+null");
        return SUCCEEDED(result) && gave;
    };
    [&] {
        if (!step("start", CreateCoreWebView2EnvironmentWithOptions(nullptr, L"D:\\data", nullptr, &environmentDone))) return;
        pump();
        if (!step("environment", environmentDone.result, environmentDone.object)) return;
        if (!step("request", call(environmentDone.object, 3, HWND_DESKTOP, &controllerDone))) return;
        pump();
        if (!step("controller", controllerDone.result, controllerDone.object)) return;
        HRESULT got = call(controllerDone.object, 25, &view);  // before view is read
        if (!step("view", got, view)) return;
        got = call(view, 0, &iidView3, &view3);
        if (!step("query", got, view3)) return;
        step("mapping", call(view3, 71, L"h", L"f", 0));
    }();
    if (view3) release(view3);
    if (view) release(view);
    FakeWebView2Finish();
    std::vector<std::string> lines = record.lines();
    CHECK(!lines.empty() && lines.back() == "end");
    for (const std::string& line : lines) {
        if (line.starts_with("refs ")) check(line.ends_with(" 0"), line.c_str(), __LINE__);
        // We keep our own reference to each handler, so the stand-in's last Release leaves 1.
        if (line.starts_with("release ")) check(line.ends_with(" 1"), line.c_str(), __LINE__);
    }
    CHECK(environmentDone.refs == 1 && controllerDone.refs == 1);
    return trace;
}

void failureModes() {
    const std::string happy = "start=ok environment=ok request=ok controller=ok view=ok query=ok";
    const struct {
        const wchar_t* mode;
        std::string trace;
    } cases[] = {
        {nullptr, happy + " mapping=ok"},
        {L"start", "start=fail"},
        {L"environment-code", "start=ok environment=fail"},
        {L"environment-null", "start=ok environment=ok+null"},
        {L"controller-request", "start=ok environment=ok request=fail"},
        {L"controller-code", "start=ok environment=ok request=ok controller=fail"},
        {L"controller-null", "start=ok environment=ok request=ok controller=ok+null"},
        {L"view-null", "start=ok environment=ok request=ok controller=ok view=ok+null"},
        {L"view3-missing", "start=ok environment=ok request=ok controller=ok view=ok query=fail+null"},
        {L"mapping", happy + " mapping=fail"},
    };
    for (const auto& each : cases) {
        std::string trace = walk(each.mode);
        check(trace == each.trace, (fake::utf8(each.mode ? each.mode : L"(happy)") + ": " + trace).c_str(), __LINE__);
    }
}

void partialLines() {
    fake::Record record = fresh(L"partial", nullptr);
    CHECK(record.lines().empty() && !record.control());
    HANDLE file = CreateFileW(record.path().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "a\r\nb", 4, &written, nullptr);
    CHECK((record.lines() == std::vector<std::string>{"a"}));
    CHECK(!record.waitFor("b", 30));
    WriteFile(file, "\n", 1, &written, nullptr);
    CHECK(record.has("b") && record.waitFor([](const auto& lines) { return lines.size() == 2; }, 0));
    CloseHandle(file);
}

// Process failures reach the handlers of the newest view with their kind; a
// dead browser, and a destroyed parent window, close the controller for good.
void closing() {
    fake::Record record = fresh(L"closing", nullptr);
    Probe environmentDone{completedSlots}, first{completedSlots}, second{completedSlots};
    CreateCoreWebView2EnvironmentWithOptions(nullptr, nullptr, nullptr, &environmentDone);
    pump();
    void* environment = environmentDone.object;
    if (!environment) return CHECK(environment);
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    call(environment, 3, parent, &first);
    call(environment, 3, parent, &second);
    pump();
    void *views[2] = {}, *controllers[2] = {first.object, second.object};
    if (!controllers[0] || !controllers[1]) return CHECK(controllers[0] && controllers[1]);
    for (int i = 0; i < 2; ++i) static_cast<IUnknown*>(controllers[i])->AddRef(), call(controllers[i], 25, &views[i]);

    std::vector<int> kinds;
    Probe watcher{eventSlots};
    watcher.onEvent = [&](void* args) {
        int kind = -1;
        call(args, 3, &kind);
        kinds.push_back(kind);
    };
    INT64 token = 0;
    CHECK(call(views[1], 25, &watcher, &token) == S_OK && watcher.refs == 2);
    HWND control = record.control();
    for (const wchar_t* kind : {L"1", L"2", L"0", L"1"}) CHECK(fake::drive(control, fake::processFailed, kind));
    pump();
    // The browser's end closed the newest controller and dropped its handler.
    CHECK((kinds == std::vector<int>{1, 2, 0}) && watcher.refs == 1);
    CHECK(call(views[1], 31) == fake::invalidState && call(controllers[1], 6, RECT{}) == fake::invalidState);
    CHECK(call(views[0], 31) == S_OK && call(views[0], 5, L"https://garden.example/") == S_OK);
    pump();

    DestroyWindow(parent);
    CHECK(call(controllers[0], 6, RECT{}) == fake::invalidState && call(views[0], 5, L"x") == fake::invalidState);
    CHECK(call(controllers[0], 24) == fake::invalidState);
    for (int i = 0; i < 2; ++i) release(views[i]), release(controllers[i]);
    release(&environmentDone);
    FakeWebView2Finish();
    std::vector<std::string> lines = record.lines();
    CHECK(std::count(lines.begin(), lines.end(), "failure-kind") == 3);
    CHECK(std::count(lines.begin(), lines.end(), "failure-done 1") == 2);
    CHECK(std::count(lines.begin(), lines.end(), "reload") == 2);
    for (const std::string& line : lines)
        if (line.starts_with("refs ")) check(line.ends_with(" 0"), line.c_str(), __LINE__);
}

}  // namespace

int main() {
    session();
    failureModes();
    partialLines();
    closing();
    for (const std::wstring& file : files) DeleteFileW(file.c_str());
    if (failures) std::fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
