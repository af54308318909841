// Path templates of the plug-in's own files: "$HOME" and "$LOGNAME" expanded
// from the account database entry of the process's user.
#include "orvel_dropbox_common.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int activated = orvel_module_activate(&orvel_i_common_module);
    (void)activated;
    std::string templ(reinterpret_cast<const char *>(data), size); // stops at a NUL byte, as a C text does
    char *expanded = nullptr;
    orvel_result_t result = orvel_dropbox_evaluate_path(templ.c_str(), &expanded);
    if (result != ORVEL_SUCCESS)
        orvel_error_discard(result);
    std::free(expanded);
    return 0;
}
