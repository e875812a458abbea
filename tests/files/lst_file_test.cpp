// File lists: layout, signed range and line forms; fixtures and their forgeries.
#include "files/lst_file.hpp"
#include "framework/cf_proto_exception.hpp"
#include "tests/support/support.hpp"

#include <boost/lexical_cast.hpp>

namespace {

// "name=digest/size ... | pattern ...", or the error; "%s" in the tail is the signature.
std::string outcome(const std::string& covered, const std::string& tail, upd::lst_file_t& lst) {
    const std::string data = ts::signed_text(covered, tail);
    try {
        lst.parse(data.data(), data.data() + data.size(), upd::origin_t::server);
    } catch (const cf_proto_exception_t& e) {
        return e.code() == tvk::EC_BAD_LST_FILE ? e.what() : "wrong code";
    } catch (const boost::bad_lexical_cast&) {
        return "bad size";
    }
    std::string out;
    for (const auto& f : lst.files()) {
        out += f.first + "=" + ts::hex(f.second.digest) + "/" + std::to_string(f.second.size) +
               (f.second.packed ? " " : " plain ");
    }
    for (const auto& p : lst.patterns()) out += "| " + p;
    return out + (lst.expiry().empty() ? "" : " until " + lst.expiry());
}

#define HEAD "[TavikUpdateList]\n[20240301]\n"
#define END "[TavikUpdateListEnd]\n"
#define SIG "\n[Signature]\nSignature=%s\n"

TEST(lst_file, layout_and_line_rules) {
    const std::string structure = "Invalid LST-file structure", line = "Invalid LST-file line: ";
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {HEAD "+a.dll, 0A1b, 12\n-*.tmp,\n" END, SIG, "a.dll=0a1b/12 | *.tmp"},
        {"[TavikUpdateList]\r\n[1]\r\n+a, 01, 1\r+b, 02, 2\f+<7>c, 03, 3\r\n[TavikUpdateListEnd]\r\n",
         "\r\n[Signature]\r\nSignature=%s  \t\r\n\v", "a=01/1 b=02/2 c=03/3 "},
        {HEAD "+a, 123, 5\n+b, 0b, 3\n+a, 02, 4294967295\n-x?.bin, any ,\n" END, "\n[Signature]\nSignature=%s",
         "a=02/4294967295 b=0b/3 | x?.bin"},
        {HEAD "+a, 123, 5\n+..., 00, 1\n+c, 01, 1" END, SIG, "...=00/1 a=/5 c=01/1 "},
        {HEAD "+a, 01, 1\n" END, "[Signature]\nSignature=%s\n", structure},
        {HEAD "+a, 01, 1\n" END, "\n\n[Signature]\nSignature=%s\n", structure},
        {HEAD END, SIG, structure},
        {HEAD "+a, 01, 1\n" END, "\n[Signature]\nSignature=%s x\n", structure},
        {HEAD "+a, 01, 1\n", SIG, structure},
        {HEAD "+../a, 01, 1\n" END, SIG, line + "\"+../a, 01, 1\""},
        {HEAD "+.., 01, 1\n" END, SIG, line + "\"+.., 01, 1\""},
        {HEAD "-a/b,\n" END, SIG, line + "\"-a/b,\""},
        {HEAD "+a, 01, 4294967296\n" END, SIG, "bad size"},
        {"[TavikUpdateList]\n[" + std::string(65, '9') + "]\n+a, 01, 1\n" END, SIG, "Invalid LST-file stamp"},
        {HEAD "-*.tmp,\n-.tavik-expires,20280229235959\n" END, SIG,
         "| *.tmp until 20280229235959"},  // not a pattern of ours
        {HEAD "-.tavik-expires,20261220000000\n-.tavik-expires,20261220000000\n" END, SIG, "Invalid LST-file expiry"},
        {HEAD "-.tavik-expires,20270229000000\n" END, SIG, "Invalid LST-file expiry"},
        {HEAD "-.tavik-plain,b\n+a, 01, 1\n+b, 0b, 3\n+b, 02, 2\n-.tavik-plain,c\n" END, SIG, "a=01/1 b=02/2 plain "},
        {HEAD "-.tavik-zone,\n" END, SIG, "Invalid LST-file zone"},
        {HEAD "-.tavik-zone,BA-SE\n" END, SIG, "Invalid LST-file zone"},
        {HEAD "-.tavik-zone,BASE\n-.tavik-zone,BASE\n" END, SIG, "Invalid LST-file zone"},
        {HEAD "-.tavik-expires,2026122000000\n" END, SIG, "Invalid LST-file expiry"},
        {HEAD "+b, " + std::string(66, 'e') + ", 2\n+a, " + std::string(64, 'd') + ", 1\n+b, " + std::string(70, 'f') +
             ", 3\n" END,
         SIG, "a=" + std::string(64, 'd') + "/1 b=" + std::string(70, 'f') + "/3 "},  // longer than a record holds
    };
    for (const auto& [covered, tail, expected] : rows) {
        upd::lst_file_t lst;
        EXPECT_EQ(outcome(covered, tail, lst), expected) << covered << tail;
    }
    upd::lst_file_t lst;  // whitespace after the signature is matched without recursion per byte
    EXPECT_EQ(outcome(HEAD "+a, 01, 1\n" END, SIG + std::string(1 << 20, ' '), lst), "a=01/1 ");
    const std::string good = ts::slurp(TAVIK_TEST_DATA "/files/version.lst"),
                      forged = ts::slurp(TAVIK_TEST_DATA "/files/version.lst.forged");
    EXPECT_NO_THROW(lst.parse(good.data(), good.data() + good.size(), upd::origin_t::server));
    EXPECT_THROW(lst.parse(forged.data(), forged.data() + forged.size(), upd::origin_t::server), cf_proto_exception_t);
}

}  // namespace