// The streaming block decoder: the pipeline block_decoder.h describes, over the SDK's incremental
// LZMA and LZMA2 decoders and branch converters, and a BCJ2 decoder of its own.
#include "payload/block_decoder.h"

#include <7zCrc.h>
#include <Bra.h>
#include <Lzma2Dec.h>
#include <LzmaDec.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace zyv {
namespace {

constexpr UInt64 kCopy = 0;
constexpr UInt64 kLzma2 = 0x21;
constexpr UInt64 kLzma = 0x030101;
constexpr UInt64 kBcj = 0x03030103;
constexpr UInt64 kArm = 0x03030501;
constexpr UInt64 kBcj2 = 0x0303011B;

/// The most a coder decodes into its dictionary in one call: what the stage above gets at once.
constexpr std::size_t kStep = std::size_t{1} << 20;
constexpr std::size_t kMainInput = std::size_t{256} << 10;    // the pack buffer of the main coder
constexpr std::size_t kOtherInput = std::size_t{64} << 10;    // of BCJ2's call, jump and range streams
constexpr std::size_t kFilterBuffer = std::size_t{64} << 10;  // what BCJ and ARM convert at once

bool IsMainMethod(UInt64 id) { return id == kCopy || id == kLzma || id == kLzma2; }

bool IsPlainCoder(const CSzCoderInfo& c) {
  return c.NumInStreams == 1 && c.NumOutStreams == 1 && IsMainMethod(c.MethodID);
}

/// The arrangements 7-Zip writes, as the SDK's whole-block decoder accepts them.
SRes CheckArrangement(const CSzFolder& f) {
  if (f.NumCoders < 1 || f.NumCoders > 4 || !IsPlainCoder(f.Coders[0])) return SZ_ERROR_UNSUPPORTED;
  if (f.NumCoders == 1) {
    const bool ok = f.NumPackStreams == 1 && f.PackStreams[0] == 0 && f.NumBindPairs == 0;
    return ok ? SZ_OK : SZ_ERROR_UNSUPPORTED;
  }
  if (f.NumCoders == 2) {
    const CSzCoderInfo& c = f.Coders[1];
    const bool ok = (c.MethodID == kBcj || c.MethodID == kArm) && c.NumInStreams == 1 &&
                    c.NumOutStreams == 1 && f.NumPackStreams == 1 && f.PackStreams[0] == 0 &&
                    f.NumBindPairs == 1 && f.BindPairs[0].InIndex == 1 && f.BindPairs[0].OutIndex == 0;
    return ok ? SZ_OK : SZ_ERROR_UNSUPPORTED;
  }
  if (f.NumCoders == 4) {
    const CSzCoderInfo& b = f.Coders[3];
    const bool ok =
        IsPlainCoder(f.Coders[1]) && IsPlainCoder(f.Coders[2]) && b.MethodID == kBcj2 &&
        b.NumInStreams == 4 && b.NumOutStreams == 1 && f.NumPackStreams == 4 && f.PackStreams[0] == 2 &&
        f.PackStreams[1] == 6 && f.PackStreams[2] == 1 && f.PackStreams[3] == 0 && f.NumBindPairs == 3 &&
        f.BindPairs[0].InIndex == 5 && f.BindPairs[0].OutIndex == 0 && f.BindPairs[1].InIndex == 4 &&
        f.BindPairs[1].OutIndex == 1 && f.BindPairs[2].InIndex == 3 && f.BindPairs[2].OutIndex == 2;
    return ok ? SZ_OK : SZ_ERROR_UNSUPPORTED;
  }
  return SZ_ERROR_UNSUPPORTED;
}

/// The output size of coder ci, as the SDK's decoder sizes it: a lone coder or a filter's main
/// coder gives the block's whole output; BCJ2's three coders give their own.
UInt64 CoderOutSize(const CSzFolder& f, UInt32 ci) {
  return f.NumCoders == 4 ? f.UnpackSizes[ci] : SzFolder_GetUnpackSize(const_cast<CSzFolder*>(&f));
}

/// The pack stream coder ci reads (BCJ2: coders 0, 1, 2 read pack streams 3, 2, 0).
UInt32 CoderPackStream(const CSzFolder& f, UInt32 ci) {
  constexpr UInt32 kBcj2Streams[] = {3, 2, 0};
  return f.NumCoders == 4 ? kBcj2Streams[ci] : 0;
}

/// The LZMA properties coder ci decodes with, and its dictionary size.
SRes CoderProps(const CSzCoderInfo& c, CLzmaProps& props) {
  if (c.MethodID == kLzma) return LzmaProps_Decode(&props, c.Props.data, static_cast<unsigned>(c.Props.size));
  if (c.Props.size != 1) return SZ_ERROR_DATA;  // as the SDK's decoder answers
  const Byte prop = c.Props.data[0];
  if (prop > 40) return SZ_ERROR_UNSUPPORTED;
  props.lc = 4;  // LZMA2's probability tables are sized for lc + lp = 4
  props.lp = 0;
  props.pb = 0;
  props.dicSize = prop == 40 ? 0xFFFFFFFF : (UInt32{2} | (prop & 1)) << (prop / 2 + 11);
  return SZ_OK;
}

/// The dictionary a coder whose output is outSize bytes needs: all of it when it is smaller than
/// the dictionary (it then never wraps), else the dictionary.
UInt64 DictionaryBytes(const CLzmaProps& props, UInt64 outSize) {
  return std::max<UInt64>(1, std::min<UInt64>(props.dicSize, outSize));
}

/// One pack stream, read at its own offset. Invariant: pos <= end <= capacity, and the stream's
/// bytes not yet in the buffer are [offset, offset + left) of the file.
struct PackStream {
  PackSource* source = nullptr;
  UInt64 offset = 0;
  UInt64 left = 0;
  Byte* buffer = nullptr;
  std::size_t capacity = 0;
  std::size_t pos = 0;
  std::size_t end = 0;

