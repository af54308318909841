// DELE and RMD with their FTP meaning, given before the storage's delete runs
// (which removes a path of any kind, a folder with everything in it): DELE
// removes files only, RMD empty folders only. SITE RDEL stays the explicit
// recursive delete.
#include "ftp_session.hpp"
#include "listing.hpp"

#include <cstdint>

namespace orvel::server {

void FtpSession::cmd_dele(const std::string &arg)
{
    if (arg.empty())
        return reply(501, "DELE needs a path.");
    std::string path = resolve(arg);
    orvel::host::StatEntry entry;
    if (!stat_one(path, &entry))
        return;
    if (is_folder(entry))
        return reply(550,
                     path + ": Is a directory; RMD removes an empty folder, SITE RDEL a folder with its contents.");
    cmd_simple_command(ORVEL_GFS_CMD_DELE, "DELE", path, "File deleted.");
}

void FtpSession::cmd_rmd(const std::string &arg)
{
    if (arg.empty())
        return reply(501, "RMD needs a path.");
    std::string path = resolve(arg);
    orvel::host::StatEntry entry;
    if (!stat_one(path, &entry))
        return;
    if (!is_folder(entry))
        return reply(550, path + ": Not a directory.");

    // The service cannot delete a folder only if it is empty: the folder is
    // listed just before it is deleted.
    uint64_t children = 0;
    auto count = [&children](const std::vector<orvel::host::StatEntry> &batch) {
        for (const auto &e : batch)
            children += e.name != "." ? 1 : 0;
    };
    orvel::host::Hooks hooks;
    hooks.on_stat_batch = count;
    orvel::host::Outcome listing = session_->stat(path, false, hooks);
    if (!listing.ok())
        return reply_error(listing, "RMD");
    for (const auto &batch : listing.stat_batches) // the final batch
        count(batch);
    if (children > 0)
        return reply(550, path + ": Directory not empty; SITE RDEL removes a folder with its contents.");
    cmd_simple_command(ORVEL_GFS_CMD_RMD, "RMD", path, "Directory removed.");
}

} // namespace orvel::server
