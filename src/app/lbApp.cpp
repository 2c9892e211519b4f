#include "app/lbApp.h"

#include <net/if.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/lbUtil.h"
#include "config/lbCtrlApi.h"
#include "console/climain.h"
#include "controller/lbCurl/ctrlLogin.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/restApi.h"
#include "controller/lbRuleJournal.h"
#include "flowtable/lbFlowDb.h"
#include "flowtable/lbTimer.h"
#include "metrics/lbMetricsHttp.h"
#include "packet/lbCtrlMain.h"
#include "packet/lbEngine.h"
#include "pool/lbHealth.h"
#include "pool/lbServerList.h"
#include "rawsock/lb_rawsock.h"

static_assert(LB_RECV_BUF_LEN >= 1518, "a whole Ethernet frame with a VLAN tag fits");
static_assert(sizeof g_appIf == IFNAMSIZ, "room for the platform's longest interface name");

namespace {

// The setup engine of the running process (every controller request after the login).
std::unique_ptr<lbCtrlEngine> g_engine;
// How long shutdown waits for the removal of every connection's rules.
constexpr int kShutdownBoundMs = 10000;

// The first stop signal received; later ones change nothing.
std::atomic<int> g_stopSig{0};
static_assert(std::atomic<int>::is_always_lock_free, "written inside a signal handler");

// SIGINT and SIGTERM: record the signal and wake the packet loop, nothing more.
void onStopSignal(int sig) {
    int none = 0;
    g_stopSig.compare_exchange_strong(none, sig);
    lbWakeLoop();
}

// 1 once a stop signal arrived; the login retries end then.
int stopRequested(void) {
    return g_stopSig.load() != 0;
}

// Ends the process the orderly way when a stop signal arrived.
void stopIfRequested() {
    if (const int sig = g_stopSig.load())
        deleteFlows(sig);
}

// Installs the stop handlers for SIGINT and SIGTERM and ignores SIGPIPE. Returns 0, or
// -1 when a handler cannot be installed.
int installHandlers() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStopSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0)
        return -1;
    // A peer that went away must not end the process with the rules still installed.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

// Logs in to the controller configured in g_cont1IPAddr, its certificate checked when
// controller_ca.pem is there. Returns 0, or -1 when a stop signal ended the retries.
int controllerLogin() {
    char ip[sizeof g_cont1IPAddr + 1];
    snprintf(ip, sizeof ip, "%.*s", static_cast<int>(strnlen(g_cont1IPAddr, sizeof g_cont1IPAddr)),
             g_cont1IPAddr);
    char addr[LB_CTRL_HOSTPORT_LEN];
    if (lbCtrlHostPort(addr, sizeof addr, ip) < 0) {
        printf("Controller address %s unusable\n", ip);
        lbConfigExit(0);
    }
    lbRestVerifyController(LB_CTRL_CA_FILE);
    return setControllerIpUntil(addr, stopRequested);
}

// Opens the rule journal and removes the rules a previous run left in the switches
// (a crash, SIGKILL or power cut kept it from removing them), with the deletion
// time-out as a reset does, before any new rule goes out. Says how many in one line.
std::unique_ptr<lbRuleJournal> removeLeftoverRules(int maxInFlight) {
    auto journal = std::make_unique<lbRuleJournal>(LB_RULE_JOURNAL);
    char timeout[sizeof g_delFlowTmr + 1];
    lbCopyField(timeout, g_delFlowTmr, sizeof g_delFlowTmr);
    const lbReplayResult r = lbRuleJournalReplay(*journal, timeout, maxInFlight, kShutdownBoundMs,
                                                 [] { return stopRequested() != 0; });
    printf("Rules left by a previous run: %zu in %s, %zu removed\n", r.found, LB_RULE_JOURNAL,
           r.removed);
    return journal;
}

}  // namespace

