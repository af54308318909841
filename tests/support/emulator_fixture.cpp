// Runs the service emulator for tests: a private storage folder, the test CA
// (made once per machine user and cached under /tmp), a child process on an
// ephemeral loopback port, and its control API over libcurl.
#include "emulator_fixture.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace orvel::test {
namespace {

constexpr const char *kApiHost = "api.dropboxapi.com";
constexpr const char *kContentHost = "content.dropboxapi.com";

std::string source_dir()
{
    const char *env = std::getenv("ORVEL_SOURCE_DIR");
    return (env && *env) ? env : ORVEL_SOURCE_DIR;
}

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

// The test CA and server certificate, made once per machine user. Several
// test programs may start at once, so the making runs under a file lock.
const std::string &ca_dir()
{
    static std::once_flag once;
    static std::string dir;
    std::call_once(once, [] {
        std::string base = "/tmp/orvel-test-ca-" + std::to_string(getuid());
        mkdir(base.c_str(), 0700);
        std::string lock_path = base + "/.lock";
        int lock_fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock_fd >= 0) {
            flock(lock_fd, LOCK_EX);
        }
        std::string command = "/bin/sh '" + source_dir() + "/emulator/make-test-ca.sh' '" + base + "'";
        int rc = std::system(command.c_str());
        if (lock_fd >= 0) {
            flock(lock_fd, LOCK_UN);
            close(lock_fd);
        }
        if (rc != 0 || !fs::exists(base + "/ca.pem") || !fs::exists(base + "/server.pem")) {
            throw std::runtime_error("cannot make the test CA in " + base);
        }
        dir = base;
    });
    return dir;
}

std::string accounts_json(const std::vector<EmulatorAccount> &accounts)
{
    json_t *list = json_array();
    for (const auto &a : accounts) {
        json_array_append_new(
            list, json_pack("{s:s, s:s, s:s, s:s, s:s}", "access_token", a.access_token.c_str(), "account_id",
                            a.account_id.c_str(), "root_namespace_id", a.root_namespace_id.c_str(), "home_namespace_id",
                            a.home_namespace_id.c_str(), "home_folder_name", a.home_folder_name.c_str()));
    }
    json_t *doc = json_pack("{s:o}", "accounts", list);
    char *text = json_dumps(doc, JSON_INDENT(1));
    std::string out = text ? text : "";
    std::free(text);
    json_decref(doc);
    return out;
}

size_t collect(char *data, size_t size, size_t nitems, void *userdata)
{
    static_cast<std::string *>(userdata)->append(data, size * nitems);
    return size * nitems;
}

// Keeps a path inside the storage folder: no "..", absolute below the root.
std::string relative(const std::string &path)
{
    std::string rel = path;
    while (!rel.empty() && rel.front() == '/') {
        rel.erase(0, 1);
    }
    for (const auto &part : fs::path(rel)) {
        if (part == "..") {
            throw std::invalid_argument("path leaves the storage folder: " + path);
        }
    }
    return rel;
}

} // namespace

std::string make_temp_dir(const std::string &prefix)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string((tmp && *tmp) ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    }
    return buffer.data();
}

void remove_tree(const std::string &path)
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

