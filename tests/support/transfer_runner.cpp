#include "transfer_runner.hpp"

#include <mutex>
#include <stdexcept>
#include <string>

namespace orvel::test {
namespace {

constexpr const char *kInterfaceName = "orvel-test-transfer";

const std::function<orvel_result_t(orvel_gfs_operation_t)> *current_body = nullptr;
orvel_result_t body_result = ORVEL_SUCCESS;

void start(orvel_gfs_operation_t op, orvel_gfs_session_info_t *info)
{
    orvel_gridftp_server_finished_session_start(op, ORVEL_SUCCESS, nullptr, info->username, "/");
}

void destroy(void *) {}

void transfer(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *, void *)
{
    orvel_gridftp_server_begin_transfer(op, 0, nullptr);
    body_result = (*current_body)(op);
    orvel_gridftp_server_finished_transfer(op, ORVEL_SUCCESS);
}

orvel_gfs_storage_iface_t stand_in_interface = {
    0,       start,   destroy, nullptr, transfer, transfer, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr,  nullptr,  nullptr,
};

host::Session &session()
{
    static std::once_flag once;
    static std::unique_ptr<host::Session> the_session;
    std::call_once(once, [] {
        host::Host::activate_module(&orvel_i_common_module);
        if (host::Host::find_dsi(kInterfaceName) == nullptr) {
            orvel_extension_registry_add(&orvel_i_gfs_dsi_registry, kInterfaceName, nullptr, &stand_in_interface);
        }
        host::Outcome outcome;
        the_session = host::Host::start_session(kInterfaceName, "tester", host::fixed_config({}), &outcome);
        if (!the_session) {
            throw std::runtime_error("cannot start the stand-in session: " + outcome.chain_text());
        }
    });
    return *the_session;
}

} // namespace

orvel_result_t run_transfer(std::shared_ptr<host::DataChannel> channel, TransferDirection direction,
                            const std::function<orvel_result_t(orvel_gfs_operation_t op)> &body)
{
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> lock(one_at_a_time);
    host::Session &s = session();
    host::TransferRequest request;
    request.pathname = "/stand-in";
    request.channel = std::move(channel);
    current_body = &body;
    body_result = ORVEL_SUCCESS;
    host::Outcome outcome = direction == TransferDirection::download ? s.send(request) : s.recv(request);
    current_body = nullptr;
    if (!outcome.ok()) {
        throw std::runtime_error("the stand-in transfer did not finish: " + outcome.chain_text());
    }
    return body_result;
}

} // namespace orvel::test
