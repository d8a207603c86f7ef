// The administrative templates against the policies the add-in reads: the same names, key,
// kinds and ranges, and every text and presentation the ADMX refers to present in the ADML.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>

#include "support/policies.h"

namespace parvex {
namespace {

class Template {
 public:
  explicit Template(const std::string& path)
      : doc_(xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET), xmlFreeDoc) {}
  explicit operator bool() const { return doc_ != nullptr; }

  // The XPath expression's value as text ("p:" is the templates' namespace).
  std::string text(const std::string& path) const {
    std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> context(
        xmlXPathNewContext(doc_.get()), xmlXPathFreeContext);
    xmlXPathRegisterNs(context.get(), BAD_CAST "p",
                       BAD_CAST
                       "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions");
    std::unique_ptr<xmlXPathObject, decltype(&xmlXPathFreeObject)> found(
        xmlXPathEvalExpression(BAD_CAST path.c_str(), context.get()), xmlXPathFreeObject);
    if (!found) return "(not an expression)";
    xmlChar* value = xmlXPathCastToString(found.get());
    const std::string text = reinterpret_cast<char*>(value);
    xmlFree(value);
    return text;
  }

 private:
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc_;
};

TEST(PolicyTemplates, NameWhatTheAddinReads) {
  const std::string folder = PARVEX_TEMPLATES;
  const Template admx(folder + "/Parvex.admx");
  const Template adml(folder + "/en-US/Parvex.adml");
  ASSERT_TRUE(admx && adml);

  const std::string policies = "/p:policyDefinitions/p:policies/p:policy";
  EXPECT_EQ(admx.text("count(" + policies + ")"), std::to_string(kPolicyNames.size()));
  for (const PolicyName& p : kPolicyNames) {
    const std::string name(p.name), max = std::to_string(p.max);
    SCOPED_TRACE(name);
    // Read under HKLM and HKCU, in the one category.
    const std::string at = policies + "[@name='" + name + "']";
    EXPECT_EQ(admx.text("count(" + at + "[@key='" + std::string(kPolicyKey) +
                        "'][@class='Both'][p:parentCategory/@ref=//p:category/@name])"),
              "1");
    // A switch is the policy's own value; a number or a text is its one element.
    const std::string named = "[@valueName='" + name + "']";
    const std::string value =
        p.kind == PolicyKind::text
            ? at + "/p:elements/p:text" + named + "[@maxLength='" + max + "']"
        : p.max != 1
            ? at + "/p:elements/p:decimal" + named + "[@minValue='0'][@maxValue='" + max + "']"
            : at + named +
                  "[p:enabledValue/p:decimal/@value='1'][p:disabledValue/p:decimal/@value='0']";
    EXPECT_EQ(admx.text("count(" + value + ")"), "1") << value;
    EXPECT_EQ(admx.text("count(" + at + "/p:elements/*)"), p.max == 1 ? "0" : "1");
    const std::string element = admx.text("string(" + at + "/p:elements/*/@id)");
    if (!element.empty()) {
      EXPECT_EQ(
          adml.text("count(//p:presentation[@id='" + name + "']/*[@refId='" + element + "'])"),
          "1");
    }
  }
  // Every text and presentation the ADMX refers to, once in the ADML.
  std::ifstream in(folder + "/Parvex.admx");
  const std::string raw{std::istreambuf_iterator<char>(in), {}};
  const std::regex reference(R"(\$\((string|presentation)\.([A-Za-z0-9_]+)\))");
  int references = 0;
  for (std::sregex_iterator r(raw.begin(), raw.end(), reference), end; r != end;
       ++r, ++references) {
    const std::string table =
        (*r)[1] == "string" ? "p:stringTable/p:string" : "p:presentationTable/p:presentation";
    EXPECT_EQ(adml.text("count(//" + table + "[@id='" + (*r)[2].str() + "'])"), "1") << r->str();
  }
  EXPECT_GT(references, 2 * static_cast<int>(kPolicyNames.size()));
}

}  // namespace
}  // namespace parvex
