#include "platform/path_key.h"

#include <vector>

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

namespace {

bool IsDrive(std::u16string_view path) {
  return path.size() >= 2 && path[1] == u':' &&
         ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
}

bool IsWindowsSeparator(char16_t c) { return IsSeparator(c, PathStyle::kWindows); }

/// The length of path's "\\server\share" (both names, or what there is of them).
std::size_t UncRootLength(std::u16string_view path) {
  std::size_t i = 2;
  for (int names = 0; names < 2; ++names) {
    while (i < path.size() && IsWindowsSeparator(path[i])) ++i;
    while (i < path.size() && !IsWindowsSeparator(path[i])) ++i;
  }
  return i;
}

bool IsAbsoluteWindowsPath(std::u16string_view path) {
  return (IsDrive(path) && path.size() >= 3 && IsWindowsSeparator(path[2])) ||
         (path.size() >= 2 && IsWindowsSeparator(path[0]) && IsWindowsSeparator(path[1]));
}

}  // namespace

std::u16string ExtendedLengthPath(std::u16string_view path, std::u16string_view current) {
  if (path.empty()) return {};
  // Already in that form, a device's, or an NT path: as it stands (the system resolves nothing in
  // them, so "/" there is no separator either).
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\") || path.starts_with(u"\\??\\"))
    return std::u16string(path);
  std::u16string prefix;
  std::u16string_view rest;
  if (IsWindowsSeparator(path[0]) && path.size() >= 2 && IsWindowsSeparator(path[1])) {
    const std::size_t end = UncRootLength(path);
    std::u16string share(path.substr(2, end - 2));
    for (char16_t& c : share) c = IsWindowsSeparator(c) ? u'\\' : c;
    prefix = u"\\\\?\\UNC\\" + share;
    rest = path.substr(end);
  } else if (IsDrive(path) && path.size() >= 3 && IsWindowsSeparator(path[2])) {
    prefix = u"\\\\?\\" + std::u16string(path.substr(0, 2));
    rest = path.substr(2);
  } else if (!IsAbsoluteWindowsPath(current)) {
    return std::u16string(path);
  } else if (IsDrive(path)) {
    // Relative to a drive's current folder: current's where it is on that drive.
    const bool same_drive =
        IsDrive(current) && UpcaseNtfs(current.substr(0, 1)) == UpcaseNtfs(path.substr(0, 1));
    return ExtendedLengthPath((same_drive ? std::u16string(current) : std::u16string(path.substr(0, 2))) +
                                  u'\\' + std::u16string(path.substr(2)),
                              current);
  } else if (IsWindowsSeparator(path[0])) {
    const std::size_t root = IsDrive(current) ? 2 : UncRootLength(current);
    return ExtendedLengthPath(std::u16string(current.substr(0, root)) + std::u16string(path), current);
  } else {
    return ExtendedLengthPath(std::u16string(current) + u'\\' + std::u16string(path), current);
  }
  std::vector<std::u16string_view> names;
  for (std::size_t start = 0; start <= rest.size();) {
    std::size_t end = start;
    while (end < rest.size() && !IsWindowsSeparator(rest[end])) ++end;
    const std::u16string_view name = rest.substr(start, end - start);
    if (name == u"..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != u".") {
      names.push_back(name);
    }
    start = end + 1;
  }
  std::u16string result = prefix;
  for (const std::u16string_view name : names) {
    result += u'\\';
    result += name;
  }
  if (names.empty()) result += u'\\';
  return result;
}

}  // namespace zyv