  bool Used() const { return pos == end && left == 0; }

  /// With the buffer used up: its next bytes. SZ_ERROR_INPUT_EOF when the file ends first.
  SRes Refill() {
    std::size_t n = static_cast<std::size_t>(std::min<UInt64>(capacity, left));
    if (const SRes res = source->ReadAt(offset, buffer, n); res != SZ_OK) return res;
    if (n == 0) return SZ_ERROR_INPUT_EOF;
    offset += n;
    left -= n;
    pos = 0;
    end = n;
    return SZ_OK;
  }

  /// The next byte, for the range decoder: SZ_ERROR_DATA once the stream is used up, as the SDK's
  /// decoder reads a range stream held whole.
  SRes Next(Byte& b) {
    if (pos == end) {
      if (left == 0) return SZ_ERROR_DATA;
      if (const SRes res = Refill(); res != SZ_OK) return res;
    }
    b = buffer[pos++];
    return SZ_OK;
  }
};

/// A copy, LZMA or LZMA2 coder over its pack stream. Invariant: outLeft is the output not yet
/// given; an LZMA coder's bytes given last are [given, dic.dicPos) of its dictionary.
struct Coder {
  UInt64 method = kCopy;
  PackStream in;
  UInt64 outLeft = 0;
  CLzma2Dec lzma;  // for LZMA its decoder alone
  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
  bool allocated = false;
  bool ended = false;  // its output all given and, for LZMA and LZMA2, its end checked

