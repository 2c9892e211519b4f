#include "config/lbCtrlApi.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "config/lbCtrlApiDb.h"
#include "config/lbCtrlApiText.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/restApi.h"
#include "flowtable/lbFlowDb.h"

// ---- Configuration loaders -----------------------------------------------------------
//
// Every table is loaded the same way: SELECT *, mirror the used columns into a text file
// for the web front end, then parse the configuration back from that file. Parsing
// validates every word before it reaches a fixed-size field, so an over-long or
// malformed value is reported instead of overflowing or silently shifting the columns.

const char dbconfig[] = "dbconfig.conf";
const char servconf[] = "servConfig.conf";
const char contipconf[] = "contIP.conf";
const char clusterconf[] = "cluster.conf";
const char clusterconf_new[] = "cluster_new.conf";
const char timeconf[] = "timeout.conf";
const char vlanid[] = "vlanid.conf";
const char cliservconf[] = "flows_new.txt";
const char servergraphconf[] = "servergraph.txt";
const char graphconf[] = "servergraph.conf";
const char flagfile[] = "flag.txt";

MYSQL *g_con = nullptr;
char g_serverIP[20];

static_assert(sizeof g_serverIP == 20 && sizeof g_cont1IPAddr == 20 && sizeof g_vipIPAddr == 20);
static_assert(sizeof g_contMacAddr == 20 && sizeof g_switchDpId == 50 && sizeof cluster_name == 50);
static_assert(sizeof g_addFlowTmr == 20 && sizeof g_delFlowTmr == 20 && sizeof g_vlanId == 20);
static_assert(sizeof(lbServer_node_t::server_name) == 50);

namespace {

using namespace lbcfg;

// Seconds a database call may take before it fails, so that a server that stopped
// answering holds up a refresh for a bounded time only.
constexpr unsigned kDbTimeoutSec = 5;

struct ResultFree {
    void operator()(MYSQL_RES *r) const { mysql_free_result(r); }
};
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultFree>;

struct MysqlClose {
    void operator()(MYSQL *m) const { mysql_close(m); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlClose>;

// Credentials of the last successful lbDbInit, kept for reconnecting at run time.
struct DbCredentials {
    char host[20];
    char user[50];
    char password[50];
};
DbCredentials g_cred;

// Prints a configuration error as one line and ends the process with status 0.
[[noreturn]] __attribute__((format(printf, 1, 2))) void configFail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    lbConfigExit(0);
}

// Mirrors a single-row table and returns the words of the mirror file's first line.
// Exits as configured when the table cannot be read or the file cannot be reopened.
std::vector<std::string_view> loadFirstRow(const MirrorTable &mirror, std::string &content) {
    int rc = mirrorTable(g_con, mirror);
    if (rc == -1)
        finish_with_error(g_con);
    if (rc != 0 || !slurp(mirror.file, content)) {
        printf("Error in opening file %s\n", mirror.file);
        lbConfigExit(0);
    }
    std::vector<std::string_view> lines = splitLines(content);
    return lines.empty() ? std::vector<std::string_view>{} : splitWords(lines[0]);
}

// Opens a connection to database loadbalancer with the saved credentials. Null (with
// the error left in *err) when it fails.
MysqlPtr dbConnect(std::string *err) {
    MysqlPtr con(mysql_init(nullptr));
    if (!con) {
        *err = "mysql_init() failed";
        return nullptr;
    }
    unsigned timeout = kDbTimeoutSec;
    mysql_options(con.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    mysql_options(con.get(), MYSQL_OPT_READ_TIMEOUT, &timeout);
    mysql_options(con.get(), MYSQL_OPT_WRITE_TIMEOUT, &timeout);
    if (mysql_real_connect(con.get(), g_cred.host, g_cred.user, g_cred.password, "loadbalancer", 0,
                           nullptr, 0) == nullptr) {
        *err = mysql_error(con.get());
        return con;  // the caller reports the error from the handle
    }
    return con;
}

}  // namespace

namespace lbcfg {

int mirrorTable(MYSQL *con, const MirrorTable &mirror) {
    if (mysql_query(con, mirror.query) != 0)
        return -1;
    ResultPtr res(mysql_store_result(con));
    if (!res)
        return -1;
    unsigned nf = mysql_num_fields(res.get());
    if (mirror.printNumFields && Gv_noPrint == 0)
        printf("num_fileds = %u\n", nf);
    int err = lbReplaceFile(mirror.file, [&](FILE *out) {
        while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
            unsigned long *lens = mysql_fetch_lengths(res.get());
            for (unsigned i = 0; i < nf; i++) {
                std::string_view v = row[i] ? std::string_view(row[i], lens[i]) : "NULL";
                if (mirror.echoValues)
                    printf("%.*s ", static_cast<int>(v.size()), v.data());
                bool used = false;
                for (unsigned c : mirror.columns)
                    used = used || c == i;
                if (used) {
                    fwrite(v.data(), 1, v.size(), out);
                    fputc(' ', out);
                }
            }
            fputc('\n', out);
            if (mirror.echoNewlines)
                printf("\n");
        }
        return true;
    });
    return err == 0 ? 0 : -2;
}

void dbDrop() {
    if (g_con != nullptr)
        mysql_close(g_con);
    g_con = nullptr;
}

void dbReconnectIfNeeded() {
    if (g_con != nullptr || g_cred.host[0] == '\0')
        return;
    std::string err;
    MysqlPtr con = dbConnect(&err);
    if (!err.empty()) {
        printf("%s\n", err.c_str());
        return;
    }
    g_con = con.release();
}

int readServerRows(std::string_view content,
                   const std::function<bool(const lbServer_node_t &)> &take, int *lineNo,
                   std::string *err) {
    *lineNo = 0;
    for (std::string_view line : splitLines(content)) {
        ++*lineNo;
        lbServer_node_t parsed{};
        if (!parseServerLine(line, parsed, *err))
            return -1;
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &parsed.lbServIp, ip, sizeof ip);
        printf("ip_addr = %s, switchport = %d\n", ip, parsed.lbSwitchPort);
        if (parsed.lbSwitchPort > kMaxSwitchPort) {
            printf("wrong entry %d in Config file\n", parsed.lbSwitchPort);
            return -2;
        }
        if (!take(parsed))
            return 0;
    }
    return 0;
}

void setServerConfig(lbServer_node_t *dst, const lbServer_node_t &src) {
    memcpy(dst->server_name, src.server_name, sizeof dst->server_name);
    dst->server_name[sizeof dst->server_name - 1] = '\0';
    dst->lbServIp = src.lbServIp;
    dst->maxconn = src.maxconn;
    memcpy(dst->lbServMac, src.lbServMac, sizeof dst->lbServMac);
    dst->lbSwitchPort = src.lbSwitchPort;
    dst->lock = src.lock;
}

}  // namespace lbcfg

