// Rendering of stat records as listing lines: "ls -l" style for LIST and
// STAT, names for NLST, and machine-readable facts for MLSD and MLST.
#pragma once

#include "orvel_host.hpp"

#include <ctime>
#include <string>

namespace orvel::server {

// "-rw-r--r--   1 owner    owner        1234 Dec 08 14:11 name" (no line end).
// Times older than six months or in the future show the year instead of the
// time of day, as ls does. A time outside the years 0000 to 9999 shows as the
// nearest time within them, as in render_ftp_time.
std::string render_list_line(const orvel::host::StatEntry &entry, const std::string &owner, time_t now);

// "type=file;size=1234;modify=20261208141100;unique=0-1a2b;perm=rwdf; name"
// (no line end). `cdir` marks the listed folder itself ("type=cdir").
std::string render_mlsx_facts(const orvel::host::StatEntry &entry, bool cdir);

// The entry's name alone, as NLST lists it (no line end).
std::string render_nlst_line(const orvel::host::StatEntry &entry);

// YYYYMMDDHHMMSS in UTC, as MDTM and the "modify" fact want it: always 14
// digits; times before 0000-01-01 or after 9999-12-31T23:59:59 give the
// nearest of these two.
std::string render_ftp_time(time_t t);

// True when the record is a folder.
bool is_folder(const orvel::host::StatEntry &entry);

} // namespace orvel::server
