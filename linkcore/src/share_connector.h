// ShareConnector: connects an SMB share with given credentials.
//
// "\\server\share" (the form hosts pass) is opened as smb://server/share
// through libsmbclient, authenticating with the given user ("DOMAIN\user"
// names a domain) and password. Success means the server accepted the
// credentials and the share could be listed; the connection is closed
// again when the call returns, as nothing in this process reads the share
// through it.
#ifndef LINKCORE_SRC_SHARE_CONNECTOR_H_
#define LINKCORE_SRC_SHARE_CONNECTOR_H_

#include <string>

class ShareConnector {
 public:
  // Turns "\\server\share\dir" into "smb://server/share/dir"; false when
  // the name does not start with two backslashes and a server name.
  static bool ToUrl(const char* remoteName, std::string* url);

  // Returns 0 when the share could be opened, else the errno code. Thread
  // safe; calls run one at a time, as the SMB client library is not.
  static int Connect(const char* remoteName, const char* user,
                     const char* password);
};

#endif  // LINKCORE_SRC_SHARE_CONNECTOR_H_
