// The operation object and every call a plug-in makes on it: finishing
// operations (recorded in the Outcome), configuration texts, ranges, stat
// batches, progress replies and data-channel reads and writes.
#include "operation.hpp"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

namespace orvel::host::detail {

const char *operation_kind_name(OperationKind kind)
{
    switch (kind) {
    case OperationKind::SessionStart:
        return "session start";
    case OperationKind::Command:
        return "command";
    case OperationKind::Stat:
        return "stat";
    case OperationKind::Send:
        return "send";
    case OperationKind::Recv:
        return "recv";
    }
    return "operation";
}

// ----------------------------------------------------------- channel worker

ChannelWorker::~ChannelWorker()
{
    drain_and_join();
}

bool ChannelWorker::post(std::function<void()> task)
{
    std::unique_lock lock(mutex_);
    if (stopping_) {
        return false;
    }
    if (!started_) {
        try {
            thread_ = std::thread([this] { loop(); });
        } catch (const std::system_error &) {
            return false;
        }
        started_ = true;
    }
    queue_.push_back(std::move(task));
    cond_.notify_one();
    return true;
}

void ChannelWorker::loop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        cond_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) {
            return; // stopping and drained
        }
        std::function<void()> task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        task();
        lock.lock();
        ++tasks_run_;
    }
}

void ChannelWorker::drain_and_join()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        cond_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

size_t ChannelWorker::tasks_run() const
{
    std::lock_guard lock(mutex_);
    return tasks_run_;
}

// ---------------------------------------------------------------- helpers

void ensure_runtime()
{
    static std::once_flag once;
    std::call_once(once, [] { orvel_module_activate(&orvel_i_common_module); });
}

orvel_result_t put_reply_error(int code, const char *error_code, const std::string &message)
{
    return orvel_error_put(
        orvel_gfs_ftp_response_error_construct(nullptr, nullptr, code, error_code, "%s", message.c_str()));
}

std::unique_ptr<orvel_gfs_operation_s> make_operation(OperationKind kind, ConfigProvider config, Hooks hooks)
{
    auto op = std::make_unique<orvel_gfs_operation_s>();
    op->kind = kind;
    op->config = std::move(config);
    op->hooks = std::move(hooks);
    return op;
}

Outcome complete_operation(orvel_gfs_operation_s &op, const char *slot_name)
{
    // Outstanding reads and writes call back before the outcome is read.
    op.worker.drain_and_join();
    std::lock_guard lock(op.mutex);
    if (!op.outcome.finished) {
        std::string message = std::string("The storage interface returned from ") + slot_name +
                              " without finishing the " + operation_kind_name(op.kind);
        orvel_object_t *error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 451, "OPERATION_NOT_FINISHED",
                                                                       "%s", message.c_str());
        op.outcome.result = error != nullptr ? orvel_error_put(error) : ORVEL_FAILURE;
        op.outcome.error = std::shared_ptr<orvel_object_t>(orvel_error_get(op.outcome.result), orvel_object_free);
    }
    return op.outcome;
}

StatEntry copy_stat(const orvel_gridftp_server_control_stat_t &record)
{
    StatEntry entry;
    entry.mode = record.mode;
    entry.nlink = record.nlink;
    entry.name = record.name != nullptr ? record.name : "";
    entry.symlink_target = record.symlink_target != nullptr ? record.symlink_target : "";
    entry.uid = record.uid;
    entry.gid = record.gid;
    entry.size = record.size;
    entry.atime = record.atime;
    entry.ctime = record.ctime;
    entry.mtime = record.mtime;
    entry.dev = record.dev;
    entry.ino = record.ino;
    return entry;
}

namespace {

std::vector<StatEntry> copy_batch(const orvel_gridftp_server_control_stat_t *array, int count)
{
    std::vector<StatEntry> batch;
    if (array == nullptr || count <= 0) {
        return batch;
    }
    batch.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        batch.push_back(copy_stat(array[i]));
    }
    return batch;
}

std::shared_ptr<orvel_object_t> take_error(orvel_result_t result)
{
    if (result == ORVEL_SUCCESS) {
        return nullptr;
    }
    return std::shared_ptr<orvel_object_t>(orvel_error_get(result), orvel_object_free);
}

// Records one finished_* call. The first one decides the outcome; later ones
// are counted (and their errors released) so that a test can see them.
void record_finish(orvel_gfs_operation_s *op, orvel_result_t result)
{
    std::shared_ptr<orvel_object_t> error = take_error(result);
    std::lock_guard lock(op->mutex);
    ++op->outcome.finish_calls;
    if (op->outcome.finished) {
        return;
    }
    op->outcome.finished = true;
    op->outcome.result = result;
    op->outcome.error = std::move(error);
}

bool is_transfer(const orvel_gfs_operation_s *op)
{
    return op->kind == OperationKind::Send || op->kind == OperationKind::Recv;
}

