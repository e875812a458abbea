// A stand-in for tavik-update on the far end of tavik-run's control channel, driven by a script.
//
// FAKE_UPDATER_SCRIPT names a file of commands, one a line; FAKE_UPDATER_REPORT names a file
// where the fake writes what it received. Commands:
//   check TOTAL DONE | download FILES DONE BYTES BYTES_DONE [NAME] | stat SENT RECEIVED
//   place SOURCE DESTINATION | remove PATH | current PATH
//   request            send INSTALL_UPDATES_REQUEST and report the answer; an Error answer
//                      ends the fake with the answer's code, as the updater does
//   wait-signal        report "ready", then wait for SIGTERM or SIGINT and exit 107
//   wait-eof           wait until the channel closes and exit 1, as the updater does
//   bad-frame          send a frame whose length is 0
//   sleep MS           pause for MS milliseconds
//   die                kill itself with SIGKILL
//   orphan N           leave a child holding the channel open for a minute, exit with N
//   exit N             exit with status N
#include "control_frame.hpp"

#include "configd_update_ipc.pb.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::ofstream report;

void note(const std::string& line) {
    report << line << std::endl;
}

int control_fd() {
    const char* value = std::getenv("COM_TAVIK_MONITOR");
    if (!value) {
        std::cerr << "fake_updater: COM_TAVIK_MONITOR is not set" << std::endl;
        std::exit(1);
    }
    return std::atoi(value);
}

void send(int fd, const tvk::Update2ConfigdMessage& message) {
    tavik_run::send_message(fd, message);
}

}  // namespace

int main() {
    const char* script_path = std::getenv("FAKE_UPDATER_SCRIPT");
    const char* report_path = std::getenv("FAKE_UPDATER_REPORT");
    if (!script_path || !report_path) {
        std::cerr << "fake_updater: FAKE_UPDATER_SCRIPT and FAKE_UPDATER_REPORT are needed"
                  << std::endl;
        return 2;
    }
    report.open(report_path, std::ios::app);
    const int fd = control_fd();

    tvk::Configd2UpdateMessage first;
    if (!tavik_run::read_message(fd, first)) {
        note("eof before context");
        return 1;
    }
    note(std::string("received ") + tvk::Configd2UpdateMessage::MessageTag_Name(first.tag()));
    if (first.has_config()) note("update_dir " + first.config().update_dir());

    // Signals are taken synchronously by wait-signal.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    tvk::InstallRequest request;
    std::ifstream script(script_path);
    std::string line;
    while (std::getline(script, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        tvk::Update2ConfigdMessage message;
        if (command == "check") {
            message.set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
            std::uint32_t total = 0, done = 0;
            in >> total >> done;
            message.mutable_check()->set_bytes_to_check(total);
            message.mutable_check()->set_bytes_checked(done);
            send(fd, message);
        } else if (command == "download") {
            message.set_tag(tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION);
            std::uint32_t files = 0, files_done = 0, bytes = 0, bytes_done = 0;
            std::string name;
            in >> files >> files_done >> bytes >> bytes_done >> name;
            tvk::UpdateDownloadProgress* p = message.mutable_download();
            p->set_files_to_process(files);
            p->set_files_processed(files_done);
            p->set_bytes_to_process(bytes);
            p->set_bytes_processed(bytes_done);
            if (!name.empty()) p->set_current_file(name);
            send(fd, message);
        } else if (command == "stat") {
            message.set_tag(tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION);
            std::uint32_t sent = 0, received = 0;
            in >> sent >> received;
            message.mutable_stat()->set_bytes_sent(sent);
            message.mutable_stat()->set_bytes_received(received);
            send(fd, message);
        } else if (command == "place") {
            tvk::InstallItem* item = request.add_to_place();
            std::string source, destination;
            in >> source >> destination;
            item->set_source(source);
            item->set_destination(destination);
        } else if (command == "remove") {
            std::string path;
            in >> path;
            request.add_to_remove(path);
        } else if (command == "current") {
            std::string path;
            in >> path;
            request.add_up_to_date(path);
        } else if (command == "request") {
            message.set_tag(tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST);
            *message.mutable_install() = request;
            send(fd, message);
            tvk::Configd2UpdateMessage answer;
            if (!tavik_run::read_message(fd, answer)) {
                note("eof before answer");
                return 1;
            }
            note(std::string("received ") +
                 tvk::Configd2UpdateMessage::MessageTag_Name(answer.tag()));
            if (answer.has_error()) {
                note("error " + std::to_string(answer.error().code()) + " " + answer.error().what());
                return answer.error().code();
            }
            note("installed");
        } else if (command == "wait-signal") {
            note("ready");
            int sig = 0;
            sigwait(&stop, &sig);
            note("signal " + std::to_string(sig));
            return 107;
        } else if (command == "wait-eof") {
            note("ready");
            tvk::Configd2UpdateMessage ignored;
            try {
                while (tavik_run::read_message(fd, ignored)) {
                }
                note("eof");
            } catch (const std::exception& e) {
                note(std::string("broken ") + e.what());
            }
            return 1;
        } else if (command == "bad-frame") {
            const char zero[4] = {0, 0, 0, 0};
            if (::write(fd, zero, 4) != 4) return 3;
        } else if (command == "sleep") {
            unsigned ms = 0;
            in >> ms;
            ::usleep(ms * 1000);
        } else if (command == "orphan") {
            int status = 0;
            in >> status;
            const pid_t child = ::fork();
            if (child == 0) {
                ::sleep(60);
                ::_exit(0);
            }
            note("orphan " + std::to_string(child));
            return status;
        } else if (command == "die") {
            ::kill(::getpid(), SIGKILL);
        } else if (command == "exit") {
            int status = 0;
            in >> status;
            return status;
        }
    }
    return 0;
}
