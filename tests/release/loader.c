// A DLL that looks like the WebView2 loader from outside and nothing more: the
// loader's file name and export, and no test-runtime marker. The release test
// packages it in place of the vendor's loader, which this machine cannot
// fetch. It is never shipped.
#include <windows.h>

HRESULT WINAPI CreateCoreWebView2EnvironmentWithOptions(const wchar_t* browserFolder, const wchar_t* userDataFolder,
                                                        void* options, void* handler) {
    (void)browserFolder;
    (void)userDataFolder;
    (void)options;
    (void)handler;
    return E_NOTIMPL;
}
