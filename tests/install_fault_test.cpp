// The Linux installer stopped dead at every point where it changes something on disk (the
// fault_injector preload numbers them and sends SIGKILL before the chosen one), then run again to
// the end: a first installation, a re-installation (beside a stray main.7z, with its staging file
// impossible to delete), an update of an older version whose tree changes (also with its last move
// refused, so that it is stopped in its rollback), and the run that recovers an update stopped in
// its commit; and a recovery refused both its roll-forward and its rollback. Whatever the point, no product
// file is ever cut short, the user's config.ini is never lost, and after the complete run nothing of the run
// remains and the installed tree is the payload's. Also a real disk that fills up at every step of an
// update, failures that name their cause and leave the older version whole, two installers started
// at once, and a user without a home folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/install_state.h"
#include "tests/test_util.h"

extern char** environ;

namespace zyv {
namespace {

namespace fs = std::filesystem;
using test::Differences;
using test::ReadFileBytes;
using test::ReadTree;
using test::TempDir;
using test::Tree;
using test::WriteFileBytes;

const std::string kUserConfig = "[ZeReveza]\r\nlanguage=en\r\ninstall=Setup-13.exe\r\n; the user's own\r\n";
const std::string kCompleted = "安装完成";

// launch.log is left out of the trees compared here: the installed program writes it when the
// installer starts it, detached, at any time.
constexpr char kLaunchLog[] = "launch.log";
const std::vector<std::string> kSame;

struct ChildRun {
  int status = -1;
  std::string output;
  bool Killed() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
  bool Succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

/// A user's home with the installer's folders in it, and the installer run there as a child.
class Home {
 public:
  Home() {
    fs::create_directories(Data());
    fs::create_directories(dir_.path() / "home" / ".config");
    fs::create_directories(Desktop());
  }
  fs::path Data() const { return dir_.path() / "home" / "data"; }
  fs::path Folder() const { return Data() / "dudizu"; }
  fs::path Config() const { return Folder() / "config.ini"; }
  fs::path Desktop() const { return dir_.path() / "home" / "Desktop"; }

  /// Runs the installer; with fault_at, stopped before that point (0: points only counted), the
  /// points listed in trace; refuse as ZYV_FAULT_REFUSE (CALL:SUFFIX) makes those calls fail.
  ChildRun Install(long fault_at = -1, const fs::path& trace = {}, const std::string& refuse = {}) const {
    return Wait(Start(fault_at, trace, refuse));
  }

  /// Starts the installer without waiting for it (see Install); Wait collects it.
  pid_t Start(long fault_at = -1, const fs::path& trace = {}, const std::string& refuse = {},
              bool with_home = true) const {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8"};
    if (with_home) {
      env.push_back("HOME=" + (dir_.path() / "home").string());
      env.push_back("XDG_DATA_HOME=" + Data().string());
      env.push_back("XDG_CONFIG_HOME=" + (dir_.path() / "home" / ".config").string());
    }
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
    if (fault_at >= 0 || !refuse.empty()) {
      env.push_back("LD_PRELOAD=" ZYV_FAULT_INJECTOR);
      env.push_back("ZYV_FAULT_AT=" + std::to_string(fault_at));
      if (!trace.empty()) env.push_back("ZYV_FAULT_TRACE=" + trace.string());
      if (!refuse.empty()) env.push_back("ZYV_FAULT_REFUSE=" + refuse);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Each run's output in a file of its own, so that runs may overlap.
    const fs::path out = dir_.path() / ("stdout-" + std::to_string(runs_++));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::string program = ZYV_INSTALLER;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    outputs_[pid] = out;
    return pid;
  }

  ChildRun Wait(pid_t pid) const {
    ChildRun run;
    if (pid > 0) {
      while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
      }
    }
    run.output = ReadFileBytes(outputs_[pid]);
    return run;
  }

