// What both of our runtimes (the stand-in here and the preview in
// tools/preview-webview2/) share: objects whose vtables are plain arrays
// filled by published slot number, never through the program's own interface
// declarations, so that a wrong slot in the program's header calls the wrong
// function instead of agreeing with itself; handlers called the same way; and
// the strings that cross the interface.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace slots {

const GUID iidEnvironment{0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
const GUID iidController{0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}};
const GUID iidView{0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};
const GUID iidView2{0x9e8f0cf8, 0xe670, 0x4b5e, {0xb2, 0xbc, 0x73, 0xe0, 0x61, 0xe3, 0x18, 0x4c}};
const GUID iidView3{0xa0d6df20, 0x3b92, 0x416d, {0xaa, 0x0c, 0x43, 0x7a, 0x9c, 0x72, 0x78, 0x57}};
const GUID iidNavigationArgs{0x5b495469, 0xe119, 0x438a, {0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49}};
const GUID iidMessageArgs{0x0f99a40c, 0xe962, 0x4207, {0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49}};
const GUID iidProcessFailedArgs{0x8155a9a4, 0x1474, 0x4a86, {0x8c, 0xae, 0x15, 0x1b, 0x0f, 0xa6, 0xb8, 0xca}};
const GUID iidNewWindowArgs{0x34acb11c, 0xfc37, 0x4418, {0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9}};
// ICoreWebView2Settings to ICoreWebView2Settings6, each extending the one before.
const GUID iidSettings[6] = {
    {0xe562e4f0, 0xd7fa, 0x43ac, {0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00}},
    {0xee9a0f68, 0xf46c, 0x4e32, {0xac, 0x23, 0xef, 0x8c, 0xac, 0x22, 0x4d, 0x2a}},
    {0xfdb5ab74, 0xaf33, 0x4854, {0x84, 0xf0, 0x0a, 0x63, 0x1d, 0xeb, 0x5e, 0xba}},
    {0xcb56846c, 0x4168, 0x4d53, {0xb0, 0x4f, 0x03, 0xb6, 0xd6, 0x79, 0x6f, 0xf2}},
    {0x183e7052, 0x1d03, 0x43a0, {0xab, 0x99, 0x98, 0xe0, 0x43, 0xb6, 0x6b, 0x39}},
    {0x11cb3acd, 0x9bc8, 0x43b8, {0x83, 0xbf, 0xf4, 0x07, 0x53, 0x71, 0x4f, 0x87}},
};
// The settings' properties in slot order: slot 3 + 2i gets property i, the slot after puts it.
constexpr const char* settingNames[] = {
    "IsScriptEnabled", "IsWebMessageEnabled", "AreDefaultScriptDialogsEnabled", "IsStatusBarEnabled", "AreDevToolsEnabled",
    "AreDefaultContextMenusEnabled", "AreHostObjectsAllowed", "IsZoomControlEnabled", "IsBuiltInErrorPageEnabled", "UserAgent",
    "AreBrowserAcceleratorKeysEnabled", "IsPasswordAutosaveEnabled", "IsGeneralAutofillEnabled", "IsPinchZoomEnabled",
    "IsSwipeNavigationEnabled",
};
constexpr size_t settingsSlots = 33;

// The kinds of object our runtimes make, each with a vtable of its own.
enum Kind { Environment, Controller, View, NavigationArgs, MessageArgs, FailureArgs, Settings, NewWindowArgs, kinds };
constexpr size_t slotCount[kinds] = {8, 26, 73, 10, 6, 4, settingsSlots, 11};
using Vtables = void* [kinds][73];

struct Interface {
    Kind kind;
    const char* name;
    GUID iid;
};
const Interface interfaces[] = {
    {Environment, "ICoreWebView2Environment", iidEnvironment},
    {Controller, "ICoreWebView2Controller", iidController},
    {View, "ICoreWebView2_3", iidView3},
    {View, "ICoreWebView2_2", iidView2},
    {View, "ICoreWebView2", iidView},
    {NavigationArgs, "ICoreWebView2NavigationStartingEventArgs", iidNavigationArgs},
    {MessageArgs, "ICoreWebView2WebMessageReceivedEventArgs", iidMessageArgs},
    {FailureArgs, "ICoreWebView2ProcessFailedEventArgs", iidProcessFailedArgs},
    {NewWindowArgs, "ICoreWebView2NewWindowRequestedEventArgs", iidNewWindowArgs},
    {Settings, "ICoreWebView2Settings", iidSettings[0]},
    {Settings, "ICoreWebView2Settings2", iidSettings[1]},
    {Settings, "ICoreWebView2Settings3", iidSettings[2]},
    {Settings, "ICoreWebView2Settings4", iidSettings[3]},
    {Settings, "ICoreWebView2Settings5", iidSettings[4]},
    {Settings, "ICoreWebView2Settings6", iidSettings[5]},
};

