#include "unzip_engine.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "codepage.h"
#include "entry_decoder.h"
#include "entry_path.h"
#include "file.h"
#include "le.h"
#include "zip_directory.h"
#include "ziperrors.h"

namespace pvx::unzip {
namespace {

// Answers of the replace routine; any other, 100 (skip this one) among them, keeps the file.
constexpr int32_t kReplaceYes = 102;
constexpr int32_t kReplaceSkipAll = 104;
constexpr int kPasswordTries = 3;
// How often a large entry's progress is told: every so many decoded bytes on the calling
// thread, and after so long a wait for another thread's entry.
constexpr uint64_t kProgressStep = 1 << 20;
constexpr std::chrono::milliseconds kProgressWait{20};
// Entries opened ahead of the one reported next, per thread testing them.
constexpr size_t kAheadPerThread = 4;

// Callers may view these buffers as fixed arrays of these sizes (texts 0..32800, names and
// passwords 0..256), so every buffer handed out is at least that large.
constexpr size_t kTextBuffer = 32801;
constexpr size_t kNameBuffer = 257;

struct Buffers {
  std::array<char, kTextBuffer> text;
  std::array<char, kNameBuffer> password;
  std::array<char, kNameBuffer> prompt;
  std::array<char, kNameBuffer> name;
  std::array<char, kNameBuffer> method;
};

using pvx::wipe;

// The forms of a password a writer may have made its key from: as given, and in the other of
// the ANSI code page and UTF-8 (7-Zip and this library write UTF-8, older tools ANSI).
// Wiped by their holder.
class PasswordForms {
 public:
  explicit PasswordForms(const std::string& password) : forms_{password} {
    if (is_ascii(password)) return;
    forms_.push_back(ansi_to_utf8(password));
    bool exact = false;
    std::string ansi = is_utf8(password) ? utf8_to_ansi(password, &exact) : std::string();
    if (exact) forms_.push_back(std::move(ansi));
    wipe(ansi);
  }
  ~PasswordForms() {
    for (std::string& form : forms_) wipe(form);
  }
  PasswordForms(const PasswordForms&) = delete;
  PasswordForms& operator=(const PasswordForms&) = delete;
  const std::vector<std::string>& all() const { return forms_; }

