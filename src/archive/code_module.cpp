#include "archive/code_module.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "archive/archive_text.h"
#include "archive/library_loader.h"
#include "core/failure.h"
#include "core/program_state.h"
#include "seams/fs.h"
#include "seams/services.h"
#include "wipe.h"

namespace parvex::CodeModule {
namespace {

using archive::archive_entry_as;
using archive::ArchiveLibrary;
using pvx::wipe;

using ZpInitFn = int32_t(PVX_CALL*)(ZipCallbackRecord*);
using ZpSetOptionsFn = int32_t(PVX_CALL*)(ZipOptionRecord*);
using ZpArchiveFn = int32_t(PVX_CALL*)(int32_t, const char*, ZipNameList*);
using ZpPoolFn = int32_t(PVX_CALL*)();
using UzpVersion2Fn = int32_t(PVX_CALL*)(UnzipVersionRecord*);
using WizSingleEntryUnzipFn = int32_t(PVX_CALL*)(int32_t, ZipNameList*, int32_t, ZipNameList*,
                                                 UnzipOptionRecord*, UnzipCallbackRecord*);

constexpr size_t kZipPrintBuffer = 4097;     // ZipPrint's buffer: index 0 to 4096
constexpr size_t kUnzipPrintBuffer = 32801;  // UnzipPrint's
constexpr size_t kNameBytes = 256;           // names read from the list buffer

// The libraries are not re-entrant, and ZipPrint lets window events run in the middle of a
// run: a second run started from such an event would corrupt the first one's archive.
class RunGuard {
 public:
  RunGuard() {
    if (state().running) raise(err::kInvalidCall, "The archive engine is already running");
    state().running = true;
  }
  ~RunGuard() { state().running = false; }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
};

// The run's progress hook, in the module state for as long as the run.
class HeldHook {
 public:
  explicit HeldHook(const ProgressHook& hook) { state().Progress = hook; }
  ~HeldHook() { state().Progress = nullptr; }
  HeldHook(const HeldHook&) = delete;
  HeldHook& operator=(const HeldHook&) = delete;
};

// An export of our own that the zip library may lack; null then, or when it cannot be loaded.
ZpPoolFn pool_entry(const char* name) noexcept {
  void* entry = nullptr;
  attempt([&] { entry = archive::archive_library(ArchiveLibrary::Zip).symbol(name); });
  return reinterpret_cast<ZpPoolFn>(entry);
}

// Switches the library's texts to UTF-8 for one run where it has the export of ours, and back
// to ANSI at the end; state().Utf8Texts says which the run speaks.
class Utf8Texts {
 public:
  Utf8Texts(ArchiveLibrary library, const char* entry) noexcept {
    attempt(
        [&] { set_ = reinterpret_cast<SetFn>(archive::archive_library(library).symbol(entry)); });
    state().Utf8Texts = set_ && (set_(1), true);
  }
  ~Utf8Texts() {
    if (set_) set_(0);
    state().Utf8Texts = false;
  }
  Utf8Texts(const Utf8Texts&) = delete;
  Utf8Texts& operator=(const Utf8Texts&) = delete;
  // A text as the library takes it this run.
  static std::string copy(const std::string& utf8) {
    return state().Utf8Texts ? utf8 : archive::ansi_copy(utf8);
  }

