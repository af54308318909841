// The server's log: one line per event, written with a single write() so that
// the lines of sibling session processes never interleave.
#pragma once

#include <cstdint>
#include <string>

namespace orvel::server {

// Opens the log destination ("" = standard error). Returns false with errno
// set when the file cannot be opened.
bool log_open(const std::string &path);

void log_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// One line per transfer: who moved how much of what, how fast.
void log_transfer(const std::string &user, const char *command, const std::string &path, uint64_t bytes, double seconds,
                  bool ok);

} // namespace orvel::server
