// The part of the WebView2 runtime's COM interface that this program uses.
//
// The runtime is reached only through these vtables, so every interface lists
// each slot from 0 up to the last one the program calls, in the published
// order and with the published parameter types; unused slots stay declared so
// that the slots behind them keep their place. No virtual destructor, no
// overloads: either would shift the vtable.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <oaidl.h>
#include <eventtoken.h>

enum COREWEBVIEW2_MOVE_FOCUS_REASON : int {
    COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC = 0,
    COREWEBVIEW2_MOVE_FOCUS_REASON_NEXT = 1,
    COREWEBVIEW2_MOVE_FOCUS_REASON_PREVIOUS = 2,
};

enum COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND : int {
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY = 0,
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW = 1,
    COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_DENY_CORS = 2,
};

enum COREWEBVIEW2_PROCESS_FAILED_KIND : int {
    COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED = 0,
    COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED = 1,
    COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_UNRESPONSIVE = 2,
};

// Only passed through slots the program never calls.
enum COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT : int;
enum COREWEBVIEW2_WEB_RESOURCE_CONTEXT : int;

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;
struct ICoreWebView2EnvironmentOptions;
struct ICoreWebView2NavigationStartingEventArgs;
struct ICoreWebView2NewWindowRequestedEventArgs;
struct ICoreWebView2ProcessFailedEventArgs;
struct ICoreWebView2WebMessageReceivedEventArgs;

struct ICoreWebView2AcceleratorKeyPressedEventHandler;
struct ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler;
struct ICoreWebView2CallDevToolsProtocolMethodCompletedHandler;
struct ICoreWebView2CapturePreviewCompletedHandler;
struct ICoreWebView2ContainsFullScreenElementChangedEventHandler;
struct ICoreWebView2ContentLoadingEventHandler;
struct ICoreWebView2CookieManager;
struct ICoreWebView2DevToolsProtocolEventReceiver;
struct ICoreWebView2DocumentTitleChangedEventHandler;
struct ICoreWebView2DOMContentLoadedEventHandler;
struct ICoreWebView2ExecuteScriptCompletedHandler;
struct ICoreWebView2FocusChangedEventHandler;
struct ICoreWebView2HistoryChangedEventHandler;
struct ICoreWebView2HttpRequestHeaders;
struct ICoreWebView2MoveFocusRequestedEventHandler;
struct ICoreWebView2NavigationCompletedEventHandler;
struct ICoreWebView2NewBrowserVersionAvailableEventHandler;
struct ICoreWebView2PermissionRequestedEventHandler;
struct ICoreWebView2ScriptDialogOpeningEventHandler;
struct ICoreWebView2Settings;
struct ICoreWebView2SourceChangedEventHandler;
struct ICoreWebView2TrySuspendCompletedHandler;
struct ICoreWebView2WebResourceRequest;
struct ICoreWebView2WebResourceRequestedEventHandler;
struct ICoreWebView2WebResourceResponse;
struct ICoreWebView2WebResourceResponseReceivedEventHandler;
struct ICoreWebView2WindowCloseRequestedEventHandler;
struct ICoreWebView2ZoomFactorChangedEventHandler;

// The handlers the program implements: IUnknown and one Invoke.
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : IUnknown {
    static constexpr IID iid{0x4e8a3389, 0xc9d8, 0x4bd2, {0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d}};
    STDMETHOD(Invoke)(HRESULT result, ICoreWebView2Environment* environment) PURE;
};

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : IUnknown {
    static constexpr IID iid{0x6c4819f3, 0xc9b7, 0x4260, {0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c}};
    STDMETHOD(Invoke)(HRESULT result, ICoreWebView2Controller* controller) PURE;
};

struct ICoreWebView2NavigationStartingEventHandler : IUnknown {
    static constexpr IID iid{0x9adbe429, 0xf36d, 0x432b, {0x9d, 0xdc, 0xf8, 0x88, 0x1f, 0xbd, 0x76, 0xe3}};
    STDMETHOD(Invoke)(ICoreWebView2* sender, ICoreWebView2NavigationStartingEventArgs* args) PURE;
};

