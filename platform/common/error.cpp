// Error objects (a base level with source, cause and type code; generic errors
// with a location and a message), their printing, and the table of held
// errors that results name.
#include "orvel_common.h"
#include "orvel_common_internal.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

struct BaseData {
    orvel_module_descriptor_t *source;
    orvel_object_t *cause; // owned
    int type;
};

struct GenericData {
    int type;
    char *file;
    char *func;
    int line;
    char *message;
};

void base_destroy(void *data)
{
    // The cause is detached and freed by orvel_object_free itself; this runs
    // only for what is left.
    auto *base = static_cast<BaseData *>(data);
    orvel_object_free(base->cause);
    std::free(base);
}

void generic_destroy(void *data)
{
    auto *generic = static_cast<GenericData *>(data);
    std::free(generic->file);
    std::free(generic->func);
    std::free(generic->message);
    std::free(generic);
}

char *generic_printable(orvel_object_t *error)
{
    const char *message = orvel_error_get_message(error);
    return strdup(message != nullptr ? message : "");
}

BaseData *base_data(orvel_object_t *error)
{
    orvel_object_t *base = orvel_object_upcast(error, ORVEL_ERROR_TYPE_BASE);
    return base != nullptr ? static_cast<BaseData *>(orvel_object_get_local_instance_data(base)) : nullptr;
}

GenericData *generic_data(orvel_object_t *error)
{
    orvel_object_t *generic = orvel_object_upcast(error, ORVEL_ERROR_TYPE_GENERIC);
    return generic != nullptr ? static_cast<GenericData *>(orvel_object_get_local_instance_data(generic)) : nullptr;
}

bool is_error(orvel_object_t *object)
{
    return object != nullptr && orvel_object_upcast(object, ORVEL_ERROR_TYPE_BASE) != nullptr;
}

// Allocates the base level's data on first use.
BaseData *ensure_base_data(orvel_object_t *error)
{
    orvel_object_t *base = orvel_object_upcast(error, ORVEL_ERROR_TYPE_BASE);
    if (base == nullptr) {
        return nullptr;
    }
    auto *data = static_cast<BaseData *>(orvel_object_get_local_instance_data(base));
    if (data == nullptr) {
        data = static_cast<BaseData *>(std::calloc(1, sizeof(BaseData)));
        if (data == nullptr) {
            return nullptr;
        }
        orvel_object_set_local_instance_data(base, data);
    }
    return data;
}

// Held errors. Heap-allocated and never destroyed: errors held at process exit
// stay reachable, and no destructor runs code of libraries already unloaded.
struct ErrorTable {
    std::mutex mutex;
    std::unordered_map<orvel_result_t, orvel_object_t *> errors;
    orvel_result_t last_id = 0;
};

ErrorTable &error_table()
{
    static auto *table = new ErrorTable;
    return *table;
}

} // namespace

namespace orvel_common_internal {

orvel_object_t *take_cause(orvel_object_t *error)
{
    BaseData *base = base_data(error);
    if (base == nullptr) {
        return nullptr;
    }
    orvel_object_t *cause = base->cause;
    base->cause = nullptr;
    return cause;
}

void free_held_errors()
{
    std::vector<orvel_object_t *> doomed;
    {
        ErrorTable &table = error_table();
        std::lock_guard<std::mutex> lock(table.mutex);
        for (auto &entry : table.errors) {
            doomed.push_back(entry.second);
        }
        table.errors.clear();
    }
    for (orvel_object_t *error : doomed) {
        orvel_object_free(error);
    }
}

} // namespace orvel_common_internal

