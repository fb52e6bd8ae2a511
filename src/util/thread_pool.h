// A fixed set of worker threads for fork-join loops. The calling thread works
// too, so a pool of one thread runs everything inline.
#pragma once

#include <atomic>
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
  explicit ThreadPool(int threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  int threads() const { return static_cast<int>(workers_.size()) + 1; }
  // Runs task(i) for every i < count, spread over the threads; returns when
  // all are done. The first exception a task throws is rethrown here.
  void parallel_for(size_t count, const std::function<void(size_t)>& task);

 private:
  struct Job {
    const std::function<void(size_t)>* task;
    size_t count;
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::exception_ptr error;
  };
  void work_loop();
  static void run_tasks(Job& job);

  std::vector<std::thread> workers_;
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
