/*
 * The guard at the plug-in's C entry points (C++ only).
 *
 * Every function that the host, the runtime's module machinery or the REST
 * library calls runs its body through one of these guards, so that no C++
 * exception (std::bad_alloc from building a std::string, for one) ever
 * unwinds into C frames. An exception becomes the usual error result: the
 * "malloc" system error for std::bad_alloc, otherwise a generic error naming
 * the entry point and the exception.
 */
#ifndef ORVEL_DROPBOX_GUARD_HPP
#define ORVEL_DROPBOX_GUARD_HPP

#include "orvel_dropbox_common.h"

#include <utility>

/* The result for the exception being handled, logged at ERROR with `entry`.
 * Call it only inside a catch block. Never throws. */
orvel_result_t orvel_i_dropbox_exception_result(const char *entry) noexcept;

/* Runs `body` (returning orvel_result_t) and returns its result, or the
 * exception's. */
template <typename Body>
orvel_result_t orvel_i_dropbox_guard(const char *entry, Body &&body) noexcept
{
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        return orvel_i_dropbox_exception_result(entry);
    }
}

/* Runs `body` (returning nothing) for an entry point that has nobody to tell
 * of a failure: an exception is logged and its error released. */
template <typename Body>
void orvel_i_dropbox_guard_void(const char *entry, Body &&body) noexcept
{
    orvel_error_discard(orvel_i_dropbox_guard(entry, [&body] {
        std::forward<Body>(body)();
        return ORVEL_SUCCESS;
    }));
}

/* Runs a slot's `body`, which answers the host as its last act. An exception
 * that reaches the guard was thrown before that answer, so the guard gives it
 * instead: `answer(result)` with the exception's error, exactly once. */
template <typename Body, typename Answer>
void orvel_i_dropbox_guard_slot(const char *entry, Body &&body, Answer &&answer) noexcept
{
    orvel_result_t result = orvel_i_dropbox_guard(entry, [&body] {
        std::forward<Body>(body)();
        return ORVEL_SUCCESS;
    });
    if (result == ORVEL_SUCCESS)
        return;
    try {
        std::forward<Answer>(answer)(result);
    } catch (...) {
        orvel_error_discard(orvel_i_dropbox_exception_result(entry));
    }
}

#endif /* ORVEL_DROPBOX_GUARD_HPP */
