// Path templates, the credential (loading, expiry conversion, renewal), the
// storage policy and session start, through the host library's driver.
#include "dropbox_core_support.hpp"
#include "orvel_dropbox_transfer.h"
#include "orvel_host.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <new>
#include <optional>
#include <string>

using namespace orvel::core_test;
using orvel::host::Host;
using orvel::host::Outcome;
using orvel::host::Session;

namespace {

std::string login_name()
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[16384];
    getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found);
    return found != nullptr && found->pw_name != nullptr ? found->pw_name : "";
}

std::string expand(const char *templ, orvel_result_t *result_out = nullptr)
{
    char *out = reinterpret_cast<char *>(0x1);
    orvel_result_t result = orvel_dropbox_evaluate_path(templ, &out);
    std::string text = out != nullptr ? out : "<null>";
    free(out);
    if (result_out != nullptr)
        *result_out = result;
    else
        orvel_error_discard(result);
    return text;
}

std::atomic<int> lookups{0};
int counting_getpwuid_r(uid_t uid, struct passwd *pwd, char *buf, size_t buflen, struct passwd **result)
{
    lookups++;
    return home_getpwuid_r(uid, pwd, buf, buflen, result);
}
int no_entry_getpwuid_r(uid_t, struct passwd *, char *, size_t, struct passwd **result)
{
    *result = nullptr;
    return 0;
}
int failing_getpwuid_r(uid_t, struct passwd *, char *, size_t, struct passwd **result)
{
    *result = nullptr;
    return EIO;
}

std::string credential(const std::string &expiry, const std::string &token = "token-ann",
                       const std::string &home_ns = "1000", const std::string &extra = "")
{
    return "{\"access_token\": \"" + token + "\", \"token_expiry\": \"" + expiry +
           "\", \"sub\": \"dbid:ann\", \"root_info\": {\"root_namespace_id\": \"1000\", \"home_namespace_id\": \"" +
           home_ns + "\"}" + extra + "}";
}

std::string expiry_in(long seconds)
{
    time_t when = time(nullptr) + seconds;
    struct tm tm;
    gmtime_r(&when, &tm);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000+00:00", &tm);
    return text;
}

class DropboxConfig : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(Host::activate_module(&orvel_gridftp_server_dropbox_module), 0); }
    static void TearDownTestSuite() { Host::deactivate_module(&orvel_gridftp_server_dropbox_module); }
    void SetUp() override
    {
        temp_ = make_temp_home("orvel-core-home");
        ASSERT_FALSE(temp_.empty());
        test_home() = temp_;
        orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
    }
    void TearDown() override { remove_tree(temp_); }

    // A provider that counts lookups per key.
    orvel::host::ConfigProvider provider(std::map<std::string, std::string> texts)
    {
        return [this, texts](const std::string &key) -> std::optional<std::string> {
            asked[key]++;
            auto it = texts.find(key);
            if (it == texts.end())
                return std::nullopt;
            return it->second;
        };
    }
    static orvel_dropbox_handle_t *handle_of(Session &s)
    {
        return static_cast<orvel_dropbox_handle_t *>(s.session_arg());
    }

    SeamGuard guard;
    std::string temp_;
    std::map<std::string, int> asked;
};

} // namespace

TEST_F(DropboxConfig, TemplatesExpandHomeAndLogname)
{
    test_home() = "/home/ann";
    std::string login = login_name();
    EXPECT_EQ(expand("$HOME/.orvel"), "/home/ann/.orvel");
    EXPECT_EQ(expand("/plain/path"), "/plain/path");
    EXPECT_EQ(expand("$LOGNAME$HOME"), login + "/home/ann");
    EXPECT_EQ(expand("$HOME:$HOME"), "/home/ann:/home/ann");
    EXPECT_EQ(expand("$HOMES/${HOME}/~/$USER"), "/home/annS/${HOME}/~/$USER");
    EXPECT_EQ(expand(""), "");

    // An entry that needs more than 64 bytes: the buffer grows until it fits.
    test_home() = "/home/" + std::string(100, 'h');
    lookups = 0;
    orvel_i_dropbox_syscalls.getpwuid_r = counting_getpwuid_r;
    EXPECT_EQ(expand("$HOME/x"), test_home() + "/x");
    EXPECT_GE(lookups.load(), 2);
}

