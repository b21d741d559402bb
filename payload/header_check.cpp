// Walks a 7z header the way the SDK's reader (7zIn.c) does, but strictly: what that reader would
// accept yet mishandle is refused here first.
#include "payload/header_check.h"

#include <cstdint>
#include <new>
#include <vector>

namespace zyv {
namespace {

// Property ids of the 7z header.
enum : std::uint64_t {
  kEnd = 0x00,
  kHeader = 0x01,
  kArchiveProperties = 0x02,
  kMainStreamsInfo = 0x04,
  kFilesInfo = 0x05,
  kPackInfo = 0x06,
  kUnpackInfo = 0x07,
  kSubStreamsInfo = 0x08,
  kSize = 0x09,
  kCrc = 0x0A,
  kFolder = 0x0B,
  kCodersUnpackSize = 0x0C,
  kNumUnpackStream = 0x0D,
  kEmptyStream = 0x0E,
  kEmptyFile = 0x0F,
  kName = 0x11,
  kMTime = 0x14,
  kWinAttributes = 0x15,
  kEncodedHeader = 0x17,
};
constexpr std::uint32_t kMaxFolderCoders = 32;  // the reader's NUM_FOLDER_CODERS_MAX
constexpr std::uint32_t kMaxCoderStreams = 32;  // and NUM_CODER_STREAMS_MAX

class Reader {
 public:
  Reader(const unsigned char* p, std::size_t n) : p_(p), n_(n) {}

  std::size_t Left() const { return n_; }
  bool Byte(unsigned& b) {
    if (n_ == 0) return false;
    b = *p_++;
    --n_;
    return true;
  }
  bool Skip(std::uint64_t count) {
    if (count > n_) return false;
    p_ += count;
    n_ -= static_cast<std::size_t>(count);
    return true;
  }
  /// 7z's variable-length number: the leading one bits of the first byte count the bytes after it.
  bool Number(std::uint64_t& value) {
    unsigned first = 0;
    if (!Byte(first)) return false;
    value = 0;
    for (unsigned i = 0, mask = 0x80; i < 8; ++i, mask >>= 1) {
      if ((first & mask) == 0) {
        value |= static_cast<std::uint64_t>(first & (mask - 1)) << (8 * i);
        return true;
      }
      unsigned b = 0;
      if (!Byte(b)) return false;
      value |= static_cast<std::uint64_t>(b) << (8 * i);
    }
    return true;
  }
  /// As the reader's SzReadNumber32: below 2^31, and small enough to count things in memory.
  bool Number32(std::uint32_t& value) {
    std::uint64_t v = 0;
    if (!Number(v) || v >= 0x80000000u || v >= (std::uint64_t{1} << ((sizeof(std::size_t) - 1) * 8 + 2))) {
      return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
  }
  bool Expect(std::uint64_t id) {
    std::uint64_t got = 0;
    return Number(got) && got == id;
  }
  bool SkipData() {
    std::uint64_t size = 0;
    return Number(size) && Skip(size);
  }
  bool Switch() {
    unsigned external = 1;
    return Byte(external) && external == 0;
  }
  /// A vector of count bits, most significant first; the number of bits set.
  bool Bits(std::uint32_t count, std::vector<bool>* bits, std::uint32_t& set) {
    set = 0;
    unsigned b = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i % 8 == 0 && !Byte(b)) return false;
      const bool bit = (b & (0x80u >> (i % 8))) != 0;
      set += bit;
      if (bits != nullptr) bits->push_back(bit);
    }
    return true;
  }
  /// An "all defined" byte, or the bit vector; the number defined.
  bool Defined(std::uint32_t count, std::uint32_t& defined) {
    unsigned all = 0;
    if (!Byte(all)) return false;
    if (all == 0) return Bits(count, nullptr, defined);
    defined = count;
    return true;
  }
  /// Checksums of count items (those defined); with bits, which ones are.
  bool Digests(std::uint32_t count, std::vector<bool>* bits = nullptr) {
    unsigned all = 0;
    std::uint32_t defined = count;
    if (!Byte(all) || (all == 0 && !Bits(count, bits, defined))) return false;
    if (all != 0 && bits != nullptr) bits->assign(count, true);
    return Skip(std::uint64_t{defined} * 4);
  }