  SRes Init(const CSzCoderInfo& c, UInt64 outSize, ISzAlloc* alloc) {
    method = c.MethodID;
    outLeft = outSize;
    if (method == kCopy) return in.left == outSize ? SZ_OK : SZ_ERROR_DATA;  // the SDK's check
    CLzmaProps props;
    if (const SRes res = CoderProps(c, props); res != SZ_OK) return res;
    const UInt64 dictionary = DictionaryBytes(props, outSize);
    if (dictionary != static_cast<SizeT>(dictionary)) return SZ_ERROR_MEM;
    Lzma2Dec_Construct(&lzma);
    const SRes res = method == kLzma
                         ? LzmaDec_AllocateProbs(&lzma.decoder, c.Props.data, unsigned(c.Props.size), alloc)
                         : Lzma2Dec_AllocateProbs(&lzma, c.Props.data[0], alloc);
    if (res != SZ_OK) return res;
    allocated = true;
    lzma.decoder.dic = static_cast<Byte*>(IAlloc_Alloc(alloc, static_cast<std::size_t>(dictionary)));
    if (lzma.decoder.dic == nullptr) return SZ_ERROR_MEM;
    lzma.decoder.dicBufSize = static_cast<SizeT>(dictionary);
    if (method == kLzma) {
      LzmaDec_Init(&lzma.decoder);
    } else {
      Lzma2Dec_Init(&lzma);
    }
    return SZ_OK;
  }

  void Free(ISzAlloc* alloc) {
    if (!allocated) return;
    IAlloc_Free(alloc, lzma.decoder.dic);
    LzmaDec_FreeProbs(&lzma.decoder, alloc);
    allocated = false;
  }

  /// The coder's next bytes, at most kStep: data and size (0 once its output has all been given),
  /// valid until the next call. The call that reaches the end of its output (or the first call,
  /// for a coder of no output) checks the end of its stream, as the SDK's decoder does.
  SRes Pull(const Byte*& data, std::size_t& size) {
    size = 0;
    if (ended) return SZ_OK;
    if (method == kCopy) {
      ended = outLeft == 0;
      if (ended) return SZ_OK;
      if (in.pos == in.end) {
        if (const SRes res = in.Refill(); res != SZ_OK) return res;
      }
      data = in.buffer + in.pos;
      size = static_cast<std::size_t>(std::min<UInt64>(in.end - in.pos, outLeft));
      in.pos += size;
      outLeft -= size;
      return SZ_OK;
    }
    CLzmaDec& dec = lzma.decoder;
    if (dec.dicPos == dec.dicBufSize) dec.dicPos = 0;  // only a dictionary smaller than the output wraps
    const SizeT start = dec.dicPos;
    const SizeT want = static_cast<SizeT>(std::min<UInt64>({dec.dicBufSize - start, kStep, outLeft}));
    const SizeT limit = start + want;
    const bool last = want == outLeft;
    for (;;) {
      if (in.pos == in.end && in.left > 0) {
        if (const SRes res = in.Refill(); res != SZ_OK) return res;
      }
      SizeT inLen = in.end - in.pos;
      const SizeT before = dec.dicPos;
      const ELzmaFinishMode finish = last ? LZMA_FINISH_END : LZMA_FINISH_ANY;
      const SRes res = method == kLzma
                           ? LzmaDec_DecodeToDic(&dec, limit, in.buffer + in.pos, &inLen, finish, &status)
                           : Lzma2Dec_DecodeToDic(&lzma, limit, in.buffer + in.pos, &inLen, finish, &status);
      in.pos += inLen;
      if (res != SZ_OK) return res;
      if (dec.dicPos == limit) {
        if (!last) break;
        // The coder's end: an end mark may still be in the input to come.
        if (status == LZMA_STATUS_NEEDS_MORE_INPUT && in.pos == in.end && in.left > 0) continue;
        const bool finished = status == LZMA_STATUS_FINISHED_WITH_MARK ||
                              (method == kLzma && status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK);
        if (!finished || !in.Used()) return SZ_ERROR_DATA;
        ended = true;
        break;
      }
      // No progress: the pack stream ended before the output, or the data ended early.
      if (inLen == 0 && dec.dicPos == before) return SZ_ERROR_DATA;
    }
    data = dec.dic + start;
    size = want;
    outLeft -= want;
    return SZ_OK;
  }
};

/// A coder's output as bytes to take one run at a time.
struct Span {
  const Byte* at = nullptr;
  std::size_t left = 0;