TEST_F(DropboxConfig, TemplateLookupFailures)
{
    orvel_result_t result;
    orvel_i_dropbox_syscalls.getpwuid_r = no_entry_getpwuid_r;
    EXPECT_EQ(expand("$HOME/.orvel", &result), "<null>");
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_gfs_error_get_system_errno(orvel_error_peek(result)), ENOENT);
    orvel_error_discard(result);

    orvel_i_dropbox_syscalls.getpwuid_r = failing_getpwuid_r;
    EXPECT_EQ(expand("$HOME/.orvel", &result), "<null>");
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_gfs_error_get_system_errno(orvel_error_peek(result)), EIO);
    char *chain = orvel_error_print_chain(orvel_error_peek(result));
    EXPECT_NE(std::string(chain).find("malloc"), std::string::npos) << chain;
    free(chain);
    orvel_error_discard(result);

    // An empty home folder is no place for "$HOME/.orvel" either.
    orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
    test_home() = "";
    EXPECT_EQ(expand("$HOME/.orvel", &result), "<null>");
    EXPECT_NE(result, ORVEL_SUCCESS);
    orvel_error_discard(result);
    EXPECT_EQ(expand("/plain/$LOGNAME"), "/plain/" + login_name());
}

TEST_F(DropboxConfig, SessionStartBuildsTheHandleAndStateFiles)
{
    uint32_t saved_rate = orvel_i_dropbox_api_per_second;
    Outcome outcome;
    auto session = Host::start_session(
        "dropbox", "ann",
        provider({{"creds", credential("2024-05-01T12:30:00.000000+02:00", "token-ann", "2000", ", \"more\": 1")},
                  {"config", "{\"user_api_rate_limit\": 5}"}}),
        &outcome);
    ASSERT_NE(session, nullptr) << outcome.chain_text();
    EXPECT_EQ(session->home_dir(), "/");
    EXPECT_EQ(session->checksum_support(), "Dropbox:1;SHA1:15;MD5:15;SHA256:15;SHA512:15;ADLER32:15;QuickXORHex:15");
    orvel_dropbox_handle_t *h = handle_of(*session);
    EXPECT_STREQ(h->username, "ann");
    EXPECT_STREQ(h->userid, "dbid:ann");
    EXPECT_STREQ(h->root_namespace_id, "1000");
    EXPECT_STREQ(h->access_token, "token-ann");
    EXPECT_TRUE(h->is_team);
    EXPECT_EQ(h->max_upload, 375809638400ULL);
    EXPECT_EQ(h->access_token_exp, 1714559400); // 2024-05-01T10:30:00Z
    EXPECT_EQ(orvel_i_dropbox_api_per_second, 5u);
    EXPECT_EQ(h->retry_state.delay, 200000u);
    EXPECT_GE(h->retry_state.fd, 0);
    ASSERT_NE(orvel_dropbox_path_cache_query(&h->cache, "/"), nullptr);
    EXPECT_EQ(asked["creds"], 1);
    EXPECT_EQ(asked["config"], 1);

    struct stat st;
    ASSERT_EQ(stat((test_home() + "/.orvel").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((test_home() + "/.orvel/dropbox-r").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((test_home() + "/.orvel/dropbox-r/dbid:ann").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 24);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A later session without the member keeps the rate; a bad policy too,
    // and its error is not left behind.
    size_t held = orvel_error_held_count();
    for (const char *policy : {"{}", "{\"user_api_rate_limit\": \"7\"}", "not json"}) {
        Outcome again;
        auto other = Host::start_session(
            "dropbox", "ann", provider({{"creds", credential(expiry_in(3600))}, {"config", policy}}), &again);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(orvel_i_dropbox_api_per_second, 5u);
        EXPECT_FALSE(handle_of(*other)->is_team);
    }
    EXPECT_EQ(orvel_error_held_count(), held);
    orvel_i_dropbox_api_per_second = saved_rate;
}

TEST_F(DropboxConfig, FailedStartAnswersOnceAndLogsItsError)
{
    // A credential that is absent: one answer, the credential's error in the
    // exit line, no handle and no error left behind.
    size_t held = orvel_error_held_count();
    Outcome outcome;
    {
        LogCapture log(ORVEL_DROPBOX_ERROR);
        auto session = Host::start_session("dropbox", "ann", provider({{"config", "{}"}}), &outcome);
        EXPECT_EQ(session, nullptr);
        std::string text = log.text();
        size_t at = text.find(": orvel_i_dropbox_start: exit: result=0x");
        ASSERT_NE(at, std::string::npos) << text;
        std::string line = text.substr(at, text.find('\n', at) - at);
        EXPECT_NE(line.find(" message=Error loading user credential: wrong arguments"), std::string::npos) << text;
    }
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_EQ(asked["config"], 0); // nothing after the credential step
    EXPECT_EQ(orvel_error_held_count(), held);
}

TEST_F(DropboxConfig, LaterSessionsLeaveAnExistingStateFolderAlone)
{
    std::string dir = test_home() + "/.orvel";
    ASSERT_EQ(mkdir(dir.c_str(), 0750), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0750), 0);
    for (int i = 0; i < 2; i++) {
        Outcome outcome;
        auto session =
            Host::start_session("dropbox", "ann", provider({{"creds", credential(expiry_in(3600))}}), &outcome);
        ASSERT_NE(session, nullptr) << outcome.chain_text();
        struct stat st;
        ASSERT_EQ(stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0750u);
    }

    // Without a home directory to expand, the session starts all the same and
    // paces by itself.
    orvel_i_dropbox_syscalls.getpwuid_r = no_entry_getpwuid_r;
    size_t held = orvel_error_held_count();
    Outcome outcome;
    auto session = Host::start_session("dropbox", "ann", provider({{"creds", credential(expiry_in(3600))}}), &outcome);
    ASSERT_NE(session, nullptr) << outcome.chain_text();
    EXPECT_EQ(handle_of(*session)->retry_state.fd, -1);
    EXPECT_EQ(orvel_error_held_count(), held);
}

TEST_F(DropboxConfig, ExpiryOffsetsConvertToUtc)
{
    struct Row {
        const char *text;
        const char *utc;
    } rows[] = {
        {"2024-05-01T12:30:00.000000+02:00", "2024-05-01T10:30:00"},
        {"2024-05-01T12:30:00.000000-05:30", "2024-05-01T18:00:00"},
        {"2024-05-01T12:30:00.000000-00:30", "2024-05-01T13:00:00"},
        {"2024-05-01T12:30:00.000000+00:30", "2024-05-01T12:00:00"},
        {"2024-05-01T12:30:00.5+00:00", "2024-05-01T12:30:00"},
        {"2024-12-31T23:30:00.000000-01:00", "2025-01-01T00:30:00"},
        {"2024-05-01T12:30:00.000000\\n-00:30", "2024-05-01T13:00:00"},
    };
    for (const Row &row : rows) {
        Outcome outcome;
        auto session = Host::start_session("dropbox", "ann", provider({{"creds", credential(row.text)}}), &outcome);
        ASSERT_NE(session, nullptr) << row.text << outcome.chain_text();
        struct tm tm {};
        strptime(row.utc, "%Y-%m-%dT%H:%M:%S", &tm);
        EXPECT_EQ(handle_of(*session)->access_token_exp, timegm(&tm)) << row.text;
    }
}

TEST_F(DropboxConfig, CredentialFailuresGiveExactReplies)
{
    {
        Outcome outcome;
        auto session = Host::start_session("dropbox", "ann", provider({}), &outcome);
        EXPECT_EQ(session, nullptr);
        EXPECT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.chain_text(), "Error loading user credential: wrong arguments\n");
    }
    {
        Outcome outcome;
        auto session = Host::start_session("dropbox", "ann", provider({{"creds", "{not json"}}), &outcome);
        EXPECT_EQ(session, nullptr);
        EXPECT_EQ(outcome.chain_text().rfind("Error loading user credential: ", 0), 0u) << outcome.chain_text();
    }
    {
        Outcome outcome;
        std::string no_home = "{\"access_token\": \"t\", \"token_expiry\": \"" + expiry_in(3600) +
                              "\", \"sub\": \"s\", \"root_info\": {\"root_namespace_id\": \"1\"}}";
        auto session = Host::start_session("dropbox", "ann", provider({{"creds", no_home}}), &outcome);
        EXPECT_EQ(session, nullptr);
        EXPECT_EQ(outcome.reply_code(), 500);
        EXPECT_EQ(outcome.error_code(), "INTERNAL_ERROR");
        EXPECT_EQ(outcome.message(),
                  "GridFTP-Error: Error unpacking credential: Object item not found: home_namespace_id\n");
    }
    for (const char *bad : {"2024-05-01T12:30:00Z", "2024-05-01T12:30:00+00:00", "2024-05-01T12:30:00.000000"}) {
        Outcome outcome;
        auto session = Host::start_session("dropbox", "ann", provider({{"creds", credential(bad)}}), &outcome);
        EXPECT_EQ(session, nullptr) << bad;
        EXPECT_EQ(outcome.chain_text(), std::string("Error parsing time string: ") + bad + "\n");
    }
}

TEST_F(DropboxConfig, TokenRenewedBelowOneHundredSecondsOfValidity)
{
    std::string fresh = credential(expiry_in(86400), "token-new");
    {
        // A few seconds above the limit, so that a slow run does not cross it.
        Outcome outcome;
        auto session = Host::start_session(
            "dropbox", "ann", provider({{"creds", credential(expiry_in(103))}, {"renew-creds", fresh}}), &outcome);
        ASSERT_NE(session, nullptr);
        EXPECT_TRUE(session->stat("/", true).ok());
        EXPECT_EQ(asked["renew-creds"], 0);
        EXPECT_STREQ(handle_of(*session)->access_token, "token-ann");
    }
    asked.clear();
    {
        Outcome outcome;
        auto session = Host::start_session(
            "dropbox", "ann", provider({{"creds", credential(expiry_in(99))}, {"renew-creds", fresh}}), &outcome);
        ASSERT_NE(session, nullptr);
        EXPECT_TRUE(session->stat("/", true).ok());
        EXPECT_EQ(asked["renew-creds"], 1);
        EXPECT_STREQ(handle_of(*session)->access_token, "token-new");
        EXPECT_TRUE(session->stat("/", true).ok());
        EXPECT_EQ(asked["renew-creds"], 1);
    }
    asked.clear();
    {
        // A failed renewal leaves no token: the next operation asks for
        // "creds" again.
        Outcome outcome;
        auto session =
            Host::start_session("dropbox", "ann", provider({{"creds", credential(expiry_in(-10))}}), &outcome);
        ASSERT_NE(session, nullptr);
        Outcome failed = session->stat("/", true);
        EXPECT_FALSE(failed.ok());
        EXPECT_EQ(asked["renew-creds"], 1);
        EXPECT_EQ(handle_of(*session)->access_token, nullptr);
        session->stat("/", true);
        EXPECT_EQ(asked["creds"], 2);
    }
}

TEST_F(DropboxConfig, ExceptionUnderASlotIsAnErrorAnswer)
{
    Outcome started;
    auto session = Host::start_session("dropbox", "ann", provider({{"creds", credential(expiry_in(3600))}}), &started);
    ASSERT_NE(session, nullptr);
    // The listing's first step locks the account's change counter.
    orvel_i_dropbox_syscalls.fcntl = [](int, int, struct flock *) -> int { throw std::bad_alloc(); };
    Outcome listed = session->stat("/", false);
    orvel_i_dropbox_syscalls.fcntl = orvel_i_dropbox_syscalls_default.fcntl;
    EXPECT_EQ(listed.finish_calls, 1);
    EXPECT_FALSE(listed.ok());
    EXPECT_NE(listed.chain_text().find("malloc"), std::string::npos) << listed.chain_text();
}

TEST_F(DropboxConfig, PolicyParsing)
{
    uint32_t rate = 20;
    orvel_result_t r = orvel_dropbox_config_parse_json(nullptr, &rate);
    ASSERT_NE(r, ORVEL_SUCCESS);
    EXPECT_STREQ(orvel_error_get_message(orvel_error_peek(r)),
                 "Error loading collection storage policy: wrong arguments\n");
    orvel_error_discard(r);
    EXPECT_EQ(orvel_dropbox_config_parse_json("{\"user_api_rate_limit\": 0}", &rate), ORVEL_SUCCESS);
    EXPECT_EQ(rate, 20u);
    EXPECT_EQ(orvel_dropbox_config_parse_json("{\"user_api_rate_limit\": -3}", &rate), ORVEL_SUCCESS);
    EXPECT_EQ(rate, 20u);
    r = orvel_dropbox_config_parse_json("[1]", &rate);
    ASSERT_NE(r, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(orvel_error_peek(r)), 500);
    EXPECT_EQ(std::string(orvel_gfs_error_get_ftp_response_message(orvel_error_peek(r)))
                  .rfind("GridFTP-Error: Error unpacking collection storage policy: ", 0),
              0u);
    orvel_error_discard(r);
    EXPECT_EQ(orvel_dropbox_config_parse_json("{\"user_api_rate_limit\": 5, \"other\": true}", &rate), ORVEL_SUCCESS);
    EXPECT_EQ(rate, 5u);
    // Beyond 32 bits: the largest rate, never a value cut to its low bits.
    EXPECT_EQ(orvel_dropbox_config_parse_json("{\"user_api_rate_limit\": 4294967301}", &rate), ORVEL_SUCCESS);
    EXPECT_EQ(rate, UINT32_MAX);
    r = orvel_dropbox_config_parse_json("{\"user_api_rate_limit\": 5.0}", &rate);
    EXPECT_NE(r, ORVEL_SUCCESS);
    EXPECT_EQ(rate, UINT32_MAX);
    orvel_error_discard(r);

    // The age after which cached metadata is confirmed, in seconds.
    EXPECT_EQ(orvel_dropbox_config_parse_json("{\"metadata_max_age\": 1.5}", &rate), ORVEL_SUCCESS);
    EXPECT_EQ(orvel_i_dropbox_metadata_max_age_ms, 1500);
    EXPECT_EQ(orvel_dropbox_config_parse_json("{\"metadata_max_age\": 0}", &rate), ORVEL_SUCCESS);
    EXPECT_EQ(orvel_i_dropbox_metadata_max_age_ms, 0);
    r = orvel_dropbox_config_parse_json("{\"metadata_max_age\": \"5\"}", &rate);
    EXPECT_NE(r, ORVEL_SUCCESS);
    orvel_error_discard(r);
    EXPECT_EQ(orvel_i_dropbox_metadata_max_age_ms, 0);
}

TEST_F(DropboxConfig, TransferSettings)
{
    uint32_t rate = 20;
    const int32_t streams = orvel_i_dropbox_transfer_streams;
    const uint64_t below = orvel_i_dropbox_single_stream_below;
    const uint64_t piece = orvel_i_dropbox_piece_size;
    EXPECT_EQ(orvel_dropbox_config_parse_json(
                  R"({"transfer_streams": 8, "single_stream_below_mib": 0.5, "piece_size_mib": 100})", &rate),
              ORVEL_SUCCESS);
    EXPECT_EQ(orvel_i_dropbox_transfer_streams, 8);
    EXPECT_EQ(orvel_i_dropbox_single_stream_below, 524288u);
    EXPECT_EQ(orvel_i_dropbox_piece_size, 104857600u);
    // Upload pieces are whole 4 MiB blocks that divide the 100 MiB part.
    for (const char *bad : {R"({"piece_size_mib": 8})", R"({"piece_size_mib": 3})", R"({"transfer_streams": 17})",
                            R"({"transfer_streams": "4"})", R"({"transfer_streams": 2, "piece_size_mib": 25})"}) {
        orvel_result_t r = orvel_dropbox_config_parse_json(bad, &rate);
        EXPECT_NE(r, ORVEL_SUCCESS) << bad;
        orvel_error_discard(r);
    }
    EXPECT_EQ(orvel_i_dropbox_transfer_streams, 8);
    EXPECT_EQ(orvel_i_dropbox_piece_size, 104857600u);
    orvel_i_dropbox_transfer_streams = streams;
    orvel_i_dropbox_single_stream_below = below;
    orvel_i_dropbox_piece_size = piece;
}
