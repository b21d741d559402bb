// The operating-system operations the install logic stands on. One declaration here, one
// implementation per system under platform/win32/ and platform/posix/; CMake picks the folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/path_key.h"

namespace zyv {

/// UTF-16 path or text, the form the system's paths and the archive's names come in.
using WString = std::u16string;

#ifdef _WIN32
inline constexpr char16_t kPathSeparator = u'\\';
#else
inline constexpr char16_t kPathSeparator = u'/';
#endif

/// Shell folder identifiers (the Windows CSIDL values; the POSIX build maps them to XDG folders).
inline constexpr int kCsidlDesktop = 0x00;
inline constexpr int kCsidlLocalAppData = 0x1C;

/// ShowWindow code passed to ShellOpen.
inline constexpr int kShowNormal = 5;  // SW_SHOW

/// The folder's path as the shell gives it, without a trailing separator; empty when the lookup fails.
WString KnownFolderPath(int csidl);

/// True when something (file or directory) exists at path.
bool PathExists(const WString& path);

/// True when path is a folder itself: not a file, nor a link or other reparse point to a folder.
bool IsFolder(const WString& path);

/// The size of the regular file at path (not a folder, not a link or other reparse point); false
/// when there is none.
bool FileSizeOf(const WString& path, std::uint64_t& size);

/// Creates one directory level. False when it was not created, including when it already existed.
bool MakeDirectory(const WString& path);

/// Deletes a file. False when nothing was deleted. Windows: a link at path is not deleted, nor what
/// it leads to (LinkRefusedError()).
bool RemoveFile(const WString& path);

/// Renames a file or a folder to a path where nothing is, on the same volume; never replaces, never
/// follows a link at either path (POSIX renames a link itself; Windows refuses one at from, with
/// LinkRefusedError()) and does not flush. Windows retries for a
/// moment while the file is held (a virus scanner reading a file just written). False when nothing
/// was renamed, with the system's reason as the last error.
bool RenameFile(const WString& from, const WString& to);

/// Removes an empty folder. False when nothing was removed (not empty, missing, a file).
bool RemoveFolder(const WString& path);

/// One name in a folder. A link, a junction or any other reparse point counts as a file: a walk
/// never follows it, and removing it removes the link alone.
struct FolderEntry {
  WString name;
  bool folder = false;
};

/// The names in folder, without "." and "..", in no particular order. False when it cannot be read.
bool ListFolder(const WString& folder, std::vector<FolderEntry>& entries);

/// Makes what was written and renamed on the volume that holds path durable, as far as the system
/// lets a program: a crash after it returns finds every change made before it. Best effort.
void FlushVolume(const WString& path);

/// Moves a file over another in one atomic replacing step (the target may or may not exist), flushed
/// before it returns. False when the move did not happen; the target is then untouched. Windows: a
/// link at from is not moved (LinkRefusedError()); one at to is replaced, never followed.
bool ReplaceFileAtomically(const WString& from, const WString& to);

// Links. The installer runs elevated but works under Local Application Data, which every process of
// the user may change: a link planted there would turn its writes into writes wherever the link
// leads. On Windows no operation below the install base follows a reparse point (junction, symbolic
// link, mount point), whenever it is planted, at whatever depth. The mechanism (platform/win32/
// no_follow.h): while a LinkGuard on the install base lives, every operation that creates, writes,
// reads, lists, renames, deletes or changes the attributes of something below it is made relative to a
// handle of the folder that holds it (NtCreateFile with a root directory, a rename with a root
// handle), never by a path; that folder's handle was itself reached from the base one name at a time
// the same way, each name opened without following a reparse point and judged by its handle, and is
// held (delete not shared) until the guard ends or the installer itself renames or removes it. So
// no folder on the way can be swapped for a link between a check and a use. Local Application Data
// itself, the guard's root, may be a link (folder redirection). A link met fails its operation with
// LinkRefusedError(). Only the questions whether something is there, and what (PathExists, IsFolder,
// FileSizeOf), go by path: they decide, and what they decide is done through handles. Paths outside a guard
// (the desktop) are resolved by the system as given, only their last name judged. On POSIX links are followed
// where a user placed them (the installer runs as that user); only the staging file is never written through
// one (payload/staging_file.h).

/// The system error with which an operation stops at a link it will not follow (Windows:
/// ERROR_REPARSE_POINT_ENCOUNTERED, which ClassifySystemError calls kLink; POSIX: ELOOP).
int LinkRefusedError();

/// The first link the installer will not follow found at path or, when path is a folder, anywhere
/// under it (links are looked at, never entered); empty when there is none or nothing is at path.
/// Changes nothing. Windows: a reparse point, or a name whose handle is not that name's (how Wine
/// shows a Unix symbolic link). POSIX: always empty.
WString FindRefusedLink(const WString& path);

/// Guards every operation below root, an existing folder, from construction to destruction (see
/// above). One root at a time in a process: a guard made while another lives adds nothing (for the
/// same root it is the same guard, and the handles are let go when the outer one ends). POSIX: no-op.
class LinkGuard {
 public:
  explicit LinkGuard(const WString& root);
  ~LinkGuard();
  LinkGuard(const LinkGuard&) = delete;
  LinkGuard& operator=(const LinkGuard&) = delete;

