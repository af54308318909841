// The FTP commands the server knows, declared once: the dispatcher, HELP and
// FEAT (and SITE with SITE HELP) are all made from these tables.
#include "ftp_session.hpp"

#include <algorithm>
#include <cstring>

namespace orvel::server {

namespace {

// HELP lines, with their "214-" prefix, stay within 80 columns.
const size_t kHelpLineWidth = 76;

std::string upper(std::string s)
{
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

} // namespace

const FtpSession::Command *FtpSession::find_command(std::span<const Command> table, const std::string &verb)
{
    auto found = std::find_if(table.begin(), table.end(), [&](const auto &c) { return verb == c.name; });
    return found == table.end() ? nullptr : &*found;
}

std::vector<std::string> FtpSession::help_lines(std::span<const Command> table)
{
    std::vector<std::string> lines;
    std::string line;
    for (const auto &c : table) {
        if (c.flags & kCommandHidden)
            continue;
        if (!line.empty() && line.size() + 1 + std::strlen(c.name) > kHelpLineWidth) {
            lines.push_back(line);
            line.clear();
        }
        line += std::string(" ") + c.name;
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// In the order HELP lists them; aliases and refused commands follow the
// command they stand beside and are not listed.
std::span<const FtpSession::Command> FtpSession::commands()
{
    static const Command table[] = {
        {"USER", &FtpSession::cmd_user, kCommandBeforeLogin, nullptr},
        {"PASS", &FtpSession::cmd_pass, kCommandBeforeLogin, nullptr},
        {"AUTH", &FtpSession::cmd_auth, kCommandBeforeLogin | kCommandFeatureWithTls, "AUTH TLS"},
        {"PBSZ", &FtpSession::cmd_pbsz, kCommandBeforeLogin | kCommandFeatureWithTls, "PBSZ"},
        {"PROT", &FtpSession::cmd_prot, kCommandBeforeLogin | kCommandFeatureWithTls, "PROT"},
        {"CCC", &FtpSession::cmd_ccc, kCommandBeforeLogin | kCommandHidden, nullptr},
        {"SYST", &FtpSession::cmd_syst, kCommandBeforeLogin, nullptr},
        {"FEAT", &FtpSession::cmd_feat, kCommandBeforeLogin, nullptr},
        {"OPTS", &FtpSession::cmd_opts, kCommandBeforeLogin, "UTF8"},
        {"TYPE", &FtpSession::cmd_type, 0, nullptr},
        {"MODE", &FtpSession::cmd_mode, 0, nullptr},
        {"STRU", &FtpSession::cmd_stru, 0, nullptr},
        {"PWD", &FtpSession::cmd_pwd, 0, nullptr},
        {"XPWD", &FtpSession::cmd_pwd, kCommandHidden, nullptr},
        {"CWD", &FtpSession::cmd_cwd, 0, "TVFS"}, // paths are one "/" separated tree
        {"XCWD", &FtpSession::cmd_cwd, kCommandHidden, nullptr},
        {"CDUP", &FtpSession::cmd_cdup, 0, nullptr},
        {"XCUP", &FtpSession::cmd_cdup, kCommandHidden, nullptr},
        {"PASV", &FtpSession::cmd_pasv, 0, "PASV"},
        {"EPSV", &FtpSession::cmd_epsv, 0, "EPSV"},
        {"PORT", &FtpSession::cmd_port, 0, nullptr},
        {"EPRT", &FtpSession::cmd_eprt, 0, nullptr},
        {"LPRT", &FtpSession::cmd_lprt, kCommandHidden, nullptr},
        {"LIST", &FtpSession::cmd_list, 0, nullptr},
        {"NLST", &FtpSession::cmd_nlst, 0, nullptr},
        {"MLSD", &FtpSession::cmd_mlsd, 0, nullptr},
        {"MLST", &FtpSession::cmd_mlst, 0, "MLST type*;size*;modify*;unique*;perm*;"},
        {"SIZE", &FtpSession::cmd_size, 0, "SIZE"},
        {"MDTM", &FtpSession::cmd_mdtm, 0, "MDTM"},
        {"REST", &FtpSession::cmd_rest, 0, "REST STREAM"},
        {"RETR", &FtpSession::cmd_retr, 0, nullptr},
        {"ERET", &FtpSession::cmd_eret, 0, "ERET"},
        {"STOR", &FtpSession::cmd_stor, 0, nullptr},
        {"APPE", &FtpSession::cmd_appe, kCommandHidden, nullptr},
        {"STOU", &FtpSession::cmd_stou, kCommandHidden, nullptr},
        {"ESTO", &FtpSession::cmd_esto, kCommandHidden, nullptr},
        {"ALLO", &FtpSession::cmd_allo, 0, "ALLO"},
        {"MKD", &FtpSession::cmd_mkd, 0, nullptr},
        {"XMKD", &FtpSession::cmd_mkd, kCommandHidden, nullptr},
        {"RMD", &FtpSession::cmd_rmd, 0, nullptr},
        {"XRMD", &FtpSession::cmd_rmd, kCommandHidden, nullptr},
        {"DELE", &FtpSession::cmd_dele, 0, nullptr},
        {"RNFR", &FtpSession::cmd_rnfr, 0, nullptr},
        {"RNTO", &FtpSession::cmd_rnto, 0, nullptr},
        {"SITE", &FtpSession::cmd_site, 0, nullptr},
        {"CKSM", &FtpSession::cmd_cksm, 0, "CKSM"},
        {"NOOP", &FtpSession::cmd_noop, kCommandBeforeLogin, nullptr},
        {"STAT", &FtpSession::cmd_stat, 0, nullptr},
        {"ABOR", &FtpSession::cmd_abor, 0, nullptr},
        {"QUIT", &FtpSession::cmd_quit, kCommandBeforeLogin, nullptr},
        {"HELP", &FtpSession::cmd_help, kCommandBeforeLogin | kCommandHidden, nullptr},
    };
    return table;
}

std::span<const FtpSession::Command> FtpSession::site_commands()
{
    static const Command table[] = {
        {"RDEL", &FtpSession::cmd_site_rdel, 0, nullptr},
        {"CHMOD", &FtpSession::cmd_site_chmod, 0, nullptr},
        {"HELP", &FtpSession::cmd_site_help, 0, nullptr},
    };
    return table;
}

void FtpSession::dispatch(const std::string &verb, const std::string &arg)
{
    const Command *command = find_command(commands(), verb);
    if (!logged_in_ && (command == nullptr || !(command->flags & kCommandBeforeLogin)))
        return reply(530, "Please log in with USER and PASS first.");
    if (command == nullptr)
        return reply(500, "Unknown command \"" + verb + "\".");
    (this->*command->run)(arg);
}

void FtpSession::cmd_help(const std::string &)
{
    std::vector<std::string> lines = help_lines(commands());
    lines.insert(lines.begin(), "Commands:");
    lines.push_back("Help ok.");
    reply_lines(214, lines);
}

void FtpSession::cmd_feat(const std::string &)
{
    // Feature lines carry no reply code, just a leading space.
    std::string text = "211-Features:\r\n";
    for (const auto &c : commands())
        if (c.feature != nullptr && (setup_.tls || !(c.flags & kCommandFeatureWithTls)))
            text += std::string(" ") + c.feature + "\r\n";
    send_raw(text + "211 End\r\n");
}

void FtpSession::cmd_site(const std::string &arg)
{
    size_t sp = arg.find(' ');
    std::string sub = upper(sp == std::string::npos ? arg : arg.substr(0, sp));
    std::string rest = sp == std::string::npos ? "" : arg.substr(sp + 1);
    const Command *command = find_command(site_commands(), sub);
    if (command == nullptr)
        return reply(500, "Unknown SITE command.");
    (this->*command->run)(rest);
}

void FtpSession::cmd_site_help(const std::string &)
{
    std::vector<std::string> lines = help_lines(site_commands());
    lines.insert(lines.begin(), "SITE commands:");
    lines.push_back("Help ok.");
    reply_lines(214, lines);
}

} // namespace orvel::server
