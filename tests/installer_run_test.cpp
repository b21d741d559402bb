// The Linux installer as a user runs it: a child process with its own HOME and data folder, whose
// standard output carries the message the user reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace zyv {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
namespace fs = std::filesystem;

const std::string kCompleted = "安装完成";
const std::string kUserConfig = "[ZeReveza]\nlanguage=en\ninstall=Setup-13.exe\n";

/// The installer running as a child with only the given environment; its standard output is a
/// pipe the test reads.
class Child {
 public:
  /// With held_message, the pipe is full before the child starts: writing its message blocks until
  /// the test reads, as a message box waits until the user closes it.
  Child(const fs::path& program, std::vector<std::string> environment, bool held_message) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    read_end_ = out[0];
    if (held_message) Fill(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
  }
  ~Child() { Finish(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// Reads standard output until every writer has closed it, waits for the child and gives what
  /// it wrote (without the filler); status() is then its wait status.
  std::string Finish() {
    std::string output;
    if (read_end_ >= 0) {
      char buffer[4096];
      for (ssize_t n; (n = read(read_end_, buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
          output.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
          break;
        }
      }
      close(read_end_);
      read_end_ = -1;
    }
    if (pid_ > 0) {
      while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    return output.substr(std::min(filler_, output.size()));
  }
  int status() const { return status_; }

 private:
  void Fill(int write_end) {
    fcntl(write_end, F_SETPIPE_SZ, 4096);
    // Non-blocking only while filling: the child shares this open file and must block.
    const int flags = fcntl(write_end, F_GETFL);
    fcntl(write_end, F_SETFL, flags | O_NONBLOCK);
    const std::string filler(4096, '.');
    for (ssize_t n; (n = write(write_end, filler.data(), filler.size())) > 0;)
      filler_ += static_cast<std::size_t>(n);
    fcntl(write_end, F_SETFL, flags);
  }

  pid_t pid_ = -1;
  int read_end_ = -1;
  int status_ = -1;
  std::size_t filler_ = 0;
};

struct ChildRun {
  int status = -1;
  std::string output;
};

ChildRun RunToEnd(Child& child) {
  std::string output = child.Finish();
  return {child.status(), output};
}

class InstallerRunTest : public ::testing::Test {
 protected:
  InstallerRunTest() {
    fs::create_directories(Home() / ".config");
    // Local Application Data exists before any installation, as on Windows.
    fs::create_directories(DataHome());
  }

  fs::path Home() const { return dir_.path() / "home"; }
  // CJK and a character outside the BMP in the install base.
  fs::path DataHome() const { return Home() / u8"数据 \U0001F600"; }
  fs::path Folder() const { return DataHome() / "dudizu"; }
  fs::path Config() const { return Folder() / "config.ini"; }

  std::vector<std::string> Environment() const {
    return {"HOME=" + Home().string(), "XDG_DATA_HOME=" + DataHome().string(),
            "XDG_CONFIG_HOME=" + (Home() / ".config").string(), "PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8"};
  }

  ChildRun Install(const fs::path& program = ZYV_INSTALLER) const {
    Child child(program, Environment(), false);
    return RunToEnd(child);
  }

  /// The lines of launch.log once it holds at least count of them; the installed program is
  /// started detached, so it may still be on its way.
  std::vector<std::string> LaunchLines(std::size_t count) const {
    std::vector<std::string> lines;
    for (int i = 0; i < 100; ++i) {
      lines.clear();
      std::istringstream log(ReadFileBytes(Folder() / "launch.log"));
      for (std::string line; std::getline(log, line);) lines.push_back(line);
      if (lines.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return lines;
  }

  /// The installer's copy at a new path, as a user would rename it.
  fs::path CopyInstaller(const fs::path& name) const {
    const fs::path copy = dir_.path() / name;
    fs::create_directories(copy.parent_path());
    fs::copy_file(ZYV_INSTALLER, copy);
    fs::permissions(copy, fs::perms::owner_all);
    return copy;
  }

  std::string InstallKey() const {
    std::istringstream config(ReadFileBytes(Config()));
    for (std::string line; std::getline(config, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("install=", 0) == 0) return line.substr(8);
    }
    return "<none>";
  }

  TempDir dir_;
};

TEST_F(InstallerRunTest, FirstRunReportsCompletionThenStartsTheProgram) {
  Child child(ZYV_INSTALLER, Environment(), true);
  // Everything before the message is done once config.ini records the installer; the message then
  // waits to be read, and the program must not have been started meanwhile.
  for (int i = 0; i < 100 && InstallKey() != "ZyvInstall"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(InstallKey(), "ZyvInstall");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(Folder() / "launch.log")) << "the program was started before the message was read";

  const ChildRun run = RunToEnd(child);
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
  // The message comes first; what the started program prints, if it inherited the output, follows.
  EXPECT_EQ(run.output.substr(0, run.output.find('\n')), kCompleted) << run.output;
  EXPECT_EQ(LaunchLines(1), std::vector<std::string>{Folder().string()});
  EXPECT_TRUE(fs::exists(Folder() / "ZyvSHelp.exe"));
  EXPECT_FALSE(fs::exists(DataHome() / "main.7z"));
  EXPECT_FALSE(fs::exists(Folder() / "config.ini.bak"));
}

TEST_F(InstallerRunTest, ARenamedInstallerRecordsItsOwnName) {
  const ChildRun run = Install(CopyInstaller(fs::path(u8"下载") / u8"Setup 安装 v2.exe"));
  EXPECT_EQ(run.output.substr(0, run.output.find('\n')), kCompleted) << run.output;
  EXPECT_EQ(InstallKey(), "Setup 安装 v2.exe");
}

TEST_F(InstallerRunTest, ASecondRunKeepsTheUserSettings) {
  ASSERT_EQ(Install().output.substr(0, kCompleted.size()), kCompleted);
  LaunchLines(1);
  WriteFileBytes(Config(), kUserConfig);

  const ChildRun run = Install(CopyInstaller("Setup.exe"));
  EXPECT_EQ(run.output.substr(0, run.output.find('\n')), kCompleted) << run.output;
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  EXPECT_EQ(LaunchLines(2).size(), 2u);
  EXPECT_FALSE(fs::exists(Folder() / "config.ini.bak"));
}

TEST_F(InstallerRunTest, ADamagedPayloadIsReportedAndTheUserSettingsSurvive) {
  ASSERT_EQ(Install().output.substr(0, kCompleted.size()), kCompleted);
  LaunchLines(1);
  WriteFileBytes(Config(), kUserConfig);

  // The installer with one byte of its embedded archive's packed data changed.
  const fs::path damaged = CopyInstaller("Damaged.exe");
  std::string program = ReadFileBytes(damaged);
  const std::size_t payload = program.find(ReadFileBytes(ZYV_PAYLOAD_ARCHIVE));
  ASSERT_NE(payload, std::string::npos);
  program[payload + 32 + 16] ^= 0x55;
  WriteFileBytes(damaged, program);

  const ChildRun run = Install(damaged);
  const std::string message = run.output.substr(0, run.output.find('\n'));
  EXPECT_TRUE(std::regex_match(message, std::regex("安装失败，错误代码：[1-9][0-9]*"))) << run.output;
  EXPECT_EQ(ReadFileBytes(Config()), kUserConfig);
  EXPECT_FALSE(fs::exists(DataHome() / "main.7z"));
  EXPECT_FALSE(fs::exists(Folder() / "config.ini.bak"));
  // The launch is attempted all the same, and the program from the first run is there.
  EXPECT_EQ(LaunchLines(2).size(), 2u);
}

}  // namespace
}  // namespace zyv
