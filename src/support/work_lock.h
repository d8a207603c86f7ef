// The add-in folder's working files (working folder, archive, statistics file) are shared by
// every process that loads the add-in from that folder: one holder at a time works on them.
#pragma once

#include <string>

namespace parvex {

// add-in folder + separator + "parvex.lock": the file whose OS lock stands for the working
// files. The lock dies with its process, so a crash leaves nothing to clear.
std::string work_lock_path();

// Takes the lock for this thread's work, waiting a few seconds for another process to let go;
// nested holders share it. held() tells whether it was taken.
class WorkLock {
 public:
  WorkLock();
  ~WorkLock();
  WorkLock(const WorkLock&) = delete;
  WorkLock& operator=(const WorkLock&) = delete;
  bool held() const { return held_; }
  // Why it was not taken: in use by another program, or the folder cannot be written.
  const std::string& problem() const { return problem_; }
  // Raises kPermissionDenied unless held().
  void require() const;

 private:
  bool held_ = false;
  std::string problem_;
};

}  // namespace parvex