  /// Fills the span from coder when it is used up: false at the coder's end.
  SRes Fill(Coder& coder, bool& more) {
    if (left == 0) {
      if (const SRes res = coder.Pull(at, left); res != SZ_OK) return res;
    }
    more = left != 0;
    return SZ_OK;
  }
};

/// BCJ2 over its four streams, bit for bit the SDK's Bcj2_Decode (Bcj2.c), which wants them whole:
/// here the main, call and jump streams come from their coders a span at a time, the range
/// stream from its pack stream, and the output goes to the caller's buffer, any part of an
/// address that does not fit kept for the next call. outPos counts the output made, as the SDK's
/// does (addresses are relative to it).
struct Bcj2 {
  Coder* main = nullptr;
  Coder* call = nullptr;
  Coder* jump = nullptr;
  PackStream* rc = nullptr;
  Span s0, s1, s2;
  UInt16 probs[258];
  UInt32 range = 0;
  UInt32 code = 0;
  Byte prev = 0;
  bool started = false;
  UInt64 outPos = 0;
  UInt64 outSize = 0;
  Byte pending[4] = {};
  unsigned pendingAt = 0;
  unsigned pendingEnd = 0;

  static constexpr UInt32 kTop = UInt32{1} << 24;

  SRes Start() {
    for (UInt16& p : probs) p = 1 << 10;
    code = 0;
    range = 0xFFFFFFFF;
    for (int i = 0; i < 5; ++i) {
      Byte b = 0;
      if (const SRes res = rc->Next(b); res != SZ_OK) return res;
      code = (code << 8) | b;
    }
    started = true;
    return SZ_OK;
  }

  /// Decodes one bit with prob, as the SDK's IF_BIT_0 / UPDATE_0 / UPDATE_1 and NORMALIZE do.
  SRes Bit(UInt16* prob, bool& one) {
    const UInt32 ttt = *prob;
    const UInt32 bound = (range >> 11) * ttt;
    if (code < bound) {
      range = bound;
      *prob = static_cast<UInt16>(ttt + ((2048 - ttt) >> 5));
      one = false;
    } else {
      range -= bound;
      code -= bound;
      *prob = static_cast<UInt16>(ttt - (ttt >> 5));
      one = true;
    }
    if (range < kTop) {
      Byte b = 0;
      if (const SRes res = rc->Next(b); res != SZ_OK) return res;
      range <<= 8;
      code = (code << 8) | b;
    }
    return SZ_OK;
  }

  /// Four bytes of a call or jump stream, big-endian; SZ_ERROR_DATA when it has fewer left.
  static SRes Take4(Coder& coder, Span& span, UInt32& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      bool more = false;
      if (const SRes res = span.Fill(coder, more); res != SZ_OK) return res;
      if (!more) return SZ_ERROR_DATA;
      value = (value << 8) | *span.at++;
      --span.left;
    }
    return SZ_OK;
  }

