#include "util/thread_pool.h"

#include <algorithm>
#include <system_error>

namespace kv {

int default_thread_count() {
  unsigned n = std::thread::hardware_concurrency();
  return n ? static_cast<int>(n) : 1;
}

ThreadPool::ThreadPool(int threads) : threads_(std::clamp(threads, 1, kMaxThreads)) {}

void ThreadPool::start_workers() {
  workers_.reserve(static_cast<size_t>(threads_ - 1));
  for (int i = 1; i < threads_; ++i) {
    try {
      workers_.emplace_back([this] { work_loop(); });
    } catch (const std::system_error&) {
      break;  // the system gives no more: the loops run on those there are
    }
  }
  threads_ = static_cast<int>(workers_.size()) + 1;
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ThreadPool::run_tasks(Job& job) {
  for (size_t i = job.next.fetch_add(1); i < job.count; i = job.next.fetch_add(1)) {
    try {
      (*job.task)(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(job.mutex);
      if (!job.error) job.error = std::current_exception();
    }
  }
}

void ThreadPool::work_loop() {
  uint64_t seen = 0;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      if (!job_) continue;  // woke after the job had ended
      job = job_;
      ++busy_;
    }
    run_tasks(*job);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
    finished_.notify_one();
  }
}

void ThreadPool::parallel_ranges(int64_t count, const std::function<void(int64_t, int64_t)>& work) {
  const int64_t pieces = 4 * static_cast<int64_t>(threads_);
  parallel_for(static_cast<size_t>(pieces), [&](size_t i) {
    const auto k = static_cast<int64_t>(i);
    work(count * k / pieces, count * (k + 1) / pieces);
  });
}

void ThreadPool::parallel_for(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  if (threads_ == 1 || count == 1) {
    for (size_t i = 0; i < count; ++i) task(i);
    return;
  }
  if (workers_.empty()) start_workers();
  auto job = std::make_shared<Job>();
  job->task = &task;
  job->count = count;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = job;
    ++generation_;
  }
  wake_.notify_all();
  run_tasks(*job);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Every index has been handed out; wait for the workers still running one.
    finished_.wait(lock, [&] { return busy_ == 0; });
    job_.reset();
  }
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace kv
