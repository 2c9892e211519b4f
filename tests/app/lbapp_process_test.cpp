// The real program against the throwaway database and the controller simulator, its VIP
// interface one end of a veth pair.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>

#include "app/lbApp.h"
#include "controller/lbRuleJournal.h"
#include "ctrlsim_fixture.h"
#include "dbtest_util.h"
#include "flowtable/lbFlowDb.h"
#include "packet/frame_util.h"
#include "support/lbapp_proc.h"
#include "support/lbtest_util.h"
#include "support/metrics_scrape.h"
#include "support/veth_util.h"

namespace {

constexpr const char *kSim = "127.0.0.71", *kVip = "203.0.113.100", *kClient = "192.0.2.10";
constexpr const char *kServer = "198.51.100.11", *kServerMac = "02:00:00:00:00:11";
constexpr const char *kTopology = R"({"switches": [{"dpid": "1"}], "links": [],
  "hosts": [{"ip": "203.0.113.100", "mac": "02:00:00:00:01:00", "dpid": "1", "port": 6},
            {"ip": "192.0.2.10", "mac": "02:00:00:00:00:0c", "dpid": "1", "port": 3},
            {"ip": "198.51.100.11", "mac": "02:00:00:00:00:11", "dpid": "1", "port": 4},
            {"ip": "198.51.100.12", "mac": "02:00:00:00:00:12", "dpid": "1", "port": 5}]})";

// This build's lbapp, or another build of it named by LBAPP (e.g. an installed one).
const char *program() {
    return getenv("LBAPP") != nullptr ? getenv("LBAPP") : LBAPP_PATH;
}

class Process : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(dbtest::dbctl("dbconfig > dbconfig.conf"), 0);
        ASSERT_TRUE(dbtest::sql(
            "DELETE FROM server; DELETE FROM controller; DELETE FROM vip_conf; DELETE FROM "
            "cluster;" +
            dbtest::insertServers(
                "('web1', '198.51.100.11', 10, '02:00:00:00:00:11', 'Unlocked', 4)") +
            "INSERT INTO controller (controllerip, controllermac, dpid) VALUES ('127.0.0.71', "
            "'02:00:00:00:01:00', '00:00:00:00:00:00:00:01'); INSERT INTO vip_conf (vip) VALUES "
            "('203.0.113.100'); INSERT INTO cluster (clustername) VALUES ('webfarm');"));
        lbtest::writeFile("timeout.conf", "300 1\n");
        lbtest::writeFile("vlanid.conf", "0\n");
        std::remove("healthcheck.conf");  // only the runs with health checks write one
        ASSERT_TRUE(veth_.ok());
        ASSERT_EQ(system(("ip addr add " + std::string(kVip) + "/24 dev lbv0").c_str()), 0);
        ASSERT_GE(far_ = veth_.farSocket(), 0);
    }
    void TearDown() override { close(far_); }

    // A client frame from sport (flags: TCP flags) comes back out towards the server,
    // only readdressed.
    void expectForwarded(uint16_t sport, uint8_t flags = 2, size_t payload = 0,
                         const char *server = kServer, const char *serverMac = kServerMac) const {
        lbtest::FrameSpec in{.dstMac = "02:00:00:00:aa:01",
                             .srcIp = kClient,
                             .dstIp = kVip,
                             .sport = sport,
                             .flags = flags,
                             .payload = payload};
        const lbtest::Bytes f = lbtest::buildFrame(in);
        EXPECT_EQ(send(far_, f.data(), f.size(), 0), ssize_t(f.size()));
        in.dstMac = serverMac;
        in.dstIp = server;
        auto rx = [this](unsigned char *b, int n) { return int(recv(far_, b, n, 0)); };
        lbtest::framesUntil(rx, lbtest::buildFrame(in));
    }

    lbtest::VethPair veth_{"lbv0", "lbv1"};
    int far_ = -1;
};

// What the counters say of connections agrees with the flow table and the servers' counts:
// every connection opened is closed for one reason or still open (in the table, where
// setups in flight have their entries too).
void expectConnectionsAddUp(const std::map<std::string, double> &m) {
    double closed = 0, perServer = 0;
    for (const auto &[key, v] : m) {
        closed += key.starts_with("lbapp_connections_closed_total{") ? v : 0;
        perServer += key.starts_with("lbapp_server_connections{") ? v : 0;
    }
    const double inTable = m.at("lbapp_flow_table_entries");
    EXPECT_EQ(m.at("lbapp_connections_opened_total") - closed,
              inTable - m.at("lbapp_setups_in_flight"));
    EXPECT_EQ(perServer, inTable);
}