// The name of the interface that iid asks an object of this kind for, or null
// if it has none such.
inline const char* interfaceName(Kind kind, REFIID iid) {
    const char* name = IsEqualIID(iid, IID_IUnknown) ? "IUnknown" : nullptr;
    for (const Interface& known : interfaces)
        if (known.kind == kind && IsEqualIID(iid, known.iid)) name = known.name;
    return name;
}

template <class F>
void* slot(F function) {
    return reinterpret_cast<void*>(function);
}

// Fills slots 0 to N-1 of a vtable with stubFor(std::integral_constant<size_t, S>)
// for each slot number S, so that a stub can tell which slot was called.
template <size_t N, class Stub>
void fill(void** table, Stub stubFor) {
    [&]<size_t... S>(std::index_sequence<S...>) {
        ((table[S] = stubFor(std::integral_constant<size_t, S>{})), ...);
    }(std::make_index_sequence<N>{});
}

// The methods a runtime answers, each put at its published slot by
// Objects::build; one left null is answered by the stub.
template <class Object>
struct Methods {
    template <class... A>
    using Method = HRESULT(STDMETHODCALLTYPE*)(Object*, A...);
    // ICoreWebView2Environment
    Method<HWND, IUnknown*> createController{};
    Method<IUnknown*, INT64*> addNewVersion{};
    // ICoreWebView2Controller
    Method<BOOL> putVisible{};
    Method<> notifyPosition{};
    Method<RECT> putBounds{};
    Method<int> moveFocus{};
    Method<> close{};
    Method<Object**> getView{};
    // ICoreWebView2 to ICoreWebView2_3
    Method<Object**> getSettings{};
    Method<const wchar_t*> navigate{};
    Method<IUnknown*, INT64*> addNavigationStarting{}, addProcessFailed{};
    Method<const wchar_t*, IUnknown*> executeScript{};
    Method<> reload{};
    Method<const wchar_t*> postString{};
    Method<IUnknown*, INT64*> addWebMessageReceived{}, addNewWindowRequested{};
    Method<IUnknown*> trySuspend{};
    Method<> resume{};
    Method<const wchar_t*, const wchar_t*, int> mapFolder{};
    // ICoreWebView2NavigationStartingEventArgs
    Method<wchar_t**> getUri{};
    Method<BOOL> putCancel{};
    // ICoreWebView2WebMessageReceivedEventArgs
    Method<wchar_t**> getSource{}, getJson{}, tryGetString{};
    // ICoreWebView2ProcessFailedEventArgs
    Method<int*> getFailureKind{};
    // ICoreWebView2NewWindowRequestedEventArgs
    Method<wchar_t**> getNewWindowUri{};
    Method<void*> putNewWindow{};
    Method<BOOL> putHandled{};
};