 private:
  std::vector<std::string> forms_;
};

template <size_t N>
char* fill(std::array<char, N>& buf, std::string_view text) {
  const size_t n = std::min(text.size(), N - 1);
  std::memcpy(buf.data(), text.data(), n);
  std::memset(buf.data() + n, 0, N <= kNameBuffer ? N - n : 1);
  return buf.data();
}

// Hands text to the print routine in pieces that fit its buffer.
void print_to(const UnzipCallbackRecord& cb, Buffers& buf, std::string_view text) {
  if (!cb.print) return;
  while (!text.empty()) {
    const size_t n = std::min(text.size(), kTextBuffer - 1);
    std::memcpy(buf.text.data(), text.data(), n);
    buf.text[n] = '\0';
    cb.print(buf.text.data(), static_cast<uint32_t>(n));
    text.remove_prefix(n);
  }
}

// Worse results replace milder ones; the run returns the worst it met.
int severity(int code) {
  static constexpr int kMildestFirst[] = {PK_OK,     PK_WARN,  PK_FIND, IZ_UNSUP, IZ_BADPWD, PK_ERR,
                                          PK_BADERR, PK_NOZIP, PK_EOF,  PK_DISK,  IZ_CTRLC};
  const int* at = std::find(std::begin(kMildestFirst), std::end(kMildestFirst), code);
  return at == std::end(kMildestFirst) ? severity(PK_BADERR)
                                       : static_cast<int>(at - std::begin(kMildestFirst));
}

uint32_t clamp32(uint64_t v) {
  return static_cast<uint32_t>(std::min<uint64_t>(v, 0xFFFFFFFFu));
}

std::string hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

// Method names as listings of the zip tools show them.
std::string method_name(const Entry& e) {
  static const std::map<uint16_t, const char*> kNames = {
      {0, "Stored"}, {1, "Shrunk"}, {6, "Implode"}, {9, "Defl64"}, {12, "BZip2"},
      {14, "LZMA"},  {93, "Zstd"},  {95, "XZ"},     {98, "PPMd"},  {99, "AES"}};
  if (e.method == kMethodDeflated) return std::string("Defl:") + "NXFS"[(e.flags >> 1) & 3];
  const auto name = kNames.find(e.method);
  return name != kNames.end() ? name->second : "Unk:" + std::to_string(e.method);
}

std::string join(const std::string& folder, const std::string& relative) {
  if (folder.empty()) return relative;
  const char last = folder.back();
  return last == '/' || last == '\\' ? folder + relative : folder + kSep + relative;
}

// Makes a folder and any missing parents; true when it exists as a folder afterwards.
bool make_dirs(const std::string& path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if ((path[i] == '/' || path[i] == '\\') && path[i - 1] != ':' && path[i - 1] != '/' &&
        path[i - 1] != '\\') {
      make_dir(path.substr(0, i));
    }
  }
  return make_dir(path);
}

std::string comment_text(const std::string& raw) {
  return is_utf8(raw) && !is_ascii(raw) ? raw : cp437_to_utf8(raw);
}

class Run {
 public:
  Run(Source& src, const Job& job, const UnzipCallbackRecord* cb)
      : src_(src), job_(job), opt_(job.options), buf_(std::make_unique<Buffers>()) {
    if (cb) cb_ = *cb;
  }
  ~Run() {
    wipe(buf_->password.data(), buf_->password.size());
    if (password_) wipe(*password_);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  int execute(Totals* totals);

 private:
  void print(std::string_view text) {
    if (held_) {
      held_->append(text);
    } else {
      print_to(cb_, *buf_, text);
    }
  }
  void info(const std::string& line) {
    if (opt_.message_level >= 2) print(line + "\n");
  }
  void problem(int code, const std::string& line) {
    fold(code);
    if (opt_.message_level >= 1) print(line + "\n");
  }
  void fold(int code) {
    if (severity(code) > severity(code_)) code_ = code;
  }
  // A text for the caller's routines, in the caller's encoding.
  std::string ansi(std::string_view utf8) const {
    return job_.utf8_texts ? std::string(utf8) : utf8_to_ansi(utf8);
  }

  bool selected(const Entry& e, std::vector<bool>* matched) const;
  bool service(const Entry& e);
  // Reports an entry with the size and CRC given: the recorded ones in a listing, those of
  // the decoded bytes in a test run.
  void list_entry(const Entry& e, uint64_t usize, uint32_t crc);
  void test_entry(const Entry& e);
  void print_entry(const Entry& e);
  void extract_entry(const Entry& e);
  bool may_replace(const std::string& dest, const std::string& shown);

  struct Opened {
    DecodeRequest request;
    std::optional<PkDecryptor> decryptor;
    std::unique_ptr<AesStream> aes;
    unsigned char aes_code[kAesCodeSize] = {};
    // An AES entry whose keys the decoding thread derives (a thousand rounds each) from the
    // password that opened the entries before: the salt and verifier, and that password.
    bool keys_pending = false;
    int aes_strength = 0;
    unsigned char aes_head[kAesMaxSalt + kAesVerifierSize] = {};
    std::string password;
    uint64_t span = 0;  // where its claimed bytes begin
    ~Opened() { wipe(password); }
    // Derives the pending keys; false when the password does not fit this entry.
    bool derive_keys();
  };
  void report_test(const Entry& e, const std::string& shown, const Opened& o,
                   const DecodeResult& r);

  // Tells the caller's progress routine; false once it asked to stop (the run is cancelled).
  bool tell(const std::string& shown, uint64_t done, uint64_t total) {
    if (!cancelled_ && job_.progress && job_.progress(shown.c_str(), done, total) != 0) {
      cancelled_ = true;
    }
    return !cancelled_;
  }
  // Counts an entry's decoded bytes and tells them every kProgressStep.
  struct Ticker {
    Run& run;
    const std::string& shown;
    uint64_t total;
    uint64_t done = 0, next = kProgressStep;
    bool add(size_t n) {
      done += n;
      if (done < next) return true;
      next = done + kProgressStep;
      return run.tell(shown, done, total);
    }
  };

  // Entries of a test run decoded on other threads as well, each thread with a reader of its
  // own, and reported in entry order on the calling thread.
  struct Tested {
    const Entry* entry = nullptr;
    std::string shown;
    std::string said;                // printed while it was opened: shown in its turn
    std::unique_ptr<Opened> opened;  // null when it was refused while opened
    DecodeResult result;
    bool broke = false;                    // decoding threw (out of memory)
    std::atomic<uint64_t> done{0};         // bytes decoded so far
    bool taken = false, finished = false;  // under Together::mutex
    bool told = false;                     // its start was told (calling thread only)
  };
  struct Together {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<Tested>> entries;  // in entry order
    size_t next_take = 0, next_report = 0;
    bool stopping = false;
    std::atomic<bool> cancel{false};
    std::vector<std::thread> threads;
    ~Together();
  };
  std::unique_ptr<Together> start_together();
  void work(Together& t, std::unique_ptr<Source> src);
  void decode_tested(Tested& job, EntryDecoder& decoder, Source& src,
                     const std::function<bool()>& go_on);
  void test_together(Together& t, const Entry& e);
  // Reports finished entries in order; with `all`, every one. While the next is not done it
  // decodes an entry no thread has taken, or waits a moment, and tells that one's progress.
  void report_together(Together& t, bool all);
  bool open_data(const Entry& e, const std::string& shown, Opened* out);
  bool unlock(const Entry& e, const EntryData& d, const unsigned char* header,
              const DecodeRequest& data, std::optional<PkDecryptor>* out);
  bool unlock_aes(const Entry& e, const EntryData& d, const std::string& prefix, Opened* out);
  // Tries the last password that worked, then asks the caller; false when none fits.
  bool find_password(const Entry& e, const std::function<bool(const std::string&)>& fits);
  bool claim_span(uint64_t begin, uint64_t end);
  bool make_parents(const std::string& relative);
  // Message for a failed decode, with its code; empty text for success.
  std::string describe(const DecodeResult& r, const Entry& e, const Opened& o, int* code) const;

  Source& src_;
  const Job& job_;
  const Options& opt_;
  UnzipCallbackRecord cb_{};
  std::unique_ptr<Buffers> buf_;
  Directory dir_;
  int code_ = PK_OK;
  bool skip_all_existing_ = false;
  std::optional<std::string> password_;  // the last one that opened an entry
  std::map<uint64_t, uint64_t> spans_;   // bytes of the archive already read, begin -> end
  std::string last_folder_;              // the folder the previous file went to
  EntryDecoder decoder_;
  bool cancelled_ = false;       // the progress routine asked to stop
  bool defer_keys_ = false;      // open_data leaves AES keys to the decoding thread
  std::string* held_ = nullptr;  // where printed text goes instead, while set
};

bool Run::Opened::derive_keys() {
  const PasswordForms forms(password);
  const size_t salt_len = aes_salt_size(aes_strength);
  for (const std::string& form : forms.all()) {
    unsigned char verifier[kAesVerifierSize];
    if (aes->start(form, aes_strength, aes_head, verifier) &&
        std::equal(verifier, verifier + kAesVerifierSize, aes_head + salt_len)) {
      keys_pending = false;
      break;
    }
  }
  wipe(password);
  return !keys_pending;
}

Run::Together::~Together() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  cancel = true;  // on a normal end every entry is done already
  changed.notify_all();
  for (std::thread& thread : threads) thread.join();
}

std::unique_ptr<Run::Together> Run::start_together() {
  const unsigned cores = std::thread::hardware_concurrency();
  // The calling thread tests entries too: one thread fewer than cores.
  const unsigned threads = cores <= 1 ? 0 : std::min(cores - 1, 3u);
  if (threads == 0 || dir_.entries.size() < 2) return nullptr;
  auto t = std::make_unique<Together>();
  t->threads.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) {
    Source* src = src_.another().release();  // the thread's from its start
    if (!src) break;
    try {
      t->threads.emplace_back(
          [this, &together = *t, src] { work(together, std::unique_ptr<Source>(src)); });
    } catch (...) {
      delete src;
      break;  // the calling thread tests whatever no thread takes
    }
  }
  if (t->threads.empty()) return nullptr;
  return t;
}

