// The certificate map: which users a client certificate may log in as.
//
// One line per certificate subject, as grid services keep them: the subject
// in double quotes, in OpenSSL's one-line form, then the user names it may
// log in as, separated by commas; the first is the user a client that names
// none logs in as. Blank lines and lines starting with '#' are ignored.
//   "/C=DE/O=Example Grid/CN=Ann Example" ann,ann-robot
#pragma once

#include <string>
#include <vector>

namespace orvel::server {

struct CertMapEntry {
    std::string subject;            // "/C=../O=../CN=.."
    std::vector<std::string> users; // user names, the default first
};

// Reads the map. On failure returns false and sets *error to
// "PATH: strerror" or "PATH:LINE: reason".
bool load_cert_map(const std::string &path, std::vector<CertMapEntry> *entries, std::string *error);

// The users `subject` may log in as (empty when it is not in the map).
std::vector<std::string> users_for_subject(const std::vector<CertMapEntry> &entries, const std::string &subject);

} // namespace orvel::server
