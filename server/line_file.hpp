// Reading the server's line-oriented files (users file, certificate map).
#pragma once

#include <functional>
#include <string>

namespace orvel::server {

// Calls `parse` for every line of the file at `path` that holds something:
// blank lines and lines whose first non-blank character is '#' are skipped,
// and a line's trailing CR is dropped. `parse` gets the line and the index of
// its first non-blank character, and returns "" when it took the line or
// says why not. Returns false on the first refusal, with *error set to
// "PATH:LINE: reason", or when the file cannot be read ("PATH: strerror").
bool read_line_file(const std::string &path,
                    const std::function<std::string(const std::string &line, size_t first)> &parse, std::string *error);

} // namespace orvel::server
