#include "tools/host/host_site.h"

#include <chrono>

#include "platform/message_loop.h"

namespace axg::host {

HostSite::HostSite(Output& out, SiteOptions options) : out_(out), opt_(options) {}

HostSite::~HostSite() = default;

HRESULT HostSite::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch))
    *ppv = static_cast<IDispatch*>(this);
  else if (IsEqualIID(riid, IID_IAsyncEvent) && opt_.offer_events)
    *ppv = static_cast<IAsyncEvent*>(this);
  else if (IsEqualIID(riid, IID_IErrorLog) && opt_.offer_errorlog)
    *ppv = static_cast<IErrorLog*>(this);
  else if (IsEqualIID(riid, IID_IStatusLine) && opt_.offer_statusline)
    *ppv = static_cast<IStatusLine*>(this);
  if (!*ppv) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG HostSite::AddRef() { return ++refs_; }

ULONG HostSite::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT HostSite::SetEventBufferDepth(LONG lDepth) {
  if (opt_.depth_fail) return E_FAIL;
  if (lDepth < 1) return E_INVALIDARG;
  depth_ = lDepth;
  return S_OK;
}

HRESULT HostSite::GetEventBufferDepth(LONG* plDepth) {
  if (!plDepth) return E_POINTER;
  *plDepth = static_cast<LONG>(depth_);
  return S_OK;
}

HRESULT HostSite::ExternalEvent(BSTR bstrSource, BSTR bstrMessage, BSTR bstrData) {
  if (opt_.event_fail) {
    ++counts_.refused;
    return E_FAIL;
  }
  ++counts_.received;
  QueuedEvent ev{BstrToU16(bstrSource), BstrToU16(bstrMessage), BstrToU16(bstrData)};
  if (queue_.size() >= static_cast<std::size_t>(depth_)) {
    ++counts_.lost;
    out_.Lost(ev.source, ev.name, ev.data, depth_, counts_.lost);
    return S_OK;
  }
  queue_.push_back(std::move(ev));
  if (!delivery_posted_) {
    delivery_posted_ = true;
    std::weak_ptr<bool> token = alive_;
    MessageLoop::Current().Post([this, token] {
      if (!token.expired()) Deliver();
    });
  }
  return S_OK;
}

// Delivers what was queued when this turn began; events the script's answers
// cause wait for the next turn, as they would in the host. A slow script gets
// one event a turn, so that the add-in's sockets and timer are served between
// them as the host's other window messages are.
void HostSite::Deliver() {
  delivery_posted_ = false;
  std::weak_ptr<bool> token = alive_;
  const auto cost = std::chrono::milliseconds(opt_.event_cost_ms);
  for (std::size_t n = cost.count() > 0 ? 1 : queue_.size(); n > 0 && !queue_.empty(); --n) {
    QueuedEvent ev = std::move(queue_.front());
    queue_.pop_front();
    ++counts_.delivered;
    out_.Event(ev.source, ev.name, ev.data);
    // The script's own work: the thread is busy, as the host's interpreter keeps it.
    const auto until = std::chrono::steady_clock::now() + cost;
    while (std::chrono::steady_clock::now() < until) {
    }
    if (on_event) on_event(ev);
    if (token.expired()) return;
  }
  if (!queue_.empty() && !delivery_posted_) {
    delivery_posted_ = true;
    std::weak_ptr<bool> again = alive_;
    MessageLoop::Current().Post([this, again] {
      if (!again.expired()) Deliver();
    });
  }
}

HRESULT HostSite::CleanBuffer() {
  queue_.clear();
  return S_OK;
}

HRESULT HostSite::AddError(LPCOLESTR, EXCEPINFO* pExcepInfo) {
  ++counts_.errorlog;
  if (!pExcepInfo) {
    out_.ErrorLog(0, u"", u"(no record)");
    return S_OK;
  }
  out_.ErrorLog(pExcepInfo->wCode, BstrToU16(pExcepInfo->bstrSource),
                BstrToU16(pExcepInfo->bstrDescription));
  return S_OK;
}

HRESULT HostSite::SetStatusLine(BSTR bstrStatusLine) {
  out_.StatusLine(BstrToU16(bstrStatusLine));
  return S_OK;
}

HRESULT HostSite::ResetStatusLine() {
  out_.StatusLine(u"");
  return S_OK;
}

}  // namespace axg::host
