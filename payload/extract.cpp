// Drives the LZMA SDK's 7z reader: open the database, walk its entries in order, write each file
// from the decoded folder that the SDK keeps cached between entries.
#include "payload/extract.h"

#include <7z.h>
#include <7zFile.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "payload/archive_file.h"
#include "payload/extract_shared.h"
#include "payload/open_archive.h"
#include "platform/upcase.h"
#include "platform/worker_pool.h"

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

/// Writes size bytes to path, replacing it, and closes it. False on failure, with the system's
/// reason (read at once after the failing call) in error.
bool WriteOutputFile(const WString& path, const Byte* data, size_t size, int& error) {
  CSzFile out;
  File_Construct(&out);
  if (!CreateOutputFile(&out, path)) {
    error = LastSystemError();
    return false;
  }
  size_t written = size;
  if (size != 0 && (File_Write(&out, data, &written) != 0 || written != size)) {
    error = LastSystemError();
    File_Close(&out);
    return false;
  }
  if (File_Close(&out) != 0) {
    error = LastSystemError();
    return false;
  }
  return true;
}

bool KeptByList(const WString& full, const std::vector<WString>& keep) {
  for (const WString& fragment : keep) {
    if (full.find(fragment) != WString::npos) return PathExists(full);
  }
  return false;
}

constexpr UInt32 kNoEntry = 0xFFFFFFFF;

/// While a decoded folder's files are still being written, the next folder may be decoded beside
/// it as long as both, with every earlier folder still being written, fit in the largest folder
/// plus this much; the rest of the 64 MiB beyond the largest folder is left to the decoder's own
/// buffers and the program.
constexpr UInt64 kOverlapAllowance = UInt64{56} << 20;

/// A write starts only while fewer than this many writes queued before it are unfinished: a write
/// that fails (or is slow to) cannot be overtaken by more, so at most kWriteAhead - 1 files after a
/// failing one are written, whatever the number of workers and however the system schedules them.
constexpr UInt64 kWriteAhead = 16;

/// The files of the walk, written and closed by the worker pool in the order the archive lists
/// them, and the first failure in that order, wherever it happened. A decoded folder is shared by
/// the writes from it: the reader lets go of it when it decodes the next folder, and the last write
/// frees it. Once a failure is recorded no write of an entry after it starts; those already started
/// (at most kWriteAhead - 1) finish.
class Writers {
 public:
  Writers(ArchiveReader& reader, UInt64 largestFolder)
      : reader_(reader), room_(largestFolder + kOverlapAllowance) {}
  ~Writers() {
    pool_.Wait();  // before current_ and the reader's buffer can go
    if (current_ != nullptr && current_.get() == reader_.out) {
      reader_.out = nullptr;  // current_ owns it
      reader_.outSize = 0;
    }
  }
  Writers(const Writers&) = delete;
  Writers& operator=(const Writers&) = delete;

  /// True once some entry has failed: nothing after it is to be placed.
  bool Failed() const { return failedAt_.load(std::memory_order_acquire) != kNoEntry; }

  /// Records code for entry index when no earlier entry has failed; path and the system's error
  /// with it when cause is given.
  void Record(UInt32 index, int code, const WString* cause = nullptr, int systemError = 0) {
    const std::lock_guard lock(mutex_);
    if (index >= failedAt_.load(std::memory_order_relaxed)) return;
    code_ = code;
    hasCause_ = cause != nullptr;
    systemError_ = systemError;
    try {
      path_ = cause != nullptr ? *cause : WString();
    } catch (const std::bad_alloc&) {
      path_.clear();  // the code and the error still say what happened
    }
    failedAt_.store(index, std::memory_order_release);
  }

