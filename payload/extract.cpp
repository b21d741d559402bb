// Drives the LZMA SDK's 7z reader: open the database, walk its entries in order, write each file
// from the decoded folder that the SDK keeps cached between entries.
#include "payload/extract.h"

#include <7z.h>
#include <7zFile.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string_view>
#include <vector>

#include "payload/archive_file.h"
#include "payload/extract_shared.h"
#include "payload/open_archive.h"

namespace zyv {
namespace {

constexpr UInt32 kNoFolder = 0xFFFFFFFF;

/// The archive file as the look-ahead buffer reads it, telling progress how much of it has been
/// read: every byte read counts once, up to the file's size, so the share only grows (the reader
/// reads the header at the file's end first, then the packed streams from its start). The SDK hands
/// s back as the first argument, so it comes first.
struct CountingStream {
  ISeekInStream s;
  ISeekInStream* file;
  ProgressSink* progress;
  UInt64 size = 0;
  UInt64 read = 0;

  static SRes Read(void* p, void* buf, size_t* size) {
    auto* self = static_cast<CountingStream*>(p);
    const SRes res = self->file->Read(self->file, buf, size);
    if (res == SZ_OK) {
      self->read = std::min(self->size, self->read + *size);
      self->progress->Report(self->read, self->size);
    }
    return res;
  }
  static SRes Seek(void* p, Int64* pos, ESzSeek origin) {
    auto* self = static_cast<CountingStream*>(p);
    return self->file->Seek(self->file, pos, origin);
  }
};

/// What one call opens, allocates and decodes into, released whichever way the call ends.
struct Decoder : ArchiveReader {
  CountingStream counting{};
  UInt16* name = nullptr;  // grows to the longest name met so far
  size_t nameCapacity = 0;

