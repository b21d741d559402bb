// libFuzzer target for ExtractArchive: the input's bytes become an archive file, which is extracted
// into a scratch destination and removed again. Any input must end in a result code: no crash, no
// leak, no hang (the sanitizers and the fuzzer's limits catch those), and nothing written beside
// the destination, which this target checks after every input.
//
// The scratch folder is $ZYV_FUZZ_SCRATCH, else "scratch" in the working folder; each input is
// handled inside it, with these relative paths (scratch.h says why):
//   in.7z        the input
//   a/b/out/     the destination, two levels down so that a name climbing out lands where the
//                check below sees it
//
// Inputs with the repair flag get their checksums made right first (repair_checksums.h).
#include <7zCrc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "payload/extract.h"
#include "platform/worker_pool.h"
#include "tests/fuzz/repair_checksums.h"
#include "tests/fuzz/scratch.h"

namespace {

namespace fs = std::filesystem;

fs::path g_scratch;

/// Whatever is in the scratch folder (the working folder) besides the input and the destination's
/// folder chain.
bool OnlyInputAndDestination() {
  bool clean = true;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(".", ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const fs::path rel = it->path().lexically_relative(".");
    if (rel == "a/b/out") {
      it.disable_recursion_pending();
    } else if (rel != "in.7z" && rel != "a" && rel != "a/b") {
      std::fprintf(stderr, "extract_fuzzer: written outside the destination: %s\n", rel.c_str());
      clean = false;
    }
  }
  return clean;
}

void RemoveAll(const fs::path& p) {
  std::error_code ec;
  // Extracted modes may deny writing or searching a folder; give them back before removing.
  for (auto it = fs::recursive_directory_iterator(p, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(p, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_scratch = zyv::fuzz::MakeScratch();
  CrcGenerateTable();
  // Files written on this thread, in order: the code an input reaches, and so the inputs a run
  // from a seed keeps, do not depend on how the system schedules writer threads.
  zyv::SetWorkerCountForTesting(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const zyv::fuzz::InScratch inside(g_scratch);
  {
    std::vector<unsigned char> bytes(data, data + size);
    zyv::fuzz::RepairChecksums(bytes);
    std::ofstream out("in.7z", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  zyv::ExtractArchive(u"a/b/out", u"in.7z");
  if (!OnlyInputAndDestination()) std::abort();
  RemoveAll("a");
  std::error_code ec;
  fs::remove("in.7z", ec);
  return 0;
}
