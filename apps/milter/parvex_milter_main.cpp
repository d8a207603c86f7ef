// parvex-milter: packs the attachments of each message Postfix hands over into one DD.zip part.
// A message whose packing fails or does not pay continues exactly as it came.
#include <fcntl.h>
#include <libmilter/mfapi.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "boundary.h"
#include "config.h"
#include "core/failure.h"
#include "pack.h"
#include "seams/fs.h"
#include "seams/native_services.h"
#include "seams/services.h"
#include "support/statistics.h"

namespace parvex::milter {
namespace {

// The settings in force: a SIGHUP swaps in a new set, a message keeps the one it started with.
std::mutex config_mutex;
std::shared_ptr<const Config> config_now = std::make_shared<const Config>();

std::shared_ptr<const Config> settings() {
  const std::lock_guard<std::mutex> hold(config_mutex);
  return config_now;
}

std::atomic<int> sessions_open{0};
std::atomic<int> packing_now{0};  // end-of-message callbacks running
std::mutex log_mutex;
FILE* log_out = nullptr;  // the log_file, or none: standard error

void log_line(const std::string& text) {
  const std::lock_guard<std::mutex> hold(log_mutex);
  if (!log_out) {
    std::fprintf(stderr, "parvex-milter: %s\n", text.c_str());
    std::fflush(stderr);
    return;
  }
  char stamp[32] = "";
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::fprintf(log_out, "%s parvex-milter[%d]: %s\n", stamp, static_cast<int>(getpid()),
               text.c_str());
  std::fflush(log_out);
}

// Opens path for appending (empty: standard error); the reason when it cannot, and then the
// log stays where it was.
std::string open_log(const std::string& path) {
  FILE* opened = nullptr;
  if (!path.empty()) {
    opened = std::fopen(path.c_str(), "ae");
    if (!opened) return path + ": " + std::strerror(errno);
  }
  const std::lock_guard<std::mutex> hold(log_mutex);
  if (log_out) std::fclose(log_out);
  log_out = opened;
  return {};
}

// Counters by outcome and reason, rewritten whole after each message for the node exporter's
// text-file collector (written beside it and renamed, so it never reads half a file).
class Metrics {
 public:
  void count(const std::string& outcome, const std::string& reason, int64_t attached,
             int64_t archive, const std::string& file) {
    const std::lock_guard<std::mutex> hold(mutex_);
    ++messages_[{outcome, reason}];
    attached_ += attached;
    archive_ += archive;
    if (!file.empty()) write(file);
  }
  void error(const std::string& file) {
    const std::lock_guard<std::mutex> hold(mutex_);
    ++errors_;
    if (!file.empty()) write(file);
  }

 private:
  void write(const std::string& file) {
    std::string text =
        "# HELP parvex_milter_messages_total Messages by outcome and the reason one was left.\n"
        "# TYPE parvex_milter_messages_total counter\n";
    for (const auto& [key, n] : messages_) {
      text += "parvex_milter_messages_total{outcome=\"" + key.first + "\",reason=\"" + key.second +
              "\"} " + std::to_string(n) + "\n";
    }
    text +=
        "# HELP parvex_milter_attachment_bytes_total Decoded bytes of the attachments packed.\n"
        "# TYPE parvex_milter_attachment_bytes_total counter\n"
        "parvex_milter_attachment_bytes_total " +
        std::to_string(attached_) +
        "\n# HELP parvex_milter_archive_bytes_total Bytes of the archives that replaced them.\n"
        "# TYPE parvex_milter_archive_bytes_total counter\n"
        "parvex_milter_archive_bytes_total " +
        std::to_string(archive_) +
        "\n# HELP parvex_milter_errors_total Messages whose packing or hand-back failed.\n"
        "# TYPE parvex_milter_errors_total counter\n"
        "parvex_milter_errors_total " +
        std::to_string(errors_) + "\n";
    const std::string temporary = file + ".tmp";
    attempt([&] {
      fs::File out(temporary, "wb");
      out.write(text);
      out.close();
      fs::rename_replace(temporary, file);
    });
  }