// Checks that a data-channel call may go ahead; an error result otherwise.
orvel_result_t check_channel(orvel_gfs_operation_s *op, const void *buffer, const void *callback)
{
    if (!is_transfer(op)) {
        return put_reply_error(425, "NO_DATA_CHANNEL",
                               std::string("A ") + operation_kind_name(op->kind) + " has no data channel");
    }
    if (op->channel == nullptr) {
        return put_reply_error(425, "NO_DATA_CHANNEL", "The transfer has no data channel");
    }
    if (!op->outcome.transfer_begun) {
        return put_reply_error(425, "NO_DATA_CHANNEL",
                               "The data channel is not open: begin_transfer has not been called");
    }
    if (buffer == nullptr || callback == nullptr) {
        return put_reply_error(500, "INTERNAL_ERROR", "Data channel call without buffer or callback");
    }
    return ORVEL_SUCCESS;
}

} // namespace

} // namespace orvel::host::detail

using namespace orvel::host;
using namespace orvel::host::detail;

extern "C" {

void orvel_gridftp_server_finished_session_start(orvel_gfs_operation_t op, orvel_result_t result, void *session_arg,
                                                 const char * /*username*/, const char *home_dir)
{
    if (op == nullptr) {
        orvel_error_discard(result);
        return;
    }
    {
        std::lock_guard lock(op->mutex);
        if (!op->outcome.finished && result == ORVEL_SUCCESS) {
            op->session_arg = session_arg;
            if (home_dir != nullptr) {
                op->home_dir = home_dir;
                op->home_dir_set = true;
            }
        }
    }
    record_finish(op, result);
}

void orvel_gridftp_server_set_checksum_support(orvel_gfs_operation_t op, const char *cksm_str)
{
    if (op == nullptr) {
        return;
    }
    std::lock_guard lock(op->mutex);
    op->checksum_support = cksm_str != nullptr ? cksm_str : "";
}

void orvel_gridftp_server_get_config_data(orvel_gfs_operation_t op, const char *key, char **data_out)
{
    if (data_out == nullptr) {
        return;
    }
    *data_out = nullptr;
    if (op == nullptr || key == nullptr || !op->config) {
        return;
    }
    std::optional<std::string> text;
    try {
        text = op->config(key);
    } catch (...) {
        text.reset(); // a provider that fails gives no text
    }
    if (!text) {
        return;
    }
    std::lock_guard lock(op->mutex);
    op->config_texts.push_back(std::move(*text));
    *data_out = op->config_texts.back().data();
}

void orvel_gridftp_server_finished_command(orvel_gfs_operation_t op, orvel_result_t result, const char *reply)
{
    if (op == nullptr) {
        orvel_error_discard(result);
        return;
    }
    {
        std::lock_guard lock(op->mutex);
        if (!op->outcome.finished) {
            op->outcome.reply_text_null = reply == nullptr;
            op->outcome.reply_text = reply != nullptr ? reply : "";
        }
    }
    record_finish(op, result);
}

void orvel_gridftp_server_intermediate_command(orvel_gfs_operation_t op, orvel_result_t result, const char *reply)
{
    // A progress reply carries no error of its own; one handed over anyway is released.
    orvel_error_discard(result);
    if (op == nullptr) {
        return;
    }
    std::string text = reply != nullptr ? reply : "";
    std::function<void(const std::string &)> hook;
    {
        std::lock_guard lock(op->mutex);
        op->outcome.intermediate.push_back(text);
        hook = op->hooks.on_intermediate;
    }
    if (hook) {
        hook(text);
    }
}

void orvel_gridftp_server_get_update_interval(orvel_gfs_operation_t op, int *interval_out)
{
    if (interval_out == nullptr) {
        return;
    }
    *interval_out = 0;
    if (op != nullptr && op->kind == OperationKind::Command) {
        *interval_out = op->command.update_interval;
    }
}

void orvel_gridftp_server_finished_stat(orvel_gfs_operation_t op, orvel_result_t result,
                                        orvel_gridftp_server_control_stat_t *stat_array, int stat_count)
{
    if (op == nullptr) {
        orvel_error_discard(result);
        return;
    }
    std::vector<StatEntry> batch = copy_batch(stat_array, stat_count);
    {
        std::lock_guard lock(op->mutex);
        if (!op->outcome.finished) {
            op->outcome.stat_batches.push_back(std::move(batch));
        }
    }
    record_finish(op, result);
}

void orvel_gridftp_server_finished_stat_partial(orvel_gfs_operation_t op, orvel_result_t result,
                                                orvel_gridftp_server_control_stat_t *stat_array, int stat_count)
{
    // A partial batch reports records, not an outcome; an error here is released.
    orvel_error_discard(result);
    if (op == nullptr) {
        return;
    }
    std::vector<StatEntry> batch = copy_batch(stat_array, stat_count);
    std::function<void(const std::vector<StatEntry> &)> hook;
    {
        std::lock_guard lock(op->mutex);
        if (op->outcome.finished) {
            return; // too late: the operation has ended
        }
        hook = op->hooks.on_stat_batch;
        if (!hook) {
            op->outcome.stat_batches.push_back(batch);
        }
    }
    // A front-end that takes the batches as they come gets them only through
    // its hook, so a listing of any size is not held whole in memory.
    if (hook) {
        hook(batch);
    }
}

void orvel_gridftp_server_begin_transfer(orvel_gfs_operation_t op, int /*event_mask*/, void * /*event_arg*/)
{
    if (op == nullptr) {
        return;
    }
    std::function<void()> hook;
    {
        std::lock_guard lock(op->mutex);
        if (op->outcome.transfer_begun) {
            return;
        }
        op->outcome.transfer_begun = true;
        hook = op->hooks.on_begin_transfer;
    }
    if (hook) {
        hook();
    }
}

void orvel_gridftp_server_finished_transfer(orvel_gfs_operation_t op, orvel_result_t result)
{
    if (op == nullptr) {
        orvel_error_discard(result);
        return;
    }
    record_finish(op, result);
}

void orvel_gridftp_server_get_read_range(orvel_gfs_operation_t op, orvel_off_t *offset, orvel_off_t *length)
{
    orvel_off_t o = 0, l = 0;
    if (op != nullptr && op->kind == OperationKind::Send) {
        std::lock_guard lock(op->mutex);
        if (!op->read_ranges.empty()) {
            o = op->read_ranges.front().first;
            l = op->read_ranges.front().second;
            op->read_ranges.pop_front();
        }
    }
    if (offset != nullptr) {
        *offset = o;
    }
    if (length != nullptr) {
        *length = l;
    }
}

void orvel_gridftp_server_get_write_range(orvel_gfs_operation_t op, orvel_off_t *offset, orvel_off_t *length)
{
    orvel_off_t o = 0, l = -1;
    if (op != nullptr && op->kind == OperationKind::Recv) {
        o = op->transfer.write_range.first;
        l = op->transfer.write_range.second;
    }
    if (offset != nullptr) {
        *offset = o;
    }
    if (length != nullptr) {
        *length = l;
    }
}

orvel_result_t orvel_gridftp_server_get_recv_modification_time(orvel_gfs_operation_t op, time_t *time_out)
{
    if (time_out != nullptr) {
        *time_out = -1;
    }
    if (op == nullptr || time_out == nullptr) {
        return put_reply_error(500, "INTERNAL_ERROR", "get_recv_modification_time without operation or output");
    }
    if (op->kind != OperationKind::Recv) {
        return ORVEL_SUCCESS; // no time for anything but a store
    }
    if (!op->transfer.modification_time.has_value()) {
        return put_reply_error(500, "INTERNAL_ERROR", "The modification time of the upload is not available");
    }
    *time_out = *op->transfer.modification_time;
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_gridftp_server_register_read(orvel_gfs_operation_t op, orvel_byte_t *buffer, size_t length,
                                                  orvel_gfs_read_cb_t callback, void *user_arg)
{
    if (op == nullptr) {
        return put_reply_error(500, "INTERNAL_ERROR", "register_read without an operation");
    }
    orvel_result_t check;
    {
        std::lock_guard lock(op->mutex);
        check = check_channel(op, buffer, reinterpret_cast<const void *>(callback));
    }
    if (check != ORVEL_SUCCESS) {
        return check;
    }
    bool posted = op->worker.post([op, buffer, length, callback, user_arg] {
        size_t nread = 0;
        bool eof = false;
        orvel_result_t result = op->channel->read(buffer, length, &nread, &eof);
        orvel_off_t offset;
        {
            std::lock_guard lock(op->mutex);
            offset = op->read_stream_offset;
            if (result == ORVEL_SUCCESS) {
                op->read_stream_offset += static_cast<orvel_off_t>(nread);
            } else {
                nread = 0;
            }
        }
        callback(op, result, buffer, nread, offset, eof, user_arg);
    });
    if (!posted) {
        return orvel_error_put(orvel_i_gfs_error_system(451, EAGAIN, "System error in %s", "pthread_create"));
    }
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_gridftp_server_register_write(orvel_gfs_operation_t op, orvel_byte_t *buffer, size_t length,
                                                   orvel_off_t offset, int /*stripe_ndx*/,
                                                   orvel_gfs_write_cb_t callback, void *user_arg)
{
    if (op == nullptr) {
        return put_reply_error(500, "INTERNAL_ERROR", "register_write without an operation");
    }
    orvel_result_t check;
    {
        std::lock_guard lock(op->mutex);
        check = check_channel(op, buffer, reinterpret_cast<const void *>(callback));
    }
    if (check != ORVEL_SUCCESS) {
        return check;
    }
    if (offset < 0) {
        return put_reply_error(501, "INVALID_OFFSET", "Negative write offset " + std::to_string(offset));
    }
    bool posted = op->worker.post([op, buffer, length, offset, callback, user_arg] {
        orvel_result_t result = op->channel->write(buffer, length, offset);
        callback(op, result, buffer, result == ORVEL_SUCCESS ? length : 0, user_arg);
    });
    if (!posted) {
        return orvel_error_put(orvel_i_gfs_error_system(451, EAGAIN, "System error in %s", "pthread_create"));
    }
    return ORVEL_SUCCESS;
}

} // extern "C"