// The controller's requests as the simulator logged them, by the kind the balancer counts.
std::map<std::string, double> requestsSeen(const lbtest::CtrlSim &sim) {
    std::map<std::string, double> kinds;
    for (const nlohmann::json &r : sim.requests()) {
        const std::string method = r.value("method", ""), path = r.value("path", "");
        kinds[method == "DELETE" ? "flow_delete"
              : method == "POST"
                  ? (path.find("/flows") != std::string::npos ? "flow_post" : "login")
              : path.find("/paths") != std::string::npos ? "path"
                                                         : "node"]++;
    }
    return kinds;
}

// What a balancer prints whatever its diagnostics switch says (it is always off): the
// configuration and server listings, the controller's answers, the packet path's few
// fixed lines and the expiry lines. Anything else is a diagnostic leaking out.
const std::regex kAlwaysPrinted([] {
    std::string any;
    for (const char *p :
         {R"(Interface  selected is lbv0|calling lbDbInit|calling lbServconfig|=+)",
          R"(dbconfig\.conf contents|ip    uname   pword|\S+  \S+  \S+)",  // and contIP's
          R"(\d+ \S+ [\d.]+ (\S+ )+|ip_addr = [\d.]+, switchport = \d+)",
          R"(File: servConfig\.conf exists\. Copying file contents\.\.\.)",
          R"((########)?SERVER_NAME SERVER-IP  MAX_CONN  SERVER_MAC  STATE  PORT)",
          R"(  web\d     [\d.]+    \d+   [\da-f:]+  [01]   \d+)",
          R"(contIP\.conf contents|Controller-IP    Controller-MAC   DPID)",
          R"(VIP-IP|[\d.]+|Cluster_name|webfarm|VLAN ID)",
          R"(FLOW timeouts:|ADD_FLOW    DEL_FLOW|\d+ sec   \d+ sec)",
          R"(Connections without traffic removed after \d+ sec \(half-open\) and \d+ sec)",
          R"(WARNING: no controller_ca\.pem: .*|The body is <\S+>|Receved token:.*)",
          R"(Initialising the Raw socket send interface lbv0 |([\da-f]{1,2}:){6})",
          R"(Raw socket send - interface details if_name lbv0 if_index \d+)",
          R"(Receiving frames on lbv0|received TCP SYN|Get:: Receved (ip|mac|dpid|port):\S+)",
          R"(Connection [\d.]+:\d+ removed: .*|Setup engine: at most .*)",
          R"(Controller login: built-in credentials \(no controller\.conf\))",
          R"(Rules left by a previous run: \d+ in rules\.journal, \d+ removed)",
          R"(Signal \d+: removing the rules of every connection and stopping)",
          R"(Health checks: port \d+ of every server every \d+ ms, .*)",
          R"(Health check: server web\d [\d.]+ is (down|up again) after \d+ .*)",
          R"(Metrics on http://127\.0\.0\.1:9470/metrics)"})
        any += std::string(any.empty() ? "" : "|") + p;
    return R"((Timer tick\.\.\. )*()" + any + ")?";
}());

// Every line of out is one printed whatever the diagnostics switch says.
void expectQuiet(const std::string &out) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_match(line, kAlwaysPrinted)) << "diagnostic: \"" << line << '"';
}

