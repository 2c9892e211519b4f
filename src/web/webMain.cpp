// lbweb's start: configuration, users, the listening socket, and a stop on SIGINT or
// SIGTERM. The signals are taken by a thread of their own (sigwait), which asks the
// server to stop: nothing runs in a signal handler.
#include <mysql.h>
#include <pthread.h>
#include <signal.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "web/webServer.h"

namespace lbweb {

namespace {

bool readAll(const std::string &path, std::string &out) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

// The configuration file's directory, absolute, so that the paths shown and compared
// (lbapp's working directory) do not depend on where lbweb was started.
std::string dirOf(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char abs[PATH_MAX];
    return realpath(dir.c_str(), abs) != nullptr ? abs : dir;
}

}  // namespace

int lbwebMain(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "Usage: lbweb <configuration file>\n");
        return 2;
    }
    std::string text, err;
    if (!readAll(argv[1], text)) {
        fprintf(stderr, "lbweb: cannot read %s\n", argv[1]);
        return 1;
    }
    std::optional<WebConfig> cfg = parseConfig(text, dirOf(argv[1]), err);
    if (!cfg) {
        fprintf(stderr, "lbweb: %s: %s\n", argv[1], err.c_str());
        return 1;
    }
    if (!readAll(cfg->users, text)) {
        fprintf(stderr, "lbweb: cannot read the users file %s\n", cfg->users.c_str());
        return 1;
    }
    std::optional<std::map<std::string, std::string>> users = parseUsers(text, err);
    if (!users) {
        fprintf(stderr, "lbweb: %s: %s\n", cfg->users.c_str(), err.c_str());
        return 1;
    }
    struct stat st;
    if (stat(cfg->users.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
        fprintf(stderr, "lbweb: warning: %s can be read by others than its owner\n",
                cfg->users.c_str());
    struct stat wd;
    if (stat(cfg->workdir.c_str(), &wd) != 0 || !S_ISDIR(wd.st_mode)) {
        fprintf(stderr, "lbweb: the working directory %s does not exist\n", cfg->workdir.c_str());
        return 1;
    }
    if (mysql_library_init(0, nullptr, nullptr) != 0) {
        fprintf(stderr, "lbweb: the database client library cannot start\n");
        return 1;
    }

    // Blocked before any thread starts, so every thread inherits the mask and only the
    // waiting thread below ever takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const bool tls = !cfg->cert.empty();
    std::unique_ptr<httplib::Server> svr;
    if (tls) {
        auto s = std::make_unique<httplib::SSLServer>(cfg->cert.c_str(), cfg->key.c_str());
        if (!s->is_valid()) {
            fprintf(stderr, "lbweb: the certificate %s or key %s cannot be used\n",
                    cfg->cert.c_str(), cfg->key.c_str());
            return 1;
        }
        svr = std::move(s);
    } else {
        svr = std::make_unique<httplib::Server>();
    }
    svr->set_payload_max_length(64 * 1024);
    svr->set_read_timeout(10, 0);
    svr->set_write_timeout(10, 0);
    WebApp app(*cfg, std::move(*users), tls);
    app.install(*svr);
    if (!svr->bind_to_port(cfg->listen, cfg->port)) {
        fprintf(stderr, "lbweb: cannot listen on %s port %d\n", cfg->listen.c_str(), cfg->port);
        return 1;
    }
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        svr->stop();
    });
    printf("lbweb listening on %s://%s:%d/ (lbapp working directory %s)\n", tls ? "https" : "http",
           cfg->listen.c_str(), cfg->port, cfg->workdir.c_str());
    fflush(stdout);
    bool ok = svr->listen_after_bind();
    if (stopper.joinable()) {
        // The listen ended by itself (an error): wake the waiting thread.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    mysql_library_end();
    return ok ? 0 : 1;
}

}  // namespace lbweb