void lbConfigExit(int status) {
    fflush(stdout);
    exit(status);
}

void finish_with_error(MYSQL *con) {
    printf("%s\n", mysql_error(con));
    mysql_close(con);
    if (con == g_con)
        g_con = nullptr;
    lbConfigExit(1);
}

void lbDbInit(void) {
    printf("calling lbDbInit\n");
    MysqlPtr probe(mysql_init(nullptr));
    if (!probe) {
        fprintf(stderr, "mysql_init() failed\n");
        lbConfigExit(1);
    }
    probe.reset();
    std::string text;
    if (!slurp(dbconfig, text)) {
        printf("Error in opening file %s\n", dbconfig);
        lbConfigExit(0);
    }
    std::vector<std::string_view> w = splitWords(text);
    if (w.size() < 2)
        configFail("%s: expected host, user name and password, found %zu words", dbconfig,
                   w.size());
    DbCredentials cred{};
    if (!copyWord(cred.host, sizeof cred.host, w[0]))
        configFail("%s: host %s is longer than 19 characters", dbconfig, quoted(w[0]).c_str());
    if (!copyWord(cred.user, sizeof cred.user, w[1]))
        configFail("%s: user name %s is longer than 49 characters", dbconfig, quoted(w[1]).c_str());
    // A user without a password is allowed: the third word may be missing.
    if (w.size() > 2 && !copyWord(cred.password, sizeof cred.password, w[2]))
        configFail("%s: password is longer than 49 characters", dbconfig);
    printf("dbconfig.conf contents\n");
    printf("ip    uname   pword\n");
    printf("========================================\n");
    printf("%s  %s  %s\n", cred.host, cred.user, cred.password[0] ? "********" : "");
    g_cred = cred;

    std::string err;
    MysqlPtr con = dbConnect(&err);
    if (!con) {
        fprintf(stderr, "%s\n", err.c_str());
        lbConfigExit(1);
    }
    if (!err.empty())
        finish_with_error(con.release());
    if (g_con != nullptr)
        mysql_close(g_con);
    g_con = con.release();
}

