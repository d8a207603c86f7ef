// parvex-milter: packs the attachments of each message Postfix hands over into one DD.zip part.
// A message whose packing fails or does not pay continues exactly as it came.
#include <libmilter/mfapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "boundary.h"
#include "config.h"
#include "core/failure.h"
#include "pack.h"
#include "seams/native_services.h"
#include "seams/services.h"
#include "support/statistics.h"

namespace parvex::milter {
namespace {

Config config;
std::atomic<int> sessions_open{0};
std::atomic<int> packing_now{0};  // end-of-message callbacks running
std::mutex log_mutex;

void log_line(const std::string& text) {
  const std::lock_guard<std::mutex> hold(log_mutex);
  std::fprintf(stderr, "parvex-milter: %s\n", text.c_str());
  std::fflush(stderr);
}

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
  std::string addin_folder() override { return config.state_folder; }
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
  std::string sender;
  std::vector<std::string> recipients;
  std::string headers;
  std::string body;  // as Postfix hands it over: CR LF line ends
  bool signed_dkim = false;
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

// CR LF to LF; false when a lone CR or LF would not survive the way back.
bool to_lf(const std::string& crlf, std::string& lf) {
  lf.clear();
  lf.reserve(crlf.size());
  for (size_t i = 0; i < crlf.size(); ++i) {
    const char c = crlf[i];
    if (c == '\r') {
      if (i + 1 >= crlf.size() || crlf[i + 1] != '\n') return false;
      continue;
    }
    if (c == '\n' && (i == 0 || crlf[i - 1] != '\r')) return false;
    lf += c;
  }
  return true;
}

std::string to_crlf(const std::string& lf) {
  std::string out;
  out.reserve(lf.size() + lf.size() / 32);
  for (const char c : lf) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The folder one message is packed in, removed with everything in it.
class WorkFolder {
 public:
  WorkFolder() {
    std::string pattern = config.state_folder + "/work/msg-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const std::string& path() const { return path_; }

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

sfsistat replace_body(SMFICTX* ctx, const std::string& lf) {
  const std::string crlf = to_crlf(lf);
  constexpr size_t kChunk = 65535;
  for (size_t at = 0; at < crlf.size(); at += kChunk) {
    const size_t n = std::min(kChunk, crlf.size() - at);
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(crlf.data() + at));
    // A body half replaced must not leave: Postfix keeps the message and the sender retries.
    if (smfi_replacebody(ctx, bytes, static_cast<int>(n)) != MI_SUCCESS) return SMFIS_TEMPFAIL;
  }
  return SMFIS_CONTINUE;
}

sfsistat end_of_message(SMFICTX* ctx) {
  Session* s = session(ctx);
  const std::string id = symbol(ctx, "i");
  const Message& m = s->message;
  const auto leave = [&](const std::string& why) {
    log_line(id + ": left unchanged (" + why + "), " + std::to_string(m.body.size()) + " bytes");
    return SMFIS_CONTINUE;
  };
  if (m.signed_dkim) return leave("it carries a DKIM signature");
  if (m.oversize) return leave("larger than max_message_bytes");
  if (exempt(config, m.sender, m.recipients)) return leave("exempt sender or recipient");
  std::string body;
  if (!to_lf(m.body, body)) return leave("a bare CR or LF in the body");

  WorkFolder work;
  if (work.path().empty()) return leave("no work folder in " + config.state_folder);
  // The packing reaches its libraries and the clock through this thread's services.
  set_services(&milter_services());
  PackResult r = pack_message(m.headers, body, config.rules, work.path());
  if (!r.packed) {
    if (r.below_saving) count(static_cast<double>(r.attached), static_cast<double>(r.attached));
    return leave(r.why);
  }
  const sfsistat replaced = replace_body(ctx, r.body);
  if (replaced != SMFIS_CONTINUE) {
    log_line(id + ": the new body could not be handed back; Postfix keeps the message");
    return replaced;
  }
  log_line(id + ": packed " + std::to_string(r.parts) + " part(s), " +
           std::to_string(m.body.size()) + " -> " + std::to_string(to_crlf(r.body).size()) +
           " bytes (attachments " + std::to_string(r.attached) + ", DD.zip " +
           std::to_string(r.archive) + ")");
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
    // Folded values arrive with CR LF or LF inside; GMime only needs them readable.
    std::string v;
    for (const char* p = value; *p; ++p) {
      if (*p != '\r') v += *p;
    }
    m.headers.append(name).append(": ").append(v).append("\n");
    return SMFIS_CONTINUE;
  });
}

sfsistat on_body(SMFICTX* ctx, unsigned char* chunk, size_t len) {
  return pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] {
    Message& m = session(ctx)->message;
    if (m.oversize) return SMFIS_CONTINUE;
    if (static_cast<int64_t>(m.body.size() + len) > config.max_message) {
      m.oversize = true;
      std::string().swap(m.body);
      return SMFIS_CONTINUE;
    }
    m.body.append(reinterpret_cast<const char*>(chunk), len);
    return SMFIS_CONTINUE;
  });
}

