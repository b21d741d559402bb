// A sign of life during long work: a line on standard error, rewritten in place, when that is a
// terminal (nobody reads a progress line in a log).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/worker_pool.h"

namespace zyv {
namespace {

struct Shared : ProgressSink {
  std::atomic<std::uint64_t> done{0}, total{0};
  std::mutex mutex;
  std::condition_variable ended_cv;
  bool ended = false;

  void Report(std::uint64_t d, std::uint64_t t) override {
    done.store(d, std::memory_order_relaxed);
    total.store(t, std::memory_order_relaxed);
  }
  unsigned Percent() const {
    const std::uint64_t t = total.load(std::memory_order_relaxed);
    return t == 0 ? 0
                  : static_cast<unsigned>(
                        std::min<std::uint64_t>(100, done.load(std::memory_order_relaxed) * 100 / t));
  }
  /// Waits until the work has ended or for at most wait; whether it has ended.
  bool WaitEnded(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex);
    return ended_cv.wait_for(lock, wait, [&] { return ended; });
  }
};

void Print(const std::string& line) {
  [[maybe_unused]] const auto n = std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void RunShowingProgress(const WString&, const WString& text, const std::function<void(ProgressSink&)>& work) {
  Shared shared;
  WorkerPool worker(1);
  worker.Submit([&] {
    work(shared);
    {
      const std::lock_guard lock(shared.mutex);
      shared.ended = true;
    }
    shared.ended_cv.notify_all();
  });
  if (isatty(STDERR_FILENO) == 1 && !shared.WaitEnded(std::chrono::milliseconds(500))) {
    const std::string label = Utf16ToUtf8(text) + " ";
    bool ended = false;
    while (!ended) {
      Print("\r" + label + std::to_string(shared.Percent()) + "%");
      std::fflush(stderr);
      ended = shared.WaitEnded(std::chrono::milliseconds(100));
    }
    Print("\r" + label + "100%\n");
    std::fflush(stderr);
  }
}

}  // namespace zyv
