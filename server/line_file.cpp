// Reading the server's line-oriented files.
#include "line_file.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace orvel::server {

bool read_line_file(const std::string &path,
                    const std::function<std::string(const std::string &line, size_t first)> &parse, std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        std::string why = parse(line, first);
        if (!why.empty()) {
            *error = path + ":" + std::to_string(lineno) + ": " + why;
            return false;
        }
    }
    return true;
}

} // namespace orvel::server