struct ICoreWebView2WebMessageReceivedEventHandler : IUnknown {
    static constexpr IID iid{0x57213f19, 0x00e6, 0x49fa, {0x8e, 0x07, 0x89, 0x8e, 0xa0, 0x1e, 0xcb, 0xd2}};
    STDMETHOD(Invoke)(ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args) PURE;
};

struct ICoreWebView2ProcessFailedEventHandler : IUnknown {
    static constexpr IID iid{0x79e0aea4, 0x990b, 0x42d9, {0xaa, 0x1d, 0x0f, 0xcc, 0x2e, 0x5b, 0xc7, 0xf1}};
    STDMETHOD(Invoke)(ICoreWebView2* sender, ICoreWebView2ProcessFailedEventArgs* args) PURE;
};

struct ICoreWebView2NewWindowRequestedEventHandler : IUnknown {
    static constexpr IID iid{0xd4c185fe, 0xc81c, 0x4989, {0x97, 0xaf, 0x2d, 0x3f, 0xa7, 0xab, 0x56, 0x51}};
    STDMETHOD(Invoke)(ICoreWebView2* sender, ICoreWebView2NewWindowRequestedEventArgs* args) PURE;
};

// Slots 0-3 of 8.
struct ICoreWebView2Environment : IUnknown {
    static constexpr IID iid{0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
    STDMETHOD(CreateCoreWebView2Controller)(HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) PURE;
};

// Slots 0-25, all of them.
struct ICoreWebView2Controller : IUnknown {
    static constexpr IID iid{0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}};
    STDMETHOD(get_IsVisible)(BOOL* visible) PURE;
    STDMETHOD(put_IsVisible)(BOOL visible) PURE;
    STDMETHOD(get_Bounds)(RECT* bounds) PURE;
    STDMETHOD(put_Bounds)(RECT bounds) PURE;
    STDMETHOD(get_ZoomFactor)(double* zoom) PURE;
    STDMETHOD(put_ZoomFactor)(double zoom) PURE;
    STDMETHOD(add_ZoomFactorChanged)(ICoreWebView2ZoomFactorChangedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_ZoomFactorChanged)(EventRegistrationToken token) PURE;
    STDMETHOD(SetBoundsAndZoomFactor)(RECT bounds, double zoom) PURE;
    STDMETHOD(MoveFocus)(COREWEBVIEW2_MOVE_FOCUS_REASON reason) PURE;
    STDMETHOD(add_MoveFocusRequested)(ICoreWebView2MoveFocusRequestedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_MoveFocusRequested)(EventRegistrationToken token) PURE;
    STDMETHOD(add_GotFocus)(ICoreWebView2FocusChangedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_GotFocus)(EventRegistrationToken token) PURE;
    STDMETHOD(add_LostFocus)(ICoreWebView2FocusChangedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_LostFocus)(EventRegistrationToken token) PURE;
    STDMETHOD(add_AcceleratorKeyPressed)(ICoreWebView2AcceleratorKeyPressedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_AcceleratorKeyPressed)(EventRegistrationToken token) PURE;
    STDMETHOD(get_ParentWindow)(HWND* parent) PURE;
    STDMETHOD(put_ParentWindow)(HWND parent) PURE;
    STDMETHOD(NotifyParentWindowPositionChanged)() PURE;
    STDMETHOD(Close)() PURE;
    STDMETHOD(get_CoreWebView2)(ICoreWebView2** web) PURE;
};