extern "C" {

const orvel_object_type_t ORVEL_ERROR_TYPE_BASE_DEFINITION = {
    nullptr,
    nullptr,
    base_destroy,
    nullptr,
};

const orvel_object_type_t ORVEL_ERROR_TYPE_GENERIC_DEFINITION = {
    &ORVEL_ERROR_TYPE_BASE_DEFINITION,
    nullptr,
    generic_destroy,
    reinterpret_cast<const void *>(&generic_printable),
};

orvel_object_t *orvel_error_initialize_base(orvel_object_t *error, orvel_module_descriptor_t *source,
                                            orvel_object_t *cause)
{
    BaseData *base = ensure_base_data(error);
    if (base == nullptr) {
        return nullptr;
    }
    base->source = source;
    orvel_error_set_cause(error, cause);
    return error;
}

orvel_object_t *orvel_error_v_construct_error(orvel_module_descriptor_t *source, orvel_object_t *cause, int type,
                                              const char *source_file, const char *source_func, int source_line,
                                              const char *format, va_list ap)
{
    orvel_object_t *error = orvel_object_construct(ORVEL_ERROR_TYPE_GENERIC);
    auto *generic = static_cast<GenericData *>(std::calloc(1, sizeof(GenericData)));
    if (error == nullptr || generic == nullptr) {
        std::free(generic);
        orvel_object_free(error);
        orvel_object_free(cause);
        return nullptr;
    }
    orvel_object_set_local_instance_data(error, generic);
    generic->type = type;
    generic->line = source_line;
    bool ok = true;
    if (source_file != nullptr) {
        ok = ok && (generic->file = strdup(source_file)) != nullptr;
    }
    if (source_func != nullptr) {
        ok = ok && (generic->func = strdup(source_func)) != nullptr;
    }
    if (ok) {
        if (format != nullptr) {
            ok = vasprintf(&generic->message, format, ap) >= 0;
            if (!ok) {
                generic->message = nullptr;
            }
        } else {
            ok = (generic->message = strdup("")) != nullptr;
        }
    }
    if (!ok || orvel_error_initialize_base(error, source, cause) == nullptr) {
        orvel_object_free(error);
        orvel_object_free(cause);
        return nullptr;
    }
    base_data(error)->type = type;
    return error;
}

orvel_object_t *orvel_error_construct_error(orvel_module_descriptor_t *source, orvel_object_t *cause, int type,
                                            const char *source_file, const char *source_func, int source_line,
                                            const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    orvel_object_t *error =
        orvel_error_v_construct_error(source, cause, type, source_file, source_func, source_line, format, ap);
    va_end(ap);
    return error;
}

orvel_result_t orvel_error_put(orvel_object_t *error)
{
    if (error == nullptr) {
        return ORVEL_FAILURE;
    }
    ErrorTable &table = error_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    orvel_result_t id = table.last_id + 1;
    if (id == ORVEL_FAILURE) {
        id = 1; // 2^64 - 1 results later; ids still held are skipped below
    }
    while (table.errors.count(id) != 0 || id == ORVEL_SUCCESS || id == ORVEL_FAILURE) {
        id++;
    }
    try {
        table.errors.emplace(id, error);
    } catch (...) {
        // Without room in the table the error cannot be named; the caller's
        // failure is still reported, without details.
        orvel_object_free(error);
        return ORVEL_FAILURE;
    }
    table.last_id = id;
    return id;
}

orvel_object_t *orvel_error_peek(orvel_result_t result)
{
    if (result == ORVEL_SUCCESS || result == ORVEL_FAILURE) {
        return nullptr;
    }
    ErrorTable &table = error_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.errors.find(result);
    return found == table.errors.end() ? nullptr : found->second;
}

orvel_object_t *orvel_error_get(orvel_result_t result)
{
    if (result == ORVEL_SUCCESS || result == ORVEL_FAILURE) {
        return nullptr;
    }
    ErrorTable &table = error_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.errors.find(result);
    if (found == table.errors.end()) {
        return nullptr;
    }
    orvel_object_t *error = found->second;
    table.errors.erase(found);
    return error;
}

void orvel_error_discard(orvel_result_t result)
{
    orvel_object_free(orvel_error_get(result));
}

size_t orvel_error_held_count(void)
{
    ErrorTable &table = error_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.errors.size();
}

orvel_object_t *orvel_error_get_cause(orvel_object_t *error)
{
    BaseData *base = base_data(error);
    return base != nullptr ? base->cause : nullptr;
}

void orvel_error_set_cause(orvel_object_t *error, orvel_object_t *cause)
{
    if (!is_error(error)) {
        return;
    }
    if (cause != nullptr &&
        orvel_object_upcast(cause, ORVEL_ERROR_TYPE_BASE) == orvel_object_upcast(error, ORVEL_ERROR_TYPE_BASE)) {
        return; // an error cannot be its own cause
    }
    BaseData *base = base_data(error);
    if (base != nullptr && base->cause == cause) {
        return;
    }
    if (cause == nullptr && base == nullptr) {
        return;
    }
    if (base == nullptr) {
        base = ensure_base_data(error);
        if (base == nullptr) {
            // Out of memory: the error took ownership of the cause, so it must
            // not leak.
            orvel_object_free(cause);
            return;
        }
    }
    orvel_object_t *old = base->cause;
    base->cause = cause;
    orvel_object_free(old);
}

orvel_module_descriptor_t *orvel_error_get_source(orvel_object_t *error)
{
    BaseData *base = base_data(error);
    return base != nullptr ? base->source : nullptr;
}

int orvel_error_get_type(orvel_object_t *error)
{
    GenericData *generic = generic_data(error);
    if (generic != nullptr) {
        return generic->type;
    }
    BaseData *base = base_data(error);
    return base != nullptr ? base->type : 0;
}

const char *orvel_error_get_message(orvel_object_t *error)
{
    GenericData *generic = generic_data(error);
    return generic != nullptr ? generic->message : nullptr;
}

char *orvel_error_print_one(orvel_object_t *error)
{
    if (error == nullptr) {
        return nullptr;
    }
    for (const orvel_object_type_t *type = orvel_object_get_type(error); type != nullptr; type = type->parent_type) {
        if (type->class_data == nullptr || !is_error(error)) {
            continue;
        }
        auto printable = reinterpret_cast<orvel_error_printable_func_t>(const_cast<void *>(type->class_data));
        return printable(orvel_object_upcast(error, type));
    }
    // No type of the object knows how to print it.
    const char *message = orvel_error_get_message(error);
    if (message != nullptr) {
        return strdup(message);
    }
    orvel_module_descriptor_t *source = orvel_error_get_source(error);
    if (source != nullptr && source->module_name != nullptr) {
        char *text = nullptr;
        return asprintf(&text, "Error in module %s", source->module_name) >= 0 ? text : nullptr;
    }
    return strdup("Unknown error");
}

char *orvel_error_print_chain(orvel_object_t *error)
{
    if (error == nullptr) {
        return nullptr;
    }
    std::string chain;
    try {
        for (orvel_object_t *link = error; link != nullptr; link = orvel_error_get_cause(link)) {
            std::unique_ptr<char, decltype(&std::free)> text(orvel_error_print_one(link), &std::free);
            if (text != nullptr && text.get()[0] != '\0') {
                if (!chain.empty()) {
                    chain += '\n';
                }
                chain += text.get();
            }
        }
    } catch (...) {
        return nullptr;
    }
    return strdup(chain.c_str());
}

} // extern "C"
