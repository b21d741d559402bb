// POSIX: the payload archive is linked into the program as read-only bytes. The build names the
// archive in ZYV_PAYLOAD_FILE (res/payload.cmake) and recompiles this file whenever it changes.
#include <cstddef>
#include <cstdint>

#include "payload/stage.h"

#ifndef ZYV_PAYLOAD_FILE
#error "ZYV_PAYLOAD_FILE must name the payload archive"
#endif

extern "C" {
extern const unsigned char zyv_payload_data[];
extern const std::uint64_t zyv_payload_size;
}

// The size is computed by the assembler, so no pointer arithmetic spans two separate objects.
asm(".pushsection .rodata.zyv_payload,\"a\",@progbits\n"
    ".balign 16\n"
    ".globl zyv_payload_data\n"
    ".hidden zyv_payload_data\n"
    "zyv_payload_data:\n"
    ".incbin \"" ZYV_PAYLOAD_FILE
    "\"\n"
    ".Lzyv_payload_data_end:\n"
    ".balign 8\n"
    ".globl zyv_payload_size\n"
    ".hidden zyv_payload_size\n"
    "zyv_payload_size:\n"
    ".quad .Lzyv_payload_data_end - zyv_payload_data\n"
    ".popsection\n");

namespace zyv {

std::span<const unsigned char> EmbeddedPayload() {
  return {zyv_payload_data, static_cast<std::size_t>(zyv_payload_size)};
}

}  // namespace zyv
