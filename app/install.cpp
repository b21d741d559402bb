#include "app/install.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/framework.h"
#include "payload/extract.h"
#include "payload/stage.h"
#include "shell/shortcut.h"

namespace zyv {
namespace {

/// Path fragments whose existing files extraction leaves alone. Nothing adds to it: every file of
/// the payload is written.
const std::vector<WString> g_keep_list;

/// The installer's own file name, without its folder.
WString InstallerName() {
  WString installer = ModuleFileName();
  if (const auto separator = installer.rfind(kPathSeparator); separator != WString::npos) {
    installer.erase(0, separator + 1);
  }
  return installer;
}

WString Decimal(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  return WString(digits.begin(), digits.end());
}

/// Whole megabytes, rounded up: "needs about 1 MB" rather than "0 MB" for a small remainder.
WString Megabytes(std::uint64_t bytes) { return Decimal((bytes + (1u << 20) - 1) >> 20); }

/// The failure's cause in words, and what the user can do about it; empty when there is nothing to say.
WString FailureReason(int result, const ExtractFailure& cause, const WString& base) {
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

}  // namespace

WString ResultText(int result, const ExtractFailure& cause, const WString& base) {
  if (result == 0) return kCompletedText;
  WString text = kFailedText + Decimal(static_cast<std::uint64_t>(result));
  if (const WString reason = FailureReason(result, cause, base); !reason.empty()) text += u'\n' + reason;
  return text;
}

bool BackupConfig(const WString& base, InstallState& state) {
  switch (state.settings) {
    case SettingsPlace::kNone:
      // A record that this is a first installation, so that an interrupted one is finished as one.
      RecordInstallState(base, state);
      return false;
    case SettingsPlace::kBackup:
      // An interrupted run moved the user's file aside and its marker says so: nothing to move.
      return true;
    case SettingsPlace::kConfig:
      break;
  }
  // The marker first: a run stopped right after the move must find the file's record. Without a
  // record, or should the move fail, the file stays where it is and extraction goes round it.
  if (RecordInstallState(base, state) && ReplaceFileAtomically(ConfigPath(base), BackupPath(base))) {
    state.settings = SettingsPlace::kBackup;
  } else {
    state.kept_in_place = true;
  }
  return true;
}

int UnpackPayload(const WString& base, const InstallState& state, StageFunction stage, ExtractFailure* cause,
                  ProgressSink* progress) {
  if (stage == nullptr) stage = StagePayload;
  ExtractFailure ignored;
  if (cause == nullptr) cause = &ignored;
  if (!PathExists(base)) MakeDirectory(base);
  const WString staging = base + kStagingName;
  const WString config = ConfigPath(base);

  std::vector<WString> keep = g_keep_list;
  if (state.kept_in_place) keep.push_back(config);
  // A staging file that was not written completely (or a stale one that could not be replaced) is
  // not extracted: it would install something other than this program's payload.
  int result = kExtractNotOpened;
  if (stage(staging) == kPayloadStaged) {
    result = ExtractArchive(base, staging, std::move(keep), cause, progress);
  } else {
    // The staging file's own failure (a full disk, most often): the archive needs its room.
    *cause = {staging, LastSystemError(), EmbeddedPayload().size()};
  }
  RemoveFile(staging);
  // A link met on the way (planted while this run worked) stopped it as one found before would.
  if ((result == kExtractNotOpened || result == kExtractNotWritten) &&
      ClassifySystemError(cause->systemError) == ErrorKind::kLink) {
    result = kLinkRefused;
  }

  bool settled = true;
  switch (state.settings) {
    case SettingsPlace::kBackup:
      // Moved over the payload's copy in one step. Should it fail, the marker stays and the next
      // run finds the user's file by its record.
      settled = ReplaceFileAtomically(BackupPath(base), config);
      break;
    case SettingsPlace::kConfig:
      break;  // kept in place, untouched by the extraction
    case SettingsPlace::kNone:
      if (result == 0) {
        WriteIniValue(kSettingsSection, kInstallerKey, InstallerName(), config);
      } else {
        // No stub: a settings file holding only the key, or a part of the payload's, would pass for
        // the user's at the next run and keep the product's defaults out for good.
        RemoveFile(config);
      }
      break;
  }
  if (settled) ClearInstallState(base);
  return result;
}

void RunInstall(WString base) {
  // The installer runs elevated in a folder that every process of the user may change: a link
  // planted where it writes would carry its writes wherever it leads. Found, the run stops before
  // it changes anything, and no program is started from behind the link.
  WString link = FindRefusedLink(InstallFolder(base));
  if (link.empty()) link = FindRefusedLink(base + kStagingName);
  std::optional<HeldFolder> held;
  if (link.empty()) {
    // The folder must exist to be claimed; it is the first thing an installation makes anyway.
    if (!PathExists(base)) MakeDirectory(base);
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

  // An update over a running Kelvora: it is asked to close (and started again at the end anyway)
  // before its settings are read, since a program may well save them as it closes.
  AskHoldersToClose(InstallFolder(base));
  RemoveMovedAside(InstallFolder(base));
  InstallState state = ReadInstallState(base);
  BackupConfig(base, state);
  ExtractFailure cause;
  int result = 0;
  // The unpacking on a worker thread, with a sign of life should it take a while; the message box
  // and the program's start stay after it, on this thread.
  RunShowingProgress(kProductName, kInstallingText, [&](ProgressSink& progress) {
    result = UnpackPayload(base, state, nullptr, &cause, &progress);
  });
  CreateDesktopShortcut(base);
  AfxMessageBox(ResultText(result, cause, base), kMessageBoxOk, 0);
  const WString folder = InstallFolder(base);
  ShellOpen(u"open", folder + kPathSeparator + kProgramName, u"", folder, kShowNormal);
}

}  // namespace zyv
