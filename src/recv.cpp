// Placeholder until this operation is written: answers "not implemented".
#include "orvel_dropbox_common.h"

void orvel_i_dropbox_recv(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *, void *)
{
    orvel_result_t r = orvel_error_put(
        orvel_gfs_ftp_response_error_construct(NULL, NULL, 500, "NOT_IMPLEMETED", NULL));
    orvel_gridftp_server_finished_transfer(op, r);
}
