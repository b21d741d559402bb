// Drives the LZMA SDK's 7z reader: open the database, walk its entries in order, write each file
// from the decoded folder that the SDK keeps cached between entries.
#include "payload/extract.h"

#include <7z.h>
#include <7zCrc.h>
#include <7zFile.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>
extern "C" {
#include <7zAlloc.h>  // the one SDK header without its own C linkage block
}

#include "payload/archive_file.h"
#include "payload/extract_shared.h"
#include "payload/header_check.h"

namespace zyv {
namespace {

constexpr UInt32 kNoFolder = 0xFFFFFFFF;

/// No single allocation of the decoder may be larger. The SDK sizes its tables and buffers from
/// counts and sizes the archive declares, unchecked: a few forged bytes would otherwise ask for
/// gigabytes (in the 32-bit build, for most of the address space). A refused allocation is the
/// SDK's SZ_ERROR_MEM (2). The payload's largest folder unpacks to some 9 MB.
constexpr size_t kMaxAllocation = size_t{256} << 20;

/// From this size on a block is a decoded folder or a decoder's stream buffer: written end to end
/// and, for LZMA, read back at random as the dictionary. Such blocks ask for large pages.
constexpr size_t kLargeBlock = size_t{4} << 20;

/// The header check during SzArEx_Open. The reader reads (or decodes) a header into a temporary
/// block and then parses it; at that moment the block is its only live temporary one, and its next
/// allocation is for what it parses. There the bytes are checked first (HeaderIsSound), and an
/// unsound header gets no more memory: the open fails, and Extract reports SZ_ERROR_ARCHIVE.
struct OpenGuard {
  bool opening = false;
  bool refused = false;
  std::vector<std::pair<void*, size_t>> live;  // temporary blocks
  void* checked = nullptr;
} g_guard;

void* Allocate(size_t size, bool zeroed) {
  if (size == 0 || g_guard.refused) return nullptr;
  if (g_guard.opening && g_guard.live.size() == 1 && g_guard.live[0].first != g_guard.checked) {
    const auto [block, bytes] = g_guard.live[0];
    g_guard.checked = block;
    if (!HeaderIsSound(static_cast<const unsigned char*>(block), bytes)) {
      g_guard.refused = true;
      return nullptr;
    }
  }
  if (size > kMaxAllocation) return nullptr;
  void* block = zeroed ? std::calloc(1, size) : std::malloc(size);
  if (block != nullptr && size >= kLargeBlock) PreferLargePages(block, size);
  return block;
}

// The SDK leaves CSzFileItem::AttribDefined unset when an archive stores no attributes at all
// (SzFile_Init skips that field), so the main allocator, which allocates the file table, hands out
// zeroed memory: attributes not stored then read as not defined, rather than as heap garbage.
void* MainAlloc(void*, size_t size) { return Allocate(size, true); }
void MainFree(void*, void* block) { std::free(block); }

void* TempAlloc(void*, size_t size) {
  void* block = Allocate(size, false);
  if (block != nullptr && g_guard.opening) {
    try {
      g_guard.live.emplace_back(block, size);
    } catch (const std::bad_alloc&) {
      std::free(block);
      return nullptr;
    }
  }
  return block;
}
void TempFree(void*, void* block) {
  if (block == nullptr) return;
  for (auto it = g_guard.live.begin(); it != g_guard.live.end(); ++it) {
    if (it->first == block) {
      g_guard.live.erase(it);
      break;
    }
  }
  if (g_guard.checked == block) g_guard.checked = nullptr;
  std::free(block);
}

ISzAlloc g_alloc = {MainAlloc, MainFree};
ISzAlloc g_allocTemp = {TempAlloc, TempFree};

/// SzArEx_Open with the header check around it.
SRes OpenChecked(CSzArEx* db, ILookInStream* stream) {
  g_guard = OpenGuard{};
  g_guard.opening = true;
  SRes res = SzArEx_Open(db, stream, &g_alloc, &g_allocTemp);
  if (res != SZ_OK && g_guard.refused) res = SZ_ERROR_ARCHIVE;
  g_guard = OpenGuard{};
  return res;
}

/// Owns what one call decodes into and closes the archive, whichever way the call ends.
struct Decoder {
  CFileInStream archive;
  CLookToRead look;
  CSzArEx db;
  UInt32 block = kNoFolder;  // the folder held in out, so a solid folder is decoded once
  Byte* out = nullptr;
  size_t outSize = 0;
  UInt16* name = nullptr;  // grows to the longest name met so far
  size_t nameCapacity = 0;

