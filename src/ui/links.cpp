#include "ui/links.h"

#include "core/failure.h"
#include "seams/services.h"

namespace parvex::ui {

void open_address(std::uintptr_t parent, std::string_view address) noexcept {
  attempt([&] {
    services().shell_execute(
        ShellExecuteArgs{parent, "open", std::string(address), std::nullopt, "", 0});
  });
}

}  // namespace parvex::ui
