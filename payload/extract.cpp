// Drives the LZMA SDK's 7z reader: open the database, then walk its entries in order, and for each
// decide (a sound name; a file already there is left out, checked on the pool ahead of the walk),
// decode (its solid folder, once, kept cached by the SDK between entries; never a folder whose files
// are all there) and place (its folders made, its file queued for the pool's writers).
#include "payload/extract.h"

#include <7z.h>
#include <7zCrc.h>
#include <7zFile.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
#include "platform/path_key.h"
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
/// and a component that ends in a dot or a space are refused too.
bool IsSafeEntryName(const WString& name) {
  if (name.empty() || IsAnySeparator(name[0])) return false;
  // A surrogate without its pair is a name no system spells the same twice (POSIX's UTF-8 cannot).
  for (size_t i = 0; i < name.size(); ++i) {
    const bool high = name[i] >= 0xD800 && name[i] <= 0xDBFF, low = name[i] >= 0xDC00 && name[i] <= 0xDFFF;
    if (low || (high && (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF))) return false;
    if (high) ++i;
  }
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
    // Win32 trims what ends a name in dots and spaces (".. " to ".."); in the extended-length form
    // every path goes in, nothing is trimmed, and the name is one Explorer cannot handle.
    if (!part.empty() && (part.back() == u'.' || part.back() == u' ')) return false;
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

/// The bytes of decoded folders alive at once. Invariant: the bytes held never exceed the room,
/// unless a single folder larger than it is all that is held (the largest folder always fits).
class BlockBudget {
 public:
  explicit BlockBudget(UInt64 room) : room_(room) {}
  /// Waits until size more bytes fit beside those held.
  void WaitForRoom(UInt64 size) {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return held_ == 0 || held_ + size <= room_; });
  }
  void Take(UInt64 size) {
    const std::lock_guard lock(mutex_);
    held_ += size;
  }
  void Give(UInt64 size) {
    {
      const std::lock_guard lock(mutex_);
      held_ -= size;
    }
    released_.notify_all();
  }

 private:
  const UInt64 room_;
  std::mutex mutex_;
  std::condition_variable released_;
  UInt64 held_ = 0;
};

/// The folder the reader holds decoded, shared by the writes from it. Invariant: while shared,
/// the reader's buffer is the shared block (the reader lets go of it before it decodes the next
/// folder, and the last write frees it); the budget counts every shared block until it is freed.
class SharedBlock {
 public:
  SharedBlock(ArchiveReader& reader, BlockBudget& budget) : reader_(reader), budget_(budget) {}
  /// The reader's buffer is freed by whoever held it last; the writes have all ended by now.
  ~SharedBlock() { LetGo(); }
  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;

  /// Before the reader decodes another folder: its current one passes to the writes alone.
  void LetGo() {
    if (current_ != nullptr && current_.get() == reader_.out) {
      reader_.out = nullptr;
      reader_.outSize = 0;
    }
    current_.reset();
  }
  /// After the reader has given an entry's data: the block it lies in, shared from now on.
  const std::shared_ptr<Byte>& Adopt() {
    if (reader_.out == nullptr || current_.get() == reader_.out) return current_;
    const size_t size = reader_.outSize;
    budget_.Take(size);
    try {
      current_ = std::shared_ptr<Byte>(reader_.out, [this, size](Byte* block) {
        IAlloc_Free(reader_.alloc.Main(), block);
        budget_.Give(size);
      });
    } catch (...) {
      reader_.out = nullptr;  // the deleter has run: the block is gone
      reader_.outSize = 0;
      throw;
    }
    return current_;
  }

 private:
  ArchiveReader& reader_;
  BlockBudget& budget_;
  std::shared_ptr<Byte> current_;
};

/// The order in which queued writes may start. Invariant: a write starts only while fewer than
/// kWriteAhead writes submitted before it are unfinished.
class WriteTurns {
 public:
  /// The next write's number in submission order (on the walk's thread only).
  UInt64 Next() { return submitted_++; }

