// The request procedure against the emulator: common headers on both hosts,
// attempts and waits after "Retry-After", statuses that are not repeated,
// error bodies of calls without a JSON sink, and upload budgets that never
// touch the shared pacing state.
#include "../unit/dropbox_core_support.hpp"
#include "dropbox_session_fixture.hpp"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <atomic>
#include <string>

using orvel::core_test::LogCapture;
using orvel::core_test::SeamGuard;
using namespace orvel::test;

namespace {

// Lock calls on the pacing file of the session under test.
std::atomic<int> lock_calls{0};
int pacing_fd = -1;
int counting_fcntl(int fd, int cmd, struct flock *lock)
{
    if (fd == pacing_fd)
        lock_calls++;
    return orvel_i_dropbox_syscalls_default.fcntl(fd, cmd, lock);
}

// A reply sink of the test's own: collects the body.
orvel_result_t collect(void *arg, const void *buffer, size_t length)
{
    static_cast<std::string *>(arg)->append(static_cast<const char *>(buffer), length);
    return ORVEL_SUCCESS;
}

double seconds_of(json_t *entry)
{
    return json_real_value(json_object_get(entry, "start"));
}

class DropboxRequest : public DropboxSession {
protected:
    void SetUp() override
    {
        DropboxSession::SetUp();
        start();
        handle_ = static_cast<orvel_dropbox_handle_t *>(session_->session_arg());
    }
    json_t *path_args(const char *path) { return json_pack("{s:s}", "path", path); }
    json_t *list_args()
    {
        return json_pack("{s:s, s:i, s:b}", "path", "", "limit", 1000, "include_non_downloadable_files", 0);
    }

    // The start times of the requests to `endpoint`, in order.
    std::vector<double> starts(const char *endpoint)
    {
        std::vector<double> out;
        for (json_t *e : emu_->log_entries(endpoint)) {
            out.push_back(seconds_of(e));
            json_decref(e);
        }
        return out;
    }

    SeamGuard guard_;
    orvel_dropbox_handle_t *handle_ = nullptr;
};

struct Taken {
    explicit Taken(orvel_result_t r) : result(r), error(orvel_error_get(r), orvel_object_free) {}
    orvel_result_t result;
    std::unique_ptr<orvel_object_t, decltype(&orvel_object_free)> error;
    int code() const { return error ? orvel_gfs_error_get_ftp_response_code(error.get()) : 0; }
    std::string error_code() const
    {
        const char *c = error ? orvel_gfs_error_get_ftp_response_error_code(error.get()) : nullptr;
        return c ? c : "";
    }
};

} // namespace

TEST_F(DropboxRequest, CommonHeadersOnApiAndContentCalls)
{
    emu_->put_file("/a.txt", "hello world");
    json_t *args = path_args("/a.txt");
    std::string body;
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_download;
    call.args = args;
    call.range = "bytes=6-10";
    call.reply_sink = collect;
    call.reply_sink_arg = &body;
    orvel_dsi_rest_response_arg_t response{};
    ASSERT_EQ(orvel_dropbox_api_call(handle_, &call, nullptr, &response), ORVEL_SUCCESS);
    EXPECT_EQ(body, "world");
    EXPECT_EQ(response.response_code, 206);
    ASSERT_EQ(response.desired_headers.count, 3u);
    EXPECT_STREQ(response.desired_headers.key_value[0].key, "Retry-After");
    EXPECT_EQ(response.desired_headers.key_value[0].value, nullptr);
    EXPECT_STREQ(response.desired_headers.key_value[1].key, "Dropbox-API-Result");
    EXPECT_NE(response.desired_headers.key_value[1].value, nullptr); // readable until cleared
    EXPECT_STREQ(response.desired_headers.key_value[2].key, "Content-Range");
    EXPECT_STREQ(response.desired_headers.key_value[2].value, "bytes 6-10/11");
    orvel_dsi_rest_response_arg_clear(&response);
    json_decref(args);

    EXPECT_EQ(header(kDownload, "Dropbox-API-Path-Root"), "{\".tag\": \"root\", \"root\": \"1000\"}");
    EXPECT_EQ(header(kDownload, "Dropbox-API-Arg"), "{\"path\": \"/a.txt\"}");
    EXPECT_EQ(header(kDownload, "Range"), "bytes=6-10");
    EXPECT_NE(header(kDownload, "Authorization"), "<none>");

    json_t *list = list_args();
    json_t *reply = nullptr;
    call = {};
    call.endpoint = &orvel_i_dropbox_ep_list_folder;
    call.args = list;
    ASSERT_EQ(orvel_dropbox_api_call(handle_, &call, &reply, nullptr), ORVEL_SUCCESS);
    ASSERT_NE(reply, nullptr);
    EXPECT_TRUE(json_is_array(json_object_get(reply, "entries")));
    json_decref(reply);
    json_decref(list);
    EXPECT_EQ(header(kListFolder, "Dropbox-API-Path-Root"), "{\".tag\": \"root\", \"root\": \"1000\"}");
    EXPECT_EQ(header(kListFolder, "Dropbox-API-Arg"), "<none>");
    EXPECT_EQ(arg(kListFolder), "{\"include_non_downloadable_files\":false,\"limit\":1000,\"path\":\"\"}");
}

