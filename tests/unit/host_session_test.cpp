// Sessions and operations driven through a small storage interface written
// here: session start and teardown, what every host call records in the
// Outcome, data-channel callbacks on another thread, and plug-ins that finish
// twice or not at all.
#include "orvel_host.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using namespace orvel::host;

// ------------------------------------------------------ the test interface

struct FakeHandle {
    std::string username;
    std::string creds;
};

std::atomic<int> g_destroyed{0};

orvel_result_t reply_error(int code, const char *error_code, const char *message)
{
    return orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, code, error_code, "%s", message));
}

void fake_init(orvel_gfs_operation_t op, orvel_gfs_session_info_t *info)
{
    char *creds = nullptr;
    orvel_gridftp_server_get_config_data(op, "creds", &creds);
    if (creds == nullptr) {
        orvel_gridftp_server_finished_session_start(op, reply_error(500, "INTERNAL_ERROR", "GridFTP-Error: no creds"),
                                                    nullptr, nullptr, nullptr);
        return;
    }
    char *again = nullptr;
    orvel_gridftp_server_get_config_data(op, "creds", &again);
    // Both texts stay valid for the whole operation.
    if (strcmp(creds, again) != 0) {
        orvel_gridftp_server_finished_session_start(op, reply_error(500, "INTERNAL_ERROR", "texts moved"), nullptr,
                                                    nullptr, nullptr);
        return;
    }
    char *missing = reinterpret_cast<char *>(1);
    orvel_gridftp_server_get_config_data(op, "config", &missing);
    if (missing != nullptr) {
        orvel_gridftp_server_finished_session_start(op, reply_error(500, "INTERNAL_ERROR", "config present"), nullptr,
                                                    nullptr, nullptr);
        return;
    }
    auto *handle = new FakeHandle{info->username, creds};
    orvel_gridftp_server_set_checksum_support(op, "MD5:15;SHA1:15");
    orvel_gridftp_server_finished_session_start(op, ORVEL_SUCCESS, handle, nullptr, "/");
}

void fake_destroy(void *user_arg)
{
    delete static_cast<FakeHandle *>(user_arg);
    ++g_destroyed;
}

// Stat: "/list<N>" lists N entries plus "." in batches of 100; other paths
// are single records; "/double" finishes twice and "/none" not at all.
void fake_stat(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *info, void *)
{
    std::string path = info->pathname;
    if (path == "/none") {
        return;
    }
    orvel_gridftp_server_control_stat_t records[100];
    memset(records, 0, sizeof records);
    if (info->file_only || path.rfind("/list", 0) != 0) {
        records[0].name = strdup(path.c_str());
        records[0].mode = 0100644;
        records[0].size = 12345;
        records[0].mtime = 1700000000;
        records[0].ino = 7;
        orvel_gridftp_server_finished_stat(op, ORVEL_SUCCESS, records, 1);
        if (path == "/double") {
            orvel_gridftp_server_finished_stat(op, reply_error(550, "PATH_NOT_FOUND", "late"), records, 1);
        }
        free(records[0].name);
        return;
    }
    int total = std::stoi(path.substr(5));
    int count = 0;
    auto add = [&](const std::string &name, int mode) {
        records[count].name = strdup(name.c_str());
        records[count].mode = mode;
        records[count].size = count;
        ++count;
        if (count == 100) {
            orvel_gridftp_server_finished_stat_partial(op, ORVEL_SUCCESS, records, count);
            // The host copied the batch: names are released and the buffer reused.
            for (int i = 0; i < count; ++i) {
                memset(records[i].name, 'X', strlen(records[i].name));
                free(records[i].name);
            }
            memset(records, 0, sizeof records);
            count = 0;
        }
    };
    add(".", 040755);
    for (int i = 0; i < total; ++i) {
        add("entry" + std::to_string(i), 0100644);
    }
    orvel_gridftp_server_finished_stat(op, ORVEL_SUCCESS, records, count);
    for (int i = 0; i < count; ++i) {
        free(records[i].name);
    }
}

