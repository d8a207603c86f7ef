#include "config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <fstream>

namespace parvex::milter {
namespace {

std::string trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// "a, b c" -> {a, b, c}, lowercased: addresses and domains compare without case.
std::vector<std::string> words(const std::string& value) {
  std::vector<std::string> out;
  std::string word;
  for (const char c : value + " ") {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!word.empty()) out.push_back(lower(word));
      word.clear();
    } else {
      word += c;
    }
  }
  return out;
}

bool number(const std::string& value, int64_t& out) {
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
  return ec == std::errc() && end == value.data() + value.size() && out >= 0;
}

// "<User@Example.org>" -> "user@example.org"
std::string address(std::string text) {
  text = trim(text);
  if (text.size() >= 2 && text.front() == '<' && text.back() == '>') {
    text = text.substr(1, text.size() - 2);
  }
  return lower(text);
}

std::string domain_of(const std::string& addr) {
  const auto at = addr.rfind('@');
  return at == std::string::npos ? std::string() : addr.substr(at + 1);
}

bool port_number(std::string_view text) {
  int port = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && end == text.data() + text.size() && port > 0 && port < 65536;
}

// A host name or an address of the family: nothing libmilter would read another way.
bool host_name(const std::string& host, bool v6) {
  if (host.empty()) return false;
  unsigned char addr[16];
  if (inet_pton(v6 ? AF_INET6 : AF_INET, host.c_str(), addr) == 1) return true;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
  });
}

std::string yes_no(const std::string& value, bool& out) {
  const std::string v = lower(value);
  if (v == "yes" || v == "true" || v == "on" || v == "1") {
    out = true;
  } else if (v == "no" || v == "false" || v == "off" || v == "0") {
    out = false;
  } else {
    return "not yes or no: " + value;
  }
  return {};
}

}  // namespace

std::string milter_socket(const std::string& written, std::string& conn) {
  const std::string form =
      "; write inet:PORT@HOST, inet:HOST:PORT, inet6:PORT@HOST, inet6:[HOST]:PORT or unix:/path";
  const auto colon = written.find(':');
  const std::string kind = lower(written.substr(0, colon == std::string::npos ? 0 : colon));
  const std::string rest = colon == std::string::npos ? "" : written.substr(colon + 1);
  if (kind == "unix" || kind == "local") {
    if (!rest.starts_with("/")) return "socket " + written + ": the path must be absolute";
    conn = "unix:" + rest;
    return {};
  }
  if (kind != "inet" && kind != "inet6") return "socket " + written + ": unknown kind" + form;
  const bool v6 = kind == "inet6";
  std::string port;
  std::string host;
  if (const auto at = rest.find('@'); at != std::string::npos) {
    port = rest.substr(0, at);
    host = rest.substr(at + 1);
  } else if (v6 && rest.starts_with("[") && rest.find("]:") != std::string::npos) {
    host = rest.substr(1, rest.find("]:") - 1);
    port = rest.substr(rest.find("]:") + 2);
  } else if (const auto last = rest.rfind(':'); !v6 && last != std::string::npos) {
    host = rest.substr(0, last);
    port = rest.substr(last + 1);
  } else {
    // A port alone would listen on every interface: the address must be named.
    return "socket " + written + ": no address to listen on" + form;
  }
  if (!port_number(port)) return "socket " + written + ": not a port number: " + port + form;
  if (!host_name(host, v6)) return "socket " + written + ": not a host: " + host + form;
  conn = kind + ":" + port + "@" + host;
  return {};
}

std::string read_config(const std::string& path, Config& config) {
  std::ifstream in(path);
  if (!in) return "cannot read " + path;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    const std::string content = trim(line.substr(0, line.find('#')));
    if (content.empty()) continue;
    const auto eq = content.find('=');
    const std::string where = path + " line " + std::to_string(n) + ": ";
    if (eq == std::string::npos) return where + "no '='";
    const std::string key = lower(trim(content.substr(0, eq)));
    const std::string value = trim(content.substr(eq + 1));
    int64_t v = 0;
    const bool numeric = number(value, v);
    if (key == "socket") {
      if (std::string wrong = milter_socket(value, config.socket); !wrong.empty()) {
        return where + wrong;
      }
    } else if (key == "log_file") {
      config.log_file = value;
    } else if (key == "metrics_file") {
      config.metrics_file = value;
    } else if (key == "header_name") {
      if (value.find_first_of(": \t") != std::string::npos) return where + "not a header name";
      config.header_name = value;
    } else if (key == "dry_run") {
      if (std::string wrong = yes_no(value, config.dry_run); !wrong.empty()) return where + wrong;
    } else if (key == "read_back") {
      if (value != "list" && value != "inflate") return where + "read_back is list or inflate";
      config.rules.inflate_check = value == "inflate";
    } else if (key == "skip_types") {
      config.rules.skip_types = words(value);
    } else if (key == "state_folder") {
      config.state_folder = value;
    } else if (key == "exempt_senders") {
      config.exempt_senders = words(value);
    } else if (key == "exempt_recipient_domains") {
      config.exempt_recipient_domains = words(value);
    } else if (!numeric) {
      return where + (key == "min_saving" || key == "min_total_bytes" ||
                              key == "max_message_bytes" || key == "timeout" ||
                              key == "drain_seconds" || key == "max_packing" ||
                              key == "large_message_bytes"
                          ? "not a whole number: " + value
                          : "unknown setting " + key);
    } else if (key == "min_saving" && v <= 100) {
      config.rules.min_saving = static_cast<double>(v);
    } else if (key == "min_total_bytes") {
      config.rules.min_total = v;
    } else if (key == "max_message_bytes") {
      config.max_message = v;
    } else if (key == "timeout" && v > 0 && v < 86400) {
      config.timeout = static_cast<int>(v);
    } else if (key == "max_packing" && v > 0 && v <= 256) {
      config.max_packing = static_cast<int>(v);
    } else if (key == "large_message_bytes") {
      config.large_message = v;
    } else if (key == "drain_seconds" && v < 86400) {
      config.drain_seconds = static_cast<int>(v);
    } else {
      return where + "out of range or unknown: " + key;
    }
  }
  return {};
}

bool exempt(const Config& config, const std::string& sender,
            const std::vector<std::string>& recipients) {
  const std::string from = address(sender);
  for (const std::string& e : config.exempt_senders) {
    if (e == from || (e.starts_with("@") && e.substr(1) == domain_of(from))) return true;
  }
  return std::any_of(recipients.begin(), recipients.end(), [&](const std::string& r) {
    const std::string domain = domain_of(address(r));
    return std::find(config.exempt_recipient_domains.begin(), config.exempt_recipient_domains.end(),
                     domain) != config.exempt_recipient_domains.end();
  });
}

}  // namespace parvex::milter