void Run::decode_tested(Tested& job, EntryDecoder& decoder, Source& src,
                        const std::function<bool()>& go_on) {
  if (job.opened->keys_pending && !job.opened->derive_keys()) return;  // asked for in its turn
  job.result = decoder.decode(src, job.opened->request, [&](const char*, size_t n) {
    job.done.fetch_add(n, std::memory_order_relaxed);
    return go_on();
  });
}

void Run::work(Together& t, std::unique_ptr<Source> src) {
  try {
    EntryDecoder decoder;
    for (;;) {
      Tested* job = nullptr;
      {
        std::unique_lock<std::mutex> lock(t.mutex);
        t.changed.wait(lock, [&] {
          while (t.next_take < t.entries.size() && t.entries[t.next_take]->taken) ++t.next_take;
          return t.stopping || t.next_take < t.entries.size();
        });
        if (t.next_take == t.entries.size()) return;
        job = t.entries[t.next_take++].get();
        job->taken = true;
      }
      try {
        if (!t.cancel) decode_tested(*job, decoder, *src, [&] { return !t.cancel; });
      } catch (...) {
        job->broke = true;
      }
      {
        std::lock_guard<std::mutex> lock(t.mutex);
        job->finished = true;
      }
      t.changed.notify_all();
    }
  } catch (...) {
    // No decoder for this thread: the calling thread takes over what it would have tested.
  }
}

void Run::test_together(Together& t, const Entry& e) {
  auto job = std::make_unique<Tested>();
  job->entry = &e;
  job->shown = ansi(e.name);
  job->opened = std::make_unique<Opened>();
  held_ = &job->said;
  defer_keys_ = true;
  bool opened = false;
  try {
    opened = open_data(e, job->shown, job->opened.get());
  } catch (...) {
    held_ = nullptr;
    defer_keys_ = false;
    throw;
  }
  held_ = nullptr;
  defer_keys_ = false;
  if (!opened) job->opened.reset();
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    job->taken = job->finished = !job->opened;  // nothing to decode
    t.entries.push_back(std::move(job));
  }
  t.changed.notify_all();
  report_together(t, false);
}