  std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, uint64_t> messages_;
  int64_t attached_ = 0;
  int64_t archive_ = 0;
  uint64_t errors_ = 0;
};

Metrics& metrics() {
  static Metrics m;
  return m;
}

// Bounds the memory packing takes: at most max_packing messages at once, and a large one
// alone; a large one waiting goes before small ones that arrive after it.
class PackingGate {
 public:
  class Hold {
   public:
    Hold(PackingGate& gate, bool large, int slots) : gate_(gate), weight_(large ? slots : 1) {
      gate_.enter(weight_, large, slots);
    }
    ~Hold() { gate_.leave(weight_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    PackingGate& gate_;
    int weight_;
  };

 private:
  void enter(int weight, bool large, int slots) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (large) ++large_waiting_;
    changed_.wait(
        hold, [&] { return large ? used_ == 0 : large_waiting_ == 0 && used_ + weight <= slots; });
    if (large) --large_waiting_;
    used_ += weight;
  }
  void leave(int weight) {
    const std::lock_guard<std::mutex> hold(mutex_);
    used_ -= weight;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int used_ = 0;
  int large_waiting_ = 0;
};

PackingGate gate;

// No one to ask on a mail server; the statistics and their lock live in the state folder.
class MilterServices : public Services {
 public:
  MsgAnswer message_box(const std::string& text, MsgButtons, MsgIcon, const std::string&) override {
    log_line(text);
    return MsgAnswer::None;
  }
  std::string input_box(const std::string&, const std::string&, const std::string&) override {
    return {};
  }
  void do_events() override {}
  void set_clipboard_text(const std::string&) override {}
  void shell_execute(const ShellExecuteArgs&) override {}
  std::string addin_folder() override { return settings()->state_folder; }
  // The zip and unzip libraries are installed beside the program.
  std::string library_folder() override {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path().string();
  }
  uint32_t last_system_error() override { return static_cast<uint32_t>(errno); }
  LocalTime now() override { return native_->now(); }
  std::string general_date(const LocalTime& t) override { return native_->general_date(t); }
  NumberSeparators number_separators() override { return native_->number_separators(); }

 private:
  std::unique_ptr<Services> native_ = make_native_services();
};

MilterServices& milter_services() {
  static MilterServices s;
  return s;
}

struct Message {
  std::string message_id;  // for the log lines
  std::string sender;
  std::vector<std::string> recipients;
  std::string headers;
  std::unique_ptr<Received> received;  // the headers and body, from the first body chunk on
  bool signed_dkim = false;
  bool multipart = false;  // only a multipart message has attachments to pack
  bool oversize = false;
};

struct Session {
  Message message;
};

Session* session(SMFICTX* ctx) {
  return static_cast<Session*>(smfi_getpriv(ctx));
}

std::string symbol(SMFICTX* ctx, const char* name) {
  const char* value = smfi_getsymval(ctx, const_cast<char*>(name));
  return value ? value : "NOQUEUE";
}

// The folder one message is packed in, removed with everything in it.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& state_folder) {
    std::string pattern = state_folder + "/work/msg-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~WorkFolder() { remove(); }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const std::string& path() const { return path_; }
  void remove() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    path_.clear();
  }