void fake_command(orvel_gfs_operation_t op, orvel_gfs_command_info_t *info, void *user_arg)
{
    auto *handle = static_cast<FakeHandle *>(user_arg);
    switch (info->command) {
    case ORVEL_GFS_CMD_MKD:
        orvel_gridftp_server_finished_command(op, ORVEL_SUCCESS, info->pathname);
        return;
    case ORVEL_GFS_CMD_CKSM: {
        int interval = -1;
        orvel_gridftp_server_get_update_interval(op, &interval);
        orvel_gridftp_server_intermediate_command(op, ORVEL_SUCCESS, std::to_string(interval).c_str());
        orvel_gridftp_server_intermediate_command(op, ORVEL_SUCCESS, info->cksm_alg);
        std::string reply =
            std::to_string(info->cksm_offset) + ":" + std::to_string(info->cksm_length) + ":" + handle->username;
        orvel_gridftp_server_finished_command(op, ORVEL_SUCCESS, reply.c_str());
        return;
    }
    case ORVEL_GFS_CMD_RNTO: {
        std::string reply = std::string(info->from_pathname ? info->from_pathname : "(null)") + ">" + info->pathname;
        orvel_gridftp_server_finished_command(op, ORVEL_SUCCESS, reply.c_str());
        return;
    }
    case ORVEL_GFS_CMD_RMD:
        orvel_gridftp_server_finished_command(op, reply_error(550, "PATH_NOT_FOUND", "GridFTP-Path: \"/gone\""),
                                              nullptr);
        return;
    default:
        orvel_gridftp_server_finished_command(op, reply_error(500, "NOT_IMPLEMETED", ""), nullptr);
        orvel_gridftp_server_finished_command(op, ORVEL_SUCCESS, "second");
        return;
    }
}

// Waits for one data-channel callback at a time.
struct Monitor {
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    int calls = 0;
    orvel_result_t result = ORVEL_SUCCESS;
    size_t nbytes = 0;
    orvel_off_t offset = 0;
    bool eof = false;
    std::thread::id thread;
    std::thread::id caller = std::this_thread::get_id();
    bool other_thread = true;

    void wait()
    {
        std::unique_lock lock(mutex);
        cond.wait(lock, [this] { return done; });
        done = false;
    }
};

void read_cb(orvel_gfs_operation_t, orvel_result_t result, orvel_byte_t *, size_t nbytes, orvel_off_t offset, bool eof,
             void *arg)
{
    auto *m = static_cast<Monitor *>(arg);
    std::lock_guard lock(m->mutex);
    ++m->calls;
    m->result = result;
    m->nbytes = nbytes;
    m->offset = offset;
    m->eof = eof;
    m->other_thread = m->other_thread && std::this_thread::get_id() != m->caller;
    m->done = true;
    m->cond.notify_one();
}

void write_cb(orvel_gfs_operation_t, orvel_result_t result, orvel_byte_t *, size_t nbytes, void *arg)
{
    auto *m = static_cast<Monitor *>(arg);
    std::lock_guard lock(m->mutex);
    ++m->calls;
    m->result = result;
    m->nbytes = nbytes;
    m->other_thread = m->other_thread && std::this_thread::get_id() != m->caller;
    m->done = true;
    m->cond.notify_one();
}

// Retrieve: every range is answered with the letters of the alphabet at
// their file offsets, written in pieces of 4 bytes.
void fake_send(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info, void *)
{
    std::string path = info->pathname;
    if (path == "/early") { // writes before opening the channel
        Monitor m;
        orvel_byte_t byte = 'x';
        orvel_result_t rc = orvel_gridftp_server_register_write(op, &byte, 1, 0, 0, write_cb, &m);
        orvel_gridftp_server_finished_transfer(op, rc);
        return;
    }
    orvel_gridftp_server_begin_transfer(op, 0, nullptr);
    Monitor m;
    orvel_result_t result = ORVEL_SUCCESS;
    int writes = 0;
    for (;;) {
        orvel_off_t offset = -5, length = -5;
        orvel_gridftp_server_get_read_range(op, &offset, &length);
        if (length == 0) {
            break;
        }
        orvel_off_t end = length < 0 ? 26 : offset + length;
        for (orvel_off_t at = offset; at < end && result == ORVEL_SUCCESS; at += 4) {
            orvel_byte_t piece[4];
            size_t n = static_cast<size_t>(std::min<orvel_off_t>(4, end - at));
            for (size_t i = 0; i < n; ++i) {
                piece[i] = static_cast<orvel_byte_t>('a' + (at + i) % 26);
            }
            result = orvel_gridftp_server_register_write(op, piece, n, at, 0, write_cb, &m);
            if (result == ORVEL_SUCCESS) {
                m.wait();
                ++writes;
                result = m.result;
            }
        }
        if (length < 0 || result != ORVEL_SUCCESS) {
            break;
        }
    }
    if (result == ORVEL_SUCCESS && (m.calls != writes || !m.other_thread)) {
        result = reply_error(500, "INTERNAL_ERROR", "write callbacks went wrong");
    }
    orvel_gridftp_server_finished_transfer(op, result);
}

