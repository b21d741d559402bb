// Whether two paths name one file: a rule of the system that holds the files, decided here once.
// The style is an argument so that the Windows rule runs in tests on every host, and so that the
// release check can judge an archive for Windows wherever it runs.
#pragma once

#include <string>
#include <string_view>

namespace zyv {

enum class PathStyle {
  kPosix,    ///< names are their bytes; only "/" separates them
  kWindows,  ///< NTFS's upper-case table folds names; "/" and "\" both separate them
};

#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::kWindows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::kPosix;
#endif

/// The identity of path under style: two paths name one file exactly when their keys are equal.
/// Windows: every unit upper-cased as NTFS does it, both separators as "/", trailing separators
/// dropped. POSIX: path as it stands, trailing "/" dropped.
std::u16string PathKey(std::u16string_view path, PathStyle style = kNativePathStyle);

/// PathKey(a) == PathKey(b).
bool SamePath(std::u16string_view a, std::u16string_view b, PathStyle style = kNativePathStyle);

/// Whether path is prefix or lies inside it, judged by whole names: "a/b/c" and "a/b" start with
/// "a/b", "a/bc" does not. An empty prefix holds everything.
bool PathStartsWith(std::u16string_view path, std::u16string_view prefix, PathStyle style = kNativePathStyle);

/// The last name of path (after its last separator), the whole of it when it has none.
std::u16string_view LastName(std::u16string_view path, PathStyle style = kNativePathStyle);

/// path in the form Windows' file functions take without a length limit: absolute, "\\?\C:\..." or
/// "\\?\UNC\server\share\...", names separated by "\" alone, "." and ".." resolved (in that form
/// the system resolves nothing, nor trims the dots and spaces that end a name). A relative path is
/// taken from current (an absolute folder: "C:\x" or "\\server\share\x"), a path rooted without a
/// drive from current's drive or share. A path in that form already, or a device's ("\\.\"),
/// stands as it is; one that cannot be made absolute (current is not) too.
std::u16string ExtendedLengthPath(std::u16string_view path, std::u16string_view current);

}  // namespace zyv
