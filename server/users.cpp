// Users file reading, password verification and hashing.
#include "users.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace orvel::server {

namespace {

std::string to_hex(const unsigned char *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::vector<std::string> split(const std::string &line, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = line.find(sep, start);
        if (pos == std::string::npos) {
            parts.push_back(line.substr(start));
            return parts;
        }
        parts.push_back(line.substr(start, pos - start));
        start = pos + 1;
    }
}

bool is_hex(const std::string &text)
{
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

} // namespace

std::string sha256_hex(const std::string &text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        return "";
    return to_hex(digest, len);
}

bool load_users(const std::string &path, std::vector<UserEntry> *users, std::string *error)
{
    users->clear();
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
        std::vector<std::string> f = split(line, ':');
        auto bad = [&](const std::string &why) {
            *error = path + ":" + std::to_string(lineno) + ": " + why;
            return false;
        };
        if (f.size() < 4 || f.size() > 6)
            return bad("expected user:sha256:SALT:HEX[:CREDS[:POLICY]]");
        if (f[0].empty())
            return bad("empty user name");
        if (f[1] != "sha256")
            return bad("unknown hash scheme \"" + f[1] + "\" (only sha256)");
        if (f[2].empty())
            return bad("empty salt");
        if (f[3].size() != 64 || !is_hex(f[3]))
            return bad("the hash must be 64 lowercase hex digits");
        if (find_user(*users, f[0]))
            return bad("user \"" + f[0] + "\" listed twice");
        UserEntry e;
        e.name = f[0];
        e.salt = f[2];
        e.hash_hex = f[3];
        if (f.size() > 4)
            e.creds_file = f[4];
        if (f.size() > 5)
            e.policy_file = f[5];
        users->push_back(std::move(e));
    }
    return true;
}

std::optional<UserEntry> find_user(const std::vector<UserEntry> &users, const std::string &name)
{
    for (const auto &u : users)
        if (u.name == name)
            return u;
    return std::nullopt;
}

bool verify_password(const UserEntry &user, const std::string &password)
{
    std::string got = sha256_hex(user.salt + password);
    if (got.size() != user.hash_hex.size())
        return false;
    return CRYPTO_memcmp(got.data(), user.hash_hex.data(), got.size()) == 0;
}

std::string make_user_line(const std::string &name, const std::string &password)
{
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof raw) != 1)
        return "";
    std::string salt = to_hex(raw, sizeof raw);
    return name + ":sha256:" + salt + ":" + sha256_hex(salt + password);
}

} // namespace orvel::server
