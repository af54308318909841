// The plug-in's debug log: the process-wide handle filled from
// ORVEL_DROPBOX_DEBUG, the level names, the three raw writers and the line
// writer behind the trace macros of the private header.
#include "orvel_common.h"
#include "orvel_dropbox_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/time.h>
#include <unistd.h>

orvel_debug_handle_t orvel_i_ORVEL_DROPBOX_debug_handle = {0, 0, nullptr, false, false};

// Indexed by the level's bit value; every other entry is null.
const char *orvel_i_dropbox_debug_level_names[17] = {
    nullptr, "TRACE", "DEBUG", nullptr, "INFO",  nullptr, nullptr, nullptr, "WARN",
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "ERROR",
};

namespace {

constexpr size_t orvel_l_dropbox_format_size = 4096;

// Writes `format` with `ap` to the stream, preceded by the thread id when the
// handle asks for it.
void orvel_l_dropbox_debug_vprintf(FILE *file, const char *format, va_list ap)
{
    if (!orvel_i_ORVEL_DROPBOX_debug_handle.thread_ids) {
        vfprintf(file, format, ap);
        return;
    }
    unsigned long thread_id = (unsigned long)orvel_thread_self();
    char composed[orvel_l_dropbox_format_size];
    int n = snprintf(composed, sizeof composed, "%lu::%s", thread_id, format);
    if (n < 0 || (size_t)n >= sizeof composed) {
        // A cut format could end inside a conversion: write the pieces apart.
        fprintf(file, "%lu::", thread_id);
        vfprintf(file, format, ap);
        return;
    }
    vfprintf(file, composed, ap);
}

void orvel_l_dropbox_debug_time_vprintf(FILE *file, const char *format, va_list ap)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    unsigned long seconds = (unsigned long)now.tv_sec;
    unsigned long nanoseconds = (unsigned long)now.tv_usec * 1000UL;
    char composed[orvel_l_dropbox_format_size];
    int n;
    if (orvel_i_ORVEL_DROPBOX_debug_handle.thread_ids) {
        unsigned long thread_id = (unsigned long)orvel_thread_self();
        n = snprintf(composed, sizeof composed, "%lu:%lu.%.9lu::%s", thread_id, seconds, nanoseconds, format);
        if (n < 0 || (size_t)n >= sizeof composed) {
            fprintf(file, "%lu:%lu.%.9lu::", thread_id, seconds, nanoseconds);
            vfprintf(file, format, ap);
            return;
        }
    } else {
        n = snprintf(composed, sizeof composed, "%lu.%.9lu::%s", seconds, nanoseconds, format);
        if (n < 0 || (size_t)n >= sizeof composed) {
            fprintf(file, "%lu.%.9lu::", seconds, nanoseconds);
            vfprintf(file, format, ap);
            return;
        }
    }
    vfprintf(file, composed, ap);
}

} // namespace

void orvel_i_ORVEL_DROPBOX_debug_printf(const char *format, ...)
{
    FILE *file = orvel_i_ORVEL_DROPBOX_debug_handle.file;
    if (file == nullptr) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    orvel_l_dropbox_debug_vprintf(file, format, ap);
    va_end(ap);
}

void orvel_i_ORVEL_DROPBOX_debug_time_printf(const char *format, ...)
{
    FILE *file = orvel_i_ORVEL_DROPBOX_debug_handle.file;
    if (file == nullptr) {
        return;
    }
    va_list ap;
    va_start(ap, format);
    orvel_l_dropbox_debug_time_vprintf(file, format, ap);
    va_end(ap);
}

void orvel_i_ORVEL_DROPBOX_debug_fwrite(const void *buffer, size_t size, size_t count)
{
    FILE *file = orvel_i_ORVEL_DROPBOX_debug_handle.file;
    if (file == nullptr) {
        return;
    }
    fwrite(buffer, size, count, file);
}

void orvel_i_dropbox_log_line(int level, const char *func, const char *format, ...)
{
    orvel_debug_handle_t *handle = &orvel_i_ORVEL_DROPBOX_debug_handle;
    if (level <= 0 || level > 16 || orvel_i_dropbox_debug_level_names[level] == nullptr) {
        level = ORVEL_DROPBOX_TRACE;
    }
    uint32_t bit = (uint32_t)level;
    FILE *file = handle->file;
    if ((handle->levels & bit) == 0 || file == nullptr) {
        return;
    }
    flockfile(file);
    // The levels may have changed while this thread waited for the stream.
    if (handle->levels & bit) {
        if (handle->timestamp_levels & bit) {
            orvel_i_ORVEL_DROPBOX_debug_time_printf("Dropbox: %5s: %li: %s: ", orvel_i_dropbox_debug_level_names[level],
                                                    (long)getpid(), func);
        } else {
            orvel_i_ORVEL_DROPBOX_debug_printf("Dropbox: %5s: %li: %s: ", orvel_i_dropbox_debug_level_names[level],
                                               (long)getpid(), func);
        }
        va_list ap;
        va_start(ap, format);
        orvel_l_dropbox_debug_vprintf(file, format, ap);
        va_end(ap);
    }
    funlockfile(file);
}

void orvel_i_dropbox_log_error_exit(const char *func, orvel_result_t result)
{
    // The chain is printed whether or not the line is written.
    orvel_object_t *error = orvel_error_peek(result);
    char *text = error != nullptr ? orvel_error_print_chain(error) : nullptr;
    if (orvel_i_ORVEL_DROPBOX_debug_handle.levels & ORVEL_DROPBOX_ERROR) {
        orvel_i_dropbox_log_line(ORVEL_DROPBOX_ERROR, func, "exit: result=%#x message=%s\n", (unsigned int)result,
                                 text != nullptr ? text : "(null)");
    }
    orvel_dropbox_free(text);
}
