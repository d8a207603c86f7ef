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

namespace parvex::CodeModule {
namespace {

using archive::archive_entry_as;
using archive::ArchiveLibrary;

using ZpInitFn = int32_t(PVX_CALL*)(ZipCallbackRecord*);
using ZpSetOptionsFn = int32_t(PVX_CALL*)(ZipOptionRecord*);
using ZpArchiveFn = int32_t(PVX_CALL*)(int32_t, const char*, ZipNameList*);
using ZpPoolFn = int32_t(PVX_CALL*)();
using UzpVersion2Fn = int32_t(PVX_CALL*)(UnzipVersionRecord*);
using WizSingleEntryUnzipFn = int32_t(PVX_CALL*)(int32_t, ZipNameList*, int32_t, ZipNameList*,
                                                 UnzipOptionRecord*, UnzipCallbackRecord*);

constexpr size_t kZipPrintBuffer = 4097;  // ZipPrint's buffer: index 0 to 4096
constexpr size_t kNameBytes = 256;        // names read from the replace and list buffers
constexpr size_t kListWidth = 80;

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

template <class Record>
void clear_record(Record& record) {
  std::memset(&record, 0, sizeof record);  // padding included: the library sees no stale bytes
}

// Writes text into the columns first..last (counted from 1) of a listing line; cuts it there.
void put(std::string& line, size_t first, size_t last, const std::string& text) {
  line.replace(first - 1, std::min(text.size(), last - first + 1), text, 0,
               std::min(text.size(), last - first + 1));
}

std::string two_digits(unsigned value) {
  const std::string s = std::to_string(value);
  return s.size() < 2 ? "0" + s : s.substr(s.size() - 2);
}

std::string listing_header() {
  std::string line(kListWidth, ' ');
  put(line, 1, 9, "Filename:");
  put(line, 53, 56, "Size");
  put(line, 62, 65, "Date");
  put(line, 71, 74, "Time");
  return line;
}

// One listing line in ANSI columns (one byte, one column).
std::string listing_line(uint32_t size, uint16_t month, uint16_t day, uint16_t year, uint16_t hour,
                         uint16_t minute, const char* name) {
  std::string line(kListWidth, ' ');
  if (name) {
    const void* zero = std::memchr(name, 0, kNameBytes);
    const size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - name) : kNameBytes;
    put(line, 1, 50, std::string(name, std::min<size_t>(n, 50)));
  }
  const std::string digits = std::to_string(size);
  if (digits.size() <= 7) {
    const std::string field = std::string(8, ' ') + " " + digits;
    put(line, 51, 57, field.substr(field.size() - 7));
  } else {
    // Seven columns hold seven digits; a larger size takes columns from the name rather than
    // losing its leading digits.
    const std::string field = " " + digits;
    put(line, 58 - field.size(), 57, field);
  }
  put(line, 60, 62, two_digits(month) + "/");
  put(line, 63, 65, two_digits(day) + "/");
  put(line, 66, 67, two_digits(year));
  const std::string h = " " + std::to_string(hour);
  put(line, 70, 72, h.substr(h.size() - 2) + ":");
  put(line, 73, 74, two_digits(minute));
  return line;
}

}  // namespace

ModuleState& state() {
  return program_state<ModuleState>();
}

void wipe(std::string& text) noexcept {
  // Through a volatile pointer: a plain store before the release may be left out.
  volatile char* p = text.data();
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
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
              const ProgressHook& progress) {
  if (names.size() > ZIP_MAX_NAMES) raise(err::kSubscriptRange, "Subscript out of range");
  RunGuard guard;
  const HeldHook hook(progress);

  // ANSI copies, alive until the library returns.
  std::vector<std::string> ansi_names;
  ansi_names.reserve(names.size());
  for (const std::string& name : names) ansi_names.push_back(archive::ansi_copy(name));
  std::string ansi_zip_file = archive::ansi_copy(zip_file);
  std::string ansi_root = archive::ansi_copy(archive::upper_case(root_dir));

  state().LastMessage.clear();

  ZipCallbackRecord callbacks;
  clear_record(callbacks);
  callbacks.print = &ZipPrint;
  callbacks.password = &ZipPassword;
  callbacks.comment = &ZipComment;
  callbacks.progress = &ZipProgress;  // lets window events run during a large file too

  ZipOptionRecord options;
  clear_record(options);
  options.recurse = recurse;
  options.update = update;
  options.root_directory = ansi_root.data();
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
    ModuleState& st = state();
    st.LastMessage.clear();
    st.ListText.clear();
    st.ExtractText.clear();
    st.ListCount = 0;
    st.ListEntries.clear();
    st.NextSizes.reset();
    st.SkipPassword = 0;

    ZipNameList first, second;
    clear_record(first);
    clear_record(second);

    std::string ansi_zip_file = archive::ansi_copy(zip_file);
    std::string ansi_extract_dir = archive::ansi_copy(extract_dir);
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
    callbacks.replace = &UnzipReplace;
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
  attempt([&] {
    state().LastMessage +=
        archive::text_from_ansi_buffer(buf, std::min<size_t>(len, kZipPrintBuffer));
  });
  attempt([] { services().do_events(); });
  return 0;
}

