// orvel-gridftp-server: listens for FTP control connections and serves each
// client in its own process (fork after accept), so that sibling sessions of
// one account share the storage plug-in's pacing state as separate processes.
//
// The parent never loads the plug-in into itself: it checks the library once
// in a short-lived child at start-up, and each session child loads it anew.
#include "config.hpp"
#include "ftp_session.hpp"
#include "log.hpp"
#include "login_throttle.hpp"
#include "tls.hpp"
#include "users.hpp"

#include "orvel_host.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <dlfcn.h>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

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

int open_listener(const Settings &settings, int wanted_port, int *port_out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    std::string port = std::to_string(wanted_port);
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
                     wanted_port, std::strerror(last_errno));
        return -1;
    }
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    *port_out = addr.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(addr).sin_port)
                                          : ntohs(reinterpret_cast<sockaddr_in6 &>(addr).sin6_port);
    return fd;
}

// The control port on the first line, the implicit-TLS port (if any) on the second.
bool write_port_file(const std::string &path, int port, int implicit_port)
{
    // Written whole and renamed into place: a reader never sees half a number.
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "orvel-gridftp-server: %s: %s\n", tmp.c_str(), std::strerror(errno));
        return false;
    }
    std::fprintf(f, "%d\n", port);
    if (implicit_port >= 0)
        std::fprintf(f, "%d\n", implicit_port);
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

// A session process as the parent sees it.
struct Child {
    std::string address; // the client's address
    int throttle_fd;     // the parent's end of the login-throttle socket, -1 once closed
};

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void refuse(int fd, const char *reply)
{
    ssize_t w = send(fd, reply, std::strlen(reply), MSG_NOSIGNAL);
    (void)w;
    close(fd);
}

[[noreturn]] void run_session_child(const Settings &settings, const std::vector<int> &parent_fds, int client_fd,
                                    SessionSetup setup, TlsContext *tls)
{
    for (int fd : parent_fds)
        close(fd); // listeners and the siblings' throttle sockets
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    if (tls && !tls->isolate()) {
        refuse(client_fd, "421 Service not available: no random numbers for TLS.\r\n");
        _exit(1);
    }
    if (!load_plugin(settings)) {
        refuse(client_fd, "421 Service not available: the storage plug-in cannot be loaded.\r\n");
        _exit(1);
    }
    {
        FtpSession session(settings, client_fd, setup);
        session.run();
    } // the storage session ends here, before the process does
    unload_plugin(settings);
    std::exit(0);
}

void reap(std::map<pid_t, Child> *children)
{
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        auto it = children->find(pid);
        if (it != children->end()) {
            if (it->second.throttle_fd >= 0)
                close(it->second.throttle_fd);
            children->erase(it);
        }
        if (WIFSIGNALED(status))
            log_error("session process %ld ended by signal %d", static_cast<long>(pid), WTERMSIG(status));
    }
}

