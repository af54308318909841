// Test helper: runs the service emulator (emulator/dropbox-emulator) on an
// ephemeral loopback port with a test CA, and points the REST library at it
// through its environment variables. One instance per test or test suite.
#pragma once

#include <jansson.h>

#include <cstdint>

#include <string>
#include <vector>

namespace orvel::test {

struct EmulatorAccount {
    std::string access_token = "token-ann";
    std::string account_id = "dbid:ann";
    std::string root_namespace_id = "1000";
    std::string home_namespace_id = "1000"; // differs from root for a team account
    std::string home_folder_name = "Ann";   // team accounts: home folder inside the root
};

struct EmulatorOptions {
    std::vector<EmulatorAccount> accounts{EmulatorAccount{}};
    int rate_limit = 0; // requests per second per account, 0 = off
};

class Emulator {
public:
    explicit Emulator(const EmulatorOptions &options = {});
    ~Emulator(); // stops the process and removes its storage folder
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    int port() const { return port_; }
    // Folder that holds namespace `ns` ("" = the first account's root).
    std::string ns_dir(const std::string &ns = "") const;
    // Seeds storage directly (path relative to the first account's root
    // namespace, e.g. "/docs/a.txt"); parent folders are created.
    void put_file(const std::string &path, const std::string &contents) const;
    void put_sparse_file(const std::string &path, uint64_t size) const;
    void make_folder(const std::string &path) const;
    bool exists(const std::string &path) const;
    std::string read_file(const std::string &path) const;

    // The credential document ("creds") for account `index`, with the given
    // expiry text (default: one day from now, "%Y-%m-%dT%H:%M:%S.000000+00:00").
    std::string credential_json(size_t index = 0, const std::string &token_expiry = "") const;
    static std::string expiry_in(long seconds); // expiry text `seconds` from now

    // Control API. Requests are JSON texts; results are new references.
    json_t *request_log() const;                        // GET /__emulator/log
    void clear_log() const;                             // DELETE /__emulator/log
    void add_fault(const std::string &rule_json) const; // POST /__emulator/faults
    void clear_faults() const;                          // DELETE /__emulator/faults
    void set_rate_limit(int per_second) const;
    // A far-away service: one-way delay and per-connection byte rate (0 = off).
    void set_link(int latency_ms, int64_t bytes_per_second) const;
    // Commits into one namespace within hold_ms of each other get 429
    // too_many_write_operations with this Retry-After (0 = off).
    void set_write_contention(int hold_ms, int retry_after) const;
    // Convenience: the log's entries whose "path" equals `endpoint_path`.
    std::vector<json_t *> log_entries(const std::string &endpoint_path) const; // caller decrefs each
    size_t count_requests(const std::string &endpoint_path) const;

    // Sets ORVEL_DSI_REST_CAINFO and ORVEL_DSI_REST_CONNECT_TO (both service
    // host names, port 443, to 127.0.0.1:port) in this process's environment.
    void use_for_rest() const;
    // Base address for curl in benchmarks: "https://127.0.0.1:PORT".
    std::string base_url() const;
    const std::string &ca_file() const { return ca_file_; }

private:
    std::string control(const char *method, const std::string &path, const std::string &body) const;
    int pid_ = -1;
    int port_ = 0;
    std::string dir_;
    std::string ca_file_;
    EmulatorOptions options_;
};

// A temporary HOME for the current process (the plug-in keeps state files
// under the user's home through the account database, so tests that need an
// isolated state directory set HOME and use an account-lookup override; see
// the plug-in's tests).
std::string make_temp_dir(const std::string &prefix);
void remove_tree(const std::string &path);

} // namespace orvel::test
