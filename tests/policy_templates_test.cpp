// The administrative templates against the policies the add-in reads: the same names, key,
// kinds and ranges, and every text and presentation the ADMX refers to present in the ADML.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/policies.h"

namespace parvex {
namespace {

using Attributes = std::map<std::string, std::string>;

class Template {
 public:
  explicit Template(const std::string& path)
      : doc_(xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET), xmlFreeDoc) {}
  explicit operator bool() const { return doc_ != nullptr; }

  // The attributes of each element the path finds ("p:" is the templates' namespace), with
  // "text()" holding the element's own text.
  std::vector<Attributes> find(const std::string& path) const {
    std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> context(
        xmlXPathNewContext(doc_.get()), xmlXPathFreeContext);
    xmlXPathRegisterNs(context.get(), BAD_CAST "p",
                       BAD_CAST
                       "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions");
    std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> found(
        xmlXPathEvalExpression(BAD_CAST path.c_str(), context.get()), xmlXPathFreeObject);
    std::vector<Attributes> elements;
    if (!found || !found->nodesetval) return elements;
    for (int i = 0; i < found->nodesetval->nodeNr; ++i) {
      const xmlNode* node = found->nodesetval->nodeTab[i];
      Attributes attributes;
      for (const xmlAttr* a = node->properties; a; a = a->next) {
        xmlChar* value = xmlNodeGetContent(a->children);
        attributes[reinterpret_cast<const char*>(a->name)] = reinterpret_cast<char*>(value);
        xmlFree(value);
      }
      xmlChar* text = xmlNodeGetContent(node);
      attributes["text()"] = reinterpret_cast<char*>(text);
      xmlFree(text);
      elements.push_back(attributes);
    }
    return elements;
  }

 private:
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc_;
};

// "$(string.Name)" -> "Name"
std::string reference(const std::string& text, const std::string& table) {
  const std::string head = "$(" + table + ".";
  if (!text.starts_with(head) || !text.ends_with(")")) return "(not a reference: " + text + ")";
  return text.substr(head.size(), text.size() - head.size() - 1);
}

TEST(PolicyTemplates, NameWhatTheAddinReads) {
  const std::string folder = PARVEX_TEMPLATES;
  const Template admx(folder + "/Parvex.admx");
  const Template adml(folder + "/en-US/Parvex.adml");
  ASSERT_TRUE(admx && adml);

  const auto categories = admx.find("/p:policyDefinitions/p:categories/p:category");
  ASSERT_EQ(categories.size(), 1u);
  std::set<std::string> strings{reference(categories[0].at("displayName"), "string")};
  std::set<std::string> presentations;

  for (const PolicyName& p : kPolicyNames) {
    const std::string name(p.name);
    SCOPED_TRACE(name);
    const std::string at = "/p:policyDefinitions/p:policies/p:policy[@name='" + name + "']";
    const auto policy = admx.find(at);
    ASSERT_EQ(policy.size(), 1u);
    EXPECT_EQ(policy[0].at("key"), kPolicyKey);
    EXPECT_EQ(policy[0].at("class"), "Both");  // read under HKLM and HKCU
    EXPECT_EQ(admx.find(at + "/p:parentCategory[@ref='" + categories[0].at("name") + "']").size(),
              1u);
    strings.insert(reference(policy[0].at("displayName"), "string"));
    strings.insert(reference(policy[0].at("explainText"), "string"));
    if (policy[0].contains("presentation")) {
      presentations.insert(reference(policy[0].at("presentation"), "presentation"));
    }
    // A switch is the policy's own value; a number or a text is its one element.
    const auto number = admx.find(at + "/p:elements/p:decimal");
    const auto text = admx.find(at + "/p:elements/p:text");
    if (p.kind == PolicyKind::number && p.max == 1) {
      EXPECT_EQ(policy[0].at("valueName"), name);
      EXPECT_EQ(admx.find(at + "/p:enabledValue/p:decimal[@value='1']").size(), 1u);
      EXPECT_EQ(admx.find(at + "/p:disabledValue/p:decimal[@value='0']").size(), 1u);
    } else if (p.kind == PolicyKind::number) {
      ASSERT_EQ(number.size(), 1u);
      EXPECT_EQ(number[0].at("valueName"), name);
      EXPECT_EQ(number[0].at("minValue"), "0");
      EXPECT_EQ(number[0].at("maxValue"), std::to_string(p.max));
    } else {
      ASSERT_EQ(text.size(), 1u);
      EXPECT_EQ(text[0].at("valueName"), name);
      EXPECT_EQ(text[0].at("maxLength"), std::to_string(p.max));
    }
    for (const auto& element : admx.find(at + "/p:elements/*")) {
      const auto shown =
          adml.find("//p:presentation[@id='" + name + "']/*[@refId='" + element.at("id") + "']");
      EXPECT_EQ(shown.size(), 1u) << element.at("id");
    }
  }
  EXPECT_EQ(admx.find("/p:policyDefinitions/p:policies/p:policy").size(), kPolicyNames.size());
  for (const auto& d : admx.find("//p:supportedOn/p:definitions/p:definition")) {
    strings.insert(reference(d.at("displayName"), "string"));
  }
  for (const std::string& id : strings) {
    EXPECT_EQ(adml.find("//p:stringTable/p:string[@id='" + id + "']").size(), 1u) << id;
  }
  for (const std::string& id : presentations) {
    EXPECT_EQ(adml.find("//p:presentationTable/p:presentation[@id='" + id + "']").size(), 1u) << id;
  }
}

}  // namespace
}  // namespace parvex
