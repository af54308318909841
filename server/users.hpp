// The users file: who may log in, with salted password hashes, and where each
// user's credential and storage policy documents are.
//
// Line format (blank lines and lines starting with '#' are ignored):
//   user:HASH[:CREDS_FILE[:POLICY_FILE]]
// HASH is a crypt(3) hash as /etc/shadow keeps it: yescrypt "$y$..." (what
// --hash-password writes) or SHA-512 "$6$...", among the methods the system's
// libxcrypt holds strong. Lines of the older form
//   user:sha256:SALT:HEX[:CREDS_FILE[:POLICY_FILE]]
// (HEX the lowercase hex SHA-256 of the SALT text followed by the password)
// still log in; they are quick to guess offline and should be replaced.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orvel::server {

struct UserEntry {
    std::string name;        // login name
    std::string crypt_hash;  // crypt(3) hash, "" for an older sha256 line
    std::string salt;        // sha256 lines: salt text, prepended to the password before hashing
    std::string hash_hex;    // sha256 lines: lowercase hex SHA-256(salt + password)
    std::string creds_file;  // credential document, "" = the default template
    std::string policy_file; // storage policy document, "" = the default template
};

// Reads the users file. On failure returns false and sets *error to
// "PATH: strerror" or "PATH:LINE: reason".
bool load_users(const std::string &path, std::vector<UserEntry> *users, std::string *error);

// The entry of `name`, if the file lists it.
std::optional<UserEntry> find_user(const std::vector<UserEntry> &users, const std::string &name);

// Constant-time comparison of the password's hash with the entry's.
bool verify_password(const UserEntry &user, const std::string &password);

// A users-file line for `name` and `password`: yescrypt with a fresh random
// salt. "" when no salt could be made.
std::string make_user_line(const std::string &name, const std::string &password);

// Lowercase hex SHA-256 of `text`.
std::string sha256_hex(const std::string &text);

} // namespace orvel::server