 private:
  [[maybe_unused]] bool active_ = false;
};

/// A folder the installer writes into, checked by handle without following a link, and held from
/// construction to destruction: while held it cannot be renamed, moved or deleted (Windows: the
/// handle does not share deletion). Below a LinkGuard's root it is reached as every folder there is,
/// and held by the guard as well. Check it once it exists: a folder the installer makes is checked
/// after it is made, not before. POSIX: looked up only (links followed there), nothing held.
class HeldFolder {
 public:
  enum class State {
    kHeld,       ///< a real folder, held
    kLink,       ///< a link (Windows): nothing held, nothing is to be written through it
    kNotFolder,  ///< nothing there, a file, or it could not be opened: nothing held
  };
  explicit HeldFolder(const WString& path);
  ~HeldFolder();
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;

  State state() const { return state_; }

 private:
  std::shared_ptr<void> folder_;  // the folder's handle (Windows only)
  State state_ = State::kNotFolder;
};

/// Reads a whole regular file into bytes. False when it cannot be read (missing, a folder, an error).
bool ReadWholeFile(const WString& path, std::string& bytes);

/// Writes bytes to path in one atomic replacing step (a temporary file beside it, flushed, then moved
/// over it): whatever happens, path holds its old contents or all of the new. False when path was
/// not replaced. Windows: nothing is written through a link at the temporary name.
bool WriteFileReplacing(const WString& path, std::string_view bytes);

/// An exclusive claim on one folder, held from construction until destruction or until the process
/// ends, however it ends: two processes of the user never hold it at once. Windows: a named mutex in
/// the user's session; POSIX: an flock on the folder, which must exist.
class FolderLock {
 public:
  enum class State {
    kHeld,         ///< this process holds the claim
    kBusy,         ///< another process holds it
    kUnavailable,  ///< the system could not say (no such folder, no lock support): nothing is held
  };
  explicit FolderLock(const WString& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  State state() const { return state_; }

 private:
  std::intptr_t handle_ = -1;
  State state_ = State::kUnavailable;
};

/// The running program's full path; empty when it cannot be found.
WString ModuleFileName();

/// Sets key=value in [section] of an INI file, creating the file and the section when missing and
/// replacing an existing value in place. Section and key match case-insensitively. Windows: a link
/// at file is not written through (false).
bool WriteIniValue(const WString& section, const WString& key, const WString& value, const WString& file);

/// Starts a program through the shell, without waiting for it. True when it was started; otherwise
/// the system's reason is the thread's last error (errno, GetLastError).
bool ShellOpen(const WString& verb, const WString& file, const WString& params, const WString& dir, int show);

/// Shows text to the user with an OK button and waits until it is dismissed. No owner window. POSIX:
/// the text on standard output, and a dialog as well when started from a desktop session.
void ShowMessage(const WString& text, const WString& caption);

/// The process's file-creation mask (the POSIX umask; 0 on Windows, which has none). Reading it may
/// mean setting it for a moment, so it is read once, before any thread that creates files starts,
/// and handed to every ApplyFileAttributes call.
std::uint32_t FileCreationMask();

/// Applies the attribute word stored in an archive to a written file. Windows: the value as it
/// stands. POSIX: with the 0x8000 extension bit the high 16 bits are a mode whose permission bits
/// apply, less those in creationMask (from FileCreationMask); the read-only bit (0x1) clears the
/// write bits. A file that has them already is not changed. False when the system refused.
bool ApplyFileAttributes(const WString& path, std::uint32_t attrib, std::uint32_t creationMask);

/// Asks the system to back a large block that is about to be written end to end with large pages:
/// far fewer page faults while it fills, and fewer address-translation misses for a decoder that
/// reads back across it. Only advice: the block's contents and lifetime are unchanged, and a system
/// that declines (or has no such pages) simply keeps small ones.
void PreferLargePages(void* block, std::size_t size);

/// Registers the common-controls window classes named by classes (ICC_* bits); size is the
/// initialisation record's size field. No-op where there are no common controls.
bool InitCommonControlsClasses(std::uint32_t size, std::uint32_t classes);

/// Restricts where libraries loaded at run time are searched for to the system folder: never the
/// program's own folder or the current one, where a DLL planted beside an elevated installer would
/// otherwise be loaded. Called first thing in the entry point. No-op (true) where not applicable.
bool HardenDllSearch();

/// The calling thread's last system error (errno on POSIX, GetLastError on Windows), read at once
/// after the failing call.
int LastSystemError();

/// The system's own text for error (strerror, FormatMessageW), without a trailing line break.
WString SystemErrorText(int error);

/// What a system error means to someone who has to act on it.
enum class ErrorKind { kOther, kDiskFull, kAccessDenied, kInUse, kOutOfMemory, kLink };
ErrorKind ClassifySystemError(int error);

/// The system's error for a volume without room (ENOSPC, ERROR_DISK_FULL), for a shortage found
/// before any write.
int DiskFullError();

/// Bytes this user may still write on the volume that holds path (an existing folder); 0 when the
/// system cannot say.
std::uint64_t FreeDiskSpace(const WString& path);

/// Where long work reports how far it has come: done of total units. Called from the work's thread,
/// often; cheap.
class ProgressSink {
 public:
  virtual void Report(std::uint64_t done, std::uint64_t total) = 0;

