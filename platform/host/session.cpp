// Sessions: starting one through a storage interface's init slot, running its
// operations synchronously, and reading what the plug-in reported.
#include "operation.hpp"

#include <cstdlib>

namespace orvel::host {

using detail::OperationKind;

// ------------------------------------------------------------------ outcome

int Outcome::reply_code() const
{
    return error ? orvel_gfs_error_get_ftp_response_code(error.get()) : 0;
}

std::string Outcome::error_code() const
{
    const char *code = error ? orvel_gfs_error_get_ftp_response_error_code(error.get()) : nullptr;
    return code != nullptr ? code : "";
}

std::string Outcome::message() const
{
    const char *text = error ? orvel_gfs_error_get_ftp_response_message(error.get()) : nullptr;
    return text != nullptr ? text : "";
}

namespace {

std::string take_text(char *text)
{
    if (text == nullptr) {
        return {};
    }
    std::string copy(text);
    free(text);
    return copy;
}

} // namespace

std::string Outcome::chain_text() const
{
    if (result == ORVEL_SUCCESS || !error) {
        return {};
    }
    return take_text(orvel_error_print_chain(error.get()));
}

std::string Outcome::ftp_reply() const
{
    if (result == ORVEL_SUCCESS) {
        return {};
    }
    return take_text(orvel_gfs_error_to_ftp_reply(error.get()));
}

std::vector<StatEntry> Outcome::all_stats() const
{
    std::vector<StatEntry> all;
    for (const auto &batch : stat_batches) {
        all.insert(all.end(), batch.begin(), batch.end());
    }
    return all;
}

ConfigProvider fixed_config(std::map<std::string, std::string> texts)
{
    return [texts = std::move(texts)](const std::string &key) -> std::optional<std::string> {
        auto it = texts.find(key);
        if (it == texts.end()) {
            return std::nullopt;
        }
        return it->second;
    };
}

// -------------------------------------------------------------- operations

namespace {

// The outcome of an operation whose slot the storage interface leaves empty:
// the host answers by itself, the plug-in never finished anything.
Outcome missing_slot(const char *slot_name)
{
    Outcome outcome;
    outcome.result = detail::put_reply_error(502, "NOT_IMPLEMENTED",
                                             std::string("The storage interface has no ") + slot_name + " function");
    outcome.error = std::shared_ptr<orvel_object_t>(orvel_error_get(outcome.result), orvel_object_free);
    return outcome;
}

const char *null_if_empty(const std::string &text)
{
    return text.empty() ? nullptr : text.c_str();
}

} // namespace

std::unique_ptr<Session> Host::start_session(const std::string &dsi_name, const std::string &username,
                                             ConfigProvider config, Outcome *outcome)
{
    detail::ensure_runtime();
    Outcome local;
    Outcome &out = outcome != nullptr ? *outcome : local;
    orvel_gfs_storage_iface_t *dsi = find_dsi(dsi_name);
    if (dsi == nullptr) {
        out = Outcome{};
        out.result = detail::put_reply_error(530, "UNKNOWN_STORAGE_INTERFACE",
                                             "No storage interface named \"" + dsi_name + "\" is registered");
        out.error = std::shared_ptr<orvel_object_t>(orvel_error_get(out.result), orvel_object_free);
        return nullptr;
    }
    if (dsi->init_func == nullptr) {
        out = missing_slot("session start");
        return nullptr;
    }
    auto op = detail::make_operation(OperationKind::SessionStart, config, {});
    orvel_gfs_session_info_t info{};
    info.username = username.c_str();
    info.map_user = false;
    dsi->init_func(op.get(), &info);
    out = detail::complete_operation(*op, "session start");
    if (!out.ok()) {
        return nullptr;
    }
    std::unique_ptr<Session> session(new Session());
    session->dsi_ = dsi;
    session->session_arg_ = op->session_arg;
    session->username_ = username;
    session->home_dir_ = op->home_dir_set ? op->home_dir : "/";
    session->checksum_support_ = op->checksum_support;
    session->config_ = std::move(config);
    return session;
}

Session::~Session()
{
    if (dsi_ != nullptr && dsi_->destroy_func != nullptr) {
        dsi_->destroy_func(session_arg_);
    }
}

Outcome Session::stat(const std::string &path, bool file_only, const Hooks &hooks)
{
    if (dsi_->stat_func == nullptr) {
        return missing_slot("stat");
    }
    auto op = detail::make_operation(OperationKind::Stat, config_, hooks);
    orvel_gfs_stat_info_t info{};
    info.file_only = file_only;
    info.internal = false;
    info.pathname = path.c_str();
    dsi_->stat_func(op.get(), &info, session_arg_);
    return detail::complete_operation(*op, "stat");
}

Outcome Session::command(const CommandRequest &request, const Hooks &hooks)
{
    if (dsi_->command_func == nullptr) {
        return missing_slot("command");
    }
    auto op = detail::make_operation(OperationKind::Command, config_, hooks);
    op->command = request;
    orvel_gfs_command_info_t info{};
    info.command = op->command.command;
    info.pathname = op->command.pathname.c_str();
    info.cksm_offset = op->command.cksm_offset;
    info.cksm_length = op->command.cksm_length;
    info.cksm_alg = op->command.cksm_alg.c_str();
    info.from_pathname = null_if_empty(op->command.from_pathname);
    dsi_->command_func(op.get(), &info, session_arg_);
    return detail::complete_operation(*op, "command");
}

namespace {

orvel_gfs_transfer_info_t transfer_info_of(const TransferRequest &request)
{
    orvel_gfs_transfer_info_t info{};
    info.pathname = request.pathname.c_str();
    info.partial_offset = 0;
    info.partial_length = -1;
    info.truncate = request.truncate;
    info.alloc_size = request.alloc_size;
    return info;
}

} // namespace

Outcome Session::send(const TransferRequest &request, const Hooks &hooks)
{
    if (dsi_->send_func == nullptr) {
        return missing_slot("send");
    }
    auto op = detail::make_operation(OperationKind::Send, config_, hooks);
    op->transfer = request;
    op->channel = request.channel;
    if (request.read_ranges.empty()) {
        op->read_ranges.emplace_back(0, -1);
    } else {
        op->read_ranges.assign(request.read_ranges.begin(), request.read_ranges.end());
    }
    orvel_gfs_transfer_info_t info = transfer_info_of(op->transfer);
    if (op->read_ranges.size() == 1) {
        info.partial_offset = op->read_ranges.front().first;
        info.partial_length = op->read_ranges.front().second;
    }
    dsi_->send_func(op.get(), &info, session_arg_);
    return detail::complete_operation(*op, "send");
}

Outcome Session::recv(const TransferRequest &request, const Hooks &hooks)
{
    if (dsi_->recv_func == nullptr) {
        return missing_slot("recv");
    }
    auto op = detail::make_operation(OperationKind::Recv, config_, hooks);
    op->transfer = request;
    op->channel = request.channel;
    op->read_stream_offset = request.write_range.first > 0 ? request.write_range.first : 0;
    orvel_gfs_transfer_info_t info = transfer_info_of(op->transfer);
    info.partial_offset = op->read_stream_offset;
    dsi_->recv_func(op.get(), &info, session_arg_);
    return detail::complete_operation(*op, "recv");
}

} // namespace orvel::host
