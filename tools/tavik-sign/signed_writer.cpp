// The signed files of make-zone: update.drl, zone.ini, and version.lst with its packed form.
#include "tools/tavik-sign/signed_writer.hpp"

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/formats.hpp"
#include "tools/tavik-sign/packer.hpp"

#include "files/mirror_tree.hpp"
#include "files/drl_file.hpp"
#include "files/signature_text.hpp"
#include "framework/limits.hpp"

namespace sign {

namespace {

// What the file at `path` holds; "" when there is none to read.
std::string existing(const std::string& path) {
    try {
        return read_input(path);
    } catch (const input_error_t&) {
        return "";  // signed anew, and written where it may be
    }
}

}  // namespace

void signed_writer_t::write_drl(const std::string& kept, const std::string& path,
                                const std::vector<std::string>& urls) const {
    std::string covered;
    for (const std::string& u : urls) covered += upd::drl_file_t::url_line_begin + u + "\n";
    write_kept(kept, path, covered, &signed_drl);
}

void signed_writer_t::write_ini(const std::string& kept, const std::string& path,
                                const std::vector<std::string>& fallbacks) const {
    std::string covered = "[Fallback]";
    for (const std::string& u : fallbacks) covered += "\r\nurl = " + u;
    write_kept(kept, path, covered, &signed_ini);
}

void signed_writer_t::write_list(const std::string& path, const std::string& covered, bool pack) const {
    const std::string list = signed_lst(covered, keys_.signature(covered)),
                      packed = path + upd::mirror_tree::packed_suffix;
    if (pack && list.size() <= upd::max_in_memory) write_output(packed, lzma_pack(list));
    write_output(path, list);
}

void signed_writer_t::write_kept(const std::string& kept, const std::string& path, const std::string& covered,
                                 form_t form) const {
    // The signature of the file kept is taken from where a probe signature stands in its form.
    const std::string file = existing(kept);
    const std::string zeros(
        upd::signature_text_t::dsa_digits + upd::signature_text_t::part_digits * keys_.ed25519.size(), '0');
    const std::string probe = form(covered, zeros);
    const std::size_t at = probe.find(zeros, covered.size());
    if (file.size() == probe.size() && at != std::string::npos) {
        const std::string signature = file.substr(at, zeros.size());
        if (file == form(covered, signature) && keys_.signed_text(covered, signature)) return write_output(path, file);
    }
    write_output(path, form(covered, keys_.signature(covered)));
}

}  // namespace sign
