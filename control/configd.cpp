// The updater's side of the control channel: configuration in, installation and progress out.
#include "control/configd.hpp"

#include "annotation.pb.h"
#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/error_code.hpp"

#include <boost/system/system_error.hpp>

#include <utility>

namespace upd {

namespace {

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

void configd_t::request_install(const std::vector<install_entry_t>& to_place, const std::set<std::string>& to_remove,
                                const std::set<std::string>& up_to_date, std::function<void()> on_installed) {
    on_installed_ = std::move(on_installed);
    tvk::Update2ConfigdMessage message;
    message.set_tag(tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
    tvk::InstallRequest* install = message.mutable_install();
    for (const auto& path : to_remove) install->add_to_remove(path);
    for (const auto& entry : to_place) {
        tvk::InstallItem* item = install->add_to_place();
        item->set_source(entry.source);
        item->set_destination(entry.destination);
    }
    for (const auto& path : up_to_date) install->add_up_to_date(path);
    LOG_DEBUG("Monitor: removed " << to_remove.size() << ", updated " << to_place.size() << ", up to date "
                                  << up_to_date.size());
    async_send_message(message);
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
