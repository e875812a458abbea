// Answers an HTTP proxy's 407 challenge with a Basic or Digest Proxy-Authorization value.
#include "net/proxy_auth.hpp"

#include "framework/cf_log.hpp"
#include "framework/digest.hpp"
#include "framework/error_code.hpp"
#include "net/url.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <boost/algorithm/string/predicate.hpp>

#include <boost/system/system_error.hpp>

#include <cstdio>
#include <map>
#include <stdexcept>

namespace upd {

namespace {

bool is_word(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

// White space of the C locale, whatever locale the process runs in.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::size_t skip_word(const std::string& text, std::size_t pos) {
    while (pos < text.size() && is_word(text[pos])) ++pos;
    return pos;
}

// Matches one item `name[=("value"|word)]` and its terminator (end, blanks, or "," and blanks)
// anchored at `pos`. On success stores the pair and returns the position after the item.
bool match_item(const std::string& text, std::size_t pos, std::string& name, std::string& value, std::size_t& next) {
    const std::size_t name_end = skip_word(text, pos);
    if (name_end == pos) return false;

    // The optional value; when it does not match, the item continues right after the name.
    std::size_t end = name_end;
    std::string found;
    if (name_end < text.size() && text[name_end] == '=') {
        const std::size_t v = name_end + 1;
        if (v < text.size() && text[v] == '"') {
            const std::size_t close = text.find('"', v + 1);
            if (close != std::string::npos && close > v + 1) {
                found = text.substr(v + 1, close - v - 1);
                end = close + 1;
            }
        }
        if (end == name_end) {
            const std::size_t word_end = skip_word(text, v);
            if (word_end > v) {
                found = text.substr(v, word_end - v);
                end = word_end;
            }
        }
    }

    // The terminator.
    if (end == text.size()) {
        next = end;
    } else if (is_space(text[end])) {
        next = end;
        while (next < text.size() && is_space(text[next])) ++next;
    } else if (text[end] == ',') {
        next = end + 1;
        while (next < text.size() && is_space(text[next])) ++next;
    } else {
        return false;
    }

    name = text.substr(pos, name_end - pos);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    value = found;
    return true;
}

std::map<std::string, std::string> read_challenge(const std::string& challenge) {
    std::map<std::string, std::string> params;
    std::size_t pos = 0;
    while (pos < challenge.size()) {
        std::string name, value;
        std::size_t next = pos;
        if (!match_item(challenge, pos, name, value, next)) {
            LOG_DEBUG("Can not parse \"" << challenge.substr(pos) << "\"");
            break;
        }
        params[name] = value;
        pos = next;
    }
    LOG_DEBUG("Proxy-Authenticate: " << challenge);
    return params;
}

const std::string& param(const std::map<std::string, std::string>& params, const char* name) {
    static const std::string empty;
    const auto it = params.find(name);
    return it == params.end() ? empty : it->second;
}

[[noreturn]] void refuse(const std::string& what) {
    LOG_ERROR(what);
    throw boost::system::system_error(tvk::make_error_code(tvk::EC_PROXY_AUTH_ERROR), what);
}

}  // namespace

proxy_challenge_t read_proxy_challenge(const http_response_t& response) {
    const std::string& text = response.headers().find("Proxy-Authenticate");
    const std::map<std::string, std::string> params = read_challenge(text);
    proxy_challenge_t challenge;
    if (params.count("digest")) {
        challenge.digest = true;
        challenge.realm = param(params, "realm"), challenge.nonce = param(params, "nonce"),
        challenge.qop = param(params, "qop");
        challenge.stale = boost::algorithm::iequals(param(params, "stale"), "true");
        if (!challenge.qop.empty() && challenge.qop != "auth") {
            refuse("Digest authentication with qop=\"" + challenge.qop + "\" is not supported");
        }
    } else if (!params.count("basic")) {
        LOG_ERROR("Proxy-Authenticate: " << text);
        refuse("Not supported authentication type");
    }
    return challenge;
}

std::string answer_proxy_challenge(const proxy_challenge_t& challenge, const http_request_t& request,
                                   const std::string& user, const std::string& password, std::uint32_t nc,
                                   const std::string& cnonce) {
    if (!challenge.digest) {
        // The Base64 text is the password in plain sight: only the scheme goes to the log.
        LOG_DEBUG("Proxy-Authorization: Basic <credentials hidden>");
        return "Basic " + base64_encode(user + ":" + password);
    }
    // Absolute targets are answered by their path, CONNECT's host:port as it stands.
    const url_t target(request.target);
    const std::string uri = target.scheme().empty() ? target.to_string() : "/" + target.path();
    char count[9];
    std::snprintf(count, sizeof count, "%08x", static_cast<unsigned>(nc));
    const std::string ha1 = md5_hex(user + ":" + challenge.realm + ":" + password);
    const std::string ha2 = md5_hex(request.method + ":" + uri);
    const std::string response =
        challenge.qop.empty() ? md5_hex(ha1 + ":" + challenge.nonce + ":" + ha2)
                              : md5_hex(ha1 + ":" + challenge.nonce + ":" + count + ":" + cnonce + ":auth:" + ha2);
    const std::string value = "Digest username=\"" + user + "\", realm=\"" + challenge.realm + "\", nonce=\"" +
                              challenge.nonce + "\", uri=\"" + uri + "\", cnonce=\"" + cnonce + "\", nc=" + count +
                              ", qop=\"" + challenge.qop + "\", response=\"" + response + "\"";
    LOG_DEBUG("Proxy-Authorization: " << value);
    return value;
}

std::string random_cnonce() {
    unsigned char bytes[12];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("RAND_bytes failed");
    return base64_encode(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

std::string md5_hex(const std::string& text) { return to_hex(cf_digest_t::of(text.data(), text.size(), EVP_md5())); }

std::string base64_encode(const std::string& bytes) {
    // One block, without line breaks: a header value is one line.
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace upd
