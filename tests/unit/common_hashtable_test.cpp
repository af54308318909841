// Hash tables, absolute-time comparison and the thread wrappers.
#include "orvel_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Record {
    char *name; // the table's key
    int value;
};

int freed = 0;

void free_record(void *datum)
{
    auto *record = static_cast<Record *>(datum);
    std::free(record->name);
    delete record;
    freed++;
}

Record *make_record(const char *name, int value)
{
    return new Record{strdup(name), value};
}

class HashtableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        freed = 0;
        ASSERT_EQ(orvel_hashtable_init(&table, 1023, orvel_hashtable_string_hash, orvel_hashtable_string_keyeq), 0);
        ASSERT_NE(table, nullptr);
    }

    void TearDown() override
    {
        orvel_hashtable_destroy_all(&table, free_record);
        EXPECT_EQ(table, nullptr);
    }

    void insert(const char *name, int value = 0)
    {
        Record *record = make_record(name, value);
        ASSERT_EQ(orvel_hashtable_insert(&table, record->name, record), 0) << name;
    }

    orvel_hashtable_t table = nullptr;
};

TEST_F(HashtableTest, InsertLookupAndDuplicates)
{
    insert("/", 1);
    insert("/docs", 2);
    EXPECT_EQ(orvel_hashtable_size(&table), 2);

    std::string key = "/docs"; // a different buffer with the same text
    auto *found = static_cast<Record *>(orvel_hashtable_lookup(&table, key.data()));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->value, 2);
    EXPECT_EQ(orvel_hashtable_lookup(&table, const_cast<char *>("/docs/")), nullptr);
    EXPECT_EQ(orvel_hashtable_lookup(&table, const_cast<char *>("/doc")), nullptr);

    // A present key is refused and the table keeps the first datum.
    Record *duplicate = make_record("/docs", 3);
    EXPECT_NE(orvel_hashtable_insert(&table, duplicate->name, duplicate), 0);
    free_record(duplicate);
    EXPECT_EQ(static_cast<Record *>(orvel_hashtable_lookup(&table, key.data()))->value, 2);
    EXPECT_EQ(orvel_hashtable_size(&table), 2);
}

TEST_F(HashtableTest, RemoveReturnsTheDatum)
{
    insert("/a", 1);
    auto *removed = static_cast<Record *>(orvel_hashtable_remove(&table, const_cast<char *>("/a")));
    ASSERT_NE(removed, nullptr);
    EXPECT_EQ(removed->value, 1);
    EXPECT_EQ(freed, 0);
    free_record(removed);
    EXPECT_EQ(orvel_hashtable_remove(&table, const_cast<char *>("/a")), nullptr);
    EXPECT_EQ(orvel_hashtable_lookup(&table, const_cast<char *>("/a")), nullptr);
    EXPECT_EQ(orvel_hashtable_size(&table), 0);
    insert("/a", 2); // the key can be entered again
}

int has_prefix(void *key, void *, void *arg)
{
    const char *prefix = static_cast<const char *>(arg);
    return std::strncmp(static_cast<const char *>(key), prefix, std::strlen(prefix)) == 0;
}

TEST_F(HashtableTest, RemoveIfDestroysMatchingEntries)
{
    insert("/a");
    insert("/a/b");
    insert("/a/b/c");
    insert("/ab");
    insert("/z");
    EXPECT_EQ(orvel_hashtable_remove_if(&table, has_prefix, const_cast<char *>("/a/"), free_record), 2);
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(orvel_hashtable_size(&table), 3);
    EXPECT_NE(orvel_hashtable_lookup(&table, const_cast<char *>("/a")), nullptr);
    EXPECT_NE(orvel_hashtable_lookup(&table, const_cast<char *>("/ab")), nullptr);
    EXPECT_EQ(orvel_hashtable_lookup(&table, const_cast<char *>("/a/b")), nullptr);
    EXPECT_EQ(orvel_hashtable_remove_if(&table, has_prefix, const_cast<char *>("/nothing"), free_record), 0);
}

TEST_F(HashtableTest, ManyEntriesInFewBuckets)
{
    orvel_hashtable_t small = nullptr;
    ASSERT_EQ(orvel_hashtable_init(&small, 3, orvel_hashtable_string_hash, orvel_hashtable_string_keyeq), 0);
    for (int i = 0; i < 1000; i++) {
        Record *record = make_record(("/f" + std::to_string(i)).c_str(), i);
        ASSERT_EQ(orvel_hashtable_insert(&small, record->name, record), 0);
    }
    EXPECT_EQ(orvel_hashtable_size(&small), 1000);
    for (int i = 0; i < 1000; i += 7) {
        std::string key = "/f" + std::to_string(i);
        auto *record = static_cast<Record *>(orvel_hashtable_lookup(&small, key.data()));
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->value, i);
    }
    orvel_hashtable_destroy_all(&small, free_record);
    EXPECT_EQ(freed, 1000);
    EXPECT_EQ(small, nullptr);
    orvel_hashtable_destroy_all(&small, free_record); // a destroyed table is ignored
    orvel_hashtable_destroy_all(nullptr, free_record);
}

