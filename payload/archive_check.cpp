// The release check of a product archive: the extractor's reader, every folder decoded into
// memory, names and layout checked against what the installer and Windows need.
#include "payload/archive_check.h"

#include <7z.h>
#include <7zCrc.h>
#include <7zFile.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "payload/archive_file.h"
#include "payload/block_decoder.h"
#include "payload/extract_shared.h"
#include "payload/open_archive.h"
#include "platform/path_key.h"
#include "platform/text.h"

namespace zyv {
namespace {

using namespace std::string_literals;

constexpr char16_t kProgram[] = u"dudizu/ZyvSHelp.exe";
constexpr char16_t kSettings[] = u"dudizu/config.ini";
constexpr std::string_view kSection = "ZeReveza";
constexpr UInt64 kAes = 0x06F10701;

constexpr char kCoderFix[] =
    "pack with 7zz a -t7z -m0=LZMA2 (or -m0=LZMA), and for programs at most one of -mf=BCJ2, -mf=BCJ or "
    "-mf=ARM (-mf=off for none)";

struct Method {
  UInt64 id;
  const char* name;
  bool filter;
};

/// The coders 7-Zip writes, by name, for the messages. Which of them the reader decodes (copy, LZMA,
/// LZMA2, BCJ, ARM and BCJ2, in the arrangements 7-Zip writes) is the reader's to say: it answers
/// SZ_ERROR_UNSUPPORTED for a folder it cannot decode before it reads any of its data.
constexpr Method kMethods[] = {
    {0x00, "Copy", false},      {0x21, "LZMA2", false},       {0x030101, "LZMA", false},
    {0x03030103, "BCJ", true},  {0x03030501, "ARM", true},    {0x0303011B, "BCJ2", true},
    {0x030401, "PPMd", false},  {0x040108, "Deflate", false}, {0x040109, "Deflate64", false},
    {0x040202, "BZip2", false}, {0x03, "Delta", true},        {0x04, "x86", true},
    {0x05, "PPC", true},        {0x06, "IA64", true},         {0x07, "ARM", true},
    {0x08, "ARMT", true},       {0x09, "SPARC", true},        {0x0A, "ARM64", true},
    {0x0B, "RISCV", true},      {0x03030205, "PPC", true},    {0x03030401, "IA64", true},
    {0x03030701, "ARMT", true}, {0x03030805, "SPARC", true},  {kAes, "7zAES", false},
};

std::string MethodName(UInt64 id) {
  for (const Method& m : kMethods) {
    if (m.id == id) return m.name;
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(id));
  return std::string("an unknown method ") + text;
}

std::string Quote(const WString& name) {
  std::string quoted = "\"";
  quoted += Utf16ToUtf8(name);
  quoted += '"';
  return quoted;
}

ArchiveVerdict Refuse(std::string message) { return {false, std::move(message)}; }

/// The refusal of a folder the reader could not decode (where: which one), by its coders.
ArchiveVerdict RefuseCoders(const std::vector<UInt64>& ids, bool header, const std::string& where) {
  if (std::find(ids.begin(), ids.end(), kAes) != ids.end()) {
    return Refuse(std::string("the archive is encrypted") + (header ? ", its list of files too" : "") +
                  ": the installer has no password; pack it without -p and -mhe");
  }
  std::string names;
  for (const UInt64 id : ids) {
    bool filter = false;
    for (const Method& m : kMethods) filter = filter || (m.id == id && m.filter);
    names += (names.empty() ? "" : " + ") + MethodName(id) + (filter ? " (a filter)" : "");
  }
  return Refuse(std::string(header ? "the archive's list of files" : "a folder") + where +
                " is packed with " + names + ", which the installer cannot decode: " + kCoderFix);
}

/// 7z's variable-length number at p, advancing p; false past end.
bool ReadNumber(const Byte*& p, const Byte* end, UInt64& value) {
  if (p >= end) return false;
  const Byte first = *p++;
  Byte mask = 0x80;
  value = 0;
  for (int i = 0; i < 8; ++i) {
    if ((first & mask) == 0) {
      value |= UInt64(first & (mask - 1)) << (8 * i);
      return true;
    }
    if (p >= end) return false;
    value |= UInt64(*p++) << (8 * i);
    mask >>= 1;
  }
  return true;
}

/// The coders of the first folder of an encoded header (the streams info after kEncodedHeader),
/// read only to name why the reader could not open it; empty when the bytes are not that.
std::vector<UInt64> EncodedHeaderCoders(const std::vector<Byte>& header) {
  const Byte* p = header.data();
  const Byte* end = p + header.size();
  UInt64 v = 0;
  UInt64 packStreams = 0;
  if (p == end || *p++ != k7zIdEncodedHeader || p == end || *p++ != k7zIdPackInfo) return {};
  if (!ReadNumber(p, end, v) || !ReadNumber(p, end, packStreams) || packStreams > 64) return {};
  for (UInt64 id = 0; ReadNumber(p, end, id) && id != k7zIdEnd;) {
    if (id != k7zIdSize) return {};  // packed-stream checksums: 7-Zip writes none here
    for (UInt64 i = 0; i < packStreams; ++i) {
      if (!ReadNumber(p, end, v)) return {};
    }
  }
  if (end - p < 3 || *p++ != k7zIdUnpackInfo || *p++ != k7zIdFolder) return {};
  if (!ReadNumber(p, end, v) || v == 0 || p == end || *p++ != 0) return {};
  UInt64 coders = 0;
  if (!ReadNumber(p, end, coders) || coders > 64) return {};
  std::vector<UInt64> ids;
  for (UInt64 c = 0; c < coders; ++c) {
    if (p == end) return {};
    const Byte flags = *p++;
    const int size = flags & 0x0F;
    if (size > 8 || end - p < size) return {};
    UInt64 id = 0;
    for (int i = 0; i < size; ++i) id = (id << 8) | *p++;
    ids.push_back(id);
    if ((flags & 0x10) != 0 && (!ReadNumber(p, end, v) || !ReadNumber(p, end, v))) return {};
    if ((flags & 0x20) != 0) {
      if (!ReadNumber(p, end, v) || UInt64(end - p) < v) return {};
      p += v;
    }
  }
  return ids;
}

/// The header bytes the start header points at; empty when they cannot be read.
std::vector<Byte> NextHeader(CSzFile* file) {
  Byte start[k7zStartHeaderSize];
  size_t size = sizeof start;
  Int64 pos = 0;
  if (File_Seek(file, &pos, SZ_SEEK_SET) != 0 || File_Read(file, start, &size) != 0 || size != sizeof start) {
    return {};
  }
  UInt64 offset = 0;
  UInt64 length = 0;
  for (int i = 7; i >= 0; --i) {
    offset = (offset << 8) | start[12 + i];
    length = (length << 8) | start[20 + i];
  }
  if (length == 0 || length > (1 << 16) || offset > (UInt64(1) << 40)) return {};
  std::vector<Byte> header(static_cast<size_t>(length));
  pos = static_cast<Int64>(k7zStartHeaderSize + offset);
  size = header.size();
  if (File_Seek(file, &pos, SZ_SEEK_SET) != 0 || File_Read(file, header.data(), &size) != 0 ||
      size != header.size()) {
    return {};
  }
  return header;
}

ArchiveVerdict RefuseOpen(SRes res, CSzFile* file) {
  switch (res) {
    case SZ_ERROR_NO_ARCHIVE:
      return Refuse("this is not a 7z archive: pack the product with 7zz a -t7z");
    case SZ_ERROR_UNSUPPORTED:
      // The reader has let go of the header's coders: read once more, only to name them.
      if (const std::vector<UInt64> ids = EncodedHeaderCoders(NextHeader(file)); !ids.empty()) {
        return RefuseCoders(ids, true, "");
      }
      return Refuse(
          "the archive's list of files is packed in a way the installer cannot decode: pack with 7zz "
          "a -t7z, which packs it with LZMA");
    case SZ_ERROR_INPUT_EOF:
      return Refuse("the archive is cut short (code 6): copy it again whole");
    case SZ_ERROR_CRC:
      return Refuse(
          "the archive's list of files fails its checksum (code 3): the archive is damaged, pack it again");
    case SZ_ERROR_MEM:
      return Refuse(
          "the archive's list of files asks for more memory than the installer allows (code 2): it is "
          "damaged or forged, pack it again with 7zz");
    default:
      return Refuse("the archive's headers are not ones 7-Zip writes (code "s + std::to_string(res) +
                    "): it is damaged or forged, pack it again with 7zz a -t7z");
  }
}

bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

char16_t FoldCase(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

/// Why Windows cannot hold name as a path under the install folder; empty when it can. The
/// product runs on Windows, so these hold on every system the check runs on.
std::string WindowsNameProblem(const WString& name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    const WString part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty()) return "it has an empty path component";
    for (char16_t c : part) {
      if (c < 0x20 || WString(u"<>:\"|?*").find(c) != WString::npos) {
        return "it holds a character Windows does not allow in file names";
      }
    }
    if (part.back() == u'.' || part.back() == u' ') return "a component ends with a dot or a space";
    WString stem = part.substr(0, part.find(u'.'));
    for (char16_t& c : stem) c = FoldCase(c);
    static const WString kDevices[] = {u"con", u"prn", u"aux", u"nul"};
    bool device = std::find(std::begin(kDevices), std::end(kDevices), stem) != std::end(kDevices);
    device = device || (stem.size() == 4 && (stem.starts_with(u"com") || stem.starts_with(u"lpt")) &&
                        stem[3] >= u'1' && stem[3] <= u'9');
    if (device) return "a component is a Windows device name";
  }
  return {};
}

/// Whether settings (a config.ini's bytes: UTF-8, or UTF-16LE after its mark) hold [section]
/// as the installer's settings reader finds sections: trimmed, letters in any case.
bool HasSection(const Byte* data, size_t size) {
  std::string text;
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    std::u16string wide;
    for (size_t i = 2; i + 1 < size; i += 2) wide += char16_t(data[i] | (data[i + 1] << 8));
    text = Utf16ToUtf8(wide);
  } else {
    text.assign(reinterpret_cast<const char*>(data), size);
  }
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
  const auto trim = [&](std::string_view s) {
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
  };
  std::string_view rest(text);
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    std::string_view line = trim(rest.substr(0, lf));
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    const size_t close = line.rfind(']');
    if (line.empty() || line.front() != '[' || close == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(1, close - 1));
    if (name.size() == kSection.size() &&
        std::equal(name.begin(), name.end(), kSection.begin(),
                   [](char a, char b) { return FoldCase(char16_t(a)) == FoldCase(char16_t(b)); })) {
      return true;
    }
  }
  return false;
}

