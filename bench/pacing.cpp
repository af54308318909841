// Pacing across sibling processes: four processes (fork) make paced API calls
// for the same account against the emulator at the default rate of 20 per
// second. Prints the smallest spacing of request starts (as written to the
// shared state file, and as seen by the emulator), the aggregate rate as a
// share of the limit, and the cost of one paced call's lock and clock work
// when no sleep is needed.
//
// Usage: bench_pacing [seconds]   (default 10)
#include "emulator_fixture.hpp"
#include "home_override.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_host.hpp"

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Records the start this process wrote each time it releases the lock.
orvel_dropbox_retry_t *recorded_state = nullptr;
std::vector<orvel_abstime_t> recorded_starts;

int recording_fcntl(int fd, int cmd, struct flock *lock)
{
    if (recorded_state != nullptr && fd == recorded_state->fd && cmd == F_SETLK && lock->l_type == F_UNLCK)
        recorded_starts.push_back(recorded_state->shared->last);
    return orvel_i_dropbox_syscalls_default.fcntl(fd, cmd, lock);
}

double now_seconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (double)tv.tv_sec + tv.tv_usec / 1e6;
}

void fill_handle(orvel_dropbox_handle_t *h, uint32_t rate)
{
    memset(h, 0, sizeof *h);
    h->access_token = strdup("token-ann");
    h->root_namespace_id = strdup("1000");
    h->userid = strdup("dbid:ann");
    orvel_i_dropbox_retry_state_create(h->userid, rate, &h->retry_state);
}

void free_handle(orvel_dropbox_handle_t *h)
{
    orvel_i_dropbox_retry_state_destroy(&h->retry_state);
    free(h->access_token);
    free(h->root_namespace_id);
    free(h->userid);
}

// One child: paced list_folder calls until `deadline`; writes its starts.
int run_child(int out_fd, double deadline)
{
    orvel_dropbox_handle_t h;
    fill_handle(&h, 20);
    if (h.retry_state.fd < 0)
        return 2;
    recorded_state = &h.retry_state;
    orvel_i_dropbox_syscalls.fcntl = recording_fcntl;
    int failures = 0;
    while (now_seconds() < deadline) {
        json_t *args = json_pack("{s:s, s:i, s:b}", "path", "", "limit", 1000, "include_non_downloadable_files", 0);
        json_t *reply = nullptr;
        orvel_dropbox_api_call_t call{};
        call.endpoint = &orvel_i_dropbox_ep_list_folder;
        call.args = args;
        orvel_result_t result = orvel_dropbox_api_call(&h, &call, &reply, nullptr);
        if (result != ORVEL_SUCCESS) {
            failures++;
            orvel_error_discard(result);
        }
        json_decref(reply);
        json_decref(args);
    }
    recorded_state = nullptr;
    free_handle(&h);
    size_t bytes = recorded_starts.size() * sizeof(orvel_abstime_t);
    if (write(out_fd, recorded_starts.data(), bytes) != (ssize_t)bytes)
        return 3;
    return failures == 0 ? 0 : 4;
}

void spacing_and_rate(std::vector<double> starts, double limit, double *smallest, double *ratio)
{
    std::sort(starts.begin(), starts.end());
    *smallest = 1e9;
    for (size_t i = 1; i < starts.size(); i++)
        *smallest = std::min(*smallest, starts[i] - starts[i - 1]);
    double span = starts.size() > 1 ? starts.back() - starts.front() : 0;
    *ratio = span > 0 ? ((double)(starts.size() - 1) / span) / limit : 0;
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = argc > 1 ? atof(argv[1]) : 10.0;
    constexpr int kProcesses = 4;
    constexpr double kRate = 20.0;

    const std::string home_dir = orvel::test::make_temp_dir("orvel-bench-home");
    orvel::test::override_home() = home_dir;
    orvel_i_dropbox_syscalls.getpwuid_r = orvel::test::home_getpwuid_r;
    std::string state_dir = home_dir + "/.orvel";
    mkdir(state_dir.c_str(), 0700);

    orvel::test::Emulator emulator;
    emulator.use_for_rest();
    if (orvel::host::Host::activate_module(&orvel_gridftp_server_dropbox_module) != 0) {
        fprintf(stderr, "cannot activate the plug-in\n");
        return 1;
    }
    emulator.clear_log();

    // ------------------------------------------------- four paced processes
    double deadline = now_seconds() + seconds;
    int pipes[kProcesses][2];
    pid_t children[kProcesses];
    for (int p = 0; p < kProcesses; p++) {
        if (pipe(pipes[p]) != 0)
            return 1;
        children[p] = fork();
        if (children[p] == 0) {
            close(pipes[p][0]);
            _exit(run_child(pipes[p][1], deadline));
        }
        close(pipes[p][1]);
    }
    std::vector<double> client_starts;
    bool ok = true;
    for (int p = 0; p < kProcesses; p++) {
        orvel_abstime_t t;
        while (read(pipes[p][0], &t, sizeof t) == (ssize_t)sizeof t)
            client_starts.push_back((double)t.tv_sec + (double)t.tv_nsec / 1e9);
        close(pipes[p][0]);
        int status = 0;
        waitpid(children[p], &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "child %d ended with status %d\n", p, status);
            ok = false;
        }
    }
    std::vector<double> server_starts;
    for (json_t *entry : emulator.log_entries("/2/files/list_folder")) {
        server_starts.push_back(json_real_value(json_object_get(entry, "start")));
        json_decref(entry);
    }

    double client_min, client_ratio, server_min, server_ratio;
    spacing_and_rate(client_starts, kRate, &client_min, &client_ratio);
    spacing_and_rate(server_starts, kRate, &server_min, &server_ratio);
    printf("paced calls: %d processes, %.1f s, limit %.0f/s\n", kProcesses, seconds, kRate);
    printf("  requests: %zu (emulator saw %zu)\n", client_starts.size(), server_starts.size());
    printf("  smallest spacing of request starts (state file): %.3f ms\n", client_min * 1e3);
    printf("  smallest spacing of request arrivals (emulator log): %.3f ms\n", server_min * 1e3);
    printf("  aggregate rate / limit (state file): %.4f\n", client_ratio);
    printf("  aggregate rate / limit (emulator log): %.4f\n", server_ratio);

    // ---------------------------------------- cost without any sleep (delay 0)
    orvel_dropbox_handle_t h;
    fill_handle(&h, 2000000);
    constexpr int kCalls = 200000;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kCalls; i++)
        orvel_i_dropbox_retry_delay(0, &h.retry_state);
    auto t1 = std::chrono::steady_clock::now();
    double per_call_ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / kCalls;
    printf("paced call without sleep (delay %u us, file %s): %.0f ns per call (lock, two clock reads, unlock)\n",
           h.retry_state.delay, h.retry_state.fd >= 0 ? "shared" : "private", per_call_ns);
    free_handle(&h);

    orvel::host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
    orvel::test::remove_tree(home_dir);
    return ok && client_min >= 0.050 ? 0 : 1;
}