  /// Before the reader decodes folder (of size bytes): the folder it holds passes to the writes
  /// still to come from it, and this waits until the new one fits beside those still held.
  void BeforeDecoding(UInt32 folder, UInt64 size) {
    if (reader_.out == nullptr || reader_.block == folder) return;
    if (current_ != nullptr && current_.get() == reader_.out) {
      reader_.out = nullptr;
      reader_.outSize = 0;
      current_.reset();  // freed here when no write needs it any more
    }
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return held_ == 0 || held_ + size <= room_; });
  }

  /// After the reader has given entry's data: the block it lies in, shared from now on.
  void Adopt() {
    if (reader_.out == nullptr || current_.get() == reader_.out) return;
    const size_t size = reader_.outSize;
    {
      const std::lock_guard lock(mutex_);
      held_ += size;
    }
    try {
      current_ = std::shared_ptr<Byte>(reader_.out, [this, size](Byte* block) {
        IAlloc_Free(reader_.alloc.Main(), block);
        {
          const std::lock_guard lock(mutex_);
          held_ -= size;
        }
        released_.notify_all();
      });
    } catch (...) {
      reader_.out = nullptr;  // the deleter has run: the block is gone
      reader_.outSize = 0;
      throw;
    }
  }

  /// Whether something may already be on its way to path: a file written by a write still queued
  /// or running. Then the pool drains first, so that two writes of one path, or a folder made where
  /// a file is still to be written, happen in archive order.
  void BeforeTouching(const WString& path) {
    if (!queued_.empty() && queued_.count(Key(path)) != 0) {
      pool_.Wait();
      queued_.clear();
    }
  }

  /// Queues the write of entry index to full (its folders made, its path touched) from data.
  void Write(UInt32 index, WString full, const Byte* data, size_t size, const CSzFileItem& item) {
    queued_.insert(Key(full));  // the caller has called BeforeTouching(full)
    const bool attribDefined = item.AttribDefined != 0;
    const UInt32 attrib = item.Attrib;
    const UInt64 turn = submitted_++;
    pool_.Submit(
        [this, index, turn, full = std::move(full), data, size, attribDefined, attrib, block = current_] {
          const Turn taken(*this, turn);
          if (failedAt_.load(std::memory_order_acquire) < index) return;  // an earlier entry failed
          try {
            if (int error = 0; !WriteOutputFile(full, data, size, error)) {
              Record(index, kExtractNotWritten, &full, error);
              return;
            }
            if (attribDefined) ApplyFileAttributes(full, attrib);
          } catch (const std::bad_alloc&) {
            Record(index, kExtractOutOfMemory);  // a path could not be converted for the system
          }
        });
  }

  /// Waits for every write, then gives the first failure in archive order (its path and error in
  /// failure) or kExtractOk.
  int Finish(ExtractFailure* failure) {
    pool_.Wait();
    queued_.clear();
    const std::lock_guard lock(mutex_);
    if (failedAt_.load(std::memory_order_relaxed) == kNoEntry) return kExtractOk;
    if (hasCause_ && failure != nullptr) {
      failure->path = path_;
      failure->systemError = systemError_;
    }
    return code_;
  }

 private:
  /// One write's place in the order of submission, from when it may start until it has ended.
  class Turn {
   public:
    Turn(Writers& writers, UInt64 turn) : writers_(writers), turn_(turn) {
      std::unique_lock lock(writers_.mutex_);
      writers_.finished_.wait(lock, [&] { return turn_ < writers_.firstUnfinished_ + kWriteAhead; });
    }
    ~Turn() {
      {
        const std::lock_guard lock(writers_.mutex_);
        writers_.done_[turn_ % kWriteAhead] = true;
        while (writers_.done_[writers_.firstUnfinished_ % kWriteAhead]) {
          writers_.done_[writers_.firstUnfinished_ % kWriteAhead] = false;
          ++writers_.firstUnfinished_;
        }
      }
      writers_.finished_.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    Writers& writers_;
    const UInt64 turn_;
  };

  /// Paths that name one file are one key: on Windows, names that NTFS's upcase table makes equal.
  static WString Key(const WString& path) {
#ifdef _WIN32
    return UpcaseNtfs(path);
#else
    return path;
#endif
  }

  ArchiveReader& reader_;
  const UInt64 room_;

  std::mutex mutex_;
  std::condition_variable released_;
  UInt64 held_ = 0;  // bytes of decoded folders still alive
  std::condition_variable finished_;
  UInt64 firstUnfinished_ = 0;   // the earliest write (in submission order) not yet ended
  bool done_[kWriteAhead] = {};  // which of the next kWriteAhead writes have ended
  UInt64 submitted_ = 0;         // writes submitted, on the walk's thread only
  std::atomic<UInt32> failedAt_{kNoEntry};
  int code_ = kExtractOk;
  bool hasCause_ = false;
  WString path_;
  int systemError_ = 0;

  std::shared_ptr<Byte> current_;       // the reader's folder as the writes share it
  std::unordered_set<WString> queued_;  // files written since the pool was last idle
  WorkerPool pool_{WorkerCount()};      // last: it ends first, while all the above still stand
};

