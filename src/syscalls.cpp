// The system-call table of the shared state files and of memory. Production
// code calls through orvel_i_dropbox_syscalls; tests replace single entries.
#include "orvel_dropbox_common.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The JSON library's allocation functions while the plug-in is active.
void *orvel_l_dropbox_json_malloc(size_t size)
{
    return orvel_i_dropbox_syscalls.malloc(size);
}

void orvel_l_dropbox_json_free(void *pointer)
{
    orvel_i_dropbox_syscalls.free(pointer);
}

// What the JSON library used before the plug-in's activation.
json_malloc_t orvel_l_dropbox_json_saved_malloc = nullptr;
json_free_t orvel_l_dropbox_json_saved_free = nullptr;

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
    malloc,                // malloc
    calloc,                // calloc
    realloc,               // realloc
    free,                  // free
};

orvel_dropbox_syscalls_t orvel_i_dropbox_syscalls = orvel_i_dropbox_syscalls_default;

char *orvel_dropbox_strdup(const char *text)
{
    return orvel_dropbox_strndup(text, SIZE_MAX);
}

char *orvel_dropbox_strndup(const char *text, size_t length)
{
    size_t used = strnlen(text, length);
    auto *copy = static_cast<char *>(orvel_dropbox_malloc(used + 1));
    if (copy != nullptr) {
        memcpy(copy, text, used);
        copy[used] = '\0';
    }
    return copy;
}

int orvel_dropbox_asprintf(char **text_out, const char *format, ...)
{
    *text_out = nullptr;
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    char *text = length >= 0 ? static_cast<char *>(orvel_dropbox_malloc((size_t)length + 1)) : nullptr;
    if (text == nullptr) {
        va_end(ap);
        return -1;
    }
    vsnprintf(text, (size_t)length + 1, format, ap);
    va_end(ap);
    *text_out = text;
    return length;
}

void orvel_i_dropbox_json_alloc_route(void)
{
    json_get_alloc_funcs(&orvel_l_dropbox_json_saved_malloc, &orvel_l_dropbox_json_saved_free);
    json_set_alloc_funcs(orvel_l_dropbox_json_malloc, orvel_l_dropbox_json_free);
}

void orvel_i_dropbox_json_alloc_restore(void)
{
    if (orvel_l_dropbox_json_saved_malloc != nullptr && orvel_l_dropbox_json_saved_free != nullptr)
        json_set_alloc_funcs(orvel_l_dropbox_json_saved_malloc, orvel_l_dropbox_json_saved_free);
    orvel_l_dropbox_json_saved_malloc = nullptr;
    orvel_l_dropbox_json_saved_free = nullptr;
}
