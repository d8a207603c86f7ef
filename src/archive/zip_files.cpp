#include "archive/zip_files.h"

#include <algorithm>

#include "archive/archive_text.h"
#include "core/failure.h"
#include "seams/services.h"

namespace parvex {
namespace {

auto find_key(std::vector<std::string>& list, const std::string& key) {
  return std::find_if(list.begin(), list.end(), [&](const std::string& entry) {
    return archive::same_ignoring_case(entry, key);
  });
}

}  // namespace

ZipFiles::ZipFiles() : FileList{"querty"} {}

void ZipFiles::addfile(const std::string& sFileName) {
  if (find_key(FileList, sFileName) != FileList.end()) {
    raise(err::kKeyInUse, "This key is already associated with an element of this collection");
  }
  FileList.push_back(sFileName);
  last_error().clear();
}

void ZipFiles::Level(int32_t nLevel) {
  // The library reads any other value as its default: a typo must not pass for a level.
  if (nLevel < -1 || nLevel > 9) raise(err::kInvalidCall, "Invalid procedure call or argument");
  level_ = nLevel;
}

int32_t ZipFiles::MakeZipFile() {
  try {
    std::vector<std::string> names;
    for (const std::string& entry : FileList) {
      if (names.size() == ZIP_MAX_NAMES) raise(err::kSubscriptRange, "Subscript out of range");
      names.push_back(entry);
    }
    return CodeModule::VBZip(names, zip_file_name_, recurse_, update_, root_directory_, encrypt_,
                             progress_, level_ < 0 ? '\0' : static_cast<char>('0' + level_));
  } catch (...) {
    const Failure f = current_failure();
    attempt([&] {
      services().message_box(
          std::to_string(f.number()) + "   ZipFiles::MakeZipFile  " + f.description(),
          MsgButtons::Ok, MsgIcon::None, "");
    });
    throw Failure(f.number(), "ZipFiles::MakeZipFile", f.description());
  }
}

std::string ZipFiles::GetLastMessage() const {
  return CodeModule::state().LastMessage;
}

}  // namespace parvex
