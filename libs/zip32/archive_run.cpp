#include "archive_run.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "codepage.h"
#include "dostime.h"
#include "entry_writer.h"
#include "file.h"
#include "file_id.h"
#include "le.h"
#include "records.h"
#include "sources.h"
#include "ziperrors.h"

namespace pvx::zip {
namespace {

constexpr size_t kCopyBuffer = 256 * 1024;

uint32_t dos_stamp(std::time_t t) {
  const DosDateTime d = to_dos(t);
  return static_cast<uint32_t>(d.date) << 16 | d.time;
}

std::string outcome(const EntryHeader& h) {
  if (h.method != kMethodDeflated || h.usize == 0) return " (stored 0%)";
  const double saved =
      100.0 * static_cast<double>(h.usize - h.csize) / static_cast<double>(h.usize);
  return " (deflated " + std::to_string(static_cast<int>(saved + 0.5)) + "%)";
}

// Copies [from, to) of `in` to the current position of `out`.
int32_t copy_range(BinaryFile& in, uint64_t from, uint64_t to, BinaryFile& out,
                   std::vector<unsigned char>& buf) {
  if (!in.seek(from)) return ZE_FORM;
  while (from < to) {
    const auto n = static_cast<size_t>(std::min<uint64_t>(to - from, buf.size()));
    if (!in.read_exact(buf.data(), n)) return ZE_FORM;
    if (!out.write(buf.data(), n)) return ZE_WRITE;
    from += n;
  }
  return ZE_OK;
}

// The central record of an entry whose local header now starts at `offset`.
std::string moved_record(const Directory& dir, const OldEntry& e, uint64_t offset) {
  std::string record(dir.record(e));
  std::string field;
  if (e.offset_is_64) {
    put64(field, offset);
  } else {
    put32(field, static_cast<uint32_t>(offset));
  }
  record.replace(e.offset_field, field.size(), field);
  return record;
}

class Run {
 public:
  Run(const RunOptions& options, const std::string& archive, const PrintSink& print,
      const ProgressSink& progress, Workspace& work)
      : opt_(options), archive_(archive), print_(print), progress_(progress), work_(work) {}

  int32_t execute(const std::vector<std::string>& names);

 private:
  struct Planned {
    const Source* src;
    std::vector<size_t> replaces;  // old entries of the same name
  };

  int32_t resolve(const std::vector<std::string>& names);
  int32_t append(BinaryFile& f, uint64_t length, bool created);
  int32_t rebuild(BinaryFile& f);
  int32_t rebuild_into(BinaryFile& f, BinaryFile& out);
  int32_t write_entries(BinaryFile& out, uint64_t* pos, std::string* cd, uint64_t* count);
  int32_t keep_old(BinaryFile& out, size_t index, uint64_t* pos, std::string* cd, uint64_t* count);
  int32_t finish(BinaryFile& out, uint64_t pos, std::string_view old_cd, const std::string& new_cd,
                 uint64_t count);
  int32_t nothing_to_do();
  int32_t fail(int32_t code, const std::string& what);

