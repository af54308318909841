// Error objects (printing, information lists, lookup along the cause
// chain), translation of the service's error replies, and metadata parsing.
#include "dropbox_core_support.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class DropboxCore : public ::testing::Test {
protected:
    static void SetUpTestSuite() { orvel_module_activate(&orvel_i_common_module); }
    static void TearDownTestSuite() { orvel_module_deactivate(&orvel_i_common_module); }
};

// A key list over texts that live as long as the object.
struct Info {
    Info(std::initializer_list<std::pair<const char *, const char *>> items)
    {
        for (auto &[k, v] : items)
            pairs.push_back({const_cast<char *>(k), const_cast<char *>(v)});
        list = {pairs.size(), pairs.data()};
    }
    Info(const Info &) = delete;
    std::vector<orvel_dsi_rest_key_value_t> pairs;
    orvel_dsi_rest_key_array_t list;
};

using ErrorPtr = std::unique_ptr<orvel_object_t, decltype(&orvel_object_free)>;

std::string printed(orvel_object_t *error)
{
    char *text = orvel_error_print_one(error);
    std::string out = text != nullptr ? text : "<null>";
    free(text);
    return out;
}

// The held error of `result`, taken over by the test.
ErrorPtr take(orvel_result_t result)
{
    return ErrorPtr(orvel_error_get(result), orvel_object_free);
}

} // namespace

TEST_F(DropboxCore, ErrorPrintingEscapesAndSeparates)
{
    Info info({{"error_summary", "path/not_found/.."},
               {"empty", ""},
               {"", "no key"},
               {"details", "{\"a\": \"b\\c\"}\r\nnext"}});
    ErrorPtr error(orvel_dropbox_error_construct(nullptr, nullptr, &info.list), orvel_object_free);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(printed(error.get()),
              "error_summary: \"path/not_found/..\"\ndetails: \"{\\\"a\\\": \\\"b\\\\c\\\"}\\r\\nnext\"");

    // Nothing printable: the empty text. A skipped first pair leaves no separator.
    ErrorPtr empty(orvel_dropbox_error_construct(nullptr, nullptr, nullptr), orvel_object_free);
    EXPECT_EQ(printed(empty.get()), "");
    Info second_only({{"a", ""}, {"b", "x"}});
    ErrorPtr one(orvel_dropbox_error_construct(nullptr, nullptr, &second_only.list), orvel_object_free);
    EXPECT_EQ(printed(one.get()), "b: \"x\"");
}

TEST_F(DropboxCore, AddInfoReplacesAppendsAndKeepsOrder)
{
    Info start({{"Dropbox-Path", "/"}});
    ErrorPtr error(orvel_dropbox_error_construct(nullptr, nullptr, &start.list), orvel_object_free);
    Info replace({{"Dropbox-Path", "/other"}});
    orvel_dropbox_error_add_info(error.get(), &replace.list);
    EXPECT_EQ(printed(error.get()), "Dropbox-Path: \"/other\"");

    Info twice({{"k", "1"}, {"k", "2"}, {"Dropbox-Path", "/third"}});
    orvel_dropbox_error_add_info(error.get(), &twice.list);
    EXPECT_EQ(printed(error.get()), "Dropbox-Path: \"/third\"\nk: \"2\"");
    EXPECT_STREQ(orvel_dropbox_error_get_info(error.get(), "k"), "2");
    EXPECT_EQ(orvel_dropbox_error_get_info(error.get(), "missing"), nullptr);

    // An object of another type is left alone.
    ErrorPtr generic(orvel_error_construct_error(nullptr, nullptr, 6, "f", "g", 1, "%s", "m"), orvel_object_free);
    orvel_dropbox_error_add_info(generic.get(), &replace.list);
    EXPECT_EQ(orvel_dropbox_error_get_info(generic.get(), "Dropbox-Path"), nullptr);
}

