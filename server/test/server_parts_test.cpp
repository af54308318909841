// Unit tests of the FTP front-end's parts that need no network: path
// normalisation, reply formatting, listing lines, the users file, settings,
// and the data connection over loopback.
#include "cert_map.hpp"
#include "config.hpp"
#include "ftp_session.hpp"
#include "listing.hpp"
#include "login_throttle.hpp"
#include "users.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvel::server;

namespace {

std::string temp_file(const std::string &contents)
{
    char name[] = "/tmp/orvel-server-test-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    ssize_t w = write(fd, contents.data(), contents.size());
    EXPECT_EQ(w, static_cast<ssize_t>(contents.size()));
    close(fd);
    return name;
}

orvel::host::StatEntry entry(const std::string &name, int mode, int64_t size, time_t mtime)
{
    orvel::host::StatEntry e;
    e.name = name;
    e.mode = mode;
    e.size = size;
    e.mtime = mtime;
    e.nlink = 1;
    e.dev = 0x7b;
    e.ino = 0x2b5d4;
    return e;
}

} // namespace

TEST(ServerNormalizePath, AbsoluteRelativeDotsAndSlashes)
{
    EXPECT_EQ(normalize_path("/", ""), "/");
    EXPECT_EQ(normalize_path("/a/b", ""), "/a/b");
    EXPECT_EQ(normalize_path("/a", "b/c.txt"), "/a/b/c.txt");
    EXPECT_EQ(normalize_path("/a", "/x//y/"), "/x/y");
    EXPECT_EQ(normalize_path("/a/b", ".."), "/a");
    EXPECT_EQ(normalize_path("/a/b", "../../../.."), "/"); // ".." stops at the root
    EXPECT_EQ(normalize_path("/a", "./b/./../c"), "/a/c");
    EXPECT_EQ(normalize_path("/", "name with spaces/..."), "/name with spaces/...");
}

TEST(ServerReplyBlock, RecodesAndTerminatesLines)
{
    EXPECT_EQ(format_reply_block("550-Error: PATH_NOT_FOUND\n550-GridFTP-Path: \"/x\"\n550 End.", 0),
              "550-Error: PATH_NOT_FOUND\r\n550-GridFTP-Path: \"/x\"\r\n550 End.\r\n");
    EXPECT_EQ(format_reply_block("500 Error: NOT_IMPLEMETED\r\n", 0), "500 Error: NOT_IMPLEMETED\r\n");
    // Lines without a code get the first line's code; a text without any, 451.
    EXPECT_EQ(format_reply_block("553-a\nb\n553 c", 0), "553-a\r\n553-b\r\n553 c\r\n");
    EXPECT_EQ(format_reply_block("something broke", 0), "451 something broke\r\n");
    EXPECT_EQ(format_reply_block("", 0), "451 Requested action not taken.\r\n");
    EXPECT_EQ(format_reply_block("530-Login refused.\n550-Error: X\n550 End.", 530),
              "530-Login refused.\r\n530-Error: X\r\n530 End.\r\n");
    // An error reply never carries a code that is not an error's, and no
    // bare CR stays inside a line.
    EXPECT_EQ(format_reply_block("000 zero", 0), "451 zero\r\n");
    EXPECT_EQ(format_reply_block("226 done", -7), "451 done\r\n");
    EXPECT_EQ(format_reply_block("550 a\rb", 0), "550-a\r\n550 b\r\n");
}

