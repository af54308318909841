// Placeholder until session start is written.
#include "orvel_dropbox_common.h"

void orvel_i_dropbox_start(orvel_gfs_operation_t op, orvel_gfs_session_info_t *)
{
    orvel_result_t result = orvel_error_put(
        orvel_gfs_ftp_response_error_construct(NULL, NULL, 500, "NOT_IMPLEMETED", NULL));
    orvel_gridftp_server_finished_session_start(op, result, NULL, NULL, NULL);
}