// A whole run per stop signal: start-up in its order, the console, a connection that
// talks and closes; on the first run also the refresh adding a server and the expiries
// (after FIN, reset, idle and half-open).
TEST_F(Process, WholeRunsStayQuietAndEachStopSignalRemovesEveryRule) {
    lbtest::CtrlSim sim(kSim, kTopology);
    ASSERT_TRUE(sim.running());
    lbtest::writeFile("timeout.conf", "300 1 3 4\n");
    for (auto [sig, status] : {std::pair{SIGTERM, 15}, {SIGINT, 2}}) {
        SCOPED_TRACE(strsignal(sig));
        ASSERT_TRUE(sim.reset());
        lbtest::Lbapp app(program(), "lbv0");
        ASSERT_TRUE(app.waitFor("Receiving frames on lbv0\n")) << app.output();
        std::string out = app.output();
        size_t at = 0;  // the start-up sequence, in its order
        for (const char *line :
             {"calling lbDbInit", "calling lbServconfig", "  web1     198.51.100.11",
              "contIP.conf contents", "VIP-IP\n========\n203.0.113.100", "Cluster_name",
              "FLOW timeouts:", "VLAN ID", "controller's certificate is not verified",
              "Receved token:", "Raw socket send - interface details if_name lbv0"}) {
            EXPECT_NE(at = out.find(line, at), std::string::npos) << line << " missing:\n" << out;
            at = std::min(at, out.size());
        }
        EXPECT_EQ(lbtest::ConsoleClient(kVip).say(nullptr, "Switch> "),
                  "Welcome to Corvalis environment\n\nSwitch> ");
        if (sig == SIGINT) {  // idle, ticks only: a spinning loop would take ~3 s
            long before = app.cpuTicks();
            sleep(3);
            EXPECT_LT(app.cpuTicks() - before, sysconf(_SC_CLK_TCK) * 3 / 10);
        }
        expectForwarded(40000);
        expectForwarded(40000, 0x18, 100);                    // data
        expectForwarded(40000, 0x11);                         // FIN with ACK
        expectForwarded(40001);                               // never heard from again
        EXPECT_EQ(sim.flows("0000000000000001").size(), 8u);  // rules A-D of each connection
        if (sig == SIGTERM) {
            // Two more connections: one reset, one idle after its data.
            expectForwarded(40002);
            expectForwarded(40002, 0x04);
            expectForwarded(40003);
            expectForwarded(40003, 0x18, 10);
            // The closing checks below imply 4 opened, 1 reset.
            auto m = lbtest::samples(lbtest::httpGet("127.0.0.1", 9470, "/metrics").body);
            expectConnectionsAddUp(m);
            ASSERT_TRUE(dbtest::sql(dbtest::insertServers(
                "('web2', '198.51.100.12', 10, '02:00:00:00:00:12', 'Unlocked', 5)")));
            lbtest::writeFile("flag.txt", "1 ADD 198.51.100.12\n");
            EXPECT_TRUE(lbtest::waitUntil(
                [] {
                    return lbtest::readFile(LB_FLOWS_FILE) ==
                           "0 0 198.51.100.11 0 web1 10\n0 0 198.51.100.12 0 web2 10\n";
                },
                std::chrono::seconds(40)))
                << lbtest::readFile(LB_FLOWS_FILE);
            // The removals go out after the entries have gone.
            EXPECT_TRUE(lbtest::waitUntil([&] { return sim.flows("0000000000000001").empty(); }));
            ASSERT_TRUE(dbtest::sql("DELETE FROM server WHERE servername = 'web2';"));
            // Every frame read is either forwarded or dropped for a reason; every request
            // the simulator answered is counted under its kind.
            EXPECT_TRUE(lbtest::waitUntil([&] {
                m = lbtest::samples(lbtest::httpGet("127.0.0.1", 9470, "/metrics").body);
                double dropped = 0;
                for (const auto &[key, v] : m)
                    dropped += key.starts_with("lbapp_frames_dropped_total{") ? v : 0;
                return m["lbapp_frames_received_total"] ==
                       m["lbapp_frames_forwarded_total"] + dropped;
            }));
            EXPECT_EQ(m["lbapp_frames_forwarded_total"], 8);  // the client's, readdressed
            for (const char *reason : {"fin", "reset", "idle", "half_open"})
                EXPECT_EQ(
                    m[std::string("lbapp_connections_closed_total{reason=\"") + reason + "\"}"], 1)
                    << reason;
            EXPECT_EQ(m["lbapp_flow_table_entries"], 0);
            expectConnectionsAddUp(m);
            EXPECT_EQ(m["lbapp_setups_succeeded_total"], 4);
            EXPECT_EQ(m["lbapp_setup_duration_seconds_count"], 4);
            EXPECT_EQ(m["lbapp_controller_up"], 1);
            EXPECT_EQ(m["lbapp_server_eligible{server=\"198.51.100.12\",name=\"web2\"}"], 1);
            EXPECT_GE(requestsSeen(sim)["flow_post"], 16);  // rules A-D of four connections
            EXPECT_TRUE(lbtest::waitUntil([&] {
                m = lbtest::samples(lbtest::httpGet("127.0.0.1", 9470, "/metrics").body);
                for (const auto &[kind, n] : requestsSeen(sim)) {
                    const std::string k = "lbapp_controller_requests_total{kind=\"" + kind;
                    if (m[k + "\",outcome=\"ok\"}"] + m[k + "\",outcome=\"http_error\"}"] != n)
                        return false;
                }
                return true;
            })) << lbtest::readFile("lbapp.out");
            const auto [rc, said] =
                lbtest::promtoolCheck(lbtest::httpGet("127.0.0.1", 9470, "/metrics").body);
            EXPECT_EQ(rc, 0) << said;
        }
        EXPECT_EQ(app.stop(sig), status) << app.output();
        EXPECT_EQ(sim.flows("0000000000000001").size(), 0u);
        EXPECT_EQ(lbtest::readFile(LB_RULE_JOURNAL), "");  // every removal acknowledged
        expectQuiet(app.output());
        if (testing::Test::HasFailure())
            std::cerr << app.output();
    }
}

