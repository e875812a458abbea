// Wire contract of the control-channel schemas: numbers, round trips, parse failures, display texts.
#include "annotation.pb.h"
#include "application.pb.h"
#include "configd_update_ipc.pb.h"
#include "log.pb.h"
#include "update_appstat.pb.h"
#include "update_config.pb.h"

#include <google/protobuf/descriptor.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using google::protobuf::EnumDescriptor;
using google::protobuf::Message;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// The `lex` text of an enumeration value, else its name; "" when the number is undefined.
std::string display_text(const EnumDescriptor* e, int number) {
    const auto* v = e->FindValueByNumber(number);
    if (!v) return "";
    return v->options().HasExtension(tvk::lex) ? v->options().GetExtension(tvk::lex) : v->name();
}

tvk::UpdateConfig full_config() {
    tvk::UpdateConfig c;
    c.set_log_level(tvk::LOG_LEVEL_NOTICE);
    c.mutable_run_as_user()->set_name("tavik");
    c.mutable_run_as_user()->set_uid(1001);
    c.set_network_timeout(90000);
    c.mutable_proxy()->set_type(tvk::Proxy::PROXY_TYPE_HTTP);
    c.mutable_proxy()->set_host("proxy.example");
    c.mutable_proxy()->set_port(3128);
    c.mutable_proxy()->set_user("u");
    c.mutable_proxy()->set_password("p");
    c.mutable_excluded_files()->add_item("*.tmp");
    c.mutable_excluded_files()->add_item("base/old*");
    c.set_base_update_enabled(true);
    c.set_base_drl_path("/var/lib/base.drl");
    c.set_nrd_custom_drl_path("/etc/nrd.drl");
    c.mutable_actual_log()->set_type(tvk::Log::FILE);
    c.mutable_actual_log()->set_path("/var/log/update.log");
    c.mutable_actual_log()->set_show_timestamp(true);
    c.set_update_dir("/var/tmp/update");
    c.set_antispam_core("vr.so");
    c.set_base_installed(true);
    c.set_installed_applications("ConfigD Update Scanner");
    return c;
}