TEST_F(DropboxCore, GetInfoFollowsTheCauseOfAReplyError)
{
    orvel_result_t result = orvel_dropbox_error_team_root();
    ErrorPtr error = take(result);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(error.get()), 550);
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_error_code(error.get()), "PERMISSION_DENIED");
    EXPECT_STREQ(orvel_dropbox_error_get_info(error.get(), "Dropbox-Path"), "/");
    EXPECT_STREQ(orvel_dropbox_error_get_info(error.get(), "Dropbox-Error"), "Invalid path for a write operation.");
    char *chain = orvel_error_print_chain(error.get());
    EXPECT_NE(std::string(chain).find("Dropbox-Path: \"/\"\nDropbox-Error: \"Invalid path for a write operation.\""),
              std::string::npos)
        << chain;
    free(chain);

    ErrorPtr missing = take(orvel_dropbox_error_path_not_found("/a b"));
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_message(missing.get()), "GridFTP-Path: \"/a b\"");
    errno = ENOMEM;
    ErrorPtr system = take(orvel_dropbox_error_system_malloc());
    EXPECT_EQ(orvel_gfs_error_get_system_errno(system.get()), ENOMEM);
}

/* -------------------------------------------------------------- translation */

namespace {

struct Reply {
    explicit Reply(int status, const char *retry_after = nullptr)
    {
        pairs[0] = {const_cast<char *>("Retry-After"), const_cast<char *>(retry_after)};
        record.response_code = status;
        record.desired_headers = {1, pairs};
    }
    orvel_dsi_rest_key_value_t pairs[1];
    orvel_dsi_rest_response_arg_t record{};
};

struct Translated {
    orvel_result_t result = ORVEL_SUCCESS;
    ErrorPtr error{nullptr, orvel_object_free};
    bool retryable = false;
    uint64_t retry_after = 99;
    int code() const { return error ? orvel_gfs_error_get_ftp_response_code(error.get()) : 0; }
    std::string error_code() const
    {
        const char *c = error ? orvel_gfs_error_get_ftp_response_error_code(error.get()) : nullptr;
        return c != nullptr ? c : "";
    }
    std::string message() const
    {
        const char *m = error ? orvel_gfs_error_get_ftp_response_message(error.get()) : nullptr;
        return m != nullptr ? m : "";
    }
};

Translated translate(int status, const char *body_json, const char *retry_after = nullptr)
{
    Reply reply(status, retry_after);
    json_t *body = body_json != nullptr ? json_loads(body_json, JSON_DECODE_ANY, nullptr) : nullptr;
    Translated t;
    t.result = orvel_dropbox_translate_response(&reply.record, body, &t.retryable, &t.retry_after);
    json_decref(body);
    t.error = take(t.result);
    return t;
}

} // namespace

TEST_F(DropboxCore, SummaryKeyWordsDecideInOrder)
{
    struct Row {
        const char *summary;
        int code;
        const char *error_code;
        const char *message;
    } rows[] = {
        {"path/not_found/..", 550, "PATH_NOT_FOUND", ""},
        {"to/conflict/folder/..", 553, "PATH_EXISTS", "GridFTP-Path: "},
        {"path/conflict/not_found/", 553, "PATH_EXISTS", "GridFTP-Path: "},
        {"path/access_denied_insufficient_permissions/", 550, "PERMISSION_DENIED", ""},
        {"path/malformed_path/item_name_too_long/", 553, "INVALID_PATH_NAME", "GridFTP-Path: <Invalid Name>"},
        {"content_hash_mismatch/bad_digest/", 550, "INCORRECT_CHECKSUM",
         "GridFTP-Computed-Checksum: computed\nGridFTP-Expected-Checksum: expected"},
        // Summaries that name no path problem still have a meaning of their own.
        {"path/insufficient_space/..", 552, "QUOTA_EXCEEDED", "GridFTP-Error: the account is full"},
        {"path/no_write_permission/.", 550, "PERMISSION_DENIED", "GridFTP-Error: no permission to write there"},
        {"path/disallowed_name/", 553, "INVALID_PATH_NAME", "GridFTP-Path: <Invalid Name>"},
        {"too_many_write_operations/..", 451, "TOO_BUSY", ""},
        {"content_hash_mismatch/", 550, "INCORRECT_CHECKSUM",
         "GridFTP-Error: the data the service received does not match the content hash sent with it"},
        {"expired_access_token/..", 550, "PERMISSION_DENIED", "GridFTP-Error: the access token has expired"},
        {"invalid_access_token/.", 550, "PERMISSION_DENIED", "GridFTP-Error: the access token is not valid"},
        {"no_permission/", 550, "PERMISSION_DENIED", "GridFTP-Error: no permission for this namespace"},
    };
    for (const Row &row : rows) {
        std::string body = std::string("{\"error_summary\": \"") + row.summary + "\", \"error\": {\".tag\": \"x\"}}";
        Translated t = translate(409, body.c_str());
        ASSERT_NE(t.result, ORVEL_SUCCESS) << row.summary;
        EXPECT_EQ(t.code(), row.code) << row.summary;
        EXPECT_EQ(t.error_code(), row.error_code) << row.summary;
        EXPECT_EQ(t.message(), row.message) << row.summary;
        EXPECT_FALSE(t.retryable);
        EXPECT_EQ(t.retry_after, 0u);
        // The service's answer stays in the chain.
        EXPECT_STREQ(orvel_dropbox_error_get_info(t.error.get(), "error_summary"), row.summary);
        EXPECT_STREQ(orvel_dropbox_error_get_info(t.error.get(), "details"), body.c_str());
    }
    Translated missing = translate(409, "{\"error_summary\": \"path/not_found/.\", \"error\": {}}");
    char *chain = orvel_error_print_chain(missing.error.get());
    EXPECT_NE(std::string(chain).find("error_summary: \"path/not_found/.\"\ndetails: \"{\\\"error_summary\\\""),
              std::string::npos)
        << chain;
    free(chain);
}

