/* Preloaded into the Linux installer (LD_PRELOAD) to stop it dead at one chosen point: every call
   that changes a file, a folder or what the program has told the world (open for writing, write,
   close, rename, unlink, mkdir, chmod, fsync, starting a program...) is a point, numbered from 1 in
   the order the installer makes them. ZYV_FAULT_AT=N sends SIGKILL just before the Nth, as a power
   cut or a killed process would stop it; ZYV_FAULT_AT=0 only counts. ZYV_FAULT_TRACE=FILE lists
   every point ("N call path") as it is passed. ZYV_FAULT_REFUSE=CALL:SUFFIX[:ERRNO] makes every CALL
   (open for writing, rename or unlink) on a path ending in SUFFIX fail with EACCES (or ERRNO), as a
   file held by another program or a folder without rights would; several such rules are separated
   by '|'. The
   variables and the preload are removed at start, so programs the installer starts run undisturbed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long g_at = -1;
static long g_count;
static int g_trace = -1;
static pid_t g_installer; /* points are counted in this process only, not in the ones it forks */
static char g_refuse[512];

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

__attribute__((constructor)) static void Init(void) {
  const char* at = getenv("ZYV_FAULT_AT");
  const char* trace = getenv("ZYV_FAULT_TRACE");
  g_installer = getpid();
  const char* refuse = getenv("ZYV_FAULT_REFUSE");
  if (at != NULL) g_at = atol(at);
  if (refuse != NULL) snprintf(g_refuse, sizeof g_refuse, "%s", refuse);
  if (trace != NULL) g_trace = REAL(open)(trace, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  unsetenv("ZYV_FAULT_AT");
  unsetenv("ZYV_FAULT_TRACE");
  unsetenv("ZYV_FAULT_REFUSE");
  unsetenv("LD_PRELOAD");
}

static void Point(const char* call, const char* path) {
  if (getpid() != g_installer) return;
  /* The worker pool's threads pass points too: each one gets a number of its own, and the chosen
     one is met exactly once. */
  const long point = __atomic_add_fetch(&g_count, 1, __ATOMIC_SEQ_CST);
  if (g_trace >= 0) {
    char line[4200];
    const int n = snprintf(line, sizeof line, "%ld %s %s\n", point, call, path != NULL ? path : "");
    if (n > 0) REAL(write)(g_trace, line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
  }
  if (g_at > 0 && point == g_at) kill(getpid(), SIGKILL);
}

/* Whether one rule of ZYV_FAULT_REFUSE (CALL:SUFFIX, or CALL:SUFFIX:ERRNO) names this call on this
   path; errno is set when it does, to EACCES unless the rule gives another. */
static int RuleRefuses(const char* rule, size_t length, const char* call, const char* path) {
  const char* end = rule + length;
  const char* colon = memchr(rule, ':', length);
  if (colon == NULL) return 0;
  const char* suffix = colon + 1;
  const char* code = memchr(suffix, ':', (size_t)(end - suffix));
  const size_t n = strlen(path), m = (size_t)((code != NULL ? code : end) - suffix);
  const size_t call_length = (size_t)(colon - rule);
  if (strlen(call) != call_length || strncmp(call, rule, call_length) != 0 || n < m ||
      strncmp(path + n - m, suffix, m) != 0) {
    return 0;
  }
  errno = code != NULL ? atoi(code + 1) : EACCES;
  return 1;
}

/* Whether ZYV_FAULT_REFUSE, one rule or several separated by '|', refuses this call on this path. */
static int Refused(const char* call, const char* path) {
  if (path == NULL || getpid() != g_installer) return 0;
  for (const char* rule = g_refuse; *rule != '\0';) {
    const char* bar = strchr(rule, '|');
    const size_t length = bar != NULL ? (size_t)(bar - rule) : strlen(rule);
    if (RuleRefuses(rule, length, call, path)) return 1;
    rule += length + (bar != NULL ? 1 : 0);
  }
  return 0;
}

static const char* FdPath(int fd, char* buffer, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, buffer, size - 1);
  buffer[n > 0 ? n : 0] = '\0';
  return buffer;
}

static int Writes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

#define OPEN_LIKE(name, ...)                               \
  {                                                        \
    mode_t mode = 0;                                       \
    if (flags & (O_CREAT | __O_TMPFILE)) {                 \
      va_list ap;                                          \
      va_start(ap, flags);                                 \
      mode = (mode_t)va_arg(ap, int);                      \
      va_end(ap);                                          \
    }                                                      \
    if (Writes(flags)) Point(#name, path);                 \
    if (Writes(flags) && Refused("open", path)) return -1; \
    return REAL(name)(__VA_ARGS__, mode);                  \
  }

int open(const char* path, int flags, ...)
    OPEN_LIKE(open, path, flags) int open64(const char* path, int flags, ...)
        OPEN_LIKE(open64, path, flags) int openat(int dir, const char* path, int flags, ...)
            OPEN_LIKE(openat, dir, path, flags) int openat64(int dir, const char* path, int flags, ...)
                OPEN_LIKE(openat64, dir, path, flags)

                    FILE* fopen(const char* path, const char* mode) {
  if (strpbrk(mode, "wa+") != NULL) Point("fopen", path);
  return REAL(fopen)(path, mode);
}
FILE* fopen64(const char* path, const char* mode) {
  if (strpbrk(mode, "wa+") != NULL) Point("fopen64", path);
  return REAL(fopen64)(path, mode);
}
int creat(const char* path, mode_t mode) {
  Point("creat", path);
  return REAL(creat)(path, mode);
}

ssize_t write(int fd, const void* data, size_t size) {
  char p[4096];
  Point("write", FdPath(fd, p, sizeof p));
  return REAL(write)(fd, data, size);
}
ssize_t pwrite(int fd, const void* data, size_t size, off_t at) {
  char p[4096];
  Point("pwrite", FdPath(fd, p, sizeof p));
  return REAL(pwrite)(fd, data, size, at);
}
size_t fwrite(const void* data, size_t size, size_t count, FILE* f) {
  char p[4096];
  Point("fwrite", FdPath(fileno(f), p, sizeof p));
  return REAL(fwrite)(data, size, count, f);
}
int fflush(FILE* f) {
  char p[4096];
  Point("fflush", f != NULL ? FdPath(fileno(f), p, sizeof p) : "");
  return REAL(fflush)(f);
}
int fclose(FILE* f) {
  char p[4096];
  Point("fclose", FdPath(fileno(f), p, sizeof p));
  return REAL(fclose)(f);
}
int close(int fd) {
  char p[4096];
  Point("close", FdPath(fd, p, sizeof p));
  return REAL(close)(fd);
}
int fsync(int fd) {
  char p[4096];
  Point("fsync", FdPath(fd, p, sizeof p));
  return REAL(fsync)(fd);
}
int fdatasync(int fd) {
  char p[4096];
  Point("fdatasync", FdPath(fd, p, sizeof p));
  return REAL(fdatasync)(fd);
}
int ftruncate(int fd, off_t size) {
  char p[4096];
  Point("ftruncate", FdPath(fd, p, sizeof p));
  return REAL(ftruncate)(fd, size);
}
int fchmod(int fd, mode_t mode) {
  char p[4096];
  Point("fchmod", FdPath(fd, p, sizeof p));
  return REAL(fchmod)(fd, mode);
}

int rename(const char* from, const char* to) {
  Point("rename", from);
  if (Refused("rename", from)) return -1;
  return REAL(rename)(from, to);
}
int renameat(int fd1, const char* from, int fd2, const char* to) {
  Point("renameat", from);
  return REAL(renameat)(fd1, from, fd2, to);
}
int renameat2(int fd1, const char* from, int fd2, const char* to, unsigned flags) {
  Point("renameat2", from);
  if (Refused("rename", from)) return -1;
  return REAL(renameat2)(fd1, from, fd2, to, flags);
}
int link(const char* from, const char* to) {
  Point("link", to);
  return REAL(link)(from, to);
}
int linkat(int fd1, const char* from, int fd2, const char* to, int flags) {
  Point("linkat", to);
  return REAL(linkat)(fd1, from, fd2, to, flags);
}
int symlink(const char* from, const char* to) {
  Point("symlink", to);
  return REAL(symlink)(from, to);
}
int unlink(const char* path) {
  Point("unlink", path);
  if (Refused("unlink", path)) return -1;
  return REAL(unlink)(path);
}
int unlinkat(int dir, const char* path, int flags) {
  Point("unlinkat", path);
  return REAL(unlinkat)(dir, path, flags);
}
int remove(const char* path) {
  Point("remove", path);
  return REAL(remove)(path);
}
int rmdir(const char* path) {
  Point("rmdir", path);
  return REAL(rmdir)(path);
}
int mkdir(const char* path, mode_t mode) {
  Point("mkdir", path);
  return REAL(mkdir)(path, mode);
}
int mkdirat(int dir, const char* path, mode_t mode) {
  Point("mkdirat", path);
  return REAL(mkdirat)(dir, path, mode);
}
int chmod(const char* path, mode_t mode) {
  Point("chmod", path);
  return REAL(chmod)(path, mode);
}
int fchmodat(int dir, const char* path, mode_t mode, int flags) {
  Point("fchmodat", path);
  return REAL(fchmodat)(dir, path, mode, flags);
}

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  Point("posix_spawn", path);
  return REAL(posix_spawn)(pid, path, actions, attr, argv, envp);
}
int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[]) {
  Point("posix_spawnp", file);
  return REAL(posix_spawnp)(pid, file, actions, attr, argv, envp);
}
pid_t fork(void) {
  Point("fork", "");
  return REAL(fork)();
}
