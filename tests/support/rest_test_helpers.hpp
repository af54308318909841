// Small helpers for tests that call the REST library directly: header lists
// that own their texts, a response record that owns its header names, the
// callbacks of one exchange, and the common calls through a data channel.
#pragma once

#include "orvel_dsi_rest.h"

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace orvel::test {

constexpr const char *kApiBase = "https://api.dropboxapi.com";
constexpr const char *kContentBase = "https://content.dropboxapi.com";

// A header (or query) list whose keys and values live as long as the object.
class KeyList {
public:
    KeyList(std::initializer_list<std::pair<std::string, std::string>> items) : texts_(items) { rebuild(); }
    KeyList(const KeyList &) = delete;
    KeyList &operator=(const KeyList &) = delete;
    void add(const std::string &key, const std::string &value)
    {
        texts_.emplace_back(key, value);
        rebuild();
    }
    const orvel_dsi_rest_key_array_t *get() const { return &array_; }

private:
    void rebuild()
    {
        pairs_.clear();
        for (auto &t : texts_) {
            pairs_.push_back({t.first.data(), t.second.data()});
        }
        array_ = {pairs_.size(), pairs_.data()};
    }
    std::vector<std::pair<std::string, std::string>> texts_;
    std::vector<orvel_dsi_rest_key_value_t> pairs_;
    orvel_dsi_rest_key_array_t array_{};
};

// A response record asking for the given reply headers; released at the end.
class Response {
public:
    explicit Response(std::initializer_list<std::string> desired = {}) : names_(desired)
    {
        for (auto &n : names_) {
            pairs_.push_back({n.data(), nullptr});
        }
        record.desired_headers = {pairs_.size(), pairs_.empty() ? nullptr : pairs_.data()};
    }
    Response(const Response &) = delete;
    Response &operator=(const Response &) = delete;
    ~Response() { orvel_dsi_rest_response_arg_clear(&record); }
    // Value of the i-th desired header, or null.
    const char *value(size_t i) const { return pairs_.at(i).value; }
    orvel_dsi_rest_response_arg_t record{};

private:
    std::vector<std::string> names_;
    std::vector<orvel_dsi_rest_key_value_t> pairs_;
};

// The common headers of the service's calls for the emulator's first account.
inline void add_auth(KeyList &headers, const std::string &token = "token-ann")
{
    headers.add("Authorization", "Bearer " + token);
}

// The printed error chain of `result` ("" for success).
inline std::string error_text(orvel_result_t result)
{
    char *text = orvel_error_print_chain(orvel_error_peek(result));
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

// The callbacks of one exchange, set one concern at a time, e.g.
//   Callbacks callbacks;
//   callbacks.record(response).send_json(arg).read_json(&reply).idle(30000);
class Callbacks {
public:
    // Reply status, desired headers, error body and byte counts go to `response`.
    Callbacks &record(Response &response)
    {
        set_.response_callback = orvel_dsi_rest_response;
        set_.response_callback_arg = &response.record;
        return *this;
    }
    Callbacks &send_json(json_t *arg) { return send(orvel_dsi_rest_write_json, arg); }
    Callbacks &send_block(orvel_dsi_rest_write_block_arg_t *block) { return send(orvel_dsi_rest_write_block, block); }
    // The request body streams from the data channel of arg->op.
    Callbacks &send_op(orvel_dsi_rest_gridftp_op_arg_t *arg) { return send(orvel_dsi_rest_write_gridftp_op, arg); }
    Callbacks &read_json(json_t **reply) { return read_with(orvel_dsi_rest_read_json, reply); }
    // The reply body goes to the data channel of arg->op.
    Callbacks &read_op(orvel_dsi_rest_gridftp_op_arg_t *arg) { return read_with(orvel_dsi_rest_read_gridftp_op, arg); }
    Callbacks &read_with(orvel_dsi_rest_data_read_t sink, void *arg)
    {
        set_.data_read_callback = sink;
        set_.data_read_callback_arg = arg;
        return *this;
    }
    // The exchange fails once no byte moved for `ms` milliseconds.
    Callbacks &idle(int ms)
    {
        set_.progress_callback = orvel_dsi_rest_progress_idle_timeout;
        set_.progress_callback_arg = reinterpret_cast<void *>(static_cast<intptr_t>(ms));
        return *this;
    }
    const orvel_dsi_rest_callbacks_t *get() const { return &set_; }

private:
    Callbacks &send(orvel_dsi_rest_data_write_t source, void *arg)
    {
        set_.data_write_callback = source;
        set_.data_write_callback_arg = arg;
        return *this;
    }
    orvel_dsi_rest_callbacks_t set_{};
};

// One exchange with the library; `uri` is a base address and an endpoint path.
inline orvel_result_t rest_call(const char *method, const std::string &uri, const KeyList &headers,
                                const Callbacks &callbacks)
{
    return orvel_dsi_rest_request(method, uri.c_str(), nullptr, headers.get(), callbacks.get());
}

// Download of `path` (with the Range header `range` unless empty) into the
// data channel of arg->op; the caller sets arg's operation, offset and length.
inline orvel_result_t download_into_op(const std::string &path, orvel_dsi_rest_gridftp_op_arg_t *arg,
                                       Callbacks callbacks = {}, const std::string &range = "")
{
    KeyList headers{{"Dropbox-API-Arg", "{\"path\": \"" + path + "\"}"}};
    if (!range.empty()) {
        headers.add("Range", range);
    }
    add_auth(headers);
    callbacks.read_op(arg);
    return rest_call("GET", std::string(kContentBase) + "/2/files/download", headers, callbacks);
}

// Upload (overwriting) of `path` from the data channel of arg->op; the caller
// sets arg's operation and length.
inline orvel_result_t upload_from_op(const std::string &path, orvel_dsi_rest_gridftp_op_arg_t *arg,
                                     Callbacks callbacks = {})
{
    KeyList headers{{"Content-Type", "application/octet-stream"},
                    {"Dropbox-API-Arg", "{\"path\": \"" + path + "\", \"mode\": \"overwrite\"}"}};
    add_auth(headers);
    callbacks.send_op(arg);
    return rest_call("POST", std::string(kContentBase) + "/2/files/upload", headers, callbacks);
}

} // namespace orvel::test