// Nothing listens at web1's address, so a new connection goes to web2 although web1 has
// fewer. SIGKILL then leaves that connection's rules in the switch; the next start removes
// them before anything else, saying how many.
TEST_F(Process, HealthChecksTakeAServerOutAndAStartAfterAKillRemovesTheRulesLeft) {
    unlink(LB_RULE_JOURNAL);
    lbtest::CtrlSim sim(kSim, kTopology);
    ASSERT_TRUE(dbtest::sql(dbtest::insertServers(
        "('web2', '198.51.100.12', 10, '02:00:00:00:00:12', 'Unlocked', 5)")));
    struct LocalServers {
        ~LocalServers() {
            (void)!system(
                "ip addr del 198.51.100.11/32 dev lo; ip addr del 198.51.100.12/32 dev lo");
        }
    } local;
    ASSERT_EQ(system("ip addr add 198.51.100.11/32 dev lo && ip addr add 198.51.100.12/32 dev lo"),
              0);
    lbtest::TcpListener web2("198.51.100.12", 18080);
    lbtest::writeFile("healthcheck.conf", "interval 200ms\nfall 2\nrise 2\nport 18080\n");
    lbtest::Lbapp app(program(), "lbv0");
    ASSERT_TRUE(app.waitFor("Receiving frames on lbv0\n")) << app.output();
    EXPECT_TRUE(
        app.waitFor("Health check: server web1 198.51.100.11 is down after 2 failed checks "
                    "of port 18080 (Connection refused); it takes no new connections\n"))
        << app.output();
    expectForwarded(40000, 2, 0, "198.51.100.12", "02:00:00:00:00:12");
    lbtest::ConsoleClient console(kVip);
    console.configure();
    EXPECT_EQ(console.run("getconn", "Switch(config)# "),
              "number of connections in 198.51.100.11 is 0, health down\n\n"
              "number of connections in 198.51.100.12 is 1, health up");
    expectQuiet(app.output());
    EXPECT_EQ(app.stop(SIGKILL), 128 + SIGKILL);
    ASSERT_EQ(sim.flows("0000000000000001").size(), 4u);
    lbtest::Lbapp again(program(), "lbv0");
    EXPECT_TRUE(again.waitFor("Rules left by a previous run: 4 in rules.journal, 4 removed\n"))
        << again.output();
    ASSERT_TRUE(again.waitFor("Receiving frames on lbv0\n")) << again.output();
    EXPECT_EQ(lbtest::readFile(LB_RULE_JOURNAL), "");
    // Re-posted with the deletion time-out (1 s), they go once idle that long.
    EXPECT_TRUE(lbtest::waitUntil([&] { return sim.flows("0000000000000001").empty(); }));
    EXPECT_EQ(again.stop(SIGTERM), 15) << again.output();
    EXPECT_FALSE(lbtest::fileExists("health.txt"));
    expectQuiet(again.output());
}