  /// Held by a write from when it may start until it has ended.
  class Turn {
   public:
    Turn(WriteTurns& turns, UInt64 turn) : turns_(turns), turn_(turn) {
      std::unique_lock lock(turns_.mutex_);
      turns_.finished_.wait(lock, [&] { return turn_ < turns_.firstUnfinished_ + kWriteAhead; });
    }
    ~Turn() {
      {
        const std::lock_guard lock(turns_.mutex_);
        turns_.done_[turn_ % kWriteAhead] = true;
        while (turns_.done_[turns_.firstUnfinished_ % kWriteAhead]) {
          turns_.done_[turns_.firstUnfinished_ % kWriteAhead] = false;
          ++turns_.firstUnfinished_;
        }
      }
      turns_.finished_.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    WriteTurns& turns_;
    const UInt64 turn_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable finished_;
  UInt64 firstUnfinished_ = 0;   // the earliest write (in submission order) not yet ended
  bool done_[kWriteAhead] = {};  // which of the next kWriteAhead writes have ended
  UInt64 submitted_ = 0;
};

/// The first failure in archive order, wherever it happened (the walk or a write). Invariant: the
/// entry recorded only ever moves to an earlier one.
class FirstFailure {
 public:
  bool Any() const { return at_.load(std::memory_order_acquire) != kNoEntry; }
  /// Whether an entry before index has failed: then index is not to be written.
  bool Before(UInt32 index) const { return at_.load(std::memory_order_acquire) < index; }

  /// Records code for entry index unless an earlier entry has failed; the path and the system's
  /// error with it when path is given.
  void Record(UInt32 index, int code, const WString* path = nullptr, int systemError = 0) {
    const std::lock_guard lock(mutex_);
    if (index >= at_.load(std::memory_order_relaxed)) return;
    code_ = code;
    hasCause_ = path != nullptr;
    systemError_ = systemError;
    try {
      path_ = path != nullptr ? *path : WString();
    } catch (const std::bad_alloc&) {
      path_.clear();  // the code and the error still say what happened
    }
    at_.store(index, std::memory_order_release);
  }

  /// The code recorded (kExtractOk for none), its path and error in failure when given.
  int Result(ExtractFailure* failure) {
    const std::lock_guard lock(mutex_);
    if (at_.load(std::memory_order_relaxed) == kNoEntry) return kExtractOk;
    if (hasCause_ && failure != nullptr) {
      failure->path = path_;
      failure->systemError = systemError_;
    }
    return code_;
  }

 private:
  std::mutex mutex_;
  std::atomic<UInt32> at_{kNoEntry};
  int code_ = kExtractOk;
  bool hasCause_ = false;
  WString path_;
  int systemError_ = 0;
};

/// The files of the walk, written and closed by the worker pool in the order the archive lists
/// them, and the first failure in that order. Once a failure is recorded no write of an entry after
/// it starts; those already started (at most kWriteAhead - 1) finish. Invariant: two writes of one
/// path, or a folder made where a file is still to be written, happen in archive order: a path
/// already queued drains the pool before it is touched again (BeforeTouching).
class Writers {
 public:
  Writers(ArchiveReader& reader, UInt64 largestFolder)
      : budget_(largestFolder + kOverlapAllowance), block_(reader, budget_), reader_(reader) {}
  ~Writers() { pool_.Wait(); }  // before the block and the reader's buffer can go
  Writers(const Writers&) = delete;
  Writers& operator=(const Writers&) = delete;

  /// Runs task on the pool, ahead of any write queued after it (tasks run in submission order).
  void Run(WorkerPool::Task task) { pool_.Submit(std::move(task)); }

  FirstFailure& failure() { return failure_; }

  /// Before the reader decodes folder (of size bytes): the folder it holds passes to the writes
  /// still to come from it, and this waits until the new one fits beside those still held.
  void BeforeDecoding(UInt32 folder, UInt64 size) {
    if (reader_.out == nullptr || reader_.block == folder) return;
    block_.LetGo();
    budget_.WaitForRoom(size);
  }

  /// After the reader has given an entry's data: the block it lies in, shared from now on.
  void Adopt() { block_.Adopt(); }

  /// Before path is made or written: drains the pool when a write still queued or running may be
  /// on its way to it.
  void BeforeTouching(const WString& path) {
    if (!queued_.empty() && queued_.count(PathKey(path)) != 0) {
      pool_.Wait();
      queued_.clear();
    }
  }

