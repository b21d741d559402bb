// Drives the LZMA SDK's 7z reader and the streaming block decoder: open the database, then walk its
// entries in order, and for each decide (a sound name; a file already there is left out, checked on
// the pool ahead of the walk) and place (its folders made, its file planned). Each block the walk
// has planned goes to the block decoders (block_decoder.h), which run side by side, one a thread,
// and hand each file's bytes, as they are decoded, to the pool's writers; a block whose files are
// all there is never decoded.
#include "payload/extract.h"

#include <7z.h>
#include <7zCrc.h>
#include <7zFile.h>
#include <CpuArch.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "payload/archive_file.h"
#include "payload/block_decoder.h"
#include "payload/extract_shared.h"
#include "payload/open_archive.h"
#include "platform/path_key.h"
#include "platform/threads.h"
#include "platform/worker_pool.h"

namespace zyv {
namespace {

constexpr UInt32 kNoFolder = 0xFFFFFFFF;

/// The bytes of the archive file read so far, of its size, told to progress as they are read.
/// Each byte counts once: the database's bytes (the start header, the header and its packed form)
/// when it has been read, a block's packed bytes as a decoder reads them, however often a later
/// round reads them again, and what of a block was not read (all of it, for a block whose files are
/// all there) once its job ends. Invariant: read never decreases and never exceeds size, and
/// every report tells more than the one before it.
class ReadProgress {
 public:
  ReadProgress(ProgressSink* sink, UInt64 size, const CSzArEx& db) : sink_(sink), size_(size) {
    if (sink_ == nullptr) return;
    uncounted_.resize(db.db.NumFolders);
    for (UInt32 f = 0; f < db.db.NumFolders; ++f) {
      if (SzArEx_GetFolderFullPackSize(&db, f, &uncounted_[f]) != SZ_OK) uncounted_[f] = 0;
    }
  }
  /// Bytes of the file outside the blocks.
  void Add(UInt64 bytes) {
    if (sink_ == nullptr) return;
    const std::lock_guard lock(mutex_);
    Count(bytes);
  }
  /// Bytes of block f read by a decoder: those not counted yet count.
  void AddBlock(UInt32 f, UInt64 bytes) {
    if (sink_ == nullptr) return;
    const std::lock_guard lock(mutex_);
    const UInt64 counted = std::min(bytes, uncounted_[f]);
    uncounted_[f] -= counted;
    Count(counted);
  }
  /// A job of block f has ended: the bytes of it not counted yet count now.
  void EndBlock(UInt32 f) { AddBlock(f, ~UInt64{0}); }
  /// Every block's bytes not counted yet count now.
  void EndAll() {
    for (UInt32 f = 0; f < uncounted_.size(); ++f) EndBlock(f);
  }

 private:
  void Count(UInt64 bytes) {
    const UInt64 read = std::min(size_, read_ + std::min(bytes, size_));
    if (read == read_) return;
    read_ = read;
    sink_->Report(read_, size_);
  }