TEST(ServerListing, LsLineAndFacts)
{
    time_t now = 1796800000; // 2026-12-09
    auto file = entry("a.txt", S_IFREG | 0644, 1234, now - 3600);
    std::string line = render_list_line(file, "ann", now);
    EXPECT_EQ(line.substr(0, 10), "-rw-r--r--");
    EXPECT_NE(line.find(" ann      ann "), std::string::npos) << line;
    EXPECT_NE(line.find(" 1234 "), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 6), " a.txt");

    auto old_dir = entry("old", S_IFDIR | 0755, 0, 0);
    std::string dir_line = render_list_line(old_dir, "ann", now);
    EXPECT_EQ(dir_line[0], 'd');
    EXPECT_NE(dir_line.find("Jan  1  1970 old"), std::string::npos) << dir_line;

    EXPECT_EQ(render_mlsx_facts(file, false).substr(0, 15), "type=file;size=");
    EXPECT_EQ(render_mlsx_facts(entry(".", S_IFDIR | 0755, 0, 0), true),
              "type=cdir;size=0;modify=19700101000000;unique=7b-2b5d4;perm=cdeflmp; .");
    EXPECT_EQ(render_mlsx_facts(entry("ro", S_IFREG | 0444, 5, 0), false),
              "type=file;size=5;modify=19700101000000;unique=7b-2b5d4;perm=r; ro");
    // A name with a line break cannot end the listing line early.
    EXPECT_EQ(render_mlsx_facts(entry("a\r\nb", S_IFREG | 0644, 1, 0), false).substr(60).find('\n'), std::string::npos);
    EXPECT_EQ(render_nlst_line(entry("a\r\n226 b", S_IFREG | 0644, 1, 0)), "a??226 b");
    EXPECT_EQ(render_ftp_time(1796800000), "20261209070640");
    // Times beyond the four-digit years show as the nearest time within them,
    // and the ls line computes no overflowing age for them.
    EXPECT_EQ(render_ftp_time(std::numeric_limits<time_t>::max()), "99991231235959");
    EXPECT_EQ(render_ftp_time(std::numeric_limits<time_t>::min()), "00000101000000");
    EXPECT_NE(render_list_line(entry("far", S_IFREG | 0644, 1, std::numeric_limits<time_t>::min()), "ann", now)
                  .find("Jan  1     0 far"),
              std::string::npos);
}

TEST(ServerUsers, LoadVerifyAndErrors)
{
    std::string line = make_user_line("ann", "s3cret");
    ASSERT_EQ(line.rfind("ann:$y$", 0), 0u) << line;  // yescrypt, as mkpasswd and /etc/shadow write it
    EXPECT_NE(make_user_line("ann", "s3cret"), line); // a fresh salt each time
    // "openssl passwd -6 -salt saltsalt 'pw six'"
    std::string carol = "carol:$6$saltsalt$9Os.EnXh9LARo8oOGe6/bD8bHA7zsmMWP.3rbNZGjLYGIGXUOhzbpx3VqQ5pB2IA.grf/"
                        "1TipIWGJIPAAS01c.:/creds/carol.json";
    std::string path = temp_file("# users\n\n" + line + "\nbob:sha256:salt:" + sha256_hex("saltpw") +
                                 ":/creds/bob.json:/policy/bob.json\n" + carol + "\n");
    std::vector<UserEntry> users;
    std::string error;
    ASSERT_TRUE(load_users(path, &users, &error)) << error;
    ASSERT_EQ(users.size(), 3u);
    EXPECT_TRUE(verify_password(*find_user(users, "carol"), "pw six"));
    EXPECT_FALSE(verify_password(*find_user(users, "carol"), "pw seven"));
    EXPECT_EQ(find_user(users, "carol")->creds_file, "/creds/carol.json");
    auto ann = find_user(users, "ann");
    ASSERT_TRUE(ann);
    EXPECT_TRUE(verify_password(*ann, "s3cret"));
    EXPECT_FALSE(verify_password(*ann, "s3cret "));
    EXPECT_FALSE(verify_password(*ann, ""));
    auto bob = find_user(users, "bob");
    ASSERT_TRUE(bob);
    EXPECT_TRUE(verify_password(*bob, "pw"));
    EXPECT_EQ(bob->creds_file, "/creds/bob.json");
    EXPECT_EQ(bob->policy_file, "/policy/bob.json");
    EXPECT_FALSE(find_user(users, "dave"));
    std::remove(path.c_str());

    // MD5 and DES crypt hashes are too weak to accept.
    for (const char *bad : {"ann:$1$salt$9GHNWvCB1UrDZjPi7uags0", "ann:abJnggxhB/yWI", "ann:md5:s:0123",
                            "ann:sha256::", "ann:sha256:s:XYZ", ":sha256:s:abc",
                            "ann:sha256:s:0000000000000000000000000000000000000000000000000000000000000000\n"
                            "ann:sha256:s:0000000000000000000000000000000000000000000000000000000000000000"}) {
        std::string p = temp_file(std::string(bad) + "\n");
        EXPECT_FALSE(load_users(p, &users, &error)) << bad;
        EXPECT_NE(error.find(p + ":"), std::string::npos) << error;
        std::remove(p.c_str());
    }
    EXPECT_FALSE(load_users("/nonexistent/users", &users, &error));
    EXPECT_EQ(error, "/nonexistent/users: No such file or directory");
}

