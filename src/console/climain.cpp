#include "console/climain.h"

#include <arpa/inet.h>
#include <libcli.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "controller/lbCtrlMsg.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbHealth.h"
#include "pool/lbServerList.h"

namespace {

// Modes of the balancer's own configuration levels (the library owns 0 and 1).
constexpr int kModeInterface = 10;
constexpr int kModeSwitch = 20;

constexpr int kRegularSeconds = 5;
constexpr unsigned kIdleSeconds = 600;
constexpr int kBacklog = 50;

// Runs of the periodic callback since start, over every session.
std::atomic<unsigned int> regular_count{0};

// What one session keeps beside the library's object, reached through its context.
// MSTID is reserved for a spanning-tree instance; no command sets it.
struct lbConsoleState {
    int switchId = 0;
    int MSTID = 0;
    unsigned int debug_regular = 0;  // when not 0 every run is reported
};

lbConsoleState *stateOf(cli_def *cli) {
    return static_cast<lbConsoleState *>(cli_get_context(cli));
}

// Echoes the command's full name and its arguments.
int cmd_test(cli_def *cli, const char *command, char *argv[], int argc) {
    cli_print(cli, "called %s with \"%s\"", "cmd_test", command);
    cli_print(cli, "%d arguments:", argc);
    for (int i = 0; i < argc; i++)
        cli_print(cli, "        %s", argv[i]);
    return CLI_OK;
}

// "set VARIABLE VALUE": only regular_interval is stored. An interval below 1 would make
// the library's wait fail, so it is refused like 0.
int cmd_set(cli_def *cli, const char *, char *argv[], int argc) {
    if (argc < 2 || strcmp(argv[0], "?") == 0) {
        cli_print(cli, "Specify a variable to set");
        return CLI_OK;
    }
    if (strcmp(argv[1], "?") == 0) {
        cli_print(cli, "Specify a value");
        return CLI_OK;
    }
    if (strcmp(argv[0], "regular_interval") == 0) {
        long sec = strtol(argv[1], nullptr, 10);  // no number reads as 0
        if (sec < 1) {
            cli_print(cli, "Specify a regular callback interval in seconds");
            return CLI_OK;
        }
        int secs = sec > INT_MAX ? INT_MAX : static_cast<int>(sec);
        cli->timeout_tm.tv_sec = secs;
        cli->timeout_tm.tv_usec = 0;
        cli_print(cli, "Regular callback interval is now %d seconds", secs);
        return CLI_OK;
    }
    cli_print(cli, "Setting \"%s\" to \"%s\"", argv[0], argv[1]);
    return CLI_OK;
}

int cmd_show_regular(cli_def *cli, const char *, char **, int) {
    cli_print(cli, "cli_regular() has run %u times", regular_count.load());
    return CLI_OK;
}

int cmd_debug_regular(cli_def *cli, const char *, char **, int) {
    lbConsoleState *st = stateOf(cli);
    st->debug_regular = st->debug_regular == 0 ? 1 : 0;
    cli_print(cli, "cli_regular() debugging is %s", st->debug_regular ? "enabled" : "disabled");
    return CLI_OK;
}

// "getlbflow": the flow table's listing, taken under the lock and printed after it is
// released, one print per entry (each entry's text is two lines).
int cmd_Show_Flows(cli_def *cli, const char *, char **, int) {
    std::string text;
    try {
        lbTableLock lock;  // nothing is written to a socket meanwhile
        lbFlowTable_listInto(text);
    } catch (const std::bad_alloc &) {
        cli_print(cli, "Not enough memory for the flow listing");
        return CLI_OK;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end != std::string::npos)
            end = text.find('\n', end + 1);
        end = end == std::string::npos ? text.size() : end + 1;
        cli_print(cli, "%.*s", static_cast<int>(end - start), text.c_str() + start);
        start = end;
    }
    return CLI_OK;
}

struct ServerCount {
    char ip[LB_IPSTR_LEN];
    int numConn;
    uint8_t healthDown;
};

// "getconn": every server's connection count in list order, copied under the lock and
// printed after it is released. While health checks run each line also says whether the
// server is up or down; without them the lines are as they always were.
int cmd_Show_connections(cli_def *cli, const char *, char **, int) {
    std::vector<ServerCount> counts;
    try {
        lbTableLock lock;  // nothing is written to a socket meanwhile
        // A list never initialised (no start-up yet) has null links: nothing to show.
        for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next) {
            const auto *s = static_cast<const lbServer_node_t *>(n->data);
            ServerCount c;
            lbIPntoa(s->lbServIp.s_addr, c.ip, sizeof c.ip);
            c.numConn = s->numConn;
            c.healthDown = s->healthDown;
            counts.push_back(c);
        }
    } catch (const std::bad_alloc &) {
        cli_print(cli, "Not enough memory for the server listing");
        return CLI_OK;
    }
    const bool checked = lbHealthEnabled() != 0;
    for (const ServerCount &c : counts) {
        if (checked)
            cli_print(cli, "number of connections in %s is %d, health %s\n", c.ip, c.numConn,
                      lbHealthWord(c.healthDown));
        else
            cli_print(cli, "number of connections in %s is %d\n", c.ip, c.numConn);
    }
    return CLI_OK;
}

