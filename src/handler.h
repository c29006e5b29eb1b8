// One class template for every callback object handed to the WebView2 runtime:
// it turns a callable into a COM object that implements the handler interface I,
// whose Invoke takes Args.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <functional>
#include <utility>

template <class I, class... Args>
class Handler final : public I {
public:
    explicit Handler(std::function<HRESULT(Args...)> callable) : fn(std::move(callable)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, I::iid)) return E_NOINTERFACE;
        *ppv = static_cast<I*>(this);
        ++count;
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }

    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --count;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return fn(args...); }

private:
    // The runtime may add and drop references from its own threads.
    std::atomic<ULONG> count{1};
    std::function<HRESULT(Args...)> fn;
};
