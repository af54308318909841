// Typed objects: a chain of types from the most derived to the root, each
// level with its own instance data. Every level has a view (an
// orvel_object_t) through which the object is seen as that level's type;
// upcasting returns the matching view, and freeing any view frees the whole
// object.
#include "orvel_common.h"
#include "orvel_common_internal.hpp"

#include <cstddef>
#include <new>

namespace {

// Guards against malformed type chains that loop back on themselves.
constexpr size_t max_type_depth = 64;

struct ObjectCore;

} // namespace

struct orvel_object_s {
    ObjectCore *core;
    size_t level; // 0 = most derived type
};

namespace {

struct Level {
    const orvel_object_type_t *type;
    void *data;
    orvel_object_s view;
};

struct ObjectCore {
    size_t depth;
    Level *levels;
};

void destroy_core(ObjectCore *core)
{
    for (size_t i = 0; i < core->depth; i++) {
        Level &level = core->levels[i];
        if (level.data != nullptr && level.type->destructor != nullptr) {
            level.type->destructor(level.data);
        }
        level.data = nullptr;
    }
    delete[] core->levels;
    delete core;
}

} // namespace

extern "C" {

orvel_object_t *orvel_object_construct(const orvel_object_type_t *type)
{
    if (type == nullptr) {
        return nullptr;
    }
    size_t depth = 0;
    for (const orvel_object_type_t *t = type; t != nullptr; t = t->parent_type) {
        if (++depth > max_type_depth) {
            return nullptr;
        }
    }
    auto *core = new (std::nothrow) ObjectCore{depth, nullptr};
    if (core == nullptr) {
        return nullptr;
    }
    core->levels = new (std::nothrow) Level[depth];
    if (core->levels == nullptr) {
        delete core;
        return nullptr;
    }
    const orvel_object_type_t *t = type;
    for (size_t i = 0; i < depth; i++, t = t->parent_type) {
        core->levels[i] = Level{t, nullptr, orvel_object_s{core, i}};
    }
    return &core->levels[0].view;
}

orvel_object_t *orvel_object_upcast(orvel_object_t *object, const orvel_object_type_t *type)
{
    if (object == nullptr || type == nullptr) {
        return nullptr;
    }
    ObjectCore *core = object->core;
    for (size_t i = 0; i < core->depth; i++) {
        if (core->levels[i].type == type) {
            return &core->levels[i].view;
        }
    }
    return nullptr;
}

void orvel_object_free(orvel_object_t *object)
{
    // An error's cause chain is freed link by link, so a long chain needs no
    // deep recursion.
    while (object != nullptr) {
        orvel_object_t *cause = orvel_common_internal::take_cause(object);
        destroy_core(object->core);
        object = cause;
    }
}

void *orvel_object_get_local_instance_data(orvel_object_t *object)
{
    if (object == nullptr) {
        return nullptr;
    }
    return object->core->levels[object->level].data;
}

void orvel_object_set_local_instance_data(orvel_object_t *object, void *data)
{
    if (object == nullptr) {
        return;
    }
    object->core->levels[object->level].data = data;
}

const orvel_object_type_t *orvel_object_get_type(orvel_object_t *object)
{
    if (object == nullptr) {
        return nullptr;
    }
    return object->core->levels[0].type;
}

bool orvel_object_type_match(const orvel_object_type_t *type, const orvel_object_type_t *ancestor)
{
    if (ancestor == nullptr) {
        return false;
    }
    size_t depth = 0;
    for (const orvel_object_type_t *t = type; t != nullptr && depth < max_type_depth; t = t->parent_type, depth++) {
        if (t == ancestor) {
            return true;
        }
    }
    return false;
}

} // extern "C"
