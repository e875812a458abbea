// tavik-sign make-zone: builds the update-server tree of one zone from a folder of files, step by step.
#include "tools/tavik-sign/make_zone.hpp"

#include "tools/tavik-sign/file_source.hpp"
#include "tools/tavik-sign/generation.hpp"
#include "tools/tavik-sign/patcher.hpp"
#include "tools/tavik-sign/published.hpp"
#include "tools/tavik-sign/signed_writer.hpp"

#include "files/mirror_tree.hpp"
#include "framework/run_lock.hpp"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace fs = boost::filesystem;

namespace sign {

namespace {

// The folders of the options, checked before the new generation is made.
void check_folders(const zone_options_t& o) {
    boost::system::error_code ignored;
    if (fs::equivalent(o.out, o.files, ignored))
        throw std::runtime_error("the output folder must not be the folder of files");
    for (const std::string& dir : o.previous)
        if (!fs::is_directory(dir)) throw std::runtime_error("--previous " + quoted(dir) + " is not a directory");
}

// The steps that write the tree, once the options, the inputs and the folder passed their checks.
class zone_run_t {
public:
    // Reads the tree through --out, and writes the new one into `into`.
    zone_run_t(const zone_options_t& options, const std::string& into, std::vector<zone_input_t> inputs,
               published_t& published)
        : o_(options),
          out_(into),
          inputs_(std::move(inputs)),
          published_(published),
          patcher_(out_, o_.previous, published_) {}

    // Records every name the run writes, and refuses a --drl-name that is one of them.
    void record_names() {
        std::vector<std::string> listed{upd::mirror_tree::server_list, upd::mirror_tree::zone_ini};
        for (const zone_input_t& input : inputs_) listed.push_back(input.name);
        for (const std::string& name : listed) {
            published_.add(name);
            if (may_pack(name)) published_.add(name + upd::mirror_tree::packed_suffix);
        }
        for (const char* name : {upd::mirror_tree::list, upd::mirror_tree::patch_index, published_t::record_name})
            published_.add(name);
        if (o_.lzma_list && o_.packed) published_.add(upd::mirror_tree::packed_list);
        if (drl_copy() && (published_.has(o_.drl_name) || made_by_make_zone(o_.drl_name))) {
            throw std::runtime_error("--drl-name " + quoted(o_.drl_name) + " is the name of another file of the tree");
        }
        if (drl_copy()) published_.add(o_.drl_name);
    }

    void publish_inputs() {
        for (const zone_input_t& input : inputs_) publish(input.name, input.path, at(input.name));
    }

    void publish_server_lists(const signed_writer_t& writer) {
        writer.write_drl(was(upd::mirror_tree::server_list), at(upd::mirror_tree::server_list), o_.urls);
        // Fallback servers are asked for the file name of the DRL path an installation configures.
        publish(upd::mirror_tree::server_list, at(upd::mirror_tree::server_list), drl_copy() ? at(o_.drl_name) : "");
        writer.write_ini(was(upd::mirror_tree::zone_ini), at(upd::mirror_tree::zone_ini), o_.fallbacks);
        publish(upd::mirror_tree::zone_ini, at(upd::mirror_tree::zone_ini), "");
    }

    // Last, so that the list never names a file the tree does not hold yet.
    void publish_list(const signed_writer_t& writer, const std::string& stamp) {
        patches_ = patcher_.write_index();
        const std::string text = upd::lst_file_t::unsigned_text(stamp, files_, o_.patterns, list_expiry(o_), o_.zone);
        writer.write_list(at(upd::mirror_tree::list), text, o_.lzma_list && o_.packed);
    }

    // What the tree before held and make-zone did not publish comes along, and --out shows the new one.
    void finish(generation_t& generation) {
        published_.save(at(published_t::record_name));
        generation.carry_over([this](const std::string& name) { return published_.publishes(name); });
        generation.switch_to();
        std::printf("%s: %zu files listed (%zu packed), %zu patterns, %zu URLs, %zu fallback URLs, %zu patches\n",
                    o_.out.c_str(), files_.size(), packed_, o_.patterns.size(), o_.urls.size(), o_.fallbacks.size(),
                    patches_);
    }

private:
    // Every path of the new tree is made here, and of the tree before in was().
    std::string at(const std::string& name) const { return (out_ / name).string(); }
    std::string was(const std::string& name) const { return (fs::path(o_.out) / name).string(); }
    bool may_pack(const std::string& name) const { return o_.packed && !upd::lst_file_t::is_timestamp(name); }
    bool drl_copy() const { return !o_.drl_name.empty() && o_.drl_name != upd::mirror_tree::server_list; }

