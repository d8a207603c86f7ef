// The two ribbons as the simulated client reads and draws them, through the add-in's callbacks.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "addin/connect.h"
#include "addin_fixture.h"
#include "compression/mail_send.h"
#include "sim/sim_ribbon.h"
#include "sim/sim_session.h"
#include "ui/frm_about.h"

namespace parvex {
namespace {

using Session = sim::SimSession;

struct RibbonCase {
  const char* name;
  std::string script;                              // FILE stands for an attached file's path
  std::vector<std::string> shown;                  // in this order in the output
  std::vector<std::string> sent;                   // each message's first attachment, in order
  int box = 1;                                     // the about window's box at the end
  const char* policies = "";                       // the policy file; empty for none
  std::function<void(Session&)> before = nullptr;  // what the script cannot say, at "@"
};

void PrintTo(const RibbonCase& c, std::ostream* os) {
  *os << c.name;
}

// A draft closed and opened again: the same item in a new window.
void reopen_first(Session& s) {
  const auto mail = s.outlook().inspectors().front()->item();
  s.outlook().close(s.outlook().inspectors().front());
  s.outlook().open_inspector(mail, "Draft - Message (HTML)");
}

std::shared_ptr<sim::SimItem> inline_reply;
void reply_in_pane(Session& s) {
  inline_reply = s.outlook().new_mail("RE: hello");
  s.outlook().explorers().back()->set_inline_response(inline_reply);
}

const char* const kPackedOn =
    "toggleButton \"Pack attachments\" pressed [parvex.ico 32 px]: Pressed: this message";

const RibbonCase kCases[] = {
    {"BothRibbonsDrawnFromCheckedMarkup",
     "explorer Inbox\nconnect\nribbon\nmail A\nribbon\n",
     {"(Microsoft.Outlook.Explorer):", "Tab TabMail", "Group Parvex",
      "toggleButton \"Pack on send\" pressed [parvex.ico 32 px]", "button \"About Parvex\"",
      "button \"Zip window\"", "labelControl \"Saved 0 %\"",
      "(Microsoft.Outlook.Mail.Compose):", "Tab TabNewMailMessage", kPackedOn},
     {}},
    {"ReleasedMessageLeavesAsWrittenAndTheNextPacks",
     "explorer Inbox\nconnect\nmail A\nattach FILE\nribbon toggle Pack attachments\nribbon\n"
     "send\nmail B\nribbon\nattach FILE\nsend\nlog\n",
     {"\"Pack attachments\" released", "Sent \"A\"", "Statistics: 1 bytes", kPackedOn, "Sent \"B\"",
      "Pack attachments is off for this message: it leaves as written"},
     {"notes.txt", "Attachments.zip"}},
    {"DraftKeepsItsChoice",
     "explorer Inbox\nconnect\nmail A\nribbon toggle PackAttachments\n@\nribbon\nmail B\nribbon\n",
     {"\"Draft - Message (HTML)\"", "\"Pack attachments\" released", "\"B - Message (HTML)\"",
      kPackedOn},
     {},
     1,
     "",
     reopen_first},
    {"MainToggleAndAboutBoxAgree",
     "explorer Inbox\nconnect\nribbon\nribbon toggle Pack on send\nmail A\nribbon\nclose\n"
     "check on\nribbon\ncheck off\nribbon\n",
     {"\"Pack on send\" pressed", "\"Pack attachments\" released disabled",
      "Packing is off: turn on Pack on send", "\"Pack on send\" pressed",
      "\"Pack on send\" released"},
     {},
     0},
    {"PolicyOffFixesBothToggles",
     "explorer Inbox\nconnect\nribbon\nmail A\nattach FILE\nribbon\nribbon toggle Pack "
     "attachments\nsend\n",
     {"\"Pack on send\" released disabled [parvex.ico 32 px]: Set by your administrator",
      "\"Pack attachments\" released disabled [parvex.ico 32 px]: Set by your administrator",
      "failed: ribbon toggle Pack attachments: \"Pack attachments\" is disabled"},
     {"notes.txt"},
     0,
     "Compression=0\r\n"},
    {"PolicyOnPacksEvenAReleasedMessage",
     "explorer Inbox\nconnect\nmail A\nattach FILE\nribbon\nsend\n",
     {"\"Pack attachments\" pressed disabled [parvex.ico 32 px]: Set by your administrator"},
     {"Attachments.zip"},
     1,
     "Compression=1\r\n"},
    {"ReplyInTheReadingPaneHasTheToggle",
     "explorer Inbox\nconnect\nribbon\n@\nribbon\nribbon toggle PackAttachmentsInline\nribbon\n",
     {"Group Parvex", "Tab set TabComposeTools", "Tab TabMessage", kPackedOn,
      "\"Pack attachments\" released"},
     {},
     1,
     "",
     reply_in_pane},
};

class RibbonTest : public testing::AddinTest, public ::testing::WithParamInterface<RibbonCase> {};

TEST_P(RibbonTest, ShowsAndActs) {
  const RibbonCase& c = GetParam();
  testing::copy_libraries(dir.path());
  testing::write_file(dir / "notes.txt", "some notes");
  if (*c.policies) {
    services.policies = dir / "policies.ini";
    testing::write_file(services.policies, c.policies);
  }
  std::ostringstream out;
  {
    Session session(out, dir / "Outbox");
    std::istringstream script(c.script);
    for (std::string line; std::getline(script, line);) {
      if (line == "@") {
        c.before(session);
        continue;
      }
      if (const auto at = line.find("FILE"); at != std::string::npos)
        line.replace(at, 4, dir / "notes.txt");
      session.run(line);
    }
    ASSERT_EQ(session.outlook().outbox().size(), c.sent.size()) << out.str();
    for (size_t i = 0; i < c.sent.size(); ++i)
      EXPECT_EQ(session.outlook().outbox()[i].attachments.at(0).display_name, c.sent[i])
          << out.str();
    if (inline_reply) {
      EXPECT_EQ(compression::pack_choice(*inline_reply), false);
    }
    EXPECT_EQ(ui::touch<ui::frm_about>().parvex_chk.value, c.box);
    inline_reply.reset();
  }
  const std::string text = out.str();
  size_t at = 0;
  for (const std::string& expected : c.shown) {
    at = text.find(expected, at);
    ASSERT_NE(at, std::string::npos) << expected << "\n" << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Ribbons, RibbonTest, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.name); });

// The markup the add-in gives, spoiled one way at a time: the client refuses each as the host
// would, and the command bar button is made only for a host that never asks for a ribbon.
using RibbonMarkupTest = testing::AddinTest;

TEST_F(RibbonMarkupTest, TheHostsRulesRefuseSpoiledMarkupAndTheButtonIsMadeOnlyWithoutRibbons) {
  Connect connect;
  const std::string good = connect.GetCustomUI(host::kExplorerRibbon);
  EXPECT_EQ(connect.GetCustomUI("Microsoft.Outlook.Mail.Read"), "");
  const auto problems = [&](const std::string& from, const std::string& to) {
    std::string xml = good;
    if (!from.empty()) xml.replace(xml.find(from), from.size(), to);
    return sim::check_custom_ui(host::kExplorerRibbon, sim::parse_xml(xml), connect);
  };
  EXPECT_TRUE(problems("", "").empty());
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"2009/07", "2006/01"},
           {"Ribbon_GetPressed", "Ribbon_GetPresed"},
           {"TabMail", "TabMale"},
           {"TabComposeTools", "TabComposeTool"},
           {"<labelControl ", "<labelControl colour=\"red\" "},
           {"<labelControl ", "<labelControl label=\"x\" "},
           {"<labelControl ", "<dropDown id=\"x\"/><labelControl "},
           {"id=\"ParvexZipWindow\"", "id=\"ParvexAbout\""},
       }) {
    EXPECT_FALSE(problems(from, to).empty()) << to;
  }
  EXPECT_THROW(sim::parse_xml("<customUI>"), Failure);

  for (const bool ribbons : {true, false}) {
    std::ostringstream out;
    Session session(out, dir / "Outbox");
    session.ask_for_ribbons(ribbons);
    ASSERT_TRUE(session.run("explorer Inbox") && session.run("connect"));
    EXPECT_EQ(session.run("button"), !ribbons) << out.str();
    EXPECT_EQ(session.run("ribbon"), ribbons) << out.str();
  }
}

}  // namespace
}  // namespace parvex
