// Opening a 7z database the way the installer does: the extraction and the header fuzzer share it.
#pragma once

#include <7z.h>
#include <7zFile.h>

#include <cstddef>

namespace zyv {

/// No single allocation of the reader may be larger. The SDK sizes its tables and buffers from
/// counts and sizes the archive declares: a few forged bytes would otherwise ask for gigabytes (in
/// the 32-bit build, for most of the address space). A refused allocation is the SDK's
/// SZ_ERROR_MEM (2). The largest allocation an archive the release check accepts asks for is a
/// dictionary of kDictionaryBudget (block_decoder.h), the same size.
inline constexpr std::size_t kMaxAllocation = std::size_t{256} << 20;

/// One of the allocators handed to the SDK. The SDK passes the ISzAlloc back as the first argument
/// of every call, so its functions reach this object through it: each extraction owns its own, and
/// nothing is shared between calls.
struct ReaderAlloc {
  ISzAlloc sdk;  // first, so that the SDK's pointer is this object's address
  bool zeroed;   // see MainAlloc in open_archive.cpp
};

/// The main allocator (the database), the temporary one (what the reader frees before it returns)
/// and the block decoders' (dictionaries, probability tables and buffers) of one call.
struct ReaderAllocators {
  ReaderAllocators();
  ReaderAllocators(const ReaderAllocators&) = delete;
  ReaderAllocators& operator=(const ReaderAllocators&) = delete;

  ISzAlloc* Main() { return &main.sdk; }
  ISzAlloc* Temp() { return &temp.sdk; }
  /// Not zeroed: a decoder writes every byte before it reads it (block_decoder.h), and zeroing a
  /// dictionary of 64 MiB costs time.
  ISzAlloc* Decoders() { return &decoders.sdk; }

  ReaderAlloc main;
  ReaderAlloc temp;
  ReaderAlloc decoders;
};

/// One archive file read the installer's way: the file, the look-ahead buffer over it and the
/// database, all released whichever way the owner's call ends.
struct ArchiveReader {
  ArchiveReader();
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  /// Once archive.file is open: the stream the reader reads through, a look-ahead buffer (look-ahead
  /// off, 16 KiB) over the file, or over through when given (which reads the file itself).
  ILookInStream* Attach(ISeekInStream* through = nullptr);

  ReaderAllocators alloc;
  CFileInStream archive;
  CLookToRead look;
  CSzArEx db;
};

/// SzArEx_Open on stream (positioned at the archive's start) with alloc, then what the installer
/// asks of every database beyond the SDK: names for its entries. db was SzArEx_Init'ed; the caller
/// frees it with alloc.Main() whatever the result. SZ_OK or the SDK's code (16 for no names).
SRes OpenArchiveDatabase(CSzArEx* db, ILookInStream* stream, ReaderAllocators& alloc);

}  // namespace zyv
