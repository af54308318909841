// Checksum command: the service's content hash without a transfer, ranges
// and their "Range" headers, progress replies, repeated attempts, and every
// algorithm checked against digests made by an independent tool (Python's
// hashlib and zlib).
#include "dropbox_session_fixture.hpp"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace orvel::test {
namespace {

std::string pattern(size_t size)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    return out;
}

// Digests of `data` by Python: algorithm name (upper case) -> lowercase hex.
std::map<std::string, std::string> reference_digests(const std::string &data)
{
    std::string dir = make_temp_dir("orvel-cksm-ref");
    std::string file = dir + "/data";
    std::ofstream(file, std::ios::binary) << data;
    static const char *script = R"PY(
import hashlib, sys, zlib
data = open(sys.argv[1], "rb").read()
def quickxor(data):
    h = 0
    for i, b in enumerate(data):
        v = b << ((i * 11) % 160)
        h ^= (v & ((1 << 160) - 1)) | (v >> 160)
    out = bytearray(h.to_bytes(20, "little"))
    for i, b in enumerate(len(data).to_bytes(8, "little")):
        out[12 + i] ^= b
    return out.hex()
def content_hash(data):
    blocks = b"".join(hashlib.sha256(data[i:i + 4194304]).digest() for i in range(0, len(data), 4194304))
    return hashlib.sha256(blocks).hexdigest()
for name in ("md5", "sha1", "sha256", "sha512"):
    print(name.upper(), hashlib.new(name, data).hexdigest())
print("ADLER32", "%08x" % (zlib.adler32(data) & 0xffffffff))
print("QUICKXORHEX", quickxor(data))
print("DROPBOX", content_hash(data))
)PY";
    std::string script_file = dir + "/ref.py";
    std::ofstream(script_file) << script;
    std::map<std::string, std::string> out;
    FILE *pipe = popen(("/usr/bin/python3 " + script_file + " " + file).c_str(), "r");
    if (pipe != nullptr) {
        char line[512];
        while (fgets(line, sizeof line, pipe) != nullptr) {
            std::istringstream words(line);
            std::string name, hex;
            words >> name >> hex;
            out[name] = hex;
        }
        pclose(pipe);
    }
    remove_tree(dir);
    return out;
}

class CksmDigest : public DropboxSession {
protected:
    host::Outcome cksm(const std::string &path, const std::string &alg, int64_t offset = 0, int64_t length = -1,
                       int interval = 0)
    {
        host::CommandRequest request;
        request.command = ORVEL_GFS_CMD_CKSM;
        request.pathname = path;
        request.cksm_alg = alg;
        request.cksm_offset = offset;
        request.cksm_length = length;
        request.update_interval = interval;
        return session_->command(request);
    }
    const std::string data_ = pattern(300000);
};

TEST_F(CksmDigest, ServiceHashInAnyLetterCaseNeedsNoDownload)
{
    emu_->put_file("/f.bin", data_);
    std::map<std::string, std::string> ref = reference_digests(data_);
    ASSERT_FALSE(ref["DROPBOX"].empty());
    start();
    for (const char *alg : {"DROPBOX", "dropbox", "Dropbox", "dRoPbOx"}) {
        host::Outcome outcome = cksm("/f.bin", alg);
        ASSERT_TRUE(outcome.ok()) << alg << ": " << outcome.chain_text();
        EXPECT_EQ(outcome.reply_text, ref["DROPBOX"]) << alg;
    }
    EXPECT_EQ(count(kDownload), 0u);
}

TEST_F(CksmDigest, EveryAlgorithmMatchesAnIndependentTool)
{
    emu_->put_file("/f.bin", data_);
    std::map<std::string, std::string> ref = reference_digests(data_);
    ASSERT_EQ(ref.size(), 7u);
    start();
    for (const char *alg : {"MD5", "SHA1", "SHA256", "SHA512", "ADLER32", "QuickXORHex"}) {
        std::string upper = alg;
        for (char &c : upper)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        host::Outcome outcome = cksm("/f.bin", alg);
        ASSERT_TRUE(outcome.ok()) << alg << ": " << outcome.chain_text();
        EXPECT_EQ(outcome.reply_text, ref[upper]) << alg;
    }
    EXPECT_EQ(count(kDownload), 6u);
    EXPECT_EQ(header(kDownload, "Range"), "<none>");
    // The three stored digests land in the cached record.
    ASSERT_NE(cached("/f.bin"), nullptr);
    EXPECT_STREQ(cached("/f.bin")->md5, ref["MD5"].c_str());
    EXPECT_STREQ(cached("/f.bin")->sha1, ref["SHA1"].c_str());
    EXPECT_STREQ(cached("/f.bin")->sha256, ref["SHA256"].c_str());
}

