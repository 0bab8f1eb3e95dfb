#include "saving/stored_document.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "saving/document_packing.hpp"

#if TAVO_HAVE_ZSTD
#include <zstd.h>
#endif

namespace tavo {

#if TAVO_HAVE_ZSTD

namespace {

struct FreeContext {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

std::size_t checked(std::size_t code) {
  if (ZSTD_isError(code) != 0U) {
    throw std::runtime_error(std::string("compressing a document: ") + ZSTD_getErrorName(code));
  }
  return code;
}

}  // namespace

bool can_store_documents() { return true; }

ByteBuffer stored_document(std::span<const std::uint8_t> document, std::size_t block_bytes,
                           int level) {
  const std::unique_ptr<ZSTD_CCtx, FreeContext> context(ZSTD_createCCtx());
  if (!context) {
    throw std::bad_alloc();
  }
  checked(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level));
  const std::size_t first = std::min(block_bytes, document.size());
  // Neither buffer is filled first: every byte kept is written (packing a
  // block of several MiB, and compressing it, over a zero fill).
  ByteBuffer packed(kBlockLengthBytes + packed_size_bound(first));
  ByteBuffer out;
  std::size_t written = 0;
  for (std::size_t start = 0;; start += block_bytes) {
    const std::span<const std::uint8_t> block =
        document.subspan(start, std::min(block_bytes, document.size() - start));
    const std::optional<std::size_t> size = pack_framed_block(block, packed.data());
    if (!size) {
      throw std::runtime_error("a document block packs to 4 GiB or more");
    }
    const bool last = start + block.size() >= document.size();
    if (start == 0 && last) {  // one block: its size goes into the frame
      checked(ZSTD_CCtx_setPledgedSrcSize(context.get(), *size));
    }
    ZSTD_inBuffer in{packed.data(), *size, 0};
    const ZSTD_EndDirective directive = last ? ZSTD_e_end : ZSTD_e_continue;
    for (;;) {
      if (out.size() - written < ZSTD_CStreamOutSize()) {
        out.resize(written + std::max(ZSTD_CStreamOutSize(), ZSTD_compressBound(in.size - in.pos)));
      }
      ZSTD_outBuffer buffer{out.data() + written, out.size() - written, 0};
      const std::size_t left =
          checked(ZSTD_compressStream2(context.get(), &buffer, &in, directive));
      written += buffer.pos;
      if (last ? left == 0 : in.pos == in.size) {
        break;
      }
    }
    if (last) {
      break;
    }
  }
  out.resize(written);
  return out;
}

#else

bool can_store_documents() { return false; }

ByteBuffer stored_document(std::span<const std::uint8_t>, std::size_t, int) {
  throw std::runtime_error("this build of tavo compresses no documents (built without zstd)");
}

#endif

}  // namespace tavo
