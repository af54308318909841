// Placeholder until session teardown is written.
#include "orvel_dropbox_common.h"

void orvel_i_dropbox_destroy(void *) {}