void Run::report_together(Together& t, bool all) {
  const size_t ahead = kAheadPerThread * (t.threads.size() + 1);
  while (!cancelled_) {
    Tested* front = nullptr;
    Tested* mine = nullptr;
    bool finished = false;
    {
      std::unique_lock<std::mutex> lock(t.mutex);
      if (t.next_report == t.entries.size()) return;
      if (!all && t.entries.size() - t.next_report < ahead) return;
      front = t.entries[t.next_report].get();
      while (t.next_take < t.entries.size() && t.entries[t.next_take]->taken) ++t.next_take;
      if (!front->finished && t.next_take < t.entries.size()) {
        mine = t.entries[t.next_take++].get();
        mine->taken = true;
      } else if (!front->finished) {
        t.changed.wait_for(lock, kProgressWait, [&] { return front->finished; });
      }
      finished = front->finished;
    }
    const uint64_t total = front->opened ? front->opened->request.usize : 0;
    if (front->opened && !front->told && !tell(front->shown, 0, total)) break;
    front->told = true;
    const auto front_done = [&] { return front->done.load(std::memory_order_relaxed); };
    if (mine) {
      uint64_t next = kProgressStep;
      try {
        decode_tested(*mine, decoder_, src_, [&] {
          const uint64_t seen = mine->done.load(std::memory_order_relaxed);
          if (seen < next) return !cancelled_;
          next = seen + kProgressStep;
          return tell(front->shown, front_done(), total);
        });
      } catch (...) {
        mine->broke = true;
      }
      std::lock_guard<std::mutex> lock(t.mutex);
      mine->finished = true;
      continue;
    }
    if (!finished) {
      if (!tell(front->shown, front_done(), total)) break;
      continue;
    }
    if (front->opened && !tell(front->shown, front_done(), total)) break;
    if (!front->opened || !front->opened->keys_pending) print(front->said);
    if (front->broke) {
      problem(PK_MEM, "    testing: " + front->shown + "   out of memory");
    } else if (front->opened && front->opened->keys_pending) {
      // Another password than the entries' before: opened again here, where it can be asked.
      spans_.erase(front->opened->span);
      front->opened.reset();
      test_entry(*front->entry);
    } else if (front->opened) {
      report_test(*front->entry, front->shown, *front->opened, front->result);
    }
    front->opened.reset();
    ++t.next_report;
  }
  t.cancel = true;
}

int Run::execute(Totals* totals) {
  *totals = Totals{};
  const bool extracting = !opt_.list && !opt_.test && !opt_.to_print;
  if (extracting || opt_.test) info("Archive:  " + job_.archive_shown);

  const ReadResult read = read_directory(src_, &dir_);
  for (const std::string& m : read.messages) {
    const bool warning = read.code == PK_WARN;
    problem(read.code, (warning ? "warning [" : "error [") + job_.archive_shown + "]:  " + m);
  }
  if (read.code == PK_NOZIP) return code_;
  totals->comment_length = dir_.comment.size();
  if (opt_.display_comment && !dir_.comment.empty()) {
    print(ansi(comment_text(dir_.comment)) + "\n");
  }
  claim_span(dir_.cd_begin, dir_.cd_end);
  if (dir_.entries.empty() && read.code == PK_OK) {
    problem(PK_WARN, "warning [" + job_.archive_shown + "]:  the archive is empty");
  }
  if (extracting && !job_.target.empty() && !make_dirs(job_.target)) {
    problem(PK_DISK, "error:  cannot create the folder " + ansi(job_.target));
    return code_;
  }

  std::vector<bool> matched(job_.include.size(), false);
  const std::unique_ptr<Together> together = opt_.test ? start_together() : nullptr;
  bool refused = false;  // by the service routine
  for (const Entry& e : dir_.entries) {
    if (!selected(e, &matched)) continue;
    ++totals->entries;
    totals->size += e.usize;
    totals->compressed += e.csize;
    if (!service(e)) {
      refused = true;
      break;
    }
    if (opt_.list) {
      list_entry(e, e.usize, e.crc);
    } else if (together) {
      test_together(*together, e);
    } else if (opt_.test) {
      test_entry(e);
    } else if (opt_.to_print) {
      print_entry(e);
    } else {
      extract_entry(e);
    }
    if (cancelled_) break;
  }
  if (together) report_together(*together, true);
  if (refused || cancelled_) problem(IZ_CTRLC, "cancelled by the user");

  const bool filtered = !job_.include.empty() || !job_.exclude.empty();
  for (size_t i = 0; i < matched.size(); ++i) {
    if (!matched[i]) problem(PK_WARN, "caution: filename not matched:  " + ansi(job_.include[i]));
  }
  if (filtered && totals->entries == 0 && !dir_.entries.empty()) fold(PK_FIND);
  if (opt_.test && code_ != IZ_CTRLC) {
    if (severity(code_) <= severity(PK_FIND)) {
      info("No errors detected in compressed data of " + job_.archive_shown + ".");
    } else {
      problem(code_, "At least one error was detected in " + job_.archive_shown + ".");
    }
  }
  if (opt_.verbose) {
    print(std::to_string(totals->entries) + " entries, " + std::to_string(totals->size) +
          " bytes, " + std::to_string(totals->compressed) + " bytes compressed, " +
          std::to_string(totals->percent_saved()) + "% saved\n");
  }
  return code_;
}