TEST_F(DropboxRequest, CredentialTextsThatWouldSplitAHeaderAreNeverSent)
{
    json_t *list = list_args();
    for (char **field : {&handle_->access_token, &handle_->root_namespace_id}) {
        char *saved = *field;
        std::string bad = std::string(saved) + "\r\nX-Injected: 1";
        *field = bad.data();
        json_t *reply = nullptr;
        orvel_dropbox_api_call_t call{};
        call.endpoint = &orvel_i_dropbox_ep_list_folder;
        call.args = list;
        Taken t(orvel_dropbox_api_call(handle_, &call, &reply, nullptr));
        *field = saved;
        EXPECT_EQ(t.code(), 500);
        EXPECT_EQ(t.error_code(), "INTERNAL_ERROR");
        EXPECT_EQ(reply, nullptr);
    }
    json_decref(list);
    EXPECT_EQ(count(kListFolder), 0u);
}

TEST_F(DropboxRequest, MissingDownloadIsNotFoundFromTheErrorBody)
{
    json_t *args = path_args("/missing.txt");
    std::string body;
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_download;
    call.args = args;
    call.reply_sink = collect;
    call.reply_sink_arg = &body;
    Taken t(orvel_dropbox_api_call(handle_, &call, nullptr, nullptr));
    json_decref(args);
    ASSERT_NE(t.result, ORVEL_SUCCESS);
    EXPECT_EQ(t.code(), 550);
    EXPECT_EQ(t.error_code(), "PATH_NOT_FOUND");
    ASSERT_NE(orvel_dropbox_error_get_info(t.error.get(), "error_summary"), nullptr);
    EXPECT_EQ(count(kDownload), 1u);
    EXPECT_EQ(body, "");

    // An unlisted client error without a JSON body is a failure too.
    emu_->put_file("/a.txt", "abc");
    emu_->add_fault(R"({"path": "/2/files/download", "action": "status", "status": 416})");
    args = path_args("/a.txt");
    call.args = args;
    Taken range(orvel_dropbox_api_call(handle_, &call, nullptr, nullptr));
    json_decref(args);
    EXPECT_EQ(range.code(), 554);
    EXPECT_EQ(range.error_code(), "INVALID_RANGE");
    EXPECT_EQ(body, "");
}

