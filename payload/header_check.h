// A check of 7z header bytes before the LZMA SDK's reader acts on them.
#pragma once

#include <cstddef>

namespace zyv {

/// Whether header (a plain header starting with kHeader, or an encoded header's description
/// starting with kEncodedHeader) keeps to the structure 7-Zip writes: each section at most once and
/// in its order, and as many unpacked streams described as there are files with data. The SDK's
/// reader trusts these without checking: a second copy of a section leaks the first, and a file
/// with data beyond the described streams makes it read past (or through a null) sizes array.
/// Other bytes (an unknown first id) are left to the reader, which refuses them.
bool HeaderIsSound(const unsigned char* header, std::size_t size);

}  // namespace zyv
