// Objects with per-level instance data, error objects, the table of held
// errors and the printing of cause chains.
#include "orvel_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> destroyed;

void destroy_text(void *data)
{
    destroyed.emplace_back(static_cast<char *>(data));
    std::free(data);
}

const orvel_object_type_t root_type = {nullptr, nullptr, destroy_text, nullptr};
const orvel_object_type_t middle_type = {&root_type, nullptr, destroy_text, nullptr};
const orvel_object_type_t leaf_type = {&middle_type, nullptr, destroy_text, nullptr};
const orvel_object_type_t other_type = {nullptr, nullptr, nullptr, nullptr};

std::string text_of(char *text)
{
    std::string copy = text != nullptr ? text : "<null>";
    std::free(text);
    return copy;
}

class ObjectTest : public ::testing::Test {
protected:
    void SetUp() override { destroyed.clear(); }
};

TEST_F(ObjectTest, UpcastAddressesEachLevel)
{
    orvel_object_t *object = orvel_object_construct(&leaf_type);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(orvel_object_get_type(object), &leaf_type);
    EXPECT_EQ(orvel_object_get_local_instance_data(object), nullptr);

    orvel_object_t *middle = orvel_object_upcast(object, &middle_type);
    orvel_object_t *root = orvel_object_upcast(object, &root_type);
    ASSERT_NE(middle, nullptr);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(orvel_object_upcast(object, &leaf_type), object);
    EXPECT_EQ(orvel_object_upcast(object, &other_type), nullptr);
    EXPECT_EQ(orvel_object_get_type(root), &leaf_type);

    orvel_object_set_local_instance_data(object, strdup("leaf"));
    orvel_object_set_local_instance_data(middle, strdup("middle"));
    orvel_object_set_local_instance_data(root, strdup("root"));
    EXPECT_STREQ(static_cast<char *>(orvel_object_get_local_instance_data(object)), "leaf");
    EXPECT_STREQ(static_cast<char *>(orvel_object_get_local_instance_data(middle)), "middle");
    EXPECT_STREQ(static_cast<char *>(orvel_object_get_local_instance_data(root)), "root");
    // Views are stable: upcasting again gives the same level.
    EXPECT_STREQ(static_cast<char *>(orvel_object_get_local_instance_data(orvel_object_upcast(root, &middle_type))),
                 "middle");

    // Freeing through any view frees the whole object, every level's data.
    orvel_object_free(root);
    EXPECT_EQ(destroyed, (std::vector<std::string>{"leaf", "middle", "root"}));
}

TEST_F(ObjectTest, DestructorsSkipEmptyLevels)
{
    orvel_object_t *object = orvel_object_construct(&leaf_type);
    ASSERT_NE(object, nullptr);
    orvel_object_set_local_instance_data(orvel_object_upcast(object, &middle_type), strdup("middle"));
    orvel_object_free(object);
    EXPECT_EQ(destroyed, (std::vector<std::string>{"middle"}));
    orvel_object_free(nullptr);
}

TEST_F(ObjectTest, TypeMatch)
{
    EXPECT_TRUE(orvel_object_type_match(&leaf_type, &leaf_type));
    EXPECT_TRUE(orvel_object_type_match(&leaf_type, &root_type));
    EXPECT_FALSE(orvel_object_type_match(&root_type, &leaf_type));
    EXPECT_FALSE(orvel_object_type_match(&leaf_type, &other_type));
    EXPECT_FALSE(orvel_object_type_match(nullptr, &root_type));
    EXPECT_TRUE(orvel_object_type_match(ORVEL_ERROR_TYPE_GENERIC, ORVEL_ERROR_TYPE_BASE));
    EXPECT_EQ(orvel_object_construct(nullptr), nullptr);
    EXPECT_EQ(orvel_object_upcast(nullptr, &root_type), nullptr);
}

// An error type of its own, printed from its instance data. The printable
// function receives the error viewed as the type that owns the function.
char *print_custom(orvel_object_t *error)
{
    const char *text = static_cast<const char *>(orvel_object_get_local_instance_data(error));
    return strdup(text != nullptr ? text : "");
}

void free_plain(void *data)
{
    std::free(data);
}

const orvel_object_type_t custom_error_type = {ORVEL_ERROR_TYPE_BASE, nullptr, free_plain,
                                               reinterpret_cast<const void *>(&print_custom)};
// Derived without a printable function of its own: its parent's is used.
const orvel_object_type_t derived_error_type = {&custom_error_type, nullptr, free_plain, nullptr};
// No printable function anywhere.
const orvel_object_type_t silent_error_type = {ORVEL_ERROR_TYPE_BASE, nullptr, nullptr, nullptr};