bool Run::selected(const Entry& e, std::vector<bool>* matched) const {
  bool in = job_.include.empty();
  for (size_t i = 0; i < job_.include.size(); ++i) {
    if (wildcard_match(job_.include[i], e.name, opt_.case_sensitive)) {
      (*matched)[i] = true;
      in = true;
    }
  }
  if (!in) return false;
  for (const std::string& pattern : job_.exclude) {
    if (wildcard_match(pattern, e.name, opt_.case_sensitive)) return false;
  }
  return true;
}

bool Run::service(const Entry& e) {
  if (!cb_.service) return true;
  return cb_.service(fill(buf_->text, ansi(e.name)), clamp32(e.usize)) == 0;
}

void Run::list_entry(const Entry& e, uint64_t usize, uint32_t crc) {
  if (!cb_.list_entry) return;
  if (job_.list_sizes) job_.list_sizes(e.usize, e.csize);
  const unsigned ratio =
      e.usize == 0 || e.csize >= e.usize ? 0 : static_cast<unsigned>(100 - e.csize * 100 / e.usize);
  cb_.list_entry(clamp32(usize), clamp32(e.csize), static_cast<uint16_t>(ratio),
                 static_cast<uint16_t>((e.dos_date >> 5) & 0x0F),
                 static_cast<uint16_t>(e.dos_date & 0x1F),
                 static_cast<uint16_t>(1980 + ((e.dos_date >> 9) & 0x7F)),
                 static_cast<uint16_t>((e.dos_time >> 11) & 0x1F),
                 static_cast<uint16_t>((e.dos_time >> 5) & 0x3F), e.is_dir() ? 'd' : ' ',
                 fill(buf_->name, ansi(e.name)), fill(buf_->method, method_name(e)), crc,
                 e.encrypted() ? 'E' : ' ');
}

bool Run::claim_span(uint64_t begin, uint64_t end) {
  if (end <= begin) return true;
  auto next = spans_.lower_bound(begin);
  if (next != spans_.end() && next->first < end) return false;
  if (next != spans_.begin() && std::prev(next)->second > begin) return false;
  spans_.emplace(begin, end);
  return true;
}

bool Run::open_data(const Entry& e, const std::string& shown, Opened* out) {
  const std::string prefix = "skipping: " + shown + "  (";
  if (!e.damage.empty()) {
    problem(PK_ERR, prefix + e.damage + ")");
    return false;
  }
  out->span = UINT64_MAX;
  const bool aes = e.method == kMethodAes;
  if ((e.flags & kFlagStrongEncryption) || (aes && !(e.aes_usable && e.encrypted())) ||
      (!aes && e.aes)) {
    problem(IZ_UNSUP, prefix + "its encryption is not supported)");
    return false;
  }
  const uint16_t method = aes ? e.aes_extra.method : e.method;
  if (method != kMethodStored && method != kMethodDeflated) {
    const std::string name = aes ? "under AES" : method_name(e);
    problem(IZ_UNSUP, prefix + "compression method " + std::to_string(method) + " (" + name +
                          ") is not supported)");
    return false;
  }
  EntryData d;
  std::string why;
  if (const int rc = locate_data(src_, e, &d, &why); rc != PK_OK) {
    problem(rc, prefix + why + ")");
    return false;
  }
  // Entries that share bytes with another entry or with the directory are how the
  // overlapping kind of zip bomb multiplies its output.
  if (!claim_span(d.header_offset, d.data_offset + d.csize)) {
    problem(PK_BADERR, prefix + "its data overlaps another part of the archive: a zip bomb?)");
    return false;
  }
  out->span = d.header_offset;
  if (d.name_differs) {
    problem(PK_WARN, "warning: " + shown + "  (its local header gives another name)");
  }
  if (d.values_differ) {
    problem(PK_WARN, "warning: " + shown +
                         "  (its local header and the directory give different sizes or CRCs; "
                         "the local header's are used)");
  }
  DecodeRequest& r = out->request;
  r.offset = d.data_offset;
  r.csize = d.csize;
  r.usize = d.usize;
  r.crc = d.crc;
  r.method = method;
  if (!e.encrypted()) return true;
  if (aes) return unlock_aes(e, d, prefix, out);

  unsigned char header[kCryptHeaderSize];
  if (d.csize < kCryptHeaderSize || !src_.read_at(d.data_offset, header, kCryptHeaderSize)) {
    problem(PK_ERR, prefix + "its encryption header is missing)");
    return false;
  }
  r.offset += kCryptHeaderSize;
  r.csize -= kCryptHeaderSize;
  if (!unlock(e, d, header, r, &out->decryptor)) return false;
  r.decryptor = &*out->decryptor;
  return true;
}