  Decoder() {
    File_Construct(&archive.file);
    SzArEx_Init(&db);
  }
  ~Decoder() {
    IAlloc_Free(&g_alloc, out);
    SzArEx_Free(&db, &g_alloc);
    std::free(name);
    File_Close(&archive.file);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
};

bool IsAnySeparator(char16_t c) { return c == u'/' || c == u'\\'; }

/// True when name, joined to the destination, stays inside it. Both separators count here on
/// every system, so an archive is refused alike everywhere; on Windows a colon (drive, stream)
/// and a component of dots and spaces (which Win32 trims to "..") are refused too.
bool IsSafeEntryName(const WString& name) {
  if (name.empty() || IsAnySeparator(name[0])) return false;
  if (name.size() >= 2 && name[1] == u':' &&
      ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'))) {
    return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsAnySeparator(name[end])) ++end;
    const WString part = name.substr(start, end - start);
    if (part == u"..") return false;
#ifdef _WIN32
    if (part.find(u':') != WString::npos) return false;
    if (part.size() >= 2 && part.find_first_not_of(u". ") == WString::npos) return false;
#endif
    start = end + 1;
  }
  return true;
}

/// How far FileFitsFolder has added up a folder's file sizes.
struct FolderSum {
  UInt32 folder = kNoFolder;
  UInt32 file = 0;  // the last file added
  UInt64 end = 0;   // the sum up to and including it
};

/// The sizes the database gives for the files of folder up to and including file must fit in
/// the folder's decoded size. The SDK adds them without overflow checks, so a forged size would
/// otherwise point the output past the decoded buffer. The walk asks for a folder's files in
/// order, so the sum goes on from the previous file (sum) instead of starting again at the
/// folder's first: a folder of n files costs n additions, not n * n / 2.
bool FileFitsFolder(const CSzArEx& db, UInt32 folder, UInt32 file, FolderSum& sum) {
  UInt32 i = db.FolderStartFileIndex[folder];
  UInt64 end = 0;
  if (sum.folder == folder && sum.file >= i && sum.file < file) {
    i = sum.file + 1;
    end = sum.end;
  }
  for (; i <= file; ++i) {
    const UInt64 size = db.db.Files[i].Size;
    if (size > UINT64_MAX - end) return false;
    end += size;
  }
  sum = {folder, file, end};
  return end <= SzFolder_GetUnpackSize(&db.db.Folders[folder]);
}

/// How many leading units name shares with made (a folder path ending with "/"): each "/" of name
/// before that point ends a folder that made names too.
size_t CommonLength(const WString& made, const WString& name) {
  const size_t n = std::min(made.size(), name.size());
  return static_cast<size_t>(std::mismatch(made.begin(), made.begin() + n, name.begin()).first -
                             made.begin());
}

/// Writes size bytes to path, replacing it; 0 or SZ_ERROR_FAIL.
int WriteOutputFile(const WString& path, const Byte* data, size_t size) {
  CSzFile out;
  File_Construct(&out);
  if (!CreateOutputFile(&out, path)) return SZ_ERROR_FAIL;
  size_t written = size;
  const bool wrote = size == 0 || (File_Write(&out, data, &written) == 0 && written == size);
  const bool closed = File_Close(&out) == 0;
  return wrote && closed ? SZ_OK : SZ_ERROR_FAIL;
}

bool KeptByList(const WString& full, const std::vector<WString>& keep) {
  for (const WString& fragment : keep) {
    if (full.find(fragment) != WString::npos) return PathExists(full);
  }
  return false;
}

int Extract(WString dest, const WString& archive, const std::vector<WString>& keep) {
  if (dest.empty() || dest.back() != kPathSeparator) dest += kPathSeparator;
  CreateDirectoryChain(dest);

  Decoder d;
  if (!OpenArchiveFile(&d.archive.file, archive)) return SZ_ERROR_DATA;
  FileInStream_CreateVTable(&d.archive);
  LookToRead_CreateVTable(&d.look, False);
  d.look.realStream = &d.archive.s;
  LookToRead_Init(&d.look);
  CrcGenerateTable();
  ILookInStream* stream = &d.look.s;
  if (const SRes res = OpenChecked(&d.db, stream); res != SZ_OK) return res;

  // Without the names property there is nothing to place an entry by.
  if (d.db.db.NumFiles > 0 && d.db.FileNameOffsets == nullptr) return SZ_ERROR_ARCHIVE;
  FolderSum sum;
  // The folders the walk has made for the previous entry, as a name ending with "/". An archive
  // lists the files of a folder together, and making a folder that exists is a failing system
  // call: each level of each entry's path would cost one.
  WString made;
  for (UInt32 i = 0; i < d.db.db.NumFiles; ++i) {
    const CSzFileItem& item = d.db.db.Files[i];
    const size_t units = SzArEx_GetFileNameUtf16(&d.db, i, nullptr);
    if (units > d.nameCapacity) {
      std::free(d.name);
      d.nameCapacity = 0;
      d.name = static_cast<UInt16*>(std::malloc(units * sizeof(UInt16)));
      if (d.name == nullptr) return SZ_ERROR_MEM;
      d.nameCapacity = units;
    }
    SzArEx_GetFileNameUtf16(&d.db, i, d.name);
    WString name(d.name, d.name + (units > 0 ? units - 1 : 0));
    if (!IsSafeEntryName(name)) return SZ_ERROR_ARCHIVE;

    size_t offset = 0;
    size_t size = 0;
    // An entry without data has no folder; asking the SDK for it would drop the cached folder.
    const UInt32 folder = d.db.FileIndexToFolderIndexMap[i];
    if (!item.IsDir && folder != kNoFolder) {
      if (!FileFitsFolder(d.db, folder, i, sum)) return SZ_ERROR_ARCHIVE;
      const SRes res = SzArEx_Extract(&d.db, stream, i, &d.block, &d.out, &d.outSize, &offset, &size,
                                      &g_alloc, &g_allocTemp);
      if (res != SZ_OK) return res;
    }

    // Every parent folder of the entry exists before it is written: those made for the previous
    // entry still do, the others are made here, shortest first.
    WString full = dest + name;
    const size_t known = CommonLength(made, name);
    for (size_t k = 0; k < name.size(); ++k) {
      if (name[k] == u'/') {
        if (k >= known) MakeDirectory(full.substr(0, dest.size() + k));
        full[dest.size() + k] = kPathSeparator;
      }
    }
    if (item.IsDir) {
      MakeDirectory(full);
      made = name + u'/';
      continue;
    }
    made.assign(name, 0, name.rfind(u'/') + 1);
    if (KeptByList(full, keep)) continue;
    if (const int res = WriteOutputFile(full, d.out + offset, size); res != SZ_OK) return res;
    if (item.AttribDefined) ApplyFileAttributes(full, item.Attrib);
  }
  return SZ_OK;
}

}  // namespace

int ExtractArchive(const WString& destination, const WString& archive, std::vector<WString> keep) {
  try {
    return Extract(destination, archive, keep);
  } catch (const std::bad_alloc&) {
    return SZ_ERROR_MEM;  // a path string could not be built
  }
}

bool CreateDirectoryChain(const WString& path) {
  if (path.empty()) return false;
  WString copy = path;
  if (copy.back() != kPathSeparator) copy += kPathSeparator;
  bool made = false;
  for (size_t k = 0; k < copy.size(); ++k) {
    if (copy[k] == kPathSeparator) made = MakeDirectory(copy.substr(0, k));
  }
  return made;
}

ISzAlloc* ExtractorAlloc() { return &g_alloc; }
ISzAlloc* ExtractorTempAlloc() { return &g_allocTemp; }
std::size_t ExtractorMaxAllocation() { return kMaxAllocation; }
SRes OpenArchiveDatabase(CSzArEx* db, ILookInStream* stream) { return OpenChecked(db, stream); }
bool EntryNameIsSafe(const WString& name) { return IsSafeEntryName(name); }

}  // namespace zyv
