// Host events received through connection points: one sink per subscription, advised on the
// source's connection point for an event interface and unadvised when the subscription dies.
#pragma once

#include <functional>

#include "dispatch.h"
#include "host/host.h"

namespace parvex::com {

// The arguments of one event, in their declared order (rgvarg holds them last first).
class EventArgs {
 public:
  explicit EventArgs(const DISPPARAMS& params) : params_(params) {}
  size_t size() const { return params_.cArgs; }
  // Argument i (from 0, declared order); raises when the event came with fewer.
  VARIANT& at(size_t i) const;
  ComPtr<IDispatch> object(size_t i) const;
  // A by-reference boolean (VARIANT_BOOL* or a VARIANT* holding one); the handler's value is
  // written back through it.
  VARIANT_BOOL& bool_ref(size_t i) const;

 private:
  const DISPPARAMS& params_;
};

using EventHandler = std::function<void(const EventArgs&)>;

// Advises a sink for one event (by its dispatch id) of the event interface events_iid on
// source. A failing handler reports its failure back to the raiser as an exception.
host::SubscriptionPtr subscribe(IDispatch* source, const IID& events_iid, DISPID event,
                                EventHandler handler);

// Event interfaces and dispatch ids, as the host's type libraries publish them.
namespace events {
inline constexpr GUID kApplication = {0x0006302C, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kExplorers = {0x00063078, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kInspectors = {0x00063079, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kExplorer = {0x0006300F, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kInspector = {0x0006302A, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kItem = {0x0006302B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kButton = {0x000C0351, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

inline constexpr DISPID kStartup = 0xF006;
inline constexpr DISPID kItemSend = 0xF002;   // ApplicationEvents_11
inline constexpr DISPID kNewWindow = 0xF001;  // NewExplorer, NewInspector
inline constexpr DISPID kActivate = 0xF001;
inline constexpr DISPID kClose = 0xF008;           // explorer and inspector Close (not the item's)
inline constexpr DISPID kInlineResponse = 0xFC92;  // ExplorerEvents_10
inline constexpr DISPID kRead = 0xF001;
inline constexpr DISPID kSend = 0xF005;
inline constexpr DISPID kClick = 1;
}  // namespace events

}  // namespace parvex::com
