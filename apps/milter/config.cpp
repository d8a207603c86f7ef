#include "config.h"

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

}  // namespace

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
      config.socket = value;
    } else if (key == "state_folder") {
      config.state_folder = value;
    } else if (key == "exempt_senders") {
      config.exempt_senders = words(value);
    } else if (key == "exempt_recipient_domains") {
      config.exempt_recipient_domains = words(value);
    } else if (!numeric) {
      return where + (key == "min_saving" || key == "min_total_bytes" ||
                              key == "max_message_bytes" || key == "timeout" ||
                              key == "drain_seconds"
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
