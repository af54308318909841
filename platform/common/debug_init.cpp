// Debug-log initialisation from an environment variable.
//
// Value syntax:  LEVELS[,FILE[,TIMESTAMP_LEVELS[,OPTIONS]]]
//   LEVELS, TIMESTAMP_LEVELS: a decimal bit set, level names joined by '|'
//   (case-insensitive; decimal numbers may be mixed in), or "ALL".
//   FILE: empty or "-" = standard error; "#path" appends; other text truncates.
//   OPTIONS: words separated by ',', '|' or blanks; "threads" enables thread ids.
#include "orvel_common.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <strings.h>
#include <vector>

namespace {

std::string_view trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool all_digits(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

uint32_t parse_number(std::string_view digits)
{
    uint64_t value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    return static_cast<uint32_t>(value);
}

// Splits `text` at any of `separators`, keeping empty pieces.
std::vector<std::string_view> split(std::string_view text, std::string_view separators)
{
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

struct LevelNames {
    std::vector<std::string> names; // names[i] is bit 1 << i

    explicit LevelNames(const char *list)
    {
        if (list == nullptr) {
            return;
        }
        for (std::string_view name : split(list, " \t")) {
            if (!name.empty() && names.size() < 32) {
                names.emplace_back(name);
            }
        }
    }

    uint32_t all() const
    {
        if (names.empty()) {
            return UINT32_MAX;
        }
        return names.size() >= 32 ? UINT32_MAX : (uint32_t{1} << names.size()) - 1;
    }

    uint32_t parse(std::string_view text) const
    {
        text = trim(text);
        uint32_t bits = 0;
        for (std::string_view token : split(text, "|")) {
            token = trim(token);
            if (token.empty()) {
                continue;
            }
            if (all_digits(token)) {
                bits |= parse_number(token);
            } else if (equal_ignoring_case(token, "ALL")) {
                bits |= all();
            } else {
                for (size_t i = 0; i < names.size(); i++) {
                    if (equal_ignoring_case(token, names[i])) {
                        bits |= uint32_t{1} << i;
                        break;
                    }
                }
                // Unknown names are ignored.
            }
        }
        return bits;
    }
};

} // namespace

extern "C" void orvel_debug_init(const char *env_name, const char *level_names, orvel_debug_handle_t *handle)
{
    if (handle == nullptr) {
        return;
    }
    *handle = orvel_debug_handle_t{0, 0, nullptr, false, false};
    const char *value = env_name != nullptr ? std::getenv(env_name) : nullptr;
    if (value == nullptr || *value == '\0') {
        return;
    }

    // The first three fields end at a comma; everything after the third comma
    // is the option list.
    std::string_view rest(value);
    std::string_view fields[4];
    int count = 0;
    while (count < 3) {
        size_t comma = rest.find(',');
        if (comma == std::string_view::npos) {
            break;
        }
        fields[count++] = rest.substr(0, comma);
        rest.remove_prefix(comma + 1);
    }
    fields[count++] = rest;

    LevelNames names(level_names);
    handle->levels = names.parse(fields[0]);
    if (count > 2) {
        handle->timestamp_levels = names.parse(fields[2]);
    }
    if (count > 3) {
        for (std::string_view option : split(fields[3], ",| \t")) {
            if (equal_ignoring_case(option, "threads")) {
                handle->thread_ids = true;
            }
        }
    }

    if (handle->levels == 0) {
        // Nothing will be written: do not create or truncate a file.
        return;
    }
    std::string_view file = count > 1 ? trim(fields[1]) : std::string_view();
    handle->file = stderr;
    if (file.empty() || file == "-") {
        return;
    }
    const char *mode = "w";
    if (file.front() == '#') {
        mode = "a";
        file.remove_prefix(1);
        if (file.empty()) {
            return;
        }
    }
    std::string path(file);
    FILE *stream = std::fopen(path.c_str(), mode);
    if (stream == nullptr) {
        return; // falls back to standard error
    }
    // Line buffering: each log line reaches the file when it is complete, even
    // if the process ends abruptly.
    setvbuf(stream, nullptr, _IOLBF, 0);
    handle->file = stream;
    handle->using_file = true;
}
