// The preview runtime: a WebView2Loader.dll of our own that shows the page
// through Debian's Chromium, so that the garden can be seen and tested under
// Wine. It is not WebView2, and it is never shipped (it exports NotForRelease).
//
// The page side is preview.mjs, reached over one loopback connection. Like the
// real runtime, the DLL makes its own child window in the controller's parent,
// paints the page's frames there, and forwards the mouse, wheel, keys and
// typed text to the page. Events and completions arrive through the program's
// message loop. Objects are vtable arrays filled by published slot number
// (slots.h), as in the stand-in.
#include "wire.h"

#include <commctrl.h>
#include <imm.h>
#include <objbase.h>
#include <wincodec.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "slots.h"

namespace {

using slots::slot, slots::utf8, slots::wide;
using slots::Kind;
using enum slots::Kind;

slots::Vtables vtables;

// New windows are never opened here (the page side closes any), so their
// handler is held but never called.
enum Role { NavigationStarting, MessageReceived, ProcessFailed, NewWindow };

struct Object {
    explicit Object(Kind of) : vtbl(vtables[of]), kind(of) {}
    void** vtbl;
    Kind kind;
    LONG refs = 1;
    int generation = 0;  // the environment it belongs to
    // Event arguments.
    bool isString = true;
    BOOL cancel = FALSE;
    std::wstring text;
    std::wstring source;  // the address a web message comes from
};

struct Held {
    Role role;
    IUnknown* handler;
    INT64 token;
};

// A decoded frame, top-down 32-bit pixels.
struct Frame {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

struct State {
    HINSTANCE module = nullptr;
    SOCKET socket = INVALID_SOCKET;
    std::mutex sending;
    HWND tasks = nullptr;   // message-only window on the program's thread
    HWND window = nullptr;  // where the page is drawn
    HWND mirror = nullptr;  // see showMirror
    HWND parent = nullptr;  // the controller's parent window
    // One connection, and so one browser, at a time. Each has its own
    // generation: a controller or view of an earlier one is dead, and so is an
    // environment object that a newer environment replaced.
    int generation = 0;
    std::string hello[2];  // profile folder and browser, for a new connection
    Object *environment = nullptr, *controller = nullptr, *view = nullptr;
    IUnknown* environmentDone = nullptr;
    HWND pendingParent = nullptr;
    IUnknown* pendingController = nullptr;
    IUnknown* suspending = nullptr;  // TrySuspend's handler, until the page side answers
    std::vector<Held> held;
    std::map<int, IUnknown*> scripts;
    int nextScript = 0;
    INT64 tokens = 0;
    bool lost = false, closed = false;
    Object* settings = nullptr;
    // What the program turned off of the browser's own keys and zoom.
    bool browserKeys = true, zoom = true;
    int heldKeys = 0;  // modifiers of modifiers(), as the page's window saw them go down
    RECT bounds{};
    std::unique_ptr<Frame> frame;
    POINT lastMouse{-1, -1};
};
State& state = *new State;  // never destroyed: threads may outlive static destructors

constexpr UINT runMessage = WM_APP, runFrame = WM_APP + 1, runLost = WM_APP + 2;

void send(const std::vector<std::string_view>& fields) {
    if (state.socket == INVALID_SOCKET || state.lost) return;
    std::lock_guard hold(state.sending);
    wire::sendAll(state.socket, wire::encode(fields));
}

std::string number(long long n) { return std::to_string(n); }

// A Windows path as Chromium on the same machine sees it.
std::string unixPath(const std::wstring& path) {
    using Convert = char*(CDECL*)(const wchar_t*);
    auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) return utf8(path);
    char* converted = convert(path.c_str());
    if (!converted) return utf8(path);
    std::string out = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return out;
}

// ---- the page's frames ----

std::unique_ptr<Frame> decode(IWICImagingFactory* factory, const std::string& jpeg) {
    IWICStream* stream = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* source = nullptr;
    IWICBitmapSource* converted = nullptr;
    std::unique_ptr<Frame> frame;
    if (SUCCEEDED(factory->CreateStream(&stream)) &&
        SUCCEEDED(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(jpeg.data())), static_cast<DWORD>(jpeg.size()))) &&
        SUCCEEDED(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder)) &&
        SUCCEEDED(decoder->GetFrame(0, &source)) &&
        SUCCEEDED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGR, source, &converted))) {
        UINT w = 0, h = 0;
        converted->GetSize(&w, &h);
        auto out = std::make_unique<Frame>();
        out->width = static_cast<int>(w), out->height = static_cast<int>(h);
        out->pixels.resize(size_t(w) * h);
        if (SUCCEEDED(converted->CopyPixels(nullptr, w * 4, static_cast<UINT>(out->pixels.size() * 4),
                                            reinterpret_cast<BYTE*>(out->pixels.data()))))
            frame = std::move(out);
    }
    for (IUnknown* each : {static_cast<IUnknown*>(converted), static_cast<IUnknown*>(source), static_cast<IUnknown*>(decoder),
                           static_cast<IUnknown*>(stream)})
        if (each) each->Release();
    return frame;
}

