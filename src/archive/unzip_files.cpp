#include "archive/unzip_files.h"

#include "core/failure.h"

namespace parvex {
namespace {

int16_t to_int16(int32_t value) {
  if (value < -32768 || value > 32767) raise(err::kOverflow, "Overflow");
  return static_cast<int16_t>(value);
}

}  // namespace

int32_t UnzipFiles::Unzip(const std::string& sZipFileName, const std::string& sExtractDir) {
  return rethrow_as("UnzipFiles::Unzip", [&] {
    if (!sZipFileName.empty()) zip_file_name_ = sZipFileName;
    if (!sExtractDir.empty()) extract_dir_ = sExtractDir;
    CodeModule::UnzipIntegers settings = s_;
    settings.ExtractList = to_int16(extract_list_);
    return CodeModule::VBUnzip(zip_file_name_, extract_dir_, settings, progress_);
  });
}

std::string UnzipFiles::GetLastMessage() const {
  return CodeModule::state().LastMessage;
}

}  // namespace parvex