// Slots 0-60, all of them.
struct ICoreWebView2 : IUnknown {
    static constexpr IID iid{0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};
    STDMETHOD(get_Settings)(ICoreWebView2Settings** settings) PURE;
    STDMETHOD(get_Source)(LPWSTR* uri) PURE;
    STDMETHOD(Navigate)(LPCWSTR uri) PURE;
    STDMETHOD(NavigateToString)(LPCWSTR html) PURE;
    STDMETHOD(add_NavigationStarting)(ICoreWebView2NavigationStartingEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_NavigationStarting)(EventRegistrationToken token) PURE;
    STDMETHOD(add_ContentLoading)(ICoreWebView2ContentLoadingEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_ContentLoading)(EventRegistrationToken token) PURE;
    STDMETHOD(add_SourceChanged)(ICoreWebView2SourceChangedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_SourceChanged)(EventRegistrationToken token) PURE;
    STDMETHOD(add_HistoryChanged)(ICoreWebView2HistoryChangedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_HistoryChanged)(EventRegistrationToken token) PURE;
    STDMETHOD(add_NavigationCompleted)(ICoreWebView2NavigationCompletedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_NavigationCompleted)(EventRegistrationToken token) PURE;
    STDMETHOD(add_FrameNavigationStarting)(ICoreWebView2NavigationStartingEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_FrameNavigationStarting)(EventRegistrationToken token) PURE;
    STDMETHOD(add_FrameNavigationCompleted)(ICoreWebView2NavigationCompletedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_FrameNavigationCompleted)(EventRegistrationToken token) PURE;
    STDMETHOD(add_ScriptDialogOpening)(ICoreWebView2ScriptDialogOpeningEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_ScriptDialogOpening)(EventRegistrationToken token) PURE;
    STDMETHOD(add_PermissionRequested)(ICoreWebView2PermissionRequestedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_PermissionRequested)(EventRegistrationToken token) PURE;
    STDMETHOD(add_ProcessFailed)(ICoreWebView2ProcessFailedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_ProcessFailed)(EventRegistrationToken token) PURE;
    STDMETHOD(AddScriptToExecuteOnDocumentCreated)(LPCWSTR script, ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler* handler) PURE;
    STDMETHOD(RemoveScriptToExecuteOnDocumentCreated)(LPCWSTR id) PURE;
    STDMETHOD(ExecuteScript)(LPCWSTR script, ICoreWebView2ExecuteScriptCompletedHandler* handler) PURE;
    STDMETHOD(CapturePreview)(COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT format, IStream* stream, ICoreWebView2CapturePreviewCompletedHandler* handler) PURE;
    STDMETHOD(Reload)() PURE;
    STDMETHOD(PostWebMessageAsJson)(LPCWSTR json) PURE;
    STDMETHOD(PostWebMessageAsString)(LPCWSTR text) PURE;
    STDMETHOD(add_WebMessageReceived)(ICoreWebView2WebMessageReceivedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_WebMessageReceived)(EventRegistrationToken token) PURE;
    STDMETHOD(CallDevToolsProtocolMethod)(LPCWSTR method, LPCWSTR json, ICoreWebView2CallDevToolsProtocolMethodCompletedHandler* handler) PURE;
    STDMETHOD(get_BrowserProcessId)(UINT32* id) PURE;
    STDMETHOD(get_CanGoBack)(BOOL* can) PURE;
    STDMETHOD(get_CanGoForward)(BOOL* can) PURE;
    STDMETHOD(GoBack)() PURE;
    STDMETHOD(GoForward)() PURE;
    STDMETHOD(GetDevToolsProtocolEventReceiver)(LPCWSTR event, ICoreWebView2DevToolsProtocolEventReceiver** receiver) PURE;
    STDMETHOD(Stop)() PURE;
    STDMETHOD(add_NewWindowRequested)(ICoreWebView2NewWindowRequestedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_NewWindowRequested)(EventRegistrationToken token) PURE;
    STDMETHOD(add_DocumentTitleChanged)(ICoreWebView2DocumentTitleChangedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_DocumentTitleChanged)(EventRegistrationToken token) PURE;
    STDMETHOD(get_DocumentTitle)(LPWSTR* title) PURE;
    STDMETHOD(AddHostObjectToScript)(LPCWSTR name, VARIANT* object) PURE;
    STDMETHOD(RemoveHostObjectFromScript)(LPCWSTR name) PURE;
    STDMETHOD(OpenDevToolsWindow)() PURE;
    STDMETHOD(add_ContainsFullScreenElementChanged)(ICoreWebView2ContainsFullScreenElementChangedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_ContainsFullScreenElementChanged)(EventRegistrationToken token) PURE;
    STDMETHOD(get_ContainsFullScreenElement)(BOOL* contains) PURE;
    STDMETHOD(add_WebResourceRequested)(ICoreWebView2WebResourceRequestedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_WebResourceRequested)(EventRegistrationToken token) PURE;
    STDMETHOD(AddWebResourceRequestedFilter)(LPCWSTR uri, COREWEBVIEW2_WEB_RESOURCE_CONTEXT context) PURE;
    STDMETHOD(RemoveWebResourceRequestedFilter)(LPCWSTR uri, COREWEBVIEW2_WEB_RESOURCE_CONTEXT context) PURE;
    STDMETHOD(add_WindowCloseRequested)(ICoreWebView2WindowCloseRequestedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_WindowCloseRequested)(EventRegistrationToken token) PURE;
};

