// The signature line carried as the one line of the readme inside every archive. It is stored
// in digit form: each character's ANSI code as exactly three decimal digits, no separator.
#pragma once

#include <string>
#include <string_view>

namespace parvex {

// The product's web page, named by the signature line.
inline constexpr std::string_view kProductWebPage = "https://www.parvex.example";

// The signature line, decoded from its stored digit form.
std::string SignatureText();
// Rewrites add-in folder\Attachments\Readme.txt with the signature line, and the extra line
// when one is given; raises when it cannot.
void WriteReadme(const std::string& extra_line = {});
// The same readme as folder + separator + "Readme.txt".
void write_readme_in(const std::string& folder, const std::string& extra_line = {});
// "...sent using Parvex - " + the web page, in digit form: what the signature aid hands out.
std::string sample_signature_digits();

// Text (UTF-8) to digit form, through the ANSI code page.
std::string encode_digits(std::string_view text);
// Digit form to text (UTF-8); a last group of one or two digits is one more character.
// Raises 5 for a group whose code is not a character of the code page (above 255).
std::string decode_digits(std::string_view digits);

}  // namespace parvex
