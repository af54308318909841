// Replies of the JSON endpoints that are not what a success must be: another
// status than 200, or a body that is missing or not JSON. Each fails with an
// error that says what the service answered.
#include "dropbox_session_fixture.hpp"

namespace orvel::test {
namespace {

class ReplyChecks : public DropboxSession {};

TEST_F(ReplyChecks, SuccessWithoutAJsonBodyOrWithAnotherStatusSaysWhatCame)
{
    emu_->make_folder("/d");
    start();
    emu_->add_fault(R"({"path": "/2/files/create_folder_v2", "action": "malformed_json", "body": "{\"meta"})");
    host::Outcome broken = command(ORVEL_GFS_CMD_MKD, "/d/new");
    EXPECT_FALSE(broken.ok());
    EXPECT_NE(broken.chain_text().find("not valid JSON"), std::string::npos) << broken.chain_text();

    emu_->add_fault(R"({"path": "/2/files/create_folder_v2", "status": 200})");
    host::Outcome empty = command(ORVEL_GFS_CMD_MKD, "/d/other");
    EXPECT_NE(empty.chain_text().find("empty body"), std::string::npos) << empty.chain_text();

    emu_->add_fault(R"({"path": "/2/files/upload", "status": 307, "headers": {"Location": "/elsewhere"}})");
    host::TransferRequest request;
    request.pathname = "/d/up.txt";
    request.channel = std::make_shared<host::MemoryChannel>("abc");
    request.alloc_size = 3;
    host::Outcome redirected = session_->recv(request);
    EXPECT_FALSE(redirected.ok());
    EXPECT_NE(redirected.chain_text().find("HTTP status 307"), std::string::npos) << redirected.chain_text();
    for (const host::Outcome *o : {&broken, &empty, &redirected}) {
        EXPECT_EQ(o->chain_text().find("malloc"), std::string::npos) << o->chain_text();
        EXPECT_EQ(o->ftp_reply().substr(0, 3), "451") << o->ftp_reply();
    }
}

} // namespace
} // namespace orvel::test
