// A fixed set of worker threads, made for one archive run and joined when it ends: no thread
// outlives a call into the library, so nothing runs while the host unloads it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pvx::zip {

class ThreadPool {
 public:
  // Receives the index of the worker that runs it, below size(). Must not throw.
  using Job = std::function<void(unsigned worker)>;

  // Starts up to `threads` workers; fewer when the system refuses more (size() says how many).
  explicit ThreadPool(unsigned threads);
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ~ThreadPool();  // runs what is queued, then joins

  unsigned size() const { return static_cast<unsigned>(threads_.size()); }
  void submit(Job job);
  // Runs the oldest queued job on the calling thread, as worker `worker`; false when none was
  // queued.
  bool run_one(unsigned worker);

  // Workers worth starting here: one a core but the caller's, who packs too; at most 15.
  static unsigned default_size();

 private:
  void work(unsigned worker);
  bool take(Job& job);  // the oldest queued job, under the lock; false when there is none

  static constexpr std::chrono::microseconds kWatch{100};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<size_t> queued_{0};  // jobs_.size(), for watching without the lock
  std::deque<Job> jobs_;
  std::atomic<bool> stopping_{false};  // set under the lock; read without it while watching
  std::vector<std::thread> threads_;
};

}  // namespace pvx::zip