WString EntryName(const CSzArEx& db, UInt32 i) {
  std::vector<UInt16> units(SzArEx_GetFileNameUtf16(&db, i, nullptr));
  SzArEx_GetFileNameUtf16(&db, i, units.data());
  return WString(units.begin(), units.end() - (units.empty() ? 0 : 1));
}

/// The archive file as the check's decoder reads it, one block at a time.
struct CheckSource final : PackSource {
  explicit CheckSource(CSzFile* f) : file(f) {}
  SRes ReadAt(std::uint64_t offset, Byte* buffer, std::size_t& size) override {
    Int64 pos = static_cast<Int64>(offset);
    if (offset > UInt64{INT64_MAX} || File_Seek(file, &pos, SZ_SEEK_SET) != 0) return SZ_ERROR_READ;
    return File_Read(file, buffer, &size) == 0 ? SZ_OK : SZ_ERROR_READ;
  }
  CSzFile* file;
};

std::string Mib(UInt64 bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

ArchiveVerdict Check(const WString& path) {
  ArchiveReader r;
  if (!OpenArchiveFile(&r.archive.file, path)) return Refuse("the archive cannot be opened");
  CrcGenerateTable();
  ILookInStream* stream = r.Attach();
  if (const SRes res = OpenArchiveDatabase(&r.db, stream, r.alloc); res != SZ_OK)
    return RefuseOpen(res, &r.archive.file);
  const CSzAr& ar = r.db.db;

  // Coders and dictionaries first: a block the installer could not decode is refused before any
  // decoding. Its size does not matter: blocks are streamed into their files.
  UInt64 largest = 0;
  // Without files (the header had no files section) there is no block to decode: the product's
  // layout refuses such an archive below.
  const UInt32 blocks = ar.NumFiles != 0 ? ar.NumFolders : 0;
  for (UInt32 f = 0; f < blocks; ++f) {
    const std::string where =
        " (starting with "s + Quote(EntryName(r.db, r.db.FolderStartFileIndex[f])) + ")";
    BlockNeed need;
    const SRes res = CheckBlock(r.db, f, need);
    if (res != SZ_OK && !DecodesCoders(ar.Folders[f])) {
      const CSzFolder& folder = ar.Folders[f];
      std::vector<UInt64> ids;
      for (UInt32 c = 0; c < folder.NumCoders; ++c) ids.push_back(folder.Coders[c].MethodID);
      return RefuseCoders(ids, false, where);
    }
    if (res != SZ_OK) {
      return Refuse("a solid block"s + where + " has coder properties 7-Zip does not write (code " +
                    std::to_string(res) + "): it is damaged or forged, pack it again");
    }
    // The installer decodes a block whose dictionaries add up to more than its budget alone; what
    // it cannot allocate is a single dictionary larger than kMaxAllocation.
    if (need.largest > kMaxAllocation) {
      return Refuse("a solid block"s + where + " needs a dictionary of " + Mib(need.largest) +
                    ", more than the " + Mib(kMaxAllocation) +
                    " the installer allocates at once: pack with a smaller dictionary (7zz -md=" +
                    std::to_string(kMaxAllocation >> 20) + "m)");
    }
    largest = std::max<UInt64>(largest, need.dictionaries);
  }
  // The database's file sizes must fit in their folders: the reader trusts them when it hands
  // out a file's place in the decoded folder.
  std::vector<UInt64> used(ar.NumFolders, 0);
  for (UInt32 i = 0; i < ar.NumFiles; ++i) {
    const UInt32 f = r.db.FileIndexToFolderIndexMap[i];
    if (ar.Files[i].IsDir || f == 0xFFFFFFFF) continue;
    const UInt64 size = ar.Files[i].Size;
    const UInt64 room = SzFolder_GetUnpackSize(const_cast<CSzFolder*>(&ar.Folders[f]));
    if (size > room || used[f] > room - size) {
      return Refuse("the file sizes in the archive's list exceed their folders: it is damaged or forged");
    }
    used[f] += size;
  }

  // Names: each one the extractor accepts and Windows can hold, no two on one path, no file where
  // another entry needs a folder.
  std::map<WString, UInt32> seen;  // path key -> entry
  bool hasProgram = false;
  UInt32 settings = 0xFFFFFFFF;
  for (UInt32 i = 0; i < ar.NumFiles; ++i) {
    const WString name = EntryName(r.db, i);
    std::string problem = !EntryNameIsSafe(name) ? "it would land outside the install folder"
                          : !PathStartsWith(name, u"dudizu", PathStyle::kWindows)
                              ? "it lies outside the product folder dudizu, where the installer puts nothing"
                              : WindowsNameProblem(name);
    if (!problem.empty()) {
      return Refuse("the entry "s + Quote(name) + " is unsafe: " + problem +
                    "; rename it in the product folder and pack again");
    }
    const WString key = PathKey(name, PathStyle::kWindows);
    if (const auto [it, added] = seen.emplace(key, i); !added) {
      return Refuse("the entries "s + Quote(EntryName(r.db, it->second)) + " and " + Quote(name) +
                    " are one path on Windows, so one would overwrite the other: keep one of them");
    }
    if (!ar.Files[i].IsDir && name == kProgram) hasProgram = true;
    if (!ar.Files[i].IsDir && name == kSettings) settings = i;
  }
  for (const auto& [key, i] : seen) {
    for (size_t k = key.find(u'/'); k != WString::npos; k = key.find(u'/', k + 1)) {
      if (const auto it = seen.find(key.substr(0, k)); it != seen.end() && !ar.Files[it->second].IsDir) {
        return Refuse("the entry "s + Quote(EntryName(r.db, it->second)) + " is a file, but " +
                      Quote(EntryName(r.db, i)) + " needs it as a folder: rename one of them");
      }
    }
  }
  if (!hasProgram) {
    return Refuse(
        "the archive has no dudizu/ZyvSHelp.exe, the program the installer starts: pack the product "
        "folder dudizu (with that file) at the archive's top level");
  }
  if (settings == 0xFFFFFFFF) {
    return Refuse(
        "the archive has no dudizu/config.ini, the settings the installer keeps: add it, with a "
        "[ZeReveza] section");
  }

  // Every block decoded as the installer decodes it, streamed, every file's checksum verified.
  bool sectionFound = false;
  CheckSource source(&r.archive.file);
  std::vector<Byte> buffer(1 << 20);
  std::string settingsBytes;
  for (UInt32 f = 0; f < blocks; ++f) {
    BlockDecoder decoder;
    SRes res = decoder.Init(r.db, f, source, r.alloc.Decoders());
    UInt32 i = r.db.FolderStartFileIndex[f];
    for (; res == SZ_OK && i < ar.NumFiles; ++i) {
      if (r.db.FileIndexToFolderIndexMap[i] != f) {
        if (ar.Files[i].IsDir || r.db.FileIndexToFolderIndexMap[i] == 0xFFFFFFFF) continue;
        break;
      }
      UInt32 sum = CRC_INIT_VAL;
      for (UInt64 left = ar.Files[i].Size; res == SZ_OK && left > 0;) {
        size_t got = 0;
        res = decoder.Read(buffer.data(), static_cast<size_t>(std::min<UInt64>(left, buffer.size())), got);
        if (res == SZ_OK && got == 0) res = SZ_ERROR_DATA;
        sum = CrcUpdate(sum, buffer.data(), got);
        if (i == settings) settingsBytes.append(reinterpret_cast<const char*>(buffer.data()), got);
        left -= got;
      }
      if (res == SZ_OK && ar.Files[i].CrcDefined && CRC_GET_DIGEST(sum) != ar.Files[i].Crc)
        res = SZ_ERROR_CRC;
      if (res != SZ_OK) break;
    }
    if (res == SZ_OK) continue;
    if (i >= ar.NumFiles || r.db.FileIndexToFolderIndexMap[i] != f) i = r.db.FolderStartFileIndex[f];
    const std::string where = " at "s + Quote(EntryName(r.db, i)) + " (code " + std::to_string(res) + ")";
    switch (res) {
      case SZ_ERROR_CRC:
        return Refuse("a checksum does not match"s + where + ": the archive is damaged, pack it again");
      case SZ_ERROR_MEM:
        return Refuse("the decoder needs more memory than the installer allows"s + where +
                      ": pack with a smaller dictionary (7zz -md=" + std::to_string(kMaxAllocation >> 20) +
                      "m)");
      case SZ_ERROR_INPUT_EOF:
        return Refuse("the archive is cut short"s + where + ": copy it again whole");
      default:
        return Refuse("the archive cannot be decoded"s + where + ": it is damaged, pack it again");
    }
  }
  sectionFound = HasSection(reinterpret_cast<const Byte*>(settingsBytes.data()), settingsBytes.size());
  if (!sectionFound) {
    return Refuse(
        "dudizu/config.ini has no [ZeReveza] section, where the installer keeps the user's settings: "
        "add the line [ZeReveza] to it");
  }
  return {true, std::to_string(ar.NumFiles) + " entries and " + std::to_string(ar.NumFolders) +
                    " solid blocks decoded and checked; the largest needs " + Mib(largest) +
                    " of dictionaries (the installer decodes blocks side by side within " +
                    Mib(kDictionaryBudget) + ")"};
}

}  // namespace

ArchiveVerdict CheckArchive(const WString& archive) {
  try {
    return Check(archive);
  } catch (const std::bad_alloc&) {
    return Refuse("the check ran out of memory: the archive's list of files is too large");
  }
}

}  // namespace zyv
