// extract7z DEST ARCHIVE: runs ExtractArchive with an empty keep list and exits with its result.
// extract7z --check ARCHIVE: reads the archive as the installer would and writes nothing; exits 0
// when the installer can install it, else 1 with the reason and the fix on standard error.
// A developer's and release engineer's tool for trying archives against the installer's extractor;
// not installed.
#include <cstdio>

#include "payload/archive_check.h"
#include "payload/extract.h"
#include "platform/text.h"

namespace {

int Run(int argc, const zyv::WString& first, const zyv::WString& second) {
  if (argc == 3 && first == u"--check") {
    const zyv::ArchiveVerdict verdict = zyv::CheckArchive(second);
    const std::string line = zyv::Utf16ToUtf8(second) +
                             (verdict.installable ? ": installable: " : ": refused: ") + verdict.message +
                             "\n";
    std::fputs(line.c_str(), verdict.installable ? stdout : stderr);
    return verdict.installable ? 0 : 1;
  }
  if (argc != 3) {
    std::fputs("usage: extract7z DEST ARCHIVE\n       extract7z --check ARCHIVE\n", stderr);
    return 64;
  }
  return zyv::ExtractArchive(first, second);
}

}  // namespace

#ifdef _WIN32
// Wide arguments, so that paths outside the ANSI code page arrive intact.
int wmain(int argc, wchar_t** argv) {
  auto arg = [&](int i) { return i < argc ? zyv::WString(reinterpret_cast<const char16_t*>(argv[i])) : u""; };
  return Run(argc, arg(1), arg(2));
}
#else
int main(int argc, char** argv) {
  auto arg = [&](int i) { return i < argc ? zyv::Utf8ToUtf16(argv[i]) : u""; };
  return Run(argc, arg(1), arg(2));
}
#endif