  SRes Read(Byte* out, std::size_t size, std::size_t& got) {
    got = 0;
    if (!started) {
      if (const SRes res = Start(); res != SZ_OK) return res;
    }
    while (pendingAt < pendingEnd && got < size) out[got++] = pending[pendingAt++];
    while (got < size && outPos < outSize) {
      bool more = false;
      if (const SRes res = s0.Fill(*main, more); res != SZ_OK) return res;
      if (!more) return SZ_ERROR_DATA;  // the main stream ended before the output
      const std::size_t n =
          static_cast<std::size_t>(std::min<UInt64>({s0.left, size - got, outSize - outPos}));
      const Byte* src = s0.at;
      Byte* dst = out + got;
      Byte before = prev;
      std::size_t k = 0;
      bool opcode = false;
      for (; k < n; ++k) {
        const Byte b = src[k];
        dst[k] = b;
        if ((b & 0xFE) == 0xE8 || (before == 0x0F && (b & 0xF0) == 0x80)) {
          opcode = true;
          ++k;
          break;
        }
        before = b;
      }
      s0.at += k;
      s0.left -= k;
      got += k;
      outPos += k;
      if (!opcode) {
        prev = before;
        continue;
      }
      if (outPos == outSize) break;
      const Byte b = src[k - 1];
      UInt16* prob = b == 0xE8 ? probs + before : b == 0xE9 ? probs + 256 : probs + 257;
      bool one = false;
      if (const SRes res = Bit(prob, one); res != SZ_OK) return res;
      if (!one) {
        prev = b;
        continue;
      }
      UInt32 target = 0;
      const SRes res = b == 0xE8 ? Take4(*call, s1, target) : Take4(*jump, s2, target);
      if (res != SZ_OK) return res;
      const UInt32 dest = target - static_cast<UInt32>(outPos + 4);
      const unsigned count = static_cast<unsigned>(std::min<UInt64>(4, outSize - outPos));
      pendingAt = 0;
      pendingEnd = 0;
      for (unsigned i = 0; i < count; ++i) {
        const Byte v = static_cast<Byte>(dest >> (8 * i));
        if (got < size) {
          out[got++] = v;
        } else {
          pending[pendingEnd++] = v;
        }
      }
      outPos += count;
      prev = static_cast<Byte>(dest >> 24);
    }
    return SZ_OK;
  }

  /// Once the output is complete: the coders' remaining output decoded, so that their ends are
  /// checked as the SDK's decoder checks them when it decodes each whole.
  SRes Finish() {
    Coder* coders[] = {main, call, jump};
    for (Coder* c : coders) {
      for (;;) {
        const Byte* data = nullptr;
        std::size_t n = 0;
        if (const SRes res = c->Pull(data, n); res != SZ_OK) return res;
        if (n == 0) break;
      }
    }
    return SZ_OK;
  }
};

/// BCJ or ARM over the main coder's output, converting kFilterBuffer bytes at a time. Invariant:
/// [ready, converted) are converted bytes not yet given, [converted, filled) bytes read that
/// the converter could not take yet (it looks up to 4 bytes ahead); ip is the block position of
/// the first byte not converted, which the next conversion starts from at buffer[0].
struct Filter {
  UInt64 method = kBcj;
  Byte* buffer = nullptr;
  std::size_t ready = 0;
  std::size_t converted = 0;
  std::size_t filled = 0;
  UInt32 ip = 0;
  UInt32 x86State = 0;
  Span from;

  /// Copies the main coder's output to dst until it holds want bytes (n so far), or until the coder
  /// has no more (more false).
  SRes Take(Coder& main, Byte* dst, std::size_t want, std::size_t& n, bool& more) {
    while (n < want) {
      if (const SRes res = from.Fill(main, more); res != SZ_OK) return res;
      if (!more) break;
      const std::size_t k = std::min(from.left, want - n);
      std::memcpy(dst + n, from.at, k);
      from.at += k;
      from.left -= k;
      n += k;
    }
    return SZ_OK;
  }

  /// Fills out (size bytes) from the main coder and converts it there, one copy fewer than through
  /// the buffer; the bytes the converter cannot take yet go to the buffer as [0, filled). The
  /// buffer holds no converted bytes on entry. done receives the bytes given.
  SRes ConvertInPlace(Coder& main, Byte* out, std::size_t size, std::size_t& done) {
    std::size_t n = filled - converted;
    std::memcpy(out, buffer + converted, n);
    bool more = true;
    if (const SRes res = Take(main, out, size, n, more); res != SZ_OK) return res;
    const SizeT taken = method == kBcj ? x86_Convert(out, n, ip, &x86State, 0) : ARM_Convert(out, n, ip, 0);
    ip += static_cast<UInt32>(taken);
    done = more ? taken : n;
    std::memcpy(buffer, out + done, n - done);
    ready = converted = 0;
    filled = n - done;
    return SZ_OK;
  }

