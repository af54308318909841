// The server's listing lines and error replies, from stat records and reply
// texts of any content: every line stays one line, times have the 14 digits
// MDTM and the "modify" fact promise, and an error reply is a well-formed
// reply block with a failure code.
// Input: mode, size, modification time, "now", device and inode numbers and
// a reply code (fixed-width fields), then the name, a NUL byte, a reply text.
#include "ftp_session.hpp"
#include "fuzz_support.hpp"
#include "listing.hpp"

#include <cstring>

namespace {

template <typename T>
T take(const uint8_t *&data, size_t &size)
{
    T value{};
    size_t n = size < sizeof value ? size : sizeof value;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool one_line(const std::string &text)
{
    return text.find_first_of("\r\n") == std::string::npos;
}

bool digits(const std::string &text, size_t count)
{
    return text.size() == count && text.find_first_not_of("0123456789") == std::string::npos;
}

// Every line "NNN-..." or, the last, "NNN ...", with one code of 400-599.
bool error_reply_block(const std::string &block)
{
    if (block.size() < 6 || block.compare(block.size() - 2, 2, "\r\n") != 0)
        return false;
    std::string code = block.substr(0, 3);
    if (!digits(code, 3) || code < "400" || code > "599")
        return false;
    for (size_t start = 0; start < block.size();) {
        size_t end = block.find("\r\n", start);
        std::string line = block.substr(start, end - start);
        bool last = end + 2 == block.size();
        if (line.compare(0, 3, code) != 0 || line.size() < 4 || line[3] != (last ? ' ' : '-') ||
            line.find_first_of("\r\n") != std::string::npos)
            return false;
        start = end + 2;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    orvel::host::StatEntry entry;
    entry.mode = take<int>(data, size);
    entry.nlink = take<int>(data, size);
    entry.size = take<int64_t>(data, size);
    entry.mtime = take<time_t>(data, size);
    time_t now = take<time_t>(data, size);
    entry.dev = take<int>(data, size);
    entry.ino = take<int>(data, size);
    int code = take<int>(data, size);
    std::vector<std::string> pieces = orvel::fuzz::split(data, size, 2);
    entry.name = pieces[0];
    std::string reply_text = pieces.size() > 1 ? pieces[1] : "";

    require(digits(orvel::server::render_ftp_time(entry.mtime), 14));
    require(one_line(orvel::server::render_list_line(entry, "owner", now)));
    require(one_line(orvel::server::render_mlsx_facts(entry, (entry.dev & 1) != 0)));
    require(one_line(orvel::server::render_nlst_line(entry)));
    require(error_reply_block(orvel::server::format_reply_block(reply_text, code)));
    require(error_reply_block(orvel::server::format_reply_block(reply_text, 0)));
    return 0;
}