void lbServConfig(void) {
    printf("calling lbServconfig\n");
    const MirrorTable mirror{
        "SELECT * FROM loadbalancer.server", servconf, {1, 2, 4, 5, 6, 7}, true, true, false};
    int rc = mirrorTable(g_con, mirror);
    if (rc == -1)
        finish_with_error(g_con);
    std::string content;
    if (rc != 0 || !slurp(servconf, content)) {
        printf("File: %s does not exist.\n\n", servconf);
        lbConfigExit(0);
    }
    printf("File: %s exists. Copying file contents...\n", servconf);

    int count = 0;
    int lineNo = 0;
    std::string err;
    int rc2 = readServerRows(
        content,
        [&count](const lbServer_node_t &parsed) {
            lbServer_node_t *rec = create_lbServer_node(&lbServHead);
            if (rec == nullptr) {
                // The rows read so far stay; the flow table is still created below,
                // since the packet path needs it whatever the pool holds.
                printf("Not able to add a new server instance\n");
                return false;
            }
            setServerConfig(rec, parsed);
            rec->lbServIdx = count;
            rec->servNotReachable = 0;
            rec->valid = 1;
            rec->delete_ = 0;
            count++;
            if (Gv_noPrint == 0)
                printf("Number of servers for this cluster: %d\n", count);
            return true;
        },
        &lineNo, &err);
    if (rc2 == -1)
        configFail("Bad entry in %s line %d: %s", servconf, lineNo, err.c_str());
    if (rc2 == -2)
        lbConfigExit(0);
    if (g_lbServFlowTable_tree == nullptr)
        lbFlowTable_create();
    g_lbNumServers = count;
    printServListHeader(false);
    printServList(&lbServHead);
}

void lbContConfig(void) {
    const MirrorTable mirror{"SELECT * FROM loadbalancer.controller",
                             contipconf,
                             {1, 2, 3},
                             Gv_noPrint == 0,
                             true,
                             true};
    std::string content;
    std::vector<std::string_view> w = loadFirstRow(mirror, content);
    memset(g_cont1IPAddr, 0, sizeof g_cont1IPAddr);
    memset(g_vipIPAddr, 0, sizeof g_vipIPAddr);
    memset(g_contMacAddr, 0, sizeof g_contMacAddr);
    // A NULL address is as unconfigured as a missing row.
    if (w.empty() || w[0] == "NULL") {
        printf(
            "\n\nPlease configure the controller IP from VARN WEBUI and run the VARN App "
            "again\n");
        lbConfigExit(0);
    }
    struct in_addr a;
    if (!parseIPv4(w[0], a))
        configFail("Bad entry in %s: controller address %s is not a dotted IPv4 address",
                   contipconf, quoted(w[0]).c_str());
    if (w.size() < 3)
        configFail("Bad entry in %s: expected controller address, MAC and datapath id in %s",
                   contipconf, quoted(splitLines(content)[0]).c_str());
    unsigned char mac[6];
    if (w[1].size() >= sizeof g_contMacAddr || !parseMac(w[1], mac))
        configFail("Bad entry in %s: controller MAC %s is not six hexadecimal bytes", contipconf,
                   quoted(w[1]).c_str());
    if (w[2].size() >= sizeof g_switchDpId)
        configFail("Bad entry in %s: datapath id %s is longer than 49 characters", contipconf,
                   quoted(w[2]).c_str());
    copyWord(g_cont1IPAddr, sizeof g_cont1IPAddr, w[0]);
    copyWord(reinterpret_cast<char *>(g_contMacAddr), sizeof g_contMacAddr, w[1]);
    copyWord(reinterpret_cast<char *>(g_switchDpId), sizeof g_switchDpId, w[2]);
    printf("contIP.conf contents\n");
    printf("Controller-IP    Controller-MAC   DPID\n");
    printf("========================================\n");
    printf("%s  %s  %s\n", g_cont1IPAddr, g_contMacAddr, g_switchDpId);
}

void lbClusterConfig(void) {
    const MirrorTable mirror{
        "SELECT * FROM loadbalancer.vip_conf", clusterconf, {1}, Gv_noPrint == 0, true, true};
    std::string content;
    std::vector<std::string_view> w = loadFirstRow(mirror, content);
    memset(g_vipIPAddr, 0, sizeof g_vipIPAddr);
    if (!w.empty()) {
        struct in_addr a;
        if (!parseIPv4(w[0], a))
            configFail("Bad entry in %s: VIP %s is not a dotted IPv4 address", clusterconf,
                       quoted(w[0]).c_str());
        copyWord(g_vipIPAddr, sizeof g_vipIPAddr, w[0]);
    }
    if (Gv_noPrint == 0)
        printf("cluster.conf contents\n");
    printf("VIP-IP\n========\n%s\n", g_vipIPAddr);
}