  SRes Read(Coder& main, Byte* out, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
      if (ready < converted) {
        const std::size_t n = std::min(converted - ready, size - got);
        std::memcpy(out + got, buffer + ready, n);
        ready += n;
        got += n;
        continue;
      }
      if (size - got >= kFilterBuffer) {
        std::size_t done = 0;
        if (const SRes res = ConvertInPlace(main, out + got, size - got, done); res != SZ_OK) return res;
        got += done;
        if (filled == 0 && from.left == 0 && main.outLeft == 0) break;  // the end
        continue;
      }
      if (converted == filled && from.left == 0 && main.outLeft == 0) break;  // the end
      std::memmove(buffer, buffer + converted, filled - converted);
      filled -= converted;
      ready = converted = 0;
      bool more = true;
      if (const SRes res = Take(main, buffer, kFilterBuffer, filled, more); res != SZ_OK) return res;
      const SizeT done =
          method == kBcj ? x86_Convert(buffer, filled, ip, &x86State, 0) : ARM_Convert(buffer, filled, ip, 0);
      ip += static_cast<UInt32>(done);
      // At the block's end the bytes the converter could not take are given as they are, as the
      // SDK's conversion of the whole block leaves them.
      converted = more ? done : filled;
    }
    return SZ_OK;
  }
};

}  // namespace

struct BlockDecoder::Impl {
  ISzAlloc* alloc = nullptr;
  UInt32 numCoders = 0;
  Coder coders[3];
  PackStream rc;
  Filter filter;
  Bcj2 bcj2;
  Span span;  // a lone coder's bytes not yet given
  UInt64 left = 0;
  bool failed = false;

  ~Impl() {
    for (Coder& c : coders) {
      c.Free(alloc);
      IAlloc_Free(alloc, c.in.buffer);
    }
    IAlloc_Free(alloc, rc.buffer);
    IAlloc_Free(alloc, filter.buffer);
  }

  SRes Read(Byte* out, std::size_t size, std::size_t& got) {
    got = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<UInt64>(size, left));
    if (want == 0) return SZ_OK;
    SRes res = SZ_OK;
    if (numCoders == 4) {
      res = bcj2.Read(out, want, got);
      if (res == SZ_OK && got == left) res = bcj2.Finish();
    } else if (numCoders == 2) {
      res = filter.Read(coders[0], out, want, got);
    } else {
      while (got < want) {
        bool more = false;
        if (res = span.Fill(coders[0], more); res != SZ_OK || !more) break;
        const std::size_t n = std::min(span.left, want - got);
        std::memcpy(out + got, span.at, n);
        span.at += n;
        span.left -= n;
        got += n;
      }
    }
    // Every stage gives exactly its unpack size: short of it, the data ended early.
    if (res == SZ_OK && got != want) res = SZ_ERROR_DATA;
    left -= got;
    return res;
  }
};

SRes CheckBlock(const CSzFolder& folder, BlockNeed& need) {
  need = {};
  if (const SRes res = CheckArrangement(folder); res != SZ_OK) return res;
  const UInt32 plain = folder.NumCoders == 4 ? 3 : 1;
  for (UInt32 ci = 0; ci < plain; ++ci) {
    const CSzCoderInfo& c = folder.Coders[ci];
    if (c.MethodID == kCopy) continue;
    CLzmaProps props;
    if (const SRes res = CoderProps(c, props); res != SZ_OK) return res;
    const UInt64 bytes = DictionaryBytes(props, CoderOutSize(folder, ci));
    need.dictionaries += bytes;
    need.largest = std::max<std::uint64_t>(need.largest, bytes);
  }
  return SZ_OK;
}

bool DecodesCoders(const CSzFolder& folder) { return CheckArrangement(folder) == SZ_OK; }

SRes CheckBlock(const CSzArEx& db, std::uint32_t folderIndex, BlockNeed& need) {
  return CheckBlock(db.db.Folders[folderIndex], need);
}

BlockDecoder::BlockDecoder() = default;
BlockDecoder::~BlockDecoder() = default;

