#include "platform/path_key.h"

#include "platform/upcase.h"

namespace zyv {
namespace {

bool IsSeparator(char16_t c, PathStyle style) {
  return c == u'/' || (style == PathStyle::kWindows && c == u'\\');
}

}  // namespace

std::u16string PathKey(std::u16string_view path, PathStyle style) {
  std::u16string key = style == PathStyle::kWindows ? UpcaseNtfs(path) : std::u16string(path);
  if (style == PathStyle::kWindows) {
    for (char16_t& c : key) c = c == u'\\' ? u'/' : c;
  }
  while (key.size() > 1 && key.back() == u'/') key.pop_back();
  return key;
}

bool SamePath(std::u16string_view a, std::u16string_view b, PathStyle style) {
  return PathKey(a, style) == PathKey(b, style);
}

bool PathStartsWith(std::u16string_view path, std::u16string_view prefix, PathStyle style) {
  if (prefix.empty()) return true;
  const std::u16string p = PathKey(path, style), q = PathKey(prefix, style);
  return p.starts_with(q) && (p.size() == q.size() || q.back() == u'/' || p[q.size()] == u'/');
}

std::u16string_view LastName(std::u16string_view path, PathStyle style) {
  for (std::size_t i = path.size(); i > 0; --i) {
    if (IsSeparator(path[i - 1], style)) return path.substr(i);
  }
  return path;
}

}  // namespace zyv
