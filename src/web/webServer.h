// lbweb's HTTP side: the routes of the pages and forms on a cpp-httplib server, the
// login, the session cookie and the form tokens, and the order of every server change:
// the row first, then one request line appended to lbapp's flag.txt.
//
// Locks. Requests run on the HTTP library's worker threads. A private mutex serialises
// the changes of table server, held across their database calls and the write to
// flag.txt, so that the request lines come in the order the rows changed; reading pages
// takes no lock. The session store's mutex (webAuth.h) is never held together with it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "web/webAuth.h"

namespace httplib {
class Server;
}

namespace lbweb {

class WebApp {
  public:
    // users: name -> crypt(3) hash (parseUsers). tls: the server speaks HTTPS, so the
    // session cookie is marked Secure.
    WebApp(WebConfig config, std::map<std::string, std::string> users, bool tls);
    // Registers every route, the security headers and the error pages on svr.
    void install(httplib::Server &svr);

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// The program: `lbweb CONFIG`. Reads the configuration and users, listens, serves until
// SIGINT or SIGTERM. Returns the process's exit status.
int lbwebMain(int argc, char **argv);

}  // namespace lbweb
