#include "compression/packing.h"

#include <algorithm>
#include <cstdio>

#include "archive/code_module.h"
#include "archive/unzip_files.h"
#include "archive/zip_files.h"
#include "core/failure.h"
#include "crc.h"
#include "seams/fs.h"
#include "seams/services.h"

namespace parvex::compression {
namespace {

void stop_if_cancelled(bool cancelled) {
  if (cancelled) raise(kSendCancelled, "The send was cancelled");
}

std::string base_name(const std::string& path) {
  const auto sep = path.find_last_of(kPathSep);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

// One zip run for one file. The library lets window events run after each progress call, and
// a stop there leaves the archive as it was.
int32_t zip_one(const PackJob& job, size_t index, PackingWatch& watch) {
  const std::string& name = job.names[index];
  ZipFiles zip;
  zip.ZipFileName(job.archive);
  zip.UpdatingZip(false);
  zip.addfile(job.folder + kPathSep + name);
  zip.IncludeSystemFiles(false);
  zip.Level(job.level);
  // The readme stays readable, so that a recipient sees what a protected archive is.
  zip.Encrypted(!fs::same_name(name, kReadme));
  if (watch.shows_progress()) {
    zip.Progress([&watch, index](const std::string&, uint64_t done, uint64_t) {
      return watch.step(index, done, false);
    });
  }
  return zip.MakeZipFile();
}

}  // namespace

PackedBytes pack_files(const PackJob& job, PackingWatch& watch) {
  PackedBytes packed;
  if (job.names.empty()) return packed;
  // One set of worker threads for every run below, joined on the way out, whichever it is.
  const CodeModule::ZipPool pool;
  const bool progress = watch.shows_progress();
  if (progress) {
    std::vector<uint64_t> sizes;
    for (const std::string& name : job.names) {
      int64_t size = 0;
      attempt([&] { size = fs::file_length(job.folder + kPathSep + name); });
      sizes.push_back(static_cast<uint64_t>(size));
    }
    watch.begin(job.names, sizes);
  }
  for (size_t i = 0; i < job.names.size(); ++i) {
    const std::string& name = job.names[i];
    if (progress) stop_if_cancelled(watch.step(i, 0, true));
    const auto length = static_cast<double>(fs::file_length(job.folder + kPathSep + name));
    packed.files += length;
    watch.measured(length);
    const int32_t result = zip_one(job, i, watch);
    stop_if_cancelled(watch.cancelled());
    watch.packed(name, result);
    // The archive as the failed run left it is no archive of these files.
    if (result != 0) {
      raise(err::kPathFileAccess,
            "The zip library failed with code " + std::to_string(result) + " on " + name);
    }
    if (progress) stop_if_cancelled(watch.step(i, static_cast<uint64_t>(length), true));
  }
  packed.archive = static_cast<double>(fs::file_length(job.archive));
  watch.finished(packed.archive);
  return packed;
}

std::string saving_words(double files, double archive) {
  char text[96];
  if (archive > files) {
    std::snprintf(text, sizeof text,
                  "would be larger than the attachments (%.0f bytes against %.0f)", archive, files);
  } else {
    std::snprintf(text, sizeof text, "saves %.1f %%",
                  files > 0 ? (files - archive) / files * 100 : 0);
  }
  return text;
}

Fingerprint fingerprint(const std::string& path) {
  fs::File in(path, "rb", fs::Links::refuse);
  Fingerprint f{base_name(path), 0, 0};
  std::vector<unsigned char> buf(1 << 16);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), in.get())) > 0) {
    f.crc = pvx::crc32_update(f.crc, buf.data(), n);
    f.size += static_cast<int64_t>(n);
    // A copy of hundreds of megabytes takes seconds: the host's window must keep answering.
    pump_events();
  }
  if (std::ferror(in.get())) raise(err::kPathFileAccess, "Path/File access error: " + path);
  return f;
}

namespace {

// The archive's entries as a listing gives them (test: false), or as a test run decodes them:
// every entry decrypted and inflated, with the size and CRC of its bytes, a failed one missing.
std::vector<CodeModule::ModuleState::ListedEntry> read_back(const PackJob& job, bool test,
                                                            const char* unreadable) {
  UnzipFiles run;
  if (test) {
    run.TestZip(true);
  } else {
    run.ExtractList(1);
  }
  if (run.Unzip(job.archive, job.folder) != 0) raise(err::kPathFileAccess, unreadable);
  return CodeModule::state().ListEntries;
}

}  // namespace

// Nothing leaves unless the archive holds every saved file byte for byte, the readme, and
// nothing else: a file that changed while it was packed, or one that is not this message's,
// keeps the attachments where they are. A protected archive's entries record no CRC, and a
// writer fault could leave any bytes under them: it is decrypted with the password to check.
void check_archive(const PackJob& job, const std::vector<Fingerprint>& saved,
                   const Fingerprint& readme, ReadBack depth) {
  std::vector<CodeModule::ModuleState::ListedEntry> entries =
      read_back(job, false, "The archive could not be read back");
  if (depth == ReadBack::protected_entries) {
    for (const auto& e : entries) {
      if (!e.encrypted && !fs::same_name(e.name, kReadme)) {
        raise(err::kPathFileAccess, "The archive holds " + e.name + " unprotected");
      }
    }
  }
  if (depth != ReadBack::listing) {
    const char* undecoded = depth == ReadBack::protected_entries
                                ? "The protected archive could not be read back"
                                : "The archive did not test whole";
    const size_t listed = entries.size();
    entries = read_back(job, true, undecoded);
    if (entries.size() != listed) raise(err::kPathFileAccess, undecoded);
  }
  auto same = [&](const CodeModule::ModuleState::ListedEntry& e, const Fingerprint& f) {
    return fs::same_name(e.name, f.name) && static_cast<int64_t>(e.size) == f.size &&
           e.crc == f.crc;
  };
  auto held = [&](const Fingerprint& f) {
    return std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return same(e, f); });
  };
  for (const Fingerprint& f : saved) {
    if (!held(f)) raise(err::kPathFileAccess, "The archive does not hold " + f.name);
  }
  if (!held(readme)) raise(err::kPathFileAccess, "The archive lacks the readme");
  for (const auto& e : entries) {
    const bool ours = same(e, readme) || std::any_of(saved.begin(), saved.end(),
                                                     [&](const auto& f) { return same(e, f); });
    if (!ours) raise(err::kPathFileAccess, "The archive holds a file of no attachment: " + e.name);
  }
}

}  // namespace parvex::compression