  /// Queues the write of entry index to full from data. BeforeTouching(full) has been called.
  void Write(UInt32 index, WString full, const Byte* data, size_t size, const CSzFileItem& item) {
    queued_.insert(PathKey(full));
    const bool attribDefined = item.AttribDefined != 0;
    const UInt32 attrib = item.Attrib;
    pool_.Submit([this, index, turn = turns_.Next(), full = std::move(full), data, size, attribDefined,
                  attrib, block = block_.Adopt()] {
      const WriteTurns::Turn taken(turns_, turn);
      if (failure_.Before(index)) return;
      try {
        if (int error = 0; !WriteOutputFile(full, data, size, error)) {
          failure_.Record(index, kExtractNotWritten, &full, error);
          return;
        }
        if (attribDefined) ApplyFileAttributes(full, attrib, creationMask_);
      } catch (const std::bad_alloc&) {
        failure_.Record(index, kExtractOutOfMemory);  // a path could not be converted for the system
      }
    });
  }

  /// Waits for every write, then gives the first failure in archive order (its path and error in
  /// failure) or kExtractOk.
  int Finish(ExtractFailure* failure) {
    pool_.Wait();
    queued_.clear();
    return failure_.Result(failure);
  }

 private:
  BlockBudget budget_;
  SharedBlock block_;
  ArchiveReader& reader_;
  WriteTurns turns_;
  FirstFailure failure_;
  std::unordered_set<WString> queued_;  // files written since the pool was last idle
  // Read before the pool's threads start: reading it may set it for a moment.
  const std::uint32_t creationMask_ = FileCreationMask();
  WorkerPool pool_{WorkerCount()};  // last: it ends first, while all the above still stand
};

/// Whether the file at path holds exactly size bytes whose CRC-32 is crc: a regular file, not
/// reached through a link. Anything that cannot be read is not the same.
bool AlreadyHolds(const WString& path, UInt64 size, UInt32 crc) {
  CSzFile file;
  File_Construct(&file);
  UInt64 length = 0;
  if (!OpenInstalledFile(&file, path, length)) return false;
  UInt32 sum = CRC_INIT_VAL;
  bool read = length == size;
  std::vector<Byte> buffer(read ? std::min<UInt64>(size, 1 << 16) : 0);
  for (UInt64 left = size; read && left > 0;) {
    size_t n = static_cast<size_t>(std::min<UInt64>(left, buffer.size()));
    read = File_Read(&file, buffer.data(), &n) == 0 && n > 0;
    sum = CrcUpdate(sum, buffer.data(), n);
    left -= n;
  }
  File_Close(&file);
  return read && CRC_GET_DIGEST(sum) == crc;
}

/// Which entries' files are already there, checked on the pool ahead of the walk. A folder's
/// answer waits until each of its files has been checked; an entry is kept when its file has the
/// entry's size and CRC, so that the walk writes it not at all and, where its folder's files all
/// are kept, decodes nothing of that folder.
class Sameness {
 public:
  Sameness(const CSzArEx& db, const AlreadyThere* there)
      : db_(db),
        there_(there),
        same_(db.db.NumFiles, 0),
        pending_(db.db.NumFolders, 0),
        files_(db.db.NumFolders, 0),
        kept_(db.db.NumFolders, 0) {}

  /// Queues the checks, one task a file that has data and a CRC.
  void Start(Writers& writers) {
    if (there_ == nullptr) return;
    std::vector<UInt32> checked;
    for (UInt32 i = 0; i < db_.db.NumFiles; ++i) {
      const CSzFileItem& item = db_.db.Files[i];
      const UInt32 folder = db_.FileIndexToFolderIndexMap[i];
      if (item.IsDir || folder == kNoFolder) continue;
      ++files_[folder];
      if (!item.CrcDefined) continue;
      ++pending_[folder];
      checked.push_back(i);
    }
    for (const UInt32 i : checked) writers.Run([this, i] { Check(i); });
  }

