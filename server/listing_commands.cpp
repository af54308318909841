// LIST, NLST, MLSD, MLST and STAT: folder listings from the storage's stat
// slot, streamed to the client batch by batch as the storage delivers them.
#include "ftp_session.hpp"
#include "listing.hpp"
#include "log.hpp"

#include <ctime>

namespace orvel::server {

namespace {

// LIST accepts "ls" options ("-a", "-la"); they change nothing here.
std::string strip_list_options(const std::string &arg)
{
    std::string rest = arg;
    while (!rest.empty() && rest[0] == '-') {
        size_t sp = rest.find(' ');
        rest = sp == std::string::npos ? "" : rest.substr(sp + 1);
        while (!rest.empty() && rest[0] == ' ')
            rest.erase(0, 1);
    }
    return rest;
}

} // namespace

void FtpSession::cmd_list(const std::string &arg)
{
    list(ListKind::list, arg);
}

void FtpSession::cmd_nlst(const std::string &arg)
{
    list(ListKind::nlst, arg);
}

void FtpSession::cmd_mlsd(const std::string &arg)
{
    list(ListKind::mlsd, arg);
}

void FtpSession::list(ListKind kind, const std::string &arg)
{
    std::string path = resolve(kind == ListKind::mlsd ? arg : strip_list_options(arg));
    std::shared_ptr<DataConnection> conn = take_data_connection();
    if (!conn)
        return;
    time_t now = time(nullptr);
    bool opened = false;
    bool data_failed = false;
    uint64_t entries = 0;

    auto render = [&](const std::vector<orvel::host::StatEntry> &batch) {
        if (!opened) {
            open_data(*conn, "listing of " + path);
            opened = true;
            data_failed = !conn->is_open();
        }
        std::string out;
        for (const auto &e : batch) {
            bool self = e.name == ".";
            if (kind == ListKind::mlsd) {
                out += render_mlsx_facts(e, self) + "\r\n";
            } else if (self) {
                continue; // the folder itself is not one of its entries
            } else if (kind == ListKind::list) {
                out += render_list_line(e, user_, now) + "\r\n";
            } else {
                out += render_nlst_line(e) + "\r\n";
            }
            ++entries;
        }
        if (!out.empty() && !data_failed && !conn->send_all(out.data(), out.size()))
            data_failed = true;
    };

    orvel::host::Hooks hooks;
    hooks.on_stat_batch = render; // partial batches go out as they arrive
    start_watch(conn);
    orvel::host::Outcome out = session_->stat(path, false, hooks);
    stop_watch();

    if (!out.ok() && !opened && kind != ListKind::mlsd && !abort_seen_) {
        // LIST and NLST of a file show that file.
        orvel::host::Outcome one = session_->stat(path, true);
        std::vector<orvel::host::StatEntry> all = one.all_stats();
        if (one.ok() && !all.empty() && !is_folder(all[0])) {
            all[0].name = arg.empty() ? path : strip_list_options(arg);
            render({all[0]});
            conn->close();
            if (data_failed || conn->contested())
                return reply(426, "Data connection failed; listing not sent.");
            return reply(226, "Listing complete.");
        }
    }
    if (out.ok()) {
        for (const auto &batch : out.stat_batches) // the final batch
            render(batch);
        if (!opened)
            render({});
    }
    conn->close();
    if (abort_seen_) {
        reply(426, "Listing aborted.");
        return reply(226, "ABOR command successful.");
    }
    if (!out.ok())
        return reply_error(out, "listing");
    if (data_failed || conn->contested())
        return reply(426, "Data connection failed; listing not sent.");
    log_info("user=%s listing path=\"%s\" entries=%llu", user_.c_str(), path.c_str(),
             static_cast<unsigned long long>(entries));
    reply(226, "Listing complete (" + std::to_string(entries) + " entries).");
}

void FtpSession::cmd_mlst(const std::string &arg)
{
    std::string path = resolve(arg);
    orvel::host::StatEntry entry;
    if (!stat_one(path, &entry))
        return;
    entry.name = path;
    send_raw("250-Listing " + path + "\r\n " + render_mlsx_facts(entry, false) + "\r\n250 End.\r\n");
}

void FtpSession::cmd_stat(const std::string &arg)
{
    if (arg.empty()) {
        return reply_lines(211, {"orvel-gridftp-server status:", " Connected from " + peer_text_,
                                 " Logged in as " + user_, " TYPE: BINARY, STRUcture: File, MODE: Stream",
                                 " Current directory: " + cwd_, "End of status."});
    }
    // A listing over the control connection.
    std::string path = resolve(strip_list_options(arg));
    time_t now = time(nullptr);
    bool started = false;
    auto render = [&](const std::vector<orvel::host::StatEntry> &batch) {
        std::string out;
        if (!started) {
            out = "213-Status of " + path + ":\r\n";
            started = true;
        }
        for (const auto &e : batch)
            if (e.name != ".")
                out += " " + render_list_line(e, user_, now) + "\r\n";
        send_raw(out);
    };
    orvel::host::Hooks hooks;
    hooks.on_stat_batch = render; // partial batches go out as they arrive
    orvel::host::Outcome out = session_->stat(path, false, hooks);
    if (!out.ok() && !started) {
        // STAT of a file shows that file; a folder whose listing failed
        // answers the failure.
        orvel::host::Outcome one = session_->stat(path, true);
        std::vector<orvel::host::StatEntry> all = one.all_stats();
        if (one.ok() && !all.empty() && !is_folder(all[0])) {
            all[0].name = path;
            render({all[0]});
            return send_raw("213 End of status.\r\n");
        }
        return reply_error(out, "STAT");
    }
    if (!out.ok()) {
        // Part of the listing went out already: end the reply as incomplete.
        log_error("user=%s STAT of %s failed part-way: %s", user_.c_str(), path.c_str(), out.chain_text().c_str());
        send_raw("213 End of status (incomplete).\r\n");
        return;
    }
    for (const auto &batch : out.stat_batches) // the final batch
        render(batch);
    if (!started)
        render({});
    send_raw("213 End of status.\r\n");
}

} // namespace orvel::server