TEST_F(DropboxCore, UnmatchedSummariesAndRetryAfter)
{
    Translated busy = translate(429, "{\"error_summary\": \"too_many_write_operations/..\"}", "3");
    ASSERT_NE(busy.result, ORVEL_SUCCESS);
    EXPECT_EQ(busy.code(), 451);
    EXPECT_EQ(busy.error_code(), "TOO_BUSY");
    EXPECT_TRUE(busy.retryable);
    EXPECT_EQ(busy.retry_after, 3u);
    EXPECT_STREQ(orvel_dropbox_error_get_info(busy.error.get(), "error_summary"), "too_many_write_operations/..");

    Translated server = translate(500, "{\"error_summary\": \"other/\"}");
    EXPECT_NE(server.result, ORVEL_SUCCESS);
    EXPECT_FALSE(server.retryable);

    Translated number = translate(409, "{\"error_summary\": 5, \"x\": \"é\"}");
    ASSERT_NE(number.result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_dropbox_error_get_info(number.error.get(), "error_summary"), nullptr);
    EXPECT_STREQ(orvel_dropbox_error_get_info(number.error.get(), "details"), "{\"error_summary\": 5, \"x\": \"é\"}");

    Translated no_digits = translate(503, nullptr, "soon");
    EXPECT_TRUE(no_digits.retryable);
    EXPECT_EQ(no_digits.retry_after, 0u);
    Translated leading = translate(503, nullptr, "12abc");
    EXPECT_EQ(leading.retry_after, 12u);
    Translated huge = translate(503, nullptr, "99999999999999999999999");
    EXPECT_EQ(huge.retry_after, UINT64_MAX);

    // Without an out parameter for the wait, nothing is read from the header.
    Reply reply(503, "7");
    bool retryable = true;
    orvel_result_t r = orvel_dropbox_translate_response(&reply.record, nullptr, &retryable, nullptr);
    EXPECT_FALSE(retryable);
    orvel_error_discard(r);
}

