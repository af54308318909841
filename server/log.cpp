// Log lines: "YYYY-MM-DDTHH:MM:SSZ orvel-gridftp-server[PID] LEVEL: message".
#include "log.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace orvel::server {

namespace {

int g_log_fd = STDERR_FILENO;

void log_v(const char *level, const char *fmt, va_list ap)
{
    char line[4096];
    time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    int n = std::snprintf(
        line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02dZ orvel-gridftp-server[%ld] %s: ", tm.tm_year + 1900,
        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(getpid()), level);
    if (n < 0)
        return;
    int m = std::vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    if (m < 0)
        return;
    size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
    if (len > sizeof line - 2)
        len = sizeof line - 2;
    // Control characters from clients never reach the log raw.
    for (size_t i = static_cast<size_t>(n); i < len; ++i)
        if (static_cast<unsigned char>(line[i]) < 0x20)
            line[i] = '?';
    line[len++] = '\n';
    ssize_t w = ::write(g_log_fd, line, len);
    (void)w;
}

} // namespace

bool log_open(const std::string &path)
{
    if (path.empty())
        return true;
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640); // may name users and addresses
    if (fd < 0)
        return false;
    g_log_fd = fd;
    return true;
}

void log_info(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_v("INFO", fmt, ap);
    va_end(ap);
}

void log_error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_v("ERROR", fmt, ap);
    va_end(ap);
}

void log_transfer(const std::string &user, const char *command, const std::string &path, uint64_t bytes, double seconds,
                  bool ok)
{
    double mbps = seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0;
    log_info("transfer user=%s command=%s path=\"%s\" bytes=%llu seconds=%.3f rate=%.2f MB/s status=%s", user.c_str(),
             command, path.c_str(), static_cast<unsigned long long>(bytes), seconds, mbps, ok ? "ok" : "failed");
}

} // namespace orvel::server