void lb_ctrl_socket_init(void *start_arg) {
    (void)start_arg;
    if (Gv_noPrint == 0)
        printf("===========================> lb_ctrl_socket_init\n");
    static void (*const kLoaders[])(void) = {
        lbDbInit,        Server_list_init,    lbServConfig,        lbServConfigFile, lbContConfig,
        lbClusterConfig, lbClusterConfig_new, lbIdleTimeoutConfig, lbVlanConfig,
    };
    for (void (*load)(void) : kLoaders) {
        stopIfRequested();
        lbTableLock lock;
        load();
    }
    // Before the login, which may take long: a bad settings file is reported at once.
    lbHealthConfig health;
    const int checks = lbHealthConfigLoad(LB_HEALTH_CONF, &health);
    if (checks < 0)
        lbConfigExit(0);
    if (checks == 0)
        remove(LB_HEALTH_FILE);  // a stale one would show states nobody checks
    stopIfRequested();
    if (lbCtrlLoginLoad(LB_CTRL_CONF) != 0)
        lbConfigExit(1);
    controllerLogin();  // gives up only for a stop signal
    stopIfRequested();
    const lbEngineConfig cfg = lbEngineConfigLoad(LB_SETUP_CONF);
    printf(
        "Setup engine: at most %d setups and %d requests in flight, %d connections to the "
        "controller, caches %s\n",
        cfg.maxSetups, cfg.maxRequests, cfg.maxConnections, cfg.caches ? "on" : "off");
    g_engine = lbEngineCreate(cfg, removeLeftoverRules(cfg.maxRequests));
    {
        // At any table size the file costs at most ten rewrites a second.
        lbTableLock lock;
        lbFlowTable_setWriteInterval(100);
    }
    if (lbFlowTable_startWriter() != 0)
        printf("No thread for flows_new.txt: it is written on the packet thread\n");
    lbEngineInstall(g_engine.get());
    lbInitTimer();
    if (!lbEventIdValid(timerId))
        printf("The 5-second tick could not be created: closed connections are not expired\n");
    if (checks > 0 && lbHealthStart(health) != 0)
        printf("Health checks are off: every server counts as up\n");
    g_cliFlag = 1;
}

void lb_ctrl_recv(void) {
    int zero_count = 0;
    if (lb_client_rawsock_init(g_appIf, g_appIf) != 0)
        printf("Packet sockets on %s not ready: frames are neither received nor sent\n", g_appIf);
    else
        printf("Receiving frames on %s\n", g_appIf);
    struct pollfd fds[2];
    fds[0] = {lb_recv_sock_fd, POLLIN, 0};
    fds[1] = {lbWakeFd(), POLLIN, 0};
    // A changed connections file is written within 100 ms also when no frame comes.
    const int timeoutMs = 100;
    std::chrono::steady_clock::time_point tickSeen{};  // when a pending tick was first seen
    // Frames are handled where the receive put them, and every frame forwarded from one
    // batch leaves in one send; longer frames are cut to LB_RECV_BUF_LEN bytes as ever.
    struct lb_rx_frame batch[LB_RAWSOCK_BATCH];
    for (;;) {
        stopIfRequested();
        const int n = lb_client_rawsock_recv_batch(batch, LB_RAWSOCK_BATCH, LB_RECV_BUF_LEN);
        if (n > 0) {
            lbHandlePktBatch(batch, static_cast<unsigned>(n));
            for (int i = 0; i < n; ++i) {
                if (batch[i].len != 0)
                    continue;
                zero_count++;
                if (Gv_noPrint == 0)
                    printf("Number of zero packet received:%d\r", zero_count);
            }
        }
        // The expiry walk waits until every frame that arrived has been read, so no
        // connection is judged idle by frames still queued in the socket (under a load
        // that never lets the queue empty, it waits a second at most). Taken and cleared
        // in one step, so a tick raised during the walk is not lost.
        const bool tickDue = fiveSecTimerEvent.load() != 0;
        if (!tickDue)
            tickSeen = {};
        else if (tickSeen == std::chrono::steady_clock::time_point{})
            tickSeen = std::chrono::steady_clock::now();
        if (tickDue &&
            (n < 0 || std::chrono::steady_clock::now() - tickSeen > std::chrono::seconds(1)) &&
            fiveSecTimerEvent.exchange(0) != 0) {
            tickSeen = {};
            if (g_lbEngine != nullptr)
                g_lbEngine->tick();
            lbTableLock lock;
            if (g_lbServFlowTable_tree != nullptr)
                RBTreeTraverse(g_lbServFlowTable_tree, FINDELETE);
            lbFlowTable_flushFile(1);
        } else {
            lbTableLock lock;
            lbFlowTable_flushFile(0);
        }
        if (n < 0) {
            // Nothing waiting: sleep until a frame, a tick or a stop signal arrives.
            if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
                perror("poll");
            lbWakeDrain();
        }
    }
}

void delete_flows_from_switch(void) {
    if (g_lbServFlowTable_tree != nullptr)
        RBTreeTraverse(g_lbServFlowTable_tree, DELETEALL);
}

void treeDestroy(void) {
    if (g_lbServFlowTable_tree == nullptr)
        return;
    RBTreeDestroy(g_lbServFlowTable_tree);
    g_lbServFlowTable_tree = nullptr;
    numFlowEntries = 0;
}

