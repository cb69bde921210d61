// End-to-end checks of the encrypted port: the real client mirrors a tree
// changed at random over mutual TLS, and clients the server must not serve
// (no certificate, an authority of their own, a server they cannot verify)
// end with a clear message, status 1 and nothing written.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "connection.h"
#include "e2e/mirror_fixture.h"
#include "support/test_certificates.h"

namespace dirsync::e2e {
namespace {

using test_certs::CertFiles;
using test_certs::LeafOptions;
using test_certs::TestAuthority;

LeafOptions ClientLeaf() {
  LeafOptions leaf;
  leaf.commonName = "mirror client";
  leaf.altNames = {};
  leaf.client = true;
  return leaf;
}

class TlsMirrorTest : public MirrorFixture {
 protected:
  ServerSettings Settings() const override {
    ServerSettings settings = MirrorFixture::Settings();
    settings.tlsCert = serverCert_.cert;
    settings.tlsKey = serverCert_.key;
    settings.tlsClientCa = ca_.certFile();
    return settings;
  }

  // Runs the client once into its own directory with these options; its
  // exit status and log.
  int RunOnce(const std::string& name, std::vector<std::string> tlsArgs,
              std::string* log) {
    MirrorClient client(*server_, sandbox_.base() + "/" + name,
                        sandbox_.base() + "/" + name + ".log");
    const int status = client.CatchUpOnce({.tlsArgs = std::move(tlsArgs)},
                                          std::chrono::seconds(30));
    *log = client.Log();
    return status;
  }

  // Regular files a client wrote into its directory (its state aside).
  size_t FilesIn(const std::string& name) {
    size_t count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             sandbox_.base() + "/" + name, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); ++it) {
      if (it->is_regular_file() &&
          it->path().string().find("/.dirsync") == std::string::npos) {
        ++count;
      }
    }
    return count;
  }

  TestAuthority ca_{sandbox_.base(), "main"};
  TestAuthority stranger_{sandbox_.base(), "stranger"};
  CertFiles serverCert_ = ca_.Issue("server", LeafOptions());
  CertFiles clientCert_ = ca_.Issue("client", ClientLeaf());
  CertFiles strangerCert_ = stranger_.Issue("intruder", ClientLeaf());
};

TEST_F(TlsMirrorTest, MirrorOverMutualTlsConvergesAndOthersAreRefused) {
  RandomWriter& writer = MakeWriter(606u);
  writer.Populate(40);
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  // The line follows the listening socket that Start waits for.
  EXPECT_TRUE(server_->LogOfThisRunShows("clients need a certificate"))
      << server_->LogTail();

  // A following client with the authority's certificate keeps up with a
  // storm of changes, compressed, over TLS.
  ASSERT_TRUE(client_->StartFollowing(
      {.zip = true,
       .intervalMs = 100,
       .tlsArgs = {"--tls", "--ca", ca_.certFile(), "--cert", clientCert_.cert,
                   "--key", clientCert_.key}}));
  for (int i = 0; i < 150; ++i) {
    writer.Step();
    std::this_thread::sleep_for(std::chrono::milliseconds(writer.PauseMs(kQuietMs)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs + 50));
  const std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  EXPECT_TRUE(client_->running()) << client_->LogTail();

  // Without a client certificate, with one of another authority, or
  // trusting another authority for the server: refused, status 1, a
  // message that says why, nothing written.
  std::string log;
  int status = RunOnce("nocert", {"--tls", "--ca", ca_.certFile()}, &log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << log;
  EXPECT_NE(log.find("TLS"), std::string::npos) << log;
  EXPECT_EQ(FilesIn("nocert"), 0u);

  status = RunOnce("intruder",
                   {"--tls", "--ca", ca_.certFile(), "--cert", strangerCert_.cert,
                    "--key", strangerCert_.key},
                   &log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << log;
  EXPECT_EQ(FilesIn("intruder"), 0u);

  status = RunOnce("distrust",
                   {"--tls", "--ca", stranger_.certFile(), "--cert",
                    clientCert_.cert, "--key", clientCert_.key},
                   &log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << log;
  EXPECT_NE(log.find("certificate verify failed"), std::string::npos) << log;
  EXPECT_EQ(FilesIn("distrust"), 0u);

  // The server logged each refused handshake with the peer's address, and
  // the plain port still serves the same task.
  const std::string serverLog = server_->LogOfThisRun();
  EXPECT_NE(serverLog.find("TLS handshake with 127.0.0.1:"), std::string::npos)
      << server_->LogTail();
  // A client that connects again resumes its session: no second full
  // handshake (the server issued a ticket during the first).
  dsclient::Connection again;
  dsclient::TlsOptions tls;
  tls.enabled = true;
  tls.caFile = ca_.certFile();
  tls.certFile = clientCert_.cert;
  tls.keyFile = clientCert_.key;
  std::string error;
  ASSERT_TRUE(again.UseTls(tls, &error)) << error;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(again.Connect("127.0.0.1", server_->tlsPort())) << again.error();
    EXPECT_EQ(again.resumed(), round == 1);
    dsclient::LoginResult login;
    ASSERT_TRUE(again.Login(server_->settings().user, server_->settings().token,
                            server_->settings().task, &login));
    EXPECT_EQ(login.data, "ok");
    again.Close();
  }

  status = RunOnce("plain", {}, &log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
  EXPECT_GT(FilesIn("plain"), 0u);
  EXPECT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();
}

TEST_F(TlsMirrorTest, UnusableCertificateStopsTheServer) {
  // The key does not belong to the certificate: the operator asked for
  // encryption, so the server ends with status 1 rather than serving
  // without it.
  ServerSettings settings = Settings();
  settings.tlsKey = clientCert_.key;
  ServerUnderTest server(sandbox_, settings);
  ASSERT_TRUE(server.Prepare()) << server.error();
  ASSERT_TRUE(server.Launch());
  const int status = server.WaitForExit(std::chrono::seconds(20));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << server.LogTail();
  EXPECT_NE(server.Log().find("cannot serve TLS on port"), std::string::npos)
      << server.LogTail();
}

}  // namespace
}  // namespace dirsync::e2e