 private:
  std::string path_;
};

void count(double attached, double archive) {
  attempt([&] {
    set_services(&milter_services());
    statistics().PendingNormalBytes += attached;
    statistics().PendingZipBytes += archive;
    WriteStatistics();
  });
}

// The new body back to Postfix in the protocol's largest chunks.
sfsistat replace_body(SMFICTX* ctx, std::string_view crlf) {
  constexpr size_t kChunk = 65535;
  for (size_t at = 0; at < crlf.size(); at += kChunk) {
    // libmilter only sends the bytes; its signature lacks the const.
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(crlf.data() + at));
    const int n = static_cast<int>(std::min(kChunk, crlf.size() - at));
    // A body half replaced must not leave: Postfix keeps the message and the sender retries.
    if (smfi_replacebody(ctx, bytes, n) != MI_SUCCESS) return SMFIS_TEMPFAIL;
  }
  return SMFIS_CONTINUE;
}

// The reason a message was left, as a metrics label.
std::string reason_label(const PackResult& r) {
  static const std::pair<const char*, const char*> kReasons[] = {
      {"no attachments", "no_attachments"},
      {"not a multipart", "no_attachments"},
      {"signed or encrypted", "signed"},
      {"the attachments hold fewer", "min_total_bytes"},
      {"an attachment's transfer encoding", "damaged_encoding"},
      {"nested deeper", "nested_too_deep"},
  };
  if (r.below_saving) return "min_saving";
  for (const auto& [start, label] : kReasons) {
    if (r.why.starts_with(start)) return label;
  }
  return "other";
}

sfsistat end_of_message(SMFICTX* ctx, const Config& cfg) {
  Session* s = session(ctx);
  Message& m = s->message;
  const std::string id =
      symbol(ctx, "i") + (m.message_id.empty() ? std::string() : " " + m.message_id);
  if (!m.received) m.received = std::make_unique<Received>(m.headers);
  const size_t size = m.received->received();
  const auto leave = [&](const std::string& label, const std::string& why) {
    log_line(id + ": left unchanged (" + why + "), " + std::to_string(size) + " bytes");
    metrics().count("unchanged", label, 0, 0, cfg.metrics_file);
    return SMFIS_CONTINUE;
  };
  if (m.oversize) return leave("max_message_bytes", "larger than max_message_bytes");
  if (!m.received->whole()) return leave("bare_line_end", "a bare CR or LF in the body");

  const PackingGate::Hold hold(gate, static_cast<int64_t>(size) > cfg.large_message,
                               cfg.max_packing);
  WorkFolder work(cfg.state_folder);
  if (work.path().empty()) return leave("other", "no work folder in " + cfg.state_folder);
  // The packing reaches its libraries and the clock through this thread's services.
  set_services(&milter_services());
  PackResult r = pack_message(*m.received, cfg.rules, work.path());
  work.remove();
  m.received.reset();
  if (!r.packed) {
    if (r.below_saving) count(static_cast<double>(r.attached), static_cast<double>(r.attached));
    return leave(reason_label(r), r.why);
  }
  const size_t after = r.body().size();
  const std::string summary = std::to_string(r.parts) + " attachment(s), " +
                              std::to_string(r.attached) + " -> " + std::to_string(r.archive) +
                              " bytes";
  if (cfg.dry_run) {
    log_line(id + ": dry run, would pack " + summary + "; left unchanged");
    metrics().count("dry_run", "", r.attached, r.archive, cfg.metrics_file);
    return SMFIS_CONTINUE;
  }
  const sfsistat replaced = replace_body(ctx, r.body());
  if (replaced != SMFIS_CONTINUE) {
    log_line(id + ": the new body could not be handed back; Postfix keeps the message");
    metrics().error(cfg.metrics_file);
    return replaced;
  }
  if (!cfg.header_name.empty()) {
    std::string value = "packed " + summary;
    if (smfi_addheader(ctx, const_cast<char*>(cfg.header_name.c_str()), value.data()) !=
        MI_SUCCESS) {
      log_line(id + ": the " + cfg.header_name + " header could not be added");
    }
  }
  log_line(id + ": packed " + summary + ", message " + std::to_string(size) + " -> " +
           std::to_string(after) + " bytes");
  metrics().count("packed", "", r.attached, r.archive, cfg.metrics_file);
  count(static_cast<double>(r.attached), static_cast<double>(r.archive));
  return SMFIS_CONTINUE;
}

// Every callback runs its body through the one boundary: whatever it throws, the message
// continues unchanged.
sfsistat on_connect(SMFICTX* ctx, char*, _SOCK_ADDR*) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    auto s = std::make_unique<Session>();
    if (smfi_setpriv(ctx, s.get()) != MI_SUCCESS) return SMFIS_ACCEPT;
    s.release();
    ++sessions_open;
    return SMFIS_CONTINUE;
  });
}

sfsistat on_envfrom(SMFICTX* ctx, char** argv) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    Session* s = session(ctx);
    if (!s) return SMFIS_ACCEPT;
    s->message = Message{};
    if (argv && argv[0]) s->message.sender = argv[0];
    return SMFIS_CONTINUE;
  });
}

sfsistat on_envrcpt(SMFICTX* ctx, char** argv) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    if (argv && argv[0]) session(ctx)->message.recipients.emplace_back(argv[0]);
    return SMFIS_CONTINUE;
  });
}