// Slots 0-2 of a runtime's objects, a stub for each slot it does not answer,
// and the vtables that hold them. An Object has vtbl, kind and refs, the
// program's references. What differs between runtimes comes in as functions:
// has(self, iid), whether the object answers iid (it may record the question);
// gone(self), when the last reference goes; unexpected(kind, slot), before a
// call to a slot the runtime does not answer fails with E_NOTIMPL.
template <class Object, auto has, auto gone, auto unexpected>
struct Objects {
    static HRESULT STDMETHODCALLTYPE queryInterface(Object* self, REFIID iid, void** out) {
        bool known = has(self, iid);
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!known) return E_NOINTERFACE;
        InterlockedIncrement(&self->refs);
        *out = self;
        return S_OK;
    }

    static ULONG STDMETHODCALLTYPE addRef(Object* self) { return static_cast<ULONG>(InterlockedIncrement(&self->refs)); }

    static ULONG STDMETHODCALLTYPE release(Object* self) {
        LONG left = InterlockedDecrement(&self->refs);
        if (left == 0) gone(self);
        return static_cast<ULONG>(left);
    }

    template <Kind K, size_t S>
    static HRESULT STDMETHODCALLTYPE stub(Object*) {
        unexpected(K, S);
        return E_NOTIMPL;
    }

    template <Kind K>
    static void stubs(void** table) {
        fill<slotCount[K]>(table, [](auto s) { return slot(&stub<K, decltype(s)::value>); });
        table[0] = slot(queryInterface);
        table[1] = slot(addRef);
        table[2] = slot(release);
    }

    // Settings are left to the runtime: it puts its own at slots 4 to 32.
    static void build(Vtables& vtables, const Methods<Object>& m) {
        [&]<size_t... K>(std::index_sequence<K...>) { (stubs<Kind(K)>(vtables[K]), ...); }(std::make_index_sequence<kinds>{});
        auto put = [&](Kind kind, size_t at, auto method) {
            if (method) vtables[kind][at] = slot(method);
        };
        put(Environment, 3, m.createController);
        put(Environment, 6, m.addNewVersion);
        put(Controller, 4, m.putVisible);
        put(Controller, 6, m.putBounds);
        put(Controller, 12, m.moveFocus);
        put(Controller, 23, m.notifyPosition);
        put(Controller, 24, m.close);
        put(Controller, 25, m.getView);
        put(View, 3, m.getSettings);
        put(View, 5, m.navigate);
        put(View, 7, m.addNavigationStarting);
        put(View, 25, m.addProcessFailed);
        put(View, 29, m.executeScript);
        put(View, 31, m.reload);
        put(View, 33, m.postString);
        put(View, 34, m.addWebMessageReceived);
        put(View, 44, m.addNewWindowRequested);
        put(View, 68, m.trySuspend);
        put(View, 69, m.resume);
        put(View, 71, m.mapFolder);
        put(NavigationArgs, 3, m.getUri);
        put(NavigationArgs, 8, m.putCancel);
        put(MessageArgs, 3, m.getSource);
        put(MessageArgs, 4, m.getJson);
        put(MessageArgs, 5, m.tryGetString);
        put(FailureArgs, 3, m.getFailureKind);
        put(NewWindowArgs, 3, m.getNewWindowUri);
        put(NewWindowArgs, 4, m.putNewWindow);
        put(NewWindowArgs, 6, m.putHandled);
    }
};

// What both DLLs do when loaded: keep their module for the window class they
// register, and fill their vtables before any object can be made.
inline void loaded(HINSTANCE instance, HINSTANCE& module, void (*buildVtables)()) {
    module = instance;
    buildVtables();
    DisableThreadLibraryCalls(instance);
}

// A message-only window on the calling thread: what is posted to it arrives
// through the program's message loop, as the real runtime's completions and
// events do.
inline HWND messageWindow(HINSTANCE module, const wchar_t* name, WNDPROC proc) {
    WNDCLASSW type{};
    type.lpfnWndProc = proc;
    type.hInstance = module;
    type.lpszClassName = name;
    RegisterClassW(&type);
    return CreateWindowExW(0, name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
}

// Invoke is slot 3 of every handler.
template <class A, class B>
HRESULT invoke(IUnknown* handler, A a, B b) {
    using Invoke = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, A, B);
    handler->AddRef();  // a handler that closes the view must not vanish mid-call
    HRESULT result = reinterpret_cast<Invoke>((*reinterpret_cast<void***>(handler))[3])(handler, a, b);
    handler->Release();
    return result;
}

inline std::string utf8(std::wstring_view text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

inline std::wstring wide(std::string_view text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

inline std::string hex(const void* handle) {
    char digits[20];
    auto end = std::to_chars(digits, digits + sizeof digits, reinterpret_cast<uintptr_t>(handle), 16).ptr;
    return "0x" + std::string(digits, end);
}

inline std::wstring variable(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return value;
}

// A web message posted as a string, as JSON.
inline std::wstring quoted(std::wstring_view text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') out += L'\\';
        if (c < 0x20) out += L"\\u00", out += L"0123456789abcdef"[c >> 4], out += L"0123456789abcdef"[c & 15];
        else out += c;
    }
    return out + L"\"";
}

// A string handed out to the program, which frees it with CoTaskMemFree.
inline wchar_t* copy(std::wstring_view text) {
    auto* out = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (out) text.copy(out, text.size()), out[text.size()] = L'\0';
    return out;
}

}  // namespace slots