  ProgressSink* const sink_;
  const UInt64 size_;
  Mutex mutex_;
  UInt64 read_ = 0;
  std::vector<UInt64> uncounted_;  // per block, its packed bytes not counted yet
};

/// What one call opens and allocates, released whichever way the call ends.
struct Decoder : ArchiveReader {
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

/// The 7z CRC-32 of size bytes at data, continuing from crc: eight bytes a step over the SDK's eight
/// tables (7zCrc.c builds them on x86 and x86-64, where the SDK's own eight-table loop is in
/// assembly that this build does not have, so its C build goes four bytes a step). The CRC of the
/// written files is a tenth of an extraction's work: twice as fast, it overlaps the decoding.
UInt32 UpdateCrc(UInt32 crc, const Byte* data, size_t size) {
#ifdef MY_CPU_X86_OR_AMD64
  const UInt32* t = g_CrcTable;
  for (; size >= 8; size -= 8, data += 8) {
    UInt32 a, b;
    std::memcpy(&a, data, 4);
    std::memcpy(&b, data + 4, 4);
    a ^= crc;
    crc = t[0x700 + (a & 0xFF)] ^ t[0x600 + ((a >> 8) & 0xFF)] ^ t[0x500 + ((a >> 16) & 0xFF)] ^
          t[0x400 + (a >> 24)] ^ t[0x300 + (b & 0xFF)] ^ t[0x200 + ((b >> 8) & 0xFF)] ^
          t[0x100 + ((b >> 16) & 0xFF)] ^ t[b >> 24];
  }
#endif
  return CrcUpdate(crc, data, size);
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

constexpr UInt32 kNoEntry = 0xFFFFFFFF;

/// A write starts only while fewer than this many writes queued before it are unfinished: a write
/// that fails (or is slow to) cannot be overtaken by more, so at most kWriteAhead - 1 writes after a
/// failing one are made, whatever the number of workers and however the system schedules them.
constexpr UInt64 kWriteAhead = 16;

/// The dictionaries of the blocks being decoded at once. Invariant: the bytes held never exceed the
/// room, unless a single block larger than it is all that is held (it is then decoded alone).
class BlockBudget {
 public:
  explicit BlockBudget(UInt64 room) : room_(room) {}
  /// Waits until size more bytes fit beside those held, and holds them.
  void Take(UInt64 size) {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return held_ == 0 || held_ + size <= room_; });
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
  Mutex mutex_;
  CondVar released_;
  UInt64 held_ = 0;
};

/// One decoder's output buffers, which the writes of the files they hold read from. Invariant: a
/// chunk is filled again only once nothing refers to it: not the decoder, which refers to the chunk
/// it fills and carves into files, nor a write queued from it, until that write has ended.
class Chunks {
 public:
  static constexpr unsigned kCount = 4;
  static constexpr size_t kSize = size_t{1} << 20;

  Chunks() = default;
  ~Chunks() {
    for (Byte* data : data_) std::free(data);
  }
  Chunks(const Chunks&) = delete;
  Chunks& operator=(const Chunks&) = delete;

  /// Waits for a chunk nothing refers to, which the caller then refers to; nullptr when its memory
  /// is refused.
  Byte* Take(unsigned& index) {
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return std::find(refs_, refs_ + kCount, 0u) != refs_ + kCount; });
    index = static_cast<unsigned>(std::find(refs_, refs_ + kCount, 0u) - refs_);
    if (data_[index] == nullptr) data_[index] = static_cast<Byte*>(std::malloc(kSize));
    if (data_[index] == nullptr) return nullptr;
    refs_[index] = 1;
    return data_[index];
  }
  void Refer(unsigned index) {
    const std::lock_guard lock(mutex_);
    ++refs_[index];
  }
  void Release(unsigned index) {
    {
      const std::lock_guard lock(mutex_);
      --refs_[index];
    }
    released_.notify_all();
  }

 private:
  Mutex mutex_;
  CondVar released_;
  Byte* data_[kCount] = {};
  unsigned refs_[kCount] = {};
};

/// Removes path, a file of a failed entry, as far as memory allows converting its path.
void RemoveFailedFile(const WString& path) noexcept {
  try {
    RemoveFile(path);
  } catch (const std::bad_alloc&) {
    // Left behind; its entry's failure is reported all the same.
  }
}

/// A file written from its block as it is decoded, shared by the writes of its pieces. The pieces
/// are written in the order they were queued, one at a time: each write takes the next one waiting,
/// under the file's I/O lock, whichever of the pool's threads started it; the queue has a lock of
/// its own, so that a decoder queues the next piece while one is written. Its CRC is computed as it
/// is written and compared once the last piece is. Of a failing entry nothing stays: a file that
/// fails its CRC, a write or its close, whose block fails before its end, that is abandoned
/// because an earlier entry failed, or whose piece could not be queued, is removed once created.
struct OutFile {
  struct Piece {
    const Byte* data;
    size_t size;
    Chunks* chunks;  // the chunk it lies in, released once written (none for an empty file)
    unsigned chunk;
    bool last;
    bool discard = false;  // with last: the block failed before the file's end; it is removed
  };

  OutFile(UInt32 i, WString p, const CSzFileItem& item)
      : index(i),
        path(std::move(p)),
        attribDefined(item.AttribDefined != 0),
        attrib(item.Attrib),
        crcDefined(item.CrcDefined != 0),
        crc(item.Crc) {
    File_Construct(&file);
  }
  ~OutFile() {
    // Still open when the last write has gone: it never got its last piece.
    if (open) {
      File_Close(&file);
      RemoveFailedFile(path);
    }
    for (const Piece& piece : pieces) {
      if (piece.chunks != nullptr) piece.chunks->Release(piece.chunk);
    }
  }
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  /// Nothing more of it is written, and what was is removed (under io).
  void Abandon() {
    failed = true;
    if (open) File_Close(&file);
    open = false;
    if (created) RemoveFailedFile(path);
    created = false;
  }

