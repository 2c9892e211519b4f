// The real program against the throwaway database and the controller simulator, its VIP
// interface one end of a veth pair: start-up order, a SYN balanced on the wire with its
// rules in the simulator, idle CPU, and the stop signals that remove every rule.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sstream>

#include "ctrlsim_fixture.h"
#include "packet/frame_util.h"
#include "rawsock/veth_util.h"
#include "support/lbtest_util.h"

namespace {

constexpr const char *kSim = "127.0.0.71", *kVip = "203.0.113.100", *kClient = "192.0.2.10";
constexpr const char *kServer = "198.51.100.11", *kServerMac = "02:00:00:00:00:11";
constexpr const char *kTopology = R"({"switches": [{"dpid": "1"}], "links": [],
  "hosts": [{"ip": "203.0.113.100", "mac": "02:00:00:00:01:00", "dpid": "1", "port": 6},
            {"ip": "192.0.2.10", "mac": "02:00:00:00:00:0c", "dpid": "1", "port": 3},
            {"ip": "198.51.100.11", "mac": "02:00:00:00:00:11", "dpid": "1", "port": 4}]})";

// One lbapp process on lbv0; standard output and error go to lbapp.out.
class Lbapp {
  public:
    Lbapp() {
        lbtest::writeFile("lbapp.out", "");  // emptied before the process writes to it
        // LBAPP: another build of the program, e.g. an installed one.
        const char *path = getenv("LBAPP") ? getenv("LBAPP") : LBAPP_PATH;
        if ((pid_ = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = open("lbapp.out", O_WRONLY | O_APPEND);
            if (dup2(out, 1) == 1 && dup2(out, 2) == 2)
                execl(path, "lbapp", "lbv0", static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Lbapp() { EXPECT_TRUE(pid_ < 0 || stop(SIGKILL) >= 0); }
    std::string output() const { return lbtest::readFile("lbapp.out"); }
    bool waitFor(const std::string &text) const {
        return lbtest::waitUntil([&] { return output().find(text) != std::string::npos; });
    }
    long cpuTicks() const {  // user and system time so far
        std::string stat = lbtest::readFile("/proc/" + std::to_string(pid_) + "/stat");
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string skip;
        long user = 0, sys = 0;
        for (int field = 3; field < 14; ++field)
            in >> skip;
        in >> user >> sys;
        return user + sys;
    }
    // Sends sig; the exit status, or -1 when the process did not end within 20 s.
    int stop(int sig) {
        int status = 0;
        kill(pid_, sig);
        if (!lbtest::waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
};

class Process : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getenv("LBDB_HOME"), nullptr) << "needs the database of testbed/db/dbctl";
        const std::string dbctl = "bash " + lbtest::sourceDir() + "/testbed/db/dbctl ";
        ASSERT_EQ(system((dbctl + "dbconfig > dbconfig.conf").c_str()), 0);
        ASSERT_EQ(system((dbctl +
                          "exec \"DELETE FROM server; DELETE FROM controller; DELETE FROM "
                          "vip_conf; DELETE FROM cluster; INSERT INTO server (servername, "
                          "serverip, maxconn, servermac, switchport) VALUES ('web1', '" +
                          kServer + "', 10, '" + kServerMac + "', 4); INSERT INTO controller " +
                          "(controllerip, controllermac, dpid) VALUES ('" + kSim +
                          "', '02:00:00:00:01:00', '00:00:00:00:00:00:00:01'); INSERT INTO "
                          "vip_conf (vip) VALUES ('" +
                          kVip + "'); INSERT INTO cluster " + "(clustername) VALUES ('webfarm');\"")
                             .c_str()),
                  0);
        lbtest::writeFile("timeout.conf", "300 1\n");
        lbtest::writeFile("vlanid.conf", "0\n");
        ASSERT_TRUE(veth_.ok());
        ASSERT_EQ(system(("ip addr add " + std::string(kVip) + "/24 dev lbv0").c_str()), 0);
        ASSERT_GE(far_ = veth_.farSocket(), 0);
    }
    void TearDown() override { close(far_); }

    // The client's SYN from sport comes back out towards the server, only readdressed.
    void expectBalanced(uint16_t sport) const {
        lbtest::FrameSpec syn{.dstMac = "02:00:00:00:aa:01",
                              .srcIp = kClient,
                              .dstIp = kVip,
                              .sport = sport,
                              .flags = 2};
        const lbtest::Bytes f = lbtest::buildFrame(syn);
        EXPECT_EQ(send(far_, f.data(), f.size(), 0), ssize_t(f.size()));
        syn.dstMac = kServerMac;
        syn.dstIp = kServer;
        auto rx = [this](unsigned char *b, int n) { return int(recv(far_, b, n, 0)); };
        lbtest::framesUntil(rx, lbtest::buildFrame(syn));
    }

    lbtest::VethPair veth_{"lbv0", "lbv1"};
    int far_ = -1;
};

TEST_F(Process, BalancesAndRemovesEveryRuleOnEachStopSignal) {
    lbtest::CtrlSim sim(kSim, kTopology);
    ASSERT_TRUE(sim.running());
    for (auto [sig, status] : {std::pair{SIGINT, 2}, {SIGTERM, 15}}) {
        SCOPED_TRACE(strsignal(sig));
        ASSERT_TRUE(sim.reset());
        Lbapp app;
        ASSERT_TRUE(app.waitFor("Receiving frames on lbv0\n")) << app.output();
        const std::string out = app.output();
        size_t at = 0;  // the start-up sequence, in its order
        for (const char *line :
             {"calling lbDbInit", "calling lbServconfig", "  web1     198.51.100.11",
              "contIP.conf contents", "VIP-IP\n========\n203.0.113.100", "Cluster_name",
              "FLOW timeouts:", "VLAN ID", "controller's certificate is not verified",
              "Receved token:", "Raw socket send - interface details if_name lbv0"}) {
            EXPECT_NE(at = out.find(line, at), std::string::npos) << line << " missing:\n" << out;
            at = std::min(at, out.size());
        }
        if (sig == SIGINT) {  // idle, ticks only: a spinning loop would take ~3 s
            long before = app.cpuTicks();
            sleep(3);
            EXPECT_LT(app.cpuTicks() - before, sysconf(_SC_CLK_TCK) * 3 / 10);
        }
        expectBalanced(40000);
        expectBalanced(40001);
        EXPECT_EQ(sim.flows("0000000000000001").size(), 8u);  // rules A-D of each connection
        EXPECT_EQ(app.stop(sig), status) << app.output();
        EXPECT_EQ(sim.flows("0000000000000001").size(), 0u);
    }
}

TEST_F(Process, StopSignalDuringTheLoginRetries) {
    Lbapp app;  // no controller answers
    ASSERT_TRUE(app.waitFor("curl_easy_perform() failed")) << app.output();
    EXPECT_EQ(app.stop(SIGTERM), 15) << app.output();
    EXPECT_EQ(app.output().find("Receiving frames"), std::string::npos);
}

TEST_F(Process, ControllerCertificateCheckedAgainstControllerCa) {
    // A test CA issues the simulator's certificates; another CA issues none of them.
    auto openssl = [](const std::string &args) {
        return system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0;
    };
    const std::string newKey = "-newkey rsa:2048 -nodes -days 2 ";
    for (const char *ca : {"ca", "other"})
        ASSERT_TRUE(openssl("req -x509 " + newKey + "-subj /CN=" + ca + " -keyout " + ca +
                            ".key -out " + ca + ".pem"));
    for (std::string ip : {kSim, "127.0.0.99"}) {
        lbtest::writeFile(ip + ".ext", "subjectAltName=IP:" + ip + "\n");
        ASSERT_TRUE(openssl("req " + newKey + "-subj /CN=ctrl -keyout " + ip + ".key -out " + ip +
                            ".csr") &&
                    openssl("x509 -req -in " + ip + ".csr -CA ca.pem -CAkey ca.key -days 2 " +
                            "-CAcreateserial -extfile " + ip + ".ext -out " + ip + ".pem"));
    }
    struct Case {
        const char *what, *ca, *certFor, *line;
    } cases[] = {
        {"certificate from the CA for the controller's address", "ca.pem", kSim,
         "Receiving frames on lbv0"},
        {"certificate from another CA", "other.pem", kSim, "Controller certificate rejected"},
        {"certificate for another address", "ca.pem", "127.0.0.99",
         "Controller certificate rejected"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        lbtest::writeFile("controller_ca.pem", lbtest::readFile(c.ca));
        const std::string cert = lbtest::scratchDir() + "/" + c.certFor;
        lbtest::CtrlSim sim(kSim, kTopology, {"--cert=" + cert + ".pem", "--key=" + cert + ".key"});
        Lbapp app;
        EXPECT_TRUE(app.waitFor(c.line)) << app.output();
        EXPECT_NE(app.output().find("Controller certificate verified against"), std::string::npos);
        EXPECT_EQ(app.stop(SIGTERM), 15) << app.output();
    }
}

}  // namespace
