// The fuzzers' scratch folder, and working inside it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace zyv::fuzz {

/// $ZYV_FUZZ_SCRATCH, else "scratch" in the working folder: made, and answered as an absolute path.
inline std::filesystem::path MakeScratch() {
  const char* dir = std::getenv("ZYV_FUZZ_SCRATCH");
  const std::filesystem::path scratch = std::filesystem::absolute(
      dir != nullptr ? std::filesystem::path(dir) : std::filesystem::path("scratch"));
  std::filesystem::create_directories(scratch);
  return scratch;
}

/// The scratch folder as the working folder for the scope, so that the code under test is handed
/// the same short relative paths on every run, wherever the scratch folder is. A path's length and
/// bytes reach the coverage that libFuzzer keeps inputs by (string growth, the hashing of paths):
/// with absolute paths, a scratch folder of another name kept other inputs from the same seed.
/// (A crash inside the scope leaves its input in the scratch folder unless -artifact_prefix is
/// absolute, as scripts/fuzz and the replay tests give it.)
class InScratch {
 public:
  explicit InScratch(const std::filesystem::path& scratch)
      : back_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (back_ < 0 || chdir(scratch.c_str()) != 0) std::abort();
  }
  ~InScratch() {
    if (fchdir(back_) != 0) std::abort();
    close(back_);
  }
  InScratch(const InScratch&) = delete;
  InScratch& operator=(const InScratch&) = delete;

 private:
  int back_;
};

}  // namespace zyv::fuzz