 protected:
  ~ProgressSink() = default;
};

/// Runs work on a thread of its own while this thread keeps the user informed, and returns once work
/// has returned. Work that lasts longer than about half a second gets a sign of life: on Windows a
/// small window with caption, text and a progress bar filled from work's reports, which asks
/// nothing, cannot be closed and is gone before this returns (this thread pumps its messages
/// meanwhile, so it never shows as not responding); on POSIX a progress line on standard error when
/// that is a terminal, else, started from a desktop session, zenity's progress window, also gone
/// before this returns. Shorter work shows nothing.
void RunShowingProgress(const WString& caption, const WString& text,
                        const std::function<void(ProgressSink&)>& work);

/// A program that holds a file an update replaces, as the system lists it.
struct FileHolder {
  enum class Kind { kWindowed, kConsole, kService, kShell, kCritical, kUnknown };
  Kind kind = Kind::kUnknown;
  WString image;  ///< its program file's full path; empty when the system would not say
};

/// Whether the holders may be asked to close: only when every one of them is a program of the
/// installation's own (its image inside folder) with a window or a console. A service, the shell
/// (Explorer, which a preview or a thumbnail of a file makes a holder), a critical process, or a
/// program that cannot be told, is never asked to close, and then none is: the update goes on with
/// its files in use (moved aside, deleted later). style: how folder's names compare.
bool MayAskToClose(const std::vector<FileHolder>& holders, const WString& folder,
                   PathStyle style = kNativePathStyle);

/// Asks the programs that hold any of files open to close, without forcing them (Windows' Restart
/// Manager, as installers do before replacing files), when MayAskToClose allows it for folder, the
/// install folder. True when, as far as the system can tell, nothing holds them any more. Nothing to
/// ask where a running program's files can be replaced under it (true).
bool AskHoldersToClose(const std::vector<WString>& files, const WString& folder);

/// Registers the running program with the system's restart manager (RESTART_* flags in flags).
/// No-op where there is no restart manager.
bool RegisterForRestart(std::uint32_t flags);

}  // namespace zyv