  /// Whether entry index is kept (after Folder has answered for its folder).
  bool Kept(UInt32 index) const { return there_ != nullptr && same_[index] != 0; }

  /// Waits for the checks of folder; true when every file in it is kept.
  bool FolderKept(UInt32 folder) {
    if (there_ == nullptr) return false;
    std::unique_lock lock(mutex_);
    checked_.wait(lock, [&] { return pending_[folder] == 0; });
    return kept_[folder] == files_[folder];
  }

 private:
  void Check(UInt32 index) {
    bool same = false;
    try {
      std::vector<UInt16> units(SzArEx_GetFileNameUtf16(&db_, index, nullptr));
      SzArEx_GetFileNameUtf16(&db_, index, units.data());
      const WString name(units.begin(), units.end() - (units.empty() ? 0 : 1));
      if (!there_->never.empty() && SamePath(name, there_->never)) {
        same = true;  // not wanted: as good as there
      } else if (!SamePath(name, there_->always) && IsSafeEntryName(name)) {
        const CSzFileItem& item = db_.db.Files[index];
        same = AlreadyHolds(EntryPath(there_->base, name), item.Size, item.Crc);
      }
    } catch (const std::bad_alloc&) {
      same = false;  // written anew
    }
    {
      const std::lock_guard lock(mutex_);
      const UInt32 folder = db_.FileIndexToFolderIndexMap[index];
      same_[index] = same ? 1 : 0;
      kept_[folder] += same ? 1 : 0;
      --pending_[folder];
    }
    checked_.notify_all();
  }

  const CSzArEx& db_;
  const AlreadyThere* there_;
  std::mutex mutex_;
  std::condition_variable checked_;
  std::vector<char> same_;       // per entry, under mutex_ until its folder's checks are done
  std::vector<UInt32> pending_;  // per folder, the checks not yet made
  std::vector<UInt32> files_;    // per folder, its files (set before the checks start)
  std::vector<UInt32> kept_;     // per folder, its files found there
};

/// Where the walk stands: the destination (ending with a separator), and the folders made for the
/// previous entry as a name ending with "/". An archive lists the files of a
/// folder together, and making a folder that exists is a failing system call: each level of each
/// entry's path would cost one.
struct Walk {
  WString dest;
  WString made;
  Writers& writers;
  std::deque<HeldFolder>& held;  // every folder written into, checked and held until the writes end

