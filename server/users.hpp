// The users file: who may log in, with salted password hashes, and where each
// user's credential and storage policy documents are.
//
// Line format (blank lines and lines starting with '#' are ignored):
//   user:sha256:SALT:HEX[:CREDS_FILE[:POLICY_FILE]]
// HEX is the lowercase hex SHA-256 of the SALT text followed by the password.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orvel::server {

struct UserEntry {
    std::string name;        // login name
    std::string salt;        // salt text, prepended to the password before hashing
    std::string hash_hex;    // lowercase hex SHA-256(salt + password)
    std::string creds_file;  // credential document, "" = the default template
    std::string policy_file; // storage policy document, "" = the default template
};

// Reads the users file. On failure returns false and sets *error to
// "PATH: strerror" or "PATH:LINE: reason".
bool load_users(const std::string &path, std::vector<UserEntry> *users, std::string *error);

// The entry of `name`, if the file lists it.
std::optional<UserEntry> find_user(const std::vector<UserEntry> &users, const std::string &name);

// Constant-time comparison of the password's salted hash with the entry's.
bool verify_password(const UserEntry &user, const std::string &password);

// A users-file line for `name` and `password` with a fresh random salt.
std::string make_user_line(const std::string &name, const std::string &password);

// Lowercase hex SHA-256 of `text`.
std::string sha256_hex(const std::string &text);

} // namespace orvel::server
