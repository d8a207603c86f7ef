#include "engine.h"

#include <utime.h>

#include <cstdio>
#include <optional>
#include <set>

#include "archive/code_module.h"
#include "compression/mail_send.h"
#include "compression/packing.h"
#include "compression/signature.h"
#include "core/failure.h"
#include "seams/fs.h"

namespace parvex::web {
namespace {

void set_time(const std::string& path, int64_t time) {
  utimbuf when{static_cast<time_t>(time), static_cast<time_t>(time)};
  if (utime(path.c_str(), &when) != 0)
    raise(err::kPathFileAccess, "Cannot set the time of " + path);
}

std::string read_all(const std::string& path) {
  fs::File in(path, "rb", fs::Links::refuse);
  std::string bytes(static_cast<size_t>(fs::file_length(path)), '\0');
  if (std::fread(bytes.data(), 1, bytes.size(), in.get()) != bytes.size()) {
    raise(err::kPathFileAccess, "Cannot read " + path);
  }
  return bytes;
}

// The work folder goes on every path: no file of one message is left for the next.
class WorkFolder {
 public:
  explicit WorkFolder(std::string path) : path_(std::move(path)) {
    if (fs::exists_no_follow(path_)) raise(err::kPathFileAccess, "Work folder in use: " + path_);
    fs::make_folder(path_);
    fs::make_folder(files());
  }
  ~WorkFolder() {
    attempt([&] {
      for (const std::string& name : fs::list_entries(files()))
        fs::delete_file(files() + "/" + name);
      std::remove(files().c_str());
      if (fs::is_file(archive())) fs::delete_file(archive());
      std::remove(path_.c_str());
    });
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  std::string files() const { return path_ + "/files"; }
  std::string archive() const { return path_ + "/Attachments.zip"; }

 private:
  std::string path_;
};

}  // namespace

std::string pack_attachments(const std::vector<Attachment>& files, int level,
                             const std::string& password, int64_t time,
                             const std::string& work_folder) {
  if (level < compression::kDefaultLevel || level > 9) {
    raise(err::kInvalidCall, "The compression level must be 0 to 9, not " + std::to_string(level));
  }
  const WorkFolder work(work_folder);
  compression::PackJob job{work.files(), {compression::kReadme}, work.archive(), level};
  write_readme_in(job.folder);
  set_time(job.folder + "/" + compression::kReadme, time);
  const compression::Fingerprint readme =
      compression::fingerprint(job.folder + "/" + compression::kReadme);
  // The readme's name is taken: an attachment of that name is renamed, never written over it.
  std::set<std::string> taken{compression::kReadme};
  std::vector<compression::Fingerprint> saved;
  for (const Attachment& a : files) {
    const std::string name = compression::saved_name(
        a.name.size() > 255 ? compression::shortened(a.name) : a.name, taken);
    const std::string path = job.folder + "/" + name;
    fs::File out(path, "wb", fs::Links::refuse);
    out.write(a.bytes);
    out.close();
    set_time(path, time);
    saved.push_back(compression::fingerprint(path));
    job.names.push_back(name);
  }
  std::optional<CodeModule::HeldPassword> held;
  if (!password.empty()) held.emplace(password);
  compression::PackingWatch unwatched;
  compression::pack_files(job, unwatched);
  compression::check_archive(
      job, saved, readme,
      held ? compression::ReadBack::protected_entries : compression::ReadBack::decoded);
  return read_all(job.archive);
}

}  // namespace parvex::web