// Start-ups as the files around the login make them. controller.conf chooses the login and
// one others may read stops the start before it, as a malformed healthcheck.conf does;
// controller_ca.pem checks the controller's certificate (a test CA issues the simulator's,
// another CA none), and a rejected one is retried until the stop. Neither the password nor
// the token is printed.
TEST_F(Process, StartUpFilesDecideTheLoginAndNothingSecretIsPrinted) {
    auto newCert = [](const std::string &name, const std::string &args) {
        return system(("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout " + name +
                       ".key -out " + name + ".pem " + args + " >/dev/null 2>&1")
                          .c_str()) == 0;
    };
    for (const char *ca : {"ca", "other"})
        ASSERT_TRUE(newCert(ca, std::string("-subj /CN=") + ca));
    for (std::string ip : {kSim, "127.0.0.99"})
        ASSERT_TRUE(newCert(
            ip, "-subj /CN=ctrl -addext subjectAltName=IP:" + ip + " -CA ca.pem -CAkey ca.key"));
    const std::string ca = lbtest::readFile("ca.pem"), other = lbtest::readFile("other.pem");
    const char *kOther = "user ops\npassword zz9-secret\ndomain lab\n",
               *kBuiltIn = R"({"login":{"user":"sdn","password":"quorbit","domain":"sdn"}})",
               *kRejected = "Controller certificate rejected";
    struct Case {
        const char *what, *file, *text;  // text null: no file
        mode_t mode;
        const char *certFor;  // the address the simulator's certificate is for; null: its own
        const char *line;
        int status;         // 15: it ran until SIGTERM
        const char *login;  // the login body sent; null: none
    } cases[] = {
        {"certificate from the CA for the controller's address", "controller_ca.pem", ca.c_str(),
         0600, kSim, "Receiving frames on lbv0", 15, kBuiltIn},
        {"certificate from another CA", "controller_ca.pem", other.c_str(), 0600, kSim, kRejected,
         15, nullptr},
        {"certificate for another address", "controller_ca.pem", ca.c_str(), 0600, "127.0.0.99",
         kRejected, 15, nullptr},
        {"absent", "controller.conf", nullptr, 0, nullptr,
         "Controller login: built-in credentials (no controller.conf)\n", 15, kBuiltIn},
        {"other credentials", "controller.conf", kOther, 0600, nullptr,
         "Controller login: user ops, domain lab, from controller.conf\n", 15,
         R"({"login":{"user":"ops","password":"zz9-secret","domain":"lab"}})"},
        {"readable by others", "controller.conf", kOther, 0644, nullptr,
         "controller.conf refused: group or others may read or write it (mode 0644); chmod 600; "
         "not starting\n",
         1, nullptr},
        {"malformed healthcheck.conf", "healthcheck.conf", "port 80\nfall none\n", 0600, nullptr,
         "healthcheck.conf line 2: fall must be a number from 1 to 100; the balancer does not "
         "start\n",
         0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const char *file :
             {"controller.conf", "healthcheck.conf", "controller_ca.pem", "token_gen.log"})
            unlink(file);
        if (c.text != nullptr) {
            lbtest::writeFile(c.file, c.text);
            ASSERT_EQ(chmod(c.file, c.mode), 0);
        }
        std::vector<std::string> simArgs;
        if (c.certFor != nullptr) {
            const std::string cert = lbtest::scratchDir() + "/" + c.certFor;
            simArgs = {"--cert=" + cert + ".pem", "--key=" + cert + ".key"};
        }
        lbtest::CtrlSim sim(kSim, kTopology, simArgs);
        ASSERT_TRUE(sim.running());
        lbtest::Lbapp app(program(), "lbv0");
        ASSERT_TRUE(app.waitFor(c.line)) << app.output();
        // Only the built-in login is taken; the token is in the reply log, for us alone.
        const bool loggedIn = c.login == kBuiltIn;
        if (loggedIn) {
            ASSERT_TRUE(app.waitFor("Receiving frames on lbv0\n")) << app.output();
            const std::string token = nlohmann::json::parse(lbtest::readFile("token_gen.log"))
                                          .value("/record/token"_json_pointer, "");
            ASSERT_EQ(token.size(), 32u);
            EXPECT_EQ(app.output().find(token), std::string::npos) << app.output();
            struct stat st;
            ASSERT_EQ(stat("token_gen.log", &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
        EXPECT_EQ(app.stop(SIGTERM), c.status) << app.output();
        EXPECT_EQ(app.output().find("Receiving frames") != std::string::npos, loggedIn);
        EXPECT_EQ(app.output().find("Controller certificate verified against") != std::string::npos,
                  c.certFor != nullptr);
        std::string login;  // the last login body the simulator saw
        for (const auto &r : sim.requests())
            if (r.value("path", "") == "/sdn/v2.0/auth")
                login = r.value("body", "");
        EXPECT_EQ(login, c.login != nullptr ? c.login : "");
        for (const char *secret : {"quorbit", "zz9-secret"})
            EXPECT_EQ(app.output().find(secret), std::string::npos) << app.output();
    }
}

// A console listing or a second destroy after the stop finds no table, not freed memory.
TEST(Stop, DestroyedTableIsGoneForWhateverComesLater) {
    lbFlowTable_create();
    treeDestroy();
    EXPECT_EQ(g_lbServFlowTable_tree, nullptr);
    treeDestroy();
}

}  // namespace
