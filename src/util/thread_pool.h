// A fixed set of worker threads for fork-join loops. The calling thread works
// too, so a pool of one thread runs everything inline. The workers start at
// the first loop that hands out more than one task: a pool that never runs
// one costs no thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class ThreadPool {
 public:
  static constexpr int kMaxThreads = 256;
  // `threads` is clamped to 1 .. kMaxThreads; if the system refuses to start
  // some of them, threads() falls to those it started.
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int threads() const { return threads_; }
  // Runs task(i) for every i < count, spread over the threads; returns when
  // all are done. The first exception a task throws is rethrown here.
  void parallel_for(size_t count, const std::function<void(size_t)>& task);
  // Runs work(begin, end) over [0, count) cut into four pieces a thread, so
  // that a slow thread holds the others up little; piece i is
  // [count i / pieces, count (i + 1) / pieces), empty where count < pieces.
  void parallel_ranges(int64_t count, const std::function<void(int64_t, int64_t)>& work);

 private:
  struct Job {
    const std::function<void(size_t)>* task;
    size_t count;
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::exception_ptr error;
  };
  void work_loop();
  void start_workers();
  static void run_tasks(Job& job);

  int threads_;
  std::vector<std::thread> workers_;  // threads_ - 1 once started
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::shared_ptr<Job> job_;  // the current job; a worker that wakes late finds it exhausted
  size_t busy_ = 0;           // workers inside a job
  uint64_t generation_ = 0;   // one per job
  bool stopping_ = false;
};

// The number of hardware threads, at least 1.
int default_thread_count();

}  // namespace kv
