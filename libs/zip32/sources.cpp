#include "sources.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "file.h"

namespace pvx::zip {
namespace {

// A folder link that points back up would otherwise recurse until paths get too long.
constexpr int kMaxDepth = 128;

std::vector<std::string_view> parts(std::string_view name) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || is_separator(name[i])) {
      if (i > start) out.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

std::string join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return is_separator(folder.back()) ? folder + name : folder + kSep + name;
}

void walk(const std::string& path, const std::string& prefix, int depth, std::vector<Source>* out,
          std::vector<std::string>* unreadable) {
  std::vector<std::pair<std::string, bool>> children;
  if (depth > kMaxDepth || !list_dir(path, &children)) {
    unreadable->push_back(path);
    return;
  }
  std::sort(children.begin(), children.end());
  for (const auto& [name, is_dir] : children) {
    const std::string child = join(path, name);
    const std::string stored = prefix.empty() ? name : prefix + "/" + name;
    const PathInfo info = stat_path(child);
    if (!info.exists) continue;  // vanished, or a dangling link
    out->push_back(Source{child, info.is_dir ? stored + "/" : stored, info.is_dir,
                          info.is_dir ? 0 : info.size, info.mtime});
    if (info.is_dir) walk(child, stored, depth + 1, out, unreadable);
  }
}

}  // namespace

bool is_absolute(const std::string& name) {
  if (!name.empty() && is_separator(name[0])) return true;
  return without_drive(name).size() != name.size();
}

std::string stored_name(const std::string& name) {
  std::vector<std::string_view> kept;
  for (std::string_view part : parts(without_drive(name))) {
    if (part != "." && part != "..") kept.push_back(part);
  }
  if (is_absolute(name)) {
    if (kept.empty()) return {};
    return std::string(kept.back());
  }
  std::string out;
  for (std::string_view part : kept) {
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

bool collect_sources(const std::string& name, const std::string& root, bool recurse,
                     std::vector<Source>* out, std::vector<std::string>* unreadable) {
  if (name.empty()) return false;
  const std::string path = is_absolute(name) ? name : join(root, name);
  const PathInfo info = stat_path(path);
  if (!info.exists) return false;
  const std::string stored = stored_name(name);
  if (!info.is_dir) {
    if (stored.empty()) return false;
    out->push_back(Source{path, stored, false, info.size, info.mtime});
    return true;
  }
  // A folder named without recurse is stored as an empty folder entry, as zip tools do.
  if (!stored.empty()) out->push_back(Source{path, stored + "/", true, 0, info.mtime});
  if (recurse) walk(path, stored, 0, out, unreadable);
  return true;
}

}  // namespace pvx::zip
