// The updater's side of the control channel: configuration in, installation and progress out.
#pragma once

#include "configd_update_ipc.pb.h"
#include "control/install_plan.hpp"
#include "control/progress_watcher.hpp"
#include "framework/cf_basic_ipc_link.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <functional>
#include <memory>

namespace upd {

class configd_t : public std::enable_shared_from_this<configd_t>,
                  public cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket>,
                  public progress_watcher_t {
public:
    using socket_t = boost::asio::local::stream_protocol::socket;
    using link_t = cf_basic_ipc_link_t<socket_t>;

    configd_t();
    ~configd_t() override;

    // Adopts the inherited descriptor and waits for the configuration, which goes to
    // `on_context` once. Throws system_error("assign") when the descriptor cannot be adopted.
    void start(boost::asio::io_service& io, int fd, std::function<void(const tvk::UpdateConfig&)> on_context);

    // Sends the installation request (tvk::InstallRequest, written straight from the plan into the
    // send buffer); `on_installed` runs when the daemon reports success.
    void request_install(const install_plan_t& plan, std::function<void()> on_installed);

    void on_check_progress(const tvk::UpdateCheckProgress& progress) override;
    void on_download_progress(const tvk::UpdateDownloadProgress& progress) override;
    void on_stat(const tvk::UpdateAppStat& stat) override;

protected:
    void handle_message(google::protobuf::io::ZeroCopyInputStream& stream) override;
    void handle_error(const boost::system::error_code& ec) override;
    std::shared_ptr<link_t> shared_this() override;

private:
    std::function<void(const tvk::UpdateConfig&)> on_context_;
    std::function<void()> on_installed_;
};

}  // namespace upd
