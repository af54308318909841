// Allocation faults walked over one short session. Every allocation of the
// plug-in, and of the JSON library while the plug-in is active, goes through
// the plug-in's system-call table. The walk runs the same session again and
// again and makes the n-th of those allocations fail, for n = 1, 2, 3, ...,
// until a session runs to its end without reaching the n-th.
//
// Two walks: in the first only the n-th allocation fails and the later ones
// succeed again (a passing shortage), so each run also shows that the session
// is sound after the failure: the later operations answer correctly. In the
// second every allocation from the n-th on fails (an exhausted heap), which
// reaches the paths that report and clean up after a failure while memory
// stays short.
//
// Every run, every operation: answered exactly once; a failure carries an
// error reply; a success has the right data (what the session without a fault
// saw, or what the service holds afterwards). After every run no error object
// is left held by the runtime, and under AddressSanitizer no memory leaked.
#include "dropbox_session_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define ORVEL_WALK_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVEL_WALK_LEAK_CHECK 1
#endif
#endif
#ifdef ORVEL_WALK_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

using namespace orvel;
using namespace orvel::test;

namespace {

std::atomic<bool> armed{false}; // counting allocations
std::atomic<long> counted{0};   // allocations since arming
std::atomic<long> fail_at{0};   // the allocation that fails, 1-based; 0 = none
std::atomic<bool> persistent{false}; // every allocation from fail_at on fails

bool fails_now()
{
    if (!armed.load())
        return false;
    long n = ++counted;
    long at = fail_at.load();
    return at > 0 && (persistent.load() ? n >= at : n == at);
}

void *walk_malloc(size_t size)
{
    return fails_now() ? nullptr : orvel_i_dropbox_syscalls_default.malloc(size);
}

void *walk_calloc(size_t count, size_t size)
{
    return fails_now() ? nullptr : orvel_i_dropbox_syscalls_default.calloc(count, size);
}

void *walk_realloc(void *pointer, size_t size)
{
    return fails_now() ? nullptr : orvel_i_dropbox_syscalls_default.realloc(pointer, size);
}

const std::string kContent = "the bytes of a small file\n";
const std::string kUpload = "uploaded through the session\n";

// What one session reported, operation by operation.
struct SessionRun {
    bool started = false;
    std::vector<std::pair<std::string, host::Outcome>> outcomes;
    std::string downloaded;
};

class DropboxAllocationWalk : public DropboxSession, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        DropboxSession::SetUp();
        orvel_i_dropbox_syscalls.malloc = walk_malloc;
        orvel_i_dropbox_syscalls.calloc = walk_calloc;
        orvel_i_dropbox_syscalls.realloc = walk_realloc;
    }
    void TearDown() override
    {
        armed = false;
        orvel_i_dropbox_syscalls.malloc = orvel_i_dropbox_syscalls_default.malloc;
        orvel_i_dropbox_syscalls.calloc = orvel_i_dropbox_syscalls_default.calloc;
        orvel_i_dropbox_syscalls.realloc = orvel_i_dropbox_syscalls_default.realloc;
        DropboxSession::TearDown();
    }

    // The service's files as every run finds them; the state files of the
    // account start afresh too, so that every run allocates alike.
    void reset() const
    {
        std::filesystem::remove_all(emu_->ns_dir() + "/docs");
        emu_->put_file("/docs/a.txt", kContent);
        emu_->put_file("/docs/b.txt", "to be deleted\n");
        std::filesystem::remove_all(override_home() + "/.orvel");
        emu_->clear_log();
    }

    // Login, one listing page, a download, an upload, mkdir, stat, delete, and
    // the listing again.
    SessionRun session()
    {
        SessionRun run;
        host::Outcome started;
        std::map<std::string, std::string> texts{{"creds", emu_->credential_json()}};
        std::unique_ptr<host::Session> session =
            host::Host::start_session("dropbox", "ann", host::fixed_config(texts), &started);
        run.outcomes.emplace_back("start", started);
        if (session == nullptr)
            return run;
        run.started = true;
        run.outcomes.emplace_back("list", session->stat("/docs", false));

        auto sink = std::make_shared<host::MemoryChannel>();
        host::TransferRequest download;
        download.pathname = "/docs/a.txt";
        download.channel = sink;
        run.outcomes.emplace_back("download", session->send(download));
        run.downloaded = sink->written();

        host::TransferRequest upload;
        upload.pathname = "/docs/up.txt";
        upload.channel = std::make_shared<host::MemoryChannel>(kUpload);
        upload.alloc_size = (int64_t)kUpload.size();
        run.outcomes.emplace_back("upload", session->recv(upload));

        host::CommandRequest mkdir;
        mkdir.command = ORVEL_GFS_CMD_MKD;
        mkdir.pathname = "/docs/new";
        run.outcomes.emplace_back("mkdir", session->command(mkdir));
        run.outcomes.emplace_back("stat", session->stat("/docs/up.txt", true));
        host::CommandRequest remove;
        remove.command = ORVEL_GFS_CMD_DELE;
        remove.pathname = "/docs/b.txt";
        run.outcomes.emplace_back("delete", session->command(remove));
        // Answered from the cache where the session trusts it: the cache
        // must have followed every change above, whatever failed.
        run.outcomes.emplace_back("relist", session->stat("/docs", false));
        return run;
    }

    // Whether the successful outcome of operation `name` holds the right data.
    bool right_data(const std::string &name, const host::Outcome &outcome, const SessionRun &run,
                    const SessionRun &clean) const
    {
        if (name == "list" || name == "start")
            return names(outcome) == names(clean.outcomes[name == "list" ? 1 : 0].second);
        if (name == "download")
            return run.downloaded == kContent;
        if (name == "upload")
            return emu_->exists("/docs/up.txt") && emu_->read_file("/docs/up.txt") == kUpload;
        if (name == "mkdir")
            return std::filesystem::is_directory(emu_->ns_dir() + "/docs/new");
        if (name == "stat") {
            std::vector<host::StatEntry> entries = outcome.all_stats();
            return entries.size() == 1 && entries[0].size == (int64_t)kUpload.size() &&
                   emu_->exists("/docs/up.txt");
        }
        if (name == "delete")
            return !emu_->exists("/docs/b.txt");
        if (name == "relist") {
            std::vector<std::string> listed = names(outcome);
            std::vector<std::string> present{"."};
            for (const auto &file : std::filesystem::directory_iterator(emu_->ns_dir() + "/docs"))
                present.push_back(file.path().filename().string());
            std::sort(listed.begin(), listed.end());
            std::sort(present.begin(), present.end());
            return listed == present;
        }
        return false;
    }

    // The faults of one run, as text ("" when none).
    std::string judge(const SessionRun &run, const SessionRun &clean) const
    {
        std::string faults;
        for (const auto &[name, outcome] : run.outcomes) {
            if (outcome.finish_calls != 1) {
                faults += " " + name + ": answered " + std::to_string(outcome.finish_calls) + " times;";
            } else if (outcome.ok()) {
                if (!right_data(name, outcome, run, clean))
                    faults += " " + name + ": success with wrong data;";
            } else if (outcome.error == nullptr || outcome.ftp_reply().empty()) {
                faults += " " + name + ": failure without an error reply;";
            }
        }
        return faults;
    }
};