    // Lists the file `name` read from `from`, copied to `copy` unless empty, packed and patched.
    void publish(const std::string& name, const std::string& from, const std::string& copy) {
        upd::lst_file_t::entry_t& entry = files_[name];
        std::string whole;  // the new bytes, held only while an earlier version may be patched to them
        const bool wanted = patcher_.wanted(name);
        const bool packed = stream_file(from, copy, at(name + upd::mirror_tree::packed_suffix), may_pack(name), entry,
                                        wanted ? &whole : nullptr);
        if (packed) ++packed_;
        if (wanted) patcher_.make(name, entry, whole);
    }

    const zone_options_t& o_;
    const fs::path out_;
    const std::vector<zone_input_t> inputs_;
    published_t& published_;
    patcher_t patcher_;
    upd::lst_file_t::files_t files_;
    std::size_t packed_ = 0, patches_ = 0;
};

// A tree whose list another DSA key signed, or whose Ed25519 parts are all by other keys, was
// published for clients that trust those: either kind alone refuses every list from now on (a
// client built with Ed25519 keys needs a part by one of its own beside the DSA signature it checks),
// unless the change is meant.
void check_key_change(const zone_options_t& o, const signing_keys_t& keys, const published_t& tree) {
    const published_t::key_change_t& change = tree.key_change();
    if (o.new_keys || (!change.dsa && !change.ed25519)) return;
    const char* by = change.dsa && change.ed25519 ? "none of the keys given"
                     : change.dsa                 ? "another DSA key than the one given"
                                                  : "no Ed25519 key given";
    throw std::runtime_error(
        "the list in " + quoted(o.out) + " is signed by " + by + " (DSA key " + keys.fingerprint() + ", Ed25519 keys " +
        keys.keyids() + "; its own parts are by " + change.keyids +
        "): its clients would refuse every list signed now (--new-keys publishes with new keys all the same)");
}

// Two runs on one tree would remove each other's generations as left over, or switch --out back to
// a lower stamp: a run holds the tree's lock from before it reads the tree until it ends.
void take_lock(upd::run_lock_t& lock, const zone_options_t& o) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.wait);
    for (bool first = true; !lock.try_lock(); first = false) {
        const long pid = lock.holder();
        const std::string held = "another make-zone run holds the lock " + quoted(lock.path()) +
                                 (pid ? " (process " + std::to_string(pid) + ")" : "");
        if (std::chrono::steady_clock::now() >= deadline) throw std::runtime_error(held);
        if (first)
            std::printf("tavik-sign make-zone: %s; waiting up to %u s\n", held.c_str(), o.wait), std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// What a vendor build refuses, said before it is published.
void warn_lenient(const zone_options_t& o) {
    static const char* const zones[] = {"BASE", "VERSION", "NRD", "ANTISPAM"};
    const char* who = "tavik-sign make-zone: warning: ";
    if (o.zone.empty())
        std::fprintf(stderr, "%sthe list names no zone (--zone NAME): vendor builds refuse it\n", who);
    else if (std::find(std::begin(zones), std::end(zones), o.zone) == std::end(zones))
        std::fprintf(stderr, "%sthe zone %s is none of BASE, VERSION, NRD and ANTISPAM\n", who, o.zone.c_str());
    if (validity_seconds(o.valid_for) == 0)
        std::fprintf(stderr, "%sthe list has no expiry (--valid-for none): vendor builds refuse it\n", who);
}

}  // namespace

void make_zone(const zone_options_t& options) {
    check_options(options);
    // A bad key file fails before anything is written.
    const signed_writer_t writer(signing_keys_t::load(options.key, options.ed25519_keys));
    const std::string lock_path = generation_t::lock_path(options.out);
    fs::create_directories(fs::path(lock_path).parent_path());
    upd::run_lock_t lock(lock_path);
    take_lock(lock, options);
    const std::string stamp = list_stamp(options);
    published_t published(options.out, writer.keys());  // what the tree --out shows holds
    check_key_change(options, writer.keys(), published);
    writer.keys().announce("tavik-sign make-zone");
    warn_lenient(options);
    std::vector<zone_input_t> inputs = list_inputs(options);
    check_folders(options);
    generation_t generation(options.out, stamp);  // removed again unless --out is switched to it
    zone_run_t run(options, generation.path(), std::move(inputs), published);
    run.record_names();
    run.publish_inputs();
    run.publish_server_lists(writer);
    run.publish_list(writer, stamp);
    run.finish(generation);
}

command_t make_zone_command() {
    return {"make-zone", zone_usage,
            "build a zone's server tree: signed version.lst (and .lzma), NAME.lzma of every file "
            "but timestamp, signed update.drl and zone.ini (each kept as it is while its text is "
            "unchanged), patches from the versions in each --previous folder and their index, "
            "in a new folder beside OUTDIR that the link OUTDIR is then switched to; the files of "
            "the tree before that make-zone did not publish are carried over; one run at a time per OUTDIR, "
            "under the lock .NAME.lock beside it (--wait SECONDS for another run to end)",
            [](const std::vector<std::string>& args) {
                make_zone(zone_options(args));
                return 0;
            }};
}

}  // namespace sign