bool Run::unlock(const Entry& e, const EntryData& d, const unsigned char* header,
                 const DecodeRequest& data, std::optional<PkDecryptor>* out) {
  // With a data descriptor the check byte may come from the time instead of the CRC.
  const auto crc_check = static_cast<unsigned char>(d.crc >> 24);
  const auto time_check = static_cast<unsigned char>(e.dos_time >> 8);
  const bool descriptor = (d.flags & kFlagDataDescriptor) != 0;
  const auto fits = [&](const std::string& password) {
    const PasswordForms forms(password);
    std::vector<PkDecryptor> keys;
    for (const std::string& form : forms.all()) {
      PkDecryptor k(form);
      const unsigned char check = k.header_check(header);
      if (check == crc_check || (descriptor && check == time_check)) keys.push_back(k);
    }
    if (keys.empty()) return false;
    // A check byte matches a wrong key one time in 256: when two forms pass, the data decides.
    size_t pick = 0;
    for (size_t i = 0; keys.size() > 1 && i < keys.size(); ++i) {
      PkDecryptor trial = keys[i];
      DecodeRequest dry = data;
      dry.decryptor = &trial;
      if (decoder_.decode(src_, dry, [](const char*, size_t) { return true; }).outcome ==
          Outcome::ok) {
        pick = i;
        break;
      }
    }
    *out = keys[pick];
    return true;
  };
  return find_password(e, fits);
}

bool Run::unlock_aes(const Entry& e, const EntryData& d, const std::string& prefix, Opened* out) {
  const int strength = e.aes_extra.strength;
  const size_t salt_len = aes_salt_size(strength);
  unsigned char head[kAesMaxSalt + kAesVerifierSize];
  const size_t head_len = salt_len + kAesVerifierSize;
  if (d.csize < head_len + kAesCodeSize || !src_.read_at(d.data_offset, head, head_len) ||
      !src_.read_at(d.data_offset + d.csize - kAesCodeSize, out->aes_code, kAesCodeSize)) {
    problem(PK_ERR, prefix + "its encryption header is missing)");
    return false;
  }
  DecodeRequest& r = out->request;
  r.offset += head_len;
  r.csize -= head_len + kAesCodeSize;
  r.aes_code = out->aes_code;
  r.check_crc = e.aes_extra.vendor_version == kAesVendorAe1;
  if (defer_keys_ && password_) {
    out->keys_pending = true;
    out->aes_strength = strength;
    std::copy(head, head + head_len, out->aes_head);
    out->password = *password_;
    out->aes = std::make_unique<AesStream>();
    r.aes = out->aes.get();
    return true;
  }
  auto stream = std::make_unique<AesStream>();
  const auto fits = [&](const std::string& password) {
    // The verifier tells which form (a wrong key passes it one time in 65,536, and then fails
    // the code).
    const PasswordForms forms(password);
    for (const std::string& form : forms.all()) {
      unsigned char verifier[kAesVerifierSize];
      if (stream->start(form, strength, head, verifier) &&
          std::equal(verifier, verifier + kAesVerifierSize, head + salt_len)) {
        return true;
      }
    }
    return false;
  };
  if (!find_password(e, fits)) return false;
  out->aes = std::move(stream);
  r.aes = out->aes.get();
  return true;
}

bool Run::find_password(const Entry& e, const std::function<bool(const std::string&)>& fits) {
  const auto remember = [&](std::string password) {
    const bool ok = fits(password);
    if (ok) {
      if (password_) wipe(*password_);
      password_ = password;
    }
    wipe(password);
    return ok;
  };
  if (password_ && fits(*password_)) return true;

  const std::string shown = ansi(e.name);
  bool asked = false;
  for (int i = 0; i < kPasswordTries && cb_.password; ++i) {
    buf_->password.fill('\0');
    const char* prompt = i == 0 ? "Enter the password for:" : "Incorrect password; try again for:";
    const int16_t answer = cb_.password(buf_->password.data(), kNameBuffer - 1,
                                        fill(buf_->prompt, prompt), fill(buf_->name, shown));
    if (answer != 0) break;
    asked = true;
    buf_->password[kNameBuffer - 1] = '\0';
    const bool ok = remember(std::string(buf_->password.data()));
    wipe(buf_->password.data(), buf_->password.size());
    if (ok) return true;
  }
  problem(IZ_BADPWD,
          "skipping: " + shown + (asked ? "  (incorrect password)" : "  (no password given)"));
  return false;
}