int cmd_Show_timeelapsed(cli_def *cli, const char *, char **, int) {
    cli_print(cli, "Total time elapsed in pkt recv and send = %f seconds ",
              static_cast<double>(totaltime.load()));
    return CLI_OK;
}

int cmd_config_int(cli_def *cli, const char *, char *argv[], int argc) {
    if (argc < 1) {
        cli_print(cli, "Specify an interface to configure");
    } else if (strcmp(argv[0], "?") == 0) {
        cli_print(cli, "  test0/0");
    } else if (strcasecmp(argv[0], "test0/0") == 0) {
        cli_set_configmode(cli, kModeInterface, "test");
    } else {
        cli_print(cli, "Unknown interface %s", argv[0]);
    }
    return CLI_OK;
}

// "mode switch N": stores N and enters the switch level. Without N nothing is read and
// the usage line is printed.
int cmd_config_switch(cli_def *cli, const char *, char *argv[], int argc) {
    if (argc < 1) {
        cli_print(cli, "Specify an switchId to configure");
    } else if (strcmp(argv[0], "?") == 0) {
        cli_print(cli, "  mode switch <switchId>");
    } else if (strcasecmp(argv[0], "switch") == 0) {
        if (argc < 2) {
            cli_print(cli, "Usage: mode switch <switchId>");
            return CLI_OK;
        }
        lbConsoleState *st = stateOf(cli);
        st->switchId = atoi(argv[1]);
        char desc[32];
        snprintf(desc, sizeof desc, "switch[%d]", st->switchId);
        cli_set_configmode(cli, kModeSwitch, desc);
    } else {
        cli_print(cli, "Unknown command %s", argv[0]);
    }
    return CLI_OK;
}

int cmd_config_level_exit(cli_def *cli, const char *, char **, int) {
    cli_set_configmode(cli, MODE_CONFIG, nullptr);
    return CLI_OK;
}

// Run by the library each interval while a connection waits for input.
int regular_callback(cli_def *cli) {
    lbConsoleState *st = stateOf(cli);
    const unsigned int runs = ++regular_count;
    if (st->debug_regular) {
        cli_print(cli, "Regular callback - %u times so far", runs);
        cli_reprompt(cli);
    }
    return CLI_OK;
}

// Output of the start file goes to standard output, and only with diagnostics on.
void pc(cli_def *, const char *string) {
    if (Gv_noPrint == 0)
        printf("%s\n", string);
}

void registerCommands(cli_def *cli) {
    const int exec = MODE_EXEC, config = MODE_CONFIG;
    const int low = PRIVILEGE_UNPRIVILEGED, high = PRIVILEGE_PRIVILEGED;
    cli_register_command(cli, nullptr, "test", cmd_test, low, exec, nullptr);
    cli_register_command(cli, nullptr, "simple", nullptr, low, exec, nullptr);
    cli_register_command(cli, nullptr, "simon", nullptr, low, exec, nullptr);
    cli_register_command(cli, nullptr, "set", cmd_set, high, exec, nullptr);
    cli_command *show = cli_register_command(cli, nullptr, "show", nullptr, low, exec, nullptr);
    cli_register_command(cli, show, "regular", cmd_show_regular, low, exec,
                         "Show the how many times cli_regular has run");
    cli_register_command(cli, show, "counters", cmd_test, low, exec,
                         "Show the counters that the system uses");
    cli_register_command(cli, show, "junk", cmd_test, low, exec, nullptr);
    cli_register_command(cli, nullptr, "getlbflow", cmd_Show_Flows, high, config,
                         "show Flows command");
    cli_register_command(cli, nullptr, "getconn", cmd_Show_connections, high, config,
                         "Num of conn command");
    cli_register_command(cli, nullptr, "gettime", cmd_Show_timeelapsed, high, config,
                         "time elapsed in packet receive and send");
    cli_register_command(cli, nullptr, "interface", cmd_config_int, high, config,
                         "Configure an interface");
    cli_register_command(cli, nullptr, "mode", cmd_config_switch, high, config,
                         "set a switch mode");
    cli_register_command(cli, nullptr, "exit", cmd_config_level_exit, high, kModeSwitch,
                         "Exit from switch configuration");
    cli_register_command(cli, nullptr, "exit", cmd_config_level_exit, high, kModeInterface,
                         "Exit from interface configuration");
    cli_register_command(cli, nullptr, "address", cmd_test, high, kModeInterface, "Set IP address");
    cli_command *debug = cli_register_command(cli, nullptr, "debug", nullptr, low, exec, nullptr);
    cli_register_command(cli, debug, "regular", cmd_debug_regular, low, exec,
                         "Enable cli_regular() callback debugging");
}