TEST_P(DropboxAllocationWalk, EveryAllocationOfASessionMayFail)
{
    persistent = GetParam();
    const size_t held = orvel_error_held_count();

    // The session without a fault: everything succeeds; its answers are the
    // reference of the runs with one.
    reset();
    counted = 0;
    fail_at = 0;
    armed = true;
    SessionRun clean = session();
    armed = false;
    const long total = counted.load();
    ASSERT_EQ(clean.outcomes.size(), 8u);
    for (const auto &[name, outcome] : clean.outcomes)
        ASSERT_TRUE(outcome.ok() && outcome.finish_calls == 1) << name << ": " << outcome.chain_text();
    ASSERT_EQ(judge(clean, clean), "");
    ASSERT_GT(total, 0);

    const auto began = std::chrono::steady_clock::now();
    int reported = 0;
    long n = 1;
    for (;; ++n) {
        reset();
        counted = 0;
        fail_at = n;
        armed = true;
        SessionRun run = session();
        armed = false;
        bool reached = counted.load() >= n;

        std::string faults = judge(run, clean);
        if (orvel_error_held_count() != held)
            faults += " error objects left held: " + std::to_string(orvel_error_held_count() - held) + ";";
#ifdef ORVEL_WALK_LEAK_CHECK
        if (__lsan_do_recoverable_leak_check() != 0)
            faults += " memory leaked (see the report above);";
#endif
        if (!faults.empty() && reported++ < 40)
            ADD_FAILURE() << "allocation " << n << " failing:" << faults;
        if (!reached)
            break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("allocation walk (%s): %ld allocation points of a session of %ld allocations, %.1f s\n",
                persistent ? "every allocation from the n-th on fails" : "the n-th allocation fails", n - 1, total,
                seconds);
    EXPECT_GE(n - 1, total);
}

INSTANTIATE_TEST_SUITE_P(Faults, DropboxAllocationWalk, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "FromTheNthOn" : "TheNthOnly");
                         });

} // namespace