 private:
  const unsigned char* p_;
  std::size_t n_;
};

/// One folder's coders, bind pairs and packed streams; its number of output streams.
bool Folder(Reader& r, std::uint32_t& out_streams) {
  std::uint32_t coders = 0;
  if (!r.Number32(coders) || coders == 0 || coders > kMaxFolderCoders) return false;
  std::uint64_t in = 0, out = 0;
  for (std::uint32_t i = 0; i < coders; ++i) {
    unsigned flags = 0;
    if (!r.Byte(flags) || (flags & 0x0F) > 8 || (flags & 0x80) != 0 || !r.Skip(flags & 0x0F)) return false;
    std::uint32_t coder_in = 1, coder_out = 1;
    if ((flags & 0x10) != 0 && (!r.Number32(coder_in) || !r.Number32(coder_out) ||
                                coder_in > kMaxCoderStreams || coder_out > kMaxCoderStreams)) {
      return false;
    }
    if ((flags & 0x20) != 0 && !r.SkipData()) return false;
    in += coder_in;
    out += coder_out;
  }
  if (out == 0 || in < out - 1) return false;
  for (std::uint64_t i = 0; i + 1 < out; ++i) {
    std::uint32_t in_index = 0, out_index = 0;
    if (!r.Number32(in_index) || !r.Number32(out_index) || in_index >= in || out_index >= out) return false;
  }
  const std::uint64_t packed = in - (out - 1);
  for (std::uint64_t i = 0; packed > 1 && i < packed; ++i) {
    std::uint32_t index = 0;
    if (!r.Number32(index) || index >= in) return false;
  }
  out_streams = static_cast<std::uint32_t>(out);
  return true;
}

/// Pack info, unpack info and substreams, each at most once and in that order, then kEnd.
/// streams: the number of unpacked streams the reader will hold sizes and checksums for.
bool StreamsInfo(Reader& r, std::uint32_t& streams) {
  streams = 0;
  std::uint64_t id = 0;
  if (!r.Number(id)) return false;
  if (id == kPackInfo) {
    std::uint64_t offset = 0, size = 0;
    std::uint32_t packs = 0;
    if (!r.Number(offset) || !r.Number32(packs) || !r.Expect(kSize)) return false;
    for (std::uint32_t i = 0; i < packs; ++i) {
      if (!r.Number(size)) return false;
    }
    if (!r.Number(id)) return false;
    if (id == kCrc && (!r.Digests(packs) || !r.Number(id))) return false;
    if (id != kEnd || !r.Number(id)) return false;
  }
  std::vector<std::uint32_t> per_folder;  // unpacked streams of each folder
  std::vector<bool> folder_crc;           // whether each folder has its own checksum
  if (id == kUnpackInfo) {
    std::uint32_t folders = 0;
    // Every folder takes two bytes at least: a count beyond what is left is a lie.
    if (!r.Expect(kFolder) || !r.Number32(folders) || !r.Switch() || folders > r.Left() / 2) return false;
    std::vector<std::uint32_t> outs(folders);
    for (std::uint32_t& out : outs) {
      if (!Folder(r, out)) return false;
    }
    if (!r.Expect(kCodersUnpackSize)) return false;
    for (const std::uint32_t out : outs) {
      for (std::uint32_t j = 0; j < out; ++j) {
        std::uint64_t size = 0;
        if (!r.Number(size)) return false;
      }
    }
    if (!r.Number(id)) return false;
    if (id == kCrc && (!r.Digests(folders, &folder_crc) || !r.Number(id))) return false;
    if (id != kEnd || !r.Number(id)) return false;
    folder_crc.resize(folders, false);
    per_folder.assign(folders, 1);
    streams = folders;
  }
  if (id == kSubStreamsInfo) {
    if (!r.Number(id)) return false;
    if (id == kNumUnpackStream) {
      std::uint64_t total = 0;
      for (std::uint32_t& n : per_folder) {
        if (!r.Number32(n)) return false;
        total += n;
      }
      if (total >= 0x80000000u) return false;
      streams = static_cast<std::uint32_t>(total);
      if (!r.Number(id)) return false;
    }
    if (id == kSize) {
      for (const std::uint32_t n : per_folder) {
        for (std::uint32_t j = 1; j < n; ++j) {
          std::uint64_t size = 0;
          if (!r.Number(size)) return false;
        }
      }
      if (!r.Number(id)) return false;
    }
    if (id == kCrc) {
      // Checksums for every stream but a folder's only one when the folder has its own.
      std::uint64_t digests = 0;
      for (std::size_t i = 0; i < per_folder.size(); ++i) {
        if (per_folder[i] != 1 || !folder_crc[i]) digests += per_folder[i];
      }
      if (digests >= 0x80000000u || !r.Digests(static_cast<std::uint32_t>(digests)) || !r.Number(id)) {
        return false;
      }
    }
    if (id != kEnd || !r.Number(id)) return false;
  }
  return id == kEnd;
}

bool FilesInfo(Reader& r, std::uint32_t streams) {
  std::uint32_t files = 0;
  if (!r.Number32(files)) return false;
  std::uint32_t empty = 0;
  bool had_empty_stream = false;
  std::vector<std::uint64_t> seen;
  for (;;) {
    std::uint64_t id = 0, size = 0;
    if (!r.Number(id)) return false;
    if (id == kEnd) break;
    if (!r.Number(size)) return false;
    // A second name table or empty-stream vector would leak the first (kDummy padding, times and
    // attributes may repeat: the reader frees what it reads for those).
    if (id == kName || id == kEmptyStream || id == kEmptyFile) {
      for (const std::uint64_t s : seen) {
        if (s == id) return false;
      }
      seen.push_back(id);
    }
    std::uint32_t count = 0;
    switch (id) {
      case kName:
        if (size == 0 || !r.Switch() || !r.Skip(size - 1)) return false;
        break;
      case kEmptyStream:
        if (!r.Bits(files, nullptr, empty)) return false;
        had_empty_stream = true;
        break;
      case kEmptyFile:
        // Read against the empty streams counted so far: those must come first.
        if (!had_empty_stream || !r.Bits(empty, nullptr, count)) return false;
        break;
      case kWinAttributes:
        if (!r.Defined(files, count) || !r.Switch() || !r.Skip(std::uint64_t{count} * 4)) return false;
        break;
      case kMTime:
        if (!r.Defined(files, count) || !r.Switch() || !r.Skip(std::uint64_t{count} * 8)) return false;
        break;
      default:
        if (!r.Skip(size)) return false;
    }
  }
  // Every file with data takes the next stream's size and checksum.
  return files - empty <= streams;
}

bool Check(const unsigned char* header, std::size_t size) {
  Reader r(header, size);
  std::uint64_t id = 0;
  if (!r.Number(id)) return false;
  std::uint32_t streams = 0;
  if (id == kEncodedHeader) return StreamsInfo(r, streams);
  if (id != kHeader) return true;
  if (!r.Number(id)) return false;
  if (id == kArchiveProperties) {
    for (;;) {
      if (!r.Number(id)) return false;
      if (id == kEnd) break;
      if (!r.SkipData()) return false;
    }
    if (!r.Number(id)) return false;
  }
  if (id == kMainStreamsInfo) {
    if (!StreamsInfo(r, streams) || !r.Number(id)) return false;
  }
  if (id == kEnd) return true;
  return id == kFilesInfo && FilesInfo(r, streams);
}

}  // namespace

bool HeaderIsSound(const unsigned char* header, std::size_t size) {
  try {
    return Check(header, size);
  } catch (const std::bad_alloc&) {
    return false;  // called from the SDK's C code: nothing may be thrown through it
  }
}

}  // namespace zyv