  /// Checks folder (made or found) by handle and holds it; false for a link, recorded as entry
  /// index's failure: nothing is written through it.
  bool Hold(UInt32 index, const WString& folder) {
    if (held.emplace_back(folder).state() != HeldFolder::State::kLink) return true;
    writers.failure().Record(index, kExtractNotWritten, &folder, LinkRefusedError());
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
  walk.writers.Write(index, std::move(full), data, size, item);
}

/// Entry index's name, through the reader's buffer (which only grows): kExtractOk, or
/// kExtractOutOfMemory, or kExtractRefused for a name that would land outside the destination.
int EntryName(Decoder& d, UInt32 index, WString& name) {
  const size_t units = SzArEx_GetFileNameUtf16(&d.db, index, nullptr);
  if (units > d.nameCapacity) {
    std::free(d.name);
    d.nameCapacity = 0;
    d.name = static_cast<UInt16*>(std::malloc(units * sizeof(UInt16)));
    if (d.name == nullptr) return kExtractOutOfMemory;
    d.nameCapacity = units;
  }
  SzArEx_GetFileNameUtf16(&d.db, index, d.name);
  name.assign(d.name, d.name + (units > 0 ? units - 1 : 0));
  return IsSafeEntryName(name) ? kExtractOk : kExtractRefused;
}

int Extract(WString dest, const WString& archive, ExtractFailure* failure, ProgressSink* progress,
            AlreadyThere* there) {
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
  Sameness sameness(d.db, there);
  sameness.Start(writers);
  Walk walk{std::move(dest), {}, writers, held};
  // Each entry: decide (its name sound, its file already there?), decode (its folder, once), place.
  for (UInt32 i = 0; i < d.db.db.NumFiles && !writers.failure().Any(); ++i) {
    const CSzFileItem& item = d.db.db.Files[i];
    WString name;
    if (const int code = EntryName(d, i, name); code != kExtractOk) {
      writers.failure().Record(i, code);
      break;
    }
    // An entry without data has no folder; asking the SDK for it would drop the cached folder.
    const UInt32 folder = item.IsDir ? kNoFolder : d.db.FileIndexToFolderIndexMap[i];
    if (there != nullptr && !item.IsDir && SamePath(name, there->never)) continue;  // not wanted
    if (folder != kNoFolder && (sameness.FolderKept(folder) || sameness.Kept(i))) {
      there->kept.push_back({name, item.AttribDefined != 0, item.Attrib});
      continue;  // nothing of it written; nothing decoded of a folder that is all there
    }
    if (item.IsDir && there != nullptr && IsFolder(EntryPath(there->base, name))) {
      there->kept.push_back({name, false, 0, true});
      continue;  // a folder that is there needs no twin in the destination
    }
    size_t offset = 0;
    size_t size = 0;
    if (folder != kNoFolder) {
      writers.BeforeDecoding(folder, SzFolder_GetUnpackSize(d.db.db.Folders + folder));
      const SRes res = SzArEx_Extract(&d.db, stream, i, &d.block, &d.out, &d.outSize, &offset, &size,
                                      d.alloc.Main(), d.alloc.Temp());
      if (res != SZ_OK) {
        writers.failure().Record(i, res);
        break;
      }
      writers.Adopt();
    }
    PlaceEntry(walk, i, name, item, d.out + offset, size);
  }
  return writers.Finish(failure);
}

}  // namespace

int ExtractArchive(const WString& destination, const WString& archive, ExtractFailure* failure,
                   ProgressSink* progress, AlreadyThere* there) {
  try {
    return Extract(destination, archive, failure, progress, there);
  } catch (const std::bad_alloc&) {
    return kExtractOutOfMemory;  // a path string could not be built
  }
}

namespace {

/// An archive in memory as the SDK's seekable stream.
struct MemoryStream {
  ISeekInStream s;
  std::span<const unsigned char> bytes;
  size_t at = 0;

  static SRes Read(void* p, void* buf, size_t* size) {
    auto* self = static_cast<MemoryStream*>(p);
    *size = std::min(*size, self->bytes.size() - self->at);
    std::memcpy(buf, self->bytes.data() + self->at, *size);
    self->at += *size;
    return SZ_OK;
  }
  static SRes Seek(void* p, Int64* pos, ESzSeek origin) {
    auto* self = static_cast<MemoryStream*>(p);
    const Int64 from = origin == SZ_SEEK_SET   ? 0
                       : origin == SZ_SEEK_CUR ? static_cast<Int64>(self->at)
                                               : static_cast<Int64>(self->bytes.size());
    if (*pos < -from || from + *pos > static_cast<Int64>(self->bytes.size())) return SZ_ERROR_READ;
    self->at = static_cast<size_t>(from + *pos);
    *pos = static_cast<Int64>(self->at);
    return SZ_OK;
  }
};

}  // namespace

bool ArchiveFiles(std::span<const unsigned char> archive, std::vector<ArchivedFile>& files) {
  try {
    ArchiveReader reader;
    MemoryStream memory{{MemoryStream::Read, MemoryStream::Seek}, archive};
    if (OpenArchiveDatabase(&reader.db, reader.Attach(&memory.s), reader.alloc) != SZ_OK) return false;
    files.clear();
    for (UInt32 i = 0; i < reader.db.db.NumFiles; ++i) {
      const CSzFileItem& item = reader.db.db.Files[i];
      if (item.IsDir) continue;
      std::vector<UInt16> units(SzArEx_GetFileNameUtf16(&reader.db, i, nullptr));
      SzArEx_GetFileNameUtf16(&reader.db, i, units.data());
      files.push_back({WString(units.begin(), units.end() - (units.empty() ? 0 : 1)), item.Size});
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
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

WString EntryPath(const WString& root, const WString& name) {
  WString path = root + name;
  std::replace(path.begin() + static_cast<std::ptrdiff_t>(root.size()), path.end(), u'/', kPathSeparator);
  return path;
}

}  // namespace zyv
