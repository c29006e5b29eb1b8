// The callback template, on its own: COM identity, reference counting, and
// that Invoke is a plain pass-through.
#include "harness.h"

#include <memory>

#include "handler.h"
#include "webview2.h"

namespace {

using EnvironmentDone = Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>;
using MessageReceived = Handler<ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*>;

// An environment that only counts its references.
struct Counted : ICoreWebView2Environment {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(HWND, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateWebResourceResponse(IStream*, int, LPCWSTR, LPCWSTR, ICoreWebView2WebResourceResponse**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE add_NewBrowserVersionAvailable(ICoreWebView2NewBrowserVersionAvailableEventHandler*, EventRegistrationToken*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE remove_NewBrowserVersionAvailable(EventRegistrationToken) override { return E_NOTIMPL; }
};

HRESULT nothing(HRESULT, ICoreWebView2Environment*) { return S_OK; }

ULONG countOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

}  // namespace

TEST_CASE("handler answers QueryInterface only for IUnknown and its own interface") {
    auto* handler = new EnvironmentDone(nothing);

    CHECK(handler->QueryInterface(IID_IUnknown, nullptr) == E_POINTER);
    CHECK(countOf(handler) == 1);

    void* asUnknown = nullptr;
    void* asOwn = nullptr;
    CHECK(handler->QueryInterface(IID_IUnknown, &asUnknown) == S_OK);
    CHECK(countOf(handler) == 2);
    CHECK(handler->QueryInterface(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler::iid, &asOwn) == S_OK);
    CHECK(countOf(handler) == 3);
    CHECK(asUnknown == asOwn);
    CHECK(asOwn == static_cast<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*>(handler));

    // Marshalling and agility are refused too: the runtime calls back on our thread.
    const IID IID_IAgileObject_{0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};
    for (const IID& other : {ICoreWebView2CreateCoreWebView2ControllerCompletedHandler::iid, ICoreWebView2NavigationStartingEventHandler::iid,
                             ICoreWebView2WebMessageReceivedEventHandler::iid, ICoreWebView2Environment::iid, IID_IMarshal, IID_IAgileObject_}) {
        void* out = &asOwn;
        CHECK(handler->QueryInterface(other, &out) == E_NOINTERFACE);
        CHECK(out == nullptr);
    }
    CHECK(countOf(handler) == 3);

    CHECK(handler->Release() == 2);
    CHECK(handler->Release() == 1);
    CHECK(handler->Release() == 0);
}

TEST_CASE("handler counts references and frees itself and its callable at zero") {
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    // The callable owns the token, so the token lives exactly as long as the callable.
    auto* handler = new EnvironmentDone([token](HRESULT, ICoreWebView2Environment*) { return *token == 7 ? S_OK : E_FAIL; });
    token.reset();
    REQUIRE_FALSE(watch.expired());

    CHECK(handler->AddRef() == 2);
    CHECK(handler->Release() == 1);
    CHECK_FALSE(watch.expired());
    CHECK(handler->Release() == 0);
    CHECK(watch.expired());

    // A new object dies with its first Release.
    auto* once = new EnvironmentDone([keep = std::make_shared<int>()](HRESULT, ICoreWebView2Environment*) { return S_OK; });
    CHECK(once->Release() == 0);
}

TEST_CASE("handler reference count survives other threads") {
    auto* handler = new EnvironmentDone(nothing);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([handler] {
            for (int i = 0; i < 20000; ++i) {
                handler->AddRef();
                handler->Release();
            }
        });
    for (auto& thread : threads) thread.join();
    CHECK(handler->AddRef() == 2);
    CHECK(handler->Release() == 1);
    CHECK(handler->Release() == 0);
}

TEST_CASE("handler Invoke passes arguments and result through untouched") {
    Counted environment;
    ICoreWebView2Environment* seen = nullptr;
    HRESULT seenResult = S_OK;
    static ICoreWebView2Environment** seenAt;
    static HRESULT* resultAt;
    seenAt = &seen;
    resultAt = &seenResult;
    auto* handler = new EnvironmentDone([](HRESULT result, ICoreWebView2Environment* env) {
        *seenAt = env;
        *resultAt = result;
        return HRESULT(0x80070490);
    });

    CHECK(handler->Invoke(E_ABORT, &environment) == HRESULT(0x80070490));
    CHECK(seen == &environment);
    CHECK(seenResult == E_ABORT);
    CHECK(environment.refs == 1);
    CHECK(countOf(handler) == 1);
    handler->Release();

    // Event handlers take two interface pointers, null ones included.
    auto* events = new MessageReceived([](ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args) {
        return sender == nullptr && args == nullptr ? S_FALSE : E_FAIL;
    });
    CHECK(events->Invoke(nullptr, nullptr) == S_FALSE);
    events->Release();
}
