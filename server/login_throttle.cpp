// The server-wide login throttle and its messages between session and parent.
//
// Messages (SOCK_SEQPACKET, one per packet): "wait\nADDRESS\nUSER" is
// answered with the decimal milliseconds to wait; "fail\nADDRESS\nUSER"
// records a wrong password and is not answered.
#include "login_throttle.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace orvel::server {

namespace {

const size_t kMaxMessage = 1024;
const int kAnswerTimeoutMs = 5000;

bool send_message(int fd, const std::string &kind, const std::string &address, const std::string &user)
{
    std::string message = kind + "\n" + address + "\n" + user.substr(0, kMaxMessage / 2);
    return ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
}

} // namespace

void LoginThrottle::forget_old(int64_t now_ms)
{
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now_ms - it->second.last_failure_ms > memory_ms_ && it->second.next_slot_ms <= now_ms)
            it = entries_.erase(it);
        else
            ++it;
    }
}

int64_t LoginThrottle::reserve(const std::string &address, const std::string &user, int64_t now_ms)
{
    forget_old(now_ms);
    std::vector<Entry *> slowed;
    for (const std::string &key : {"a:" + address, "u:" + user}) {
        auto it = entries_.find(key);
        if (it != entries_.end())
            slowed.push_back(&it->second);
    }
    if (slowed.empty())
        return 0; // no failure remembered: answer at once
    int64_t slot = now_ms;
    for (Entry *e : slowed)
        slot = std::max(slot, e->next_slot_ms);
    for (Entry *e : slowed)
        e->next_slot_ms = slot + spacing_ms_;
    return slot - now_ms;
}

void LoginThrottle::record_failure(const std::string &address, const std::string &user, int64_t now_ms)
{
    for (const std::string &key : {"a:" + address, "u:" + user}) {
        Entry &e = entries_[key];
        e.last_failure_ms = now_ms;
        e.next_slot_ms = std::max(e.next_slot_ms, now_ms + spacing_ms_);
    }
}

int64_t ask_login_wait(int fd, const std::string &address, const std::string &user)
{
    if (fd < 0 || !send_message(fd, "wait", address, user))
        return 0;
    pollfd p{fd, POLLIN, 0};
    int r = 0;
    do
        r = ::poll(&p, 1, kAnswerTimeoutMs);
    while (r < 0 && errno == EINTR);
    char answer[32];
    ssize_t n = r > 0 ? ::recv(fd, answer, sizeof answer - 1, 0) : -1;
    if (n <= 0)
        return 0;
    answer[n] = '\0';
    return std::strtoll(answer, nullptr, 10);
}

void report_login_failure(int fd, const std::string &address, const std::string &user)
{
    if (fd >= 0)
        send_message(fd, "fail", address, user);
}

bool serve_login_throttle(int fd, LoginThrottle *throttle, int64_t now_ms)
{
    char buffer[kMaxMessage + 64];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0)
        return false;
    std::string message(buffer, static_cast<size_t>(n));
    size_t first = message.find('\n');
    size_t second = first == std::string::npos ? first : message.find('\n', first + 1);
    if (second == std::string::npos)
        return true; // malformed: ignored
    std::string kind = message.substr(0, first);
    std::string address = message.substr(first + 1, second - first - 1);
    std::string user = message.substr(second + 1);
    if (kind == "fail") {
        throttle->record_failure(address, user, now_ms);
    } else if (kind == "wait") {
        std::string answer = std::to_string(throttle->reserve(address, user, now_ms));
        ssize_t w = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)w;
    }
    return true;
}

} // namespace orvel::server
