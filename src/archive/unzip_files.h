// UnzipFiles, the archive extractor: hands an archive path, a target folder and seventeen
// settings to the unzip library in one call and answers its questions through CodeModule.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "archive/code_module.h"

namespace parvex {

class UnzipFiles {
 public:
  bool ExtractNewer() const { return s_.ExtractNewer == 1; }
  void ExtractNewer(bool bExtractNewer) { s_.ExtractNewer = flag(bExtractNewer); }
  bool SpaceToUnderScore() const { return s_.SpaceToUnderScore == 1; }
  void SpaceToUnderScore(bool bConvert) { s_.SpaceToUnderScore = flag(bConvert); }
  bool PromptOverwrite() const { return s_.PromptOverwrite == 1; }
  void PromptOverwrite(bool bPrompt) { s_.PromptOverwrite = flag(bPrompt); }
  int32_t MessageLevel() const { return message_level_; }
  void MessageLevel(int32_t iLevel) { message_level_ = iLevel; }
  bool WriteToStdOut() const { return s_.WriteToStdOut == 1; }
  void WriteToStdOut(bool bWrite) { s_.WriteToStdOut = flag(bWrite); }
  bool TestZip() const { return s_.TestZip == 1; }
  void TestZip(bool bTest) { s_.TestZip = flag(bTest); }
  int32_t ExtractList() const { return extract_list_; }
  void ExtractList(int32_t zExType) { extract_list_ = zExType; }
  bool ExtractOnlyNewer() const { return s_.ExtractOnlyNewer == 1; }
  void ExtractOnlyNewer(bool bOnlyNewer) { s_.ExtractOnlyNewer = flag(bOnlyNewer); }
  bool DisplayComment() const { return s_.DisplayComment == 1; }
  void DisplayComment(bool bDisplay) { s_.DisplayComment = flag(bDisplay); }
  bool HonorDirectories() const { return s_.HonorDirectories == 1; }
  void HonorDirectories(bool bHonor) { s_.HonorDirectories = flag(bHonor); }
  bool OverWriteFiles() const { return s_.OverWriteFiles == 1; }
  void OverWriteFiles(bool bOverWrite) { s_.OverWriteFiles = flag(bOverWrite); }
  bool ConvertCRtoCRLF() const { return s_.ConvertCRtoCRLF == 1; }
  void ConvertCRtoCRLF(bool bConvert) { s_.ConvertCRtoCRLF = flag(bConvert); }
  bool Verbose() const { return s_.Verbose == 1; }
  void Verbose(bool bVerbose) { s_.Verbose = flag(bVerbose); }
  bool CaseSensitive() const { return s_.CaseSensitive == 1; }
  void CaseSensitive(bool bCaseSensitive) { s_.CaseSensitive = flag(bCaseSensitive); }
  int32_t Privilege() const { return privilege_; }
  void Privilege(int32_t zPriv) { privilege_ = zPriv; }
  const std::string& ZipFileName() const { return zip_file_name_; }
  void ZipFileName(const std::string& sZipFileName) { zip_file_name_ = sZipFileName; }
  const std::string& ExtractDir() const { return extract_dir_; }
  void ExtractDir(const std::string& sExtractDir) { extract_dir_ = sExtractDir; }
  // Hears of each entry Unzip tests or extracts and may cancel the run
  // (CodeModule::ProgressHook).
  void Progress(CodeModule::ProgressHook hook) { progress_ = std::move(hook); }

  // Extracts (or tests, or lists) every entry and returns the library's result code. Non-empty
  // arguments replace ZipFileName and ExtractDir first. Failures, among them MessageLevel,
  // ExtractList or Privilege outside -32768..32767, raise with the source "UnzipFiles::Unzip".
  int32_t Unzip(const std::string& sZipFileName = "", const std::string& sExtractDir = "");
  // What the library printed during the latest run or extraction on this thread.
  std::string GetLastMessage() const;

 private:
  static int16_t flag(bool value) { return value ? 1 : 0; }

  // The flags; MessageLevel, ExtractList and Privilege are held at full width below.
  CodeModule::UnzipIntegers s_{.HonorDirectories = 1, .OverWriteFiles = 1, .CaseSensitive = 1};
  int32_t message_level_ = 2;
  int32_t extract_list_ = 0;
  int32_t privilege_ = 0;
  std::string zip_file_name_;
  std::string extract_dir_;
  CodeModule::ProgressHook progress_;
};

}  // namespace parvex