// Store: reads the stream in pieces of 7 bytes until the end, checks the
// running offsets and answers with the bytes as a command-less transfer.
std::string g_received;
void fake_recv(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info, void *)
{
    std::string path = info->pathname;
    orvel_off_t wr_offset = -5, wr_length = -5;
    orvel_gridftp_server_get_write_range(op, &wr_offset, &wr_length);
    time_t modtime = 0;
    orvel_result_t mt = orvel_gridftp_server_get_recv_modification_time(op, &modtime);
    if (path == "/modtime") {
        orvel_gridftp_server_finished_transfer(
            op, mt != ORVEL_SUCCESS ? mt : reply_error(299, "MODTIME", std::to_string(modtime).c_str()));
        return;
    }
    orvel_error_discard(mt);
    if (path != "/closed") {
        orvel_gridftp_server_begin_transfer(op, 0, nullptr);
    }
    Monitor m;
    orvel_byte_t buffer[7];
    orvel_off_t expected_offset = wr_offset;
    g_received.clear();
    orvel_result_t result = ORVEL_SUCCESS;
    int registered = 0;
    for (;;) {
        result = orvel_gridftp_server_register_read(op, buffer, sizeof buffer, read_cb, &m);
        if (result != ORVEL_SUCCESS) {
            break;
        }
        ++registered;
        m.wait();
        if (m.result != ORVEL_SUCCESS) {
            result = m.result;
            break;
        }
        if (m.offset != expected_offset) {
            result = reply_error(500, "INTERNAL_ERROR", "wrong offset");
            break;
        }
        g_received.append(reinterpret_cast<char *>(buffer), m.nbytes);
        expected_offset += static_cast<orvel_off_t>(m.nbytes);
        if (m.eof) {
            break;
        }
    }
    if (result == ORVEL_SUCCESS && (m.calls != registered || !m.other_thread)) {
        result = reply_error(500, "INTERNAL_ERROR", "read callbacks went wrong");
    }
    orvel_gridftp_server_finished_transfer(op, result);
}

orvel_gfs_storage_iface_t g_iface = {ORVEL_GFS_DSI_DESCRIPTOR_SENDER | ORVEL_GFS_DSI_DESCRIPTOR_BLOCKING,
                                     fake_init,
                                     fake_destroy,
                                     nullptr,
                                     fake_send,
                                     fake_recv,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     nullptr,
                                     fake_command,
                                     fake_stat,
                                     nullptr,
                                     nullptr,
                                     nullptr};

orvel_gfs_storage_iface_t g_empty_iface = {0,       fake_init, fake_destroy, nullptr, nullptr,
                                           nullptr, nullptr,   nullptr,      nullptr, nullptr,
                                           nullptr, nullptr,   nullptr,      nullptr, nullptr};

class SessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Host::activate_module(&orvel_i_common_module);
        orvel_extension_registry_add(&orvel_i_gfs_dsi_registry, "host-test", nullptr, &g_iface);
    }
    static void TearDownTestSuite() { orvel_extension_registry_remove(&orvel_i_gfs_dsi_registry, "host-test"); }
    void SetUp() override
    {
        held_before_ = orvel_error_held_count();
        Outcome start;
        session_ = Host::start_session("host-test", "alice", fixed_config({{"creds", "{\"token\": 1}"}}), &start);
        ASSERT_TRUE(start.ok()) << start.chain_text();
        ASSERT_NE(session_, nullptr);
    }
    void TearDown() override
    {
        session_.reset();
        // Every error the host took from the runtime is owned by an Outcome.
        EXPECT_EQ(orvel_error_held_count(), held_before_);
    }
    std::unique_ptr<Session> session_;
    size_t held_before_ = 0;
};

