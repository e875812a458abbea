// Replacing a file safely: written under a temporary name beside it, flushed, renamed over it.
#include "framework/file_replacement.hpp"

#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"

#include <boost/filesystem/exception.hpp>

#include <cstdio>
#include <unistd.h>

const char file_replacement_t::suffix[] = ".tmp";

file_replacement_t::file_replacement_t(std::string path, mode_t mode)
    : path_(std::move(path)), temporary_(path_ + suffix) {
    boost::system::error_code ec;
    fd_.reset(create_fresh(temporary_.c_str(), ec, mode));
    if (fd_.get() < 0) throw boost::filesystem::filesystem_error("open", temporary_, ec);
}

file_replacement_t::~file_replacement_t() {
    if (!committed_) fd_.reset(), ::unlink(temporary_.c_str());
}

void file_replacement_t::append(const void* data, std::size_t size) { write_all(fd_.get(), data, size); }

void file_replacement_t::commit() {
    if (::fsync(fd_.get()) != 0) throw boost::system::system_error(last_errno(), "fsync");
    if (fd_.close_checked() != 0) throw boost::system::system_error(last_errno(), "close");
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) throw boost::system::system_error(last_errno(), "rename");
    committed_ = true;
}

void replace_file(const std::string& path, const std::function<void(int fd)>& write) {
    file_replacement_t file(path);
    write(file.descriptor());
    file.commit();
}