orvel_object_t *custom_error(const char *text, orvel_object_t *cause)
{
    orvel_object_t *error = orvel_object_construct(&custom_error_type);
    orvel_object_set_local_instance_data(error, text != nullptr ? strdup(text) : nullptr);
    return orvel_error_initialize_base(error, nullptr, cause);
}

orvel_module_descriptor_t source_module = {"source_module", nullptr, nullptr, nullptr, nullptr, {0, 1, 0, 0}, nullptr};

class ErrorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(orvel_module_activate(&orvel_i_common_module), 0);
        held_before = orvel_error_held_count();
    }

    void TearDown() override
    {
        EXPECT_EQ(orvel_error_held_count(), held_before);
        orvel_module_deactivate(&orvel_i_common_module);
    }

    size_t held_before = 0;
};

TEST_F(ErrorTest, GenericErrorCarriesItsDetails)
{
    orvel_object_t *error = orvel_error_construct_error(&source_module, nullptr, ORVEL_GFS_ERROR_GENERIC, "file.cpp",
                                                        "func", 12, "%s %d", "count", 3);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(orvel_object_get_type(error), ORVEL_ERROR_TYPE_GENERIC);
    EXPECT_EQ(orvel_error_get_type(error), ORVEL_GFS_ERROR_GENERIC);
    EXPECT_STREQ(orvel_error_get_message(error), "count 3");
    EXPECT_EQ(orvel_error_get_source(error), &source_module);
    EXPECT_EQ(orvel_error_get_cause(error), nullptr);
    EXPECT_EQ(text_of(orvel_error_print_one(error)), "count 3");
    EXPECT_EQ(text_of(orvel_error_print_chain(error)), "count 3");
    orvel_object_free(error);

    error = ORVEL_ERROR_GENERIC("%s", "macro");
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(orvel_error_get_message(error), "macro");
    EXPECT_EQ(orvel_error_get_source(error), nullptr);
    orvel_object_free(error);
}

TEST_F(ErrorTest, PutPeekGetDiscard)
{
    orvel_object_t *first = ORVEL_ERROR_GENERIC("%s", "first");
    orvel_object_t *second = ORVEL_ERROR_GENERIC("%s", "second");
    orvel_result_t r1 = orvel_error_put(first);
    orvel_result_t r2 = orvel_error_put(second);
    EXPECT_NE(r1, ORVEL_SUCCESS);
    EXPECT_NE(r1, ORVEL_FAILURE);
    EXPECT_NE(r1, r2);
    EXPECT_EQ(orvel_error_held_count(), held_before + 2);

    EXPECT_EQ(orvel_error_peek(r1), first);
    EXPECT_EQ(orvel_error_peek(r1), first); // peeking does not consume
    EXPECT_EQ(orvel_error_peek(ORVEL_SUCCESS), nullptr);
    EXPECT_EQ(orvel_error_peek(ORVEL_FAILURE), nullptr);
    EXPECT_EQ(orvel_error_get(ORVEL_FAILURE), nullptr);

    EXPECT_EQ(orvel_error_get(r1), first);
    EXPECT_EQ(orvel_error_get(r1), nullptr);
    EXPECT_EQ(orvel_error_peek(r1), nullptr);
    orvel_object_free(first);

    orvel_error_discard(r2);
    EXPECT_EQ(orvel_error_peek(r2), nullptr);
    orvel_error_discard(r2);
    orvel_error_discard(ORVEL_SUCCESS);

    EXPECT_EQ(orvel_error_put(nullptr), ORVEL_FAILURE);
    // Results are never reused, even after the error left the table.
    orvel_result_t r3 = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "third"));
    EXPECT_NE(r3, r1);
    EXPECT_NE(r3, r2);
    orvel_error_discard(r3);
}

TEST_F(ErrorTest, LastDeactivationFreesHeldErrors)
{
    // A nested activation: deactivating it must keep the errors.
    ASSERT_EQ(orvel_module_activate(&orvel_i_common_module), 0);
    orvel_result_t result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "held"));
    orvel_module_deactivate(&orvel_i_common_module);
    EXPECT_NE(orvel_error_peek(result), nullptr);
    orvel_error_discard(result);
}

