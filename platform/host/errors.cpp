// Reply errors (an FTP reply code, an error code and a message), system errors
// (errno and a message), their accessors, and the rendering of an error chain
// as a multi-line FTP reply.
#include "orvel_gridftp_server.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ------------------------------------------------------------ text helpers

// vsnprintf into a std::string; an empty text for a null format.
std::string format_text(const char *fmt, va_list ap)
{
    if (fmt == nullptr) {
        return {};
    }
    va_list copy;
    va_copy(copy, ap);
    int needed = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (needed <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(needed), '\0');
    vsnprintf(text.data(), text.size() + 1, fmt, ap);
    return text;
}

char *dup_text(const std::string &text)
{
    char *copy = static_cast<char *>(malloc(text.size() + 1));
    if (copy != nullptr) {
        memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

char *dup_or_null(const char *text)
{
    return text == nullptr ? nullptr : strdup(text);
}

std::string errno_text(int value)
{
    char buffer[256];
    buffer[0] = '\0';
    // GNU strerror_r returns the text (possibly not in buffer).
    const char *text = strerror_r(value, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string("Unknown error ") + std::to_string(value);
}

// ------------------------------------------------------------- reply error

struct ReplyErrorData {
    int code;
    char *error_code; // may be null
    char *message;    // never null once constructed ("" when none)
};

void reply_error_free(void *data)
{
    auto *d = static_cast<ReplyErrorData *>(data);
    if (d == nullptr) {
        return;
    }
    free(d->error_code);
    free(d->message);
    free(d);
}

void reply_error_copy(void *src, void **dst)
{
    *dst = nullptr;
    auto *s = static_cast<ReplyErrorData *>(src);
    if (s == nullptr) {
        return;
    }
    auto *d = static_cast<ReplyErrorData *>(calloc(1, sizeof(ReplyErrorData)));
    if (d == nullptr) {
        return;
    }
    d->code = s->code;
    d->error_code = dup_or_null(s->error_code);
    d->message = dup_or_null(s->message);
    if ((s->error_code != nullptr && d->error_code == nullptr) || (s->message != nullptr && d->message == nullptr)) {
        reply_error_free(d);
        return;
    }
    *dst = d;
}

ReplyErrorData *reply_data(orvel_object_t *error)
{
    orvel_object_t *view = orvel_object_upcast(error, &ORVEL_GFS_ERROR_FTP_RESPONSE_TYPE_DEFINITION);
    return view == nullptr ? nullptr : static_cast<ReplyErrorData *>(orvel_object_get_local_instance_data(view));
}

// "550 PATH_NOT_FOUND: GridFTP-Path: \"/a\"" (the message left out when empty).
char *reply_error_printable(orvel_object_t *error)
{
    ReplyErrorData *d = reply_data(error);
    if (d == nullptr) {
        return strdup("reply error");
    }
    std::string text = std::to_string(d->code);
    if (d->error_code != nullptr && d->error_code[0] != '\0') {
        text += ' ';
        text += d->error_code;
    }
    if (d->message != nullptr && d->message[0] != '\0') {
        text += ": ";
        text += d->message;
    }
    return dup_text(text);
}

// ------------------------------------------------------------ system error

struct SystemErrorData {
    int ftp_code;
    int system_errno;
    char *message; // the caller's text followed by ": " and the errno text
};

void system_error_free(void *data)
{
    auto *d = static_cast<SystemErrorData *>(data);
    if (d == nullptr) {
        return;
    }
    free(d->message);
    free(d);
}

void system_error_copy(void *src, void **dst)
{
    *dst = nullptr;
    auto *s = static_cast<SystemErrorData *>(src);
    if (s == nullptr) {
        return;
    }
    auto *d = static_cast<SystemErrorData *>(calloc(1, sizeof(SystemErrorData)));
    if (d == nullptr) {
        return;
    }
    *d = *s;
    d->message = dup_or_null(s->message);
    if (s->message != nullptr && d->message == nullptr) {
        free(d);
        return;
    }
    *dst = d;
}

SystemErrorData *system_data(orvel_object_t *error)
{
    orvel_object_t *view = orvel_object_upcast(error, &ORVEL_GFS_ERROR_SYSTEM_TYPE_DEFINITION);
    return view == nullptr ? nullptr : static_cast<SystemErrorData *>(orvel_object_get_local_instance_data(view));
}

char *system_error_printable(orvel_object_t *error)
{
    SystemErrorData *d = system_data(error);
    if (d == nullptr || d->message == nullptr) {
        return strdup("System error");
    }
    return strdup(d->message);
}

// ----------------------------------------------------------- FTP rendering

// Splits a text at every CR and LF, drops empty pieces and turns the other
// control characters into spaces, so that no text can end or forge a reply.
void append_lines(std::vector<std::string> &lines, std::string_view text)
{
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) {
                lines.push_back(std::move(line));
            }
            line.clear();
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            line += ' ';
        } else {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
}

void append_owned_text(std::vector<std::string> &lines, char *text)
{
    if (text != nullptr) {
        append_lines(lines, text);
        free(text);
    }
}

} // namespace

extern "C" {

const orvel_object_type_t ORVEL_GFS_ERROR_FTP_RESPONSE_TYPE_DEFINITION = {
    &ORVEL_ERROR_TYPE_BASE_DEFINITION, reply_error_copy, reply_error_free,
    reinterpret_cast<const void *>(&reply_error_printable)};

const orvel_object_type_t ORVEL_GFS_ERROR_SYSTEM_TYPE_DEFINITION = {
    &ORVEL_ERROR_TYPE_BASE_DEFINITION, system_error_copy, system_error_free,
    reinterpret_cast<const void *>(&system_error_printable)};

static orvel_object_t *reply_error_vconstruct(orvel_module_descriptor_t *base_source, orvel_object_t *base_cause,
                                              int response_code, const char *response_error_code, const char *fmt,
                                              va_list ap)
{
    // Out of memory is a null error here, never an exception thrown into the
    // C caller.
    std::string message;
    try {
        message = format_text(fmt, ap);
    } catch (...) {
        orvel_object_free(base_cause);
        return nullptr;
    }
    orvel_object_t *error = orvel_object_construct(&ORVEL_GFS_ERROR_FTP_RESPONSE_TYPE_DEFINITION);
    if (error == nullptr) {
        orvel_object_free(base_cause);
        return nullptr;
    }
    if (orvel_error_initialize_base(error, base_source, base_cause) == nullptr) {
        orvel_object_free(error);
        orvel_object_free(base_cause);
        return nullptr;
    }
    auto *data = static_cast<ReplyErrorData *>(calloc(1, sizeof(ReplyErrorData)));
    if (data != nullptr) {
        data->code = response_code;
        data->error_code = dup_or_null(response_error_code);
        data->message = dup_text(message);
    }
    if (data == nullptr || data->message == nullptr ||
        (response_error_code != nullptr && data->error_code == nullptr)) {
        reply_error_free(data);
        orvel_object_free(error); // frees the cause with it
        return nullptr;
    }
    orvel_object_set_local_instance_data(error, data);
    return error;
}

orvel_object_t *orvel_gfs_ftp_response_error_construct(orvel_module_descriptor_t *base_source,
                                                       orvel_object_t *base_cause, int response_code,
                                                       const char *response_error_code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    orvel_object_t *error =
        reply_error_vconstruct(base_source, base_cause, response_code, response_error_code, fmt, ap);
    va_end(ap);
    return error;
}

orvel_object_t *orvel_i_gfs_error_system(int ftp_code, int system_errno, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string message;
    bool made = true;
    try {
        message = format_text(fmt, ap);
        if (message.empty()) {
            message = "System error";
        }
        if (system_errno != 0) {
            message += ": ";
            message += errno_text(system_errno);
        }
    } catch (...) {
        made = false; // out of memory: a null error, as for any other allocation
    }
    va_end(ap);
    if (!made) {
        return nullptr;
    }
    orvel_object_t *error = orvel_object_construct(&ORVEL_GFS_ERROR_SYSTEM_TYPE_DEFINITION);
    if (error == nullptr) {
        return nullptr;
    }
    if (orvel_error_initialize_base(error, nullptr, nullptr) == nullptr) {
        orvel_object_free(error);
        return nullptr;
    }
    auto *data = static_cast<SystemErrorData *>(calloc(1, sizeof(SystemErrorData)));
    if (data != nullptr) {
        data->ftp_code = ftp_code;
        data->system_errno = system_errno;
        data->message = dup_text(message);
    }
    if (data == nullptr || data->message == nullptr) {
        system_error_free(data);
        orvel_object_free(error);
        return nullptr;
    }
    orvel_object_set_local_instance_data(error, data);
    return error;
}

static ReplyErrorData *first_reply_error(orvel_object_t *error, orvel_object_t **found)
{
    for (orvel_object_t *e = error; e != nullptr; e = orvel_error_get_cause(e)) {
        if (ReplyErrorData *d = reply_data(e)) {
            if (found != nullptr) {
                *found = e;
            }
            return d;
        }
    }
    return nullptr;
}

int orvel_gfs_error_get_ftp_response_code(orvel_object_t *error)
{
    ReplyErrorData *d = first_reply_error(error, nullptr);
    return d == nullptr ? 0 : d->code;
}

const char *orvel_gfs_error_get_ftp_response_error_code(orvel_object_t *error)
{
    ReplyErrorData *d = first_reply_error(error, nullptr);
    return d == nullptr ? nullptr : d->error_code;
}

const char *orvel_gfs_error_get_ftp_response_message(orvel_object_t *error)
{
    ReplyErrorData *d = first_reply_error(error, nullptr);
    return d == nullptr ? nullptr : d->message;
}

int orvel_gfs_error_get_system_errno(orvel_object_t *error)
{
    for (orvel_object_t *e = error; e != nullptr; e = orvel_error_get_cause(e)) {
        if (SystemErrorData *d = system_data(e)) {
            return d->system_errno;
        }
    }
    return 0;
}

/*
 * Reply layout:
 *   CODE-Error: ERROR_CODE
 *   CODE-<message lines>
 *   CODE-<each line of the other errors of the chain>
 *   CODE End.
 * When there is nothing beyond the code: "CODE Error: ERROR_CODE". A chain
 * without a reply error answers 451 (or the code a system error was made
 * with) and lists the chain's text. Codes outside 400-599 answer 451.
 */
char *orvel_gfs_error_to_ftp_reply(orvel_object_t *error)
{
    static const char local_error[] = "Requested action aborted: local error in processing.";
    orvel_object_t *reply_error = nullptr;
    ReplyErrorData *d = first_reply_error(error, &reply_error);

    int code = 451;
    std::string head;
    std::vector<std::string> lines;
    if (d != nullptr) {
        code = d->code;
        head = "Error";
        if (d->error_code != nullptr && d->error_code[0] != '\0') {
            head += ": ";
            head += d->error_code;
        }
        // Errors that wrap the reply error come first, then its message and
        // its causes.
        for (orvel_object_t *e = error; e != nullptr && e != reply_error; e = orvel_error_get_cause(e)) {
            append_owned_text(lines, orvel_error_print_one(e));
        }
        if (d->message != nullptr) {
            append_lines(lines, d->message);
        }
        if (orvel_object_t *cause = orvel_error_get_cause(reply_error)) {
            append_owned_text(lines, orvel_error_print_chain(cause));
        }
    } else {
        for (orvel_object_t *e = error; e != nullptr; e = orvel_error_get_cause(e)) {
            if (SystemErrorData *s = system_data(e)) {
                if (s->ftp_code >= 400 && s->ftp_code <= 599) {
                    code = s->ftp_code;
                }
                break;
            }
        }
        head = local_error;
        if (error != nullptr) {
            append_owned_text(lines, orvel_error_print_chain(error));
        }
    }
    // An error answers with a failure code: three digits (anything else would
    // break the client's parser) and never a preliminary, success or
    // intermediate code that would tell the client the command went through.
    if (code < 400 || code > 599) {
        code = 451;
    }
    const std::string prefix = std::to_string(code);
    std::vector<std::string> all;
    append_lines(all, head);
    all.insert(all.end(), lines.begin(), lines.end());
    std::string reply;
    if (all.size() <= 1) {
        reply = prefix + " " + (all.empty() ? std::string("Error") : all.front()) + "\r\n";
    } else {
        // An error code broken over several lines keeps every piece.
        for (const std::string &line : all) {
            reply += prefix + "-" + line + "\r\n";
        }
        reply += prefix + " End.\r\n";
    }
    return dup_text(reply);
}

} // extern "C"