std::string Run::describe(const DecodeResult& r, const Entry& e, const Opened& o, int* code) const {
  const std::string hint = e.encrypted() ? " (wrong password?)" : "";
  *code = PK_ERR;
  switch (r.outcome) {
    case Outcome::ok:
      *code = PK_OK;
      return {};
    case Outcome::bad_crc:
      return "bad CRC " + hex8(r.crc) + "  (should be " + hex8(o.request.crc) + ")" + hint;
    case Outcome::bad_code:
      return "authentication failed: wrong password or altered data";
    case Outcome::bad_data:
      return "invalid compressed data" + hint;
    case Outcome::too_long:
      return "more data than its declared " + std::to_string(o.request.usize) + " bytes";
    case Outcome::too_short:
      return "only " + std::to_string(r.produced) + " of its declared " +
             std::to_string(o.request.usize) + " bytes";
    case Outcome::write_failed:
      *code = PK_DISK;
      return "write failed (disk full?)";
    case Outcome::read_failed:
      *code = PK_EOF;
      return "read failed: unexpected end of the archive";
  }
  return "failed";
}

void Run::test_entry(const Entry& e) {
  const std::string shown = ansi(e.name);
  Opened o;
  if (!open_data(e, shown, &o)) return;
  Ticker tick{*this, shown, o.request.usize};
  if (!tell(shown, 0, tick.total)) return;
  const DecodeResult r =
      decoder_.decode(src_, o.request, [&](const char*, size_t n) { return tick.add(n); });
  if (!tell(shown, tick.done, tick.total)) return;
  report_test(e, shown, o, r);
}

void Run::report_test(const Entry& e, const std::string& shown, const Opened& o,
                      const DecodeResult& r) {
  int code = PK_OK;
  const std::string why = describe(r, e, o, &code);
  if (code == PK_OK) {
    // What the bytes decoded to: an AE-2 entry records no CRC to compare them with.
    list_entry(e, r.produced, r.crc);
    info("    testing: " + shown + "   OK");
  } else {
    problem(code, "    testing: " + shown + "   " + why);
  }
}

void Run::print_entry(const Entry& e) {
  if (e.is_dir()) return;
  const std::string shown = ansi(e.name);
  Opened o;
  if (!open_data(e, shown, &o)) return;
  // An AES entry's bytes are printed only once its code matched: until then they are held.
  std::string held;
  const bool hold = o.request.aes != nullptr;
  const auto out = [&](const char* p, size_t n) {
    if (hold) {
      held.append(p, n);
    } else {
      print(std::string_view(p, n));
    }
    return true;
  };
  CrLfConverter crlf(out);
  const bool convert = opt_.crlf && e.is_text();
  Ticker tick{*this, shown, o.request.usize};
  if (!tell(shown, 0, tick.total)) return;
  const DecodeResult r = decoder_.decode(src_, o.request, [&](const char* p, size_t n) {
    return tick.add(n) && (convert ? crlf.write(p, n) : out(p, n));
  });
  if (!tell(shown, tick.done, tick.total)) return;
  int code = PK_OK;
  const std::string why = describe(r, e, o, &code);
  if (code == PK_OK && hold) print(held);
  if (code != PK_OK) problem(code, "error: " + shown + "  " + why);
}

bool Run::may_replace(const std::string& dest, const std::string& shown) {
  if (skip_all_existing_) return false;
  if (opt_.prompt_overwrite) {
    if (!cb_.replace) return false;
    const int32_t answer = cb_.replace(fill(buf_->text, ansi(dest)));
    if (answer == kReplaceSkipAll) skip_all_existing_ = true;
    return answer == kReplaceYes;
  }
  if (opt_.overwrite) return true;
  info("skipping: " + shown + "  (a file of that name exists)");
  return false;
}

bool Run::make_parents(const std::string& relative) {
  const size_t cut = relative.rfind(kSep);
  if (cut == std::string::npos) return true;
  const std::string folder = relative.substr(0, cut);
  if (folder == last_folder_) return true;
  for (size_t i = relative.find(kSep); i <= cut; i = relative.find(kSep, i + 1)) {
    if (!make_dir(join(job_.target, relative.substr(0, i)))) return false;
  }
  last_folder_ = folder;
  return true;
}