TEST(ServerSettings, CommandLineOverridesFileAndChecksValues)
{
    std::string conf = temp_file("# server\nlisten = 127.0.0.2\nport = 2200\npassive-ports = 30000-30010\n"
                                 "allow-anonymous\ncksm-interval = 0\npassive-address = 192.0.2.7\n");
    std::string arg_config = "--config=" + conf;
    const char *argv[] = {"orvel-gridftp-server", arg_config.c_str(), "--port", "0", "--users", "/u"};
    Settings s;
    std::string hash_user;
    ASSERT_EQ(parse_settings(6, const_cast<char **>(argv), &s, &hash_user), ParseResult::run);
    EXPECT_EQ(s.listen_address, "127.0.0.2");
    EXPECT_EQ(s.port, 0);
    EXPECT_EQ(s.passive_low, 30000);
    EXPECT_EQ(s.passive_high, 30010);
    EXPECT_EQ(s.passive_address, "192.0.2.7");
    EXPECT_TRUE(s.allow_anonymous);
    EXPECT_EQ(s.cksm_interval, 0);
    EXPECT_EQ(s.users_file, "/u");
    EXPECT_FALSE(s.plugin_path.empty());
    std::remove(conf.c_str());

    for (std::vector<const char *> bad : {std::vector<const char *>{"x", "--port", "70000"},
                                          {"x", "--passive-ports", "10-5"},
                                          {"x", "--no-such-option", "1"},
                                          {"x", "--idle-timeout"},
                                          {"x", "--passive-address", "ftp.example.org"},
                                          {"x", "--passive-address", "::1"},
                                          {"x", "stray"}}) {
        Settings t;
        testing::internal::CaptureStderr();
        EXPECT_NE(parse_settings(static_cast<int>(bad.size()), const_cast<char **>(bad.data()), &t, &hash_user),
                  ParseResult::run);
        testing::internal::GetCapturedStderr();
    }

    EXPECT_TRUE(is_loopback_address("127.0.0.1"));
    EXPECT_TRUE(is_loopback_address("127.1.2.3"));
    EXPECT_TRUE(is_loopback_address("::1"));
    EXPECT_FALSE(is_loopback_address("0.0.0.0"));
    EXPECT_FALSE(is_loopback_address("10.0.0.1"));
    EXPECT_EQ(expand_user("/etc/creds-%u.json", "ann"), "/etc/creds-ann.json");
    EXPECT_EQ(expand_user("/etc/%x%", "ann"), "/etc/%x%");
}

TEST(ServerSettings, ClearTextOnlyOnLoopbackUnlessAllowed)
{
    Settings s;
    s.users_file = "/etc/hostname";
    s.plugin_path = "/etc/hostname";
    EXPECT_TRUE(clear_text_logins_allowed(s)); // 127.0.0.1
    s.listen_address = "0.0.0.0";
    EXPECT_FALSE(clear_text_logins_allowed(s));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(validate_settings(s)); // no certificate, no explicit setting: refuses to start
    EXPECT_NE(testing::internal::GetCapturedStderr().find("without TLS"), std::string::npos);
    s.allow_clear_text = 1;
    EXPECT_TRUE(clear_text_logins_allowed(s));
    EXPECT_TRUE(validate_settings(s));
    s.listen_address = "127.0.0.1";
    s.allow_clear_text = 0;
    EXPECT_FALSE(clear_text_logins_allowed(s));
}

