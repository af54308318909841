// Reply errors, system errors, their accessors along cause chains, and the
// FTP reply an error chain turns into.
#include "orvel_host.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A detail-carrying error type like a plug-in's: prints `key: "value"` lines.
char *detail_printable(orvel_object_t *error)
{
    const char *text = static_cast<const char *>(orvel_object_get_local_instance_data(error));
    return strdup(text != nullptr ? text : "");
}
void detail_free(void *data)
{
    free(data);
}
void detail_copy(void *src, void **dst)
{
    *dst = src != nullptr ? strdup(static_cast<char *>(src)) : nullptr;
}

const orvel_object_type_t kDetailType = {&ORVEL_ERROR_TYPE_BASE_DEFINITION, detail_copy, detail_free,
                                         reinterpret_cast<const void *>(&detail_printable)};

orvel_object_t *detail_error(const char *text)
{
    orvel_object_t *error = orvel_object_construct(&kDetailType);
    orvel_error_initialize_base(error, nullptr, nullptr);
    orvel_object_set_local_instance_data(error, strdup(text));
    return error;
}

std::string take(char *text)
{
    std::string copy = text != nullptr ? text : "<null>";
    free(text);
    return copy;
}

class ErrorsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { orvel::host::Host::activate_module(&orvel_i_common_module); }
    void SetUp() override { held_before_ = orvel_error_held_count(); }
    void TearDown() override { EXPECT_EQ(orvel_error_held_count(), held_before_); }
    size_t held_before_ = 0;
};

TEST_F(ErrorsTest, ReplyErrorPrintsCodeErrorCodeAndMessage)
{
    orvel_object_t *error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 550, "PATH_NOT_FOUND", "%s%s%s",
                                                                   "GridFTP-Path: \"", "/a", "\"");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(take(orvel_error_print_chain(error)), "550 PATH_NOT_FOUND: GridFTP-Path: \"/a\"");
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(error), 550);
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_error_code(error), "PATH_NOT_FOUND");
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_message(error), "GridFTP-Path: \"/a\"");
    EXPECT_EQ(orvel_gfs_error_get_system_errno(error), 0);
    orvel_object_free(error);

    // No message: the printed text stops after the error code.
    error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 553, "APPEND_NOT_SUPPORTED", nullptr);
    EXPECT_EQ(take(orvel_error_print_chain(error)), "553 APPEND_NOT_SUPPORTED");
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_message(error), "");
    orvel_object_free(error);
}

TEST_F(ErrorsTest, AccessorsFindTheFirstReplyErrorAlongTheChain)
{
    orvel_object_t *inner = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 451, "TOO_BUSY", nullptr);
    orvel_object_t *outer =
        orvel_error_construct_error(nullptr, inner, ORVEL_GFS_ERROR_GENERIC, "f.c", "fn", 1, "%s", "wrapped");
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(outer), 451);
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_error_code(outer), "TOO_BUSY");
    orvel_object_free(outer); // frees the chain

    orvel_object_t *generic =
        orvel_error_construct_error(nullptr, nullptr, ORVEL_GFS_ERROR_GENERIC, "f.c", "fn", 1, "%s", "plain");
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(generic), 0);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_error_code(generic), nullptr);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_message(generic), nullptr);
    orvel_object_free(generic);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(nullptr), 0);
}

TEST_F(ErrorsTest, SystemErrorAppendsTheErrnoText)
{
    orvel_object_t *error = orvel_i_gfs_error_system(0, ENOMEM, "System error%s%s", " in ", "malloc");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(take(orvel_error_print_chain(error)), std::string("System error in malloc: ") + strerror(ENOMEM));
    EXPECT_EQ(orvel_gfs_error_get_system_errno(error), ENOMEM);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(error), 0);
    // Not a reply error: the FTP reply is a local error with the chain text.
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)), "451-Requested action aborted: local error in processing.\r\n"
                                                         "451-System error in malloc: " +
                                                             std::string(strerror(ENOMEM)) + "\r\n451 End.\r\n");
    orvel_object_free(error);

    error = orvel_i_gfs_error_system(0, EAGAIN, "System error%s%s", " in ", "fnctl");
    EXPECT_EQ(take(orvel_error_print_chain(error)), std::string("System error in fnctl: ") + strerror(EAGAIN));
    orvel_object_free(error);
}

TEST_F(ErrorsTest, ReplyWithNothingBeyondTheCodeIsOneLine)
{
    orvel_object_t *error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 500, "NOT_IMPLEMETED", nullptr);
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)), "500 Error: NOT_IMPLEMETED\r\n");
    orvel_object_free(error);
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(nullptr)),
              "451 Requested action aborted: local error in processing.\r\n");
}

