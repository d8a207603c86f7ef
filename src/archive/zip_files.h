// ZipFiles, the archive builder: collects file names in a keyed list and hands them, with a
// fixed set of options, to the zip library in one run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/code_module.h"

namespace parvex {

class ZipFiles {
 public:
  // MakeZipFile's result when the zip library cannot be loaded or lacks ZpArchive: 53, the
  // runtime's "File not found" number. It is no ZE_ code of the library and never 0 (success).
  // Which result wins: ZpArchive's whenever it was called; otherwise this one, even when ZpInit
  // or ZpSetOptions ran, because their results are flags (1 done, 0 refused) and a refusal
  // passed on would read as ZE_OK for a run that archived nothing.
  static constexpr int32_t kLibraryUnavailable = CodeModule::kZipLibraryUnavailable;

  // The list starts with the placeholder "querty", which ZipFileCount leaves out.
  ZipFiles();

  bool RecurseFolders() const { return recurse_ == 1; }
  void RecurseFolders(bool bRecurse) { recurse_ = bRecurse ? 1 : 0; }
  const std::string& ZipFileName() const { return zip_file_name_; }
  void ZipFileName(const std::string& sZipFileName) { zip_file_name_ = sZipFileName; }
  // Asks the zip library to encrypt, only while the send holds a password (HeldPassword).
  bool Encrypted() const { return encrypt_ == 1; }
  void Encrypted(bool bEncrypt) { encrypt_ = bEncrypt ? 1 : 0; }
  // Stored only; the zip library is not told.
  bool IncludeSystemFiles() const { return system_files_ == 1; }
  void IncludeSystemFiles(bool bInclude) { system_files_ = bInclude ? 1 : 0; }
  // Entries of the list less one (the placeholder, removed or not).
  int32_t ZipFileCount() const { return static_cast<int32_t>(FileList.size()) - 1; }
  // Handed to the library in capital letters.
  const std::string& RootDirectory() const { return root_directory_; }
  void RootDirectory(const std::string& sRootDir) { root_directory_ = sRootDir; }
  bool UpdatingZip() const { return update_ == 1; }
  void UpdatingZip(bool bUpdating) { update_ = bUpdating ? 1 : 0; }
  // The deflate level, 0..9 (0 stores); -1, the start, leaves the zip library's default.
  int32_t Level() const { return level_; }
  void Level(int32_t nLevel);
  // Hears of each file MakeZipFile packs and may stop the run (CodeModule::ProgressHook).
  void Progress(CodeModule::ProgressHook hook) { progress_ = std::move(hook); }

  // Appends a name and clears the last-error record; raises err::kKeyInUse for a name already
  // held (compared without regard to case) and leaves the list unchanged.
  void addfile(const std::string& sFileName);
  // Hands every name to the zip library and returns its result code. More than 100 names, or a
  // name the ANSI code page cannot carry, shows a message box and raises with the source
  // "ZipFiles::MakeZipFile" before the library is called.
  int32_t MakeZipFile();
  // What the library printed during the latest run or extraction on this thread.
  std::string GetLastMessage() const;

 private:
  std::vector<std::string> FileList;  // in the order added; each entry is its own key
  int16_t recurse_ = 0;
  std::string zip_file_name_;
  int16_t encrypt_ = 0;
  int16_t system_files_ = 0;
  std::string root_directory_ = "\\";
  int16_t update_ = 0;
  int32_t level_ = -1;
  CodeModule::ProgressHook progress_;
};

}  // namespace parvex