TEST_F(DropboxCore, StatusRowsWithoutBody)
{
    struct Row {
        int status;
        int code;
        const char *error_code;
        const char *message;
        bool retryable;
    } rows[] = {
        {401, 550, "PERMISSION_DENIED", "", false},
        {403, 550, "PERMISSION_DENIED", "", false},
        {404, 550, "PATH_NOT_FOUND", "", false},
        {409, 500, "INTERNAL_ERROR", "GridFTP-Error: HTTP status 409", false}, // no summary, no meaning
        {429, 451, "TOO_BUSY", "", true},
        {500, 500, "INTERNAL_ERROR", "", false},
        {503, 500, "INTERNAL_ERROR", "", false},
        // Statuses the table does not list are failures too.
        {416, 554, "INVALID_RANGE", "GridFTP-Error: HTTP status 416", false},
        {402, 500, "INTERNAL_ERROR", "GridFTP-Error: HTTP status 402", false},
        {418, 500, "INTERNAL_ERROR", "GridFTP-Error: HTTP status 418", false},
        {499, 500, "INTERNAL_ERROR", "GridFTP-Error: HTTP status 499", false},
    };
    for (const Row &row : rows) {
        Translated t = translate(row.status, nullptr);
        ASSERT_NE(t.result, ORVEL_SUCCESS) << row.status;
        EXPECT_EQ(t.code(), row.code) << row.status;
        EXPECT_EQ(t.error_code(), row.error_code) << row.status;
        EXPECT_EQ(t.message(), row.message) << row.status;
        EXPECT_EQ(t.retryable, row.retryable) << row.status;
        EXPECT_EQ(t.retry_after, 0u);
    }
    Translated bad = translate(400, nullptr);
    ASSERT_NE(bad.result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_error_get_type(bad.error.get()), ORVEL_GFS_ERROR_GENERIC);
    EXPECT_STREQ(orvel_error_get_message(bad.error.get()), "Bad Dropbox request");
}

/* ------------------------------------------------------------ metadata */

namespace {

struct Parsed {
    orvel_result_t result;
    orvel_dropbox_path_info_t info{};
    ~Parsed() { orvel_dropbox_path_info_free(&info); }
};

void parse(Parsed &p, const char *text, orvel_result_t (*parser)(json_t *, orvel_dropbox_path_info_t *))
{
    json_t *json = json_loads(text, 0, nullptr);
    ASSERT_NE(json, nullptr) << text;
    p.result = parser(json, &p.info);
    json_decref(json);
}

std::string message_of(orvel_result_t result)
{
    ErrorPtr error = take(result);
    const char *m = error ? orvel_error_get_message(error.get()) : nullptr;
    return m != nullptr ? m : "";
}

} // namespace

TEST_F(DropboxCore, MetadataParseVariants)
{
    Parsed file;
    parse(file,
          "{\".tag\": \"file\", \"name\": \"a.txt\", \"id\": \"id:x\", \"size\": 12, "
          "\"client_modified\": \"2019-05-01T10:20:30Z\", \"content_hash\": \"abc\"}",
          orvel_dropbox_object_info_parse);
    ASSERT_EQ(file.result, ORVEL_SUCCESS);
    EXPECT_EQ(file.info.type, ORVEL_DROPBOX_FILE);
    EXPECT_STREQ(file.info.name, "a.txt");
    EXPECT_STREQ(file.info.id, "id:x");
    EXPECT_EQ(file.info.size, 12u);
    EXPECT_EQ(file.info.modtime, 1556706030);
    EXPECT_STREQ(file.info.hash, "abc");
    EXPECT_EQ(file.info.parent_id, nullptr);

    Parsed folder;
    parse(folder, "{\".tag\": \"folder\", \"name\": \"d\", \"id\": \"id:d\"}", orvel_dropbox_object_info_parse);
    EXPECT_EQ(folder.result, ORVEL_SUCCESS);
    EXPECT_EQ(folder.info.type, ORVEL_DROPBOX_FOLDER);
    EXPECT_EQ(folder.info.size, 0u);
    EXPECT_EQ(folder.info.modtime, 0);
    EXPECT_EQ(folder.info.hash, nullptr);

    Parsed deleted, capital, real;
    parse(deleted, "{\".tag\": \"deleted\", \"name\": \"gone\", \"id\": \"id:g\"}", orvel_dropbox_object_info_parse);
    EXPECT_EQ(deleted.result, ORVEL_SUCCESS);
    EXPECT_EQ(deleted.info.type, ORVEL_DROPBOX_UNKNOWN);
    parse(capital, "{\".tag\": \"Folder\", \"name\": \"F\", \"id\": \"id:F\"}", orvel_dropbox_object_info_parse);
    EXPECT_EQ(capital.info.type, ORVEL_DROPBOX_UNKNOWN);
    parse(real, "{\".tag\": \"file\", \"name\": \"r\", \"id\": \"id:r\", \"size\": 12.0}",
          orvel_dropbox_object_info_parse);
    EXPECT_EQ(real.info.size, 0u);
}