Emulator::Emulator(const EmulatorOptions &options) : options_(options)
{
    if (options_.accounts.empty()) {
        throw std::invalid_argument("the emulator needs at least one account");
    }
    const std::string &ca = ca_dir();
    ca_file_ = ca + "/ca.pem";
    dir_ = make_temp_dir("orvel-emulator");
    try {
        fs::create_directories(dir_ + "/root");
        for (const auto &a : options_.accounts) {
            fs::create_directories(dir_ + "/root/ns/" + a.root_namespace_id);
        }
        write_text(dir_ + "/accounts.json", accounts_json(options_.accounts));

        const std::string script = source_dir() + "/emulator/dropbox_emulator.py";
        const std::string port_file = dir_ + "/port";
        std::vector<std::string> args = {
            "/usr/bin/python3", script,   "--root", dir_ + "/root",     "--accounts", dir_ + "/accounts.json",
            "--port",           "0",      "--cert", ca + "/server.pem", "--key",      ca + "/server-key.pem",
            "--port-file",      port_file};
        if (options_.rate_limit > 0) {
            args.push_back("--rate-limit");
            args.push_back(std::to_string(options_.rate_limit));
        }
        std::vector<char *> argv;
        for (auto &arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const std::string log_path = dir_ + "/emulator.out";
        const pid_t parent = getpid();
        pid_t pid = fork();
        if (pid < 0) {
            throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
        }
        if (pid == 0) {
            // The emulator goes away with the test process, however it ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) {
                _exit(127);
            }
            int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                dup2(out, STDOUT_FILENO);
                close(out);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        pid_ = pid;

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (true) {
            std::ifstream in(port_file);
            int port = 0;
            if (in >> port && port > 0) {
                port_ = port;
                break;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("the emulator exited before it listened (see stderr)");
            }
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("the emulator did not start within 10 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } catch (...) {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        remove_tree(dir_);
        throw;
    }
}

Emulator::~Emulator()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        // The emulator checks for the signal twice a second; give it a few
        // seconds, then make sure.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        bool gone = false;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                gone = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!gone) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    remove_tree(dir_);
}

std::string Emulator::ns_dir(const std::string &ns) const
{
    return dir_ + "/root/ns/" + (ns.empty() ? options_.accounts.front().root_namespace_id : ns);
}

void Emulator::put_file(const std::string &path, const std::string &contents) const
{
    fs::path target = fs::path(ns_dir()) / relative(path);
    fs::create_directories(target.parent_path());
    write_text(target.string(), contents);
}

void Emulator::put_sparse_file(const std::string &path, uint64_t size) const
{
    fs::path target = fs::path(ns_dir()) / relative(path);
    fs::create_directories(target.parent_path());
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("cannot make sparse file " + target.string());
    }
    close(fd);
}

void Emulator::make_folder(const std::string &path) const
{
    fs::create_directories(fs::path(ns_dir()) / relative(path));
}

bool Emulator::exists(const std::string &path) const
{
    std::error_code ec;
    return fs::exists(fs::path(ns_dir()) / relative(path), ec);
}

std::string Emulator::read_file(const std::string &path) const
{
    std::ifstream in(fs::path(ns_dir()) / relative(path), std::ios::binary);
    if (!in) {
        throw std::runtime_error("no file " + path + " in the emulator's storage");
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string Emulator::expiry_in(long seconds)
{
    time_t when = time(nullptr) + seconds;
    struct tm tm {};
    gmtime_r(&when, &tm);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000+00:00", &tm);
    return text;
}

std::string Emulator::credential_json(size_t index, const std::string &token_expiry) const
{
    const EmulatorAccount &a = options_.accounts.at(index);
    const std::string expiry = token_expiry.empty() ? expiry_in(24 * 3600) : token_expiry;
    json_t *doc = json_pack("{s:s, s:s, s:s, s:{s:s, s:s}}", "access_token", a.access_token.c_str(), "token_expiry",
                            expiry.c_str(), "sub", a.account_id.c_str(), "root_info", "root_namespace_id",
                            a.root_namespace_id.c_str(), "home_namespace_id", a.home_namespace_id.c_str());
    char *text = json_dumps(doc, 0);
    std::string out = text ? text : "";
    std::free(text);
    json_decref(doc);
    return out;
}

std::string Emulator::control(const char *method, const std::string &path, const std::string &body) const
{
    CURL *curl = curl_easy_init();
    if (curl == nullptr) {
        throw std::runtime_error("curl_easy_init failed");
    }
    std::string url = base_url() + path;
    std::string reply;
    char error_buffer[CURL_ERROR_SIZE] = "";
    curl_slist *headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) {
        throw std::runtime_error(std::string("emulator control ") + method + " " + path + ": " +
                                 (error_buffer[0] ? error_buffer : curl_easy_strerror(code)));
    }
    if (status != 200) {
        throw std::runtime_error(std::string("emulator control ") + method + " " + path + ": status " +
                                 std::to_string(status) + ": " + reply);
    }
    return reply;
}

json_t *Emulator::request_log() const
{
    std::string text = control("GET", "/__emulator/log", "");
    json_error_t error;
    json_t *log = json_loads(text.c_str(), 0, &error);
    if (log == nullptr) {
        throw std::runtime_error(std::string("emulator log is not JSON: ") + error.text);
    }
    return log;
}

void Emulator::clear_log() const
{
    control("DELETE", "/__emulator/log", "");
}

void Emulator::add_fault(const std::string &rule_json) const
{
    control("POST", "/__emulator/faults", rule_json);
}

void Emulator::clear_faults() const
{
    control("DELETE", "/__emulator/faults", "");
}

void Emulator::set_rate_limit(int per_second) const
{
    control("POST", "/__emulator/rate_limit", "{\"per_second\": " + std::to_string(per_second) + "}");
}

void Emulator::set_link(int latency_ms, int64_t bytes_per_second) const
{
    control("POST", "/__emulator/link",
            "{\"latency_ms\": " + std::to_string(latency_ms) +
                ", \"bytes_per_second\": " + std::to_string(bytes_per_second) + "}");
}

void Emulator::set_write_contention(int hold_ms, int retry_after) const
{
    control("POST", "/__emulator/write_contention",
            "{\"hold_ms\": " + std::to_string(hold_ms) + ", \"retry_after\": " + std::to_string(retry_after) + "}");
}

std::vector<json_t *> Emulator::log_entries(const std::string &endpoint_path) const
{
    std::vector<json_t *> out;
    json_t *log = request_log();
    size_t index;
    json_t *entry;
    json_array_foreach(log, index, entry)
    {
        const char *path = json_string_value(json_object_get(entry, "path"));
        if (path != nullptr && endpoint_path == path) {
            out.push_back(json_incref(entry));
        }
    }
    json_decref(log);
    return out;
}

size_t Emulator::count_requests(const std::string &endpoint_path) const
{
    std::vector<json_t *> entries = log_entries(endpoint_path);
    for (json_t *entry : entries) {
        json_decref(entry);
    }
    return entries.size();
}

void Emulator::use_for_rest() const
{
    const std::string port = std::to_string(port_);
    const std::string connect_to =
        std::string(kApiHost) + ":443:127.0.0.1:" + port + "," + kContentHost + ":443:127.0.0.1:" + port;
    setenv("ORVEL_DSI_REST_CAINFO", ca_file_.c_str(), 1);
    setenv("ORVEL_DSI_REST_CONNECT_TO", connect_to.c_str(), 1);
}

std::string Emulator::base_url() const
{
    return "https://127.0.0.1:" + std::to_string(port_);
}

} // namespace orvel::test
