// Unpacking a 7z archive file into a folder tree.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/platform.h"

namespace zyv {

/// ExtractArchive's results the installer names; any other is the LZMA SDK's own code from the
/// decoder (3 a checksum mismatch, 4 an unsupported coder, 6 an archive cut short, ...).
inline constexpr int kExtractOk = 0;
inline constexpr int kExtractNotOpened = 1;    ///< the archive file could not be opened
inline constexpr int kExtractOutOfMemory = 2;  ///< includes an allocation beyond the reader's cap
inline constexpr int kExtractNotWritten = 11;  ///< an output file could not be created or written
inline constexpr int kExtractRefused = 16;     ///< a header or an entry name the installer refuses

/// What a failure concerns, beyond the system's error, for the message that names it.
enum class FailureKind {
  kSystem,         ///< an operation on path failed, with systemError as the system's reason
  kUsersInFolder,  ///< path is a folder where the new tree has a file, and holds what the
                   ///< installation never installed (the user's): it is not moved
  kUsersFile,      ///< path is a file where the new tree has a folder, which the installation
                   ///< never installed (the user's): it is not moved
  kUnfinished,     ///< an earlier run's commit could be neither finished nor undone; path (and
                   ///< systemError) say what stopped it, and its aside folder keeps the old files
};

/// Why a file operation failed: the path and the system's error (0 when the system gave none).
struct ExtractFailure {
  WString path;
  int systemError = 0;
  /// The sum of the archive's file sizes, once its header has been read: the room an installation
  /// needs, for a message about a full disk.
  std::uint64_t unpackedSize = 0;
  FailureKind kind = FailureKind::kSystem;
};

/// An entry ExtractArchive found already there, and left out.
struct KeptEntry {
  WString name;  ///< as the archive names it, "/" between names
  bool attribDefined = false;
  std::uint32_t attrib = 0;
  bool folder = false;  ///< a folder entry whose folder is there
};

/// Asks ExtractArchive to leave out what is already there: an entry whose file under base (ending
/// with a separator) is a regular file, never a link, with the entry's size and CRC is not written,
/// and a solid block whose files all are is not even decoded. An entry without a CRC, and the one
/// named always, are always written; a folder entry whose folder is there is not made again.
/// The entry named never is not wanted at all: never written, whatever is there, and counted as
/// there for its block. kept receives the entries left out, in archive order, never's aside.
struct AlreadyThere {
  WString base;
  WString always;
  WString never;
  std::vector<KeptEntry> kept;
};

/// Unpacks archive into destination (a separator is appended when missing). Returns kExtractOk, or the
/// first failure: kExtractNotOpened, kExtractOutOfMemory, kExtractNotWritten, kExtractRefused (an
/// unsound header, an entry without a name or whose name would land outside the destination:
/// absolute, drive, "..", and on Windows any colon), or the decoder's own code. Entries before the
/// failing one stay. For kExtractNotOpened and kExtractNotWritten, failure (when given) receives
/// the archive's or the output file's path and the system's error.
/// Its blocks are streamed (block_decoder.h): decoded side by side by WorkerCount() threads (with
/// none, on this thread, one after the other), as many at once as their dictionaries fit in
/// kDictionaryBudget, each handing its files' bytes as they come to the worker pool, which writes
/// them and checks each file's CRC; all files are closed before it returns. With several failures
/// the result is the one that comes first in the archive, and a file that fails its CRC, or whose
/// block fails before its end, is removed. Of the entries after the first failure, only files
/// whose writes had begun when it happened may have been written (a write never starts 16 writes
/// ahead of an unfinished one, and blocks decoded beside the failing one end at their next file).
/// Nothing is written through a link below destination where the system does not follow one
/// (Windows, see platform.h): every folder written into is checked by handle once made and held
/// until the writes end, every file opened without following a link at its name; a link met fails
/// its entry with kExtractNotWritten, its path and LinkRefusedError().
/// With progress, reading is reported as it goes: the bytes of the archive file read so far, of its
/// size (a solid folder's share moves while it is decoded, not only between files).
/// With there, what is already there under there->base is left out (see AlreadyThere); the files
/// are read and checked on the worker pool ahead of the walk.
int ExtractArchive(const WString& destination, const WString& archive, ExtractFailure* failure = nullptr,
                   ProgressSink* progress = nullptr, AlreadyThere* there = nullptr);

/// A file an archive lists: its name ("/" between names) and size.
struct ArchivedFile {
  WString name;
  std::uint64_t size = 0;
};

/// The files that archive (held in memory) lists, read from its header alone: what its extraction
/// writes. False when the header cannot be read.
bool ArchiveFiles(std::span<const unsigned char> archive, std::vector<ArchivedFile>& files);

/// Creates every folder of path, shortest first; true when the deepest creation succeeded.
bool CreateDirectoryChain(const WString& path);

/// The path of an archive entry (its name, "/" between names) under root, in the system's form.
WString EntryPath(const WString& root, const WString& name);

}  // namespace zyv
