// Test helper: runs code as the transfer operation of a stand-in storage
// interface, so that it gets a host operation whose data channel is the given
// one (a MemoryChannel, a NullChannel, ...). For testing and measuring code
// that moves data through the host's data channel without the plug-in.
#pragma once

#include "orvel_gridftp_server.h"
#include "orvel_host.hpp"

#include <functional>
#include <memory>

namespace orvel::test {

enum class TransferDirection { download, upload };

// Starts a session of the stand-in interface (once per process), opens the
// data channel of a send (download) or recv (upload) operation over `channel`
// and runs `body` with the operation. Returns what `body` returned; an error
// result stays held by the runtime for the caller to inspect and discard.
orvel_result_t run_transfer(std::shared_ptr<host::DataChannel> channel, TransferDirection direction,
                            const std::function<orvel_result_t(orvel_gfs_operation_t op)> &body);

} // namespace orvel::test