TEST_F(SessionTest, StartRecordsHandleHomeAndChecksumsAndDestroyReleases)
{
    EXPECT_EQ(session_->home_dir(), "/");
    EXPECT_EQ(session_->checksum_support(), "MD5:15;SHA1:15");
    auto *handle = static_cast<FakeHandle *>(session_->session_arg());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->username, "alice");
    EXPECT_EQ(handle->creds, "{\"token\": 1}");
    EXPECT_EQ(Host::find_dsi("host-test"), &g_iface);
    EXPECT_EQ(Host::find_dsi("nope"), nullptr);
    int before = g_destroyed;
    session_.reset();
    EXPECT_EQ(g_destroyed, before + 1);
}

TEST_F(SessionTest, FailedOrUnknownStartsGiveNoSession)
{
    Outcome outcome;
    int destroyed = g_destroyed;
    auto session = Host::start_session("host-test", "bob", fixed_config({}), &outcome);
    EXPECT_EQ(session, nullptr);
    EXPECT_TRUE(outcome.finished);
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_EQ(outcome.reply_code(), 500);
    EXPECT_EQ(outcome.message(), "GridFTP-Error: no creds");
    EXPECT_EQ(g_destroyed, destroyed); // no handle, no teardown

    session = Host::start_session("missing-dsi", "bob", fixed_config({}), &outcome);
    EXPECT_EQ(session, nullptr);
    EXPECT_FALSE(outcome.ok());
    EXPECT_NE(outcome.message().find("missing-dsi"), std::string::npos);
}

TEST_F(SessionTest, SingleStatIsCopied)
{
    Outcome out = session_->stat("/a/b.txt", true);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.finish_calls, 1);
    ASSERT_EQ(out.stat_batches.size(), 1u);
    ASSERT_EQ(out.stat_batches[0].size(), 1u);
    const StatEntry &entry = out.stat_batches[0][0];
    EXPECT_EQ(entry.name, "/a/b.txt");
    EXPECT_EQ(entry.mode, 0100644);
    EXPECT_EQ(entry.size, 12345);
    EXPECT_EQ(entry.mtime, 1700000000);
    EXPECT_EQ(entry.ino, 7);
    EXPECT_EQ(out.ftp_reply(), "");
    EXPECT_EQ(out.chain_text(), "");
}

TEST_F(SessionTest, ListingBatchesAreCopiedAndReportedThroughTheHook)
{
    std::vector<size_t> hook_sizes;
    std::vector<std::string> hook_first_names;
    Hooks hooks;
    hooks.on_stat_batch = [&](const std::vector<StatEntry> &batch) {
        hook_sizes.push_back(batch.size());
        hook_first_names.push_back(batch.front().name);
    };
    Outcome out = session_->stat("/list250", false, hooks);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.finish_calls, 1);
    // With a hook the partial batches go only to the hook; the outcome keeps the final one.
    EXPECT_EQ((hook_sizes), (std::vector<size_t>{100, 100}));
    EXPECT_EQ((hook_first_names), (std::vector<std::string>{".", "entry99"}));
    ASSERT_EQ(out.stat_batches.size(), 1u);
    EXPECT_EQ(out.stat_batches[0].size(), 51u);

    // Without a hook the outcome keeps every batch.
    out = session_->stat("/list250", false);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out.stat_batches.size(), 3u);
    EXPECT_EQ(out.stat_batches[0].size(), 100u);
    EXPECT_EQ(out.stat_batches[1].size(), 100u);
    EXPECT_EQ(out.stat_batches[2].size(), 51u);
    auto all = out.all_stats();
    ASSERT_EQ(all.size(), 251u);
    EXPECT_EQ(all[0].name, ".");
    EXPECT_EQ(all[0].mode, 040755);
    for (int i = 0; i < 250; ++i) {
        ASSERT_EQ(all[i + 1].name, "entry" + std::to_string(i)); // intact after the plug-in freed them
    }

    // 99 children: one full batch, then a final reply with no records.
    out = session_->stat("/list99", false);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out.stat_batches.size(), 2u);
    EXPECT_EQ(out.stat_batches[0].size(), 100u);
    EXPECT_TRUE(out.stat_batches[1].empty());
}