TEST_F(ErrorsTest, ReplyCarriesMessageAndEveryCauseDetailLine)
{
    orvel_object_t *cause = detail_error("Dropbox-Path: \"/\"\nDropbox-Error: \"Invalid path for a write operation.\"");
    orvel_object_t *error =
        orvel_gfs_ftp_response_error_construct(nullptr, cause, 550, "PERMISSION_DENIED", "%s", "GridFTP-Path: /x");
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)),
              "550-Error: PERMISSION_DENIED\r\n"
              "550-GridFTP-Path: /x\r\n"
              "550-Dropbox-Path: \"/\"\r\n"
              "550-Dropbox-Error: \"Invalid path for a write operation.\"\r\n"
              "550 End.\r\n");
    // The printed chain keeps the cause after the reply error.
    EXPECT_EQ(take(orvel_error_print_chain(error)), "550 PERMISSION_DENIED: GridFTP-Path: /x\nDropbox-Path: \"/\"\n"
                                                    "Dropbox-Error: \"Invalid path for a write operation.\"");
    orvel_object_free(error);
}

TEST_F(ErrorsTest, LineBreaksInTextsBecomeContinuationLinesAndControlsAreBlanked)
{
    orvel_object_t *error = orvel_gfs_ftp_response_error_construct(
        nullptr, nullptr, 553, "PATH_EXISTS", "%s", "first\r\n226 Transfer complete.\rsecond\n\nthird\x01!");
    std::string reply = take(orvel_gfs_error_to_ftp_reply(error));
    EXPECT_EQ(reply, "553-Error: PATH_EXISTS\r\n"
                     "553-first\r\n"
                     "553-226 Transfer complete.\r\n"
                     "553-second\r\n"
                     "553-third !\r\n"
                     "553 End.\r\n");
    // Every line ends in CR LF and no CR or LF stands alone.
    for (size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == '\r') {
            ASSERT_LT(i + 1, reply.size());
            EXPECT_EQ(reply[i + 1], '\n');
        } else if (reply[i] == '\n') {
            EXPECT_EQ(reply[i - 1], '\r');
        }
    }
    orvel_object_free(error);
}

TEST_F(ErrorsTest, ErrorCodeWithALineBreakKeepsEveryPiece)
{
    orvel_object_t *error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 550, "BAD\r\nCODE", nullptr);
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)), "550-Error: BAD\r\n550-CODE\r\n550 End.\r\n");
    orvel_object_free(error);
}

TEST_F(ErrorsTest, ErrorsWrappingAReplyErrorComeFirst)
{
    orvel_object_t *reply =
        orvel_gfs_ftp_response_error_construct(nullptr, detail_error("k: \"v\""), 451, "QUOTA_EXCEEDED", nullptr);
    orvel_object_t *outer = orvel_error_construct_error(nullptr, reply, ORVEL_GFS_ERROR_GENERIC, "f.c", "fn", 1, "%s",
                                                        "Failed cache update!");
    std::string text = take(orvel_gfs_error_to_ftp_reply(outer));
    EXPECT_EQ(text.rfind("451-Error: QUOTA_EXCEEDED\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("Failed cache update!"), std::string::npos) << text;
    EXPECT_NE(text.find("451-k: \"v\"\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 10), "451 End.\r\n");
    orvel_object_free(outer);
}

TEST_F(ErrorsTest, OddReplyCodesFallBackToLocalError)
{
    orvel_object_t *error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 42, "ODD", nullptr);
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)), "451 Error: ODD\r\n");
    orvel_object_free(error);
    // A failure never answers with a success or intermediate code.
    for (int code : {150, 226, 250, 350}) {
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, code, "ODD", nullptr);
        EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)), "451 Error: ODD\r\n") << code;
        orvel_object_free(error);
    }
    error = orvel_i_gfs_error_system(226, EPIPE, "System error in %s", "send");
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)).substr(0, 4), "451-");
    orvel_object_free(error);
    error = orvel_i_gfs_error_system(426, EPIPE, "System error in %s", "send");
    EXPECT_EQ(take(orvel_gfs_error_to_ftp_reply(error)).substr(0, 4), "426-");
    orvel_object_free(error);
}

TEST_F(ErrorsTest, ReplyErrorsTravelThroughResults)
{
    orvel_result_t rc = orvel_error_put(
        orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 500, "INTERNAL_ERROR", "GridFTP-Error: %s", "x"));
    ASSERT_NE(rc, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(orvel_error_peek(rc)), 500);
    orvel_object_t *error = orvel_error_get(rc);
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_message(error), "GridFTP-Error: x");
    orvel_object_free(error);
}

} // namespace
