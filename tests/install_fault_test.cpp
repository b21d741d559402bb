// The Linux installer stopped dead at every point where it changes something on disk (the
// fault_injector preload numbers them and sends SIGKILL before the chosen one), then run again to
// the end: as it stands, with a stray main.7z beside it, with its move of the user's file aside
// refused, and with its staging file impossible to delete. Whatever the point, the user's config.ini
// is never lost (at the moment of the stop it is config.ini or config.ini.bak, byte for byte), and
// after the complete run it is config.ini again, nothing of the run remains and the installed tree is
// the payload's. Also a disk that fills up in the middle of the extraction (a product file linked to
// /dev/full), two installers started at once, and a user without a home folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

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

/// How the stopped run finds the install folder, and what the system refuses it.
struct Scenario {
  const char* name;
  bool reinstall;
  bool stray_staging = false;  // a main.7z that no run of this installer left
  const char* refuse = "";     // ZYV_FAULT_REFUSE for the stopped run
};

// Test names and failure messages show a scenario by its name.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

void Prepare(const Home& home, const Scenario& scenario) {
  if (scenario.reinstall) Reinstalled(home);
  if (scenario.stray_staging) WriteFileBytes(home.Data() / "main.7z", "not an archive of ours");
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
/// shortcut, and nothing else in the data folder.
void ExpectInstalled(const Home& home, const std::string& config, const std::string& context) {
  Tree want = Clean().folder;
  if (!config.empty()) want["config.ini"] = config;
  EXPECT_EQ(Differences(ReadTree(home.Folder(), false, kLaunchLog), want), kSame) << context;
  // The shortcut names this home's program, so only its presence and target are compared.
  const std::string shortcut = ReadFileBytes(home.Desktop() / "Kelvora.desktop");
  EXPECT_NE(shortcut.find((home.Folder() / "ZyvSHelp.exe").string()), std::string::npos) << context;
  EXPECT_EQ(ReadTree(home.Desktop()).size(), Clean().desktop.size()) << context;
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(home.Data())) {
    if (e.path().filename() != "dudizu") beside.push_back(e.path().filename().string());
  }
  EXPECT_EQ(beside, std::vector<std::string>{}) << context;  // no main.7z
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
    const ChildRun stopped = home.Install(static_cast<long>(k), {}, scenario.refuse);
    ASSERT_TRUE(stopped.Killed()) << context << "\n" << stopped.output;
    if (scenario.reinstall) {
      // At the moment of the stop, the user's file is in one of its two places.
      EXPECT_TRUE(ReadFileBytes(home.Config()) == kUserConfig ||
                  ReadFileBytes(home.Folder() / "config.ini.bak") == kUserConfig)
          << context;
    }
    WaitUntilNotRunning(home.Folder() / "ZyvSHelp.exe", stopped.output.find(kCompleted) != std::string::npos);
    const ChildRun complete = home.Install();
    EXPECT_TRUE(complete.Succeeded()) << context;
    EXPECT_NE(complete.output.find(kCompleted), std::string::npos) << context << "\n" << complete.output;
    ExpectInstalled(home, scenario.reinstall ? kUserConfig : "", context);
    if (HasFailure()) break;  // one point's story is enough to read
  }
}

INSTANTIATE_TEST_SUITE_P(
    Install, InterruptedInstallation,
    testing::Values(Scenario{"FirstInstallation", false}, Scenario{"Reinstallation", true},
                    Scenario{"ReinstallationBesideAStrayStagingFile", true, true},
                    Scenario{"ReinstallationWhoseMoveAsideIsRefused", true, false,
                             "rename:dudizu/config.ini"},
                    Scenario{"ReinstallationWhoseStagingFileStays", true, false, "unlink:main.7z"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FullDisk, AFailedWriteMidExtractionKeepsTheUserFileAndTheNextRunCompletes) {
  Home home;
  Reinstalled(home);
  // The disk is full for this one file: the extraction stops there, with the user's file aside.
  fs::remove(home.Folder() / "readme.txt");
  fs::create_symlink("/dev/full", home.Folder() / "readme.txt");
  const ChildRun failed = home.Install();
  EXPECT_TRUE(failed.Succeeded());
  // The room needed is the payload's unpacked size, whole megabytes rounded up (at least 1).
  const std::string needed = "安装失败，错误代码：11\n磁盘空间不足：安装需要约 ";
  EXPECT_TRUE(failed.output.starts_with(needed)) << failed.output;
  EXPECT_GE(std::atoi(failed.output.c_str() + std::min(needed.size(), failed.output.size())), 1)
      << failed.output;
  // The program it starts afterwards may print to the same output before the installer has ended.
  EXPECT_NE(failed.output.find(" MB。请腾出空间后重试。\n"), std::string::npos) << failed.output;
  EXPECT_NE(failed.output.find(" MB，可用 "), std::string::npos) << failed.output;
  EXPECT_EQ(ReadFileBytes(home.Config()), kUserConfig);
  EXPECT_FALSE(fs::exists(home.Folder() / "config.ini.bak"));
  EXPECT_FALSE(fs::exists(home.Data() / "main.7z"));

  fs::remove(home.Folder() / "readme.txt");
  const ChildRun complete = home.Install();
  EXPECT_NE(complete.output.find(kCompleted), std::string::npos) << complete.output;
  ExpectInstalled(home, kUserConfig, "after the disk had room again");
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
  };
  for (const Case& c : cases) {
    Home home;
    Reinstalled(home);
    const ChildRun failed = home.Install(-1, {}, c.refuse);
    const std::string file = *c.file == '\0' ? "" : "文件 " + (home.Data() / c.file).string();
    EXPECT_TRUE(
        failed.output.starts_with("安装失败，错误代码：" + std::string(c.code) + "\n" + file + c.reason))
        << c.refuse << "\n"
        << failed.output;
    EXPECT_EQ(ReadFileBytes(home.Config()), kUserConfig) << c.refuse;
  }
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