TEST(ServerCertMap, QuotedSubjectsAndUserLists)
{
    std::string path = temp_file("# subjects\n\"/O=Grid/CN=Ann Example\" ann, ann-robot\n"
                                 "/O=Grid/CN=bob bob\n");
    std::vector<CertMapEntry> map;
    std::string error;
    ASSERT_TRUE(load_cert_map(path, &map, &error)) << error;
    EXPECT_EQ(users_for_subject(map, "/O=Grid/CN=Ann Example"), (std::vector<std::string>{"ann", "ann-robot"}));
    EXPECT_EQ(users_for_subject(map, "/O=Grid/CN=bob"), (std::vector<std::string>{"bob"}));
    EXPECT_TRUE(users_for_subject(map, "/O=Grid/CN=Ann").empty());
    std::remove(path.c_str());
    for (const char *bad : {"\"/O=Grid/CN=Ann ann", "\"/O=Grid/CN=Ann\"", "\"CN=Ann\" ann", "\"/CN=Ann\" a,,b"}) {
        std::string p = temp_file(std::string(bad) + "\n");
        EXPECT_FALSE(load_cert_map(p, &map, &error)) << bad;
        EXPECT_NE(error.find(p + ":1:"), std::string::npos) << error;
        std::remove(p.c_str());
    }
}

TEST(ServerLoginThrottle, SpacesAnswersPerAddressAndPerNameAfterAFailure)
{
    LoginThrottle throttle(1000, 60000);
    EXPECT_EQ(throttle.reserve("10.0.0.1", "ann", 0), 0); // nothing failed yet: no wait
    EXPECT_EQ(throttle.reserve("10.0.0.1", "ann", 0), 0);
    throttle.record_failure("10.0.0.1", "ann", 100);
    // Parallel attempts from the address, whatever the name, queue one a second.
    EXPECT_EQ(throttle.reserve("10.0.0.1", "bob", 100), 1000);
    EXPECT_EQ(throttle.reserve("10.0.0.1", "carol", 100), 2000);
    // ... and so do attempts for the name from anywhere.
    EXPECT_EQ(throttle.reserve("10.9.9.9", "ann", 100), 1000);
    EXPECT_EQ(throttle.reserve("10.8.8.8", "ann", 100), 2000);
    EXPECT_EQ(throttle.reserve("10.9.9.9", "dave", 100), 0); // neither failed
    // Failures are forgotten after the memory time.
    EXPECT_EQ(throttle.reserve("10.0.0.1", "bob", 100000), 0);
    EXPECT_EQ(throttle.remembered(), 0u);
}

TEST(ServerDataConnection, ReceivesToTheEndAndSendsInOrder)
{
    orvel_module_activate(&orvel_i_common_module);
    sockaddr_storage local{};
    auto &in = reinterpret_cast<sockaddr_in &>(local);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int port = 0;
    std::string error;
    int listen_fd = open_passive_listener(local, 0, 0, &port, &error);
    ASSERT_GE(listen_fd, 0) << error;
    DataConnection connection(listen_fd, local, 5);

    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    in.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&local), sizeof(sockaddr_in)), 0);
    ASSERT_TRUE(connection.open(&error)) << error;

    // The client's bytes up to its end of data.
    ASSERT_EQ(::send(client, "upload", 6, 0), 6);
    ::shutdown(client, SHUT_WR);
    char buffer[16];
    std::string uploaded;
    for (bool eof = false; !eof;) {
        size_t n = 0;
        ASSERT_EQ(connection.read(buffer, sizeof buffer, &n, &eof), ORVEL_SUCCESS);
        uploaded.append(buffer, n);
    }
    EXPECT_EQ(uploaded, "upload");

    // A restart may begin anywhere; then the bytes follow each other.
    ASSERT_EQ(connection.write("abc", 3, 100), ORVEL_SUCCESS);
    ASSERT_EQ(connection.write("def", 3, 103), ORVEL_SUCCESS);
    orvel_result_t rc = connection.write("zzz", 3, 200);
    ASSERT_NE(rc, ORVEL_SUCCESS);
    orvel_object_t *failure = orvel_error_get(rc);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(failure), 451);
    orvel_object_free(failure);
    EXPECT_EQ(connection.bytes_moved(), 12u);
    connection.close();

    std::string received;
    ssize_t got;
    while ((got = ::recv(client, buffer, sizeof buffer, 0)) > 0)
        received.append(buffer, static_cast<size_t>(got));
    EXPECT_EQ(received, "abcdef");
    ::close(client);
    orvel_module_deactivate(&orvel_i_common_module);
}
