// Whether the installer can install a product archive, found out before an installer is built.
#pragma once

#include <string>

#include "platform/platform.h"

namespace zyv {

/// The verdict on one archive. message says what is wrong and how to pack the archive instead
/// (UTF-8, one line); on success it sums up what was checked.
struct ArchiveVerdict {
  bool installable = false;
  std::string message;
};

/// Reads archive with the extractor's own reader as the installer would, decoding every folder
/// and verifying every checksum, and writes nothing. Refuses: a coder outside copy, LZMA, LZMA2,
/// BCJ, ARM and BCJ2; encryption; a folder larger than the decoder may allocate; an entry name the
/// extractor refuses or Windows cannot hold, or two entries that land on one path; a damaged
/// archive; and a product without dudizu/ZyvSHelp.exe or a dudizu/config.ini with a [ZeReveza]
/// section.
ArchiveVerdict CheckArchive(const WString& archive);

}  // namespace zyv