TEST_F(CksmDigest, RangesAndTheirHeaders)
{
    emu_->put_file("/f.bin", data_);
    start();
    struct Case {
        const char *alg;
        int64_t offset, length;
        const char *range;
    } cases[] = {{"DROPBOX", 10, -1, "bytes=10-"},
                 {"MD5", 0, 100, "bytes=0-99"},
                 {"SHA256", 1000, 5000, "bytes=1000-5999"},
                 {"ADLER32", 299990, -1, "bytes=299990-"}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case &c = cases[i];
        std::string part = c.length == -1 ? data_.substr(c.offset) : data_.substr(c.offset, c.length);
        std::map<std::string, std::string> ref = reference_digests(part);
        host::Outcome outcome = cksm("/f.bin", c.alg, c.offset, c.length);
        ASSERT_TRUE(outcome.ok()) << c.alg << ": " << outcome.chain_text();
        EXPECT_EQ(outcome.reply_text, ref[c.alg]) << c.alg << " " << c.range;
        EXPECT_EQ(header(kDownload, "Range", i), c.range);
    }
    // A partial digest is never stored as the file's.
    EXPECT_EQ(cached("/f.bin")->sha256, nullptr);
}

TEST_F(CksmDigest, LengthZeroIsTheDigestOfNothing)
{
    emu_->put_file("/f.bin", data_);
    start();
    host::Outcome outcome = cksm("/f.bin", "MD5", 5, 0);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(outcome.reply_text, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(count(kDownload), 0u);
}

TEST_F(CksmDigest, FailuresCarryNoDigest)
{
    emu_->make_folder("/dir");
    emu_->put_file("/f.bin", data_);
    start();
    host::Outcome folder = cksm("/dir", "MD5");
    EXPECT_FALSE(folder.ok());
    EXPECT_TRUE(folder.reply_text_null);
    EXPECT_EQ(count(kDownload), 1u);

    host::Outcome missing = cksm("/none.bin", "MD5");
    EXPECT_EQ(missing.error_code(), "PATH_NOT_FOUND");

    host::Outcome unknown = cksm("/f.bin", "CRC99");
    EXPECT_FALSE(unknown.ok());
    EXPECT_EQ(count(kDownload), 1u);

    host::Outcome bad_range = cksm("/f.bin", "MD5", -5, 10);
    EXPECT_FALSE(bad_range.ok());
    // A range whose last byte lies beyond every possible offset.
    host::Outcome past_end = cksm("/f.bin", "MD5", 10, INT64_MAX);
    EXPECT_FALSE(past_end.ok());
    EXPECT_TRUE(past_end.reply_text_null);
    EXPECT_EQ(count(kDownload), 1u);
}

TEST_F(CksmDigest, NoProgressRepliesAtIntervalZero)
{
    emu_->put_file("/f.bin", data_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "action": "delay_start", "delay_ms": 1100})");
    host::Outcome outcome = cksm("/f.bin", "SHA1", 0, -1, 0);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_TRUE(outcome.intermediate.empty());
}

TEST_F(CksmDigest, ProgressReplyCarriesTheRunningByteCount)
{
    emu_->put_file("/f.bin", data_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "action": "delay_start", "delay_ms": 1100})");
    host::Outcome outcome = cksm("/f.bin", "SHA1", 0, -1, 1);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    ASSERT_FALSE(outcome.intermediate.empty());
    long long first = std::stoll(outcome.intermediate.front());
    EXPECT_GT(first, 0);
    EXPECT_LE(first, static_cast<long long>(data_.size()));
}

TEST_F(CksmDigest, RepeatedDownloadContinuesTheDigestWhereItStopped)
{
    emu_->put_file("/f.bin", data_);
    std::map<std::string, std::string> ref = reference_digests(data_.substr(100, 200000));
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 70000})");
    host::Outcome outcome = cksm("/f.bin", "SHA512", 100, 200000);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(outcome.reply_text, ref["SHA512"]);
    ASSERT_EQ(count(kDownload), 2u);
    EXPECT_EQ(header(kDownload, "Range", 1), "bytes=70100-200099");
}

TEST_F(CksmDigest, RedirectOrAWholeFileForARangeIsNoDigest)
{
    emu_->put_file("/f.bin", data_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "status": 302, "body": "<html>moved</html>"})");
    host::Outcome redirected = cksm("/f.bin", "MD5");
    EXPECT_FALSE(redirected.ok());
    EXPECT_TRUE(redirected.reply_text_null);
    EXPECT_NE(redirected.chain_text().find("HTTP status 302"), std::string::npos) << redirected.chain_text();

    emu_->add_fault(R"({"path": "/2/files/download", "action": "ignore_range"})");
    host::Outcome whole = cksm("/f.bin", "MD5", 2, 3);
    EXPECT_FALSE(whole.ok());
    EXPECT_TRUE(whole.reply_text_null);
}

TEST_F(CksmDigest, ErrorReplyBodyNeverReachesTheDigest)
{
    emu_->put_file("/f.bin", data_);
    std::map<std::string, std::string> ref = reference_digests(data_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "status": 503, "headers": {"Retry-After": "0"},
                        "body": "temporarily unavailable"})");
    host::Outcome outcome = cksm("/f.bin", "MD5");
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(outcome.reply_text, ref["MD5"]);
    EXPECT_EQ(count(kDownload), 2u);
}

} // namespace
} // namespace orvel::test
