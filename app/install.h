// The install sequence and its steps.
#pragma once

#include "app/install_state.h"
#include "app/transaction.h"
#include "payload/extract.h"
#include "platform/platform.h"
#include "platform/product_names.h"

namespace zyv {

/// Shown with the failure text when the Local Application Data folder cannot be found: nothing is
/// installed, since every path would otherwise be relative to the root of the drive. The other codes
/// are the extraction's.
inline constexpr int kNoInstallBase = 20;

/// Shown with the failure text when a link that the installer will not follow (Windows: a junction,
/// symbolic link or mount point) is found where it writes under Local Application Data: at the
/// install folder or anything in it, or at the staging file. Found before the run changes anything,
/// nothing is installed, no shortcut written and no program started; met later (one planted while
/// the run works), nothing is written through it. The cause's path names the link.
inline constexpr int kLinkRefused = 21;

/// The message that ends an installation: completion, or the failure with its code and, on a second
/// line, its cause (cause's path and system error, where there was one) and what to do about it.
WString ResultText(int result, const ExtractFailure& cause = {}, const WString& base = {});

/// Runs the whole installation into the install base (Local Application Data + separator). Leaves
/// at once, touching nothing, when another installer is working on the same install folder, and
/// stops with kLinkRefused, touching nothing, when a link is where it would write.
void RunInstall(WString base);

/// Writes the archive to the staging path; 1 when it was written completely (StagePayload's contract).
using StageFunction = int (*)(const WString& path);

/// Stages the payload, unpacks it into the run's staging folder, removes the staging file and
/// commits the new tree into the install folder under base as one transaction (app/transaction.h):
/// on any failure the installation stays as it was. config.ini: the user's file stays; on a first
/// installation the payload's copy records the installer's file name. Before anything is written,
/// the room the run needs (the staging file and the unpacked files) is compared with the room free:
/// short of it the run fails at once, as a full disk. Returns the extraction's result code (0 on
/// success), and in cause what the failure concerned; progress hears how far the extraction has read;
/// stage stands in for StagePayload in tests.
int UnpackPayload(const WString& base, const InstallState& state, StageFunction stage = nullptr,
                  ExtractFailure* cause = nullptr, ProgressSink* progress = nullptr);

}  // namespace zyv
