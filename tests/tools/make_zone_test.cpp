// tavik-sign make-zone: refusals, stamps, generations of the tree.
#include "tests/support/updater_process.hpp"
#include "tools/tavik-sign/make_zone.hpp"
#include "tools/tavik-sign/packer.hpp"
#include "tools/tavik-sign/published.hpp"
#include "tools/tavik-sign/zone_checks.hpp"

#include "files/apply_patch.hpp"
#include "files/lst_file.hpp"
#include "files/signature_text.hpp"
#include "framework/utc_time.hpp"
#include "files/mirror_tree.hpp"
#include "files/patch_index.hpp"

#include <atomic>

namespace {

TEST(make_zone, refuses_a_change_of_keys_unless_told) {
    using sign::ed25519_signer_t;
    ts::scratch_t dir;
    ts::spit(dir / "files" / "a.avc", "a");
    sign::generate_key((dir / "new").string(), "a new DSA key");
    ed25519_signer_t::generate((dir / "ed").string());
    EXPECT_THROW(ed25519_signer_t::generate((dir / "ed").string()), std::runtime_error) << "never overwritten";
    EXPECT_EQ(ts::fs::status(dir / "ed.key").permissions(), ts::fs::perms(0600));
    EXPECT_EQ(ed25519_signer_t::read_key_line((dir / "ed.pub").string()),
              ts::hex(ed25519_signer_t::load((dir / "ed.key").string()).public_key().raw()));
    sign::zone_options_t o;
    o.files = (dir / "files").string(), o.out = (dir / "out").string(), o.urls = {"http://m.test/b"};
    const std::string dsa = TAVIK_SOURCE_DIR "/keys/development.key",
                      dev = TAVIK_SOURCE_DIR "/keys/development-ed25519.key", dev_id = "c59aabed9143d796";
    const std::string other = TAVIK_TEST_DATA "/keys/other-ed25519.key",
                      refused = "125 the list in \"" + o.out + "\" is signed by ";
    const std::string other_id = ed25519_signer_t::load(other).public_key().keyid(),
                      new_dsa = (dir / "new.key").string();
    // Keys, --new-keys, outcome, the KEYIDs of the list's parts, update.drl kept.
    const std::tuple<std::string, std::vector<std::string>, bool, std::string, std::string, bool> rows[] = {
        {dsa, {}, false, "ok", "none", false},
        {dsa, {dev}, false, "ok", dev_id, false},  // parts added to a list without any
        {dsa, {dev}, false, "ok", dev_id, true},   // the same keys: the server list stays as it was
        {dsa, {other}, false, refused + "no Ed25519 key given", dev_id, true},  // the same DSA key is not enough
        {dsa, {dev, other}, false, "ok", dev_id + ", " + other_id, false},
        {dsa, {other}, false, "ok", other_id, false},  // an Ed25519 rotation
        {new_dsa, {other}, false, refused + "another DSA key than the one given", other_id, true},
        {new_dsa, {other}, true, "ok", other_id, false},
        {dsa,
         {dev},
         false,
         refused + "none of the keys given (DSA key 7c839e0b85c89cd8, Ed25519 keys " + dev_id +
             "; its own parts are by " + other_id,
         other_id,
         true}};
    int stamp = 0;
    for (const auto& [key, ed25519, new_keys, outcome, parts, drl_kept] : rows) {
        const std::string drl = ts::slurp(dir / "out" / "update.drl");
        o.key = key, o.ed25519_keys = ed25519, o.new_keys = new_keys, o.stamp = std::to_string(++stamp);
        EXPECT_EQ(ts::outcome([&] { sign::make_zone(o); }).substr(0, outcome.size()), outcome) << stamp;
        std::string covered, signature;
        ASSERT_TRUE(upd::lst_file_t::split_signed(ts::slurp(dir / "out" / "version.lst"), covered, signature));
        EXPECT_EQ(upd::signature_text_t(signature).keyids(), parts) << stamp;
        EXPECT_EQ(ts::slurp(dir / "out" / "update.drl") == drl, drl_kept) << stamp;
    }
}

TEST(make_zone, one_run_at_a_time_and_stamps_rise) {
    ts::scratch_t dir;
    ts::spit(dir / "files" / "big", std::string(8 << 20, 'b'));  // a long run, to be watched and stopped
    sign::zone_options_t o;
    o.key = TAVIK_SOURCE_DIR "/keys/development.key", o.files = (dir / "files").string(),
    o.out = (dir / "www" / "z").string(), o.urls = {"http://m/"}, o.packed = false;
    const std::string lock = (dir / "www" / ".z.lock").string();
    std::atomic<bool> done{false};
    std::string faults, last;  // each list --out shows reads whole and is not below the one before ("" if not)
    std::thread watcher([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            const std::string stamp = sign::published_t::last_stamp(o.out);
            if (!last.empty() && upd::list_trust_t::stamp_less(stamp, last) && faults.size() < 200)
                faults += "[" + stamp + " after " + last + "] ";
            last = std::max(last, stamp, upd::list_trust_t::stamp_less);
        }
    });
    const std::tuple<std::string, std::string, unsigned, std::string, std::string> rows[] = {
        // another process's stamp; this run's, its --wait, its outcome ("%": the lock); the tree
        {"400", "500", 1, "%", ".z.gen-400 .z.lock z "},
        {"600", "0550", 30, "125 the stamp 0550 is not above 600, the stamp of the list in",
         ".z.gen-400 .z.gen-600 .z.lock z "},
        {"800", "950", 30, "ok", ".z.gen-800 .z.gen-950 .z.lock z "}};
    for (const auto& [first_stamp, stamp, wait, outcome, tree] : rows) {
        ts::updater_t first(ts::launch_t{{"make-zone", "--key", o.key, "--files", o.files, "--out", o.out, "--url",
                                          o.urls[0], "--plain-only", "--stamp", first_stamp},
                                         nullptr,
                                         7,
                                         RLIM_INFINITY,
                                         {},
                                         "tavik-sign"});
        const std::string pid = std::to_string(first.pid());
        for (int i = 0; i < 5000 && ts::slurp(lock).rfind(pid + "\n", 0) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        first.kill(SIGSTOP);  // holding the lock: let go on soon for a long --wait, else after this run
        std::thread go([&, wait = wait] {
            if (wait > 1) std::this_thread::sleep_for(std::chrono::milliseconds(300)), first.kill(SIGCONT);
        });
        o.stamp = stamp, o.wait = wait;
        const std::string want =
            outcome != "%" ? outcome
                           : "125 another make-zone run holds the lock \"" + lock + "\" (process " + pid + ")";
        EXPECT_EQ(ts::outcome([&] { sign::make_zone(o); }).substr(0, want.size()), want) << stamp;
        go.join(), first.kill(SIGCONT);
        EXPECT_EQ(first.wait_exit(), 0) << first_stamp << first.err();
        EXPECT_EQ(ts::listing(dir / "www"), tree) << stamp;
    }
    done = true, watcher.join();
    EXPECT_EQ(faults, "") << "last " << last;
}

TEST(make_zone, validity_and_stamp_options) {
    const std::pair<std::string, long long> rows[] = {{"14d", 14 * 86400}, {"1h", 3600}, {"none", 0},     {"0h", -1},
                                                      {"59m", -1},         {"1.5d", -1}, {"9999999d", -1}};
    for (const auto& [text, expected] : rows) {
        long long seconds = -1;
        ts::outcome([&, &text = text] { seconds = sign::validity_seconds(text); });
        EXPECT_EQ(seconds, expected) << text;
    }
    sign::zone_options_t o;
    long long expires = 0;
    EXPECT_TRUE(upd::from_utc_digits(sign::list_expiry(o), expires));
    EXPECT_NEAR(expires - std::time(nullptr), 14 * 86400, 5) << "the default";
    o.urls = {"http://m/"}, o.stamp = "6x";
    EXPECT_EQ(ts::outcome([&] { sign::check_options(o); }), "125 the stamp \"6x\" must be 1 to 64 decimal digits");
    EXPECT_EQ(sign::check_pattern(".tavik-expires"),
              "the pattern \".tavik-expires\" begins with .tavik-, which file lists keep for their own lines");
}

TEST(make_zone, urls_read_back_as_given) {
    const std::string scheme = "% does not begin with http:// or https://",
                      port = "the port of % is not a number from 1 to 65535";
    const std::tuple<std::string, bool, std::string> rows[] = {
        // URL, in zone.ini, what is wrong ("": nothing; %: the URL quoted)
        {"HTTPS://m.test:443/b/", true, ""},
        {"http://127.0.0.1:65535", false, ""},
        {"http://m.test/#b", false, ""},
        {"ftp://m.test/b", false, scheme},
        {"http:///b", false, "% names no host"},
        {"http://m.test/b c", false, "% holds a blank or a line end"},
        {"http://u:pw@m.test/b", false, "% holds a user name, which the updater would take for the host"},
        {"http://m.test/#b", true, "% holds '#' or ';', which zone.ini takes for a comment"},
        {"http://m.test:0/b", false, port},
        {"http://m.test:65536/b", false, port},
        {"http://m.test:/b", false, port},
        {"http://m.test?q=1", false, "the host of % may hold only letters, digits, '-', '.' and '_'"},
        {"http://m.test:080/b", false, "% would be read as \"http://m.test:80/b\""}};
    for (auto [url, in_ini, expected] : rows) {
        if (expected.find('%') != std::string::npos) expected.replace(expected.find('%'), 1, "the URL \"" + url + "\"");
        EXPECT_EQ(sign::check_url(url, in_ini), expected) << url;
    }
}

TEST(make_zone, each_run_a_new_generation) {
    ts::scratch_t dir;
    const ts::fs::path files = dir / "files", out = files / "tree";  // within the files, yet no input
    sign::zone_options_t o;
    o.key = TAVIK_SOURCE_DIR "/keys/development.key", o.files = files.string(), o.out = out.string(),
    o.urls = {"http://m.test/b"}, o.drl_name = "bases.drl";
    std::string big;  // a few hundred KiB, packed as a stream
    for (std::uint32_t i = 0, x = 1; i < 300000; ++i) x = x * 1103515245u + 12345u, big += "abcdefgh"[(x >> 16) % 8];
    struct stat own {
    }, st{};
    ts::spit(out / "notes" / "own.txt", "not published"), ::stat((out / "notes" / "own.txt").c_str(), &own);
    // Small files (the signed lists among them) pack no smaller: they are published plain only.
    const std::string tail = "update.drl version.lst version.lst.lzma zone.ini ";
    const std::string later = ".published big big.lzma link notes patches timestamp update.drl version.lst zone.ini ";
    const auto plant = [&] {  // links in the tree and beside it that no run follows
        ts::spit(dir / "elsewhere" / "x", "x"), ts::fs::create_directory_symlink(dir / "elsewhere", out / "link"),
            ts::fs::create_directory_symlink(dir / "elsewhere", files / ".tree.gen-1");
    };
    const std::tuple<std::function<void()>, std::string, std::string, bool, std::string> rows[] = {
        // change, outcome, tree, update.drl kept, beside it
        {[] {}, "125 \"" + files.string() + "\" holds no regular file (--allow-empty publishes a zone without files)",
         "notes ", true, ".tree.lock tree a folder"},
        {[&] { o.allow_empty = true; }, "ok", ".published bases.drl notes patches " + tail, false,
         ".tree.gen-0 .tree.gen-2 .tree.lock tree .tree.gen-2"},
        {[&] { ts::spit(files / "a.avc", "a"), ts::spit(files / "big", big), ts::spit(files / "timestamp", "1"); },
         "ok", ".published a.avc bases.drl big big.lzma notes patches timestamp " + tail, true,
         ".tree.gen-2 .tree.gen-3 .tree.lock a.avc big timestamp tree .tree.gen-3"},
        {[&] { ts::fs::remove(files / "a.avc"), o.drl_name = "", o.lzma_list = false, plant(); }, "ok", later, true,
         ".tree.gen-1 .tree.gen-3 .tree.gen-4 .tree.lock big timestamp tree .tree.gen-4"},
        {[&] { o.urls = {"http://n.test/b"}, o.drl_name = "zone.ini"; },
         "125 --drl-name \"zone.ini\" is the name of another file of the tree", later, true,
         ".tree.gen-1 .tree.gen-3 .tree.gen-4 .tree.lock big timestamp tree .tree.gen-4"},
        {[&] { o.drl_name = "update.drl"; }, "ok", later, false,
         ".tree.gen-1 .tree.gen-4 .tree.gen-6 .tree.lock big timestamp tree .tree.gen-6"}};
    int stamp = 0;
    for (const auto& [change, outcome, tree, drl_kept, beside] : rows) {
        const std::string drl = ts::slurp(out / "update.drl"), ini = ts::slurp(out / "zone.ini");
        change(), o.stamp = std::to_string(++stamp);
        EXPECT_EQ(ts::outcome([&] { sign::make_zone(o); }), outcome) << stamp;
        EXPECT_EQ(ts::listing(out), tree) << stamp;
        EXPECT_EQ(ts::listing(files) + (ts::fs::is_symlink(out) ? ts::fs::read_symlink(out).string() : "a folder"),
                  beside)
            << stamp;
        EXPECT_TRUE(::stat((out / "notes" / "own.txt").c_str(), &st) == 0 && st.st_ino == own.st_ino)
            << stamp << ": a hard link";
        EXPECT_EQ(ts::slurp(out / "update.drl") == drl, drl_kept) << stamp;
        EXPECT_TRUE(ini.empty() || ts::slurp(out / "zone.ini") == ini) << stamp;
        EXPECT_TRUE(!ts::fs::exists(out / "bases.drl") || ts::slurp(out / "bases.drl") == ts::slurp(out / "update.drl"))
            << stamp;
    }
    EXPECT_TRUE(ts::slurp(out / "big.lzma") == sign::lzma_pack(big)) << "the stream packed as a whole would be";
    EXPECT_TRUE(ts::fs::is_symlink(out / "link") && ts::fs::exists(dir / "elsewhere" / "x"))
        << "carried over and removed as a link";
    const std::string list = ts::slurp(out / "version.lst");
    EXPECT_NE(list.find("+big, " + ts::hex(ts::digest(EVP_sha256(), big)) + ", 300000\n"), std::string::npos);
    EXPECT_NE(list.find("\n-.tavik-plain,update.drl\n"), std::string::npos);
    EXPECT_EQ(list.find("-.tavik-plain,big"), std::string::npos);
    EXPECT_EQ(list.find("-.tavik-plain,timestamp"), std::string::npos) << "never asked for packed";
}

TEST(make_zone, patches_from_each_earlier_version) {
    ts::scratch_t dir;
    const auto noise = [](std::size_t n, std::uint32_t x) {
        std::string s;
        while (s.size() < n) x = x * 1103515245u + 12345u, s += char(x >> 16);
        return s;
    };
    const std::string big = noise(300000, 1), v1 = std::string(big).replace(9000, 4096, noise(4096, 2)),
                      v2 = std::string(big).insert(150000, noise(999, 3));
    const std::pair<std::string, std::string> files[] = {
        {"files/big", big},           {"p1/big", v1},     {"p2/big", v2},
        {"files/same", "s"},          {"p1/same", "s"},   {"files/fresh", noise(4096, 4)},
        {"p1/fresh", noise(4096, 5)}, {"files/new", "n"}, {"p2/gone", "g"}};
    for (const auto& [path, bytes] : files) ts::spit(dir / path, bytes);
    sign::zone_options_t o;
    o.key = TAVIK_SOURCE_DIR "/keys/development.key", o.files = (dir / "files").string(),
    o.out = (dir / "out").string(), o.urls = {"http://m.test/b"};
    o.previous = {(dir / "p1").string(), (dir / "p2").string(), (dir / "p1").string()}, o.stamp = "1";
    ASSERT_EQ(ts::outcome([&] { sign::make_zone(o); }), "ok");
    const auto h = [&](const std::string& bytes) { return ts::hex(ts::digest(EVP_sha256(), bytes)); };
    std::set<std::string> lines, listed{"index"};
    for (const std::string& old : {v1, v2}) {
        const std::string patch = ts::slurp(dir / "out" / upd::patch_index_t::patch_path(h(old), h(big)));
        EXPECT_LT(patch.size(), 12000u);
        EXPECT_TRUE(upd::apply_patch(old.data(), old.size(), patch.data(), patch.size(), big.size()) ==
                    std::vector<char>(big.begin(), big.end()));
        lines.insert(upd::patch_index_t::line("big", h(old), h(big), patch.size())),
            listed.insert(upd::patch_index_t::patch_path(h(old), h(big)).substr(8));
    }
    EXPECT_EQ(ts::slurp(dir / "out" / upd::mirror_tree::patch_index),
              std::accumulate(lines.begin(), lines.end(), std::string()));
    EXPECT_EQ(ts::listing(dir / "out" / "patches"),
              std::accumulate(listed.begin(), listed.end(), std::string(),
                              [](std::string t, const std::string& n) { return t + n + " "; }));
    o.previous = {o.out}, o.stamp = "2";  // the tree it shows: the same versions, no patch
    EXPECT_EQ(ts::outcome([&] { sign::make_zone(o); }), "ok");
    EXPECT_EQ(ts::listing(dir / "out") + ts::listing(dir / "out" / "patches") +
                  ts::slurp(dir / "out" / upd::mirror_tree::patch_index),
              ".published big fresh new patches same update.drl version.lst version.lst.lzma zone.ini index ");
}

}  // namespace
