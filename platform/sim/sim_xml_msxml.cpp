// The ribbon markup read with the system's XML parser (MSXML), late-bound: no libxml2 is built
// for mingw.
#include <windows.h>

#include "core/failure.h"
#include "dispatch.h"
#include "sim/sim_ribbon.h"
#include "text_win32.h"

namespace parvex::sim {
namespace {

using com::Dispatch;
using com::Variant;

XmlElement element(Dispatch node) {
  XmlElement e;
  e.ns = node.get(L"namespaceURI").to_string();
  e.name = node.get(L"baseName").to_string();
  Dispatch attributes(node.get(L"attributes").to_dispatch(), "IXMLDOMNamedNodeMap");
  const int32_t n = attributes.get(L"length").to_int();
  for (int32_t i = 0; i < n; ++i) {
    std::vector<Variant> args;
    args.push_back(Variant::of(i));
    Dispatch a(attributes.get(L"item", std::move(args)).to_dispatch(), "IXMLDOMNode");
    const std::string name = a.get(L"nodeName").to_string();
    if (name == "xmlns" || name.starts_with("xmlns:")) continue;  // as libxml2 reports them
    e.attributes.emplace_back(a.get(L"baseName").to_string(), a.get(L"text").to_string());
  }
  Dispatch children(node.get(L"childNodes").to_dispatch(), "IXMLDOMNodeList");
  const int32_t m = children.get(L"length").to_int();
  for (int32_t i = 0; i < m; ++i) {
    std::vector<Variant> args;
    args.push_back(Variant::of(i));
    Dispatch c(children.get(L"item", std::move(args)).to_dispatch(), "IXMLDOMNode");
    if (c.get(L"nodeType").to_int() == 1) e.children.push_back(element(std::move(c)));
  }
  return e;
}

}  // namespace

XmlElement parse_xml(const std::string& markup) {
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