SRes BlockDecoder::Init(const CSzFolder& folder, const UInt64* packSizes, std::uint64_t startPos,
                        PackSource& source, ISzAlloc* alloc) {
  impl_.reset();
  BlockNeed need;
  if (const SRes res = CheckBlock(folder, need); res != SZ_OK) return res;
  // Built aside and kept only whole: a decoder whose Init failed has nothing to read from.
  std::unique_ptr<Impl> p(new (std::nothrow) Impl);
  if (p == nullptr) return SZ_ERROR_MEM;
  p->alloc = alloc;
  p->numCoders = folder.NumCoders;
  p->left = SzFolder_GetUnpackSize(const_cast<CSzFolder*>(&folder));
  // Where each pack stream starts: they lie one after the other, every offset checked.
  UInt64 offsets[4] = {};
  UInt64 at = startPos;
  for (UInt32 i = 0; i < folder.NumPackStreams; ++i) {
    offsets[i] = at;
    if (packSizes[i] > ~UInt64{0} - at) return SZ_ERROR_ARCHIVE;
    at += packSizes[i];
  }
  const auto open = [&](PackStream& s, UInt32 index, std::size_t capacity) {
    s.source = &source;
    s.offset = offsets[index];
    s.left = packSizes[index];
    s.capacity = static_cast<std::size_t>(std::min<UInt64>(capacity, std::max<UInt64>(1, s.left)));
    s.buffer = static_cast<Byte*>(IAlloc_Alloc(alloc, s.capacity));
    return s.buffer != nullptr ? SZ_OK : SZ_ERROR_MEM;
  };
  const UInt32 plain = folder.NumCoders == 4 ? 3 : 1;
  for (UInt32 ci = 0; ci < plain; ++ci) {
    Coder& c = p->coders[ci];
    const UInt32 stream = CoderPackStream(folder, ci);
    if (const SRes res = open(c.in, stream, stream == 0 ? kMainInput : kOtherInput); res != SZ_OK) return res;
    if (const SRes res = c.Init(folder.Coders[ci], CoderOutSize(folder, ci), alloc); res != SZ_OK) return res;
  }
  if (folder.NumCoders == 2) {
    p->filter.method = folder.Coders[1].MethodID;
    p->filter.buffer = static_cast<Byte*>(IAlloc_Alloc(alloc, kFilterBuffer));
    if (p->filter.buffer == nullptr) return SZ_ERROR_MEM;
  } else if (folder.NumCoders == 4) {
    if (folder.UnpackSizes[2] > p->left) return SZ_ERROR_PARAM;  // the SDK's check of the main stream
    if (const SRes res = open(p->rc, 1, kOtherInput); res != SZ_OK) return res;
    Bcj2& b = p->bcj2;
    b.main = &p->coders[2];
    b.call = &p->coders[1];
    b.jump = &p->coders[0];
    b.rc = &p->rc;
    b.outSize = p->left;
  }
  impl_.reset(p.release());
  return SZ_OK;
}

SRes BlockDecoder::Init(const CSzArEx& db, std::uint32_t folderIndex, PackSource& source, ISzAlloc* alloc) {
  // A header without a files section leaves its folders without their places in the file.
  if (db.FolderStartPackStreamIndex == nullptr || db.PackStreamStartPositions == nullptr)
    return SZ_ERROR_ARCHIVE;
  const UInt32 first = db.FolderStartPackStreamIndex[folderIndex];
  return Init(db.db.Folders[folderIndex], db.db.PackSizes + first,
              SzArEx_GetFolderStreamPos(&db, folderIndex, 0), source, alloc);
}

SRes BlockDecoder::Read(Byte* out, std::size_t size, std::size_t& got) {
  got = 0;
  if (impl_ == nullptr || impl_->failed) return SZ_ERROR_FAIL;
  const SRes res = impl_->Read(out, size, got);
  if (res != SZ_OK) impl_->failed = true;
  return res;
}

std::uint64_t BlockDecoder::left() const { return impl_ != nullptr ? impl_->left : 0; }

}  // namespace zyv