void Run::extract_entry(const Entry& e) {
  EntryPath path;
  std::string why;
  const PathRules rules{opt_.keep_folders, opt_.space_to_underscore};
  if (!entry_path(e.name, rules, &path, &why)) {
    problem(PK_WARN, "refused: " + ansi(e.name) + "  (" + why + ")");
    return;
  }
  if (path.relative.empty()) {
    if (!path.folder) problem(PK_WARN, "skipping: " + ansi(e.name) + "  (no file name)");
    return;
  }
  const std::string shown = ansi(path.shown);
  const std::string dest = join(job_.target, path.relative);
  if (path.folder) {
    if (!make_dirs(dest)) {
      problem(PK_DISK, "error: cannot create the folder " + shown);
    } else {
      info("   creating: " + shown + "/");
    }
    return;
  }

  const PathInfo existing = stat_path(dest);
  if (existing.is_dir) {
    problem(PK_DISK, "error: cannot write " + shown + "  (a folder of that name exists)");
    return;
  }
  if (!existing.exists && opt_.freshen) return;
  if (existing.exists) {
    if ((opt_.freshen || opt_.update) && !(e.mtime > existing.mtime)) return;
    if (!may_replace(dest, shown)) return;
  }
  if (!make_parents(path.relative)) {
    problem(PK_DISK, "error: cannot create the folder for " + shown);
    return;
  }

  Opened o;
  if (!open_data(e, shown, &o)) return;
  // The data goes to a new file that replaces the old only once the entry checks out, so a
  // damaged entry neither destroys an existing file nor leaves half a file behind.
  const std::string temp = temp_name_beside(dest);
  BinaryFile out;
  if (temp.empty() || !out.open(temp, BinaryFile::Mode::Create)) {
    problem(PK_DISK, "error: cannot create " + shown);
    return;
  }
  const auto write = [&](const char* p, size_t n) { return out.write(p, n); };
  CrLfConverter crlf(write);
  const bool convert = opt_.crlf && e.is_text();
  Ticker tick{*this, shown, o.request.usize};
  DecodeResult r;
  if (tell(shown, 0, tick.total)) {
    r = decoder_.decode(src_, o.request, [&](const char* p, size_t n) {
      return tick.add(n) && (convert ? crlf.write(p, n) : out.write(p, n));
    });
  }
  if (!out.close() && r.outcome == Outcome::ok) r.outcome = Outcome::write_failed;
  if (cancelled_ || !tell(shown, tick.done, tick.total)) {
    remove_file(temp);  // a cancelled entry is not written
    return;
  }
  int code = PK_OK;
  why = describe(r, e, o, &code);
  const std::string verb = o.request.method == kMethodStored ? " extracting: " : "  inflating: ";
  if (code == PK_OK && !rename_file(temp, dest)) {
    code = PK_DISK;
    why = "cannot replace the existing file";
  }
  if (code != PK_OK) {
    remove_file(temp);
    problem(code, verb + shown + "  " + why);
    return;
  }
  if (e.mtime != -1) set_mtime(dest, e.mtime);
  info(verb + shown);
}

}  // namespace

Options options_from(const UnzipOptionRecord& r) {
  Options o;
  o.freshen = r.ExtractOnlyNewer == 1;
  o.space_to_underscore = r.SpaceToUnderScore == 1;
  o.prompt_overwrite = r.PromptOverwrite == 1;
  o.message_level = r.MessageLevel;
  o.to_print = r.WriteToStdOut == 1;
  o.test = r.TestZip == 1;
  o.list = r.ExtractList != 0;  // anything but "extract" writes nothing
  o.update = r.ExtractNewer == 1;
  o.display_comment = r.DisplayComment == 1;
  o.keep_folders = r.HonorDirectories != 0;
  o.overwrite = r.OverWriteFiles == 1;
  o.crlf = r.ConvertCRtoCRLF == 1;
  o.verbose = r.Verbose == 1;
  o.case_sensitive = r.CaseSensitive != 0;
  return o;
}

unsigned Totals::percent_saved() const {
  if (size == 0 || compressed >= size) return 0;
  return static_cast<unsigned>(100 - compressed * 100 / size);
}

int run(Source& src, const Job& job, const UnzipCallbackRecord* callbacks, Totals* totals) {
  return Run(src, job, callbacks).execute(totals);
}

int run_file(const std::string& archive_utf8, const Job& job, const UnzipCallbackRecord* callbacks,
             Totals* totals) {
  FileSource src;
  if (stat_path(archive_utf8).is_dir || !src.open(archive_utf8)) {
    *totals = Totals{};
    if (callbacks && job.options.message_level >= 1) {
      print_to(*callbacks, *std::make_unique<Buffers>(),
               "cannot find or open " + job.archive_shown + "\n");
    }
    return PK_NOZIP;
  }
  return run(src, job, callbacks, totals);
}

}  // namespace pvx::unzip