/// Where the walk stands: the destination (ending with a separator), the keep list, and the
/// folders made for the previous entry as a name ending with "/". An archive lists the files of a
/// folder together, and making a folder that exists is a failing system call: each level of each
/// entry's path would cost one.
struct Walk {
  WString dest;
  const std::vector<WString>& keep;
  WString made;
  Writers& writers;
  std::deque<HeldFolder>& held;  // every folder written into, checked and held until the writes end

  /// Checks folder (made or found) by handle and holds it; false for a link, recorded as entry
  /// index's failure: nothing is written through it.
  bool Hold(UInt32 index, const WString& folder) {
    if (held.emplace_back(folder).state() != HeldFolder::State::kLink) return true;
    writers.Record(index, kExtractNotWritten, &folder, LinkRefusedError());
    return false;
  }
};

/// Places entry index (name already checked) under the destination: its parent folders, then the
/// folder itself, or the file (its size bytes from data, then its attributes) queued for writing.
void PlaceEntry(Walk& walk, UInt32 index, const WString& name, const CSzFileItem& item, const Byte* data,
                size_t size) {
  // Every parent folder of the entry exists before it is written: those made for the previous
  // entry still do, the others are made here, shortest first.
  const size_t base = walk.dest.size();
  WString full = walk.dest + name;
  const size_t known = CommonLength(walk.made, name);
  for (size_t k = 0; k < name.size(); ++k) {
    if (name[k] == u'/') {
      if (k >= known) {
        const WString parent = full.substr(0, base + k);
        walk.writers.BeforeTouching(parent);
        MakeDirectory(parent);
        if (!walk.Hold(index, parent)) return;
      }
      full[base + k] = kPathSeparator;
    }
  }
  if (item.IsDir) {
    walk.writers.BeforeTouching(full);
    MakeDirectory(full);
    if (!walk.Hold(index, full)) return;
    walk.made = name + u'/';
    return;
  }
  walk.made.assign(name, 0, name.rfind(u'/') + 1);
  walk.writers.BeforeTouching(full);
  if (KeptByList(full, walk.keep)) return;
  walk.writers.Write(index, std::move(full), data, size, item);
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
  UInt64 largest = 0;
  for (UInt32 f = 0; f < d.db.db.NumFolders; ++f) {
    largest = std::max(largest, SzFolder_GetUnpackSize(d.db.db.Folders + f));
  }
  std::deque<HeldFolder> held;  // released only once the writes have ended
  Writers writers(d, largest);
  Walk walk{std::move(dest), keep, {}, writers, held};
  for (UInt32 i = 0; i < d.db.db.NumFiles && !writers.Failed(); ++i) {
    const CSzFileItem& item = d.db.db.Files[i];
    const size_t units = SzArEx_GetFileNameUtf16(&d.db, i, nullptr);
    if (units > d.nameCapacity) {
      std::free(d.name);
      d.nameCapacity = 0;
      d.name = static_cast<UInt16*>(std::malloc(units * sizeof(UInt16)));
      if (d.name == nullptr) {
        writers.Record(i, kExtractOutOfMemory);
        break;
      }
      d.nameCapacity = units;
    }
    SzArEx_GetFileNameUtf16(&d.db, i, d.name);
    const WString name(d.name, d.name + (units > 0 ? units - 1 : 0));
    if (!IsSafeEntryName(name)) {
      writers.Record(i, kExtractRefused);
      break;
    }

    size_t offset = 0;
    size_t size = 0;
    // An entry without data has no folder; asking the SDK for it would drop the cached folder.
    const UInt32 folder = item.IsDir ? kNoFolder : d.db.FileIndexToFolderIndexMap[i];
    if (folder != kNoFolder) {
      writers.BeforeDecoding(folder, SzFolder_GetUnpackSize(d.db.db.Folders + folder));
      const SRes res = SzArEx_Extract(&d.db, stream, i, &d.block, &d.out, &d.outSize, &offset, &size,
                                      d.alloc.Main(), d.alloc.Temp());
      if (res != SZ_OK) {
        writers.Record(i, res);
        break;
      }
      writers.Adopt();
    }
    PlaceEntry(walk, i, name, item, d.out + offset, size);
  }
  return writers.Finish(failure);
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