void deleteFlows(int sig_num) {
    printf("Signal %d: removing the rules of every connection and stopping\n", sig_num);
    // The tick first, so none runs during the shutdown. Not under the table lock: the
    // stop waits for a running tick, which takes that lock.
    if (lbEventIdValid(timerId)) {
        lbEventDestroy(timerId);
        timerId = LB_EVT_ERR_CREATE;
    }
    lbHealthStop();  // takes the table lock to write back, so not under it
    {
        lbTableLock lock;
        lbSetupStopAll();
        delete_flows_from_switch();
    }
    // The removals run concurrently; setups in flight stop and remove what they posted.
    if (g_engine) {
        const std::vector<std::string> left = g_lbEngine->drain(kShutdownBoundMs);
        if (!left.empty()) {
            std::string names;
            for (const std::string &n : left)
                names += (names.empty() ? "" : ", ") + n;
            printf("Rules of %zu connections not removed within %d s: %s\n", left.size(),
                   kShutdownBoundMs / 1000, names.c_str());
        }
        g_engine.reset();  // its thread ends here, before its state is cleared
        lbEngineInstall(nullptr);
    }
    {
        lbTableLock lock;
        treeDestroy();
        delete_all_lbServerNodes();
        g_lbNumServers = 0;
    }
    lbFlowTable_stopWriter();
    lb_client_rawsock_close();
    fflush(stdout);
    exit(sig_num);
}

#ifndef LB_VERSION
#define LB_VERSION "unknown"
#endif

namespace {

// --help: the usage line, then what the working directory holds.
const char kHelp[] = LB_USAGE
    "\n"
    "\n"
    "Balances TCP connections to the VIP, which the interface carries, over the servers of\n"
    "the database loadbalancer, installing flow rules through the SDN controller. Runs\n"
    "until SIGINT or SIGTERM, which remove every installed rule (exit status 2 or 15).\n"
    "\n"
    "Files, all in the working directory:\n"
    "  dbconfig.conf       read: database host, user, password\n"
    "  timeout.conf        read: idle time-outs of installed and of reset rules (seconds)\n"
    "  vlanid.conf         read: VLAN id of the controller's host queries\n"
    "  controller.conf     read, optional: controller login, lines \"user NAME\",\n"
    "                      \"password SECRET\", \"domain NAME\"; mode 600 (else refused);\n"
    "                      without it the built-in login is used\n"
    "  controller_ca.pem   read, optional: CA of the controller's HTTPS certificate\n"
    "  console.conf        read, optional: console users, enable secret, listening\n"
    "                      address, sessions at once\n"
    "  metrics.conf        read, optional: metrics endpoint address and port (default\n"
    "                      127.0.0.1:9470) or off\n"
    "  servergraph.conf    read, optional: rotation size of servergraph.txt, old files kept\n"
    "  healthcheck.conf    read, optional: health checks of the servers (port, interval,\n"
    "                      time-out, fall, rise)\n"
    "  flag.txt            read and reset: server changes announced by the front end\n"
    "  flows_new.txt       written: open connections\n"
    "  rules.journal       written: the rules installed, removed at the next start when\n"
    "                      a crash kept this run from removing them\n"
    "  servergraph.txt     written: connections per server at every tick, rotated\n"
    "  health.txt          written while health checks run: each server up or down\n"
    "  servConfig.conf, contIP.conf, cluster.conf, cluster_new.conf\n"
    "                      written: copies of the database tables\n"
    "  token_gen.log, get.out, body2.out, get_path.out\n"
    "                      written: the controller's replies\n"
    "\n"
    "Options: --help, --version.\n";

}  // namespace

int lbAppMain(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("lbapp %s\n", LB_VERSION);
        return 0;
    }
    if (argc != 2) {
        printf("%s\n", LB_USAGE);
        return 0;
    }
    // Lines reach a log or a pipe as they are printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("Interface  selected is %s\n", argv[1]);
    const size_t len = strlen(argv[1]);
    if (len == 0 || len >= sizeof g_appIf) {
        fprintf(stderr, "Interface name must have 1 to %zu characters: %s\n", sizeof g_appIf - 1,
                argv[1]);
        return 1;
    }
    memcpy(g_appIf, argv[1], len + 1);
    if (Gv_noPrint == 0)
        printf("===========================> Starting Load Balancer\nmain\n");
    if (lbWakeInit() != 0)
        perror("Wake-up descriptor");
    if (installHandlers() != 0) {
        perror("Signal handlers");
        return 1;
    }
    g_cliFlag = 0;
    init_cli();        // a console that cannot start said why; the balancer goes on without it
    lbMetricsStart();  // likewise the metrics endpoint
    lb_ctrl_socket_init(nullptr);
    lb_ctrl_recv();
}