TEST_F(ErrorTest, ChainIsPrintedAndFreedWithTheError)
{
    destroyed.clear();
    orvel_object_t *inner = ORVEL_ERROR_GENERIC("%s", "inner");
    orvel_object_t *middle = custom_error("middle", inner);
    ASSERT_NE(middle, nullptr);
    orvel_object_t *outer = orvel_error_construct_error(nullptr, middle, ORVEL_GFS_ERROR_GENERIC, __FILE__, __func__,
                                                        __LINE__, "%s", "outer");
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(orvel_error_get_cause(outer), middle);
    EXPECT_EQ(orvel_error_get_cause(middle), inner);
    EXPECT_EQ(orvel_error_get_type(middle), 0);
    EXPECT_EQ(orvel_error_get_message(middle), nullptr);
    EXPECT_EQ(text_of(orvel_error_print_one(middle)), "middle");
    EXPECT_EQ(text_of(orvel_error_print_chain(outer)), "outer\nmiddle\ninner");
    EXPECT_EQ(text_of(orvel_error_print_chain(middle)), "middle\ninner");

    // The whole chain goes with the outermost error (ASan checks the rest).
    orvel_result_t result = orvel_error_put(outer);
    orvel_error_discard(result);
}

TEST_F(ErrorTest, EmptyTextsAreSkippedInTheChain)
{
    orvel_object_t *inner = ORVEL_ERROR_GENERIC("%s", "inner");
    orvel_object_t *empty = custom_error("", inner);
    orvel_object_t *outer = custom_error("outer", empty);
    EXPECT_EQ(text_of(orvel_error_print_chain(outer)), "outer\ninner");
    EXPECT_EQ(text_of(orvel_error_print_chain(empty)), "inner");
    orvel_object_free(outer);

    orvel_object_t *alone = custom_error("", nullptr);
    EXPECT_EQ(text_of(orvel_error_print_chain(alone)), "");
    orvel_object_free(alone);
    EXPECT_EQ(orvel_error_print_chain(nullptr), nullptr);
}

TEST_F(ErrorTest, MostDerivedPrintableFunctionIsUsed)
{
    orvel_object_t *derived = orvel_object_construct(&derived_error_type);
    ASSERT_NE(derived, nullptr);
    orvel_object_set_local_instance_data(orvel_object_upcast(derived, &custom_error_type), strdup("parent"));
    ASSERT_NE(orvel_error_initialize_base(derived, &source_module, nullptr), nullptr);
    EXPECT_EQ(text_of(orvel_error_print_one(derived)), "parent");
    orvel_object_free(derived);

    // Without any printable function the rendering still says something.
    orvel_object_t *silent = orvel_object_construct(&silent_error_type);
    ASSERT_NE(orvel_error_initialize_base(silent, &source_module, nullptr), nullptr);
    EXPECT_EQ(text_of(orvel_error_print_one(silent)), "Error in module source_module");
    orvel_object_free(silent);
}

TEST_F(ErrorTest, SetCauseReplacesAndFreesTheOldChain)
{
    orvel_object_t *error = custom_error("top", ORVEL_ERROR_GENERIC("%s", "old"));
    orvel_object_t *fresh = ORVEL_ERROR_GENERIC("%s", "new");
    orvel_error_set_cause(error, fresh);
    EXPECT_EQ(orvel_error_get_cause(error), fresh);
    EXPECT_EQ(text_of(orvel_error_print_chain(error)), "top\nnew");
    orvel_error_set_cause(error, error); // refused: no cycles
    EXPECT_EQ(orvel_error_get_cause(error), fresh);
    orvel_error_set_cause(error, nullptr);
    EXPECT_EQ(orvel_error_get_cause(error), nullptr);
    orvel_object_free(error);
}

TEST_F(ErrorTest, ErrorWithoutInitializedBase)
{
    // Error types may leave the base level alone.
    orvel_object_t *error = orvel_object_construct(&custom_error_type);
    orvel_object_set_local_instance_data(error, strdup("bare"));
    EXPECT_EQ(orvel_error_get_cause(error), nullptr);
    EXPECT_EQ(orvel_error_get_source(error), nullptr);
    EXPECT_EQ(text_of(orvel_error_print_chain(error)), "bare");
    orvel_error_set_cause(error, ORVEL_ERROR_GENERIC("%s", "late"));
    EXPECT_EQ(text_of(orvel_error_print_chain(error)), "bare\nlate");
    orvel_error_discard(orvel_error_put(error));
}

TEST_F(ErrorTest, InitializeBaseRefusesNonErrors)
{
    orvel_object_t *object = orvel_object_construct(&other_type);
    EXPECT_EQ(orvel_error_initialize_base(object, nullptr, nullptr), nullptr);
    EXPECT_EQ(orvel_error_get_cause(object), nullptr);
    orvel_object_free(object);
}

TEST_F(ErrorTest, LongChainsAreFreedWithoutDeepRecursion)
{
    orvel_object_t *chain = nullptr;
    for (int i = 0; i < 200000; i++) {
        chain = custom_error("link", chain);
        ASSERT_NE(chain, nullptr);
    }
    orvel_object_free(chain);
}

} // namespace
