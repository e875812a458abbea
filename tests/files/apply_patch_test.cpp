// Patches: to their reference only, to the listed size; a server's index of them.
#include "files/apply_patch.hpp"
#include "files/lst_file.hpp"
#include "files/patch_index.hpp"
#include "framework/cf_proto_exception.hpp"
#include "tests/support/support.hpp"

#include <zstd.h>

#include <functional>

#include <unistd.h>

namespace {

std::string make_patch(const std::string& old, const std::string& now) {  // as make-zone makes them
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1), ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, static_cast<int>(upd::patch_window_log(old.size(), now.size()))),
        ZSTD_CCtx_refPrefix(c, old.data(), old.size());
    std::string patch(ZSTD_compressBound(now.size()), '\0');
    patch.resize(ZSTD_compress2(c, &patch[0], patch.size(), now.data(), now.size()));
    return ZSTD_freeCCtx(c), patch;
}

TEST(apply_patch, from_its_reference_only) {
    std::string old(300000, '\0');
    for (std::size_t i = 0; i < old.size(); ++i) old[i] = static_cast<char>((i * 2654435761u) >> 11);
    std::string now = old.substr(0, 100000) + std::string(4096, 'n') + old.substr(100000);
    const std::string patch = make_patch(old, now), other = old.substr(1) + "x";
    EXPECT_LT(patch.size(), 6000u) << "the changed block and little else";
    const auto outcome = [&](const std::string& reference, std::string p, std::uint64_t listed) {
        try {
            const auto out = upd::apply_patch(reference.data(), reference.size(), p.data(), p.size(), listed);
            return std::string(out.begin(), out.end()) == now ? std::string("the new file") : "other bytes";
        } catch (const cf_proto_exception_t& e) {
            return e.code() == tvk::EC_DATA_CORRUPTED ? std::string(e.what()).substr(0, 26) : "wrong code";
        }
    };
    EXPECT_EQ(outcome(old, patch, now.size()), "the new file");
    EXPECT_EQ(outcome(other, patch, now.size()), "Patch: Restored data doesn")
        << "another installed copy: the checksum fails";
    EXPECT_EQ(outcome(old, patch, now.size() - 1), "Patch: not a patch to the ");
    EXPECT_EQ(outcome(old, patch.substr(0, patch.size() / 2), now.size()).substr(0, 7), "Patch: ");
    EXPECT_EQ(outcome(old, patch, upd::max_patched_size + 1), "Patch: file too large to p");
}

TEST(apply_patch, an_installed_copy_changed_under_its_mapping_fails_that_patch_alone) {
    ts::scratch_t dir;
    std::string old(1 << 20, '\0');
    for (std::size_t i = 0; i < old.size(); ++i) old[i] = static_cast<char>((i * 2654435761u) >> 11);
    const std::string now = old.substr(0, 5000) + "changed" + old.substr(5000);
    const std::string patch = make_patch(old, now), installed = (dir / "installed").string(),
                      part = (dir / "part").string();
    const std::pair<const char*, std::function<void()>> rows[] = {
        {"made", [] {}},
        {"Patch: the installed copy changed while it was read",
         [&] { ASSERT_EQ(::truncate(installed.c_str(), 4096), 0); }},
        {"Patch: the installed copy changed while it was read", [&] { ts::spit(installed, old + "longer"); }},
        {"Patch: Restored data doesn't match checksum", [&] { ts::spit(installed, old.substr(1) + "x"); }},
    };
    for (const auto& r : rows) {
        ts::spit(installed, old);
        static std::function<void()> act;
        act = r.second, upd::patch_mapped_hook = [](int) { act(); };
        std::string outcome;
        try {
            outcome = upd::apply_patch_file(installed, patch.data(), patch.size(), now.size(), part) ==
                                  ts::digest(EVP_sha256(), now) &&
                              ts::slurp(part) == now
                          ? "made"
                          : "other bytes";
        } catch (const cf_proto_exception_t& e) {
            outcome = e.what();
        }
        EXPECT_EQ(outcome, r.first);
    }
    upd::patch_mapped_hook = nullptr;
}

TEST(patch_index, well_formed_lines_of_listed_files) {
    const std::string list =
        ts::signed_text("[TavikUpdateList]\n[1]\n+a.avc, 01, 1\n+b.avc, 02, 2\n[TavikUpdateListEnd]\n",
                        "\n[Signature]\nSignature=%s\n");
    upd::lst_file_t lst;
    lst.parse(list.data(), list.data() + list.size(), upd::origin_t::server);
    const std::string o(64, 'a'), n(64, 'b');
    // A length line counts after a patch's line only, once, in digits.
    const std::string index = upd::patch_index_t::line("a.avc", o, n, 77) + "= 88\nc.avc " + o + " " + n +
                              "\n= 5\n../a.avc " + o + " " + n + "\nb.avc " + std::string(64, 'A') + " " + n +
                              "\nb.avc " + o + " " + n + " extra\nb.avc " + o + " " + n.substr(1) + "\n" +
                              upd::patch_index_t::line("b.avc", n, o);
    upd::patch_index_t patches;
    patches.parse(index.data(), index.data() + index.size(), lst);
    EXPECT_EQ(patches.size(), 2u);
    EXPECT_TRUE(patches.offers("a.avc", o, n) && patches.offers("b.avc", n, o));
    EXPECT_EQ(std::to_string(patches.size_of("a.avc", o, n)) + " " + std::to_string(patches.size_of("b.avc", n, o)),
              "77 0");
    // Only a length a run would take for the 1-byte a.avc counts; the index reads on past others.
    for (const std::string length : {"65536", "65537", "9999999999999999999", "99999999999999999999", "-1"}) {
        const std::string text =
            upd::patch_index_t::line("a.avc", o, n) + "= " + length + "\n" + upd::patch_index_t::line("b.avc", n, o);
        patches.parse(text.data(), text.data() + text.size(), lst);
        EXPECT_TRUE(patches.size() == 2 && patches.size_of("a.avc", o, n) == (length == "65536" ? 65536u : 0u))
            << length;
    }
}

}  // namespace