  const UInt32 index;
  const WString path;
  const bool attribDefined;
  const UInt32 attrib;
  const bool crcDefined;
  const UInt32 crc;
  Mutex queue;  // guards pieces
  std::deque<Piece> pieces;
  Mutex io;  // guards what follows; held while a piece is written
  CSzFile file;
  bool open = false;
  bool created = false;  // by this extraction, and not removed since
  bool failed = false;   // nothing more of it is written
  UInt32 sum = CRC_INIT_VAL;
};

/// The order in which queued writes may start. Invariant: a write starts only while fewer than
/// kWriteAhead writes submitted before it are unfinished.
class WriteTurns {
 public:
  /// The next write's number in submission order (the caller submits in this order).
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

  /// Ends turn, whose write was never queued: the writes kWriteAhead turns after it would
  /// otherwise wait for it forever.
  void Skip(UInt64 turn) { const Turn lost(*this, turn); }

 private:
  Mutex mutex_;
  CondVar finished_;
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
  Mutex mutex_;
  std::atomic<UInt32> at_{kNoEntry};
  int code_ = kExtractOk;
  bool hasCause_ = false;
  WString path_;
  int systemError_ = 0;
};

/// The files of the walk, written and closed by the worker pool piece by piece as their blocks are
/// decoded, and the first failure in archive order. Once a failure is recorded no write of an entry
/// after it starts; those already started (at most kWriteAhead - 1 after it) finish.
class Writers {
 public:
  Writers() = default;
  ~Writers() { pool_.Wait(); }  // before the files and chunks the writes hold can go
  Writers(const Writers&) = delete;
  Writers& operator=(const Writers&) = delete;

  /// Runs task on the pool, ahead of any write queued after it (tasks run in submission order).
  void Run(WorkerPool::Task task) { pool_.Submit(std::move(task)); }

  FirstFailure& failure() { return failure_; }

  /// Queues the write of piece, the next one of file. False when memory for it was refused: the
  /// piece's chunk is released, and file fails with kExtractOutOfMemory (removed if created).
  bool Write(const std::shared_ptr<OutFile>& file, const OutFile::Piece& piece) {
    try {
      const std::lock_guard lock(file->queue);
      file->pieces.push_back(piece);
    } catch (const std::bad_alloc&) {
      return Lost(*file, piece, false);
    }
    // Turns are numbered in the order the writes are queued, whichever decoder queues them.
    std::unique_lock lock(submit_);
    const UInt64 turn = turns_.Next();
    try {
      pool_.Submit([this, file, turn] { WriteNext(*file, turn); });
      return true;
    } catch (const std::bad_alloc&) {
      lock.unlock();
      turns_.Skip(turn);
      return Lost(*file, piece, true);
    }
  }

  /// Returns once every write queued so far has ended.
  void Drain() { pool_.Wait(); }

  /// Waits for every write, then gives the first failure in archive order (its path and error in
  /// failure) or kExtractOk.
  int Finish(ExtractFailure* failure) {
    pool_.Wait();
    return failure_.Result(failure);
  }

 private:
  void WriteNext(OutFile& f, UInt64 turn) {
    const WriteTurns::Turn taken(turns_, turn);
    const std::lock_guard io(f.io);
    const OutFile::Piece piece = [&] {
      const std::lock_guard queue(f.queue);
      const OutFile::Piece front = f.pieces.front();
      f.pieces.pop_front();
      return front;
    }();
    const struct Release {
      const OutFile::Piece& piece;
      ~Release() {
        if (piece.chunks != nullptr) piece.chunks->Release(piece.chunk);
      }
    } release{piece};
    if (f.failed || failure_.Before(f.index)) return f.Abandon();
    try {
      if (!f.open) {
        if (!CreateOutputFile(&f.file, f.path)) return Failed(f, kExtractNotWritten, LastSystemError());
        f.open = f.created = true;
      }
      if (piece.size != 0) {
        size_t written = piece.size;
        if (File_Write(&f.file, piece.data, &written) != 0 || written != piece.size) {
          return Failed(f, kExtractNotWritten, LastSystemError());
        }
        f.sum = UpdateCrc(f.sum, piece.data, piece.size);
      }
      if (!piece.last) return;
      f.open = false;
      if (File_Close(&f.file) != 0) return Failed(f, kExtractNotWritten, LastSystemError());
      if (piece.discard) return f.Abandon();
      if (f.crcDefined && CRC_GET_DIGEST(f.sum) != f.crc) return Failed(f, SZ_ERROR_CRC, 0);
      if (f.attribDefined) ApplyFileAttributes(f.path, f.attrib, creationMask_);
    } catch (const std::bad_alloc&) {
      Failed(f, kExtractOutOfMemory, 0);  // a path could not be converted for the system
    }
  }

