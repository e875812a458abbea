// LZMA packing of make-zone with the SDK's encoder: of a buffer at once, or of a stream through callbacks.
#include "tools/tavik-sign/packer.hpp"

#include "files/lzma_decompress.hpp"

#include <lzma/LzmaEnc.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

namespace sign {

namespace {

using upd::lzma_header_size;

// Zero-filled: the SDK's match finder compares sizes of its first allocation before it has set
// them (harmlessly, but memory checkers rightly flag it).
void* sz_alloc(void*, size_t size) { return size ? std::calloc(1, size) : nullptr; }
void sz_free(void*, void* address) { std::free(address); }

// The encoder settings of every packed file: lzma_pack and the streams write the same bytes.
CLzmaEncProps pack_props(std::uint64_t size) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 7;
    // A dictionary no larger than the data keeps the encoder's memory small for small files.
    props.reduceSize = static_cast<UInt32>(std::min<std::uint64_t>(size, 0xffffffffu));
    props.writeEndMark = 0;
    return props;
}

std::string container_head(const Byte (&properties)[LZMA_PROPS_SIZE], std::uint64_t size) {
    std::string head(reinterpret_cast<const char*>(properties), LZMA_PROPS_SIZE);
    for (int i = 0; i < 8; ++i) head += static_cast<char>((size >> (8 * i)) & 0xff);
    return head;
}

void check_result(SRes r, SizeT properties_size) {
    if (r != SZ_OK || properties_size != LZMA_PROPS_SIZE) {
        throw std::runtime_error("LZMA encoder failed with result " + std::to_string(r));
    }
}

// The encoder calls back through these; an exception must not cross its C frames, so it waits
// beside the stream until the encoder has returned.
struct pack_in_t {
    ISeqInStream base;
    const std::function<std::size_t(void*, std::size_t)>& read;
    std::exception_ptr error;
};
struct pack_out_t {
    ISeqOutStream base;
    file_replacement_t& out;
    std::exception_ptr error;
};

SRes pack_read(void* p, void* buffer, size_t* size) {
    pack_in_t& in = *static_cast<pack_in_t*>(p);
    try {
        *size = in.read(buffer, *size);
        return SZ_OK;
    } catch (...) {
        in.error = std::current_exception(), *size = 0;
        return SZ_ERROR_READ;
    }
}

size_t pack_write(void* p, const void* data, size_t size) {
    pack_out_t& out = *static_cast<pack_out_t*>(p);
    try {
        out.out.append(data, size);
        return size;
    } catch (...) {
        out.error = std::current_exception();
        return 0;
    }
}

}  // namespace

std::string lzma_pack(const std::string& data) {
    const CLzmaEncProps props = pack_props(data.size());
    // Incompressible data grows a little; this bound leaves room for it.
    SizeT stream_size = data.size() + data.size() / 2 + 1024;
    std::string out(lzma_header_size + stream_size, '\0');
    Byte properties[LZMA_PROPS_SIZE];
    SizeT properties_size = LZMA_PROPS_SIZE;
    ISzAlloc alloc = {sz_alloc, sz_free};
    const SRes r = LzmaEncode(reinterpret_cast<Byte*>(&out[lzma_header_size]), &stream_size,
                              reinterpret_cast<const Byte*>(data.data()), data.size(), &props, properties,
                              &properties_size, 0, nullptr, &alloc, &alloc);
    check_result(r, properties_size);
    out.replace(0, lzma_header_size, container_head(properties, data.size()));
    out.resize(lzma_header_size + stream_size);
    return out;
}

void pack_stream(std::uint64_t size, const std::function<std::size_t(void* buffer, std::size_t max)>& read,
                 file_replacement_t& out) {
    ISzAlloc alloc = {sz_alloc, sz_free};
    const CLzmaEncProps props = pack_props(size);
    const auto destroy = [&alloc](CLzmaEncHandle encoder) { LzmaEnc_Destroy(encoder, &alloc, &alloc); };
    const std::unique_ptr<void, decltype(destroy)> encoder(LzmaEnc_Create(&alloc), destroy);
    if (!encoder) throw std::bad_alloc();
    Byte properties[LZMA_PROPS_SIZE];
    SizeT properties_size = LZMA_PROPS_SIZE;
    pack_in_t in{{&pack_read}, read, nullptr};
    pack_out_t sink{{&pack_write}, out, nullptr};
    SRes r = LzmaEnc_SetProps(encoder.get(), &props);
    if (r == SZ_OK) r = LzmaEnc_WriteProperties(encoder.get(), properties, &properties_size);
    if (r == SZ_OK && properties_size == LZMA_PROPS_SIZE) {
        const std::string head = container_head(properties, size);
        out.append(head.data(), head.size());
        r = LzmaEnc_Encode(encoder.get(), &sink.base, &in.base, nullptr, &alloc, &alloc);
    }
    for (const std::exception_ptr& error : {in.error, sink.error})
        if (error) std::rethrow_exception(error);
    check_result(r, properties_size);
}

}  // namespace sign
