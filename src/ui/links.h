// The product's web page and the maker's contact address, as the windows open them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "compression/signature.h"

namespace parvex::ui {

inline constexpr std::string_view kContactMail = "mailto:contact@parvex.example";

// Asks the shell to open the address (parent window, "open", no parameters, "", show 0). Never
// fails and reports nothing: whether a program opened it is not known.
void open_address(std::uintptr_t parent, std::string_view address) noexcept;

}  // namespace parvex::ui
