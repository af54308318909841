/*
 * Declarations shared between the runtime's own source files; not part of the
 * public interface.
 */
#ifndef ORVEL_COMMON_INTERNAL_HPP
#define ORVEL_COMMON_INTERNAL_HPP

#include "orvel_common.h"

namespace orvel_common_internal {

/* Detaches the cause chain of an error object and returns it (null when the
 * object is no error or has no cause). Lets object freeing walk long cause
 * chains iteratively instead of recursing once per link. */
orvel_object_t *take_cause(orvel_object_t *error);

/* Frees every error held in the result table (last deactivation of the
 * runtime's module). */
void free_held_errors();

} // namespace orvel_common_internal

#endif
