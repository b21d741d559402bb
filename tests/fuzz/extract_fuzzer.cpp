// libFuzzer target for ExtractArchive: the input's bytes become an archive file, which is extracted
// into a scratch destination and removed again. Any input must end in a result code: no crash, no
// leak, no hang (the sanitizers and the fuzzer's limits catch those), and nothing written beside
// the destination, which this target checks after every input.
//
// The scratch folder is $ZYV_FUZZ_SCRATCH, else "scratch" in the working folder. Inside it:
//   in.7z        the input
//   a/b/out/     the destination, two levels down so that a name climbing out lands where the
//                check below sees it
//
// The reader checks the header's checksums before it parses anything, which would stop almost
// every mutation of the header at the checksum. So an input whose minor version byte (which the
// reader ignores) has its top bit set gets both checksums of its signature header recomputed, and
// the mutations reach the parser; the seeds come in both forms.
#include <7zCrc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "payload/extract.h"

namespace {

namespace fs = std::filesystem;

fs::path g_scratch;

zyv::WString Wide(const fs::path& p) {
  const std::u16string s = p.u16string();
  return zyv::WString(s.begin(), s.end());
}

/// Whatever is in the scratch folder besides the input and the destination's folder chain.
bool OnlyInputAndDestination() {
  bool clean = true;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(g_scratch, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path rel = it->path().lexically_relative(g_scratch);
    if (rel == "a/b/out") {
      it.disable_recursion_pending();
    } else if (rel != "in.7z" && rel != "a" && rel != "a/b") {
      std::fprintf(stderr, "extract_fuzzer: written outside the destination: %s\n", rel.c_str());
      clean = false;
    }
  }
  return clean;
}

void PutLe32(unsigned char* p, UInt32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

UInt64 GetLe64(const unsigned char* p) {
  UInt64 v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

/// With the repair flag set (see above), the next header's and the start header's CRCs made right.
void RepairChecksums(std::vector<unsigned char>& b) {
  static const unsigned char kSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
  if (b.size() < 32 || !std::equal(kSignature, kSignature + 6, b.begin()) || (b[7] & 0x80) == 0) return;
  const UInt64 offset = GetLe64(&b[12]);
  const UInt64 length = GetLe64(&b[20]);
  if (offset <= b.size() - 32 && length <= b.size() - 32 - offset) {
    PutLe32(&b[28], CrcCalc(&b[32 + offset], static_cast<size_t>(length)));
  }
  PutLe32(&b[8], CrcCalc(&b[12], 20));
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
  const char* dir = std::getenv("ZYV_FUZZ_SCRATCH");
  g_scratch = fs::absolute(dir != nullptr ? fs::path(dir) : fs::path("scratch"));
  fs::create_directories(g_scratch);
  CrcGenerateTable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  const fs::path archive = g_scratch / "in.7z";
  {
    std::vector<unsigned char> bytes(data, data + size);
    RepairChecksums(bytes);
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  zyv::ExtractArchive(Wide(g_scratch / "a" / "b" / "out"), Wide(archive), {});
  if (!OnlyInputAndDestination()) std::abort();
  RemoveAll(g_scratch / "a");
  std::error_code ec;
  fs::remove(archive, ec);
  return 0;
}
