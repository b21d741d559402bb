// extract7z DEST ARCHIVE: runs ExtractArchive with an empty keep list and exits with its result.
// A developer's tool for trying archives against the installer's extractor; not installed.
#include <cstdio>

#include "payload/extract.h"
#include "platform/text.h"

namespace {

int Run(int argc, const zyv::WString& dest, const zyv::WString& archive) {
  if (argc != 3) {
    std::fputs("usage: extract7z DEST ARCHIVE\n", stderr);
    return 64;
  }
  return zyv::ExtractArchive(dest, archive, {});
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