sfsistat on_header(SMFICTX* ctx, char* name, char* value) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    Message& m = session(ctx)->message;
    if (strcasecmp(name, "DKIM-Signature") == 0) m.signed_dkim = true;
    if (strcasecmp(name, "Content-Type") == 0) {
      const char* type = value + strspn(value, " \t\r\n");
      m.multipart = strncasecmp(type, "multipart/", 10) == 0;
    }
    // Folded values arrive with CR LF or LF inside; GMime only needs them readable.
    std::string v;
    for (const char* p = value; *p; ++p) {
      if (*p != '\r') v += *p;
    }
    m.headers.append(name).append(": ").append(v).append("\n");
    if (strcasecmp(name, "Message-ID") == 0) {
      std::replace_if(
          v.begin(), v.end(), [](char c) { return c == '\n' || c == '\t'; }, ' ');
      m.message_id = v.substr(std::min(v.size(), v.find_first_not_of(' ')));
    }
    return SMFIS_CONTINUE;
  });
}

// What the headers decide: a message that cannot be packed is let go here, before Postfix
// sends its body.
sfsistat on_eoh(SMFICTX* ctx) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    const Message& m = session(ctx)->message;
    const std::shared_ptr<const Config> cfg = settings();
    const auto leave = [&](const char* label, const char* why) {
      log_line(symbol(ctx, "i") + (m.message_id.empty() ? "" : " " + m.message_id) +
               ": left unchanged (" + why + ")");
      metrics().count("unchanged", label, 0, 0, cfg->metrics_file);
      return SMFIS_ACCEPT;
    };
    if (m.signed_dkim) return leave("dkim_signed", "it carries a DKIM signature");
    if (!m.multipart) return leave("no_attachments", "not a multipart message");
    if (exempt(*cfg, m.sender, m.recipients)) return leave("exempt", "exempt sender or recipient");
    return SMFIS_CONTINUE;
  });
}

// Answered only so that Postfix sends the DATA command with its macros in one write: without it
// the macros leave alone, the next write waits for their acknowledgement (Nagle), and over TCP
// the milter's delayed ACK costs every message about 40 ms.
sfsistat on_data(SMFICTX*) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [] { return SMFIS_CONTINUE; });
}

sfsistat on_body(SMFICTX* ctx, unsigned char* chunk, size_t len) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    Message& m = session(ctx)->message;
    if (m.oversize) return SMFIS_CONTINUE;
    if (!m.received) m.received = std::make_unique<Received>(m.headers);
    if (static_cast<int64_t>(m.received->received() + len) > settings()->max_message) {
      m.oversize = true;
      m.received.reset();
      return SMFIS_CONTINUE;
    }
    m.received->add(std::string_view(reinterpret_cast<const char*>(chunk), len));
    return SMFIS_CONTINUE;
  });
}

sfsistat on_eom(SMFICTX* ctx) {
  ++packing_now;
  const std::shared_ptr<const Config> cfg = settings();
  bool answered = false;
  const sfsistat result = pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    const sfsistat r = end_of_message(ctx, *cfg);
    answered = true;
    return r;
  });
  if (!answered) {
    log_line(symbol(ctx, "i") + ": packing failed; left unchanged");
    metrics().error(cfg->metrics_file);
  }
  --packing_now;
  pvx::guard_result([&] {
    if (Session* s = session(ctx)) s->message = Message{};
  });
  return result;
}

sfsistat on_abort(SMFICTX* ctx) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    if (Session* s = session(ctx)) s->message = Message{};
    return SMFIS_CONTINUE;
  });
}

sfsistat on_close(SMFICTX* ctx) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    // A connection closed before it was negotiated (a port probe) never had a session.
    std::unique_ptr<Session> s(session(ctx));
    if (!s) return SMFIS_CONTINUE;
    smfi_setpriv(ctx, nullptr);
    --sessions_open;
    return SMFIS_CONTINUE;
  });
}

void usage(FILE* to) {
  std::fprintf(to,
               "usage: parvex-milter [--config FILE] [--socket ADDR] [--state-folder DIR]\n"
               "  --config FILE       settings (default %s; a missing default is no error)\n"
               "  --socket ADDR       inet:PORT@HOST, inet:HOST:PORT or unix:/path (overrides "
               "the file)\n"
               "  --state-folder DIR  statistics and work files (overrides the file)\n"
               "  -h, --help          this text;  --version  the version\n"
               "SIGHUP reads the settings again and reopens log_file; SIGTERM stops.\n",
               kDefaultConfig);
}

// What the command line says, kept for SIGHUP: the file is read again, the overrides stay.
struct Invocation {
  std::string config_path = kDefaultConfig;
  bool config_given = false;
  std::string socket;
  std::string state_folder;
};