TEST(Schema, MessagesCrossingTheSocketSurviveARoundTrip) {
    struct row_t {
        const char* name;
        std::function<std::unique_ptr<Message>()> build;
    };
    const std::vector<row_t> rows = {
        {"configuration",
         [] {
             auto m = std::make_unique<tvk::Configd2UpdateMessage>();
             m->set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
             *m->mutable_config() = full_config();
             return m;
         }},
        {"installation failed",
         [] {
             auto m = std::make_unique<tvk::Configd2UpdateMessage>();
             m->set_tag(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
             m->mutable_error()->set_code(tvk::EC_PERMISSION_DENIED);
             m->mutable_error()->set_what("read-only target");
             return m;
         }},
        {"check progress",
         [] {
             auto m = std::make_unique<tvk::Update2ConfigdMessage>();
             m->set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
             m->mutable_check()->set_bytes_to_check(4000000000u);
             m->mutable_check()->set_bytes_checked(17);
             return m;
         }},
        {"download progress",
         [] {
             auto m = std::make_unique<tvk::Update2ConfigdMessage>();
             m->set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
             auto* d = m->mutable_download();
             d->set_files_to_process(12);
             d->set_files_processed(3);
             d->set_bytes_to_process(1 << 20);
             d->set_bytes_processed(4096);
             d->set_current_file("bases/drw.vdb");
             return m;
         }},
        {"installation request",
         [] {
             auto m = std::make_unique<tvk::Update2ConfigdMessage>();
             m->set_tag(tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
             auto* item = m->mutable_install()->add_to_place();
             item->set_source("/var/tmp/update/base/a.vdb");
             item->set_destination("/opt/bases/a.vdb");
             m->mutable_install()->add_to_remove("/opt/bases/old.vdb");
             m->mutable_install()->add_up_to_date("/opt/bases/b.vdb");
             return m;
         }},
        {"statistics",
         [] {
             auto m = std::make_unique<tvk::Update2ConfigdMessage>();
             m->set_tag(tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION);
             m->mutable_stat()->set_bytes_sent(3);
             m->mutable_stat()->set_bytes_received(0);
             return m;
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto original = row.build();
        ASSERT_TRUE(original->IsInitialized()) << original->InitializationErrorString();
        const std::string wire = original->SerializeAsString();
        auto copy = std::unique_ptr<Message>(original->New());
        ASSERT_TRUE(copy->ParseFromString(wire));
        EXPECT_EQ(original->DebugString(), copy->DebugString());
        EXPECT_EQ(wire, copy->SerializeAsString());
    }
}

TEST(Schema, FieldNumbersOnTheWire) {
    struct row_t {
        const char* name;
        std::function<std::string()> serialise;
        std::string expected;
    };
    const std::vector<row_t> rows = {
        {"statistics notification",
         [] {
             tvk::Update2ConfigdMessage m;
             m.set_tag(tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION);
             m.mutable_stat()->set_bytes_sent(3);
             m.mutable_stat()->set_bytes_received(0);
             return m.SerializeAsString();
         },
         "08 04 32 04 08 03 10 00"},
        {"install item order",
         [] {
             tvk::Update2ConfigdMessage m;
             m.set_tag(tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
             auto* item = m.mutable_install()->add_to_place();
             item->set_source("s");
             item->set_destination("d");
             m.mutable_install()->add_to_remove("r");
             m.mutable_install()->add_up_to_date("u");
             return m.SerializeAsString();
         },
         "08 02 22 0e 0a 06 0a 01 73 12 01 64 12 01 72 1a 01 75"},
        {"download progress",
         [] {
             tvk::Update2ConfigdMessage m;
             m.set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
             auto* d = m.mutable_download();
             d->set_files_to_process(1);
             d->set_files_processed(2);
             d->set_bytes_to_process(3);
             d->set_bytes_processed(4);
             d->set_current_file("f");
             return m.SerializeAsString();
         },
         "08 01 1a 0b 08 01 10 02 18 03 20 04 2a 01 66"},
        {"installation error",
         [] {
             tvk::Configd2UpdateMessage m;
             m.set_tag(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
             m.mutable_error()->set_code(tvk::EC_PERMISSION_DENIED);
             m.mutable_error()->set_what("w");
             return m.SerializeAsString();
         },
         "08 02 22 05 08 18 12 01 77"},
        {"configuration fields from 1000 on",
         [] {
             tvk::Configd2UpdateMessage m;
             m.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
             m.mutable_config()->set_update_dir("u");
             m.mutable_config()->set_base_installed(true);
             m.mutable_config()->set_installed_applications("a");
             return m.SerializeAsString();
         },
         "08 01 12 0b ca 3e 01 75 e0 44 01 82 46 01 61"},
        {"proxy and log",
         [] {
             tvk::UpdateConfig c;
             c.mutable_proxy()->set_type(tvk::Proxy::PROXY_TYPE_HTTP);
             c.mutable_proxy()->set_password("p");
             c.mutable_actual_log()->set_type(tvk::Log::STDERR);
             c.mutable_actual_log()->set_show_timestamp(true);
             return c.SerializeAsString();
         },
         "a2 01 05 08 01 2a 01 70 c2 3e 05 08 03 a0 01 01"},
        {"update block of the statistics and configuration envelopes",
         [] {
             tvk::AppStat s;
             s.set_app(tvk::APP_UPDATE);
             s.set_pid(7);
             s.MutableExtension(tvk::update_stat)->set_bytes_sent(1);
             s.MutableExtension(tvk::update_stat)->set_bytes_received(2);
             tvk::AppConfig c;
             c.set_app(tvk::APP_CONFIGD);
             c.MutableExtension(tvk::update_config)->set_network_timeout(5);
             return s.SerializeAsString() + "|" + c.SerializeAsString();
         },
         "22 04 08 01 10 02 c0 3e 04 c8 3e 07 7c 22 02 58 05 c0 3e 01"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.expected, hex(row.serialise()));
    }
}

TEST(Schema, MissingRequiredFieldsAndUndefinedTagsDoNotParse) {
    struct row_t {
        const char* name;
        std::function<Message*()> make;
        std::string wire;
        bool parses;
    };
    const std::vector<row_t> rows = {
        {"control: a bare USE_CONTEXT", [] { return new tvk::Configd2UpdateMessage; }, bytes({0x08, 0x01}), true},
        {"empty payload has no tag", [] { return new tvk::Configd2UpdateMessage; }, "", false},
        {"configuration without tag", [] { return new tvk::Configd2UpdateMessage; },
         bytes({0x12, 0x03, 0xca, 0x3e, 0x00}), false},
        {"daemon tag 3 is undefined", [] { return new tvk::Configd2UpdateMessage; }, bytes({0x08, 0x03}), false},
        {"daemon tag 0 is undefined", [] { return new tvk::Configd2UpdateMessage; }, bytes({0x08, 0x00}), false},
        {"updater tag 3 is undefined", [] { return new tvk::Update2ConfigdMessage; }, bytes({0x08, 0x03}), false},
        {"error without code", [] { return new tvk::Configd2UpdateMessage; },
         bytes({0x08, 0x02, 0x22, 0x03, 0x12, 0x01, 0x77}), false},
        {"error code 14 is undefined", [] { return new tvk::Configd2UpdateMessage; },
         bytes({0x08, 0x02, 0x22, 0x02, 0x08, 0x0e}), false},
        {"check progress without bytes_checked", [] { return new tvk::Update2ConfigdMessage; },
         bytes({0x08, 0x01, 0x12, 0x02, 0x08, 0x05}), false},
        {"install item without destination", [] { return new tvk::Update2ConfigdMessage; },
         bytes({0x08, 0x02, 0x22, 0x05, 0x0a, 0x03, 0x0a, 0x01, 0x73}), false},
        {"proxy without type", [] { return new tvk::UpdateConfig; }, bytes({0xa2, 0x01, 0x02, 0x18, 0x01}), false},
        {"truncated length", [] { return new tvk::Configd2UpdateMessage; }, bytes({0x08, 0x01, 0x12, 0x05}), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Message> m(row.make());
        EXPECT_EQ(row.parses, m->ParseFromString(row.wire));
    }
}

TEST(Schema, AbsentFieldsReadAsZeroAndAbsentLogAsPlainSyslog) {
    tvk::UpdateConfig c;
    ASSERT_TRUE(c.ParseFromString(""));
    EXPECT_FALSE(c.has_actual_log());
    const tvk::Log& log = c.actual_log();
    EXPECT_EQ(tvk::Log::SYSLOG, log.type());
    EXPECT_FALSE(log.has_type());
    EXPECT_FALSE(log.has_facility());
    EXPECT_FALSE(log.has_ident());
    EXPECT_FALSE(log.has_path());
    EXPECT_FALSE(log.has_show_timestamp());
    EXPECT_FALSE(log.show_timestamp());
    EXPECT_EQ("", log.ident());
    EXPECT_EQ(0u, c.network_timeout());
    EXPECT_FALSE(c.base_installed());
    EXPECT_EQ("", c.update_dir());
    EXPECT_EQ(tvk::Proxy::PROXY_TYPE_NONE, c.proxy().type());
}

TEST(Schema, DisplayTextsOfEnumerations) {
    struct row_t {
        const EnumDescriptor* e;
        int number;
        const char* text;
    };
    const row_t rows[] = {
        {tvk::ErrorCode_descriptor(), 0, "Success"},
        {tvk::ErrorCode_descriptor(), 1, "Error on monitor channel"},
        {tvk::ErrorCode_descriptor(), 37, "Mounting points are different"},
        {tvk::ErrorCode_descriptor(), 92, "Invalid compressed file"},
        {tvk::ErrorCode_descriptor(), 125, "Unexpected error"},
        {tvk::LogLevel_descriptor(), tvk::LOG_LEVEL_WARNING, "Warning"},
        {tvk::LogLevel_descriptor(), tvk::LOG_LEVEL_DEBUG, "Debug"},
        {tvk::Log::LogType_descriptor(), tvk::Log::STDERR, "Stderr"},
        {tvk::Log::LogFacility_descriptor(), tvk::Log::LOCAL7, "Local7"},
        {tvk::Application_descriptor(), tvk::APP_UPDATE, "Update"},
        {tvk::Application_descriptor(), tvk::APP_CONFIGD, "ConfigD"},
        // Tags carry no display text of their own: their name is the text.
        {tvk::Configd2UpdateMessage::MessageTag_descriptor(), 1, "USE_CONTEXT"},
        {tvk::Update2ConfigdMessage::MessageTag_descriptor(), 4, "MY_STAT_NOTIFICATION"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.e->name()) + " " + std::to_string(row.number));
        EXPECT_EQ(row.text, display_text(row.e, row.number));
    }
}

TEST(Schema, ErrorCodeNumbersAndMissingComponentTexts) {
    const std::set<int> undefined = {14, 15, 16, 17, 18, 19, 39, 46, 50, 51, 52, 53, 54, 55, 56, 57, 58,
                                     59, 72, 73, 74, 75, 76, 77, 78, 79, 83, 84, 85, 86, 87, 88, 95, 96,
                                     99, 100, 101, 103, 111};
    const EnumDescriptor* e = tvk::ErrorCode_descriptor();
    for (int n = 0; n <= 130; ++n) {
        const bool expect_defined = n <= 125 && undefined.count(n) == 0;
        EXPECT_EQ(expect_defined, e->FindValueByNumber(n) != nullptr) << "ErrorCode " << n;
        if (expect_defined) {
            EXPECT_TRUE(e->FindValueByNumber(n)->options().HasExtension(tvk::lex)) << "no text for " << n;
        }
    }
    const std::string suffix = " is not available";
    std::set<std::string> texts;
    for (int n = 114; n <= 124; ++n) {
        const std::string text = display_text(e, n);
        ASSERT_GT(text.size(), suffix.size()) << n;
        EXPECT_EQ(suffix, text.substr(text.size() - suffix.size())) << n;
        texts.insert(text);
    }
    EXPECT_EQ(11u, texts.size()) << "each value names a different component";
}

}  // namespace