 private:
  using SetFn = int32_t(PVX_CALL*)(int32_t);
  SetFn set_ = nullptr;
};

// A text a library handed back, in the encoding of the run.
std::string text_from_library(const char* buf, size_t max_len) {
  if (!state().Utf8Texts) return archive::text_from_ansi_buffer(buf, max_len);
  if (!buf) return {};
  const void* zero = std::memchr(buf, 0, max_len);
  return std::string(buf,
                     zero ? static_cast<size_t>(static_cast<const char*>(zero) - buf) : max_len);
}

template <class Record>
void clear_record(Record& record) {
  std::memset(&record, 0, sizeof record);  // padding included: the library sees no stale bytes
}

}  // namespace

ModuleState& state() {
  return program_state<ModuleState>();
}

HeldPassword::HeldPassword(const std::string& password) {
  if (password.empty() || password.size() > kMaxPassword) {
    raise(err::kInvalidCall, "No usable password");
  }
  wipe(state().Password);
  state().Password = password;
}

HeldPassword::~HeldPassword() {
  attempt([] { wipe(state().Password); });
}

ZipPool::ZipPool() noexcept {
  if (const ZpPoolFn start = pool_entry("ZpOpenPool")) open_ = start() == 1;
}

ZipPool::~ZipPool() {
  if (!open_) return;
  // Looked up again: the library may have been loaded anew since (ProgramState::reset()).
  if (const ZpPoolFn close = pool_entry("ZpClosePool")) close();
}

int32_t VBZip(const std::vector<std::string>& names, const std::string& zip_file, int16_t recurse,
              int16_t update, const std::string& root_dir, int16_t encrypt,
              const ProgressHook& progress, char level) {
  if (names.size() > ZIP_MAX_NAMES) raise(err::kSubscriptRange, "Subscript out of range");
  RunGuard guard;
  const HeldHook hook(progress);
  const Utf8Texts texts(ArchiveLibrary::Zip, "ZpSetUtf8");

  // The library's copies, alive until it returns.
  std::vector<std::string> ansi_names;
  ansi_names.reserve(names.size());
  for (const std::string& name : names) ansi_names.push_back(Utf8Texts::copy(name));
  std::string ansi_zip_file = Utf8Texts::copy(zip_file);
  std::string ansi_root = Utf8Texts::copy(archive::upper_case(root_dir));

  state().LastMessage.clear();

  ZipCallbackRecord callbacks;
  clear_record(callbacks);
  callbacks.print = &ZipPrint;
  callbacks.password = &ZipPassword;
  callbacks.progress = &ZipProgress;  // lets window events run during a large file too

  ZipOptionRecord options;
  clear_record(options);
  options.recurse = recurse;
  options.update = update;
  options.root_directory = ansi_root.data();
  options.level = level;
  // 3: a 256-bit key. Never without a password to give when the library asks for it.
  options.encrypt = encrypt != 0 && !state().Password.empty() ? 3 : 0;

  ZipNameList list;
  clear_record(list);
  for (size_t i = 0; i < ansi_names.size(); ++i) list.names[i] = ansi_names[i].data();

  // A library that cannot be loaded, or lacks an export, skips that step only.
  int32_t result = kZipLibraryUnavailable;
  // Read at once: any later call may overwrite the platform's value.
  const auto record_system_error = [] { state().SystemError = services().last_system_error(); };
  attempt([&] { archive_entry_as<ZpInitFn>(ArchiveLibrary::Zip, "ZpInit")(&callbacks); });
  attempt(record_system_error);
  attempt([&] { archive_entry_as<ZpSetOptionsFn>(ArchiveLibrary::Zip, "ZpSetOptions")(&options); });
  attempt(record_system_error);
  attempt([&] {
    const auto archive = archive_entry_as<ZpArchiveFn>(ArchiveLibrary::Zip, "ZpArchive");
    result = archive(static_cast<int32_t>(ansi_names.size()), ansi_zip_file.c_str(), &list);
  });
  attempt(record_system_error);
  return result;
}

int32_t VBUnzip(const std::string& zip_file, const std::string& extract_dir,
                const UnzipIntegers& settings, const ProgressHook& progress) {
  return rethrow_as("CodeModule::VBUnzip", [&] {
    RunGuard guard;
    const HeldHook hook(progress);
    const Utf8Texts texts(ArchiveLibrary::Unzip, "UzpSetUtf8");
    ModuleState& st = state();
    st.LastMessage.clear();
    st.ListEntries.clear();
    st.NextSizes.reset();

    ZipNameList first, second;
    clear_record(first);
    clear_record(second);

    std::string ansi_zip_file = Utf8Texts::copy(zip_file);
    std::string ansi_extract_dir = Utf8Texts::copy(extract_dir);
    UnzipOptionRecord options;
    clear_record(options);
    options.ExtractOnlyNewer = settings.ExtractOnlyNewer;
    options.SpaceToUnderScore = settings.SpaceToUnderScore;
    options.PromptOverwrite = settings.PromptOverwrite;
    options.MessageLevel = settings.MessageLevel;
    options.WriteToStdOut = settings.WriteToStdOut;
    options.TestZip = settings.TestZip;
    options.ExtractList = settings.ExtractList;
    options.ExtractNewer = settings.ExtractNewer;
    options.DisplayComment = settings.DisplayComment;
    options.HonorDirectories = settings.HonorDirectories;
    options.OverWriteFiles = settings.OverWriteFiles;
    options.ConvertCRtoCRLF = settings.ConvertCRtoCRLF;
    options.Verbose = settings.Verbose;
    options.CaseSensitive = settings.CaseSensitive;
    options.Privilege = settings.Privilege;
    options.ZipFileName = ansi_zip_file.data();
    options.ExtractDir = ansi_extract_dir.data();

    UnzipCallbackRecord callbacks;
    clear_record(callbacks);
    callbacks.print = &UnzipPrint;
    callbacks.password = &UnzipPassword;
    callbacks.list_entry = &UnzipListEntry;
    callbacks.service = &UnzipService;

    UnzipVersionRecord version;
    clear_record(version);
    version.structlen = sizeof version;
    std::memset(version.betalevel, ' ', sizeof version.betalevel - 1);
    std::memset(version.date, ' ', sizeof version.date - 1);
    std::memset(version.zlib, ' ', sizeof version.zlib - 1);

    archive_entry_as<UzpVersion2Fn>(ArchiveLibrary::Unzip, "UzpVersion2")(&version);
    st.SystemError = services().last_system_error();
    const auto unzip =
        archive_entry_as<WizSingleEntryUnzipFn>(ArchiveLibrary::Unzip, "Wiz_SingleEntryUnzip");
    // Our own library also tells the whole sizes (4 GiB and more); another one need not.
    using ListSizesFn = int32_t(PVX_CALL*)(UnzipListSizesFn);
    const auto sizes = reinterpret_cast<ListSizesFn>(
        archive_library(ArchiveLibrary::Unzip).symbol("UzpListSizes64"));
    using SetProgressFn = int32_t(PVX_CALL*)(UnzipProgressFn);
    const auto set_progress = reinterpret_cast<SetProgressFn>(
        archive_library(ArchiveLibrary::Unzip).symbol("UzpSetProgress"));
    if (sizes) sizes(&UnzipListSizes);
    if (set_progress) set_progress(&ZipProgress);
    const int32_t result = unzip(0, &first, 0, &second, &options, &callbacks);
    st.SystemError = services().last_system_error();
    if (sizes) sizes(nullptr);
    if (set_progress) set_progress(nullptr);
    return result;
  });
}

int32_t PVX_CALL ZipPrint(char* buf, uint32_t len) noexcept {
  return pvx::guard_result(0, 0, [&] {
    state().LastMessage += text_from_library(buf, std::min<size_t>(len, kZipPrintBuffer));
    services().do_events();
    return 0;
  });
}

int32_t PVX_CALL ZipPassword(char* buf, int32_t size, char*, char*) noexcept {
  return pvx::guard_result(1, 1, [&] {
    const std::string& password = state().Password;
    if (!buf || password.empty() || size <= 0 || password.size() >= static_cast<size_t>(size)) {
      return 1;  // a cut password would lock the archive with another one
    }
    std::memset(buf, 0, static_cast<size_t>(size));
    std::memcpy(buf, password.data(), password.size());
    return 0;
  });
}

int32_t PVX_CALL ZipProgress(const char* name, uint64_t done, uint64_t total) noexcept {
  // A hook that fails stops the run rather than pack on unwatched.
  const bool stop = pvx::guard_result(true, true, [&] {
    const ProgressHook& hook = state().Progress;
    const std::string text = name ? text_from_library(name, std::strlen(name)) : "";
    return hook && hook(text, done, total);
  });
  if (stop) return 1;
  pump_events();  // called every block: the window needs events only every few milliseconds
  return 0;
}

int32_t PVX_CALL UnzipPrint(char* buf, uint32_t len) noexcept {
  return pvx::guard_result(0, 0, [&] {
    state().LastMessage += text_from_library(buf, std::min<size_t>(len, kUnzipPrintBuffer));
    return 0;
  });
}

// Only the send reading back its own archive gives a password: its own, never a question.
int16_t PVX_CALL UnzipPassword(char* buf, int32_t size, char*, char*) noexcept {
  return pvx::guard_result<int16_t>(1, 1, [&]() -> int16_t {
    const std::string& password = state().Password;
    if (!buf || password.empty() || size <= 0 || password.size() >= static_cast<size_t>(size)) {
      return 1;
    }
    std::memset(buf, 0, static_cast<size_t>(size));
    std::memcpy(buf, password.data(), password.size());
    return 0;
  });
}

void PVX_CALL UnzipListEntry(uint32_t size, uint32_t csize, uint16_t, uint16_t, uint16_t, uint16_t,
                             uint16_t, uint16_t, char, char* name, char*, uint32_t crc,
                             char crypt) noexcept {
  pvx::guard_result([&] {
    ModuleState& st = state();
    const auto whole = std::exchange(st.NextSizes, std::nullopt);
    st.ListEntries.push_back({name ? text_from_library(name, kNameBytes) : std::string(),
                              whole ? whole->first : size, whole ? whole->second : csize, crc,
                              crypt != 0 && crypt != ' '});
  });
}

void PVX_CALL UnzipListSizes(uint64_t size, uint64_t csize) noexcept {
  pvx::guard_result([&] { state().NextSizes.emplace(size, csize); });
}

int32_t PVX_CALL UnzipService(char*, uint32_t) noexcept {
  return pvx::guard_result(0, 0, [] { return 0; });
}

}  // namespace parvex::CodeModule