// Reads the page side until the connection ends; frames are decoded here,
// everything else is handed to the program's thread as it came.
void readLoop(SOCKET socket, HWND tasks, int generation) {
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IWICImagingFactory* factory = nullptr;
    HRESULT made = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
    if (FAILED(made)) {
        char text[96];
        snprintf(text, sizeof text, "preview runtime: no image decoder (CoInitializeEx 0x%08lx, WIC 0x%08lx)", com, made);
        OutputDebugStringA(text);
    }
    wire::Fields fields;
    while (wire::receive(socket, fields)) {
        if (fields.empty()) continue;
        if (fields[0] == "frame" && fields.size() == 4) {
            if (!factory) continue;
            auto frame = decode(factory, fields[3]);
            if (!frame) OutputDebugStringA("preview runtime: a frame could not be decoded");
            if (frame && PostMessageW(tasks, runFrame, generation, reinterpret_cast<LPARAM>(frame.get()))) frame.release();
            continue;
        }
        auto* message = new wire::Fields(std::move(fields));
        if (!PostMessageW(tasks, runMessage, generation, reinterpret_cast<LPARAM>(message))) delete message;
    }
    if (factory) factory->Release();
    closesocket(socket);
    PostMessageW(tasks, runLost, generation, 0);
    CoUninitialize();
}

// ---- events ----

Object* make(Kind kind) {
    auto* object = new Object(kind);
    object->generation = state.generation;
    return object;
}

void closeView();

// Calls on objects of an environment that is gone, or on a closed
// controller, fail as the real runtime's do. As there, a controller whose
// parent window was destroyed is closed, and nothing says so.
bool live(const Object* self) {
    if (self->kind == Environment) return self == state.environment;
    if (!state.closed && state.parent && !IsWindow(state.parent)) closeView();
    return self->generation == state.generation && !state.closed;
}
constexpr HRESULT invalidState = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

void hold(IUnknown* handler) { handler->AddRef(); }

INT64 subscribe(Role role, IUnknown* handler) {
    handler->AddRef();
    state.held.push_back({role, handler, ++state.tokens});
    return state.tokens;
}

void dropHandlers() {
    auto held = std::move(state.held);
    for (Held& each : held) each.handler->Release();
    auto scripts = std::move(state.scripts);
    for (auto& [id, handler] : scripts) handler->Release();
    if (IUnknown* handler = std::exchange(state.suspending, nullptr)) handler->Release();
}

// Calls every handler of a role with one args object; a handler may remove
// itself or close the view meanwhile.
void raise(Role role, Object* args) {
    std::vector<IUnknown*> handlers;
    for (Held& each : state.held)
        if (each.role == role) handlers.push_back(each.handler), each.handler->AddRef();
    for (IUnknown* handler : handlers) {
        slots::invoke(handler, reinterpret_cast<IUnknown*>(state.view), reinterpret_cast<IUnknown*>(args));
        handler->Release();
    }
}

// ---- slots 0-2 ----

bool has(Object* self, REFIID iid) { return slots::interfaceName(self->kind, iid) != nullptr; }

// The environment, controller and view live as long as the process; event
// arguments go with their last reference.
void gone(Object* self) {
    if (self->kind >= NavigationArgs) delete self;
}

void unexpected(Kind, size_t) {}

using Objects = slots::Objects<Object, has, gone, unexpected>;

void releaseObject(Object* object) { Objects::release(object); }

void finishEnvironment(HRESULT result) {
    IUnknown* done = std::exchange(state.environmentDone, nullptr);
    if (!done) return;
    slots::invoke(done, result, SUCCEEDED(result) ? reinterpret_cast<IUnknown*>(state.environment) : nullptr);
    done->Release();
}

void controllerReady();
bool connect();

