#include "app/install.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/framework.h"
#include "payload/extract.h"
#include "payload/stage.h"
#include "platform/path_key.h"
#include "shell/shortcut.h"

namespace zyv {
namespace {

WString Decimal(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  return WString(digits.begin(), digits.end());
}

/// Whole megabytes, rounded up: "needs about 1 MB" rather than "0 MB" for a small remainder.
WString Megabytes(std::uint64_t bytes) { return Decimal((bytes + (1u << 20) - 1) >> 20); }

/// The failure's cause in words, and what the user can do about it; empty when there is nothing to say.
WString FailureReason(int result, const ExtractFailure& cause, const WString& base) {
  switch (cause.kind) {
    case FailureKind::kUsersInFolder:
      return kFolderText + cause.path + kUsersInFolderText;
    case FailureKind::kUsersFile:
      return kFileText + cause.path + kUsersFileText;
    case FailureKind::kUnfinished:
      return kUnfinishedText + cause.path + kUnfinishedReasonText +
             (cause.systemError != 0 ? SystemErrorText(cause.systemError) : WString()) + kUnfinishedEndText;
    case FailureKind::kSystem:
      break;
  }
  switch (result) {
    case kNoInstallBase:
      return kNoInstallBaseText;
    case kLinkRefused:
      return kLinkPathText + cause.path + kLinkText;
    case kExtractOutOfMemory:
      return kOutOfMemoryText;
    case kExtractNotOpened:
    case kExtractNotWritten:
      break;
    default:
      return kDamagedText;  // a checksum, a method, a header: the archive itself is not right
  }
  // Without a system error, 1 is the decoder's data error: the archive again.
  if (cause.systemError == 0) return result == kExtractNotOpened ? WString(kDamagedText) : WString();
  switch (ClassifySystemError(cause.systemError)) {
    case ErrorKind::kDiskFull:
      return kDiskFullText + Megabytes(cause.unpackedSize) + kDiskFreeText +
             Megabytes(base.empty() ? 0 : FreeDiskSpace(base)) + kDiskFullEndText;
    case ErrorKind::kInUse:
      return kFileText + cause.path + kInUseText;
    case ErrorKind::kAccessDenied:
      return kFileText + cause.path + kAccessDeniedText;
    case ErrorKind::kOutOfMemory:
      return kOutOfMemoryText;
    case ErrorKind::kLink:
      return kLinkPathText + cause.path + kLinkText;
    case ErrorKind::kOther:
      break;
  }
  return kFileText + cause.path + kNotWrittenText + SystemErrorText(cause.systemError);
}

/// Whether the volume under base lacks the room the run needs: its staging file, and the files it
/// will write, beside the installation they replace (the commit only renames). A file already there
/// with its entry's size is most likely one the run keeps, and needs none (should it be written
/// after all, a full disk fails the run as any other write does, and the installation stays as it
/// was); where the user's settings stay, the payload's copy is not written either. A stale staging
/// file, replaced by this run's, counts as free. A size the header or the system cannot give
/// refuses nothing; the writes would then say.
bool ShortOfRoom(const WString& base, ExtractFailure& cause) {
  const std::span<const unsigned char> payload = EmbeddedPayload();
  std::vector<ArchivedFile> files;
  if (payload.empty() || !ArchiveFiles(payload, files)) return false;
  std::uint64_t free = FreeDiskSpace(base);
  if (free == 0) return false;
  if (std::uint64_t stale = 0; FileSizeOf(base + kStagingName, stale)) free += stale;
  // Room for everything: nothing to look at on the disk.
  std::uint64_t needed = payload.size();
  for (const ArchivedFile& f : files) needed += f.size;
  if (free >= needed) return false;
  needed = payload.size();
  const bool settings_stay = PathExists(ConfigPath(base));
  for (const ArchivedFile& f : files) {
    std::uint64_t size = 0;
    if ((settings_stay && SamePath(f.name, ConfigEntry())) ||
        (FileSizeOf(EntryPath(base, f.name), size) && size == f.size)) {
      continue;
    }
    needed += f.size;
  }
  if (free >= needed) return false;
  cause = {InstallFolder(base), DiskFullError(), needed};
  return true;
}

/// A path under the staging root as the user knows it: where the file was to be installed.
WString AsInstalled(const WString& path, const WString& staging_root, const WString& base) {
  return path.starts_with(staging_root) ? base + path.substr(staging_root.size()) : path;
}

}  // namespace

WString ResultText(int result, const ExtractFailure& cause, const WString& base) {
  if (result == 0) return kCompletedText;
  WString text = kFailedText + Decimal(static_cast<std::uint64_t>(result));
  if (const WString reason = FailureReason(result, cause, base); !reason.empty()) text += u'\n' + reason;
  return text;
}

int UnpackPayload(const WString& base, const InstallState& state, StageFunction stage, ExtractFailure* cause,
                  ProgressSink* progress) {
  if (stage == nullptr) stage = StagePayload;
  ExtractFailure ignored;
  if (cause == nullptr) cause = &ignored;
  if (!PathExists(base)) MakeDirectory(base);
  const LinkGuard guard(base);
  if (ShortOfRoom(base, *cause)) return kExtractNotWritten;
  Transaction transaction(base, state, cause);
  if (!transaction.Begun()) return kExtractNotWritten;

  const WString staging = base + kStagingName;
  // A staging file that was not written completely (or a stale one that could not be replaced) is
  // not extracted: it would install something other than this program's payload.
  // What the installation holds already, byte for byte, is left out; the settings keep their own
  // rules: the payload's copy is unpacked when the commit may need it, else not at all.
  AlreadyThere there{base, {}, {}, {}};
  (transaction.WantsPayloadSettings() ? there.always : there.never) = ConfigEntry();
  int result = kExtractNotOpened;
  if (stage(staging) == kPayloadStaged) {
    result = ExtractArchive(transaction.StagingRoot(), staging, cause, progress, &there);
  } else {
    // The staging file's own failure (a full disk, most often): the archive needs its room.
    *cause = {staging, LastSystemError(), EmbeddedPayload().size()};
  }
  RemoveFile(staging);
  result = result == kExtractOk ? transaction.Commit(there.kept, cause) : (transaction.Abandon(), result);
  cause->path = AsInstalled(cause->path, transaction.StagingRoot(), base);
  // A link met on the way (planted while this run worked) stopped it as one found before would.
  if ((result == kExtractNotOpened || result == kExtractNotWritten) && cause->kind == FailureKind::kSystem &&
      ClassifySystemError(cause->systemError) == ErrorKind::kLink) {
    result = kLinkRefused;
  }
  return result;
}

void RunInstall(WString base) {
  // The installer runs elevated in a folder that every process of the user may change: a link
  // planted where it writes would carry its writes wherever it leads. Found, the run stops before
  // it changes anything, and no program is started from behind the link.
  WString link = FindRefusedLink(InstallFolder(base));
  if (link.empty()) link = FindRefusedLink(base + kStagingName);
  if (!PathExists(base)) MakeDirectory(base);
  // From here on nothing below the base is reached through a link, whenever one is planted.
  const LinkGuard guard(base);
  std::optional<HeldFolder> held;
  if (link.empty()) {
    // The folder must exist to be claimed; it is the first thing an installation makes anyway.
    MakeDirectory(InstallFolder(base));
    // Checked again by handle now that it exists, and held, so it stays the folder checked.
    held.emplace(InstallFolder(base));
    if (held->state() == HeldFolder::State::kLink) link = InstallFolder(base);
  }
  if (!link.empty()) {
    AfxMessageBox(ResultText(kLinkRefused, {link}), kMessageBoxOk, 0);
    return;
  }
  const FolderLock lock(InstallFolder(base));
  // Another installer is at work here (a double-click started two): this one leaves it alone, and
  // that one's message is the user's answer.
  if (lock.state() == FolderLock::State::kBusy) return;

  // Where the user's settings are, then what a stopped run left finished or undone. (A running
  // Kelvora is asked to close only once the commit knows which of its files it replaces.)
  InstallState state = ReadInstallState(base);
  ExtractFailure cause;
  if (!RecoverInstallFolder(base, state, &cause)) {
    // A stopped run's commit that can be neither finished nor undone: its record and the old files
    // it put aside stay for the next run, and nothing begins over them. The installation is part
    // old, part new: no program is started from it, and no shortcut written to it.
    AfxMessageBox(ResultText(kExtractNotWritten, cause, base), kMessageBoxOk, 0);
    return;
  }
  int result = 0;
  cause = {};  // what the recovery met, and undid, is no cause of this run's
  // The unpacking on a worker thread, with a sign of life should it take a while; the message box
  // and the program's start stay after it, on this thread.
  RunShowingProgress(kProductName, kInstallingText, [&](ProgressSink& progress) {
    result = UnpackPayload(base, state, nullptr, &cause, &progress);
  });
  // A commit whose undoing failed leaves the installation part old, part new until the next run
  // finishes it: nothing is started from it meanwhile.
  const bool whole = cause.kind != FailureKind::kUnfinished;
  if (whole) {
    CreateDesktopShortcut(base);
    CreateMenuEntry(base);
  }
  AfxMessageBox(ResultText(result, cause, base), kMessageBoxOk, 0);
  const WString folder = InstallFolder(base);
  if (whole) ShellOpen(u"open", folder + kPathSeparator + kProgramName, u"", folder, kShowNormal);
}

}  // namespace zyv
