// What every road of an upload shares: the JSON arguments it builds. Its
// reply errors are made with the others in error.cpp.
#include "orvel_dropbox_transfer.h"

bool orvel_dropbox_json_set(json_t *object, const char *key, json_t *value)
{
    return value != nullptr && json_object_set_new(object, key, value) == 0;
}
