// The server side of the protocol tests: the client-link callbacks served
// over loopback TCP on an ephemeral port, started once per process.
#ifndef DIRSYNC_TESTS_PROTOCOL_TEST_SERVER_H_
#define DIRSYNC_TESTS_PROTOCOL_TEST_SERVER_H_

namespace dirsync {

// Starts the server on first use and returns its port on 127.0.0.1.
int TestServerPort();

}  // namespace dirsync

#endif  // DIRSYNC_TESTS_PROTOCOL_TEST_SERVER_H_
