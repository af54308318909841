// Module activation counting and the extension registry.
#include "orvel_common.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

int activations = 0;
int deactivations = 0;
int activation_result = 0;

int count_activation()
{
    activations++;
    return activation_result;
}

int count_deactivation()
{
    deactivations++;
    return 7;
}

orvel_module_descriptor_t counted_module = {"counted",    count_activation, count_deactivation, nullptr, nullptr,
                                            {0, 1, 0, 0}, nullptr};

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        activations = 0;
        deactivations = 0;
        activation_result = 0;
    }
};

TEST_F(ModuleTest, ActivationRunsOnFirstAndDeactivationOnLast)
{
    EXPECT_EQ(orvel_module_activate(&counted_module), 0);
    EXPECT_EQ(orvel_module_activate(&counted_module), 0);
    EXPECT_EQ(activations, 1);
    EXPECT_EQ(orvel_module_deactivate(&counted_module), 0);
    EXPECT_EQ(deactivations, 0);
    // The last deactivation returns the deactivation function's result.
    EXPECT_EQ(orvel_module_deactivate(&counted_module), 7);
    EXPECT_EQ(deactivations, 1);
    EXPECT_EQ(orvel_module_deactivate(&counted_module), -1);
    EXPECT_EQ(deactivations, 1);
}

TEST_F(ModuleTest, FailedActivationLeavesModuleInactive)
{
    activation_result = 3;
    EXPECT_EQ(orvel_module_activate(&counted_module), 3);
    EXPECT_EQ(orvel_module_deactivate(&counted_module), -1);
    activation_result = 0;
    EXPECT_EQ(orvel_module_activate(&counted_module), 0);
    EXPECT_EQ(activations, 2);
    EXPECT_EQ(orvel_module_deactivate(&counted_module), 7);
}

orvel_module_descriptor_t inner_module = {"inner",      count_activation, count_deactivation, nullptr, nullptr,
                                          {0, 1, 0, 0}, nullptr};

int activate_inner()
{
    return orvel_module_activate(&inner_module);
}

int deactivate_inner()
{
    orvel_module_deactivate(&inner_module);
    return 0;
}

orvel_module_descriptor_t outer_module = {"outer", activate_inner, deactivate_inner, nullptr,
                                          nullptr, {0, 1, 0, 0},   nullptr};

TEST_F(ModuleTest, ActivationMayActivateDependencies)
{
    EXPECT_EQ(orvel_module_activate(&outer_module), 0);
    EXPECT_EQ(activations, 1);
    EXPECT_EQ(orvel_module_deactivate(&outer_module), 0);
    EXPECT_EQ(deactivations, 1);
    EXPECT_EQ(orvel_module_deactivate(&inner_module), -1);
}

TEST_F(ModuleTest, ConcurrentActivationsAreCounted)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([] {
            for (int j = 0; j < 100; j++) {
                orvel_module_activate(&counted_module);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(activations, 1);
    for (int i = 0; i < 799; i++) {
        ASSERT_EQ(orvel_module_deactivate(&counted_module), 0);
    }
    EXPECT_EQ(orvel_module_deactivate(&counted_module), 7);
}

TEST(ModuleNullTest, NullDescriptorFails)
{
    EXPECT_NE(orvel_module_activate(nullptr), 0);
    EXPECT_EQ(orvel_module_deactivate(nullptr), -1);
}

TEST(ExtensionRegistryTest, AddLookupRemove)
{
    static orvel_extension_registry_t registry;
    int first = 1;
    int second = 2;
    std::string name = "dropbox";
    ASSERT_EQ(orvel_extension_registry_add(&registry, name.c_str(), &counted_module, &first), 0);
    name = "changed"; // the registry keeps its own copy of the name
    EXPECT_EQ(orvel_extension_lookup(&registry, "dropbox"), &first);
    EXPECT_EQ(orvel_extension_get_module(&registry, "dropbox"), &counted_module);
    EXPECT_EQ(orvel_extension_lookup(&registry, "changed"), nullptr);

    // A present name is refused and the entry stays as it was.
    EXPECT_NE(orvel_extension_registry_add(&registry, "dropbox", nullptr, &second), 0);
    EXPECT_EQ(orvel_extension_lookup(&registry, "dropbox"), &first);

    ASSERT_EQ(orvel_extension_registry_add(&registry, "file", nullptr, &second), 0);
    EXPECT_EQ(orvel_extension_registry_remove(&registry, "dropbox"), &first);
    EXPECT_EQ(orvel_extension_lookup(&registry, "dropbox"), nullptr);
    EXPECT_EQ(orvel_extension_get_module(&registry, "dropbox"), nullptr);
    EXPECT_EQ(orvel_extension_registry_remove(&registry, "dropbox"), nullptr);
    EXPECT_EQ(orvel_extension_lookup(&registry, "file"), &second);
    EXPECT_EQ(orvel_extension_registry_remove(&registry, "file"), &second);

    // Usable again after the last entry left.
    ASSERT_EQ(orvel_extension_registry_add(&registry, "dropbox", nullptr, &second), 0);
    EXPECT_EQ(orvel_extension_lookup(&registry, "dropbox"), &second);
    EXPECT_EQ(orvel_extension_registry_remove(&registry, "dropbox"), &second);
}

TEST(ExtensionRegistryTest, EmptyRegistryAndNullArguments)
{
    orvel_extension_registry_t registry{};
    EXPECT_EQ(orvel_extension_lookup(&registry, "x"), nullptr);
    EXPECT_EQ(orvel_extension_get_module(&registry, "x"), nullptr);
    EXPECT_EQ(orvel_extension_registry_remove(&registry, "x"), nullptr);
    EXPECT_NE(orvel_extension_registry_add(&registry, nullptr, nullptr, nullptr), 0);
    EXPECT_NE(orvel_extension_registry_add(nullptr, "x", nullptr, nullptr), 0);
    EXPECT_EQ(orvel_extension_lookup(nullptr, "x"), nullptr);
    EXPECT_EQ(registry.entries, nullptr);
}

} // namespace
