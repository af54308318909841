// Failed logins slowed across all session processes. The parent process
// keeps one schedule for the whole server; a session asks it, over a socket
// pair made at fork, how long to wait before it answers a password, and
// reports each wrong one. After a failure from an address or for a user
// name, the answers to further logins from that address or for that name
// are spaced at least `spacing_ms` apart, however many connections ask.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace orvel::server {

class LoginThrottle {
public:
    // Failures are remembered for `memory_ms`.
    LoginThrottle(int64_t spacing_ms, int64_t memory_ms) : spacing_ms_(spacing_ms), memory_ms_(memory_ms) {}

    // Milliseconds a login of `user` from `address` waits before its answer;
    // the slot is taken, so that the next one waits longer.
    int64_t reserve(const std::string &address, const std::string &user, int64_t now_ms);
    void record_failure(const std::string &address, const std::string &user, int64_t now_ms);
    size_t remembered() const { return entries_.size(); }

private:
    struct Entry {
        int64_t last_failure_ms = 0; // when the last wrong password was given
        int64_t next_slot_ms = 0;    // earliest time of the next answer
    };
    void forget_old(int64_t now_ms);

    int64_t spacing_ms_;
    int64_t memory_ms_;
    std::map<std::string, Entry> entries_; // "a:ADDRESS" and "u:NAME"
};

// Session side. Both fall back to no wait when the parent cannot be asked.
int64_t ask_login_wait(int fd, const std::string &address, const std::string &user);
void report_login_failure(int fd, const std::string &address, const std::string &user);

// Parent side: answers one message waiting on a session's socket. False when
// the session closed its end.
bool serve_login_throttle(int fd, LoginThrottle *throttle, int64_t now_ms);

} // namespace orvel::server