  /// Records f's failure (with its path and the system's error, read before anything else can
  /// change it, for a file that was not written), then abandons f (under its io lock).
  void Failed(OutFile& f, int code, int systemError) {
    if (code == kExtractNotWritten) {
      failure_.Record(f.index, code, &f.path, systemError);
    } else {
      failure_.Record(f.index, code);
    }
    f.Abandon();
  }

  /// The write of piece (queued when queued) that cannot be: it is taken back and its chunk
  /// released, and f fails. False.
  bool Lost(OutFile& f, const OutFile::Piece& piece, bool queued) {
    if (queued) {
      // No write takes it: each takes one piece, the pieces queued before it.
      const std::lock_guard lock(f.queue);
      f.pieces.pop_back();
    }
    if (piece.chunks != nullptr) piece.chunks->Release(piece.chunk);
    const std::lock_guard io(f.io);
    Failed(f, kExtractOutOfMemory, 0);
    return false;
  }

  WriteTurns turns_;
  FirstFailure failure_;
  Mutex submit_;  // a turn's number and its submission, as one step
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
  // Closed on every way out, a refused buffer included.
  const struct Close {
    CSzFile& file;
    ~Close() { File_Close(&file); }
  } close{file};
  UInt32 sum = CRC_INIT_VAL;
  bool read = length == size;
  std::vector<Byte> buffer(read ? std::min<UInt64>(size, 1 << 16) : 0);
  for (UInt64 left = size; read && left > 0;) {
    size_t n = static_cast<size_t>(std::min<UInt64>(left, buffer.size()));
    read = File_Read(&file, buffer.data(), &n) == 0 && n > 0;
    sum = UpdateCrc(sum, buffer.data(), n);
    left -= n;
  }
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

  /// Queues the checks, one task a file that has data and a CRC. An empty file, even one a block
  /// lists, is not its block's: the walk writes it itself, and it keeps no block decoded.
  /// A check that cannot be queued (memory refused) is not made: its file is written anew.
  void Start(Writers& writers) {
    if (there_ == nullptr) return;
    for (UInt32 i = 0; i < db_.db.NumFiles; ++i) {
      if (const UInt32 folder = Folder(i); folder != kNoFolder) ++files_[folder];
    }
    for (UInt32 i = 0; i < db_.db.NumFiles; ++i) {
      const UInt32 folder = Folder(i);
      if (folder == kNoFolder || !db_.db.Files[i].CrcDefined) continue;
      {
        const std::lock_guard lock(mutex_);
        ++pending_[folder];
      }
      try {
        writers.Run([this, i] { Check(i); });
      } catch (const std::bad_alloc&) {
        {
          const std::lock_guard lock(mutex_);
          --pending_[folder];
        }
        checked_.notify_all();
        return;
      }
    }
  }

  /// The block whose file entry index is, or kNoFolder for an entry of no data.
  UInt32 Folder(UInt32 index) const {
    const CSzFileItem& item = db_.db.Files[index];
    return item.IsDir || item.Size == 0 ? kNoFolder : db_.FileIndexToFolderIndexMap[index];
  }

