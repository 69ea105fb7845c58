#pragma once
// The host's connection object, handed to the add-in's Init as an IDispatch. It
// offers what the 1C host offers: IAsyncEvent (the queue of external events),
// IErrorLog and IStatusLine, all on one reference count. Its IDispatch performs
// no automation.
//
// The event queue behaves as the platform's: one queue per add-in object, depth 1
// until SetEventBufferDepth changes it, delivery in the order added, and an event
// that finds the queue full is lost while ExternalEvent still succeeds. Queued
// events are delivered in a later turn of the message loop, never from inside
// ExternalEvent.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "AddInLib/AddInLib.h"
#include "tools/host/output.h"

namespace axg::host {

struct SiteOptions {
  bool offer_events = true;      // answer QueryInterface for IAsyncEvent
  bool offer_errorlog = true;    // ... for IErrorLog
  bool offer_statusline = true;  // ... for IStatusLine
  bool event_fail = false;       // ExternalEvent fails with E_FAIL
  bool depth_fail = false;       // SetEventBufferDepth fails with E_FAIL
  // How long the script takes per event, as a 1C handler that looks a card up
  // would: each delivered event holds the thread this long, and events are then
  // delivered one a turn of the loop (0: at once, all that wait).
  int event_cost_ms = 0;
};

struct QueuedEvent {
  std::u16string source, name, data;
};

class HostSite final : public IDispatch, public IAsyncEvent, public IErrorLog, public IStatusLine {
 public:
  // Created with one reference, which the caller owns.
  HostSite(Output& out, SiteOptions options);

  // Receives every delivered event, after it has been printed.
  std::function<void(const QueuedEvent&)> on_event;

  const Counts& GetCounts() const { return counts_; }
  long Depth() const { return depth_; }
  std::size_t Queued() const { return queue_.size(); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch: no automation.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
  // IAsyncEvent
  HRESULT STDMETHODCALLTYPE SetEventBufferDepth(LONG lDepth) override;
  HRESULT STDMETHODCALLTYPE GetEventBufferDepth(LONG* plDepth) override;
  HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR bstrSource, BSTR bstrMessage, BSTR bstrData) override;
  HRESULT STDMETHODCALLTYPE CleanBuffer() override;
  // IErrorLog
  HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) override;
  // IStatusLine
  HRESULT STDMETHODCALLTYPE SetStatusLine(BSTR bstrStatusLine) override;
  HRESULT STDMETHODCALLTYPE ResetStatusLine() override;

 private:
  ~HostSite();
  void Deliver();

  Output& out_;
  SiteOptions opt_;
  std::atomic<ULONG> refs_{1};
  long depth_ = 1;
  std::deque<QueuedEvent> queue_;
  bool delivery_posted_ = false;
  Counts counts_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace axg::host
