// Helpers shared by the fuzz programs: cutting an input into pieces, and an
// input as a file for code that reads files.
#pragma once

#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvel::fuzz {

// The input cut at each NUL byte into at most `max` pieces; the last piece
// keeps the rest, NUL bytes included.
inline std::vector<std::string> split(const uint8_t *data, size_t size, size_t max)
{
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && pieces.size() < max)
            pieces.emplace_back();
        else
            pieces.back() += static_cast<char>(data[i]);
    }
    return pieces;
}

// A file in memory with the given contents; path() names it for open().
class MemoryFile {
public:
    explicit MemoryFile(const std::string &contents) : fd_(memfd_create("fuzz-input", MFD_CLOEXEC))
    {
        for (size_t done = 0; fd_ >= 0 && done < contents.size();) {
            ssize_t n = ::write(fd_, contents.data() + done, contents.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
    }
    ~MemoryFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};

// An account lookup that finds no entry, for the plug-in's system-call
// table: the plug-in then keeps its shared state in process memory and
// writes no files.
inline int no_account(uid_t, struct passwd *, char *, size_t, struct passwd **result)
{
    *result = nullptr;
    return 0;
}

} // namespace orvel::fuzz
