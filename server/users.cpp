// Users file reading, password verification and hashing.
#include "users.hpp"

#include "line_file.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <crypt.h>

#include <memory>

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
    return read_line_file(
        path,
        [users](const std::string &line, size_t) -> std::string {
            std::vector<std::string> f = split(line, ':');
            if (f.size() < 2)
                return "expected user:HASH[:CREDS[:POLICY]]";
            if (f[0].empty())
                return "empty user name";
            if (find_user(*users, f[0]))
                return "user \"" + f[0] + "\" listed twice";
            UserEntry e;
            e.name = f[0];
            size_t files = 2; // index of the first file field
            if (f[1] == "sha256") {
                if (f.size() < 4 || f.size() > 6)
                    return "expected user:sha256:SALT:HEX[:CREDS[:POLICY]]";
                if (f[2].empty())
                    return "empty salt";
                if (f[3].size() != 64 || !is_hex(f[3]))
                    return "the hash must be 64 lowercase hex digits";
                e.salt = f[2];
                e.hash_hex = f[3];
                files = 4;
            } else {
                if (f.size() > 4)
                    return "expected user:HASH[:CREDS[:POLICY]]";
                // Only methods the system holds strong: no DES or MD5 hashes.
                if (f[1].empty() || f[1][0] != '$' || crypt_checksalt(f[1].c_str()) != CRYPT_SALT_OK)
                    return "unknown or weak password hash \"" + f[1].substr(0, 4) +
                           "...\" (expected a crypt(3) hash such as $y$ or $6$)";
                e.crypt_hash = f[1];
            }
            if (f.size() > files)
                e.creds_file = f[files];
            if (f.size() > files + 1)
                e.policy_file = f[files + 1];
            users->push_back(std::move(e));
            return "";
        },
        error);
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
    std::string got, want;
    if (!user.crypt_hash.empty()) {
        auto data = std::make_unique<crypt_data>(); // large: not on the stack
        const char *hashed = crypt_r(password.c_str(), user.crypt_hash.c_str(), data.get());
        if (!hashed || hashed[0] == '*')
            return false;
        got = hashed;
        want = user.crypt_hash;
    } else {
        got = sha256_hex(user.salt + password);
        want = user.hash_hex;
    }
    if (got.size() != want.size())
        return false;
    return CRYPTO_memcmp(got.data(), want.data(), got.size()) == 0;
}

std::string make_user_line(const std::string &name, const std::string &password)
{
    unsigned char raw[32];
    if (RAND_bytes(raw, sizeof raw) != 1)
        return "";
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, reinterpret_cast<const char *>(raw), sizeof raw, setting, sizeof setting))
        return "";
    auto data = std::make_unique<crypt_data>();
    const char *hashed = crypt_r(password.c_str(), setting, data.get());
    if (!hashed || hashed[0] == '*')
        return "";
    return name + ":" + hashed;
}

} // namespace orvel::server
