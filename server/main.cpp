// orvel-gridftp-server: listens for FTP control connections and serves each
// client in its own process (fork after accept), so that sibling sessions of
// one account share the storage plug-in's pacing state as separate processes.
//
// The parent never loads the plug-in into itself: it checks the library once
// in a short-lived child at start-up, and each session child loads it anew.
#include "config.hpp"
#include "ftp_session.hpp"
#include "log.hpp"
#include "users.hpp"

#include "orvel_host.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace orvel::server;

namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int)
{
    g_stop = 1;
}

// Loads the plug-in and selects the storage interface; prints why not.
bool load_plugin(const Settings &settings)
{
    std::string error;
    orvel_result_t r =
        orvel::host::Host::load_library(settings.plugin_path, "orvel_gridftp_server_dropbox_module", &error);
    if (r != ORVEL_SUCCESS) {
        std::fprintf(stderr, "orvel-gridftp-server: %s: cannot load the storage plug-in: %s\n",
                     settings.plugin_path.c_str(), error.c_str());
        return false;
    }
    if (!orvel::host::Host::find_dsi(settings.dsi_name)) {
        std::fprintf(stderr, "orvel-gridftp-server: %s: no storage interface named \"%s\"\n",
                     settings.plugin_path.c_str(), settings.dsi_name.c_str());
        return false;
    }
    return true;
}

// Deactivates the plug-in's module so that it releases what it keeps for
// reuse (connections, handles) before the session process ends.
void unload_plugin(const Settings &settings)
{
    void *library = dlopen(settings.plugin_path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!library)
        return;
    auto *module = static_cast<orvel_module_descriptor_t *>(dlsym(library, "orvel_gridftp_server_dropbox_module"));
    if (module)
        orvel::host::Host::deactivate_module(module);
    dlclose(library);
}

// Checks the plug-in in a child process, keeping the parent free of the
// plug-in's state (libraries with threads do not survive fork well).
bool probe_plugin(const Settings &settings)
{
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("orvel-gridftp-server: fork");
        return false;
    }
    if (pid == 0)
        _exit(load_plugin(settings) ? 0 : 1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int open_listener(const Settings &settings, int *port_out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    std::string port = std::to_string(settings.port);
    int rc = getaddrinfo(settings.listen_address.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        std::fprintf(stderr, "orvel-gridftp-server: %s: %s\n", settings.listen_address.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    int last_errno = 0;
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            last_errno = errno;
            continue;
        }
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, 64) == 0)
            break;
        last_errno = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        std::fprintf(stderr, "orvel-gridftp-server: cannot listen on %s:%d: %s\n", settings.listen_address.c_str(),
                     settings.port, std::strerror(last_errno));
        return -1;
    }
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    *port_out = addr.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(addr).sin_port)
                                          : ntohs(reinterpret_cast<sockaddr_in6 &>(addr).sin6_port);
    return fd;
}

