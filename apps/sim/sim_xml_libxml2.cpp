// The ribbon markup read with libxml2.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

#include "core/failure.h"
#include "sim/sim_ribbon.h"

namespace parvex::sim {
namespace {

struct FreeDoc {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct FreeText {
  void operator()(xmlChar* s) const { xmlFree(s); }
};

std::string text(const xmlChar* s) {
  return s ? reinterpret_cast<const char*>(s) : "";
}

XmlElement element(const xmlNode* node) {
  XmlElement e;
  e.ns = node->ns ? text(node->ns->href) : "";
  e.name = text(node->name);
  for (const xmlAttr* a = node->properties; a; a = a->next) {
    const std::unique_ptr<xmlChar, FreeText> value(xmlNodeGetContent(a->children));
    e.attributes.emplace_back(text(a->name), text(value.get()));
  }
  for (const xmlNode* c = node->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) e.children.push_back(element(c));
  }
  return e;
}

}  // namespace

XmlElement parse_xml(const std::string& markup) {
  const std::unique_ptr<xmlDoc, FreeDoc> doc(
      xmlReadMemory(markup.data(), static_cast<int>(markup.size()), "customUI.xml", nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root) {
    const xmlError* e = xmlGetLastError();
    std::string why = e && e->message ? std::string(": ") + e->message : std::string();
    while (!why.empty() && why.back() == '\n') why.pop_back();
    raise(err::kInvalidCall, "the ribbon markup is not well-formed" + why);
  }
  return element(root);
}

}  // namespace parvex::sim
