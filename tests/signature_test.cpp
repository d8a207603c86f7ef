#include <gtest/gtest.h>

#include <string>

#include "addin_fixture.h"
#include "compression/signature.h"
#include "core/failure.h"
#include "platform/fs.h"
#include "ui/frm_about.h"

namespace parvex {
namespace {

TEST(Signature, DecodesThreeDigitsPerCharacterAndAShortLastGroup) {
  EXPECT_EQ(SignatureText(), "This archive was made by Parvex: " + std::string(kProductWebPage));
  EXPECT_EQ(decode_digits("072105033"), "Hi!");
  EXPECT_EQ(decode_digits("07210533"), "Hi!");
  EXPECT_EQ(decode_digits("0721053"), "Hi\x03");
  EXPECT_THROW(decode_digits("256"), Failure);
  if (fs::ansi_code("\u00E9") == 0xE9) {
    EXPECT_EQ(encode_digits("\u00E9t\u00E9"), "233116233");
  }
}

using SignatureTest = testing::AddinTest;

TEST_F(SignatureTest, EncoderFillsText1AndClipboardAndReadmeHoldsOneLine) {
  const std::string digits = EncodeSignature();
  EXPECT_EQ(decode_digits(digits), "...sent using Parvex - " + std::string(kProductWebPage));
  EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(ui::touch<ui::frm_about>().Text1.text, digits);
  EXPECT_EQ(services.clipboard, digits);

  EXPECT_THROW(WriteReadme(), Failure);  // no working folder yet
  fs::make_folder(dir / "Attachments");
  const std::string readme = dir / "Attachments" + kPathSep + "Readme.txt";
  testing::write_file(readme, "an older and much longer readme\r\nwith a second line\r\n");
  WriteReadme();
  WriteReadme();
  EXPECT_EQ(testing::read_file(readme), SignatureText() + "\r\n");
}

}  // namespace
}  // namespace parvex