  /// Whether entry index is kept (after FolderKept has answered for its folder).
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
  Mutex mutex_;
  CondVar checked_;
  std::vector<char> same_;       // per entry, under mutex_ until its folder's checks are done
  std::vector<UInt32> pending_;  // per folder, the checks not yet made
  std::vector<UInt32> files_;    // per folder, its files (set before the checks start)
  std::vector<UInt32> kept_;     // per folder, its files found there
};

/// What the walk decided for an entry whose file has data: where its block's decoder writes it.
struct Planned {
  WString path;
  bool write = false;
};

/// A block's entries [from, to) as the walk planned them in one round (see Extract); the block's
/// other entries are decoded only as far as these need, and not written.
struct BlockJob {
  UInt32 folder;
  UInt32 from;
  UInt32 to;
};

/// One decoder's own reading of the archive file: a handle of its own, so that decoders side by
/// side each keep their place. It counts what it reads as progress, of the block it reads.
class FileSource final : public PackSource {
 public:
  FileSource(const WString& path, ReadProgress& progress) : path_(path), progress_(progress) {
    File_Construct(&file_);
  }
  ~FileSource() {
    if (open_) File_Close(&file_);
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  /// Opens the file once; false (with the system's error current) when it cannot be.
  bool Open() {
    if (!open_) open_ = OpenArchiveFile(&file_, path_);
    return open_;
  }
  SRes ReadAt(std::uint64_t offset, Byte* buffer, std::size_t& size) override {
    if (offset != at_) {
      at_ = kUnknown;
      Int64 pos = static_cast<Int64>(offset);
      if (offset > UInt64{INT64_MAX} || File_Seek(&file_, &pos, SZ_SEEK_SET) != 0) return SZ_ERROR_READ;
      at_ = offset;
    }
    if (File_Read(&file_, buffer, &size) != 0) {
      at_ = kUnknown;  // a failed read leaves the file's position anywhere
      return SZ_ERROR_READ;
    }
    at_ += size;
    progress_.AddBlock(block_, size);
    return SZ_OK;
  }
  /// What the next reads are of.
  void Reading(UInt32 block) { block_ = block; }

 private:
  static constexpr UInt64 kUnknown = ~UInt64{0};
  const WString& path_;
  ReadProgress& progress_;
  CSzFile file_;
  bool open_ = false;
  UInt64 at_ = kUnknown;  // the file's position
  UInt32 block_ = 0;
};

/// What the block decoders share: the database, the walk's plan, the writers, the budget.
struct Shared {
  const CSzArEx& db;
  const std::vector<Planned>& plan;
  Writers& writers;
  ReaderAllocators& alloc;
  const WString& archive;
  ReadProgress& progress;
  BlockBudget budget{kDictionaryBudget};
};

/// The blocks the walk hands over, decoded side by side, one a thread (the pool's size: one a
/// core, at most kMaxWorkers), each thread with its own file handle and chunks. Without threads
/// (a pool of none) each block is decoded on the walk's thread when it is handed over.
/// Invariant: a decoder waits only for the budget and for its chunks, which only the writes it
/// queued hold; never for the walk, so Drain always returns.
class BlockDecoders {
 public:
  /// Each decoder's file handle is opened here, on the walk's thread, whatever blocks it will
  /// decode: the system calls an extraction makes do not depend on how threads are scheduled.
  BlockDecoders(Shared& shared, unsigned threads) : shared_(shared) {
    for (unsigned k = 0; k < std::max(threads, 1u); ++k) {
      slots_.push_back(std::make_unique<Slot>(shared_));
      slots_.back()->source.Open();  // a failure is reported by the first block that needs it
    }
    for (unsigned k = 0; k < threads; ++k) {
      try {
        threads_.emplace_back([this, k] { Run(*slots_[k]); });
      } catch (...) {
        break;  // the ones started do the work
      }
    }
  }
  ~BlockDecoders() {
    {
      const std::lock_guard lock(mutex_);
      ending_ = true;
    }
    queued_.notify_all();
    for (Thread& t : threads_) t.join();
  }
  BlockDecoders(const BlockDecoders&) = delete;
  BlockDecoders& operator=(const BlockDecoders&) = delete;

  /// Hands job over; one that cannot be queued (memory refused) fails at its first entry.
  void Add(const BlockJob& job) {
    if (threads_.empty()) {
      Decode(job, *slots_[0]);
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      try {
        jobs_.push_back(job);
      } catch (const std::bad_alloc&) {
        shared_.writers.failure().Record(job.from, kExtractOutOfMemory);
        return;
      }
      ++pending_;
    }
    queued_.notify_one();
  }

