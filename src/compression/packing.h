// The packing engine: a folder's files into one archive, one zip run a file with every result
// checked, and the read-back that proves the archive holds exactly what was packed. The send,
// the zip button and the milter all pack through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace parvex::compression {

// The readme packed with the attachments; never encrypted, so that a recipient can read it.
inline constexpr const char* kReadme = "Readme.txt";

// What a packing run raises when the user pressed Cancel: the runtime's "User interrupt
// occurred". A cancelled send is no failed one.
inline constexpr int32_t kSendCancelled = 18;

// Sizes of the files packed and of the archive they went into.
struct PackedBytes {
  double files = 0;
  double archive = 0;
};

// The zip library's own level (6), which the desktop and the milter pack at.
inline constexpr int kDefaultLevel = -1;

// The files of folder, by bare name, packed into archive in this order, at level: 0 stores,
// 1..9 deflate, kDefaultLevel leaves the library's default.
struct PackJob {
  std::string folder;
  std::vector<std::string> names;
  std::string archive;
  int level = kDefaultLevel;
};

// What a packing run tells its caller as it goes. Every call may let window events run.
class PackingWatch {
 public:
  virtual ~PackingWatch() = default;
  // Whether begin() and step() are wanted: sizes are taken and each run reports its blocks.
  virtual bool shows_progress() const { return false; }
  virtual void begin(const std::vector<std::string>& /*names*/,
                     const std::vector<uint64_t>& /*sizes*/) {}
  // File index has done bytes packed; pump: the caller lets window events run. True stops.
  virtual bool step(size_t /*index*/, uint64_t /*done*/, bool /*pump*/) { return false; }
  // Asked after each zip run returns: true stops before its result is reported.
  virtual bool cancelled() { return false; }
  // A file was measured, before its run.
  virtual void measured(double /*length*/) {}
  // A file's zip run returned result (0: packed).
  virtual void packed(const std::string& /*name*/, int32_t /*result*/) {}
  // Every file was packed; archive_length bytes of archive.
  virtual void finished(double /*archive_length*/) {}
};

// Packs job.names one zip run each, the readme unencrypted and every other file encrypted when
// a password is held. Raises err::kInvalidCall for a level outside -1..9, kSendCancelled when the
// watch stops the run, and a failure at the first file that cannot be measured or whose run does
// not return success: no later file is packed and finished() is not called.
PackedBytes pack_files(const PackJob& job, PackingWatch& watch);

// What an archive of archive bytes saves over files bytes, for a log line after "the archive ":
// "saves 12.5 %", or where it is the larger both sizes, since a saving of -13200 % for a tiny
// file tells a user nothing.
std::string saving_words(double files, double archive);

// What a file held right after it was saved: the archive must hold exactly these bytes.
struct Fingerprint {
  std::string name;  // bare name in the packed folder
  int64_t size = 0;
  uint32_t crc = 0;
};
// Reads the file (never through a link), letting window events run between its blocks.
Fingerprint fingerprint(const std::string& path);

// How far check_archive reads the archive back: its listing; every entry decoded; or every
// entry but the readme encrypted, and decoded with the held password.
enum class ReadBack { listing, decoded, protected_entries };

// Raises unless job.archive holds exactly these files and the readme, byte for byte.
void check_archive(const PackJob& job, const std::vector<Fingerprint>& files,
                   const Fingerprint& readme, ReadBack depth);

}  // namespace parvex::compression
