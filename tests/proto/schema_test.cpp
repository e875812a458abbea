// The wire form the daemon relies on, and what must not parse.
#include "configd_update_ipc.pb.h"
#include "tests/support/support.hpp"

namespace {

using namespace tvk;
using namespace std::string_literals;

using ts::hex;

TEST(schema, wire_bytes) {
    Update2ConfigdMessage up;
    up.set_tag(Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
    up.mutable_install()->add_to_place()->set_source("s"),
        up.mutable_install()->mutable_to_place(0)->set_destination("d");
    up.mutable_install()->add_to_remove("r"), up.mutable_install()->add_up_to_date("u");
    up.mutable_stat()->set_bytes_sent(3), up.mutable_stat()->set_bytes_received(0);
    auto* d = up.mutable_download();
    d->set_files_to_process(1), d->set_files_processed(2), d->set_bytes_to_process(3), d->set_bytes_processed(4),
        d->set_current_file("f");
    Configd2UpdateMessage down;
    down.set_tag(Configd2UpdateMessage::USE_CONTEXT);
    down.mutable_error()->set_code(EC_PERMISSION_DENIED), down.mutable_error()->set_what("w");
    auto* c = down.mutable_config();
    c->set_update_dir("u"), c->set_base_installed(true), c->set_installed_applications("a");
    c->mutable_proxy()->set_type(Proxy::PROXY_TYPE_HTTP), c->mutable_actual_log()->set_type(Log::STDERR);
    EXPECT_EQ(hex(up.SerializeAsString()),
              "0802"
              "1a0b08011002180320042a0166"
              "220e0a060a0173120164120172"
              "1a0175"
              "320408031000");
    EXPECT_EQ(hex(down.SerializeAsString()),
              "0801"
              "1215"
              "a201020801"
              "c23e020803"
              "ca3e0175"
              "e04401"
              "82460161"
              "22050818120177");
    const std::pair<std::string, bool> rows[] = {{"\x08\x01"s, true},
                                                 {"", false},
                                                 {"\x08\x03"s, false},
                                                 {"\x08\x02\x22\x03\x12\x01w"s, false},  // error without code
                                                 {"\x08\x02\x22\x02\x08\x0e"s, false}};  // code 14 is none
    for (const auto& [bytes, parses] : rows) EXPECT_EQ(down.ParseFromString(bytes), parses) << bytes.size();
}

}  // namespace
