// Loading plug-in libraries and looking up storage interfaces.
#include "orvel_host.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using orvel::host::Host;

const std::string kBinary = ORVEL_BINARY_DIR;

std::string error_code_of(orvel_result_t rc)
{
    orvel_object_t *error = orvel_error_get(rc);
    const char *code = orvel_gfs_error_get_ftp_response_error_code(error);
    std::string text = code != nullptr ? code : "";
    orvel_object_free(error);
    return text;
}

TEST(HostRegistryTest, MissingLibraryOrSymbolIsReportedWithItsName)
{
    std::string why;
    orvel_result_t rc = Host::load_library(kBinary + "/no-such-plugin.so", "x_module", &why);
    ASSERT_NE(rc, ORVEL_SUCCESS);
    EXPECT_NE(why.find("no-such-plugin.so"), std::string::npos) << why;
    EXPECT_EQ(error_code_of(rc), "INTERNAL_ERROR");

    rc = Host::load_library(kBinary + "/platform/host/liborvel_gridftp_server.so", "no_such_module", &why);
    ASSERT_NE(rc, ORVEL_SUCCESS);
    EXPECT_NE(why.find("no_such_module"), std::string::npos) << why;
    orvel_error_discard(rc);
}

TEST(HostRegistryTest, LoadingThePluginRegistersItsStorageInterface)
{
    std::string why = "unset";
    orvel_result_t rc = Host::load_library(kBinary + "/src/liborvel_gridftp_server_dropbox.so",
                                           "orvel_gridftp_server_dropbox_module", &why);
    ASSERT_EQ(rc, ORVEL_SUCCESS) << why;
    EXPECT_TRUE(why.empty());
    orvel_gfs_storage_iface_t *dsi = Host::find_dsi("dropbox");
    ASSERT_NE(dsi, nullptr);
    EXPECT_NE(dsi->init_func, nullptr);
    EXPECT_NE(dsi->stat_func, nullptr);
    EXPECT_EQ(dsi->list_func, nullptr);
}

int g_activations = 0;
int g_deactivations = 0;
int activate_ok()
{
    return ++g_activations, 0;
}
int deactivate_ok()
{
    return ++g_deactivations, 0;
}
int activate_fail()
{
    return 7;
}

TEST(HostRegistryTest, ModuleActivationIsCountedAndFailuresReported)
{
    orvel_module_descriptor_t module = {
        "host_registry_test_module", activate_ok, deactivate_ok, nullptr, nullptr, {1, 0, 0, 0}, nullptr};
    EXPECT_EQ(Host::activate_module(&module), 0);
    EXPECT_EQ(Host::activate_module(&module), 0);
    EXPECT_EQ(g_activations, 1);
    EXPECT_EQ(Host::deactivate_module(&module), 0);
    EXPECT_EQ(g_deactivations, 0);
    EXPECT_EQ(Host::deactivate_module(&module), 0);
    EXPECT_EQ(g_deactivations, 1);

    orvel_module_descriptor_t failing = {
        "host_registry_test_failing", activate_fail, nullptr, nullptr, nullptr, {1, 0, 0, 0}, nullptr};
    EXPECT_EQ(Host::activate_module(&failing), 7);
    EXPECT_EQ(Host::activate_module(nullptr), -1);
    EXPECT_EQ(Host::deactivate_module(nullptr), -1);
}

} // namespace
