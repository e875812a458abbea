// The suite's error vocabulary in boost::system form, and the mapping of any failure onto it.
#include "error_code.hpp"

#include "annotation.pb.h"
#include "cf_exception.hpp"
#include "cf_outcome.hpp"
#include "cf_proto_exception.hpp"

#include <boost/system/system_error.hpp>
#include <boost/thread/tss.hpp>
#include <boost/xpressive/xpressive_static.hpp>

#include <cerrno>
#include <cstring>
#include <new>
#include <typeinfo>

namespace {

// Looks the number up in the schema, so texts cannot drift from error.proto.
bool enum_text(int value, std::string& text) {
    const google::protobuf::EnumValueDescriptor* d = tvk::ErrorCode_descriptor()->FindValueByNumber(value);
    if (!d) return false;
    if (d->options().HasExtension(tvk::lex)) {
        text = d->options().GetExtension(tvk::lex);
    } else {
        text = d->name();
    }
    return true;
}

}  // namespace

namespace tvk {

const char* cf_proto_error_impl_t::name() const noexcept { return "tvk.Error"; }

std::string cf_proto_error_impl_t::message(int value) const {
    std::string text;
    if (enum_text(value, text)) return text;
    return "tvk.Error " + std::to_string(value);
}

const boost::system::error_category& proto_error_category() {
    static const cf_proto_error_impl_t instance;
    return instance;
}

boost::system::error_code make_error_code(ErrorCode code) {
    return boost::system::error_code(static_cast<int>(code), proto_error_category());
}

}  // namespace tvk

std::string error_code_text(tvk::ErrorCode code) {
    std::string text;
    if (enum_text(static_cast<int>(code), text)) return text;
    return std::to_string(static_cast<int>(code));
}

std::string error_text(const tvk::Error& error) {
    return error.has_what() ? error.what() : error_code_text(error.code());
}

boost::system::error_code last_errno() { return boost::system::error_code(errno, boost::system::system_category()); }

namespace {

// The portable condition, or the system's own number where the library knows no condition for it
// (Boost 1.74 has none for EDQUOT).
bool is_errno(const boost::system::error_code& ec, int value) {
    return ec == boost::system::error_condition(value, boost::system::generic_category()) ||
           (ec.category() == boost::system::system_category() && ec.value() == value);
}

}  // namespace

tvk::ErrorCode to_error_code(const boost::system::error_code& ec) {
    if (ec.category() == tvk::proto_error_category() && tvk::ErrorCode_descriptor()->FindValueByNumber(ec.value())) {
        return static_cast<tvk::ErrorCode>(ec.value());
    }
    // errno values, compared as portable conditions. A full disk or quota is this machine's I/O
    // failure, never a server's.
    static const struct {
        int condition;
        tvk::ErrorCode code;
    } table[] = {
        {0, tvk::EC_OK},
        {EACCES, tvk::EC_PERMISSION_DENIED},
        {EPERM, tvk::EC_PERMISSION_DENIED},
        {ENOENT, tvk::EC_NO_SUCH_ENTRY},
        {ENOTDIR, tvk::EC_NOT_A_DIRECTORY},
        {EROFS, tvk::EC_READ_ONLY_FS},
        {EINVAL, tvk::EC_INVALID_ARGUMENT},
        {EEXIST, tvk::EC_FILE_EXISTS},
        {EADDRINUSE, tvk::EC_NAME_ALREADY_IN_USE},
        {EXDEV, tvk::EC_CROSS_DEVICE_LINK},
        {ENOSPC, tvk::EC_IO_ERROR},
        {EDQUOT, tvk::EC_IO_ERROR},
    };
    for (const auto& row : table) {
        if (is_errno(ec, row.condition)) return row.code;
    }
    return tvk::EC_UNEXPECTED_ERROR;
}

boost::system::error_code error_code_of(const std::exception& e) {
    if (auto se = dynamic_cast<const boost::system::system_error*>(&e)) return se->code();
    if (auto pe = dynamic_cast<const cf_proto_exception_t*>(&e)) return tvk::make_error_code(pe->code());
    if (auto ce = dynamic_cast<const cf_exception_t*>(&e)) return ce->code();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return tvk::make_error_code(tvk::EC_NO_MEMORY);
    return tvk::make_error_code(tvk::EC_UNEXPECTED_ERROR);
}

boost::system::error_code error_code_of(std::exception_ptr p) {
    if (!p) return tvk::make_error_code(tvk::EC_OK);
    try {
        std::rethrow_exception(p);
    } catch (const std::bad_alloc&) {
        return tvk::make_error_code(tvk::EC_NO_MEMORY);
    } catch (const boost::system::system_error& e) {
        return e.code();
    } catch (const cf_exception_t& e) {
        return e.code();
    } catch (const cf_proto_exception_t& e) {
        return tvk::make_error_code(e.code());
    } catch (const cf_outcome_t& outcome) {
        return tvk::make_error_code(outcome.code());
    } catch (...) {
        return tvk::make_error_code(tvk::EC_UNEXPECTED_ERROR);
    }
}

bool out_of_space(const std::exception& e) {
    const boost::system::error_code ec = error_code_of(e);
    return is_errno(ec, ENOSPC) || is_errno(ec, EDQUOT);
}

tvk::ErrorCode exit_code_of(const std::exception& e) { return to_error_code(error_code_of(e)); }

tvk::ErrorCode exit_code_of(std::exception_ptr p) { return to_error_code(error_code_of(p)); }

const char* exception_text(const std::exception& e) {
    using namespace boost::xpressive;
    // The qualified-name prefix that boost puts before its messages ("boost::filesystem::").
    static const cregex prefix = as_xpr("boost::") >> *(+_w >> "::");
    static boost::thread_specific_ptr<std::string> rewritten;

    const char* s = e.what();
    cmatch m;
    if (regex_search(s, m, prefix, regex_constants::match_continuous)) {
        const char* rest = s + m.length(0);
        static const char dir_prefix[] = "boost::filesystem::directory_iterator::";
        static const char construct[] = "construct:";
        if (m.str(0) == dir_prefix && std::strncmp(rest, construct, 10) == 0) {
            if (!rewritten.get()) rewritten.reset(new std::string);
            *rewritten = std::string("opendir:") + (rest + 10);
            return rewritten->c_str();
        }
        return rest;
    }
    if (typeid(e) == typeid(std::bad_alloc)) return "Not enough memory";
    return s;
}

std::string exception_text(std::exception_ptr p) {
    try {
        std::rethrow_exception(p);
    } catch (const std::exception& e) {
        return exception_text(e);
    } catch (const cf_outcome_t& outcome) {
        return outcome.text();
    } catch (...) {
        return "Unexpected exception";
    }
}