TEST_F(SessionTest, SecondFinishIsCountedAndTheFirstStands)
{
    Outcome out = session_->stat("/double", true);
    EXPECT_TRUE(out.ok());
    EXPECT_EQ(out.finish_calls, 2);
    EXPECT_EQ(out.stat_batches.size(), 1u);

    CommandRequest request;
    request.command = ORVEL_GFS_CMD_SITE_CHMOD;
    out = session_->command(request);
    EXPECT_EQ(out.finish_calls, 2);
    EXPECT_EQ(out.error_code(), "NOT_IMPLEMETED");
    EXPECT_TRUE(out.reply_text_null);
}

TEST_F(SessionTest, ReturningWithoutFinishingIsRecordedNotAwaited)
{
    Outcome out = session_->stat("/none", true);
    EXPECT_FALSE(out.finished);
    EXPECT_EQ(out.finish_calls, 0);
    EXPECT_FALSE(out.ok());
    EXPECT_EQ(out.error_code(), "OPERATION_NOT_FINISHED");
    EXPECT_EQ(out.ftp_reply().substr(0, 4), "451-");
}

TEST_F(SessionTest, CommandsRecordReplyTextsProgressAndErrors)
{
    CommandRequest mkd;
    mkd.command = ORVEL_GFS_CMD_MKD;
    mkd.pathname = "/newdir";
    Outcome out = session_->command(mkd);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.reply_text, "/newdir");
    EXPECT_FALSE(out.reply_text_null);

    CommandRequest cksm;
    cksm.command = ORVEL_GFS_CMD_CKSM;
    cksm.pathname = "/f";
    cksm.cksm_alg = "Dropbox";
    cksm.cksm_offset = 10;
    cksm.cksm_length = -1;
    cksm.update_interval = 5;
    std::vector<std::string> progress;
    Hooks hooks;
    hooks.on_intermediate = [&](const std::string &text) { progress.push_back(text); };
    out = session_->command(cksm, hooks);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.reply_text, "10:-1:alice");
    EXPECT_EQ((out.intermediate), (std::vector<std::string>{"5", "Dropbox"}));
    EXPECT_EQ(progress, out.intermediate);

    CommandRequest rnto;
    rnto.command = ORVEL_GFS_CMD_RNTO;
    rnto.from_pathname = "/old";
    rnto.pathname = "/new";
    EXPECT_EQ(session_->command(rnto).reply_text, "/old>/new");

    CommandRequest rmd;
    rmd.command = ORVEL_GFS_CMD_RMD;
    rmd.pathname = "/gone";
    out = session_->command(rmd);
    EXPECT_TRUE(out.finished);
    EXPECT_FALSE(out.ok());
    EXPECT_EQ(out.reply_code(), 550);
    EXPECT_EQ(out.error_code(), "PATH_NOT_FOUND");
    EXPECT_EQ(out.message(), "GridFTP-Path: \"/gone\"");
    EXPECT_EQ(out.chain_text(), "550 PATH_NOT_FOUND: GridFTP-Path: \"/gone\"");
    EXPECT_EQ(out.ftp_reply(), "550-Error: PATH_NOT_FOUND\r\n550-GridFTP-Path: \"/gone\"\r\n550 End.\r\n");
}

TEST_F(SessionTest, SendWritesEveryRangeAtItsOffsetFromAnotherThread)
{
    auto channel = std::make_shared<MemoryChannel>();
    TransferRequest request;
    request.pathname = "/f";
    request.channel = channel;
    request.read_ranges = {{0, 10}, {20, 6}};
    int begun = 0;
    Hooks hooks;
    hooks.on_begin_transfer = [&] { ++begun; };
    Outcome out = session_->send(request, hooks);
    ASSERT_TRUE(out.ok()) << out.chain_text();
    EXPECT_TRUE(out.transfer_begun);
    EXPECT_EQ(begun, 1);
    EXPECT_EQ(channel->written(), std::string("abcdefghij") + std::string(10, '\0') + "uvwxyz");
    auto log = channel->write_log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3], (std::pair<int64_t, size_t>{20, 4}));

    // Default: one range to the end.
    auto whole = std::make_shared<MemoryChannel>();
    request.channel = whole;
    request.read_ranges.clear();
    out = session_->send(request);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(whole->written(), "abcdefghijklmnopqrstuvwxyz");
}