// Slots 61-67, all of them.
struct ICoreWebView2_2 : ICoreWebView2 {
    static constexpr IID iid{0x9e8f0cf8, 0xe670, 0x4b5e, {0xb2, 0xbc, 0x73, 0xe0, 0x61, 0xe3, 0x18, 0x4c}};
    STDMETHOD(add_WebResourceResponseReceived)(ICoreWebView2WebResourceResponseReceivedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_WebResourceResponseReceived)(EventRegistrationToken token) PURE;
    STDMETHOD(NavigateWithWebResourceRequest)(ICoreWebView2WebResourceRequest* request) PURE;
    STDMETHOD(add_DOMContentLoaded)(ICoreWebView2DOMContentLoadedEventHandler* handler, EventRegistrationToken* token) PURE;
    STDMETHOD(remove_DOMContentLoaded)(EventRegistrationToken token) PURE;
    STDMETHOD(get_CookieManager)(ICoreWebView2CookieManager** manager) PURE;
    STDMETHOD(get_Environment)(ICoreWebView2Environment** environment) PURE;
};

// Slots 68-71 of 68-72.
struct ICoreWebView2_3 : ICoreWebView2_2 {
    static constexpr IID iid{0xa0d6df20, 0x3b92, 0x416d, {0xaa, 0x0c, 0x43, 0x7a, 0x9c, 0x72, 0x78, 0x57}};
    STDMETHOD(TrySuspend)(ICoreWebView2TrySuspendCompletedHandler* handler) PURE;
    STDMETHOD(Resume)() PURE;
    STDMETHOD(get_IsSuspended)(BOOL* suspended) PURE;
    STDMETHOD(SetVirtualHostNameToFolderMapping)(LPCWSTR host, LPCWSTR folder, COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND kind) PURE;
};

// Slots 0-8 of 10.
struct ICoreWebView2NavigationStartingEventArgs : IUnknown {
    static constexpr IID iid{0x5b495469, 0xe119, 0x438a, {0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49}};
    STDMETHOD(get_Uri)(LPWSTR* uri) PURE;
    STDMETHOD(get_IsUserInitiated)(BOOL* user) PURE;
    STDMETHOD(get_IsRedirected)(BOOL* redirected) PURE;
    STDMETHOD(get_RequestHeaders)(ICoreWebView2HttpRequestHeaders** headers) PURE;
    STDMETHOD(get_Cancel)(BOOL* cancel) PURE;
    STDMETHOD(put_Cancel)(BOOL cancel) PURE;
};

// Slots 0-5, all of them.
struct ICoreWebView2WebMessageReceivedEventArgs : IUnknown {
    static constexpr IID iid{0x0f99a40c, 0xe962, 0x4207, {0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49}};
    STDMETHOD(get_Source)(LPWSTR* source) PURE;
    STDMETHOD(get_WebMessageAsJson)(LPWSTR* json) PURE;
    STDMETHOD(TryGetWebMessageAsString)(LPWSTR* text) PURE;
};

// Slots 0-3, all of them.
struct ICoreWebView2ProcessFailedEventArgs : IUnknown {
    static constexpr IID iid{0x8155a9a4, 0x1474, 0x4a86, {0x8c, 0xae, 0x15, 0x1b, 0x0f, 0xa6, 0xb8, 0xca}};
    STDMETHOD(get_ProcessFailedKind)(COREWEBVIEW2_PROCESS_FAILED_KIND* kind) PURE;
};