// Runs the start file, when there is one, at privilege 0 in mode 0.
void runStartFile(cli_def *cli) {
    lbFilePtr f(fopen(LB_CONSOLE_START_FILE, "r"));
    if (!f)
        return;
    cli_print_callback(cli, pc);
    cli_file(cli, f.get(), PRIVILEGE_UNPRIVILEGED, MODE_EXEC);
    cli_print_callback(cli, nullptr);
    fflush(stdout);
}

// The listening socket on addr:port, or -1 after perror.
int openListener(const char *addr, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (Gv_noPrint == 0)
        printf("IPAddress of this switch%s\n", addr);

    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) {
        perror("Invalid address\n");
        close(fd);
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        perror("bind");
        close(fd);
        return -1;
    }
    if (listen(fd, kBacklog) < 0) {
        perror("listen");
        close(fd);
        return -1;
    }
    if (Gv_noPrint == 0)
        printf("Listening on port %d\n", port);
    return fd;
}

// A console object with the balancer's identity, commands and access, its state st.
// Null when the library cannot make one.
cli_def *newConsole(const lbConsoleAccess &access, lbConsoleState *st) {
    cli_def *cli = cli_init();
    if (cli == nullptr)
        return nullptr;
    cli_set_context(cli, st);
    cli_set_banner(cli, "Welcome to Corvalis environment");
    cli_set_hostname(cli, "Switch");
    cli_regular(cli, regular_callback);
    cli_regular_interval(cli, kRegularSeconds);
    cli_set_idle_timeout(cli, kIdleSeconds);
    registerCommands(cli);
    for (const auto &u : access.users)
        cli_allow_user(cli, u.first.c_str(), u.second.c_str());
    if (!access.enableSecret.empty())
        cli_allow_enable(cli, access.enableSecret.c_str());
    return cli;
}

// Frees a console object. The library's cli_done leaves the enable secret behind.
void freeConsole(cli_def *cli) {
    free(cli->enable_password);
    cli->enable_password = nullptr;
    cli_done(cli);
}

struct Session {
    const lbConsoleAccess *access;
    int fd;
    std::atomic<int> *running;  // the sessions of its listener
};

// One session, on its own thread: a console object of its own on the accepted socket
// until the operator quits or the idle time-out ends it. SIGPIPE stays blocked (the mask
// comes from the listening thread), so a client gone in the middle of a listing costs a
// failed write, not the process; the signal such a write leaves pending is taken here.
void *sessionThread(void *arg) {
    std::unique_ptr<Session> s(static_cast<Session *>(arg));
    lbConsoleState state;
    cli_def *cli = newConsole(*s->access, &state);
    if (cli == nullptr) {
        fprintf(stderr, "console: cannot create the command line\n");
        close(s->fd);
    } else {
        cli_loop(cli, s->fd);  // closes the socket when the session ends
        freeConsole(cli);
    }
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    timespec none = {0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &none) == SIGPIPE) {
    }
    (*s->running)--;
    return nullptr;
}

// Tells a connection beyond the bound why it is closed, without waiting on it.
void refuseSession(int fd, int bound) {
    char line[128];
    const int n = snprintf(line, sizeof line, LB_CONSOLE_BUSY "\r\n", bound);
    if (n > 0 && send(fd, line, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
        Gv_noPrint == 0)
        perror("console refusal");
    close(fd);
}

// Accepts connections for ever: each becomes a session on a thread of its own while
// fewer than the bound run, any other is refused with one line.
[[noreturn]] void serveConnections(const lbConsoleAccess &access, int listenFd) {
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);
    std::atomic<int> running{0};  // lives as long as the sessions: this never returns
    for (;;) {
        sockaddr_in peer;
        socklen_t len = sizeof peer;
        int conn = accept(listenFd, reinterpret_cast<sockaddr *>(&peer), &len);
        if (conn < 0) {
            // Out of descriptors: give the process a moment rather than spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                usleep(100 * 1000);
            continue;
        }
        if (Gv_noPrint == 0 && len >= sizeof peer) {
            char ip[INET_ADDRSTRLEN];
            if (inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip) != nullptr)
                printf(" * accepted connection from %s\n", ip);
        }
        if (running.load() >= access.maxSessions) {
            refuseSession(conn, access.maxSessions);
            continue;
        }
        auto *s = new (std::nothrow) Session{&access, conn, &running};
        pthread_t tid;
        running++;
        const int rc = s != nullptr ? pthread_create(&tid, nullptr, sessionThread, s) : ENOMEM;
        if (rc != 0) {
            running--;
            delete s;
            errno = rc;
            perror("console session");
            close(conn);
            continue;
        }
        pthread_detach(tid);
    }
}

