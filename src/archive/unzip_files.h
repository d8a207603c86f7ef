// UnzipFiles, the archive extractor: hands an archive path, a target folder and the
// library's fifteen settings (all fixed but two) to the unzip library in one call and answers its
// questions through CodeModule.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "archive/code_module.h"

namespace parvex {

class UnzipFiles {
 public:
  // Tests every entry's data instead of extracting it.
  void TestZip(bool bTest) { s_.TestZip = flag(bTest); }
  // 1 lists every entry (CodeModule's ListEntries) instead of extracting it.
  void ExtractList(int32_t zExType) { extract_list_ = zExType; }
  // Hears of each entry Unzip tests or extracts and may cancel the run
  // (CodeModule::ProgressHook).
  void Progress(CodeModule::ProgressHook hook) { progress_ = std::move(hook); }

  // Extracts (or tests, or lists) every entry and returns the library's result code. Non-empty
  // arguments replace the archive and the target folder of the last run first. Failures, among
  // them ExtractList outside -32768..32767, raise with the source "UnzipFiles::Unzip".
  int32_t Unzip(const std::string& sZipFileName = "", const std::string& sExtractDir = "");
  // What the library printed during the latest run or extraction on this thread.
  std::string GetLastMessage() const;

 private:
  static int16_t flag(bool value) { return value ? 1 : 0; }

  // The flags; ExtractList is held at full width below.
  CodeModule::UnzipIntegers s_{
      .MessageLevel = 2, .HonorDirectories = 1, .OverWriteFiles = 1, .CaseSensitive = 1};
  int32_t extract_list_ = 0;
  std::string zip_file_name_;
  std::string extract_dir_;
  CodeModule::ProgressHook progress_;
};

}  // namespace parvex
