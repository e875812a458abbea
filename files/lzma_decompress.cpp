// Unpacking of LZMA-alone containers through the LZMA SDK's one-call decoder.
#include "files/lzma_decompress.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"

#include <lzma/LzmaDec.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace upd {

namespace {

void* sdk_alloc(void*, size_t size) { return std::malloc(size); }
void sdk_free(void*, void* address) { std::free(address); }
ISzAlloc sdk_allocator = {sdk_alloc, sdk_free};

[[noreturn]] void fail() { throw boost::system::system_error(tvk::make_error_code(tvk::EC_BAD_LZMA_FILE)); }

// Steps shared by both forms, on a container already known to hold at least 14 bytes.
std::vector<char> decode(const unsigned char* data, std::size_t size) {
    const std::uint64_t out_size = lzma_stated_size(data);
    if (out_size > max_in_memory) {
        LOG_DEBUG("Invalid uncompressed lzma size=" << out_size);
        fail();
    }

    std::vector<char> out(static_cast<std::size_t>(out_size));
    // The decoder may be handed an empty output; give it a valid address all the same.
    unsigned char empty_output;
    Byte* dest = out.empty() ? &empty_output : reinterpret_cast<Byte*>(out.data());
    SizeT dest_len = out.size();
    SizeT src_len = size - lzma_header_size;
    ELzmaStatus status;
    SRes result = LzmaDecode(dest, &dest_len, data + lzma_header_size, &src_len, data, LZMA_PROPS_SIZE, LZMA_FINISH_END,
                             &status, &sdk_allocator);
    if (result != SZ_OK) {
        LOG_DEBUG("LzmaDecode: error=" << result);
        fail();
    }
    return out;
}

}  // namespace

std::uint64_t lzma_stated_size(const unsigned char* header) {
    std::uint64_t size = 0;
    for (int i = 7; i >= 0; --i) size = (size << 8) | header[LZMA_PROPS_SIZE + i];
    return size;
}

std::vector<char> lzma_decompress(const char* begin, const char* end) {
    std::size_t size = static_cast<std::size_t>(end - begin);
    if (size < lzma_header_size + 1) {
        LOG_DEBUG("Invalid lzma buffer size=" << size);
        fail();
    }
    return decode(reinterpret_cast<const unsigned char*>(begin), size);
}

void lzma_decompress_file(const boost::filesystem::path& source, const boost::filesystem::path& destination,
                          std::uint64_t listed_size) {
    using boost::filesystem::filesystem_error;

    std::vector<char> out;
    {
        boost::system::error_code open_error;
        struct stat st;
        fd_guard_t in(open_regular(source.c_str(), open_error, &st, O_NOFOLLOW));
        if (in.get() < 0) throw filesystem_error("open", source, open_error);

        const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
        if (size < lzma_header_size + 1 || size > max_in_memory ||
            size - lzma_header_size > lzma_packed_bound(listed_size)) {
            LOG_DEBUG("Invalid lzma file size=" << size);
            fail();
        }
        unsigned char header[lzma_header_size];
        boost::system::error_code ec;
        read_exact(in.get(), header, sizeof header, ec);
        if (ec) throw filesystem_error("read", source, ec);
        const std::uint64_t stated = lzma_stated_size(header);
        if (stated != listed_size) {
            LOG_DEBUG("Invalid uncompressed lzma size=" << stated << ", listed " << listed_size);
            fail();
        }

        // Not zero-filled: every byte is read over at once.
        std::unique_ptr<unsigned char[]> packed(new unsigned char[static_cast<std::size_t>(size)]);
        std::copy(header, header + sizeof header, packed.get());
        read_exact(in.get(), packed.get() + sizeof header, static_cast<std::size_t>(size) - sizeof header, ec);
        if (ec) throw filesystem_error("read", source, ec);
        in.close_checked();

        out = decode(packed.get(), static_cast<std::size_t>(size));
    }

    boost::system::error_code ec;
    fd_guard_t dst(create_fresh(destination.c_str(), ec));
    if (dst.get() < 0) throw filesystem_error("open", destination, ec);
    write_all(dst.get(), out.data(), out.size(), ec);
    if (ec) throw filesystem_error("write", destination, ec);
    // Some file systems report a failed write only at close; that must not pass as success.
    if (dst.close_checked() != 0 && errno != EINTR) {
        throw filesystem_error("write", destination, last_errno());
    }
}

}  // namespace upd
