// String-keyed (or any-keyed) hash tables with chained buckets. Keys are not
// copied: they belong to the caller (usually to the stored datum).
#include "orvel_common.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

// Each node keeps the hash value of its key, so that a chain walk compares
// keys only where the hash values agree.
struct Node {
    void *key;
    void *datum;
    Node *next;
    int hash;
};

} // namespace

struct orvel_hashtable_s {
    int bucket_count;
    int entry_count;
    Node **buckets;
    orvel_hashtable_hash_func_t hash;
    orvel_hashtable_keyeq_func_t keyeq;
};

namespace {

// The hash value of `key` over the widest range the hash function offers;
// the bucket is derived from it, so equal keys always meet in one bucket.
int hash_of(orvel_hashtable_s *table, void *key)
{
    return table->hash(key, INT_MAX);
}

// The bucket of a hash value, whatever value the hash function returned.
Node **bucket_of(orvel_hashtable_s *table, int hash)
{
    long index = static_cast<long>(hash) % table->bucket_count;
    if (index < 0) {
        index += table->bucket_count;
    }
    return &table->buckets[index];
}

// The link that points at the node holding `key` (whose hash value is
// `hash`), or at the bucket's end.
Node **find_link(orvel_hashtable_s *table, void *key, int hash)
{
    Node **link = bucket_of(table, hash);
    while (*link != nullptr && ((*link)->hash != hash || !table->keyeq((*link)->key, key))) {
        link = &(*link)->next;
    }
    return link;
}

bool usable(orvel_hashtable_t *table)
{
    return table != nullptr && *table != nullptr;
}

} // namespace

extern "C" {

int orvel_hashtable_init(orvel_hashtable_t *table, int size, orvel_hashtable_hash_func_t hash_func,
                         orvel_hashtable_keyeq_func_t keyeq_func)
{
    if (table == nullptr) {
        return -1;
    }
    *table = nullptr;
    if (hash_func == nullptr || keyeq_func == nullptr) {
        return -1;
    }
    if (size < 1) {
        size = 1;
    }
    auto *created = new (std::nothrow) orvel_hashtable_s{size, 0, nullptr, hash_func, keyeq_func};
    if (created == nullptr) {
        return -1;
    }
    created->buckets = new (std::nothrow) Node *[static_cast<size_t>(size)]();
    if (created->buckets == nullptr) {
        delete created;
        return -1;
    }
    *table = created;
    return 0;
}

int orvel_hashtable_insert(orvel_hashtable_t *table, void *key, void *datum)
{
    if (!usable(table)) {
        return -1;
    }
    int hash = hash_of(*table, key);
    Node **link = find_link(*table, key, hash);
    if (*link != nullptr) {
        return -1;
    }
    Node *node = new (std::nothrow) Node{key, datum, nullptr, hash};
    if (node == nullptr) {
        return -1;
    }
    *link = node;
    (*table)->entry_count++;
    return 0;
}

void *orvel_hashtable_lookup(orvel_hashtable_t *table, void *key)
{
    if (!usable(table)) {
        return nullptr;
    }
    Node *node = *find_link(*table, key, hash_of(*table, key));
    return node != nullptr ? node->datum : nullptr;
}

void *orvel_hashtable_remove(orvel_hashtable_t *table, void *key)
{
    if (!usable(table)) {
        return nullptr;
    }
    Node **link = find_link(*table, key, hash_of(*table, key));
    Node *node = *link;
    if (node == nullptr) {
        return nullptr;
    }
    *link = node->next;
    void *datum = node->datum;
    delete node;
    (*table)->entry_count--;
    return datum;
}

int orvel_hashtable_remove_if(orvel_hashtable_t *table, orvel_hashtable_predicate_func_t predicate, void *arg,
                              orvel_hashtable_destructor_func_t destructor)
{
    if (!usable(table) || predicate == nullptr) {
        return 0;
    }
    orvel_hashtable_s *t = *table;
    int removed = 0;
    for (int i = 0; i < t->bucket_count; i++) {
        Node **link = &t->buckets[i];
        while (*link != nullptr) {
            Node *node = *link;
            if (!predicate(node->key, node->datum, arg)) {
                link = &node->next;
                continue;
            }
            // Unlink first: the destructor may free the datum that owns the key.
            *link = node->next;
            t->entry_count--;
            removed++;
            void *datum = node->datum;
            delete node;
            if (destructor != nullptr) {
                destructor(datum);
            }
        }
    }
    return removed;
}

int orvel_hashtable_size(orvel_hashtable_t *table)
{
    return usable(table) ? (*table)->entry_count : 0;
}

void orvel_hashtable_destroy_all(orvel_hashtable_t *table, orvel_hashtable_destructor_func_t destructor)
{
    if (!usable(table)) {
        return;
    }
    orvel_hashtable_s *t = *table;
    for (int i = 0; i < t->bucket_count; i++) {
        Node *node = t->buckets[i];
        while (node != nullptr) {
            Node *next = node->next;
            if (destructor != nullptr) {
                destructor(node->datum);
            }
            delete node;
            node = next;
        }
    }
    delete[] t->buckets;
    delete t;
    *table = nullptr;
}

int orvel_hashtable_string_hash(void *string, int limit)
{
    if (string == nullptr || limit <= 0) {
        return 0;
    }
    // 32-bit FNV-1a.
    uint32_t hash = 2166136261u;
    for (const unsigned char *p = static_cast<const unsigned char *>(string); *p != '\0'; p++) {
        hash ^= *p;
        hash *= 16777619u;
    }
    return static_cast<int>(hash % static_cast<uint32_t>(limit));
}

int orvel_hashtable_string_keyeq(void *string1, void *string2)
{
    if (string1 == nullptr || string2 == nullptr) {
        return string1 == string2;
    }
    return std::strcmp(static_cast<const char *>(string1), static_cast<const char *>(string2)) == 0;
}

} // extern "C"
