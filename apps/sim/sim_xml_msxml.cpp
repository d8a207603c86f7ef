// The ribbon markup read with the system's XML parser (MSXML), late-bound: no libxml2 is built
// for mingw.
#include <windows.h>

#include "core/failure.h"
#include "dispatch.h"
#include "sim/sim_ribbon.h"
#include "text_win32.h"

namespace parvex::sim {
namespace {

using com::ComPtr;
using com::Dispatch;
using com::Variant;

Dispatch share_of(const Dispatch& d) {
  return Dispatch(com::share(d.object()), "IXMLDOMElement");
}

XmlElement element(Dispatch node) {
  XmlElement e;
  e.ns = node.get(L"namespaceURI").to_string();
  e.name = node.get(L"baseName").to_string();
  Dispatch attributes(node.get(L"attributes").to_dispatch(), "IXMLDOMNamedNodeMap");
  for (ComPtr<IDispatch> a = attributes.call(L"nextNode").to_dispatch(); a;
       a = attributes.call(L"nextNode").to_dispatch()) {
    Dispatch attribute(std::move(a), "IXMLDOMAttribute");
    const std::string name = attribute.get(L"nodeName").to_string();
    if (name == "xmlns" || name.starts_with("xmlns:")) continue;  // as libxml2 reports them
    e.attributes.emplace_back(attribute.get(L"baseName").to_string(),
                              attribute.get(L"text").to_string());
  }
  for (ComPtr<IDispatch> c = node.get(L"firstChild").to_dispatch(); c;) {
    Dispatch child(std::move(c), "IXMLDOMNode");
    if (child.get(L"nodeType").to_int() == 1) e.children.push_back(element(share_of(child)));
    c = child.get(L"nextSibling").to_dispatch();
  }
  return e;
}

// COM for the parse, on a thread that has none yet (the client in this process).
struct ComForTheCall {
  ComForTheCall() : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComForTheCall() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
  ComForTheCall(const ComForTheCall&) = delete;
  ComForTheCall& operator=(const ComForTheCall&) = delete;
  HRESULT hr;
};

}  // namespace

XmlElement parse_xml(const std::string& markup) {
  const ComForTheCall com;  // outlives every object below
  CLSID clsid{};
  com::ComPtr<IDispatch> object;
  if (FAILED(CLSIDFromProgID(L"Msxml2.DOMDocument.3.0", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(object.put()))))
    raise(err::kInvalidCall, "no XML parser (MSXML) to read the ribbon markup");
  Dispatch doc(std::move(object), "DOMDocument");
  doc.put(L"async", Variant::of(false));
  std::vector<Variant> args;
  args.push_back(Variant::of(markup));
  if (!doc.call(L"loadXML", std::move(args)).to_bool()) {
    Dispatch error(doc.get(L"parseError").to_dispatch(), "IXMLDOMParseError");
    raise(err::kInvalidCall,
          "the ribbon markup is not well-formed: " + error.get(L"reason").to_string());
  }
  return element(Dispatch(doc.get(L"documentElement").to_dispatch(), "IXMLDOMElement"));
}

}  // namespace parvex::sim