// The settings from the file and the command line into out; the problem, or empty.
std::string load(const Invocation& how, Config& out) {
  Config fresh;
  if (how.config_given || access(how.config_path.c_str(), F_OK) == 0) {
    if (std::string problem = read_config(how.config_path, fresh); !problem.empty()) {
      return problem;
    }
  }
  if (!how.socket.empty()) {
    if (std::string wrong = milter_socket(how.socket, fresh.socket); !wrong.empty()) return wrong;
  }
  if (!how.state_folder.empty()) fresh.state_folder = how.state_folder;
  out = std::move(fresh);
  return {};
}

void reload(const Invocation& how) {
  auto fresh = std::make_shared<Config>();
  if (std::string problem = load(how, *fresh); !problem.empty()) {
    log_line("SIGHUP: the settings in force are kept: " + problem);
    return;
  }
  if (std::string wrong = open_log(fresh->log_file); !wrong.empty()) {
    log_line("SIGHUP: cannot open the log " + wrong + "; it stays where it was");
  }
  const std::shared_ptr<const Config> old = settings();
  if (fresh->socket != old->socket || fresh->state_folder != old->state_folder ||
      fresh->timeout != old->timeout) {
    log_line("SIGHUP: socket, state_folder and timeout change at the next start");
    fresh->socket = old->socket;
    fresh->state_folder = old->state_folder;
    fresh->timeout = old->timeout;
  }
  {
    const std::lock_guard<std::mutex> hold(config_mutex);
    config_now = fresh;
  }
  log_line("SIGHUP: settings read again" +
           (how.config_given || access(how.config_path.c_str(), F_OK) == 0
                ? " from " + how.config_path
                : std::string(" (no file: the defaults)")));
}

struct FreeAddresses {
  void operator()(addrinfo* found) const { freeaddrinfo(found); }
};
using Addresses = std::unique_ptr<addrinfo, FreeAddresses>;

// The first address of an inet socket in libmilter's form, resolved as libmilter resolves it;
// rc gets getaddrinfo's result.
Addresses resolve(const std::string& conn, int& rc) {
  const auto at = conn.find('@');
  const auto colon = conn.find(':');
  addrinfo hints{};
  hints.ai_family = conn.starts_with("inet6:") ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  rc = getaddrinfo(conn.c_str() + at + 1, conn.substr(colon + 1, at - colon - 1).c_str(), &hints,
                   &found);
  return Addresses(rc == 0 ? found : nullptr);
}

// Where an inet socket really listens; the socket itself for a unix one.
std::string listening_at(const std::string& conn) {
  int rc = 0;
  const Addresses found = conn.starts_with("unix:") ? nullptr : resolve(conn, rc);
  if (!found) return conn;
  char host[NI_MAXHOST] = "";
  char port[NI_MAXSERV] = "";
  getnameinfo(found->ai_addr, found->ai_addrlen, host, sizeof host, port, sizeof port,
              NI_NUMERICHOST | NI_NUMERICSERV);
  return std::string(host) + " port " + port + " (" + conn + ")";
}

// Why libmilter could not listen: tried again here, where errno is at hand.
std::string why_not_listening(const std::string& conn) {
  if (conn.starts_with("unix:")) {
    const std::string path = conn.substr(5);
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (access(folder.c_str(), W_OK) != 0) return folder + ": " + std::strerror(errno);
    return path + ": cannot be made into a socket";
  }
  int rc = 0;
  const Addresses found = resolve(conn, rc);
  if (!found) return "bad address: " + std::string(gai_strerror(rc));
  std::string why = "unknown";
  const int fd = socket(found->ai_family, SOCK_STREAM, 0);
  const int on = 1;
  if (fd >= 0) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0) {
      why = errno == EADDRINUSE      ? "the address is in use"
            : errno == EACCES        ? "permission denied (ports below 1024 need root)"
            : errno == EADDRNOTAVAIL ? "no such address on this machine"
                                     : std::strerror(errno);
    }
    close(fd);
  }
  return why;
}

int hup_pipe[2] = {-1, -1};

void on_hup(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(hup_pipe[1], &byte, 1);
  errno = saved;
}

