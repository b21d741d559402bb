// An archive in memory as the seekable stream the SDK reads it from, for the fuzz targets that open
// their input as an archive without the disk.
#pragma once

#include <Types.h>

#include <algorithm>
#include <cstring>

namespace zyv::fuzz {

struct MemoryStream {
  ISeekInStream sdk{Read, Seek};  // first: the SDK hands this pointer back
  const unsigned char* data;
  size_t size;
  size_t pos = 0;

  MemoryStream(const unsigned char* d, size_t n) : data(d), size(n) {}

  static SRes Read(void* p, void* buf, size_t* size) {
    auto* m = static_cast<MemoryStream*>(p);
    const size_t n = std::min(*size, m->size - m->pos);
    if (n != 0) std::memcpy(buf, m->data + m->pos, n);
    m->pos += n;
    *size = n;
    return SZ_OK;
  }
  static SRes Seek(void* p, Int64* pos, ESzSeek origin) {
    auto* m = static_cast<MemoryStream*>(p);
    const Int64 base = origin == SZ_SEEK_SET   ? 0
                       : origin == SZ_SEEK_CUR ? static_cast<Int64>(m->pos)
                                               : static_cast<Int64>(m->size);
    if (*pos < -base || *pos > static_cast<Int64>(m->size) - base) return SZ_ERROR_READ;
    m->pos = static_cast<size_t>(base + *pos);
    *pos = static_cast<Int64>(m->pos);
    return SZ_OK;
  }
};

}  // namespace zyv::fuzz