void onMessage(const wire::Fields& m) {
    const std::string& name = m[0];
    if (name == "controller") {
        controllerReady();
    } else if (name == "ready") {
        finishEnvironment(S_OK);
        if (state.pendingController) controllerReady();  // a browser started again for a new controller
    } else if (name == "refused") {
        OutputDebugStringA(("preview runtime: " + (m.size() > 1 ? m[1] : std::string())).c_str());
        state.lost = true;
        finishEnvironment(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        if (state.pendingController) controllerReady();
    } else if (name == "navigating" && m.size() == 3) {
        Object* args = make(NavigationArgs);
        args->text = wide(m[2]);
        if (!state.closed) raise(NavigationStarting, args);
        // A closed view navigates nowhere.
        send({"decide", m[1], args->cancel || state.closed ? "1" : "0"});
        releaseObject(args);
    } else if (name == "message" && m.size() == 4) {
        if (state.closed) return;
        Object* args = make(MessageArgs);
        args->isString = m[1] == "string";
        args->text = wide(m[2]);
        args->source = wide(m[3]);
        raise(MessageReceived, args);
        releaseObject(args);
    } else if (name == "suspended" && m.size() == 2) {
        IUnknown* handler = std::exchange(state.suspending, nullptr);
        if (!handler) return;
        slots::invoke(handler, S_OK, m[1] == "1" ? TRUE : FALSE);
        handler->Release();
    } else if (name == "done" && m.size() == 3) {
        auto at = state.scripts.find(std::atoi(m[1].c_str()));
        if (at == state.scripts.end()) return;
        IUnknown* handler = at->second;
        state.scripts.erase(at);
        std::wstring json = wide(m[2]);
        slots::invoke(handler, S_OK, json.c_str());
        handler->Release();
    }
}

// The page side ended: as when the browser process of the real runtime exits.
void onLost() {
    bool known = state.lost;
    state.lost = true;
    state.socket = INVALID_SOCKET;  // closed by its reader
    if (state.environmentDone) return finishEnvironment(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    if (state.pendingController) return controllerReady();
    if (known) return;
    if (state.closed) return;
    Object* args = make(FailureArgs);
    raise(ProcessFailed, args);
    releaseObject(args);
    // The view is closed now: a new controller, or a new environment, brings it back.
    state.closed = true;
    dropHandlers();
}

LRESULT CALLBACK tasksProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // What comes from an earlier environment's connection is dropped.
    bool current = static_cast<int>(wParam) == state.generation;
    if (message == runMessage) {
        std::unique_ptr<wire::Fields> fields(reinterpret_cast<wire::Fields*>(lParam));
        if (current) onMessage(*fields);
        return 0;
    }
    if (message == runFrame) {
        std::unique_ptr<Frame> frame(reinterpret_cast<Frame*>(lParam));
        if (!current || state.closed || !state.window) return 0;
        state.frame = std::move(frame);
        InvalidateRect(state.window, nullptr, FALSE);
        if (state.mirror) InvalidateRect(state.mirror, nullptr, FALSE);
        return 0;
    }
    if (message == runLost) {
        if (current) onLost();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// ---- the page's window: drawing and input ----

int modifiers() {
    return state.heldKeys | (GetKeyState(VK_MENU) < 0 ? 1 : 0) | (GetKeyState(VK_CONTROL) < 0 ? 2 : 0) |
           (GetKeyState(VK_LWIN) < 0 ? 4 : 0) | (GetKeyState(VK_SHIFT) < 0 ? 8 : 0);
}

// Keys that reach the browser rather than the page: with the program's
// settings they never get to Chromium, as WebView2 keeps them from its browser.
bool browserKey(WPARAM vk, bool alt) {
    int held = modifiers();
    bool ctrl = held & 2, shift = held & 8;
    alt = alt || (held & 1);
    bool zooming = ctrl && (vk == VK_OEM_PLUS || vk == VK_OEM_MINUS || vk == '0' || vk == VK_ADD || vk == VK_SUBTRACT || vk == VK_NUMPAD0);
    if (zooming) return !state.zoom || !state.browserKeys;
    if (state.browserKeys) return false;
    return vk == VK_F5 || vk == VK_F12 || vk == VK_BROWSER_BACK || vk == VK_BROWSER_FORWARD || (alt && (vk == VK_LEFT || vk == VK_RIGHT)) ||
           (ctrl && (vk == 'R' || vk == 'P' || vk == 'F' || vk == 'S' || (shift && vk == 'I')));
}

// Tracks the modifier keys the page's window sees, also when a test posts them.
void holdKey(WPARAM vk, bool down) {
    int bit = vk == VK_MENU ? 1 : vk == VK_CONTROL ? 2 : vk == VK_SHIFT ? 8 : 0;
    state.heldKeys = down ? state.heldKeys | bit : state.heldKeys & ~bit;
}

int buttons(WPARAM keys) {
    return (keys & MK_LBUTTON ? 1 : 0) | (keys & MK_RBUTTON ? 2 : 0) | (keys & MK_MBUTTON ? 4 : 0);
}

// The page's viewport is the window's client area, so client coordinates are
// page coordinates.
POINT toPage(LPARAM lParam) {
    POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    return p;
}

void mouse(const char* type, LPARAM lParam, const char* button, WPARAM keys, int clicks) {
    POINT p = toPage(lParam);
    send({"mouse", type, number(p.x), number(p.y), button, number(buttons(keys)), number(clicks), number(modifiers())});
}

// DOM key and code names for the keys that type no character.
struct KeyName {
    UINT vk;
    const char* key;
    const char* code;
};
constexpr KeyName keyNames[] = {
    {VK_BACK, "Backspace", "Backspace"}, {VK_TAB, "Tab", "Tab"},         {VK_RETURN, "Enter", "Enter"},
    {VK_ESCAPE, "Escape", "Escape"},     {VK_SPACE, " ", "Space"},       {VK_PRIOR, "PageUp", "PageUp"},
    {VK_NEXT, "PageDown", "PageDown"},   {VK_END, "End", "End"},         {VK_HOME, "Home", "Home"},
    {VK_LEFT, "ArrowLeft", "ArrowLeft"}, {VK_UP, "ArrowUp", "ArrowUp"},  {VK_RIGHT, "ArrowRight", "ArrowRight"},
    {VK_DOWN, "ArrowDown", "ArrowDown"}, {VK_INSERT, "Insert", "Insert"}, {VK_DELETE, "Delete", "Delete"},
    {VK_SHIFT, "Shift", "ShiftLeft"},    {VK_CONTROL, "Control", "ControlLeft"}, {VK_MENU, "Alt", "AltLeft"},
};

void key(bool down, WPARAM vk, LPARAM lParam, const std::wstring& typed) {
    std::string name, code;
    for (const KeyName& each : keyNames)
        if (each.vk == vk) name = each.key, code = each.code;
    if (vk >= 'A' && vk <= 'Z') code.assign("Key").push_back(static_cast<char>(vk));
    if (vk >= '0' && vk <= '9') code.assign("Digit").push_back(static_cast<char>(vk));
    if (vk >= VK_F1 && vk <= VK_F12) {
        char f[4];
        snprintf(f, sizeof f, "F%d", static_cast<int>(vk - VK_F1 + 1));
        name = code = f;
    }
    // Control characters (Backspace, Tab, Escape, Ctrl+letter) type nothing.
    std::string text = !typed.empty() && (typed[0] >= 0x20 || typed[0] == L'\r') ? utf8(typed) : "";
    if (name.empty()) name = text.empty() ? "Unidentified" : text;
    if (vk >= 'A' && vk <= 'Z' && text.empty()) name.assign(1, static_cast<char>(vk - 'A' + 'a'));
    const char* type = !down ? "keyUp" : text.empty() ? "rawKeyDown" : "keyDown";
    send({"key", type, number(static_cast<long long>(vk)), name, code, text, number(modifiers()), (lParam & 0x40000000) && down ? "1" : "0"});
}

void paint(HWND window);
void showMirror();

void paint(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    if (window == state.mirror && !IsWindowVisible(state.window)) {
        // The garden hidden from outside: what the desktop shows without it.
        FillRect(dc, &client, GetSysColorBrush(COLOR_DESKTOP));
    } else if (Frame* frame = state.frame.get()) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = frame->width;
        info.bmiHeader.biHeight = -frame->height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        SetStretchBltMode(dc, COLORONCOLOR);
        StretchDIBits(dc, 0, 0, client.right, client.bottom, 0, 0, frame->width, frame->height, frame->pixels.data(), &info,
                      DIB_RGB_COLORS, SRCCOPY);
    } else {
        // Until the first frame, the page's own dark ground.
        HBRUSH ground = CreateSolidBrush(RGB(0x1d, 0x24, 0x1c));
        FillRect(dc, &client, ground);
        DeleteObject(ground);
    }
    EndPaint(window, &ps);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: paint(window); return 0;
    case WM_SETFOCUS: send({"focus", "1"}); return 0;
    case WM_KILLFOCUS: state.heldKeys = 0, send({"focus", "0"}); return 0;
    case WM_MOUSEMOVE: {
        POINT p = toPage(lParam);
        if (p.x == state.lastMouse.x && p.y == state.lastMouse.y) return 0;
        state.lastMouse = p;
        const char* button = wParam & MK_LBUTTON ? "left" : wParam & MK_RBUTTON ? "right" : wParam & MK_MBUTTON ? "middle" : "none";
        mouse("mouseMoved", lParam, button, wParam, 0);
        return 0;
    }
    case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK: case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK: case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK: {
        SetCapture(window);
        if (GetFocus() != window) SetFocus(window);
        bool twice = message == WM_LBUTTONDBLCLK || message == WM_RBUTTONDBLCLK || message == WM_MBUTTONDBLCLK;
        const char* button = message <= WM_LBUTTONDBLCLK ? "left" : message <= WM_RBUTTONDBLCLK ? "right" : "middle";
        mouse("mousePressed", lParam, button, wParam, twice ? 2 : 1);
        return 0;
    }
    case WM_LBUTTONUP: case WM_RBUTTONUP: case WM_MBUTTONUP: {
        if (!(wParam & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON))) ReleaseCapture();
        const char* button = message == WM_LBUTTONUP ? "left" : message == WM_RBUTTONUP ? "right" : "middle";
        mouse("mouseReleased", lParam, button, wParam, 1);
        return 0;
    }
    case WM_MOUSEWHEEL: case WM_MOUSEHWHEEL: {
        // Ctrl+wheel zooms in a browser.
        if ((GET_KEYSTATE_WPARAM(wParam) & MK_CONTROL || modifiers() & 2) && (!state.zoom || !state.browserKeys)) return 0;
        POINT p{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        ScreenToClient(window, &p);
        int delta = GET_WHEEL_DELTA_WPARAM(wParam);
        // One notch of 120 scrolls 100 pixels; up on the wheel is up on the page.
        int dx = message == WM_MOUSEHWHEEL ? delta * 100 / 120 : 0;
        int dy = message == WM_MOUSEWHEEL ? -delta * 100 / 120 : 0;
        send({"wheel", number(p.x), number(p.y), number(dx), number(dy), number(modifiers())});
        return 0;
    }
    case WM_KEYDOWN: case WM_SYSKEYDOWN: {
        if (wParam == VK_PACKET) break;  // its character follows as WM_CHAR
        // The loop's TranslateMessage has already queued the character this key
        // types: it goes with the key, as one keyDown.
        std::wstring typed;
        MSG next;
        while (PeekMessageW(&next, window, WM_CHAR, WM_CHAR, PM_REMOVE)) typed += static_cast<wchar_t>(next.wParam);
        holdKey(wParam, true);
        bool alt = lParam & (1 << 29);
        // Alt+F4 is the window's close request, as on Windows, never the page's.
        if (wParam == VK_F4 && (alt || (modifiers() & 1))) return PostMessageW(GetParent(window), WM_CLOSE, 0, 0), 0;
        if (!browserKey(wParam, alt)) key(true, wParam, lParam, typed);
        if (message == WM_SYSKEYDOWN) return 0;
        break;
    }
    case WM_KEYUP: case WM_SYSKEYUP:
        if (wParam == VK_PACKET) break;
        if (!browserKey(wParam, lParam & (1 << 29)) && !(wParam == VK_F4 && (lParam & (1 << 29) || modifiers() & 1)))
            key(false, wParam, lParam, L"");
        holdKey(wParam, false);
        if (message == WM_SYSKEYUP) return 0;
        break;
    case WM_CHAR: {
        // Only characters that came without a key of ours: input methods and
        // injected text.
        wchar_t c = static_cast<wchar_t>(wParam);
        if (c >= 0x20) send({"text", utf8(std::wstring(1, c))});
        return 0;
    }
    case WM_IME_COMPOSITION:
        if (lParam & GCS_RESULTSTR) {
            HIMC context = ImmGetContext(window);
            LONG bytes = ImmGetCompositionStringW(context, GCS_RESULTSTR, nullptr, 0);
            std::wstring result(bytes > 0 ? static_cast<size_t>(bytes) / sizeof(wchar_t) : 0, L'\0');
            if (bytes > 0) ImmGetCompositionStringW(context, GCS_RESULTSTR, result.data(), static_cast<DWORD>(bytes));
            ImmReleaseContext(window, context);
            if (!result.empty()) send({"text", utf8(result)});
            return 0;  // otherwise the same text would come again as WM_IME_CHAR
        }
        break;
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT) {
            SetCursor(LoadCursorW(nullptr, IDC_ARROW));
            return TRUE;
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK mirrorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ERASEBKGND) return 1;
    if (message == WM_PAINT) return paint(window), 0;
    if (message == WM_NCHITTEST) return HTTRANSPARENT;
    return DefWindowProcW(window, message, wParam, lParam);
}

// Tells the mirror when the garden is hidden or shown by anyone, as a
// desktop check does; a repaint only, as moving the mirror restacks it.
LRESULT CALLBACK watchGarden(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    LRESULT result = DefSubclassProc(window, message, wParam, lParam);
    if (message == WM_WINDOWPOSCHANGED && (reinterpret_cast<WINDOWPOS*>(lParam)->flags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW)) && state.mirror)
        InvalidateRect(state.mirror, nullptr, FALSE);
    return result;
}

