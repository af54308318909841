// Small helpers for tests that call the REST library directly: header lists
// that own their texts, and a response record that owns its header names.
#pragma once

#include "orvel_dsi_rest.h"

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

} // namespace orvel::test
