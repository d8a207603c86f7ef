#include "compression/signature.h"

#include <cmath>

#include "core/failure.h"
#include "seams/fs.h"
#include "seams/services.h"
#include "support/number_format.h"
#include "support/text_file.h"

namespace parvex {
namespace {

// The readme's line in digit form, split into four parts of 47, 47, 47 and 36 digits. They spell
// (a test checks that this line agrees with them):
//   "This archive was made by Parvex: https://www.parvex.example"
constexpr std::string_view kSignature1 = "08410410511503209711409910410511810103211909711";
constexpr std::string_view kSignature2 = "50321090971001010320981210320800971141181011200";
constexpr std::string_view kSignature3 = "58032104116116112115058047047119119119046112097";
constexpr std::string_view kSignature4 = "114118101120046101120097109112108101";

constexpr std::string_view kEncoderSamplePrefix = "...sent using Parvex - ";

}  // namespace

std::string encode_digits(std::string_view text) {
  std::string digits;
  for (const char byte : fs::to_ansi(text)) {
    const auto code = static_cast<unsigned char>(byte);
    digits += static_cast<char>('0' + code / 100);
    digits += static_cast<char>('0' + code / 10 % 10);
    digits += static_cast<char>('0' + code % 10);
  }
  return digits;
}

std::string decode_digits(std::string_view digits) {
  std::string ansi;
  for (size_t i = 0; i < digits.size(); i += 3) {
    const double code = std::nearbyint(val(digits.substr(i, 3)));
    if (code < 0 || code > 255) raise(err::kInvalidCall, "Invalid procedure call or argument");
    ansi += static_cast<char>(static_cast<unsigned char>(code));
  }
  return fs::from_ansi(ansi);
}

std::string SignatureText() {
  std::string joined;
  for (const auto part : {kSignature1, kSignature2, kSignature3, kSignature4}) joined += part;
  return decode_digits(joined);
}

void WriteReadme(const std::string& extra_line) {
  write_readme_in(services().addin_folder() + kPathSep + "Attachments", extra_line);
}

void write_readme_in(const std::string& folder, const std::string& extra_line) {
  const std::string path = folder + kPathSep + "Readme.txt";
  const std::string signature = SignatureText();
  bool fits = true;
  for (const std::string& line : {signature, extra_line}) {
    bool exact = true;
    fs::to_ansi(line, &exact);
    fits = fits && exact;
  }
  if (!fits) {
    // Lines the code page cannot carry would be question marks: UTF-8 with a byte-order mark,
    // which Notepad and every other tool read as such.
    fs::File readme(path, "wb");
    readme.write("\xEF\xBB\xBF" + signature + "\r\n" + extra_line + "\r\n");
    readme.close();
    return;
  }
  TextFile readme(path, OpenMode::Output);
  readme.print_line(signature);
  if (!extra_line.empty()) readme.print_line(extra_line);
  readme.close();
}

std::string sample_signature_digits() {
  return encode_digits(std::string(kEncoderSamplePrefix) + std::string(kProductWebPage));
}

}  // namespace parvex