  ~Decoder() { std::free(name); }
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
    const std::u16string_view part(name.data() + start, end - start);
    if (part == u"..") return false;
#ifdef _WIN32
    if (part.find(u':') != std::u16string_view::npos) return false;
    if (part.size() >= 2 && part.find_first_not_of(u". ") == std::u16string_view::npos) return false;
#endif
    start = end + 1;
  }
  return true;
}

/// How many leading units name shares with made (a folder path ending with "/"): each "/" of name
/// before that point ends a folder that made names too.
size_t CommonLength(const WString& made, const WString& name) {
  const size_t n = std::min(made.size(), name.size());
  return static_cast<size_t>(std::mismatch(made.begin(), made.begin() + n, name.begin()).first -
                             made.begin());
}

/// Records path and the system's error (read first, before anything can change it) in failure.
int Fail(int code, const WString& path, ExtractFailure* failure) {
  const int error = LastSystemError();
  if (failure != nullptr) {
    failure->path = path;
    failure->systemError = error;
  }
  return code;
}

/// Writes size bytes to path, replacing it; kExtractOk or kExtractNotWritten.
int WriteOutputFile(const WString& path, const Byte* data, size_t size, ExtractFailure* failure) {
  CSzFile out;
  File_Construct(&out);
  if (!CreateOutputFile(&out, path)) return Fail(kExtractNotWritten, path, failure);
  size_t written = size;
  if (size != 0 && (File_Write(&out, data, &written) != 0 || written != size)) {
    const int code = Fail(kExtractNotWritten, path, failure);
    File_Close(&out);
    return code;
  }
  if (File_Close(&out) != 0) return Fail(kExtractNotWritten, path, failure);
  return kExtractOk;
}

bool KeptByList(const WString& full, const std::vector<WString>& keep) {
  for (const WString& fragment : keep) {
    if (full.find(fragment) != WString::npos) return PathExists(full);
  }
  return false;
}

/// Where the walk stands: the destination (ending with a separator), the keep list, and the
/// folders made for the previous entry as a name ending with "/". An archive lists the files of a
/// folder together, and making a folder that exists is a failing system call: each level of each
/// entry's path would cost one.
struct Walk {
  WString dest;
  const std::vector<WString>& keep;
  WString made;
  ExtractFailure* failure;
};

/// Places one entry (name already checked) under the destination: its parent folders, then the
/// folder itself or the file's size bytes from data and its attributes.
int WriteEntry(Walk& walk, const WString& name, const CSzFileItem& item, const Byte* data, size_t size) {
  // Every parent folder of the entry exists before it is written: those made for the previous
  // entry still do, the others are made here, shortest first.
  const size_t base = walk.dest.size();
  WString full = walk.dest + name;
  const size_t known = CommonLength(walk.made, name);
  for (size_t k = 0; k < name.size(); ++k) {
    if (name[k] == u'/') {
      if (k >= known) MakeDirectory(full.substr(0, base + k));
      full[base + k] = kPathSeparator;
    }
  }
  if (item.IsDir) {
    MakeDirectory(full);
    walk.made = name + u'/';
    return kExtractOk;
  }
  walk.made.assign(name, 0, name.rfind(u'/') + 1);
  if (KeptByList(full, walk.keep)) return kExtractOk;
  if (const int res = WriteOutputFile(full, data, size, walk.failure); res != kExtractOk) return res;
  if (item.AttribDefined) ApplyFileAttributes(full, item.Attrib);
  return kExtractOk;
}

int Extract(WString dest, const WString& archive, const std::vector<WString>& keep, ExtractFailure* failure,
            ProgressSink* progress) {
  if (dest.empty() || dest.back() != kPathSeparator) dest += kPathSeparator;
  CreateDirectoryChain(dest);

  Decoder d;
  if (!OpenArchiveFile(&d.archive.file, archive)) return Fail(kExtractNotOpened, archive, failure);
  if (progress != nullptr) {
    d.counting = {{CountingStream::Read, CountingStream::Seek}, &d.archive.s, progress};
    if (File_GetLength(&d.archive.file, &d.counting.size) != 0) d.counting.size = 0;
  }
  ILookInStream* stream = d.Attach(progress != nullptr ? &d.counting.s : nullptr);
  if (const SRes res = OpenArchiveDatabase(&d.db, stream, d.alloc); res != SZ_OK) return res;

  if (failure != nullptr) {
    failure->unpackedSize = 0;
    for (UInt32 i = 0; i < d.db.db.NumFiles; ++i) failure->unpackedSize += d.db.db.Files[i].Size;
  }
  Walk walk{std::move(dest), keep, {}, failure};
  for (UInt32 i = 0; i < d.db.db.NumFiles; ++i) {
    const CSzFileItem& item = d.db.db.Files[i];
    const size_t units = SzArEx_GetFileNameUtf16(&d.db, i, nullptr);
    if (units > d.nameCapacity) {
      std::free(d.name);
      d.nameCapacity = 0;
      d.name = static_cast<UInt16*>(std::malloc(units * sizeof(UInt16)));
      if (d.name == nullptr) return kExtractOutOfMemory;
      d.nameCapacity = units;
    }
    SzArEx_GetFileNameUtf16(&d.db, i, d.name);
    const WString name(d.name, d.name + (units > 0 ? units - 1 : 0));
    if (!IsSafeEntryName(name)) return kExtractRefused;

    size_t offset = 0;
    size_t size = 0;
    // An entry without data has no folder; asking the SDK for it would drop the cached folder.
    // SzArEx_Extract frees the previous folder's buffer (d.out) when the entry lies in another
    // folder: anything still writing from that buffer (a future pool of writers) must be drained
    // before this call.
    if (!item.IsDir && d.db.FileIndexToFolderIndexMap[i] != kNoFolder) {
      const SRes res = SzArEx_Extract(&d.db, stream, i, &d.block, &d.out, &d.outSize, &offset, &size,
                                      d.alloc.Main(), d.alloc.Temp());
      if (res != SZ_OK) return res;
    }
    if (const int res = WriteEntry(walk, name, item, d.out + offset, size); res != kExtractOk) return res;
  }
  return kExtractOk;
}

}  // namespace

int ExtractArchive(const WString& destination, const WString& archive, std::vector<WString> keep,
                   ExtractFailure* failure, ProgressSink* progress) {
  try {
    return Extract(destination, archive, keep, failure, progress);
  } catch (const std::bad_alloc&) {
    return kExtractOutOfMemory;  // a path string could not be built
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

bool EntryNameIsSafe(const WString& name) { return IsSafeEntryName(name); }

}  // namespace zyv