int32_t PVX_CALL ZipPassword(char* buf, int32_t size, char*, char*) noexcept {
  int32_t given = 1;
  attempt([&] {
    const std::string& password = state().Password;
    if (!buf || password.empty() || size <= 0 || password.size() >= static_cast<size_t>(size)) {
      return;  // a cut password would lock the archive with another one
    }
    std::memset(buf, 0, static_cast<size_t>(size));
    std::memcpy(buf, password.data(), password.size());
    given = 0;
  });
  return given;
}

int32_t PVX_CALL ZipProgress(const char* name, uint64_t done, uint64_t total) noexcept {
  bool stop = false;
  attempt([&] {
    stop = true;  // a hook that fails stops the run rather than pack on unwatched
    const ProgressHook& hook = state().Progress;
    const std::string text = name ? archive::text_from_ansi_buffer(name, std::strlen(name)) : "";
    stop = hook && hook(text, done, total);
  });
  if (stop) return 1;
  pump_events();  // called every block: the window needs events only every few milliseconds
  return 0;
}

char* PVX_CALL ZipComment(char* buf) noexcept {
  try {
    std::array<char, 4097>& copy = state().comment;
    if (buf) {
      std::memcpy(copy.data(), buf, copy.size());
    } else {
      copy.fill(0);
    }
    copy[0] = 0;
    return copy.data();
  } catch (...) {
    if (buf) buf[0] = 0;  // still no comment, in the library's own buffer
    return buf;
  }
}

int32_t PVX_CALL UnzipPrint(char*, uint32_t) noexcept {
  attempt([] {
    ModuleState& st = state();
    st.ExtractText += "done with Parvex";
    st.LastMessage = st.ExtractText;
  });
  return 0;
}

int32_t PVX_CALL UnzipReplace(char* name) noexcept {
  // A question that cannot be asked keeps the existing file.
  int32_t answer = 100;
  attempt([&] {
    const std::string text = "Overwrite " + archive::text_from_ansi_buffer(name, kNameBytes) + "?";
    // Only a Yes replaces: No, and a box nobody answered, keep the file.
    switch (services().message_box(text, MsgButtons::YesNoCancel, MsgIcon::Warning,
                                   "VBUnZip32 - File Already Exists!")) {
      case MsgAnswer::Yes:
        answer = 102;
        break;
      case MsgAnswer::Cancel:
        answer = 104;
        break;
      default:
        answer = 100;
        break;
    }
  });
  return answer;
}

int16_t PVX_CALL UnzipPassword(char* buf, int32_t size, char*, char*) noexcept {
  int16_t given = 1;
  attempt([&] {
    ModuleState& st = state();
    if (st.SkipPassword == 1) return;
    // The send reading back its own archive: its password, never a question.
    if (!st.Password.empty()) {
      if (!buf || size <= 0 || st.Password.size() >= static_cast<size_t>(size)) return;
      std::memset(buf, 0, static_cast<size_t>(size));
      std::memcpy(buf, st.Password.data(), st.Password.size());
      given = 0;
      return;
    }
    std::string answer = services().input_box("Please Enter The Password!", "", "");
    if (answer.empty()) {
      st.SkipPassword = 1;
      return;
    }
    std::string ansi = fs::to_ansi(answer);
    wipe(answer);
    if (buf && size > 0) {  // else no room even for the terminating zero
      const size_t room = static_cast<size_t>(size);
      const size_t n = std::min(ansi.size(), room - 1);
      std::memset(buf, 0, room);
      std::memcpy(buf, ansi.data(), n);
      given = 0;
    }
    wipe(ansi);
  });
  return given;
}

void PVX_CALL UnzipListEntry(uint32_t size, uint32_t csize, uint16_t, uint16_t month, uint16_t day,
                             uint16_t year, uint16_t hour, uint16_t minute, char, char* name, char*,
                             uint32_t crc, char crypt) noexcept {
  attempt([&] {
    ModuleState& st = state();
    if (st.ListCount == 0) st.ListText = fs::from_ansi(listing_header()) + "\r\n";
    st.ListText += fs::from_ansi(listing_line(size, month, day, year, hour, minute, name)) + "\r\n";
    if (st.ListCount < 32767) ++st.ListCount;
    const auto whole = std::exchange(st.NextSizes, std::nullopt);
    st.ListEntries.push_back(
        {name ? archive::text_from_ansi_buffer(name, kNameBytes) : std::string(),
         whole ? whole->first : size, whole ? whole->second : csize, crc,
         crypt != 0 && crypt != ' '});
  });
}

void PVX_CALL UnzipListSizes(uint64_t size, uint64_t csize) noexcept {
  attempt([&] { state().NextSizes.emplace(size, csize); });
}

int32_t PVX_CALL UnzipService(char*, uint32_t) noexcept {
  return 0;
}

}  // namespace parvex::CodeModule