int run(int argc, char** argv) {
  Invocation how;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("parvex-milter %s\n", PARVEX_VERSION);
      return 0;
    }
    if (i + 1 >= argc) {
      usage(stderr);
      return 2;
    }
    if (a == "--config") {
      how.config_path = argv[++i];
      how.config_given = true;
    } else if (a == "--socket") {
      how.socket = argv[++i];
    } else if (a == "--state-folder") {
      how.state_folder = argv[++i];
    } else {
      usage(stderr);
      return 2;
    }
  }
  auto first = std::make_shared<Config>();
  if (std::string problem = load(how, *first); !problem.empty()) {
    log_line(problem);
    return 2;
  }
  if (std::string wrong = open_log(first->log_file); !wrong.empty()) {
    log_line("cannot open the log " + wrong);
    return 1;
  }
  config_now = first;
  const Config& config = *first;

  std::error_code ec;
  std::filesystem::create_directories(config.state_folder + "/work", ec);
  if (ec) {
    log_line("cannot make " + config.state_folder + "/work: " + ec.message());
    return 1;
  }
  // Leftovers of a run that was killed: nothing of another message may be packed.
  for (const auto& entry : std::filesystem::directory_iterator(config.state_folder + "/work", ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }

  smfiDesc desc{};
  desc.xxfi_name = const_cast<char*>("parvex-milter");
  desc.xxfi_version = SMFI_VERSION;
  desc.xxfi_flags = SMFIF_CHGBODY | SMFIF_ADDHDRS;
  desc.xxfi_connect = on_connect;
  desc.xxfi_envfrom = on_envfrom;
  desc.xxfi_envrcpt = on_envrcpt;
  desc.xxfi_header = on_header;
  desc.xxfi_data = on_data;
  desc.xxfi_eoh = on_eoh;
  desc.xxfi_body = on_body;
  desc.xxfi_eom = on_eom;
  desc.xxfi_abort = on_abort;
  desc.xxfi_close = on_close;
  std::string conn = config.socket;
  if (smfi_setconn(conn.data()) != MI_SUCCESS || smfi_settimeout(config.timeout) != MI_SUCCESS ||
      smfi_register(desc) != MI_SUCCESS || smfi_opensocket(true) != MI_SUCCESS) {
    log_line("cannot listen on " + config.socket + ": " + why_not_listening(config.socket));
    return 1;
  }
  log_line("listening on " + listening_at(config.socket) + ", state in " + config.state_folder);

  // libmilter's own signal thread stops on SIGHUP as on SIGTERM. This thread takes SIGHUP
  // first: the kernel hands a process's signal to its first thread when that one accepts it,
  // and here only this thread does.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGHUP);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  if (pipe2(hup_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    log_line(std::string("cannot make a pipe: ") + std::strerror(errno));
    return 1;
  }
  std::atomic<bool> done{false};
  int rc = MI_FAILURE;
  std::thread milter([&] {
    rc = smfi_main();
    done = true;
  });
  struct sigaction hup {};
  hup.sa_handler = on_hup;
  sigemptyset(&hup.sa_mask);
  sigaction(SIGHUP, &hup, nullptr);
  sigset_t only_hup;
  sigemptyset(&only_hup);
  sigaddset(&only_hup, SIGHUP);
  pthread_sigmask(SIG_UNBLOCK, &only_hup, nullptr);
  while (!done) {
    pollfd wait_for{hup_pipe[0], POLLIN, 0};
    if (poll(&wait_for, 1, 200) > 0) {
      char bytes[16];
      while (read(hup_pipe[0], bytes, sizeof bytes) > 0) {
      }
      attempt([&] { reload(how); });
    }
  }
  milter.join();

  // libmilter takes no more connections and serves no more commands once it returns. A message
  // being packed is finished and handed back; one whose session was cut earlier gets Postfix's
  // milter_default_action (tempfail: Postfix keeps it and the sender retries).
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(settings()->drain_seconds);
  while (packing_now > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(packing_now == 0 ? 200 : 0));
  log_line("stopped" +
           std::string(sessions_open > 0
                           ? ", sessions still open: " + std::to_string(sessions_open.load())
                           : "") +
           (rc == MI_SUCCESS ? "" : " (libmilter failed)"));
  return rc == MI_SUCCESS ? 0 : 1;
}

}  // namespace
}  // namespace parvex::milter

int main(int argc, char** argv) {
  parvex::set_native_services(&parvex::make_native_services);
  umask(007);  // the socket must reach Postfix's group, nothing further
  return parvex::milter::run(argc, argv);
}
