// The server's command loop: the input is what a client sends on the control
// connection, to a session that runs over a socket pair against a small
// storage in memory. Anonymous logins are on, so the commands after the
// login are reached too. Its stat records include modification times at the
// ends of time_t and a name with a line break, for the listing lines.
//
// No data connection is ever made: PORT and EPRT name the client's address,
// which a socket pair does not have, and this program's listen() refuses, so
// PASV and EPSV answer at once instead of waiting for a client.
#include "ftp_session.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <thread>

extern "C" int listen(int, int)
{
    errno = EADDRINUSE;
    return -1;
}

namespace {

// ----------------------------------------------------- storage in memory

struct Node {
    const char *path;
    bool folder;
    int64_t size;
    time_t mtime;
};

const Node kNodes[] = {
    {"/", true, 0, 1796800000},           {"/a.txt", false, 5, 1796800000},    {"/docs", true, 0, 0},
    {"/docs/early", false, 1, LLONG_MIN}, {"/docs/late", false, 2, LLONG_MAX}, {"/docs/line\r\nbreak", false, 3, -1},
};

const Node *find_node(const char *path)
{
    for (const Node &node : kNodes)
        if (path != nullptr && std::strcmp(node.path, path) == 0)
            return &node;
    return nullptr;
}

orvel_gridftp_server_control_stat_t stat_of(const Node &node, const char *name)
{
    orvel_gridftp_server_control_stat_t stat{};
    stat.mode = node.folder ? 040755 : 0100644;
    stat.nlink = 1;
    stat.name = const_cast<char *>(name);
    stat.size = node.size;
    stat.atime = stat.ctime = stat.mtime = node.mtime;
    stat.dev = 1;
    stat.ino = static_cast<int>(&node - kNodes);
    return stat;
}

orvel_result_t not_found(const char *path)
{
    return orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 550, "PATH_NOT_FOUND",
                                                                  "GridFTP-Path: \"%s\"", path ? path : ""));
}

void memory_start(orvel_gfs_operation_t op, orvel_gfs_session_info_t *)
{
    static int session;
    orvel_gridftp_server_finished_session_start(op, ORVEL_SUCCESS, &session, nullptr, "/");
}

void memory_destroy(void *) {}

void memory_stat(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *info, void *)
{
    const Node *node = find_node(info->pathname);
    if (node == nullptr)
        return orvel_gridftp_server_finished_stat(op, not_found(info->pathname), nullptr, 0);
    std::string leaf = node->path[1] ? std::strrchr(node->path, '/') + 1 : "/";
    std::vector<orvel_gridftp_server_control_stat_t> stats;
    if (info->file_only || !node->folder) {
        stats.push_back(stat_of(*node, leaf.c_str()));
    } else {
        stats.push_back(stat_of(*node, "."));
        std::string prefix = std::string(node->path) + (node->path[1] ? "/" : "");
        for (const Node &child : kNodes) {
            const char *rest =
                std::strncmp(child.path, prefix.c_str(), prefix.size()) == 0 ? child.path + prefix.size() : nullptr;
            if (rest != nullptr && *rest != '\0' && std::strchr(rest, '/') == nullptr)
                stats.push_back(stat_of(child, rest));
        }
    }
    orvel_gridftp_server_finished_stat(op, ORVEL_SUCCESS, stats.data(), static_cast<int>(stats.size()));
}

void memory_command(orvel_gfs_operation_t op, orvel_gfs_command_info_t *info, void *)
{
    if (info->command == ORVEL_GFS_CMD_CKSM)
        return orvel_gridftp_server_finished_command(op, ORVEL_SUCCESS, "0123456789abcdef");
    if (info->command != ORVEL_GFS_CMD_MKD &&
        find_node(info->command == ORVEL_GFS_CMD_RNTO ? info->from_pathname : info->pathname) == nullptr)
        return orvel_gridftp_server_finished_command(op, not_found(info->pathname), nullptr);
    orvel_gridftp_server_finished_command(op, ORVEL_SUCCESS, nullptr);
}

void memory_transfer(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *, void *)
{
    orvel_gridftp_server_finished_transfer(
        op, orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 451, "NO_DATA", nullptr)));
}

orvel_gfs_storage_iface_t memory_storage = {
    ORVEL_GFS_DSI_DESCRIPTOR_BLOCKING, // descriptor
    memory_start,                      // init
    memory_destroy,                    // destroy
    nullptr,                           // list
    memory_transfer,                   // send
    memory_transfer,                   // recv
    nullptr,                           // trev
    nullptr,                           // active
    nullptr,                           // passive
    nullptr,                           // data_destroy
    memory_command,                    // command
    memory_stat,                       // stat
    nullptr,                           // set_cred
    nullptr,                           // buffer_send
    nullptr,                           // realpath
};

// ------------------------------------------------------------ the session

orvel::server::Settings make_settings()
{
    std::signal(SIGPIPE, SIG_IGN);
    orvel_extension_registry_add(&orvel_i_gfs_dsi_registry, "memory", nullptr, &memory_storage);
    orvel::server::Settings settings;
    settings.dsi_name = "memory";
    settings.allow_anonymous = true;
    settings.creds_file = "/dev/null"; // never read: the storage in memory asks for nothing
    settings.login_delay_ms = 0;
    settings.data_timeout = 1;
    return settings;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const orvel::server::Settings settings = make_settings();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    // The client: says everything at once, ends its stream, and reads (and
    // drops) the replies until the session closes the connection.
    std::thread client([fd = pair[0], data, size] {
        for (size_t done = 0; done < size;) {
            ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        char buffer[4096];
        while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
        }
    });
    {
        orvel::server::FtpSession session(settings, pair[1]); // closes its end when done
        session.run();
    }
    client.join();
    ::close(pair[0]);
    return 0;
}