// Slots 0-6 of 11.
struct ICoreWebView2NewWindowRequestedEventArgs : IUnknown {
    static constexpr IID iid{0x34acb11c, 0xfc37, 0x4418, {0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9}};
    STDMETHOD(get_Uri)(LPWSTR* uri) PURE;
    STDMETHOD(put_NewWindow)(ICoreWebView2* window) PURE;
    STDMETHOD(get_NewWindow)(ICoreWebView2** window) PURE;
    STDMETHOD(put_Handled)(BOOL handled) PURE;
};

// Slots 0-20, all of them.
struct ICoreWebView2Settings : IUnknown {
    static constexpr IID iid{0xe562e4f0, 0xd7fa, 0x43ac, {0x8d, 0x71, 0xc0, 0x51, 0x50, 0x49, 0x9f, 0x00}};
    STDMETHOD(get_IsScriptEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsScriptEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_IsWebMessageEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsWebMessageEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_AreDefaultScriptDialogsEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_AreDefaultScriptDialogsEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_IsStatusBarEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsStatusBarEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_AreDevToolsEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_AreDevToolsEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_AreDefaultContextMenusEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_AreDefaultContextMenusEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_AreHostObjectsAllowed)(BOOL* allowed) PURE;
    STDMETHOD(put_AreHostObjectsAllowed)(BOOL allowed) PURE;
    STDMETHOD(get_IsZoomControlEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsZoomControlEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_IsBuiltInErrorPageEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsBuiltInErrorPageEnabled)(BOOL enabled) PURE;
};

// Slots 21-22, all of them.
struct ICoreWebView2Settings2 : ICoreWebView2Settings {
    static constexpr IID iid{0xee9a0f68, 0xf46c, 0x4e32, {0xac, 0x23, 0xef, 0x8c, 0xac, 0x22, 0x4d, 0x2a}};
    STDMETHOD(get_UserAgent)(LPWSTR* agent) PURE;
    STDMETHOD(put_UserAgent)(LPCWSTR agent) PURE;
};

// Slots 23-24, all of them.
struct ICoreWebView2Settings3 : ICoreWebView2Settings2 {
    static constexpr IID iid{0xfdb5ab74, 0xaf33, 0x4854, {0x84, 0xf0, 0x0a, 0x63, 0x1d, 0xeb, 0x5e, 0xba}};
    STDMETHOD(get_AreBrowserAcceleratorKeysEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_AreBrowserAcceleratorKeysEnabled)(BOOL enabled) PURE;
};

// Slots 25-28, all of them.
struct ICoreWebView2Settings4 : ICoreWebView2Settings3 {
    static constexpr IID iid{0xcb56846c, 0x4168, 0x4d53, {0xb0, 0x4f, 0x03, 0xb6, 0xd6, 0x79, 0x6f, 0xf2}};
    STDMETHOD(get_IsPasswordAutosaveEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsPasswordAutosaveEnabled)(BOOL enabled) PURE;
    STDMETHOD(get_IsGeneralAutofillEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsGeneralAutofillEnabled)(BOOL enabled) PURE;
};

// Slots 29-30, all of them.
struct ICoreWebView2Settings5 : ICoreWebView2Settings4 {
    static constexpr IID iid{0x183e7052, 0x1d03, 0x43a0, {0xab, 0x99, 0x98, 0xe0, 0x43, 0xb6, 0x6b, 0x39}};
    STDMETHOD(get_IsPinchZoomEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsPinchZoomEnabled)(BOOL enabled) PURE;
};

// Slots 31-32, all of them.
struct ICoreWebView2Settings6 : ICoreWebView2Settings5 {
    static constexpr IID iid{0x11cb3acd, 0x9bc8, 0x43b8, {0x83, 0xbf, 0xf4, 0x07, 0x53, 0x71, 0x4f, 0x87}};
    STDMETHOD(get_IsSwipeNavigationEnabled)(BOOL* enabled) PURE;
    STDMETHOD(put_IsSwipeNavigationEnabled)(BOOL enabled) PURE;
};

extern "C" HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserFolder, PCWSTR userDataFolder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);
// The version of the runtime the loader would use; freed with CoTaskMemFree.
extern "C" HRESULT STDAPICALLTYPE GetAvailableCoreWebView2BrowserVersionString(PCWSTR browserFolder, LPWSTR* version);