TEST_F(DropboxRequest, ReplyBodiesThatAreNotJsonAreJudgedByStatus)
{
    json_t *list = list_args();
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_list_folder;
    call.args = list;

    // A success whose body is not JSON fails and says so.
    emu_->add_fault(R"({"path": "/2/files/list_folder", "action": "status", "status": 200, "body": "plain"})");
    json_t *reply = reinterpret_cast<json_t *>(0x1);
    Taken plain(orvel_dropbox_api_call(handle_, &call, &reply, nullptr));
    EXPECT_NE(plain.result, ORVEL_SUCCESS);
    char *text = orvel_error_print_chain(plain.error.get());
    EXPECT_NE(strstr(text, "is not valid JSON (5 bytes)"), nullptr) << text;
    free(text);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(count(kListFolder), 1u);

    // An error reply whose body is text: the status row decides. A 409
    // without a summary says nothing about what went wrong.
    emu_->clear_faults();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "action": "status", "status": 409, "body": "conflict"})");
    Taken conflict(orvel_dropbox_api_call(handle_, &call, &reply, nullptr));
    EXPECT_EQ(conflict.code(), 500);
    EXPECT_EQ(conflict.error_code(), "INTERNAL_ERROR");
    EXPECT_EQ(reply, nullptr);
    json_decref(list);

    // The same for a call with its own sink; the text never reaches the sink.
    emu_->put_file("/a.txt", "abc");
    emu_->add_fault(R"({"path": "/2/files/download", "action": "status", "status": 503, "body": "busy"})");
    json_t *args = path_args("/a.txt");
    std::string body;
    call = {};
    call.endpoint = &orvel_i_dropbox_ep_download;
    call.args = args;
    call.reply_sink = collect;
    call.reply_sink_arg = &body;
    Taken busy(orvel_dropbox_api_call(handle_, &call, nullptr, nullptr));
    json_decref(args);
    EXPECT_EQ(busy.code(), 500);
    EXPECT_EQ(busy.error_code(), "INTERNAL_ERROR");
    EXPECT_EQ(body, "");
    EXPECT_EQ(count(kDownload), 1u);
}

TEST_F(DropboxRequest, RetryAfterIsWaitedOutThenRepeated)
{
    orvel_i_dropbox_max_delay = 1; // the cap, lowered from 25 seconds
    LogCapture log(ORVEL_DROPBOX_DEBUG);
    emu_->add_fault(R"({"path": "/2/files/list_folder", "action": "status", "status": 429,
        "headers": {"Retry-After": "100"},
        "body": {"error_summary": "too_many_requests/..", "error": {"reason": {".tag": "too_many_requests"}}}})");
    json_t *list = list_args();
    json_t *reply = nullptr;
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_list_folder;
    call.args = list;
    ASSERT_EQ(orvel_dropbox_api_call(handle_, &call, &reply, nullptr), ORVEL_SUCCESS);
    ASSERT_NE(reply, nullptr);
    EXPECT_NE(json_object_get(reply, "entries"), nullptr);
    json_decref(reply);
    std::vector<double> s = starts(kListFolder);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_GE(s[1] - s[0], 0.99);
    EXPECT_EQ(log.count("API CALL!\n"), 2u);
    EXPECT_EQ(log.count("retry_after=100 sleep=1\n"), 1u) << log.text();

    // Two 429 replies use up the budget of 2: the translated error.
    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "action": "status", "status": 429, "count": 2,
        "headers": {"Retry-After": "1"}, "body": {"error_summary": "too_many_requests/.."}})");
    Taken t(orvel_dropbox_api_call(handle_, &call, &reply, nullptr));
    ASSERT_NE(t.result, ORVEL_SUCCESS);
    EXPECT_STREQ(orvel_dropbox_error_get_info(t.error.get(), "error_summary"), "too_many_requests/..");
    json_decref(reply); // the error reply of the last attempt
    EXPECT_EQ(count(kListFolder), 2u);
    json_decref(list);
}

TEST_F(DropboxRequest, ServerErrorsWithoutRetryAfterAreNotRepeated)
{
    emu_->add_fault(R"({"path": "/2/files/list_folder", "action": "status", "status": 503, "count": 2})");
    json_t *list = list_args();
    json_t *reply = nullptr;
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_list_folder;
    call.args = list;
    Taken t(orvel_dropbox_api_call(handle_, &call, &reply, nullptr));
    EXPECT_EQ(t.code(), 500);
    EXPECT_EQ(t.error_code(), "INTERNAL_ERROR");
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(count(kListFolder), 1u);

    // 429 without a body and without "Retry-After" is repeated at once.
    emu_->clear_faults();
    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "action": "status", "status": 429})");
    EXPECT_EQ(orvel_dropbox_api_call(handle_, &call, &reply, nullptr), ORVEL_SUCCESS);
    json_decref(reply);
    EXPECT_EQ(count(kListFolder), 2u);
    json_decref(list);
}