void openWindow(HWND parent) {
    SetWindowSubclass(parent, watchGarden, 1, 0);
    WNDCLASSW type{};
    type.style = CS_DBLCLKS;
    type.lpfnWndProc = windowProc;
    type.hInstance = state.module;
    type.lpszClassName = L"PreviewWebView2Page";
    RegisterClassW(&type);
    state.window = CreateWindowExW(0, type.lpszClassName, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, 0, 0, parent,
                                   nullptr, state.module, nullptr);
    type.style = 0;
    type.lpfnWndProc = mirrorProc;
    type.lpszClassName = L"PreviewWebView2Mirror";
    RegisterClassW(&type);
    state.mirror = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT, type.lpszClassName, L"",
                                   WS_POPUP | WS_DISABLED, 0, 0, 0, 0, nullptr, nullptr, state.module, nullptr);
    // Shown once, now, out of sight at the bottom, before the program looks
    // for its place on the wall; later only moved. Shown later, it would
    // land on top.
    SetWindowPos(state.mirror, HWND_BOTTOM, -1, -1, 1, 1, SWP_NOACTIVATE | SWP_SHOWWINDOW);
}

// A copy of the page under the shell's see-through worker, where Wine drops
// what the page's own window draws (docs/wine.md).
void showMirror() {
    HWND root = state.window ? GetAncestor(state.window, GA_ROOT) : nullptr;
    DWORD owner = 0;
    if (root) GetWindowThreadProcessId(root, &owner);
    RECT at{-1, -1, 0, 0};
    if (root && owner != GetCurrentProcessId() && IsWindowVisible(state.window)) GetWindowRect(state.window, &at);
    // Moved only when it must: every restacking is a chance for the
    // program's walk over the shell's top-level windows to miss one.
    RECT was;
    GetWindowRect(state.mirror, &was);
    if (EqualRect(&was, &at)) return;
    SetWindowPos(state.mirror, HWND_BOTTOM, at.left, at.top, at.right - at.left, at.bottom - at.top, SWP_NOACTIVATE);
    InvalidateRect(state.mirror, nullptr, FALSE);
}

