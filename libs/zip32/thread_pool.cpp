#include "thread_pool.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace pvx::zip {

ThreadPool::ThreadPool(unsigned threads) {
  threads_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this, i] { work(i); });
    } catch (...) {
      break;  // the ones already running carry the work; a throw here would strand them
    }
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ThreadPool::submit(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    queued_.fetch_add(1, std::memory_order_relaxed);
  }
  wake_.notify_one();
}

void ThreadPool::work(unsigned worker) {
  for (;;) {
    Job job;
    // A worker without a job means an idle core: it watches the queue a moment before it sleeps,
    // since the next block usually follows within microseconds, and a core left to halt takes
    // tens of them to wake on a virtual machine.
    const auto until = std::chrono::steady_clock::now() + kWatch;
    while (queued_.load(std::memory_order_relaxed) == 0 &&
           !stopping_.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < until) {
      std::this_thread::yield();
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (!take(job)) return;
    }
    job(worker);
  }
}

bool ThreadPool::run_one(unsigned worker) {
  Job job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!take(job)) return false;
  }
  job(worker);
  return true;
}

bool ThreadPool::take(Job& job) {
  if (jobs_.empty()) return false;
  job = std::move(jobs_.front());
  jobs_.pop_front();
  queued_.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

unsigned ThreadPool::default_size() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores <= 1 ? 0 : std::min(cores - 1, 15u);
}

}  // namespace pvx::zip