TEST_F(SessionTest, DataChannelCallsNeedAnOpenChannel)
{
    TransferRequest request;
    request.pathname = "/early";
    request.channel = std::make_shared<MemoryChannel>();
    Outcome out = session_->send(request);
    EXPECT_FALSE(out.ok());
    EXPECT_EQ(out.reply_code(), 425);
    EXPECT_FALSE(out.transfer_begun);

    // A transfer without a channel.
    request.pathname = "/f";
    request.channel = nullptr;
    out = session_->send(request);
    EXPECT_EQ(out.reply_code(), 425);

    // A store that reads before begin_transfer.
    request.pathname = "/closed";
    request.channel = std::make_shared<MemoryChannel>("data");
    out = session_->recv(request);
    EXPECT_EQ(out.reply_code(), 425);
}

TEST_F(SessionTest, RecvReadsTheStreamWithRunningOffsetsAndOneCallbackPerRead)
{
    std::string data;
    for (int i = 0; i < 1000; ++i) {
        data += static_cast<char>('A' + i % 23);
    }
    auto channel = std::make_shared<MemoryChannel>(data);
    TransferRequest request;
    request.pathname = "/up";
    request.channel = channel;
    request.alloc_size = static_cast<int64_t>(data.size());
    Outcome out = session_->recv(request);
    ASSERT_TRUE(out.ok()) << out.chain_text();
    EXPECT_TRUE(out.transfer_begun);
    EXPECT_EQ(g_received, data);
    EXPECT_EQ(channel->bytes_read(), data.size());

    // A restart: offsets run from the write range's start.
    request.write_range = {5000, -1};
    request.channel = std::make_shared<MemoryChannel>("restart");
    out = session_->recv(request);
    ASSERT_TRUE(out.ok()) << out.chain_text();
    EXPECT_EQ(g_received, "restart");

    // A failing read reaches the plug-in through its callback.
    auto failing = std::make_shared<MemoryChannel>(data);
    failing->fail_read_at(3);
    request.channel = failing;
    request.write_range = {0, -1};
    out = session_->recv(request);
    EXPECT_EQ(out.reply_code(), 426);
    EXPECT_EQ(g_received.size(), 14u);
}

TEST_F(SessionTest, ModificationTimeIsHandedOutOrFails)
{
    TransferRequest request;
    request.pathname = "/modtime";
    request.channel = std::make_shared<MemoryChannel>();
    request.modification_time = 1234567890;
    Outcome out = session_->recv(request);
    EXPECT_EQ(out.error_code(), "MODTIME");
    EXPECT_EQ(out.message(), "1234567890");

    request.modification_time = -1;
    EXPECT_EQ(session_->recv(request).message(), "-1");

    request.modification_time = std::nullopt;
    out = session_->recv(request);
    EXPECT_EQ(out.reply_code(), 500);
    EXPECT_NE(out.error_code(), "MODTIME");
}

TEST(SessionEmptyTest, MissingSlotsAreAnsweredByTheHost)
{
    Host::activate_module(&orvel_i_common_module);
    orvel_extension_registry_add(&orvel_i_gfs_dsi_registry, "host-test-empty2", nullptr, &g_empty_iface);
    Outcome start;
    auto session = Host::start_session("host-test-empty2", "carol", fixed_config({{"creds", "x"}}), &start);
    ASSERT_NE(session, nullptr);
    Outcome out = session->stat("/", true);
    EXPECT_FALSE(out.finished);
    EXPECT_EQ(out.reply_code(), 502);
    CommandRequest request;
    EXPECT_EQ(session->command(request).reply_code(), 502);
    TransferRequest transfer;
    EXPECT_EQ(session->send(transfer).reply_code(), 502);
    EXPECT_EQ(session->recv(transfer).reply_code(), 502);
    session.reset();
    orvel_extension_registry_remove(&orvel_i_gfs_dsi_registry, "host-test-empty2");
}

} // namespace
