// The system-call table of the shared state files. Production code calls
// through orvel_i_dropbox_syscalls; tests replace single entries.
#include "orvel_dropbox_common.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int orvel_l_dropbox_open(const char *path, int flags, mode_t mode)
{
    return open(path, flags, mode);
}

int orvel_l_dropbox_fcntl(int fd, int cmd, struct flock *lock)
{
    return fcntl(fd, cmd, lock);
}

} // namespace

const orvel_dropbox_syscalls_t orvel_i_dropbox_syscalls_default = {
    getpwuid_r,            // getpwuid_r
    orvel_l_dropbox_open,  // open
    fstat,                 // fstat
    orvel_l_dropbox_fcntl, // fcntl
    ftruncate,             // ftruncate
    mmap,                  // mmap
    munmap,                // munmap
    close,                 // close
    geteuid,               // geteuid
    getuid,                // getuid
    pread,                 // pread
    pwrite,                // pwrite
};

orvel_dropbox_syscalls_t orvel_i_dropbox_syscalls = orvel_i_dropbox_syscalls_default;
