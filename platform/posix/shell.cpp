// Starting a program the way the shell does: detached, in its own folder, never waited for.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace zyv {
namespace {

/// Parameters are one command-line string, as on Windows, so they are split by the same rules:
/// blanks separate, double quotes group, backslashes escape only before a quote.
std::vector<std::string> SplitParameters(const std::string& params) {
  std::vector<std::string> args;
  std::string current;
  bool in_arg = false, quoted = false;
  for (size_t i = 0; i < params.size(); ++i) {
    const char c = params[i];
    if (c == '\\') {
      size_t n = 0;
      while (i < params.size() && params[i] == '\\') ++n, ++i;
      if (i < params.size() && params[i] == '"') {
        current.append(n / 2, '\\');
        if (n % 2 == 1) {
          current += '"';
        } else {
          quoted = !quoted;
        }
      } else {
        current.append(n, '\\');
        --i;
      }
      in_arg = true;
    } else if (c == '"') {
      quoted = !quoted;
      in_arg = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_arg) args.push_back(current);
      current.clear();
      in_arg = false;
    } else {
      current += c;
      in_arg = true;
    }
  }
  if (in_arg) args.push_back(current);
  return args;
}

bool IsOpenVerb(const WString& verb) {
  // An empty verb is the default one, which is "open"; verbs are case-insensitive.
  if (verb.empty()) return true;
  if (verb.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    if ((verb[i] | 0x20) != u"open"[i]) return false;
  }
  return true;
}

[[noreturn]] void ReportAndExit(int pipe_fd, int error) {
  while (write(pipe_fd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  _exit(127);
}

/// The grandchild's side: its own folder, default signal handling, no terminal input, none of
/// our files, then the program. Only async-signal-safe calls from here on, since the parent may have other
/// threads.
[[noreturn]] void StartProgram(const char* file, char* const* argv, const char* dir, int pipe_fd) {
  if (dir != nullptr && chdir(dir) != 0) ReportAndExit(pipe_fd, errno);
  // Ignored signals and the blocked mask survive exec; the program should start with neither.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (const int null = open("/dev/null", O_RDONLY | O_CLOEXEC); null >= 0) {
    dup2(null, STDIN_FILENO);  // dup2 clears close-on-exec on the copy
  }
  // Only the standard streams go to the program, as a Windows process inherits no handles from
  // the shell: our open files (the staging archive, say) must not live on in it.
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 4096; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  execv(file, argv);
  ReportAndExit(pipe_fd, errno);
}

}  // namespace

bool ShellOpen(const WString& verb, const WString& file, const WString& params, const WString& dir,
               int show) {
  (void)show;  // there is no window-state hint to hand to an X11 or Wayland program
  if (!IsOpenVerb(verb)) return false;
  std::string program, folder, param_text;
  if (!posix::NativePath(file, program) || program.empty() || !posix::NativePath(dir, folder) ||
      !posix::NativePath(params, param_text)) {
    return false;
  }
  // A relative program is found from where the caller is, not from the program's folder.
  if (program.front() != '/' && program.find('/') != std::string::npos) {
    if (char* cwd = getcwd(nullptr, 0)) {
      program = std::string(cwd) + "/" + program;
      std::free(cwd);
    }
  }
  std::vector<std::string> args = SplitParameters(param_text);
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The pipe closes on exec, so reading it tells exec success (end of file) from failure (an errno).
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const char* folder_arg = folder.empty() ? nullptr : folder.c_str();
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (child == 0) {
    // Double fork: the program becomes a child of init (or the session's subreaper) in a session
    // of its own, so it outlives us without a terminal and nobody has to reap it here.
    close(fds[0]);
    if (setsid() < 0) ReportAndExit(fds[1], errno);
    const pid_t grandchild = fork();
    if (grandchild < 0) ReportAndExit(fds[1], errno);
    if (grandchild == 0) StartProgram(program.c_str(), argv.data(), folder_arg, fds[1]);
    _exit(0);
  }
  close(fds[1]);
  // Reaping the intermediate child is immediate: it exits right after its fork.
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  while ((n = read(fds[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(fds[0]);
  if (n == 0) return true;
  // The child's reason (chdir or exec failing: ENOENT, EACCES, ETXTBSY...) is the caller's to read.
  if (n == static_cast<ssize_t>(sizeof error)) errno = error;
  return false;
}

}  // namespace zyv
