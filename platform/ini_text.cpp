#include "platform/ini_text.h"

#include <cstdint>

#include "platform/text.h"

namespace zyv {
namespace {

template <typename Char>
using Text = std::basic_string<Char>;
template <typename Char>
using View = std::basic_string_view<Char>;

template <typename Char>
bool IsBlank(Char c) {
  return c == Char(' ') || c == Char('\t') || c == Char('\r') || c == Char('\v') || c == Char('\f');
}

template <typename Char>
View<Char> Trim(View<Char> s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

template <typename Char>
Char AsciiLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? Char(c - Char('A') + Char('a')) : c;
}

template <typename Char>
bool EqualsIgnoringCase(View<Char> a, View<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

/// Sets key=value in [section] of text, which starts at offset start (after a byte-order mark).
/// The first matching section and the first matching key in it are the ones the profile reader
/// sees, so they are the ones changed. New lines take the file's own line ending.
template <typename Char>
void SetValue(Text<Char>& text, size_t start, View<Char> section, View<Char> key, View<Char> value) {
  const Char kLf = Char('\n');
  Text<Char> newline(1, kLf);
  if (const size_t lf = text.find(kLf, start);
      lf != Text<Char>::npos && lf > start && text[lf - 1] == Char('\r')) {
    newline.insert(newline.begin(), Char('\r'));
  }
  const auto line_of = [&](View<Char> k, View<Char> v) {
    Text<Char> line(k);
    line += Char('=');
    line += v;
    return line;
  };

  bool in_section = false;
  bool found_section = false;
  size_t insert_at = 0;  // just past the last non-blank line of the section
  for (size_t pos = start; pos < text.size();) {
    const size_t lf = text.find(kLf, pos);
    const size_t end = lf == Text<Char>::npos ? text.size() : lf + 1;
    const View<Char> raw(text.data() + pos, (lf == Text<Char>::npos ? text.size() : lf) - pos);
    const View<Char> line = Trim(raw);
    const size_t line_begin = pos;
    pos = end;
    if (line.empty()) continue;

    if (line.front() == Char('[')) {
      if (const size_t close = line.rfind(Char(']')); close != View<Char>::npos) {
        if (in_section) break;  // the section ended without the key
        in_section = !found_section && EqualsIgnoringCase(Trim(line.substr(1, close - 1)), section);
        if (in_section) {
          found_section = true;
          insert_at = end;
        }
        continue;
      }
    }
    if (!in_section) continue;
    insert_at = end;
    if (line.front() == Char(';')) continue;  // a comment, never a key

    const size_t eq = line.find(Char('='));
    if (!EqualsIgnoringCase(Trim(line.substr(0, eq == View<Char>::npos ? line.size() : eq)), key)) continue;
    const size_t line_offset = line_begin + static_cast<size_t>(line.data() - raw.data());
    if (eq == View<Char>::npos) {
      // A bare name is the key with no value: it becomes name=value where it stands.
      text.replace(line_offset, line.size(), line_of(line, value));
    } else {
      // The value is what the reader would return: from the first to the last non-blank after
      // '='. The name and all spacing around the value stay as the file has them.
      size_t from = eq + 1;
      while (from < line.size() && IsBlank(line[from])) ++from;
      text.replace(line_offset + from, line.size() - from, value);
    }
    return;
  }

  Text<Char> addition;
  if (!found_section) {
    insert_at = text.size();
    addition += Char('[');
    addition += section;
    addition += Char(']');
    addition += newline;
  }
  addition += line_of(key, value) + newline;
  // A last line without its line ending gets one before anything follows it.
  if (insert_at == text.size() && text.size() > start && text.back() != kLf) addition.insert(0, newline);
  text.insert(insert_at, addition);
}

/// Line breaks or NULs would split the line and change other keys; a ']' in a section name or an
/// '=' in a key would be read back as something else; a key starting with ';' is a comment.
bool SafeToWrite(View<char16_t> section, View<char16_t> key, View<char16_t> value) {
  constexpr View<char16_t> kBreaks(u"\r\n\0", 3);
  for (const View<char16_t> s : {section, key, value}) {
    if (s.find_first_of(kBreaks) != View<char16_t>::npos) return false;
  }
  return !section.empty() && section.find(u']') == View<char16_t>::npos && !key.empty() &&
         key.find(u'=') == View<char16_t>::npos && key.front() != u';' && key.front() != u'[';
}

bool IsUtf16Bom(std::string_view bytes, bool& big_endian) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return false;
  big_endian = bytes[0] == '\xFE' && bytes[1] == '\xFF';
  return big_endian || (bytes[0] == '\xFF' && bytes[1] == '\xFE');
}

std::u16string DecodeUtf16(std::string_view bytes, bool big_endian) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const auto a = static_cast<std::uint8_t>(bytes[2 * i]), b = static_cast<std::uint8_t>(bytes[2 * i + 1]);
    text[i] = static_cast<char16_t>(big_endian ? (a << 8) | b : (b << 8) | a);
  }
  return text;
}

std::string EncodeUtf16(std::u16string_view text, bool big_endian) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t c : text) {
    const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
    bytes += big_endian ? hi : lo;
    bytes += big_endian ? lo : hi;
  }
  return bytes;
}

}  // namespace

bool SetIniValue(std::string& bytes, std::u16string_view section, std::u16string_view key,
                 std::u16string_view value, NarrowText narrow) {
  const View<char16_t> section_name = Trim(View<char16_t>(section));
  const View<char16_t> key_name = Trim(View<char16_t>(key));
  if (!SafeToWrite(section_name, key_name, value)) return false;
  // A UTF-16 byte-order mark on an odd number of bytes: edited as bytes, the file would grow to an
  // even length and then read as UTF-16, the new key lost in it. Such a damaged file is refused.
  if (bytes.size() % 2 != 0 && (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF"))) return false;
  bool big_endian = false;
  if (IsUtf16Bom(bytes, big_endian)) {
    std::u16string text = DecodeUtf16(bytes, big_endian);
    SetValue<char16_t>(text, 1, section_name, key_name, value);
    bytes = EncodeUtf16(text, big_endian);
  } else if (std::string_view(bytes).starts_with("\xEF\xBB\xBF")) {
    SetValue<char>(bytes, 3, Utf16ToUtf8(section_name), Utf16ToUtf8(key_name), Utf16ToUtf8(value));
  } else {
    SetValue<char>(bytes, 0, narrow(section_name), narrow(key_name), narrow(value));
  }
  return true;
}

}  // namespace zyv