TEST_F(DropboxRequest, UploadBudgetFailsThreeTimesWithoutTouchingTheRetryFile)
{
    LogCapture log(ORVEL_DROPBOX_DEBUG);
    lock_calls = 0;
    pacing_fd = handle_->retry_state.fd;
    ASSERT_GE(pacing_fd, 0);
    orvel_i_dropbox_syscalls.fcntl = counting_fcntl;
    orvel_abstime_t last = handle_->retry_state.shared->last;
    // Nothing listens there: every exchange fails before a byte is sent.
    orvel_i_dropbox_content_host = "https://127.0.0.1:1";
    json_t *args = json_pack("{s:s, s:s}", "path", "/u.bin", "mode", "overwrite");
    orvel_dsi_rest_write_block_arg_t block = {"abc", 3};
    json_t *reply = nullptr;
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_upload;
    call.args = args;
    call.body_source = orvel_dsi_rest_write_block;
    call.body_source_arg = &block;
    orvel_result_t result = orvel_dropbox_api_call(handle_, &call, &reply, nullptr);
    json_decref(args);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_TRUE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(log.count("API CALL!\n"), 3u);
    EXPECT_EQ(lock_calls.load(), 0);
    EXPECT_EQ(handle_->retry_state.shared->last.tv_sec, last.tv_sec);
    EXPECT_EQ(handle_->retry_state.shared->last.tv_nsec, last.tv_nsec);

    // A paced call of the same budget takes the lock before every attempt.
    args = json_pack("{s:b}", "close", 0);
    call = {};
    call.endpoint = &orvel_i_dropbox_ep_upload_session_start;
    call.args = args;
    result = orvel_dropbox_api_call(handle_, &call, &reply, nullptr);
    json_decref(args);
    EXPECT_NE(result, ORVEL_SUCCESS);
    orvel_error_discard(result);
    EXPECT_EQ(log.count("API CALL!\n"), 6u);
    EXPECT_EQ(lock_calls.load(), 6); // lock and unlock, three times
}

TEST_F(DropboxRequest, BeforeRetryRunsBeforeEveryRepeatedAttempt)
{
    emu_->put_file("/a.txt", "0123456789");
    emu_->add_fault(R"({"path": "/2/files/download", "action": "status", "status": 429})");
    struct State {
        int calls = 0;
        std::string body;
    } state;
    json_t *args = path_args("/a.txt");
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_download;
    call.args = args;
    call.range = "bytes=0-3";
    call.reply_sink = collect;
    call.reply_sink_arg = &state.body;
    call.before_retry = [](orvel_dropbox_api_call_t *c, void *arg) -> orvel_result_t {
        auto *s = static_cast<State *>(arg);
        s->calls++;
        c->range = "bytes=4-5";
        return ORVEL_SUCCESS;
    };
    call.before_retry_arg = &state;
    ASSERT_EQ(orvel_dropbox_api_call(handle_, &call, nullptr, nullptr), ORVEL_SUCCESS);
    json_decref(args);
    EXPECT_EQ(state.calls, 1);
    EXPECT_EQ(state.body, "45");
    EXPECT_EQ(header(kDownload, "Range", 1), "bytes=4-5");
}

TEST_F(DropboxRequest, UnpacedCallsStillWaitOutRetryAfter)
{
    orvel_i_dropbox_max_delay = 1;
    lock_calls = 0;
    pacing_fd = handle_->retry_state.fd;
    ASSERT_GE(pacing_fd, 0);
    orvel_i_dropbox_syscalls.fcntl = counting_fcntl;
    emu_->add_fault(R"({"path": "/2/files/upload", "action": "status", "status": 429,
        "headers": {"Retry-After": "30"}, "body": {"error_summary": "too_many_write_operations/.."}})");
    json_t *args = json_pack("{s:s, s:s}", "path", "/w.txt", "mode", "overwrite");
    orvel_dsi_rest_write_block_arg_t block = {"abc", 3};
    json_t *reply = nullptr;
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_upload;
    call.args = args;
    call.body_source = orvel_dsi_rest_write_block;
    call.body_source_arg = &block;
    ASSERT_EQ(orvel_dropbox_api_call(handle_, &call, &reply, nullptr), ORVEL_SUCCESS);
    json_decref(args);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(json_string_value(json_object_get(reply, "name")), "w.txt");
    json_decref(reply);
    std::vector<double> s = starts("/2/files/upload");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_GE(s[1] - s[0], 0.99);
    EXPECT_EQ(lock_calls.load(), 0);
    EXPECT_EQ(emu_->read_file("/w.txt"), "abc");
}