TEST_F(DropboxCore, MetadataParseFailures)
{
    const char *untagged = "{\"name\": \"a\", \"id\": \"id:a\"}";
    Parsed no_tag, as_folder, as_file;
    parse(no_tag, untagged, orvel_dropbox_object_info_parse);
    EXPECT_EQ(message_of(no_tag.result), "No type tag found!");
    EXPECT_EQ(no_tag.info.type, 0);
    EXPECT_EQ(no_tag.info.name, nullptr);
    parse(as_folder, untagged, orvel_dropbox_folder_info_parse);
    EXPECT_EQ(as_folder.result, ORVEL_SUCCESS);
    EXPECT_EQ(as_folder.info.type, ORVEL_DROPBOX_FOLDER);
    parse(as_file, untagged, orvel_dropbox_file_info_parse);
    EXPECT_EQ(as_file.info.type, ORVEL_DROPBOX_FILE);

    Parsed date_only;
    parse(date_only,
          "{\".tag\": \"file\", \"name\": \"a\", \"id\": \"id:a\", \"size\": 3, \"client_modified\": \"2019-05-01\", "
          "\"content_hash\": \"h\"}",
          orvel_dropbox_object_info_parse);
    EXPECT_EQ(message_of(date_only.result), "Error parsing 'lastModifiedDateTime' field!");
    EXPECT_STREQ(date_only.info.name, "a");
    EXPECT_STREQ(date_only.info.hash, "h");
    EXPECT_EQ(date_only.info.size, 3u);

    // No name or no id: never a record.
    Parsed nameless, idless;
    parse(nameless, "{\".tag\": \"file\", \"id\": \"id:a\", \"content_hash\": \"h\"}", orvel_dropbox_object_info_parse);
    EXPECT_EQ(message_of(nameless.result), "Metadata without name or id!");
    EXPECT_EQ(nameless.info.name, nullptr);
    EXPECT_EQ(nameless.info.id, nullptr);
    EXPECT_EQ(nameless.info.hash, nullptr);
    parse(idless, "{\".tag\": \"folder\", \"name\": 5}", orvel_dropbox_folder_info_parse);
    EXPECT_NE(idless.result, ORVEL_SUCCESS);
    orvel_error_discard(idless.result);
}

TEST_F(DropboxCore, CopyAndFree)
{
    orvel_dropbox_path_info_t *root = orvel_dropbox_path_info_copy(&orvel_i_dropbox_vfs_root_info);
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->name, "/");
    EXPECT_STREQ(root->id, "/");
    EXPECT_NE(root->name, orvel_i_dropbox_vfs_root_info.name);
    EXPECT_TRUE(root->freeme);
    EXPECT_FALSE(root->listed);
    root->listed = true;
    root->sha1 = strdup("s1");
    orvel_dropbox_path_info_t *again = orvel_dropbox_path_info_copy(root);
    EXPECT_TRUE(again->listed);
    EXPECT_STREQ(again->sha1, "s1");
    EXPECT_EQ(again->md5, nullptr);
    orvel_dropbox_path_info_free(again);
    orvel_dropbox_path_info_free(root);
    EXPECT_EQ(orvel_dropbox_path_info_copy(nullptr), nullptr);
    orvel_dropbox_path_info_free(nullptr);
}

TEST_F(DropboxCore, ArgumentTextIsAsciiWithSpacedSeparators)
{
    json_t *args = json_object();
    json_object_set_new(args, "path", json_string("/d\xc3\xa9j\xc3\xa0"));
    json_object_set_new(args, "limit", json_integer(1000));
    json_object_set_new(args, "close", json_false());
    char *text = orvel_dropbox_args_text(args);
    EXPECT_STREQ(text, "{\"path\": \"/d\\u00E9j\\u00E0\", \"limit\": 1000, \"close\": false}");
    free(text);
    json_decref(args);
    // DEL is no printable character either: escaped like the other control characters.
    args = json_pack("{s:s}", "path",
                     "/a\x7f\x01"
                     "b");
    text = orvel_dropbox_args_text(args);
    EXPECT_STREQ(text, "{\"path\": \"/a\\u007F\\u0001b\"}");
    free(text);
    json_decref(args);
    EXPECT_EQ(orvel_dropbox_args_text(nullptr), nullptr);
}