// Accepts one client on `listen_fd` and starts its session process, unless
// a limit says no.
void accept_client(const Settings &settings, int listen_fd, bool implicit_tls, TlsContext *tls,
                   const std::vector<int> &listeners, std::map<pid_t, Child> *children)
{
    sockaddr_storage from{};
    socklen_t flen = sizeof from;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&from), &flen, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    reap(children);
    std::string address = host_text(from);
    if (static_cast<int>(children->size()) >= settings.max_sessions)
        return refuse(fd, "421 Too many sessions, try again later.\r\n");
    int from_address = 0;
    for (const auto &[pid, child] : *children)
        from_address += child.address == address;
    if (from_address >= settings.max_per_address) {
        log_info("connection from %s refused: %d sessions from that address already", address.c_str(), from_address);
        return refuse(fd, "421 Too many sessions from your address, try again later.\r\n");
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        log_error("socketpair: %s", std::strerror(errno));
        return refuse(fd, "421 Service not available, try again later.\r\n");
    }
    SessionSetup setup;
    setup.tls = tls;
    setup.implicit_tls = implicit_tls;
    setup.throttle_fd = pair[1];
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<int> parent_fds = listeners;
        parent_fds.push_back(pair[0]);
        for (const auto &[other, child] : *children)
            if (child.throttle_fd >= 0)
                parent_fds.push_back(child.throttle_fd);
        run_session_child(settings, parent_fds, fd, setup, tls);
    }
    close(pair[1]);
    if (pid < 0) {
        log_error("fork: %s", std::strerror(errno));
        close(pair[0]);
    } else {
        (*children)[pid] = Child{address, pair[0]};
    }
    close(fd);
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
    std::unique_ptr<TlsContext> tls;
    if (!settings.tls_certificate.empty()) {
        std::string error;
        tls = TlsContext::create(settings, &error);
        if (!tls) {
            std::fprintf(stderr, "orvel-gridftp-server: %s\n", error.c_str());
            return 2;
        }
    }
    if (!probe_plugin(settings))
        return 2;

    int port = 0, implicit_port = -1;
    int listen_fd = open_listener(settings, settings.port, &port);
    if (listen_fd < 0)
        return 1;
    int implicit_fd = -1;
    if (settings.implicit_tls_port >= 0) {
        implicit_fd = open_listener(settings, settings.implicit_tls_port, &implicit_port);
        if (implicit_fd < 0)
            return 1;
    }
    if (!settings.port_file.empty() && !write_port_file(settings.port_file, port, implicit_port))
        return 2;

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::printf("orvel-gridftp-server: listening on %s port %d\n", settings.listen_address.c_str(), port);
    if (implicit_fd >= 0)
        std::printf("orvel-gridftp-server: implicit TLS on %s port %d\n", settings.listen_address.c_str(),
                    implicit_port);
    std::fflush(stdout);
    log_info("listening on %s port %d%s, storage interface \"%s\" from %s", settings.listen_address.c_str(), port,
             tls ? " with AUTH TLS" : "", settings.dsi_name.c_str(), settings.plugin_path.c_str());
    if (implicit_fd >= 0)
        log_info("implicit TLS on %s port %d", settings.listen_address.c_str(), implicit_port);

    std::vector<int> listeners{listen_fd};
    if (implicit_fd >= 0)
        listeners.push_back(implicit_fd);
    LoginThrottle throttle(settings.login_delay_ms, 10 * 60 * 1000);
    std::map<pid_t, Child> children;
    while (!g_stop) {
        reap(&children);
        // The listeners, then each session's throttle socket.
        std::vector<pollfd> fds;
        for (int fd : listeners)
            fds.push_back({fd, POLLIN, 0});
        std::vector<pid_t> owners;
        for (const auto &[pid, child] : children) {
            if (child.throttle_fd >= 0) {
                fds.push_back({child.throttle_fd, POLLIN, 0});
                owners.push_back(pid);
            }
        }
        int r = poll(fds.data(), fds.size(), 500);
        if (r <= 0)
            continue;
        for (size_t i = listeners.size(); i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            auto it = children.find(owners[i - listeners.size()]);
            if (it == children.end())
                continue;
            Child &child = it->second;
            if (!serve_login_throttle(child.throttle_fd, &throttle, now_ms())) {
                close(child.throttle_fd);
                child.throttle_fd = -1;
            }
        }
        for (size_t i = 0; i < listeners.size(); ++i)
            if (fds[i].revents)
                accept_client(settings, listeners[i], listeners[i] == implicit_fd, tls.get(), listeners, &children);
    }

    // Stop: no new sessions; ask running ones to end, then make sure they do.
    for (int fd : listeners)
        close(fd);
    log_info("stopping, %zu session(s) running", children.size());
    for (const auto &[pid, child] : children)
        kill(pid, SIGTERM);
    for (int i = 0; i < 50 && !children.empty(); ++i) {
        reap(&children);
        if (!children.empty())
            usleep(100 * 1000);
    }
    for (const auto &[pid, child] : children)
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
