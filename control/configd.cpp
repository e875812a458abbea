// The updater's side of the control channel: configuration in, installation and progress out.
#include "control/configd.hpp"

#include "annotation.pb.h"
#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/error_code.hpp"

#include <google/protobuf/io/coded_stream.h>

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace upd {

namespace {

// Wire format: a field of up to 15 has a one-byte key; a length-delimited field is its key, its
// length as a varint, and the bytes.
std::uint64_t field_size(std::uint64_t n) { return 1 + google::protobuf::io::CodedOutputStream::VarintSize64(n) + n; }

std::uint8_t* put_varint(std::uint64_t value, std::uint8_t* p) {
    return google::protobuf::io::CodedOutputStream::WriteVarint64ToArray(value, p);
}

std::uint8_t* put_key(int field, std::uint64_t length, std::uint8_t* p) {
    return put_varint(length, put_varint(static_cast<std::uint64_t>(field) << 3 | 2, p));
}

std::uint8_t* put_string(int field, std::string_view bytes, std::uint8_t* p) {
    p = put_key(field, bytes.size(), p);
    return std::copy(bytes.begin(), bytes.end(), p);
}

// The `lex` text of a tag when it has one, else its name.
std::string tag_text(tvk::Configd2UpdateMessage::MessageTag tag) {
    const google::protobuf::EnumValueDescriptor* d =
        tvk::Configd2UpdateMessage::MessageTag_descriptor()->FindValueByNumber(tag);
    if (!d) return std::to_string(static_cast<int>(tag));
    if (d->options().HasExtension(tvk::lex)) return d->options().GetExtension(tvk::lex);
    return d->name();
}

}  // namespace

configd_t::configd_t() { size_limit_ = 67108864; }

configd_t::~configd_t() = default;

void configd_t::start(boost::asio::io_service& io, int fd, std::function<void(const tvk::UpdateConfig&)> on_context) {
    auto socket = std::make_shared<socket_t>(io);
    boost::system::error_code ec;
    socket->assign(boost::asio::local::stream_protocol(), fd, ec);
    if (ec) throw boost::system::system_error(ec, "assign");
    socket_ = std::move(socket);
    start_read();
    on_context_ = std::move(on_context);
}

void configd_t::handle_message(google::protobuf::io::ZeroCopyInputStream& stream) {
    tvk::Configd2UpdateMessage message;
    // This parser has no per-message size cap, so every frame the link accepts (up to 64 MiB) parses.
    if (!message.ParseFromZeroCopyStream(&stream)) {
        LOG_ERROR("Invalid IPC message format");
        throw cf_outcome_t(tvk::EC_MONITOR_IPC_ERROR);
    }
    switch (message.tag()) {
        case tvk::Configd2UpdateMessage::USE_CONTEXT: {
            if (!message.has_config()) {
                throw boost::system::system_error(tvk::make_error_code(tvk::EC_PROTOCOL_VIOLATION),
                                                  tag_text(message.tag()));
            }
            // Taken out before the call: an empty one (a second USE_CONTEXT) throws bad_function_call.
            auto on_context = std::move(on_context_);
            on_context_ = nullptr;
            on_context(message.config());
            break;
        }
        case tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE: {
            if (message.has_error()) {
                LOG_ERROR("Update installation: " << error_text(message.error()));
                throw cf_outcome_t(message.error().code(), error_text(message.error()));
            }
            // Taken out before the call, so a request made from inside the callback keeps its own.
            auto on_installed = std::move(on_installed_);
            on_installed_ = nullptr;
            on_installed();
            break;
        }
    }
}

void configd_t::handle_error(const boost::system::error_code& ec) {
    LOG_ERROR("Monitor IPC error: " << ec.message());
    throw cf_outcome_t(tvk::EC_MONITOR_IPC_ERROR);
}

std::shared_ptr<configd_t::link_t> configd_t::shared_this() { return shared_from_this(); }

void configd_t::request_install(const install_plan_t& plan, std::function<void()> on_installed) {
    on_installed_ = std::move(on_installed);
    // The bytes that serializing the Update2ConfigdMessage would give: its tag, then the request
    // with its fields in field order. A first pass over the plan counts, the second writes.
    using field_t = tvk::InstallRequest;
    std::uint64_t size = 0, placed = 0, removed = 0, current = 0;
    plan.each_to_place([&](std::string_view destination, std::string_view source) {
        size += field_size(field_size(source.size()) + field_size(destination.size())), ++placed;
    });
    plan.each_to_remove([&](std::string_view path) { size += field_size(path.size()), ++removed; });
    plan.each_up_to_date([&](std::string_view path) { size += field_size(path.size()), ++current; });
    const std::uint64_t tag_size = 2;  // the tag field: its key and INSTALL_UPDATES_REQUEST, one byte each
    // Far beyond any frame: the link refuses it, and on a 32-bit machine the count does not wrap.
    size = std::min<std::uint64_t>(size, std::uint64_t(1) << 31);
    async_send_serialized(tag_size + field_size(size), [&](std::uint8_t* p) {
        p = put_varint(tvk::Update2ConfigdMessage::kTagFieldNumber << 3, p);
        p = put_varint(tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST, p);
        p = put_key(tvk::Update2ConfigdMessage::kInstallFieldNumber, size, p);
        plan.each_to_place([&](std::string_view destination, std::string_view source) {
            p = put_key(field_t::kToPlaceFieldNumber, field_size(source.size()) + field_size(destination.size()), p);
            p = put_string(tvk::InstallItem::kSourceFieldNumber, source, p);
            p = put_string(tvk::InstallItem::kDestinationFieldNumber, destination, p);
        });
        plan.each_to_remove([&](std::string_view path) { p = put_string(field_t::kToRemoveFieldNumber, path, p); });
        plan.each_up_to_date([&](std::string_view path) { p = put_string(field_t::kUpToDateFieldNumber, path, p); });
    });
    LOG_DEBUG("Monitor: removed " << removed << ", updated " << placed << ", up to date " << current);
}

void configd_t::on_check_progress(const tvk::UpdateCheckProgress& progress) {
    tvk::Update2ConfigdMessage message;
    message.set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
    *message.mutable_check() = progress;
    async_send_message(message);
}

void configd_t::on_download_progress(const tvk::UpdateDownloadProgress& progress) {
    tvk::Update2ConfigdMessage message;
    message.set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
    *message.mutable_download() = progress;
    async_send_message(message);
}

void configd_t::on_stat(const tvk::UpdateAppStat& stat) {
    tvk::Update2ConfigdMessage message;
    message.set_tag(tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION);
    *message.mutable_stat() = stat;
    async_send_message(message);
}

}  // namespace upd