  /// Returns once every block handed over has been decoded and its files queued.
  void Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return pending_ == 0; });
  }

 private:
  /// What a decoding thread keeps from block to block. Its chunks outlive the writes queued from
  /// them, however the extraction ends: it waits for the pool before they go.
  struct Slot {
    explicit Slot(Shared& s) : writers(s.writers), source(s.archive, s.progress) {}
    ~Slot() { writers.Drain(); }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    Writers& writers;
    FileSource source;
    Chunks chunks;
  };

  void Run(Slot& slot) {
    std::unique_lock lock(mutex_);
    for (;;) {
      queued_.wait(lock, [&] { return ending_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      const BlockJob job = jobs_.front();
      jobs_.pop_front();
      lock.unlock();
      Decode(job, slot);
      lock.lock();
      if (--pending_ == 0) idle_.notify_all();
    }
  }

  void Decode(const BlockJob& job, Slot& slot) {
    UInt32 at = job.from;
    try {
      DecodeBlock(job, slot, at);
    } catch (const std::bad_alloc&) {
      shared_.writers.failure().Record(at, kExtractOutOfMemory);
    }
    // Read in full, in part or not at all (its files all there), the block counts whole.
    shared_.progress.EndBlock(job.folder);
  }

  /// Decodes block job.folder as far as its last entry planned for writing, and queues the planned
  /// files' pieces as they come. A failure is recorded at the entry being decoded, which at follows
  /// for an exception's.
  void DecodeBlock(const BlockJob& job, Slot& slot, UInt32& at) {
    const CSzArEx& db = shared_.db;
    const UInt32 f = job.folder;
    FirstFailure& failure = shared_.writers.failure();
    // The bytes to decode: up to the end of the last file to write. Files of a block are listed
    // together, in the order of its output; entries without data may lie between them.
    UInt32 first = kNoEntry;
    UInt64 needed = 0;
    UInt64 end = 0;
    for (UInt32 i = db.FolderStartFileIndex[f]; i < job.to; ++i) {
      if (db.FileIndexToFolderIndexMap[i] != f) continue;
      end += db.db.Files[i].Size;
      if (i >= job.from && shared_.plan[i].write) {
        first = std::min(first, i);
        needed = end;
      }
    }
    if (first == kNoEntry || failure.Before(first)) return;
    BlockNeed need;
    if (const SRes res = CheckBlock(db, f, need); res != SZ_OK) return failure.Record(first, res);
    shared_.budget.Take(need.dictionaries);
    const struct Give {
      BlockBudget& budget;
      UInt64 size;
      ~Give() { budget.Give(size); }
    } give{shared_.budget, need.dictionaries};
    if (!slot.source.Open()) {
      const int error = LastSystemError();
      return failure.Record(first, kExtractNotOpened, &shared_.archive, error);
    }
    BlockDecoder decoder;
    if (const SRes res = decoder.Init(db, f, slot.source, shared_.alloc.Decoders()); res != SZ_OK) {
      return failure.Record(first, res);
    }
    slot.source.Reading(f);
    Byte* chunk = nullptr;
    unsigned index = 0;
    size_t used = 0, filled = 0;
    UInt64 decoded = 0;
    UInt64 carved = 0;  // of what was decoded, the bytes given to files
    for (UInt32 i = db.FolderStartFileIndex[f]; i < job.to && carved < needed; ++i) {
      if (db.FileIndexToFolderIndexMap[i] != f) continue;
      if (failure.Before(i)) break;
      at = i;
      const CSzFileItem& item = db.db.Files[i];
      std::shared_ptr<OutFile> out;
      if (i >= job.from && shared_.plan[i].write) {
        try {
          out = std::make_shared<OutFile>(i, shared_.plan[i].path, item);
        } catch (const std::bad_alloc&) {
          failure.Record(i, kExtractOutOfMemory);
          break;
        }
      }
      bool stopped = false;
      bool started = false;  // a piece of it queued
      for (UInt64 left = item.Size; left > 0 && !stopped;) {
        if (used == filled) {
          if (chunk != nullptr) slot.chunks.Release(index);
          chunk = slot.chunks.Take(index);
          if (chunk == nullptr) {
            failure.Record(i, kExtractOutOfMemory);
            stopped = true;
            break;
          }
          size_t got = 0;
          const size_t want = static_cast<size_t>(std::min<UInt64>(Chunks::kSize, needed - decoded));
          SRes res = decoder.Read(chunk, want, got);
          if (res == SZ_OK && got == 0) res = SZ_ERROR_DATA;  // the block ended before its files
          if (res != SZ_OK) {
            failure.Record(i, res);
            stopped = true;
            break;
          }
          used = 0;
          filled = got;
          decoded += got;
        }
        const size_t n = static_cast<size_t>(std::min<UInt64>(left, filled - used));
        if (out != nullptr) {
          slot.chunks.Refer(index);
          if (!shared_.writers.Write(out, {chunk + used, n, &slot.chunks, index, n == left})) {
            started = false;  // its failure recorded and its file removed
            stopped = true;
            break;
          }
          started = true;
        }
        used += n;
        left -= n;
        carved += n;
      }
      if (stopped) {
        if (started) shared_.writers.Write(out, {nullptr, 0, nullptr, 0, true, true});
        break;
      }
    }
    if (chunk != nullptr) slot.chunks.Release(index);
  }

  Shared& shared_;
  Mutex mutex_;
  CondVar queued_;  // a job waits, or the decoders are ending
  CondVar idle_;    // the last pending job is done
  std::deque<BlockJob> jobs_;
  unsigned pending_ = 0;
  bool ending_ = false;
  std::vector<std::unique_ptr<Slot>> slots_;  // one a thread (one without threads)
  std::vector<Thread> threads_;               // last: started once all the above stand
};

/// Where the walk stands: the destination (ending with a separator), the folders made for the
/// previous entry as a name ending with "/", and the files planned in this round. An
/// archive lists the files of a folder together, and making a folder that exists is a failing
/// system call: each level of each entry's path would cost one.
struct Walk {
  WString dest;
  WString made;
  Writers& writers;
  std::deque<HeldFolder>& held;  // every folder written into, checked and held until the writes end
  std::vector<Planned>& plan;
  std::unordered_set<WString> planned;  // the paths of the files planned this round

  /// Checks folder (made or found) by handle and holds it; false for a link, recorded as entry
  /// index's failure: nothing is written through it.
  bool Hold(UInt32 index, const WString& folder) {
    if (held.emplace_back(folder).state() != HeldFolder::State::kLink) return true;
    writers.failure().Record(index, kExtractNotWritten, &folder, LinkRefusedError());
    return false;
  }
  /// Whether path is that of a file planned this round, which may not have been written yet.
  bool IsPlanned(const WString& path) const { return !planned.empty() && planned.count(PathKey(path)) != 0; }
};

enum class Placed { kDone, kFailed, kNextRound };

/// Places entry index (name already checked) under the destination: its parent folders, then the
/// folder itself, or the file planned for its block's decoder (an empty file, whether its block
/// lists it or not, queued for writing at once: a decoder reaches only the files with data). kNextRound, with
/// nothing planned, when it would touch the path of a file planned this round: two writes of one path, or a
/// folder made where a file is still to be written, happen in archive order.
Placed PlaceEntry(Walk& walk, UInt32 index, const WString& name, const CSzFileItem& item, bool hasBlock) {
  // Every parent folder of the entry exists before it is written: those made for the previous
  // entry still do, the others are made here, shortest first.
  const size_t base = walk.dest.size();
  WString full = walk.dest + name;
  const size_t known = CommonLength(walk.made, name);
  for (size_t k = 0; k < name.size(); ++k) {
    if (name[k] == u'/') {
      if (k >= known) {
        const WString parent = full.substr(0, base + k);
        if (walk.IsPlanned(parent)) return Placed::kNextRound;
        MakeDirectory(parent);
        if (!walk.Hold(index, parent)) return Placed::kFailed;
      }
      full[base + k] = kPathSeparator;
    }
  }
  if (walk.IsPlanned(full)) return Placed::kNextRound;
  if (item.IsDir) {
    MakeDirectory(full);
    if (!walk.Hold(index, full)) return Placed::kFailed;
    walk.made = name + u'/';
    return Placed::kDone;
  }
  walk.made.assign(name, 0, name.rfind(u'/') + 1);
  walk.planned.insert(PathKey(full));
  if (hasBlock) {
    walk.plan[index] = {std::move(full), true};
    return Placed::kDone;
  }
  const bool queued = walk.writers.Write(std::make_shared<OutFile>(index, std::move(full), item),
                                         {nullptr, 0, nullptr, 0, true});
  return queued ? Placed::kDone : Placed::kFailed;
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
  UInt64 fileSize = 0;
  if (progress != nullptr && File_GetLength(&d.archive.file, &fileSize) != 0) fileSize = 0;
  ILookInStream* stream = d.Attach();
  if (const SRes res = OpenArchiveDatabase(&d.db, stream, d.alloc); res != SZ_OK) return res;
  File_Close(&d.archive.file);  // the decoders read the archive through handles of their own

  if (failure != nullptr) {
    failure->unpackedSize = 0;
    for (UInt32 i = 0; i < d.db.db.NumFiles; ++i) failure->unpackedSize += d.db.db.Files[i].Size;
  }
  // The database has been read: everything but the blocks' pack streams.
  ReadProgress read(progress, fileSize, d.db);
  UInt64 packed = 0;
  for (UInt32 k = 0; k < d.db.db.NumPackStreams; ++k) packed += d.db.db.PackSizes[k];
  read.Add(fileSize - std::min(fileSize, packed));

  std::deque<HeldFolder> held;  // released only once the writes have ended
  std::vector<Planned> plan(d.db.db.NumFiles);
  Sameness sameness(d.db, there);  // before the writers, whose pool runs its checks
  Writers writers;
  sameness.Start(writers);
  Shared shared{d.db, plan, writers, d.alloc, archive, read};
  const unsigned threads = WorkerCount() == 0 ? 0 : std::min(WorkerCount(), d.db.db.NumFolders);
  BlockDecoders decoders(shared, threads);
  Walk walk{std::move(dest), {}, writers, held, plan, {}};
  // Each entry: decide (its name sound, its file already there?) and place. A block goes to the
  // decoders once the walk has left it. The walk goes in rounds: an entry that would touch the path
  // of a file planned in this round waits for the round's blocks to be decoded and written, and
  // starts the next (a block met in two rounds is decoded in each, as far as each needs).
  UInt32 open = kNoFolder;  // the block the walk is in, since entry from
  UInt32 from = 0;
  const auto handOver = [&](UInt32 to) {
    if (open != kNoFolder) decoders.Add({open, from, to});
    open = kNoFolder;
  };
  for (UInt32 i = 0; i < d.db.db.NumFiles && !writers.failure().Any();) {
    // Memory refused on the walk fails the entry it is at; the blocks handed over are decoded and
    // written as far as the entries before it, as after any failure.
    try {
      const CSzFileItem& item = d.db.db.Files[i];
      WString name;
      if (const int code = EntryName(d, i, name); code != kExtractOk) {
        writers.failure().Record(i, code);
        break;
      }
      // The block an entry's data comes from; an empty file has none to wait for, even one that a
      // block lists (as 7-Zip never writes, but a reader takes).
      const UInt32 folder = item.IsDir || item.Size == 0 ? kNoFolder : d.db.FileIndexToFolderIndexMap[i];
      if (folder != kNoFolder && folder != open) {
        handOver(i);
        // A block the decoders could not decode fails at its first entry, before anything of it is
        // made.
        if (BlockNeed need; !sameness.FolderKept(folder)) {
          if (const SRes res = CheckBlock(d.db, folder, need); res != SZ_OK) {
            writers.failure().Record(i, res);
            break;
          }
        }
        open = folder;
        from = i;
      }
      if (there != nullptr && !item.IsDir && SamePath(name, there->never)) {  // not wanted
        ++i;
        continue;
      }
      if (folder != kNoFolder && (sameness.FolderKept(folder) || sameness.Kept(i))) {
        there->kept.push_back({name, item.AttribDefined != 0, item.Attrib});
        ++i;
        continue;  // nothing of it written; nothing decoded of a folder that is all there
      }
      if (item.IsDir && there != nullptr && IsFolder(EntryPath(there->base, name))) {
        there->kept.push_back({name, false, 0, true});
        ++i;
        continue;  // a folder that is there needs no twin in the destination
      }
      const Placed placed = PlaceEntry(walk, i, name, item, folder != kNoFolder);
      if (placed == Placed::kNextRound) {
        const UInt32 resume = open;
        handOver(i);
        decoders.Drain();
        writers.Drain();
        walk.planned.clear();
        if (resume != kNoFolder) {
          open = resume;
          from = i;
        }
        continue;  // the same entry, in the new round
      }
      ++i;
    } catch (const std::bad_alloc&) {
      writers.failure().Record(i, kExtractOutOfMemory);
      break;
    }
  }
  handOver(d.db.db.NumFiles);
  decoders.Drain();
  read.EndAll();  // the blocks no job was made for: those of empty files alone, or after a failure
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