bool write_port_file(const std::string &path, int port)
{
    // Written whole and renamed into place: a reader never sees half a number.
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "orvel-gridftp-server: %s: %s\n", tmp.c_str(), std::strerror(errno));
        return false;
    }
    std::fprintf(f, "%d\n", port);
    if (std::fclose(f) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "orvel-gridftp-server: %s: %s\n", path.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

int hash_password_mode(const std::string &user)
{
    if (user.empty() || user.find(':') != std::string::npos) {
        std::fprintf(stderr, "orvel-gridftp-server: the user name must be non-empty and contain no ':'\n");
        return 2;
    }
    bool tty = isatty(STDIN_FILENO);
    termios old{};
    if (tty) {
        std::fprintf(stderr, "Password for %s: ", user.c_str());
        tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string password;
    std::getline(std::cin, password);
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::fprintf(stderr, "\n");
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.empty()) {
        std::fprintf(stderr, "orvel-gridftp-server: empty password\n");
        return 2;
    }
    std::string line = make_user_line(user, password);
    if (line.empty()) {
        std::fprintf(stderr, "orvel-gridftp-server: no random numbers for the salt\n");
        return 1;
    }
    std::printf("%s\n", line.c_str());
    return 0;
}

[[noreturn]] void run_session_child(const Settings &settings, int listen_fd, int client_fd)
{
    close(listen_fd);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    if (!load_plugin(settings)) {
        const char msg[] = "421 Service not available: the storage plug-in cannot be loaded.\r\n";
        ssize_t w = send(client_fd, msg, sizeof msg - 1, MSG_NOSIGNAL);
        (void)w;
        close(client_fd);
        _exit(1);
    }
    {
        FtpSession session(settings, client_fd);
        session.run();
    } // the storage session ends here, before the process does
    unload_plugin(settings);
    std::exit(0);
}

void reap(std::set<pid_t> *children)
{
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        children->erase(pid);
        if (WIFSIGNALED(status))
            log_error("session process %ld ended by signal %d", static_cast<long>(pid), WTERMSIG(status));
    }
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    std::string hash_user;
    switch (parse_settings(argc, argv, &settings, &hash_user)) {
    case ParseResult::run:
        break;
    case ParseResult::exit_ok:
        return 0;
    case ParseResult::exit_usage:
    case ParseResult::exit_file:
        return 2;
    }
    if (!hash_user.empty())
        return hash_password_mode(hash_user);
    if (!validate_settings(settings))
        return 2;
    if (!settings.users_file.empty()) {
        std::vector<UserEntry> users;
        std::string error;
        if (!load_users(settings.users_file, &users, &error)) {
            std::fprintf(stderr, "orvel-gridftp-server: %s\n", error.c_str());
            return 2;
        }
        for (const auto &u : users) {
            for (const std::string *f : {&u.creds_file, &u.policy_file}) {
                if (!f->empty() && access(f->c_str(), R_OK) != 0) {
                    std::fprintf(stderr, "orvel-gridftp-server: %s: %s\n", f->c_str(), std::strerror(errno));
                    return 2;
                }
            }
        }
    }
    if (!log_open(settings.log_file)) {
        std::fprintf(stderr, "orvel-gridftp-server: %s: %s\n", settings.log_file.c_str(), std::strerror(errno));
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (!probe_plugin(settings))
        return 2;

    int port = 0;
    int listen_fd = open_listener(settings, &port);
    if (listen_fd < 0)
        return 1;
    if (!settings.port_file.empty() && !write_port_file(settings.port_file, port))
        return 2;

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::printf("orvel-gridftp-server: listening on %s port %d\n", settings.listen_address.c_str(), port);
    std::fflush(stdout);
    log_info("listening on %s port %d, storage interface \"%s\" from %s", settings.listen_address.c_str(), port,
             settings.dsi_name.c_str(), settings.plugin_path.c_str());

    std::set<pid_t> children;
    while (!g_stop) {
        reap(&children);
        pollfd p{listen_fd, POLLIN, 0};
        int r = poll(&p, 1, 500);
        if (r <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t flen = sizeof from;
        int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&from), &flen, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        reap(&children);
        if (static_cast<int>(children.size()) >= settings.max_sessions) {
            const char msg[] = "421 Too many sessions, try again later.\r\n";
            ssize_t w = send(fd, msg, sizeof msg - 1, MSG_NOSIGNAL);
            (void)w;
            close(fd);
            continue;
        }
        pid_t pid = fork();
        if (pid == 0)
            run_session_child(settings, listen_fd, fd);
        if (pid < 0)
            log_error("fork: %s", std::strerror(errno));
        else
            children.insert(pid);
        close(fd);
    }

    // Stop: no new sessions; ask running ones to end, then make sure they do.
    close(listen_fd);
    log_info("stopping, %zu session(s) running", children.size());
    for (pid_t pid : children)
        kill(pid, SIGTERM);
    for (int i = 0; i < 50 && !children.empty(); ++i) {
        reap(&children);
        if (!children.empty())
            usleep(100 * 1000);
    }
    for (pid_t pid : children)
        kill(pid, SIGKILL);
    while (!children.empty()) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0)
            break;
        children.erase(pid);
    }
    if (!settings.port_file.empty())
        std::remove(settings.port_file.c_str());
    return 0;
}