 private:
  TempDir dir_;
  mutable int runs_ = 0;
  mutable std::map<pid_t, fs::path> outputs_;
};

/// What a clean first installation leaves: the install folder's tree and the shortcut.
struct Reference {
  Tree folder;
  Tree desktop;
};

const Reference& Clean() {
  static const Reference reference = [] {
    Home home;
    const ChildRun run = home.Install();
    EXPECT_TRUE(run.Succeeded()) << run.output;
    return Reference{ReadTree(home.Folder(), false, kLaunchLog), ReadTree(home.Desktop())};
  }();
  return reference;
}

/// A home where the product was installed before and the user has since changed its settings and
/// damaged one of its files.
void Reinstalled(const Home& home) {
  for (const auto& [name, bytes] : Clean().folder) {
    const fs::path p = home.Folder() / name;
    if (bytes == "<dir>") {
      fs::create_directories(p);
    } else {
      fs::create_directories(p.parent_path());
      WriteFileBytes(p, bytes);
    }
  }
  WriteFileBytes(home.Config(), kUserConfig);
  WriteFileBytes(home.Folder() / "readme.txt", "damaged");
}

/// What the user's own file in the install folder holds: no installation may touch it.
const std::string kMine = "notes of mine\n";

/// A home where an older version of the product is installed, with the list of what it installed:
/// it lacks a file the new one adds (changelog.md), holds others (documents and the program, in both
/// solid blocks) with other bytes, and files the new one no longer ships, one in a folder of its
/// own; beside them the user's settings and a file of the user's own. Returns that tree.
Tree OlderVersionInstalled(const Home& home) {
  fs::create_directories(home.Folder() / "plugins");
  for (const auto& [name, bytes] : Clean().folder) {
    if (bytes == "<dir>" || name == "changelog.md" || name.starts_with("ZyvInstall.")) continue;
    WriteFileBytes(home.Folder() / name, name == "readme.txt" ? "v1 readme\n" : bytes);
  }
  // The older program still runs (its start after a failed update is that program's).
  std::string program = ReadFileBytes(home.Folder() / "ZyvSHelp.exe") + "version 1 trailer";
  fs::remove(home.Folder() / "ZyvSHelp.exe");
  WriteFileBytes(home.Folder() / "ZyvSHelp.exe", program);
  fs::permissions(home.Folder() / "ZyvSHelp.exe", fs::perms::owner_exec, fs::perm_options::add);
  WriteFileBytes(home.Folder() / "plugins" / "old.dll", "dropped by the update");
  WriteFileBytes(home.Folder() / "legacy.txt", "dropped too");
  WriteFileBytes(home.Config(), kUserConfig);
  WriteFileBytes(home.Folder() / "mine.txt", kMine);
  std::string list = "ZyvInstall installed files\n";
  for (const char* f : {"ZyvSHelp.exe", "config.ini", "legacy.txt", "license.txt", "plugins/old.dll",
                        "readme.txt", "使用说明.md"}) {
    list += std::string("file dudizu/") + f + "\n";
  }
  WriteFileBytes(home.Folder() / "ZyvInstall.installed", list + "folder dudizu\nfolder dudizu/plugins\n");
  return ReadTree(home.Folder(), false, kLaunchLog);
}

/// How the stopped run finds the install folder, and what the system refuses it.
struct Scenario {
  const char* name;
  bool reinstall;
  bool stray_staging = false;  // a main.7z that no run of this installer left
  const char* refuse = "";     // ZYV_FAULT_REFUSE for the stopped run
  bool update = false;         // an older version is installed (implies reinstall)
  // A run before the stopped one, itself stopped before its first rename of a path ending in this:
  // the stopped run is the one that recovers from it.
  const char* stop_first = "";
};

// Test names and failure messages show a scenario by its name.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

void PrepareTree(const Home& home, const Scenario& scenario) {
  if (scenario.update) {
    OlderVersionInstalled(home);
  } else if (scenario.reinstall) {
    Reinstalled(home);
  }
  if (scenario.stray_staging) WriteFileBytes(home.Data() / "main.7z", "not an archive of ours");
}

/// The point before which the scenario's first run is stopped (counted once per scenario).
long FirstRunsStop(const Scenario& scenario) {
  static std::map<std::string, long> found;
  if (const auto it = found.find(scenario.name); it != found.end()) return it->second;
  Home home;
  PrepareTree(home, scenario);
  TempDir tmp;
  EXPECT_TRUE(home.Install(0, tmp.path() / "trace").Succeeded());
  std::istringstream in(ReadFileBytes(tmp.path() / "trace"));
  long point = 0;
  for (std::string line; point == 0 && std::getline(in, line);) {
    if (line.find(" rename") != std::string::npos && line.ends_with(scenario.stop_first))
      point = std::stol(line);
  }
  EXPECT_GT(point, 0) << "no rename of " << scenario.stop_first;
  return found[scenario.name] = point;
}

void Prepare(const Home& home, const Scenario& scenario) {
  PrepareTree(home, scenario);
  if (*scenario.stop_first != '\0') {
    EXPECT_TRUE(home.Install(FirstRunsStop(scenario)).Killed());
  }
}

/// The files of the product that a stopped run leaves: each holds the bytes one version or the other
/// gave it, whole. Names of the installer's own and the user's are left out.
std::vector<std::string> CutFiles(const Home& home, const Tree& before) {
  std::vector<std::string> cut;
  for (const auto& [name, bytes] : ReadTree(home.Folder(), false, kLaunchLog)) {
    if (name.starts_with("ZyvInstall.") || bytes == "<dir>") continue;
    const auto old = before.find(name);
    const auto now = Clean().folder.find(name);
    const bool whole = (old != before.end() && old->second == bytes) ||
                       (now != Clean().folder.end() && now->second == bytes) || name == "config.ini";
    if (!whole) cut.push_back(name);
  }
  return cut;
}

/// The points of an installation (one line each: number, call, path), from a counting run.
std::vector<std::string> Points(const Scenario& scenario) {
  Home home;
  Prepare(home, scenario);
  TempDir tmp;
  const ChildRun run = home.Install(0, tmp.path() / "trace", scenario.refuse);
  EXPECT_TRUE(run.Succeeded()) << run.output;
  std::vector<std::string> points;
  std::istringstream in(ReadFileBytes(tmp.path() / "trace"));
  for (std::string line; std::getline(in, line);) points.push_back(line);
  return points;
}

/// What must hold after a complete run: the payload's tree with the expected config.ini, the
/// shortcut and the menu entry, and nothing else in the data folder.
void ExpectInstalled(const Home& home, const std::string& config, const std::string& context,
                     const Tree& extra = {}) {
  Tree want = Clean().folder;
  if (!config.empty()) want["config.ini"] = config;
  want.insert(extra.begin(), extra.end());
  EXPECT_EQ(Differences(ReadTree(home.Folder(), false, kLaunchLog), want), kSame) << context;
  // The shortcut names this home's program, so only its presence and target are compared.
  const std::string shortcut = ReadFileBytes(home.Desktop() / "Kelvora.desktop");
  EXPECT_NE(shortcut.find((home.Folder() / "ZyvSHelp.exe").string()), std::string::npos) << context;
  EXPECT_EQ(ReadTree(home.Desktop()).size(), Clean().desktop.size()) << context;
  // The same entry in the menu, whole: the one a stopped run was writing has been replaced.
  EXPECT_EQ(ReadFileBytes(home.Data() / "applications" / "Kelvora.desktop"), shortcut) << context;
  EXPECT_FALSE(fs::exists(home.Data() / "applications" / ".Kelvora.desktop.writing")) << context;
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(home.Data())) {
    if (e.path().filename() != "dudizu") beside.push_back(e.path().filename().string());
  }
  EXPECT_EQ(beside, std::vector<std::string>{"applications"}) << context;  // no main.7z
}

/// Waits (a few seconds at most) until no process runs program: a run stopped after starting the
/// installed program leaves it running for a moment, and while it runs its file cannot be
/// rewritten (ETXTBSY), as on Windows a running program cannot be replaced.
/// Waits until program is not running. A run stopped after its message may have forked the start
/// of the program already, so the program must then stay idle for half a second before the next run.
void WaitUntilNotRunning(const fs::path& program, bool may_still_start) {
  int idle = 0;
  const int wanted = may_still_start ? 50 : 1;
  for (int i = 0; i < 1000 && idle < wanted; ++i) {
    const int fd = open(program.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    idle = (fd >= 0 || errno != ETXTBSY) ? idle + 1 : 0;
    if (idle < wanted) usleep(10000);
  }
}

class InterruptedInstallation : public testing::TestWithParam<Scenario> {};

TEST_P(InterruptedInstallation, AtEveryPointTheNextRunCompletesAndNothingIsLost) {
  const Scenario& scenario = GetParam();
  const std::vector<std::string> points = Points(scenario);
  ASSERT_GT(points.size(), 20u);
  for (std::size_t k = 1; k <= points.size(); ++k) {
    const std::string context = "stopped before point " + points[k - 1];
    Home home;
    Prepare(home, scenario);
    const Tree before = ReadTree(home.Folder(), false, kLaunchLog);
    const ChildRun stopped = home.Install(static_cast<long>(k), {}, scenario.refuse);
    ASSERT_TRUE(stopped.Killed()) << context << "\n" << stopped.output;
    EXPECT_EQ(CutFiles(home, before), kSame) << context;
    if (scenario.reinstall || scenario.update) {
      // At the moment of the stop, the user's file is in one of its two places.
      EXPECT_TRUE(ReadFileBytes(home.Config()) == kUserConfig ||
                  ReadFileBytes(home.Folder() / "config.ini.bak") == kUserConfig)
          << context;
    }
    // Once its message is out (completed or failed), a stopped run may have started the program.
    WaitUntilNotRunning(home.Folder() / "ZyvSHelp.exe", !stopped.output.empty());
    const ChildRun complete = home.Install();
    EXPECT_TRUE(complete.Succeeded()) << context;
    EXPECT_NE(complete.output.find(kCompleted), std::string::npos) << context << "\n" << complete.output;
    ExpectInstalled(home, scenario.reinstall || scenario.update ? kUserConfig : "", context,
                    scenario.update ? Tree{{"mine.txt", kMine}} : Tree{});
    if (HasFailure()) break;  // one point's story is enough to read
  }
}

INSTANTIATE_TEST_SUITE_P(
    Install, InterruptedInstallation,
    testing::Values(Scenario{"FirstInstallation", false}, Scenario{"Reinstallation", true},
                    Scenario{"ReinstallationBesideAStrayStagingFile", true, true},
                    // The stopped run's last move in fails, so it is stopped in its rollback too.
                    Scenario{"UpdateWhoseLastMoveIsRefused", false, false,
                             "rename:ZyvInstall.staging/dudizu/readme.txt", true},
                    Scenario{"ReinstallationWhoseStagingFileStays", true, false, "unlink:main.7z"},
                    Scenario{"UpdateOfAnOlderVersion", false, false, "", true},
                    // The run that recovers an update stopped in its commit is itself stopped.
                    Scenario{"RecoveryOfAnUpdateStoppedInItsCommit", false, false, "", true,
                             "ZyvInstall.staging/dudizu/readme.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

/// A small file system of its own (tmpfs) mounted over a folder for the life of the object, so that
/// a disk fills up for real; mounting needs root.
class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& at) : at_(at) {
    mounted_ = geteuid() == 0 && mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=8m") == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::uintmax_t Free() const {
    struct statvfs st;
    return statvfs(at_.c_str(), &st) == 0 ? std::uintmax_t{st.f_bavail} * st.f_frsize : 0;
  }
  /// Takes all but room bytes of the free space, in a file of its own beside the install folder.
  void LeaveRoom(std::uintmax_t room) const {
    fs::remove(Ballast());
    const std::uintmax_t free = Free();
    if (free <= room) return;
    const int fd = open(Ballast().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_EQ(posix_fallocate(fd, 0, static_cast<off_t>(free - room)), 0);
    close(fd);
  }
  fs::path Ballast() const { return at_ / "ballast"; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(FullDisk, AnUpdateOnAFillingDiskEndsWithTheNewTreeOrTheOldOneWhole) {
  Home home;
  const SmallDisk disk(home.Data());
  if (!disk.mounted()) GTEST_SKIP() << "a small file system of its own needs root (mount -t tmpfs)";
  // From no room at all to more than the update needs: short of its room the run fails at once, and
  // a disk that fills on the way (the room asked for, but files take whole pages) fails the run
  // later; either way nothing of the older version is lost.
  // Steps of a page, or finer than a 24th of the product (an upper bound of its archive as well):
  // some fall between the room asked for and the room the files take.
  std::uintmax_t product = 0;
  for (const auto& [name, bytes] : Clean().folder) product += bytes.size();
  const std::uintmax_t step = std::max<std::uintmax_t>(4096, (2 * product / 24) & ~std::uintmax_t{4095});
  int failed = 0, completed = 0;
  for (std::uintmax_t room = 0; room <= 4 * product && completed < 3; room += step) {
    const std::string context = "with " + std::to_string(room) + " bytes free";
    fs::remove_all(home.Folder());
    const Tree older = OlderVersionInstalled(home);
    disk.LeaveRoom(room);
    const ChildRun run = home.Install();
    EXPECT_TRUE(run.Succeeded()) << context;
    if (run.output.starts_with(kCompleted)) {
      ++completed;
      fs::remove(disk.Ballast());
      ExpectInstalled(home, kUserConfig, context, Tree{{"mine.txt", kMine}});
    } else {
      ++failed;
      EXPECT_TRUE(run.output.starts_with("安装失败，错误代码：")) << context << "\n" << run.output;
      fs::remove(disk.Ballast());
      EXPECT_EQ(Differences(ReadTree(home.Folder(), false, kLaunchLog), older), kSame) << context;
      EXPECT_FALSE(fs::exists(home.Data() / "main.7z")) << context;
    }
    WaitUntilNotRunning(home.Folder() / "ZyvSHelp.exe", true);
    if (HasFailure()) break;
  }
  EXPECT_GT(failed, 0);
  EXPECT_EQ(completed, 3);

  // A re-installation writes no product file: it needs room for its staging file alone, which the
  // stale main.7z it replaces partly gives.
  fs::remove_all(home.Folder());
  fs::remove(disk.Ballast());
  ASSERT_TRUE(home.Install().Succeeded());
  WaitUntilNotRunning(home.Folder() / "ZyvSHelp.exe", true);
  const std::uintmax_t staging = fs::file_size(ZYV_PAYLOAD_ARCHIVE);
  WriteFileBytes(home.Data() / "main.7z", std::string(staging / 2, 's'));
  disk.LeaveRoom(staging / 2 + 65536);
  const ChildRun again = home.Install();
  EXPECT_TRUE(again.output.starts_with(kCompleted)) << again.output;
  fs::remove(disk.Ballast());
  WaitUntilNotRunning(home.Folder() / "ZyvSHelp.exe", true);

  // Short of room from the start: the message says how much is needed and free, nothing is written.
  fs::remove_all(home.Folder());
  const Tree older = OlderVersionInstalled(home);
  disk.LeaveRoom(4096);
  const ChildRun failed_run = home.Install();
  const std::string needed = "安装失败，错误代码：11\n磁盘空间不足：安装需要约 ";
  EXPECT_TRUE(failed_run.output.starts_with(needed)) << failed_run.output;
  EXPECT_GE(std::atoi(failed_run.output.c_str() + std::min(needed.size(), failed_run.output.size())), 1)
      << failed_run.output;
  EXPECT_NE(failed_run.output.find(" MB，可用 "), std::string::npos) << failed_run.output;
  fs::remove(disk.Ballast());
  EXPECT_EQ(Differences(ReadTree(home.Folder(), false, kLaunchLog), older), kSame);
}

TEST(FailureCause, TheMessageSaysWhatFailedWhereAndTheUserFileSurvives) {
  struct Case {
    const char* refuse;  // ZYV_FAULT_REFUSE: which write fails, and how
    const char* code;    // the first line's code
    const char* file;    // the file the second line names, if any
    const char* reason;  // what the second line says after it
  };
  const Case cases[] = {
      {"open:dudizu/readme.txt", "11", "dudizu/readme.txt", " 无法写入：访问被拒绝。"},
      {"open:dudizu/readme.txt:16", "11", "dudizu/readme.txt",
       " 正在被其他程序使用，请关闭 Kelvora 后重试。"},
      {"open:dudizu/readme.txt:5", "11", "dudizu/readme.txt", " 无法写入：Input/output error"},
      {"open:main.7z:28", "1", "", "磁盘空间不足：安装需要约 "},
      // The last changed file of the new tree cannot be moved in: every move before it is undone.
      {"rename:ZyvInstall.staging/dudizu/readme.txt", "11", "dudizu/readme.txt", " 无法写入：访问被拒绝。"},
  };
  for (const Case& c : cases) {
    Home home;
    const Tree older = OlderVersionInstalled(home);
    const ChildRun failed = home.Install(-1, {}, c.refuse);
    // Whatever failed, the older version is there as it was.
    EXPECT_EQ(Differences(ReadTree(home.Folder(), false, kLaunchLog), older), kSame) << c.refuse;
    const std::string file = *c.file == '\0' ? "" : "文件 " + (home.Data() / c.file).string();
    EXPECT_TRUE(
        failed.output.starts_with("安装失败，错误代码：" + std::string(c.code) + "\n" + file + c.reason))
        << c.refuse << "\n"
        << failed.output;
    EXPECT_EQ(ReadFileBytes(home.Config()), kUserConfig) << c.refuse;
  }
}

TEST(StuckRecovery, ARecoveryThatCanNeitherFinishNorUndoKeepsWhatItNeedsAndTheNextRunCompletes) {
  // An update stopped in its commit, whose recovery is refused the move of readme.txt in and, in its
  // rollback, the move of the old one back: the run stops with the file named, starts nothing,
  // writes no shortcut, and leaves the record and the aside folder with the old readme.
  const Scenario stopped{
      "StoppedInItsCommit", false, false, "", true, "ZyvInstall.staging/dudizu/readme.txt"};
  Home home;
  Prepare(home, stopped);
  const char* refuse = "rename:ZyvInstall.staging/dudizu/readme.txt|rename:ZyvInstall.old/dudizu/readme.txt";
  for (int round = 0; round < 2; ++round) {
    const ChildRun stuck = home.Install(-1, {}, refuse);
    EXPECT_TRUE(stuck.Succeeded());
    EXPECT_TRUE(stuck.output.starts_with(
        "安装失败，错误代码：11\n安装未能完成，也未能撤销：文件 " +
        (home.Folder() / "ZyvInstall.old" / "dudizu" / "readme.txt").string() + " 无法移动："))
        << stuck.output;
    EXPECT_TRUE(fs::exists(home.Folder() / "ZyvInstall.pending"));
    EXPECT_EQ(ReadFileBytes(home.Folder() / "ZyvInstall.old" / "dudizu" / "readme.txt"), "v1 readme\n");
    EXPECT_FALSE(fs::exists(home.Desktop() / "Kelvora.desktop"));
    EXPECT_FALSE(fs::exists(home.Folder() / kLaunchLog));
    EXPECT_EQ(ReadFileBytes(home.Config()), kUserConfig);
  }
  ASSERT_TRUE(home.Install().Succeeded());
  ExpectInstalled(home, kUserConfig, "after the stuck recovery", Tree{{"mine.txt", kMine}});

  // An earlier installer's record with the user's file in config.ini.bak, whose move back is refused:
  // the record and the backup stay, and nothing is installed over them until it can be made.
  Home legacy;
  Reinstalled(legacy);
  fs::rename(legacy.Config(), legacy.Folder() / "config.ini.bak");
  WriteFileBytes(legacy.Config(), ReadFileBytes(legacy.Folder() / "readme.txt"));  // not the user's
  WriteFileBytes(legacy.Folder() / "ZyvInstall.pending",
                 "ZyvInstall pending installation\nsettings " +
                     SettingsOf(test::ToWString(legacy.Folder() / "config.ini.bak")) + "\n");
  const ChildRun refused = legacy.Install(-1, {}, "rename:config.ini.bak");
  EXPECT_NE(refused.output.find("config.ini.bak 无法移动："), std::string::npos) << refused.output;
  EXPECT_EQ(ReadFileBytes(legacy.Folder() / "config.ini.bak"), kUserConfig);
  EXPECT_TRUE(fs::exists(legacy.Folder() / "ZyvInstall.pending"));
  ASSERT_TRUE(legacy.Install().Succeeded());
  ExpectInstalled(legacy, kUserConfig, "after the refused restore");
}

TEST(TwoInstallers, TheSecondLeavesAloneWhatTheFirstIsInstalling) {
  Home home;
  Reinstalled(home);
  const Tree before = ReadTree(home.Folder(), false, kLaunchLog);
  {
    // While another installer holds the folder, a second one changes nothing and says nothing.
    const FolderLock first(test::ToWString(home.Folder()));
    ASSERT_EQ(first.state(), FolderLock::State::kHeld);
    const ChildRun second = home.Install();
    EXPECT_TRUE(second.Succeeded());
    EXPECT_EQ(second.output, "");
    EXPECT_EQ(Differences(ReadTree(home.Folder(), false, kLaunchLog), before), kSame);
    EXPECT_FALSE(fs::exists(home.Data() / "main.7z"));
  }
  // Started together, as a double-click does: whichever way they meet (one leaves, or one installs
  // after the other), the user's file survives and nothing of either run stays behind.
  for (int round = 0; round < 3; ++round) {
    const pid_t a = home.Start(), b = home.Start();
    const ChildRun ra = home.Wait(a), rb = home.Wait(b);
    EXPECT_TRUE(ra.Succeeded() && rb.Succeeded());
    EXPECT_NE(
        ra.output.find(kCompleted) == std::string::npos && rb.output.find(kCompleted) == std::string::npos,
        true)
        << ra.output << rb.output;
    EXPECT_EQ(ReadFileBytes(home.Config()), kUserConfig) << "round " << round;
    WaitUntilNotRunning(home.Folder() / "ZyvSHelp.exe", true);
  }
  ASSERT_TRUE(home.Install().Succeeded());
  ExpectInstalled(home, kUserConfig, "after the rounds");
}

TEST(NoHome, NothingIsWrittenAtTheRoot) {
  // Without HOME there is no Local Application Data folder: the installer must not fall back to
  // "/", where it would create /dudizu, /main.7z and a shortcut beside them.
  const std::vector<fs::path> root_names = {"/dudizu", "/main.7z", "/Kelvora.desktop"};
  std::vector<bool> there;
  for (const fs::path& p : root_names) there.push_back(fs::exists(fs::symlink_status(p)));
  Home home;
  const ChildRun run = home.Wait(home.Start(-1, {}, {}, false));
  EXPECT_TRUE(run.Succeeded());
  EXPECT_EQ(run.output, "安装失败，错误代码：20\n找不到本地应用程序数据文件夹，未安装任何内容。\n");
  for (std::size_t i = 0; i < root_names.size(); ++i) {
    EXPECT_EQ(fs::exists(fs::symlink_status(root_names[i])), there[i]) << root_names[i];
  }
}

}  // namespace
}  // namespace zyv
