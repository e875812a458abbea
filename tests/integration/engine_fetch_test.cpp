// One file's fetch: packed form first, the plain file when that is missing or unusable, the digest
// check, the limits, and what each case requests and leaves on disk.
#include "engine/updater.hpp"
#include "files/checker.hpp"
#include "net/url.hpp"
#include "support/servers.hpp"

namespace {

using fault_t = ts::fault_server_t::fault_t;

TEST(engine_fetch, packed_first_plain_as_the_fallback_and_only_verified_files_kept) {
    const std::string content(5000, 'c'), other(5000, 't');  // the listed size, another digest
    ts::scratch_t packer;
    ts::make_zone({{{"f", content}, {"o", other}}, {"http://h/"}, {}, {}, {}}, packer / "zone");
    const std::string container = ts::slurp(packer / "zone" / "f.lzma");
    const struct {
        std::map<std::string, std::string> served;  // what the server holds
        fault_t fault;                              // met by the files whose names begin with `prefix`
        std::string prefix, name;
        bool packed, downloaded_before;
        std::string expected, requests, left;  // outcome; the paths asked for; the target's content
        std::string line;
    } rows[] = {
        {{{"f.lzma", container}},
         fault_t::none,
         "",
         "f",
         true,
         false,
         "ok",
         "/f.lzma",
         content,
         "Notice: Downloaded f.lzma ("},
        {{{"f", content}},
         fault_t::none,
         "",
         "f",
         true,
         false,
         "ok",
         "/f.lzma /f",
         content,
         "Debug: Download lzma: No such file or directory"},
        {{{"f.lzma", "no container"}, {"f", content}},
         fault_t::none,
         "",
         "f",
         true,
         false,
         "ok",
         "/f.lzma /f",
         content,
         "Debug: Download lzma: Invalid compressed file"},
        {{{"f.lzma", container}, {"f", content}},
         fault_t::endless_body,
         "f.lzma",
         "f",
         true,
         false,
         "ok",
         "/f.lzma /f",
         content,
         "Debug: Download lzma: Body exceeds the limit of 6807 bytes: "},  // no container of 5000 bytes needs more
        {{{"f", content}}, fault_t::none, "", "f", true, true, "ok", "", content, "Debug: Download: \""},
        {{}, fault_t::none, "", "g", true, false, "23 No such file or directory", "/g.lzma /g", "", ""},
        {{{"f.lzma", ts::slurp(packer / "zone" / "o.lzma")}, {"f", content}},
         fault_t::none,
         "",
         "f",
         true,
         false,
         "98 SHA256: Invalid checksum",
         "/f.lzma",
         other,
         "Debug: Download lzma: SHA256: "},
        {{{"f", other}}, fault_t::none, "", "f", false, false, "98 SHA256: Invalid checksum", "/f", other, ""},
        {{{"f.lzma", container}},
         fault_t::server_error,
         "f",
         "f",
         true,
         false,
         "125 HTTP status 500",
         "/f.lzma",
         "",
         ""},
    };
    for (const auto& r : rows) {
        ts::scratch_t dir;
        for (const auto& f : r.served) ts::spit(dir / "www" / f.first, f.second);
        ts::fault_server_t server(dir / "www", r.fault, r.prefix);
        auto log = ts::capture_log_t::install();
        std::string outcome;
        {  // all of it gone before the files are looked at
            boost::asio::io_service io;
            ts::null_watcher_t watcher;
            upd::progress_t progress(io, &watcher);
            tvk::UpdateConfig config;
            config.set_network_timeout(10000);
            const upd::run_settings_t settings = upd::run_settings_t::from(config);
            upd::updater_t updater(io, progress, settings);
            upd::checker_t checker(dir / "var");
            if (r.downloaded_before) ts::spit(dir / r.name, content);
            outcome = ts::outcome([&] {
                updater.fetch(checker, upd::url_t(server.url(r.name)), dir / r.name, ts::digest(EVP_sha256(), content),
                              r.packed, 5000);
            });
        }
        SCOPED_TRACE(r.name + " " + r.requests + " " + log->text());
        EXPECT_EQ(outcome.compare(0, r.expected.size(), r.expected), 0) << outcome;
        std::string joined;  // the paths asked for
        for (const auto& head : server.requests())
            joined +=
                (joined.empty() ? "" : " ") + head.substr(head.find('/', 11), head.find(' ', 4) - head.find('/', 11));
        EXPECT_EQ(joined, r.requests);
        EXPECT_EQ(ts::slurp(dir / r.name), r.left);
        EXPECT_FALSE(ts::fs::exists(dir / (r.name + ".lzma"))) << "the container is removed";
        EXPECT_TRUE(r.line.empty() || log->has_prefix(r.line)) << r.line;
        reset_log_for_tests();
    }
}

}  // namespace
