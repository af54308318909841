// Metadata objects of the service: one JSON value parsed as a folder, a file
// or by its ".tag" (the first input byte chooses), the record copied and
// turned into a stat record; the same value as an upload session's reply.
#include "orvel_dropbox_common.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int activated = orvel_module_activate(&orvel_i_common_module);
    (void)activated;
    if (size < 1)
        return 0;
    json_t *json = json_loadb(reinterpret_cast<const char *>(data) + 1, size - 1, JSON_DECODE_ANY, nullptr);
    if (json == nullptr)
        return 0;

    orvel_dropbox_path_info_t info{};
    orvel_result_t result;
    switch (data[0] % 3) {
    case 0:
        result = orvel_dropbox_folder_info_parse(json, &info);
        break;
    case 1:
        result = orvel_dropbox_file_info_parse(json, &info);
        break;
    default:
        result = orvel_dropbox_object_info_parse(json, &info);
        break;
    }
    if (result == ORVEL_SUCCESS) {
        orvel_dropbox_path_info_free(orvel_dropbox_path_info_copy(&info));
        orvel_gridftp_server_control_stat_t stat;
        orvel_error_discard(orvel_dropbox_info_to_stat(nullptr, &info, &stat));
        std::free(stat.name);
    } else {
        orvel_error_discard(result);
    }
    orvel_dropbox_path_info_free(&info);

    orvel_dropbox_upload_session_t upload{};
    orvel_error_discard(orvel_dropbox_upload_session_parse(json, &upload));
    std::free(upload.id);
    json_decref(json);
    return 0;
}
