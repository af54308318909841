// The debug log: line prefixes, level names, timestamps, thread ids, the
// level filter and the error exit line; module activation.
#include "dropbox_core_support.hpp"
#include "orvel_common.h"
#include "orvel_host.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

using orvel::core_test::LogCapture;

namespace {

std::string pid_text()
{
    return std::to_string((long)getpid());
}

std::string tid_text()
{
    return std::to_string((unsigned long)orvel_thread_self());
}

// A "SECONDS.NNNNNNNNN" timestamp at `at`: its two numbers and where it ends.
struct Timestamp {
    bool found = false;
    std::string seconds;
    std::string nanoseconds;
    size_t end = 0;
};

Timestamp read_timestamp(const std::string &text, size_t at)
{
    auto digits_from = [&](size_t from) {
        size_t to = from;
        while (to < text.size() && text[to] >= '0' && text[to] <= '9')
            to++;
        return to;
    };
    Timestamp stamp;
    size_t dot = digits_from(at);
    if (dot == at || dot >= text.size() || text[dot] != '.')
        return stamp;
    size_t end = digits_from(dot + 1);
    if (end - dot - 1 != 9)
        return stamp;
    stamp.found = true;
    stamp.seconds = text.substr(at, dot - at);
    stamp.nanoseconds = text.substr(dot + 1, 9);
    stamp.end = end;
    return stamp;
}

class DropboxLog : public ::testing::Test {
protected:
    static void SetUpTestSuite() { orvel_module_activate(&orvel_i_common_module); }
    static void TearDownTestSuite() { orvel_module_deactivate(&orvel_i_common_module); }
};

} // namespace

TEST_F(DropboxLog, TraceLinesOfAFunctionByteForByte)
{
    LogCapture log(ORVEL_DROPBOX_ALL);
    uint32_t rate = 20;
    ASSERT_EQ(orvel_dropbox_config_parse_json("{\"user_api_rate_limit\": 5}", &rate), ORVEL_SUCCESS);
    EXPECT_EQ(rate, 5u);
    std::string prefix = "Dropbox: TRACE: " + pid_text() + ": orvel_dropbox_config_parse_json: ";
    EXPECT_EQ(log.text(), prefix + "enter\n" + prefix + "exit: result=ORVEL_SUCCESS\n");
}

TEST_F(DropboxLog, LevelNamesAreRightAlignedInFiveColumns)
{
    LogCapture log(ORVEL_DROPBOX_ALL);
    orvel_i_dropbox_log_line(ORVEL_DROPBOX_DEBUG, "f", "a=%d\n", 1);
    orvel_i_dropbox_log_line(ORVEL_DROPBOX_INFO, "f", "b\n");
    orvel_i_dropbox_log_line(ORVEL_DROPBOX_WARN, "f", "c\n");
    orvel_i_dropbox_log_line(ORVEL_DROPBOX_ERROR, "f", "d\n");
    std::string p = pid_text();
    EXPECT_EQ(log.text(), "Dropbox: DEBUG: " + p + ": f: a=1\n" + "Dropbox:  INFO: " + p + ": f: b\n" +
                              "Dropbox:  WARN: " + p + ": f: c\n" + "Dropbox: ERROR: " + p + ": f: d\n");
    // A level without a name is written as TRACE.
    EXPECT_STREQ(orvel_i_dropbox_debug_level_names[3], nullptr);
    EXPECT_STREQ(orvel_i_dropbox_debug_level_names[16], "ERROR");
}

TEST_F(DropboxLog, TimestampHasNineDigitNanosecondsOnThePrefixOnly)
{
    LogCapture log(ORVEL_DROPBOX_TRACE, ORVEL_DROPBOX_TRACE);
    orvel_i_dropbox_log_line(ORVEL_DROPBOX_TRACE, "orvel_i_dropbox_start", "enter\n");
    std::string text = log.text();
    Timestamp stamp = read_timestamp(text, 0);
    ASSERT_TRUE(stamp.found) << text;
    EXPECT_EQ(text.substr(stamp.end), "::Dropbox: TRACE: " + pid_text() + ": orvel_i_dropbox_start: enter\n");
    // Microsecond clock: the last three digits are zero.
    EXPECT_EQ(stamp.nanoseconds.substr(6), "000");
    EXPECT_NEAR(std::stol(stamp.seconds), (long)time(nullptr), 5);
}

TEST_F(DropboxLog, ThreadIdsPrecedePrefixAndBody)
{
    {
        LogCapture log(ORVEL_DROPBOX_TRACE, 0, true);
        orvel_i_dropbox_log_line(ORVEL_DROPBOX_TRACE, "f", "enter\n");
        EXPECT_EQ(log.text(), tid_text() + "::Dropbox: TRACE: " + pid_text() + ": f: " + tid_text() + "::enter\n");
    }
    {
        LogCapture log(ORVEL_DROPBOX_TRACE, ORVEL_DROPBOX_TRACE, true);
        orvel_i_dropbox_log_line(ORVEL_DROPBOX_TRACE, "f", "enter\n");
        std::string text = log.text();
        std::string tid = tid_text() + ":";
        ASSERT_EQ(text.substr(0, tid.size()), tid) << text;
        Timestamp stamp = read_timestamp(text, tid.size());
        ASSERT_TRUE(stamp.found) << text;
        EXPECT_EQ(text.substr(stamp.end), "::Dropbox: TRACE: " + pid_text() + ": f: " + tid_text() + "::enter\n");
    }
}

