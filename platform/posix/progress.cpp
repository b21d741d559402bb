// A sign of life during long work: on a terminal, a line on standard error rewritten in place;
// started from a desktop, zenity's progress dialog (nobody reads a progress line in a log).
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/programs.h"
#include "platform/text.h"
#include "platform/worker_pool.h"

namespace zyv {
namespace {

using std::chrono::milliseconds;

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
  bool WaitEnded(milliseconds wait) {
    std::unique_lock lock(mutex);
    return ended_cv.wait_for(lock, wait, [&] { return ended; });
  }
};

void Print(const std::string& line) {
  [[maybe_unused]] const auto n = std::fwrite(line.data(), 1, line.size(), stderr);
}

void ShowLine(Shared& shared, const WString& text) {
  const std::string label = Utf16ToUtf8(text) + " ";
  bool ended = false;
  while (!ended) {
    Print("\r" + label + std::to_string(shared.Percent()) + "%");
    std::fflush(stderr);
    ended = shared.WaitEnded(milliseconds(100));
  }
  Print("\r" + label + "100%\n");
  std::fflush(stderr);
}

/// One percentage line to the dialog; false once it is gone (closed by the user). A socket rather
/// than a pipe, so that a dialog that went away is an error to send, not a SIGPIPE.
bool Feed(int dialog, unsigned percent) {
  const std::string line = std::to_string(percent) + "\n";
  return send(dialog, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
}

/// zenity's progress dialog, fed the work's percentages on its standard input until the work ends,
/// then brought to 100 % (where --auto-close closes it) and waited for. kdialog's progress bar is
/// driven over D-Bus, which this does not speak: with kdialog alone there is no dialog.
void ShowDialog(Shared& shared, const WString& caption, const WString& text) {
  const std::string zenity = posix::FindProgram("zenity");
  int fds[2];
  if (zenity.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  const pid_t pid = posix::StartProgram(zenity,
                                        {"zenity", "--progress", "--auto-close", "--no-cancel",
                                         "--title=" + Utf16ToUtf8(caption), "--text=" + Utf16ToUtf8(text)},
                                        fds[1]);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return;
  }
  bool open = true, ended = false;
  unsigned shown = 0;
  while (!ended) {
    if (const unsigned percent = shared.Percent(); open && percent != shown) {
      open = Feed(fds[0], percent);
      shown = percent;
    }
    ended = shared.WaitEnded(milliseconds(100));
  }
  if (open) Feed(fds[0], 100);
  close(fds[0]);
  // Gone before the message that follows; one that does not close is not waited on for ever.
  posix::WaitForProgram(pid, milliseconds(5000));
}

}  // namespace

void RunShowingProgress(const WString& caption, const WString& text,
                        const std::function<void(ProgressSink&)>& work) {
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
  if (shared.WaitEnded(milliseconds(500))) return;
  if (isatty(STDERR_FILENO) == 1) {
    ShowLine(shared, text);
  } else if (posix::DialogsWanted()) {
    ShowDialog(shared, caption, text);
  }
  // Otherwise nothing to show: the worker pool's end waits for the work.
}

}  // namespace zyv