void lbClusterConfig_new(void) {
    const MirrorTable mirror{"SELECT * FROM loadbalancer.cluster",
                             clusterconf_new,
                             {1},
                             Gv_noPrint == 0,
                             Gv_noPrint == 0,
                             true};
    std::string content;
    std::vector<std::string_view> w = loadFirstRow(mirror, content);
    memset(cluster_name, 0, sizeof cluster_name);
    if (!w.empty() && !copyWord(cluster_name, sizeof cluster_name, w[0]))
        configFail("Bad entry in %s: cluster name %s is longer than 49 characters", clusterconf_new,
                   quoted(w[0]).c_str());
    printf("Cluster_name\n========\n%s\n", cluster_name);
}

// Copies a start-up setting that goes into the controller's URLs and JSON bodies as a
// number; a word that is not all digits or does not fit ends start-up.
static void numericWord(const char *file, const char *what, const char *kind, std::string_view word,
                        unsigned char (&dst)[20]) {
    if (!allDigits(word))
        configFail("Bad entry in %s: %s %s is not %s", file, what, quoted(word).c_str(), kind);
    if (!copyWord(reinterpret_cast<char *>(dst), sizeof dst, word))
        configFail("Bad entry in %s: %s %s is longer than 19 characters", file, what,
                   quoted(word).c_str());
}

void lbIdleTimeoutConfig(void) {
    std::string text;
    if (!slurp(timeconf, text)) {
        printf("Error in opening file %s\n", timeconf);
        lbConfigExit(0);
    }
    memset(g_addFlowTmr, 0, sizeof g_addFlowTmr);
    memset(g_delFlowTmr, 0, sizeof g_delFlowTmr);
    std::vector<std::string_view> w = splitWords(text);
    if (w.size() < 2)
        configFail("check the contents of timeout.conf");
    numericWord(timeconf, "time-out", "a number of seconds", w[0], g_addFlowTmr);
    numericWord(timeconf, "time-out", "a number of seconds", w[1], g_delFlowTmr);
    // Optional: the idle limits of the balancer's own entries; a two-word file keeps the
    // defaults.
    unsigned int *limits[] = {&g_halfOpenTmr, &g_estIdleTmr};
    g_halfOpenTmr = LB_HALF_OPEN_DEFAULT;
    g_estIdleTmr = LB_EST_IDLE_DEFAULT;
    for (size_t i = 2; i < w.size() && i < 4; ++i) {
        int secs = 0;
        if (!allDigits(w[i]) || !parseInt(w[i], secs))
            configFail("Bad entry in %s: time-out %s is not a number of seconds", timeconf,
                       quoted(w[i]).c_str());
        *limits[i - 2] = static_cast<unsigned int>(secs);
    }
    printf("FLOW timeouts:\nADD_FLOW    DEL_FLOW\n================================\n");
    printf("%s sec   %s sec\n", g_addFlowTmr, g_delFlowTmr);
    printf("Connections without traffic removed after %u sec (half-open) and %u sec\n",
           g_halfOpenTmr, g_estIdleTmr);
}

void lbVlanConfig(void) {
    std::string text;
    if (!slurp(vlanid, text)) {
        printf("Error in opening file %s\n", vlanid);
        lbConfigExit(0);
    }
    memset(g_vlanId, 0, sizeof g_vlanId);
    std::vector<std::string_view> w = splitWords(text);
    if (w.empty())
        configFail("check the contents of vlanid.conf");
    numericWord(vlanid, "VLAN id", "a number", w[0], g_vlanId);
    printf("VLAN ID\n================================\n%s\n", g_vlanId);
}

// Written under a temporary name and renamed over flows_new.txt, so the front end never
// reads a half-written file.
void lbServConfigFile(void) {
    int err = lbReplaceFile(cliservconf, [](FILE *f) {
        for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next) {
            const auto *s = static_cast<const lbServer_node_t *>(n->data);
            if (s->numConn != 0 && s->lock != 1)
                continue;
            char ip[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &s->lbServIp, ip, sizeof ip);
            if (Gv_noPrint == 0) {
                printf("Writing in file %s\n", cliservconf);
                printf("%d  %d  %s %d %s %d\n", 0, 0, ip, 0, s->server_name, s->maxconn);
            }
            fprintf(f, "%d %d %s %d %s %d\n", 0, 0, ip, 0, s->server_name, s->maxconn);
        }
        return true;
    });
    if (err != 0)
        printf("Error in opening file %s\n", cliservconf);
}
