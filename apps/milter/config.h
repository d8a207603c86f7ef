// The milter's settings: a "name = value" file (# starts a comment), then the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack.h"

namespace parvex::milter {

struct Config {
  std::string socket = "inet:10027@127.0.0.1";  // libmilter's form: unix:PATH or inet:PORT@HOST
  std::string state_folder = "/var/lib/parvex-milter";
  std::string log_file;                  // empty: standard error (the journal); reopened on SIGHUP
  std::string metrics_file;              // Prometheus text-file counters, empty for none
  std::string header_name = "X-Parvex";  // added to packed messages; empty for none
  bool dry_run = false;                  // log what would be packed, change nothing
  int max_packing = 2;                   // messages packed at once
  int64_t large_message = 8ll << 20;     // bodies above this are packed one at a time
  PackRules rules;
  int64_t max_message = 64ll << 20;         // bodies above this are not held in memory, nor packed
  int timeout = 600;                        // seconds libmilter waits on Postfix
  int drain_seconds = 60;                   // how long SIGTERM waits for messages in flight
  std::vector<std::string> exempt_senders;  // addresses, or "@domain" for a whole domain
  std::vector<std::string> exempt_recipient_domains;
};

inline constexpr const char* kDefaultConfig = "/etc/parvex/milter.conf";

// A socket as written (inet:PORT@HOST, inet:HOST:PORT as main.cf writes it, inet6:PORT@HOST,
// inet6:[HOST]:PORT, unix:/path) in libmilter's form into conn; returns the problem, or empty.
std::string milter_socket(const std::string& written, std::string& conn);

// Reads path into config; returns the first problem ("line 3: ..."), empty when none.
std::string read_config(const std::string& path, Config& config);

// Whether the envelope exempts the message: its sender, or any recipient's domain.
bool exempt(const Config& config, const std::string& sender,
            const std::vector<std::string>& recipients);

}  // namespace parvex::milter