// ---- ICoreWebView2Environment ----

HRESULT STDMETHODCALLTYPE createController(Object* self, HWND parent, IUnknown* handler) {
    if (!handler) return E_INVALIDARG;
    if (!IsWindow(parent)) return HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE);
    if (!live(self) || state.pendingController) return invalidState;
    // The browser went away or its view was closed: a new one, as the real
    // runtime starts a new browser process.
    bool again = state.lost || state.closed || state.window;
    if (again && !connect()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    hold(handler);
    // Made later, from the loop, as the real runtime does.
    state.pendingParent = parent;
    state.pendingController = handler;
    if (!again) PostMessageW(state.tasks, runMessage, state.generation, reinterpret_cast<LPARAM>(new wire::Fields{"controller"}));
    return S_OK;
}

// ---- ICoreWebView2Controller ----

HRESULT STDMETHODCALLTYPE putBounds(Object* self, RECT bounds) {
    if (!live(self)) return invalidState;
    bool resized = bounds.right - bounds.left != state.bounds.right - state.bounds.left ||
                   bounds.bottom - bounds.top != state.bounds.bottom - state.bounds.top;
    state.bounds = bounds;
    SetWindowPos(state.window, nullptr, bounds.left, bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (resized) send({"bounds", number(bounds.right - bounds.left), number(bounds.bottom - bounds.top)});
    showMirror();
    return S_OK;
}

// Hidden, the page is not drawn here and its Chromium is told so; shown, it
// runs again if it was frozen.
HRESULT STDMETHODCALLTYPE putVisible(Object* self, BOOL visible) {
    if (!live(self)) return invalidState;
    ShowWindow(state.window, visible ? SW_SHOWNA : SW_HIDE);
    send({"visible", visible ? "1" : "0"});
    showMirror();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE notifyPosition(Object* self) {
    if (!live(self)) return invalidState;
    showMirror();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE moveFocus(Object* self, int) {
    if (!live(self)) return invalidState;
    SetFocus(state.window);
    return S_OK;
}

// Lets go of the page's windows and its connection. The reader closes the
// socket when it stops, and a new socket may then be given the same number at
// once: the old one is forgotten here, never shut down later.
void letGo() {
    if (state.window) RemoveWindowSubclass(GetParent(state.window), watchGarden, 1);
    if (state.window) DestroyWindow(state.window);
    if (state.mirror) DestroyWindow(state.mirror);
    state.window = state.mirror = nullptr;
    state.frame.reset();
    if (state.socket != INVALID_SOCKET) shutdown(state.socket, SD_BOTH);
    state.socket = INVALID_SOCKET;
}

// Ends the page side's Chromium; the environment stays, and a new
// controller brings a new one.
void closeView() {
    state.closed = true;
    dropHandlers();
    letGo();
}

HRESULT STDMETHODCALLTYPE closeController(Object* self) {
    if (!live(self)) return invalidState;
    closeView();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getView(Object* self, Object** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!live(self)) return invalidState;
    InterlockedIncrement(&state.view->refs);
    *out = state.view;
    return S_OK;
}

// ---- ICoreWebView2 to ICoreWebView2_3 ----

HRESULT STDMETHODCALLTYPE navigate(Object* self, const wchar_t* uri) {
    if (!uri) return E_INVALIDARG;
    if (!live(self)) return invalidState;
    send({"navigate", utf8(uri)});
    return S_OK;
}

template <Role R>
HRESULT STDMETHODCALLTYPE addHandler(Object* self, IUnknown* handler, INT64* token) {
    if (!handler || !token) return E_INVALIDARG;
    if (!live(self)) return invalidState;
    *token = subscribe(R, handler);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE executeScript(Object* self, const wchar_t* script, IUnknown* handler) {
    if (!script) return E_INVALIDARG;
    if (!live(self)) return invalidState;
    int id = 0;
    if (handler) {
        id = ++state.nextScript;
        hold(handler);
        state.scripts[id] = handler;
    }
    send({"script", number(id), utf8(script)});
    return S_OK;
}

// The page is frozen and its browser told that memory is short; the page
// side says whether it could.
HRESULT STDMETHODCALLTYPE trySuspend(Object* self, IUnknown* handler) {
    if (!handler) return E_INVALIDARG;
    if (!live(self) || state.suspending) return invalidState;
    hold(handler);
    state.suspending = handler;
    send({"suspend"});
    return S_OK;
}

// To the page's chrome.webview "message" listeners.
HRESULT STDMETHODCALLTYPE postString(Object* self, const wchar_t* text) {
    if (!text) return E_INVALIDARG;
    if (!live(self)) return invalidState;
    send({"post", utf8(text)});
    return S_OK;
}

HRESULT STDMETHODCALLTYPE resume(Object* self) {
    if (!live(self)) return invalidState;
    send({"resume"});
    return S_OK;
}

// No update ever comes: the handler is never called, so it is not kept.
HRESULT STDMETHODCALLTYPE addNewVersion(Object* self, IUnknown* handler, INT64* token) {
    if (!handler || !token) return E_INVALIDARG;
    if (!live(self)) return invalidState;
    *token = ++state.tokens;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE mapFolder(Object* self, const wchar_t* host, const wchar_t* folder, int) {
    if (!host || !folder) return E_INVALIDARG;
    if (!live(self)) return invalidState;
    send({"map", utf8(host), unixPath(folder)});
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getSettings(Object* self, Object** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!live(self)) return invalidState;
    if (!state.settings) state.settings = make(Settings);
    InterlockedIncrement(&state.settings->refs);
    *out = state.settings;
    return S_OK;
}

// ---- settings: what can be applied is, the rest is taken and ignored ----

HRESULT STDMETHODCALLTYPE acceptSetting(Object*, LONG_PTR) { return S_OK; }
HRESULT STDMETHODCALLTYPE putZoom(Object*, BOOL on) { return state.zoom = on, S_OK; }
HRESULT STDMETHODCALLTYPE putBrowserKeys(Object*, BOOL on) { return state.browserKeys = on, S_OK; }

// ---- event arguments ----

HRESULT STDMETHODCALLTYPE getUri(Object* self, wchar_t** out) {
    if (!out) return E_POINTER;
    *out = slots::copy(self->text);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE putCancel(Object* self, BOOL cancel) {
    self->cancel = cancel;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getSource(Object* self, wchar_t** out) {
    if (!out) return E_POINTER;
    *out = slots::copy(self->source);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getJson(Object* self, wchar_t** out) {
    if (!out) return E_POINTER;
    *out = slots::copy(self->isString ? slots::quoted(self->text) : self->text);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE tryGetString(Object* self, wchar_t** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!self->isString) return E_INVALIDARG;
    *out = slots::copy(self->text);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE getFailedKind(Object*, int* kind) {
    if (!kind) return E_POINTER;
    *kind = 0;  // the browser process exited
    return S_OK;
}

// Nothing the program should not call is recorded here: it fails with E_NOTIMPL.
void buildVtables() {
    Objects::build(vtables, {.createController = createController, .addNewVersion = addNewVersion, .putVisible = putVisible,
                             .notifyPosition = notifyPosition, .putBounds = putBounds, .moveFocus = moveFocus,
                             .close = closeController, .getView = getView, .getSettings = getSettings, .navigate = navigate,
                             .addNavigationStarting = addHandler<NavigationStarting>, .addProcessFailed = addHandler<ProcessFailed>,
                             .executeScript = executeScript, .postString = postString, .addWebMessageReceived = addHandler<MessageReceived>,
                             .addNewWindowRequested = addHandler<NewWindow>, .trySuspend = trySuspend, .resume = resume,
                             .mapFolder = mapFolder, .getUri = getUri,
                             .putCancel = putCancel, .getSource = getSource, .getJson = getJson, .tryGetString = tryGetString,
                             .getFailureKind = getFailedKind});
    for (size_t s = 4; s < slots::settingsSlots; s += 2) vtables[Settings][s] = slot(acceptSetting);
    vtables[Settings][18] = slot(putZoom);
    vtables[Settings][24] = slot(putBrowserKeys);
}

// The controller completion, from the loop.
void controllerReady() {
    HWND parent = std::exchange(state.pendingParent, nullptr);
    IUnknown* handler = std::exchange(state.pendingController, nullptr);
    if (!handler) return;
    if (state.lost || !IsWindow(parent)) {
        slots::invoke(handler, invalidState, static_cast<IUnknown*>(nullptr));
    } else {
        openWindow(parent);
        state.parent = parent;
        slots::invoke(handler, S_OK, reinterpret_cast<IUnknown*>(state.controller));
    }
    handler->Release();
}

// A new connection to the page side, with a browser of its own: what the
// old one left is let go. False when there is no page side to talk to.
bool connect() {
    letGo();
    SOCKET socket = wire::connectToPreview();
    if (socket == INVALID_SOCKET) return false;
    state.socket = socket;
    dropHandlers();
    for (IUnknown** pending : {&state.environmentDone, &state.pendingController})
        if (IUnknown* handler = std::exchange(*pending, nullptr)) handler->Release();
    state.parent = nullptr;
    state.bounds = {};
    state.lost = state.closed = false;
    ++state.generation;
    state.controller = make(Controller);
    state.view = make(View);
    send({"hello", state.hello[0], state.hello[1]});
    std::thread(readLoop, socket, state.tasks, state.generation).detach();
    return true;
}

}  // namespace

extern "C" HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(const wchar_t* browserFolder, const wchar_t* userDataFolder, void*,
                                                                         IUnknown* handler) {
    if (!handler) return E_INVALIDARG;
    if (!state.tasks) state.tasks = slots::messageWindow(state.module, L"PreviewWebView2Tasks", tasksProc);

    std::wstring folder = userDataFolder ? userDataFolder : L"";
    if (folder.empty()) {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        folder = std::wstring(exe) + L".WebView2";
    }
    CreateDirectoryW(folder.c_str(), nullptr);
    // A browser folder chosen by the program or, as with the real runtime, by
    // WEBVIEW2_BROWSER_EXECUTABLE_FOLDER holds the Chromium to use.
    std::wstring browser = slots::variable(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER");
    if (browserFolder && *browserFolder) browser = browserFolder;
    state.hello[0] = unixPath(folder);
    state.hello[1] = browser.empty() ? "" : unixPath(browser) + "/chromium";
    // No page side to talk to is what a machine without the runtime looks like.
    if (!connect()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    state.environment = make(Environment);
    handler->AddRef();
    state.environmentDone = handler;
    return S_OK;
}

// Marks this DLL as one that must never be shipped.
extern "C" void WINAPI NotForRelease() {}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) slots::loaded(instance, state.module, buildVtables);
    return TRUE;
}
