// Reading the certificate map.
#include "cert_map.hpp"

#include "line_file.hpp"

namespace orvel::server {

bool load_cert_map(const std::string &path, std::vector<CertMapEntry> *entries, std::string *error)
{
    entries->clear();
    return read_line_file(
        path,
        [entries](const std::string &line, size_t first) -> std::string {
            CertMapEntry entry;
            size_t rest = 0;
            if (line[first] == '"') {
                size_t close = line.find('"', first + 1);
                if (close == std::string::npos)
                    return "the subject's closing quote is missing";
                entry.subject = line.substr(first + 1, close - first - 1);
                rest = close + 1;
            } else {
                rest = line.find_first_of(" \t", first);
                if (rest == std::string::npos)
                    return "expected \"SUBJECT\" user[,user...]";
                entry.subject = line.substr(first, rest - first);
            }
            if (entry.subject.empty() || entry.subject[0] != '/')
                return "the subject must look like \"/C=../O=../CN=..\"";
            std::string names = line.substr(rest);
            size_t start = 0;
            for (;;) {
                size_t comma = names.find(',', start);
                std::string name = names.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                size_t b = name.find_first_not_of(" \t"), e = name.find_last_not_of(" \t");
                name = b == std::string::npos ? "" : name.substr(b, e - b + 1);
                if (name.empty() || name.find_first_of(" \t:") != std::string::npos)
                    return "expected user names separated by commas after the subject";
                entry.users.push_back(name);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
            entries->push_back(std::move(entry));
            return "";
        },
        error);
}

std::vector<std::string> users_for_subject(const std::vector<CertMapEntry> &entries, const std::string &subject)
{
    for (const auto &e : entries)
        if (e.subject == subject)
            return e.users;
    return {};
}

} // namespace orvel::server
