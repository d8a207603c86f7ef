// The milter's packing of one message, in memory through GMime: no Postfix, no root.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/unzip_files.h"
#include "pack.h"
#include "scripted/scripted_services.h"
#include "seams/fs.h"

namespace parvex::milter {
namespace {

using Files = std::map<std::string, std::string>;  // name -> bytes

struct Attached {
  std::string name;
  std::string bytes;
  std::string shown_as = "";   // a content id the HTML body shows, or none
  std::string packed_as = "";  // the name in the archive, when not its own
};

// The message as GMime writes it, split into its header block and body.
std::pair<std::string, std::string> message(const std::vector<Attached>& files) {
  g_mime_init();
  GMimeMessage* msg = g_mime_message_new(TRUE);
  GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
  std::string html = "<p>Hello</p>";
  for (const Attached& f : files) {
    if (!f.shown_as.empty()) html += "<img src=\"cid:" + f.shown_as + "\">";
  }
  GMimeTextPart* text = g_mime_text_part_new_with_subtype("html");
  g_mime_text_part_set_text(text, html.c_str());
  g_mime_multipart_add(mixed, GMIME_OBJECT(text));
  g_object_unref(text);
  for (const Attached& f : files) {
    GMimePart* part = g_mime_part_new_with_type("application", "octet-stream");
    g_mime_part_set_filename(part, f.name.c_str());
    if (!f.shown_as.empty()) {
      g_mime_object_set_content_id(GMIME_OBJECT(part), f.shown_as.c_str());
      g_mime_object_set_disposition(GMIME_OBJECT(part), GMIME_DISPOSITION_INLINE);
    }
    GMimeStream* bytes = g_mime_stream_mem_new_with_buffer(f.bytes.data(), f.bytes.size());
    GMimeDataWrapper* content =
        g_mime_data_wrapper_new_with_stream(bytes, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(part, content);
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_multipart_add(mixed, GMIME_OBJECT(part));
    g_object_unref(content);
    g_object_unref(bytes);
    g_object_unref(part);
  }
  g_mime_message_set_mime_part(msg, GMIME_OBJECT(mixed));
  g_object_unref(mixed);
  char* whole = g_mime_object_to_string(GMIME_OBJECT(msg), nullptr);
  const std::string all = whole;
  g_free(whole);
  g_object_unref(msg);
  const auto split = all.find("\n\n");
  return {all.substr(0, split + 1), all.substr(split + 2)};
}

// The libraries are loaded from beside this program, or from nowhere.
class MilterTestServices : public testing::ScriptedServices {
 public:
  bool libraries = true;
  std::string library_folder() override {
    if (!libraries) return folder;
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  }
};

// One packing in a fresh work folder, and what its archive holds, extracted with our unzip.
struct Packing {
  explicit Packing(bool libraries = true) {
    services.folder = dir.path();
    services.libraries = libraries;
    fs::make_folder(dir / "work");
  }
  PackResult pack(const std::string& headers, const std::string& body, PackRules rules = {}) {
    return pack_message(headers, body, rules, dir / "work");
  }
  Files archive() {
    EXPECT_EQ(UnzipFiles().Unzip(dir / "work/DD.zip", dir / "check"), 0);
    Files files;
    for (const std::string& name : fs::list_files(dir / "check")) {
      files[name] = testing::read_file(dir / "check" + "/" + name);
    }
    return files;
  }
  MilterTestServices services;
  testing::TempFolder dir;
  const testing::ScopedServices installed{services};
};

TEST(MilterPack, PacksAttachmentsOrSaysWhyItLeavesTheMessage) {
  const std::string text(3000, 't');
  struct Case {
    std::string what;
    std::vector<Attached> files;
    std::string why = "";  // empty: packed, each file besides the readme
    bool libraries = true;
    bool inflate_check = false;
  };
  const std::vector<Case> cases{
      {"two files", {{"a.txt", text}, {"b.csv", "1,2\n" + text}}},
      {"two files, inflated", {{"a.txt", text}, {"b.csv", "1,2\n" + text}}, "", true, true},
      // The readme's name is reserved: the user's file is renamed, never written over.
      {"a file named as the readme", {{"Readme.txt", text, "", "Readme (2).txt"}}},
      // A name too long for a file cut as the add-in cuts it; the readme's name taken in
      // another case; every script kept as sent, in UTF-8.
      {"names",
       {{std::string(300, 'n') + ".log", text, "", std::string(64, 'n') + ".log"},
        {"readme.txt", text, "", "readme (2).txt"},
        {"übersicht €.txt", text},
        {"Отчёт за квартал.txt", text},
        {"報告書_2023年.txt", text},
        {"보고서.txt", text},
        {"\xF0\x9F\x98\x80 smile.txt", text}}},
      {"only a picture the body shows", {{"logo.png", text, "logo"}}, "no attachments"},
      {"bytes that do not compress",
       {{"noise.bin", testing::random_bytes(40000)}},
       "the archive would be larger than the attachments ("},
      {"no zip library", {{"a.txt", text}}, "The zip library failed with code 53", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Packing packing(c.libraries);
    const auto [headers, body] = message(c.files);

    const PackResult r =
        packing.pack(headers, body, PackRules{.skip_types = {}, .inflate_check = c.inflate_check});

    EXPECT_EQ(r.packed, c.why.empty());
    EXPECT_EQ(r.why.rfind(c.why, 0), 0u) << r.why;
    if (!r.packed) {
      EXPECT_TRUE(r.body().empty());
      continue;
    }
    EXPECT_NE(r.body().find("<p>Hello</p>"), std::string::npos);
    EXPECT_NE(r.body().find("filename=DD.zip"), std::string::npos);
    Files held = packing.archive();
    ASSERT_EQ(held.count("Readme.txt"), 1u);
    EXPECT_NE(held["Readme.txt"].size(), text.size());
    held.erase("Readme.txt");
    Files expected;
    for (const Attached& f : c.files) {
      expected[f.packed_as.empty() ? f.name : f.packed_as] = f.bytes;
    }
    EXPECT_EQ(held, expected);
  }
}

// Outside base64, line ends travel as CR LF: the archive holds them so, as the recipient's
// client would save the part, whatever the message's own line ends here. Base64 that a client
// might read otherwise than we do, or a message GMime would not write back as it came, is left.
TEST(MilterPack, SavesPartsAsTheRecipientWouldOrLeavesTheMessage) {
  const std::string lines = "@echo off\nrem caf\xc3\xa9\n";
  const std::string damaged = "an attachment's transfer encoding is damaged";
  struct Case {
    const char* encoding;
    std::string sent;  // each 200 times
    std::string saved;
    std::string why;  // empty: packed
    const char* end = "--b--\n";
  };
  const Case cases[] = {
      {"7bit", "@echo off\n", "@echo off\r\n", ""},
      {"8bit", lines, "@echo off\r\nrem caf\xc3\xa9\r\n", ""},
      {"quoted-printable", "rem caf=C3=A9 so=\nft=0A\n", "rem caf\xc3\xa9 soft\n\r\n", ""},
      {"base64", "QUJD REVG\n", "ABCDEF", ""},
      {"base64", "QUI=\n", "", damaged},  // padding before more digits
      {"base64", "QU!D\n", "", damaged},
      {"base64", "QUJD\n", "", "GMime would not write it back exactly", "--b--"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoding + c.sent);
    Packing packing;
    std::string sent;
    std::string saved;
    for (int i = 0; i < 200; ++i) sent += c.sent, saved += c.saved;
    const std::string headers =
        "From: a@test.local\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n";
    const std::string body =
        "--b\nContent-Type: text/plain\n\nhi\n--b\nContent-Type: text/plain\n"
        "Content-Disposition: attachment; filename=run.bat\n"
        "Content-Transfer-Encoding: " +
        std::string(c.encoding) + "\n\n" + sent + c.end;

    const PackResult r = packing.pack(headers, body);

    EXPECT_EQ(r.why, c.why);
    if (!r.packed) continue;
    // The last line end belongs to the boundary after it.
    if (c.encoding != std::string("base64")) saved.resize(saved.size() - 2);
    EXPECT_EQ(packing.archive()["run.bat"], saved);
  }
}

// The body arrives in chunks with CR LF, a pair maybe cut between two of them; a lone CR or LF
// would not come back the same, and such a body is not kept.
TEST(MilterReceived, KeepsTheBodyWithLfOrDropsIt) {
  struct Case {
    std::vector<std::string> chunks;
    std::string kept;  // after the header block; none when the body is not whole
  };
  const Case cases[] = {
      {{"a\r\nb\r\n"}, "a\nb\n"}, {{"a\r", "\nb\r\n", "", "c"}, "a\nb\nc"},
      {{"a\r", "b\r\n"}, ""},     {{"a\nb\r\n"}, ""},
      {{"a\r\n\r"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chunks[0]);
    Received received("H: v\n");
    size_t sent = 0;
    for (const std::string& chunk : c.chunks) received.add(chunk), sent += chunk.size();
    EXPECT_EQ(received.whole(), !c.kept.empty());
    EXPECT_EQ(received.received(), sent);
    GByteArray* bytes = received.release();
    if (!c.kept.empty()) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data), bytes->len),
                "H: v\n\n" + c.kept);
    }
    g_byte_array_unref(bytes);
  }
}

}  // namespace
}  // namespace parvex::milter
