// libFuzzer target for WriteIniValue, which edits the user's own settings file. The input is
// "section\0key\0value\0" followed by the file's bytes (missing parts are empty). After the
// write, checked here with a reader written independently of the writer:
//   - refused (false): the file is byte for byte as it was;
//   - written: the key reads back as the value from the first matching section, and every byte
//     outside the value is kept: a key that was there keeps all but its old value; otherwise
//     the new lines are one block inserted into the old bytes.
// The file is config.ini in $ZYV_FUZZ_SCRATCH (else "scratch" in the working folder), reached by
// that relative name from inside the folder (scratch.h says why).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/platform.h"
#include "platform/text.h"
#include "tests/fuzz/scratch.h"

namespace {

namespace fs = std::filesystem;

fs::path g_scratch;
const fs::path kFile = "config.ini";  // in the scratch folder, the working folder while an input runs

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

/// The file's text in code units (bytes, or UTF-16 units after a UTF-16 byte-order mark), where
/// its lines start, and how to turn a value into the same units.
struct Text {
  std::u16string units;
  size_t start = 0;
  bool utf16 = false;
};

Text Decode(const std::string& bytes) {
  Text t;
  t.utf16 = bytes.size() >= 2 && bytes.size() % 2 == 0 &&
            ((bytes[0] == '\xFF' && bytes[1] == '\xFE') || (bytes[0] == '\xFE' && bytes[1] == '\xFF'));
  if (t.utf16) {
    const bool be = bytes[0] == '\xFE';
    for (size_t i = 0; i < bytes.size(); i += 2) {
      const auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
      t.units += static_cast<char16_t>(be ? (a << 8) | b : (b << 8) | a);
    }
    t.start = 1;
  } else {
    for (const char c : bytes) t.units += static_cast<char16_t>(static_cast<unsigned char>(c));
    t.start = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  }
  return t;
}

std::u16string Units(const Text& t, const zyv::WString& s) {
  if (t.utf16) return s;
  std::u16string out;
  for (const char c : zyv::Utf16ToUtf8(s)) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

/// Where the value of key sits in the first section named section: [begin, end) of the units, as
/// the Windows profile reader would return it (trimmed); bare is true for a name without '='.
struct Found {
  size_t begin, end;
  bool bare;
};

std::optional<Found> Find(const Text& t, std::u16string_view section, std::u16string_view key) {
  bool in = false, seen = false;
  for (size_t pos = t.start; pos < t.units.size();) {
    size_t lf = t.units.find(u'\n', pos);
    if (lf == std::u16string::npos) lf = t.units.size();
    std::u16string_view line(t.units.data() + pos, lf - pos);
    pos = lf + 1;
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == u'[' && line.rfind(u']') != std::u16string_view::npos) {
      if (in) return std::nullopt;
      in = !seen && SameIgnoringCase(Trim(line.substr(1, line.rfind(u']') - 1)), section);
      seen = seen || in;
      continue;
    }
    if (!in || line.front() == u';') continue;
    const size_t eq = line.find(u'=');
    if (!SameIgnoringCase(Trim(line.substr(0, eq)), key)) continue;
    const size_t at = static_cast<size_t>(line.data() - t.units.data());
    if (eq == std::u16string_view::npos) return Found{at + line.size(), at + line.size(), true};
    const std::u16string_view value = Trim(line.substr(eq + 1));
    const size_t begin =
        value.empty() ? at + line.size() : static_cast<size_t>(value.data() - t.units.data());
    return Found{begin, begin + value.size(), false};
  }
  return std::nullopt;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "ini_fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_scratch = zyv::fuzz::MakeScratch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  std::string parts[3];
  for (std::string& part : parts) {
    const size_t nul = in.find('\0');
    part = std::string(in.substr(0, nul));
    in.remove_prefix(nul == std::string_view::npos ? in.size() : nul + 1);
  }
  const std::string before(in);
  const zyv::WString section = zyv::Utf8ToUtf16(parts[0]), key = zyv::Utf8ToUtf16(parts[1]);
  // Blanks around the value are not read back by a profile reader: the value is written without.
  const zyv::WString value(Trim(zyv::Utf8ToUtf16(parts[2])));
  bool written = false;
  std::string after;
  {
    const zyv::fuzz::InScratch inside(g_scratch);
    {
      std::ofstream out(kFile, std::ios::binary | std::ios::trunc);
      out.write(before.data(), static_cast<std::streamsize>(before.size()));
    }
    written = zyv::WriteIniValue(section, key, value, u"config.ini");
    after = ReadAll(kFile);
    std::error_code ec;
    fs::remove(kFile, ec);
  }
  if (!written) {
    Check(after == before, "a refused write changed the file");
    return 0;
  }

  const Text old_text = Decode(before), new_text = Decode(after);
  Check(old_text.utf16 == new_text.utf16, "the file's encoding changed");
  const std::u16string want = Units(new_text, value);
  const zyv::WString section_name(Trim(section)), key_name(Trim(key));
  const auto found = Find(new_text, Units(new_text, section_name), Units(new_text, key_name));
  Check(found.has_value(), "the key does not read back");
  const std::u16string& n = new_text.units;
  Check(n.compare(found->begin, found->end - found->begin, want) == 0, "the key reads back another value");

  if (const auto old = Find(old_text, Units(old_text, section_name), Units(old_text, key_name))) {
    // Replaced in place: all but the old value kept (a bare name gains its '=').
    const std::u16string& o = old_text.units;
    Check(n == o.substr(0, old->begin) + (old->bare ? u"=" : u"") + want + o.substr(old->end),
          "bytes outside the value changed");
  } else {
    // Added: the old text is the new one with one block taken out.
    const std::u16string& o = old_text.units;
    Check(n.size() > o.size(), "nothing was added");
    size_t p = 0;
    while (p < o.size() && o[p] == n[p]) ++p;
    size_t s = 0;
    while (s < o.size() - p && o[o.size() - 1 - s] == n[n.size() - 1 - s]) ++s;
    Check(p + s == o.size(), "the added lines changed other bytes");
  }
  return 0;
}