sfsistat on_eom(SMFICTX* ctx) {
  ++packing_now;
  const sfsistat result =
      pvx::guard_result(SMFIS_CONTINUE, SMFIS_CONTINUE, [&] { return end_of_message(ctx); });
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
               "  --socket ADDR       unix:/path or inet:PORT@127.0.0.1 (overrides the file)\n"
               "  --state-folder DIR  statistics and work files (overrides the file)\n",
               kDefaultConfig);
}

int run(int argc, char** argv) {
  std::string config_path = kDefaultConfig;
  bool config_given = false;
  std::string socket_arg;
  std::string state_arg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      usage(stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      usage(stderr);
      return 2;
    }
    if (a == "--config") {
      config_path = argv[++i];
      config_given = true;
    } else if (a == "--socket") {
      socket_arg = argv[++i];
    } else if (a == "--state-folder") {
      state_arg = argv[++i];
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (config_given || access(config_path.c_str(), F_OK) == 0) {
    if (const std::string problem = read_config(config_path, config); !problem.empty()) {
      log_line(problem);
      return 2;
    }
  }
  if (!socket_arg.empty()) config.socket = socket_arg;
  if (!state_arg.empty()) config.state_folder = state_arg;

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
  desc.xxfi_flags = SMFIF_CHGBODY;
  desc.xxfi_connect = on_connect;
  desc.xxfi_envfrom = on_envfrom;
  desc.xxfi_envrcpt = on_envrcpt;
  desc.xxfi_header = on_header;
  desc.xxfi_body = on_body;
  desc.xxfi_eom = on_eom;
  desc.xxfi_abort = on_abort;
  desc.xxfi_close = on_close;
  if (smfi_setconn(config.socket.data()) != MI_SUCCESS ||
      smfi_settimeout(config.timeout) != MI_SUCCESS || smfi_register(desc) != MI_SUCCESS ||
      smfi_opensocket(true) != MI_SUCCESS) {
    log_line("cannot listen on " + config.socket);
    return 1;
  }
  log_line("listening on " + config.socket + ", state in " + config.state_folder);
  // libmilter returns from here on SIGTERM, SIGHUP or SIGINT: it takes no more connections
  // and serves no more commands. A message being packed is finished and handed back; one whose
  // session was cut earlier gets Postfix's milter_default_action (accept: it leaves unpacked).
  const int rc = smfi_main();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(config.drain_seconds);
  while (packing_now > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(packing_now == 0 ? 200 : 0));
  log_line("stopped" + std::string(sessions_open > 0 ? ", sessions still open: " +
                                                           std::to_string(sessions_open.load())
                                                     : ""));
  return rc == MI_SUCCESS ? 0 : 1;
}

}  // namespace
}  // namespace parvex::milter

int main(int argc, char** argv) {
  parvex::set_native_services(&parvex::make_native_services);
  umask(007);  // the socket must reach Postfix's group, nothing further
  return parvex::milter::run(argc, argv);
}