TEST(HashtableFunctions, StringHashStaysInRange)
{
    for (const char *text : {"", "/", "/docs", "\xff\xfe\xfd long text with high bytes"}) {
        for (int limit : {1, 2, 1023, 2147483647}) {
            int hash = orvel_hashtable_string_hash(const_cast<char *>(text), limit);
            EXPECT_GE(hash, 0);
            EXPECT_LT(hash, limit);
        }
    }
    EXPECT_EQ(orvel_hashtable_string_hash(const_cast<char *>("/a"), 1023),
              orvel_hashtable_string_hash(const_cast<char *>("/a"), 1023));
    EXPECT_TRUE(orvel_hashtable_string_keyeq(const_cast<char *>("/a"), std::string("/a").data()));
    EXPECT_FALSE(orvel_hashtable_string_keyeq(const_cast<char *>("/a"), const_cast<char *>("/a/")));
}

int negative_hash(void *, int)
{
    return -5;
}

TEST(HashtableFunctions, BadHashValuesStayInsideTheTable)
{
    orvel_hashtable_t table = nullptr;
    ASSERT_EQ(orvel_hashtable_init(&table, 0, negative_hash, orvel_hashtable_string_keyeq), 0);
    char a[] = "a";
    char b[] = "b";
    EXPECT_EQ(orvel_hashtable_insert(&table, a, a), 0);
    EXPECT_EQ(orvel_hashtable_insert(&table, b, b), 0);
    EXPECT_EQ(orvel_hashtable_lookup(&table, b), b);
    // Equal hash values alone do not make keys equal, in any operation.
    char other_b[] = "b";
    EXPECT_NE(orvel_hashtable_insert(&table, other_b, other_b), 0);
    EXPECT_EQ(orvel_hashtable_remove(&table, other_b), b);
    EXPECT_EQ(orvel_hashtable_lookup(&table, a), a);
    EXPECT_EQ(orvel_hashtable_size(&table), 1);
    orvel_hashtable_destroy_all(&table, nullptr);
}

TEST(AbstimeTest, ComparesSecondsThenNanoseconds)
{
    orvel_abstime_t early{100, 999999999};
    orvel_abstime_t later{101, 0};
    orvel_abstime_t same{101, 0};
    orvel_abstime_t later_ns{101, 1};
    EXPECT_LT(orvel_abstime_cmp(&early, &later), 0);
    EXPECT_GT(orvel_abstime_cmp(&later, &early), 0);
    EXPECT_EQ(orvel_abstime_cmp(&later, &same), 0);
    EXPECT_LT(orvel_abstime_cmp(&later, &later_ns), 0);
    EXPECT_GT(orvel_abstime_cmp(&later_ns, &later), 0);
    // Far apart values must not overflow into the wrong sign.
    orvel_abstime_t min{INT64_MIN, 0};
    orvel_abstime_t max{INT64_MAX, 0};
    EXPECT_LT(orvel_abstime_cmp(&min, &max), 0);
    EXPECT_GT(orvel_abstime_cmp(&max, &min), 0);
}

TEST(TimeTest, GmtimeIsUtc)
{
    time_t moment = 86400 + 3600 + 61; // 1970-01-02 01:01:01 UTC
    struct tm result {};
    ASSERT_EQ(orvel_libc_gmtime_r(&moment, &result), &result);
    EXPECT_EQ(result.tm_year, 70);
    EXPECT_EQ(result.tm_mday, 2);
    EXPECT_EQ(result.tm_hour, 1);
    EXPECT_EQ(result.tm_min, 1);
    EXPECT_EQ(result.tm_sec, 1);
}

TEST(ThreadTest, MutexAndConditionHandOverAValue)
{
    orvel_mutex_t mutex;
    orvel_cond_t cond;
    ASSERT_EQ(orvel_mutex_init(&mutex, nullptr), 0);
    ASSERT_EQ(orvel_cond_init(&cond, nullptr), 0);
    int value = 0;
    orvel_thread_t main_thread = orvel_thread_self();
    bool other_thread_differs = false;
    std::thread producer([&] {
        other_thread_differs = !pthread_equal(orvel_thread_self(), main_thread);
        orvel_mutex_lock(&mutex);
        value = 42;
        orvel_cond_signal(&cond);
        orvel_mutex_unlock(&mutex);
    });
    orvel_mutex_lock(&mutex);
    while (value == 0) {
        orvel_cond_wait(&cond, &mutex);
    }
    orvel_mutex_unlock(&mutex);
    producer.join();
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(other_thread_differs);
    EXPECT_TRUE(pthread_equal(orvel_thread_self(), main_thread));
    EXPECT_EQ(orvel_cond_broadcast(&cond), 0);
    EXPECT_EQ(orvel_cond_destroy(&cond), 0);
    EXPECT_EQ(orvel_mutex_destroy(&mutex), 0);
}

} // namespace