TEST_F(DropboxLog, NothingWhenUnsetOrOnlyTimestamped)
{
    {
        LogCapture log(0, ORVEL_DROPBOX_ALL);
        uint32_t rate = 20;
        orvel_dropbox_config_parse_json("{}", &rate);
        orvel_error_discard(orvel_dropbox_config_parse_json(nullptr, &rate));
        orvel_i_dropbox_log_line(ORVEL_DROPBOX_TRACE, "f", "x\n");
        EXPECT_EQ(log.text(), "");
    }
    {
        LogCapture log(ORVEL_DROPBOX_ALL);
        orvel_i_ORVEL_DROPBOX_debug_handle.file = nullptr; // no stream: nothing, no crash
        orvel_i_dropbox_log_line(ORVEL_DROPBOX_TRACE, "f", "x\n");
        orvel_i_ORVEL_DROPBOX_debug_printf("x%d", 1);
        orvel_i_ORVEL_DROPBOX_debug_time_printf("x%d", 1);
        orvel_i_ORVEL_DROPBOX_debug_fwrite("x", 1, 1);
    }
}

TEST_F(DropboxLog, OnlyErrorWritesErrorExitsWithTheChain)
{
    LogCapture log(ORVEL_DROPBOX_ERROR);
    uint32_t rate = 20;
    orvel_result_t result = orvel_dropbox_config_parse_json("{\"user_api_rate_limit\": \"5\"}", &rate);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(rate, 20u);
    char *chain = orvel_error_print_chain(orvel_error_peek(result));
    char expected_head[64];
    snprintf(expected_head, sizeof expected_head, "exit: result=%#x message=", (unsigned int)result);
    EXPECT_EQ(log.text(),
              "Dropbox: ERROR: " + pid_text() + ": orvel_dropbox_config_parse_json: " + expected_head + chain + "\n");
    free(chain);
    orvel_error_discard(result);
}

TEST_F(DropboxLog, LongFormatWithThreadIdsIsWrittenWhole)
{
    LogCapture log(ORVEL_DROPBOX_TRACE, 0, true);
    std::string body(5000, 'x');
    orvel_i_dropbox_log_line(ORVEL_DROPBOX_TRACE, "f", "%s|%d\n", body.c_str(), 7);
    EXPECT_EQ(log.text(), tid_text() + "::Dropbox: TRACE: " + pid_text() + ": f: " + tid_text() + "::" + body + "|7\n");
}

// Activation registers the storage interface even when the internal module
// cannot be activated.
static int failing_activation(void)
{
    return 1;
}

TEST(DropboxModule, RegistersDropboxEvenWhenTheCommonModuleFails)
{
    orvel_module_activation_func_t real = orvel_i_dropbox_common_module.activation_func;
    orvel_i_dropbox_common_module.activation_func = failing_activation;
    ASSERT_EQ(orvel::host::Host::activate_module(&orvel_gridftp_server_dropbox_module), 0);
    orvel_gfs_storage_iface_t *iface = orvel::host::Host::find_dsi("dropbox");
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->descriptor, 43);
    EXPECT_EQ(iface->init_func, orvel_i_dropbox_guarded_start);
    EXPECT_EQ(iface->destroy_func, orvel_i_dropbox_guarded_destroy);
    EXPECT_EQ(iface->list_func, nullptr);
    EXPECT_EQ(iface->send_func, orvel_i_dropbox_guarded_send);
    EXPECT_EQ(iface->recv_func, orvel_i_dropbox_guarded_recv);
    EXPECT_EQ(iface->command_func, orvel_i_dropbox_guarded_command);
    EXPECT_EQ(iface->stat_func, orvel_i_dropbox_guarded_stat);
    EXPECT_EQ(iface->realpath_func, nullptr);
    orvel::host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
    EXPECT_EQ(orvel::host::Host::find_dsi("dropbox"), nullptr);
    orvel_i_dropbox_common_module.activation_func = real;

    // With the real internal module: the debug stream is set up and closed.
    ASSERT_EQ(orvel::host::Host::activate_module(&orvel_gridftp_server_dropbox_module), 0);
    EXPECT_NE(orvel::host::Host::find_dsi("dropbox"), nullptr);
    orvel::host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
    EXPECT_EQ(orvel_i_ORVEL_DROPBOX_debug_handle.file, nullptr);
    EXPECT_STREQ(orvel_gridftp_server_dropbox_module.module_name, "orvel_gridftp_server_dropbox");
    EXPECT_STREQ(orvel_i_dropbox_common_module.module_name, "orvel_dropbox_common");
    EXPECT_EQ(orvel_gridftp_server_dropbox_module.version.minor, 1);
}