  const RunOptions& opt_;
  const std::string& archive_;
  const PrintSink& print_;
  const ProgressSink& progress_;
  Workspace& work_;
  std::vector<Source> sources_;
  std::vector<Planned> plan_;
  Directory dir_;
  std::vector<bool> removed_;  // old entries that new ones replace
  BinaryFile* old_ = nullptr;  // the archive being rebuilt from, while it is
  std::vector<uint64_t> span_end_;
  FileId archive_id_;
  bool open_failed_ = false;
  uint64_t added_ = 0;
};

int32_t Run::fail(int32_t code, const std::string& what) {
  print_("zip error: " + what + " (" + archive_ + ")\n");
  return code;
}

int32_t Run::nothing_to_do() {
  print_("zip error: Nothing to do! (" + archive_ + ")\n");
  return open_failed_ ? ZE_OPEN : ZE_NONE;
}

int32_t Run::resolve(const std::vector<std::string>& names) {
  std::vector<std::string> unreadable;
  for (const std::string& name : names) {
    if (!collect_sources(name, opt_.root, opt_.recurse, &sources_, &unreadable)) {
      print_("zip warning: name not matched: " + name + "\n");
    }
  }
  for (const std::string& path : unreadable) {
    print_("zip warning: could not open for reading: " + path + "\n");
    open_failed_ = true;
  }
  // Two files under one entry name would make one of them unreachable: refuse the run.
  std::unordered_map<std::string, size_t> seen;
  std::vector<Source> unique;
  for (Source& s : sources_) {
    const auto [it, fresh] = seen.emplace(name_key(s.stored), unique.size());
    if (fresh) {
      unique.push_back(std::move(s));
    } else if (unique[it->second].path != s.path) {
      print_("zip error: name in zip file repeated: " + s.stored + "\n        first full name: " +
             unique[it->second].path + "\n       second full name: " + s.path + "\n");
      return ZE_PARMS;
    }
  }
  sources_ = std::move(unique);
  return ZE_OK;
}

int32_t Run::execute(const std::vector<std::string>& names) {
  if (const int32_t r = resolve(names); r != ZE_OK) return r;
  if (sources_.empty()) return nothing_to_do();

  const PathInfo info = stat_path(archive_);
  if (info.is_dir) return fail(ZE_CREAT, "could not create zip file");
  const bool created = !info.exists;
  BinaryFile f;
  if (!f.open(archive_, created ? BinaryFile::Mode::Create : BinaryFile::Mode::ReadWrite)) {
    return fail(ZE_CREAT, created ? "could not create zip file" : "could not open zip file");
  }
  archive_id_ = file_id(archive_);
  uint64_t length = 0;
  std::string why;
  if (!created && (!f.size(&length) || (length > 0 && !read_directory(f, length, &dir_, &why)))) {
    return fail(ZE_FORM, "Zip file structure invalid: " + (why.empty() ? "read error" : why));
  }

  // Each call of the add-in's one-file-per-call pattern passes here once per earlier entry:
  // only names of a wanted length are looked at more closely.
  std::unordered_map<std::string, size_t> wanted;
  std::vector<bool> wanted_length(0x10000, false);
  bool wanted_non_ascii = false;  // only those can match an old IBM 437 name
  for (size_t i = 0; i < sources_.size(); ++i) {
    wanted.emplace(name_key(sources_[i].stored), i);
    wanted_length[sources_[i].stored.size() & 0xFFFF] = true;
    wanted_non_ascii = wanted_non_ascii || !is_ascii(sources_[i].stored);
  }
  std::vector<std::vector<size_t>> matches(sources_.size());
  for (size_t i = 0; i < dir_.entries.size(); ++i) {
    const OldEntry& e = dir_.entries[i];
    auto it = wanted.end();
    if (wanted_length[e.name_len]) it = wanted.find(name_key(dir_.name_raw(e)));
    if (it == wanted.end() && wanted_non_ascii && !(e.flags & kFlagUtf8) &&
        !is_ascii(dir_.name_raw(e))) {
      it = wanted.find(name_key(dir_.name_utf8(e)));
    }
    if (it != wanted.end()) matches[it->second].push_back(i);
  }
  removed_.assign(dir_.entries.size(), false);
  bool replacing = false;
  for (size_t i = 0; i < sources_.size(); ++i) {
    const uint32_t stamp = dos_stamp(sources_[i].mtime);
    bool newer = true;
    for (const size_t m : matches[i]) newer = newer && stamp > dir_.entries[m].dos_stamp;
    if (!matches[i].empty() && opt_.update && !newer) continue;
    for (const size_t m : matches[i]) removed_[m] = true;
    replacing = replacing || !matches[i].empty();
    plan_.push_back({&sources_[i], matches[i]});
  }
  if (plan_.empty()) {
    f.close();
    if (created) remove_file(archive_);
    return nothing_to_do();
  }
  const int32_t r = replacing ? rebuild(f) : append(f, length, created);
  if (r != ZE_OK) return r;
  if (added_ == 0) return nothing_to_do();
  return open_failed_ ? ZE_OPEN : ZE_OK;
}

int32_t Run::write_entries(BinaryFile& out, uint64_t* pos, std::string* cd, uint64_t* count) {
  EntryWriter writer(out, opt_.level, work_);
  if (opt_.encrypt) writer.encrypt(opt_.encrypt, opt_.password);
  const auto stopped = [this] { return fail(ZE_ABORT, "Interrupted (aborting)"); };
  for (const Planned& p : plan_) {
    const uint64_t total = p.src->is_dir ? 0 : p.src->size;
    uint64_t shown = 0;  // a pack that starts over is not shown going back
    EntryProgress tell;
    if (progress_) {
      tell = [&](uint64_t done) {
        shown = std::max(shown, done);
        return progress_(p.src->stored, shown, total);
      };
      if (tell(0)) return stopped();
    }
    EntryHeader h;
    auto result = EntryWriter::Result::SourceFailed;
    if (p.src->is_dir || !same_file(file_id(p.src->path), archive_id_)) {
      result = writer.write(*p.src, *pos, &h, tell);
      if (result == EntryWriter::Result::SourceFailed) {
        print_("zip warning: could not open for reading: " + p.src->path + "\n");
        open_failed_ = true;
      }
    }
    switch (result) {
      case EntryWriter::Result::Ok:
        break;
      case EntryWriter::Result::SourceFailed:
        // The entry it was to replace stays, rather than vanish with the failed file.
        for (const size_t old : p.replaces) {
          if (const int32_t r = keep_old(out, old, pos, cd, count); r != ZE_OK) return r;
        }
        continue;
      case EntryWriter::Result::ArchiveFailed:
        return fail(ZE_WRITE, "write error");
      case EntryWriter::Result::OutOfMemory:
        return fail(ZE_MEM, "out of memory");
      case EntryWriter::Result::CipherFailed:
        return fail(ZE_LOGIC, "encryption failed");
      case EntryWriter::Result::Aborted:
        return stopped();
    }
    // The end of the file, before the run ends: a stop here still leaves the archive as it was.
    if (tell && tell(total)) return stopped();
    *pos = h.offset + local_header_size(h) + h.csize;
    *cd += central_record(h);
    ++*count;
    ++added_;
    print_((!p.replaces.empty() ? "updating: " : "  adding: ") + h.name + outcome(h) + "\n");
  }
  return ZE_OK;
}

int32_t Run::keep_old(BinaryFile& out, size_t index, uint64_t* pos, std::string* cd,
                      uint64_t* count) {
  const OldEntry& e = dir_.entries[index];
  if (!old_ || (!e.offset_is_64 && *pos >= 0xFFFFFFFFu)) {
    return fail(ZE_WRITE, "could not keep the old entry " + dir_.name_utf8(e));
  }
  std::vector<unsigned char> buf(kCopyBuffer);
  if (!out.seek(*pos)) return fail(ZE_WRITE, "write error");
  if (const int32_t r = copy_range(*old_, e.offset, span_end_[index], out, buf); r != ZE_OK) {
    return fail(r, r == ZE_WRITE ? "write error" : "could not read the zip file");
  }
  *cd += moved_record(dir_, e, *pos);
  *pos += span_end_[index] - e.offset;
  ++*count;
  return ZE_OK;
}

int32_t Run::finish(BinaryFile& out, uint64_t pos, std::string_view old_cd,
                    const std::string& new_cd, uint64_t count) {
  const uint64_t cd_size = old_cd.size() + new_cd.size();
  const std::string end = end_records(count, pos, cd_size, dir_.comment);
  if (!out.seek(pos) || !out.write(old_cd.data(), old_cd.size()) || !out.write(new_cd) ||
      !out.write(end) || !out.truncate(pos + cd_size + end.size()) || !out.close()) {
    return fail(ZE_WRITE, "write error");
  }
  return ZE_OK;
}

int32_t Run::append(BinaryFile& f, uint64_t length, bool created) {
  const std::string& tail = dir_.tail;  // what new entries overwrite, to put back
  auto restore = [&] {
    if (created) {
      f.close();
      remove_file(archive_);
      return true;
    }
    const bool ok = f.seek(dir_.cd_offset) && f.write(tail) && f.truncate(length);
    return f.close() && ok;
  };
  int32_t r = ZE_OK;
  try {
    std::string cd;
    uint64_t count = dir_.entries.size();
    uint64_t pos = dir_.cd_offset;
    r = write_entries(f, &pos, &cd, &count);
    if (r == ZE_OK && added_ > 0) r = finish(f, pos, dir_.cd(), cd, count);
  } catch (...) {
    restore();
    throw;
  }
  if (r == ZE_OK && added_ > 0) return ZE_OK;
  if (!restore() && r == ZE_OK) r = fail(ZE_WRITE, "could not restore the zip file");
  return r;
}

int32_t Run::rebuild(BinaryFile& f) {
  const std::string temp = temp_name_beside(archive_);
  BinaryFile out;
  if (temp.empty() || !out.open(temp, BinaryFile::Mode::Create)) {
    return fail(ZE_CREAT, "could not create a temporary file");
  }
  int32_t r = ZE_OK;
  try {
    r = rebuild_into(f, out);
  } catch (...) {
    out.close();
    remove_file(temp);
    throw;
  }
  if (r == ZE_OK && added_ > 0) {
    f.close();  // Windows cannot rename over an open file
    if (rename_file(temp, archive_)) return ZE_OK;
    r = fail(ZE_WRITE, "could not replace the zip file");
  }
  out.close();
  remove_file(temp);
  return r;
}

int32_t Run::rebuild_into(BinaryFile& f, BinaryFile& out) {
  // Each old entry runs from its offset to the next one's (or the directory): that takes in
  // data descriptors and anything else a writer left between entries.
  std::vector<size_t> by_offset(dir_.entries.size());
  for (size_t i = 0; i < by_offset.size(); ++i) by_offset[i] = i;
  std::sort(by_offset.begin(), by_offset.end(),
            [&](size_t a, size_t b) { return dir_.entries[a].offset < dir_.entries[b].offset; });
  for (size_t k = 1; k < by_offset.size(); ++k) {
    if (dir_.entries[by_offset[k]].offset == dir_.entries[by_offset[k - 1]].offset) {
      return fail(ZE_FORM, "Zip file structure invalid: two entries share one offset");
    }
  }
  std::vector<unsigned char> buf(kCopyBuffer);
  const uint64_t first = by_offset.empty() ? dir_.cd_offset : dir_.entries[by_offset[0]].offset;
  int32_t r = copy_range(f, 0, first, out, buf);  // whatever precedes the first entry
  uint64_t pos = first;
  // Copying in offset order means every entry moves down, so no offset outgrows its field.
  std::vector<uint64_t> new_offset(dir_.entries.size());
  span_end_.assign(dir_.entries.size(), 0);
  old_ = &f;
  for (size_t k = 0; k < by_offset.size() && r == ZE_OK; ++k) {
    const size_t i = by_offset[k];
    const OldEntry& e = dir_.entries[i];
    const uint64_t end =
        k + 1 < by_offset.size() ? dir_.entries[by_offset[k + 1]].offset : dir_.cd_offset;
    span_end_[i] = end;
    unsigned char sig[4];
    if (!f.seek(e.offset) || !f.read_exact(sig, sizeof sig) || get32(sig) != kLocalHeaderSig) {
      return fail(ZE_FORM,
                  "Zip file structure invalid: local header missing for " + dir_.name_utf8(e));
    }
    if (removed_[i]) continue;
    new_offset[i] = pos;
    r = copy_range(f, e.offset, end, out, buf);
    pos += end - e.offset;
  }
  if (r != ZE_OK) return fail(r, r == ZE_WRITE ? "write error" : "could not read the zip file");

  std::string cd;
  uint64_t count = 0;
  for (size_t i = 0; i < dir_.entries.size(); ++i) {
    if (removed_[i]) continue;
    cd += moved_record(dir_, dir_.entries[i], new_offset[i]);
    ++count;
  }
  r = write_entries(out, &pos, &cd, &count);
  if (r == ZE_OK && added_ > 0) r = finish(out, pos, {}, cd, count);
  return r;
}

}  // namespace

int32_t run_archive(const RunOptions& options, const std::string& archive,
                    const std::vector<std::string>& names, const PrintSink& print,
                    const ProgressSink& progress, Workspace& work) {
  Run run(options, archive, print, progress, work);
  return run.execute(names);
}

}  // namespace pvx::zip
