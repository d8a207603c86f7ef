#include "event_sink.h"

#include <atomic>
#include <memory>
#include <utility>

#include "core/failure.h"
#include "module.h"

namespace parvex::com {
namespace {

class Sink final : public ComObject<Sink, IDispatch> {
 public:
  Sink(const IID& events_iid, DISPID event, EventHandler handler)
      : iid_(events_iid),
        event_(event),
        handler_(std::make_shared<EventHandler>(std::move(handler))) {}

  // Called when the subscription ends: an event the host still raises afterwards does nothing.
  void detach() noexcept { handler_.reset(); }

  bool answers(REFIID riid) const { return riid == IID_IDispatch || riid == iid_; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    if (!n) return E_POINTER;
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO* info, UINT*) override {
    if (id != event_ || !handler_) return S_OK;
    // The handler may end this very subscription; both must outlive the call.
    AddRef();
    const pvx::scope_exit release([this] { Release(); });
    const std::shared_ptr<EventHandler> handler = handler_;
    const HRESULT hr = pvx::win::guard_event(info, [&] {
      static const DISPPARAMS no_args{};
      (*handler)(EventArgs(params ? *params : no_args));
      return S_OK;
    });
    return hr;
  }

 private:
  IID iid_;
  DISPID event_;
  std::shared_ptr<EventHandler> handler_;
  LiveObject live_;
};

class SinkSubscription final : public host::Subscription {
 public:
  SinkSubscription(ComPtr<IConnectionPoint> point, ComPtr<Sink> sink, DWORD cookie)
      : point_(std::move(point)), sink_(std::move(sink)), cookie_(cookie) {}
  ~SinkSubscription() override {
    sink_->detach();
    point_->Unadvise(cookie_);  // a host already gone cannot be told; nothing else to do
  }

 private:
  ComPtr<IConnectionPoint> point_;
  ComPtr<Sink> sink_;
  DWORD cookie_;
  LiveObject live_;
};

}  // namespace

VARIANT& EventArgs::at(size_t i) const {
  if (i >= params_.cArgs) raise(err::kInvalidCall, "Event raised with too few arguments");
  return params_.rgvarg[params_.cArgs - 1 - i];
}

ComPtr<IDispatch> EventArgs::object(size_t i) const {
  VARIANT& v = at(i);
  Variant copy;
  if (FAILED(VariantCopyInd(copy.get(), &v))) raise(err::kTypeMismatch, "Type mismatch");
  return copy.to_dispatch();
}

VARIANT_BOOL& EventArgs::bool_ref(size_t i) const {
  VARIANT& v = at(i);
  if (v.vt == (VT_BYREF | VT_BOOL) && v.pboolVal) return *v.pboolVal;
  if (v.vt == (VT_BYREF | VT_VARIANT) && v.pvarVal && v.pvarVal->vt == VT_BOOL)
    return v.pvarVal->boolVal;
  raise(err::kTypeMismatch, "Type mismatch");
}

host::SubscriptionPtr subscribe(IDispatch* source, const IID& events_iid, DISPID event,
                                EventHandler handler) {
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer,
                                      reinterpret_cast<void**>(container.put()));
  if (FAILED(hr)) raise_call_failure(hr, nullptr, L"IConnectionPointContainer");
  ComPtr<IConnectionPoint> point;
  hr = container->FindConnectionPoint(events_iid, point.put());
  if (FAILED(hr)) raise_call_failure(hr, nullptr, L"FindConnectionPoint");
  ComPtr<Sink> sink(new Sink(events_iid, event, std::move(handler)));
  DWORD cookie = 0;
  hr = point->Advise(sink.get(), &cookie);
  if (FAILED(hr)) raise_call_failure(hr, nullptr, L"Advise");
  return std::make_unique<SinkSubscription>(std::move(point), std::move(sink), cookie);
}

}  // namespace parvex::com
