// Listing lines for LIST, NLST, MLSD, MLST and STAT.
#include "listing.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sys/stat.h>

namespace orvel::server {

namespace {

const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string mode_text(int mode)
{
    std::string s(10, '-');
    if (S_ISDIR(mode))
        s[0] = 'd';
    else if (S_ISLNK(mode))
        s[0] = 'l';
    const char rwx[] = "rwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (0400 >> i))
            s[1 + i] = rwx[i % 3];
    return s;
}

// The times a listing can show: the years 0000 to 9999, as MDTM and the
// "modify" fact write the year in four digits. A time beyond them (a storage
// may report any time_t) is shown as the nearest of these.
const time_t kEarliestTime = -62167219200; // 0000-01-01T00:00:00Z
const time_t kLatestTime = 253402300799;   // 9999-12-31T23:59:59Z

time_t showable_time(time_t t)
{
    return std::clamp(t, kEarliestTime, kLatestTime);
}

// Names must not break the line structure of a listing.
std::string safe_name(const std::string &name)
{
    std::string out = name;
    for (char &c : out)
        if (c == '\r' || c == '\n')
            c = '?';
    return out;
}

} // namespace

bool is_folder(const orvel::host::StatEntry &entry)
{
    return S_ISDIR(entry.mode);
}

std::string render_ftp_time(time_t t)
{
    t = showable_time(t);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    return buf;
}

std::string render_list_line(const orvel::host::StatEntry &entry, const std::string &owner, time_t now)
{
    // Within the showable times the differences below cannot overflow.
    const time_t mtime = showable_time(entry.mtime);
    now = showable_time(now);
    struct tm tm {};
    gmtime_r(&mtime, &tm);
    char when[32];
    const time_t six_months = 182L * 24 * 3600;
    if (mtime > now + 3600 || now - mtime > six_months)
        std::snprintf(when, sizeof when, "%s %2d  %4d", kMonths[tm.tm_mon], tm.tm_mday, tm.tm_year + 1900);
    else
        std::snprintf(when, sizeof when, "%s %2d %02d:%02d", kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min);
    char head[256];
    std::snprintf(head, sizeof head, "%s %3d %-8s %-8s %12" PRId64 " %s ", mode_text(entry.mode).c_str(),
                  entry.nlink > 0 ? entry.nlink : 1, owner.c_str(), owner.c_str(), entry.size, when);
    return head + safe_name(entry.name);
}

std::string render_nlst_line(const orvel::host::StatEntry &entry)
{
    return safe_name(entry.name);
}

std::string render_mlsx_facts(const orvel::host::StatEntry &entry, bool cdir)
{
    bool dir = is_folder(entry);
    bool writable = (entry.mode & 0200) != 0;
    std::string perm = dir ? (writable ? "cdeflmp" : "el") : (writable ? "rwdf" : "r");
    char buf[256];
    std::snprintf(buf, sizeof buf, "type=%s;size=%" PRId64 ";modify=%s;unique=%x-%x;perm=%s; ",
                  cdir ? "cdir" : (dir ? "dir" : "file"), entry.size, render_ftp_time(entry.mtime).c_str(),
                  static_cast<unsigned>(entry.dev), static_cast<unsigned>(entry.ino), perm.c_str());
    return buf + safe_name(entry.name);
}

} // namespace orvel::server