// Reports a malformed access file; the text names the line, never its words.
int refuseAccess(const char *path, int line, const char *fault) {
    if (line > 0)
        fprintf(stderr, "%s:%d: %s; the console stays closed\n", path, line, fault);
    else
        fprintf(stderr, "%s: %s; the console stays closed\n", path, fault);
    return -1;
}

void *consoleThread(void *arg) {
    std::unique_ptr<lbConsoleAccess> access(static_cast<lbConsoleAccess *>(arg));
    while (g_cliFlag.load() != 1)
        usleep(100 * 1000);
    return climain(access.get());
}

}  // namespace

int lbConsole_readAccess(const char *path, lbConsoleAccess &access) {
    access = lbConsoleAccess();
    std::string content, why;
    const int got = lbReadSettingsFile(path, content, why);
    if (got != 0)
        return got == 1 ? 0 : refuseAccess(path, 0, why.c_str());

    bool haveEnable = false, haveListen = false, haveSessions = false;
    std::istringstream lines(content);
    std::string line;
    for (int n = 1; std::getline(lines, line); n++) {
        const std::vector<std::string> w = lbSettingWords(line);
        if (w.empty())
            continue;
        if (w[0] == "user" && w.size() == 3) {
            for (const auto &u : access.users) {
                if (u.first == w[1])
                    return refuseAccess(path, n, "a user is named twice");
            }
            access.users.emplace_back(w[1], w[2]);
        } else if (w[0] == "enable" && w.size() == 2) {
            if (haveEnable)
                return refuseAccess(path, n, "a second enable line");
            haveEnable = true;
            access.enableSecret = w[1];
        } else if (w[0] == "listen" && w.size() == 2) {
            in_addr a;
            if (haveListen)
                return refuseAccess(path, n, "a second listen line");
            if (w[1].size() >= 20 || inet_pton(AF_INET, w[1].c_str(), &a) != 1)
                return refuseAccess(path, n, "listen takes a dotted IPv4 address");
            haveListen = true;
            access.listen = w[1];
        } else if (w[0] == "sessions" && w.size() == 2) {
            char *end = nullptr;
            const long k = strtol(w[1].c_str(), &end, 10);
            if (haveSessions)
                return refuseAccess(path, n, "a second sessions line");
            static_assert(LB_CONSOLE_SESSIONS_MAX == 64, "the line below names the bound");
            if (*end != '\0' || k < 1 || k > LB_CONSOLE_SESSIONS_MAX)
                return refuseAccess(path, n, "sessions takes a number from 1 to 64");
            haveSessions = true;
            access.maxSessions = static_cast<int>(k);
        } else {
            return refuseAccess(path, n,
                                "expected \"user NAME PASSWORD\", \"enable SECRET\", "
                                "\"listen ADDRESS\" or \"sessions N\"");
        }
    }
    if (access.users.empty() && (haveEnable || (!haveListen && !haveSessions)))
        return refuseAccess(path, 0, "no \"user NAME PASSWORD\" line");
    return 0;
}

void *climain(void *arg) {
    lbConsoleAccess fromFile;
    const auto *access = static_cast<const lbConsoleAccess *>(arg);
    if (access == nullptr) {
        if (lbConsole_readAccess(LB_CONSOLE_CONF, fromFile) != 0)
            return nullptr;
        access = &fromFile;
    }
    char addr[20];
    if (!access->listen.empty())
        snprintf(addr, sizeof addr, "%s", access->listen.c_str());
    else
        snprintf(addr, sizeof addr, "%.*s", static_cast<int>(strnlen(g_vipIPAddr, 19)),
                 g_vipIPAddr);

    {
        // The start file runs once, on an object of its own.
        lbConsoleState state;
        cli_def *cli = newConsole(*access, &state);
        if (cli == nullptr) {
            fprintf(stderr, "console: cannot create the command line\n");
            return nullptr;
        }
        runStartFile(cli);
        freeConsole(cli);
    }
    int fd = openListener(addr, LB_CONSOLE_PORT);
    if (fd < 0)
        return nullptr;
    // Never returns: fromFile, which sessions may read, lasts as long as they do.
    serveConnections(*access, fd);
}

int init_cli(void) {
    auto *access = new (std::nothrow) lbConsoleAccess;
    if (access == nullptr)
        return -1;
    if (lbConsole_readAccess(LB_CONSOLE_CONF, *access) != 0) {
        delete access;
        return -1;
    }
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, consoleThread, access);
    if (rc != 0) {
        errno = rc;
        perror("console thread");
        delete access;
        return -1;
    }
    pthread_detach(tid);
    return 0;
}
