#include "config/lbCtrlApi.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "controller/lbCurl/restApi.h"
#include "flowtable/lbFlowDb.h"
#include "flowtable/lbTimer.h"
#include "common/lbGlobals.h"

// ---- Configuration loaders and the run-time refresh ------------------------------------
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
const char flagfile[] = "flag.txt";

MYSQL *g_con = nullptr;
char g_serverIP[20];

static_assert(sizeof g_serverIP == 20 && sizeof g_cont1IPAddr == 20 && sizeof g_vipIPAddr == 20);
static_assert(sizeof g_contMacAddr == 20 && sizeof g_switchDpId == 50 && sizeof cluster_name == 50);
static_assert(sizeof g_addFlowTmr == 20 && sizeof g_delFlowTmr == 20 && sizeof g_vlanId == 20);
static_assert(sizeof(lbServer_node_t::server_name) == 50);

namespace {

// Longest state word of table server.
constexpr size_t kStateLen = 14;
// Longest switch port a server may be configured on.
constexpr int kMaxSwitchPort = 47;
// Seconds a database call may take before it fails; the tick holds the table lock while
// it waits, so a hung server must not stall the packet thread for long.
constexpr unsigned kDbTimeoutSec = 5;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct ResultFree {
    void operator()(MYSQL_RES *r) const { mysql_free_result(r); }
};
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultFree>;

struct MysqlClose {
    void operator()(MYSQL *m) const { mysql_close(m); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlClose>;

// Holds a pthread mutex for one scope.
class MutexHold {
  public:
    explicit MutexHold(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexHold() { pthread_mutex_unlock(&m_); }
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;

  private:
    pthread_mutex_t &m_;
};

// Credentials of the last successful lbDbInit, kept for reconnecting at run time.
struct DbCredentials {
    char host[20];
    char user[50];
    char password[50];
};
DbCredentials g_cred;

// A value quoted for a message: long values are cut so the message stays one line.
std::string quoted(std::string_view v) {
    constexpr size_t kShown = 64;
    std::string s = "\"";
    s.append(v.substr(0, kShown));
    if (v.size() > kShown)
        s += "...";
    s += "\"";
    return s;
}

// Prints a configuration error as one line and ends the process with status 0.
[[noreturn]] __attribute__((format(printf, 1, 2))) void configFail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    lbConfigExit(0);
}

// The whole content of a file; false when it cannot be opened.
bool slurp(const char *name, std::string &out) {
    FilePtr f(fopen(name, "r"));
    if (!f)
        return false;
    out.clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0)
        out.append(buf, n);
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Words of a text, separated by any white space.
std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i]))
            i++;
        size_t start = i;
        while (i < text.size() && !isBlank(text[i]))
            i++;
        if (i > start)
            words.push_back(text.substr(start, i - start));
    }
    return words;
}

// Lines of a text without their newlines; a final newline ends the last line rather
// than starting an empty one.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// Copies word into dst as a NUL-terminated string; false (dst untouched) when it does
// not fit.
bool copyWord(char *dst, size_t dstSize, std::string_view word) {
    if (word.size() >= dstSize)
        return false;
    memcpy(dst, word.data(), word.size());
    dst[word.size()] = '\0';
    return true;
}

// A whole word as a decimal int (optional minus sign); false on anything else.
bool parseInt(std::string_view w, int &out) {
    if (w.empty())
        return false;
    auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), out);
    return ec == std::errc() && p == w.data() + w.size();
}

bool allDigits(std::string_view w) {
    if (w.empty())
        return false;
    for (char c : w)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A dotted-decimal IPv4 address; addr receives it in network order.
bool parseIPv4(std::string_view w, struct in_addr &addr) {
    char buf[INET_ADDRSTRLEN];
    if (!copyWord(buf, sizeof buf, w))
        return false;
    return inet_pton(AF_INET, buf, &addr) == 1;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Six hexadecimal byte values of one or two digits separated by colons.
bool parseMac(std::string_view w, unsigned char mac[6]) {
    size_t i = 0;
    for (int b = 0; b < 6; b++) {
        if (b > 0) {
            if (i >= w.size() || w[i] != ':')
                return false;
            i++;
        }
        int v = 0, digits = 0;
        while (i < w.size() && hexDigit(w[i]) >= 0 && digits < 2) {
            v = v * 16 + hexDigit(w[i]);
            i++;
            digits++;
        }
        if (digits == 0)
            return false;
        mac[b] = static_cast<unsigned char>(v);
    }
    return i == w.size();
}

// Which of a table's columns go to its mirror file, and what is echoed on standard
// output while mirroring.
struct MirrorTable {
    const char *query;
    const char *file;
    std::vector<unsigned> columns;
    bool echoValues;
    bool echoNewlines;
    bool printNumFields;
};

// Runs the query, writes the selected columns of every row into the mirror file (SQL
// NULL as the word NULL, each value followed by a blank, one line per row) and echoes
// as asked. Returns 0, -1 when the query or the result failed (the caller reads the
// error from con), or -2 when the mirror file cannot be written: reading it back then
// would load whatever an earlier run left there.
int mirrorTable(MYSQL *con, const MirrorTable &mirror) {
    if (mysql_query(con, mirror.query) != 0)
        return -1;
    ResultPtr res(mysql_store_result(con));
    FilePtr out(fopen(mirror.file, "w+"));
    if (!res)
        return -1;
    if (!out)
        return -2;
    unsigned nf = mysql_num_fields(res.get());
    if (mirror.printNumFields && Gv_noPrint == 0)
        printf("num_fileds = %u\n", nf);
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
        unsigned long *lens = mysql_fetch_lengths(res.get());
        for (unsigned i = 0; i < nf; i++) {
            std::string_view v = row[i] ? std::string_view(row[i], lens[i]) : "NULL";
            if (mirror.echoValues)
                printf("%.*s ", static_cast<int>(v.size()), v.data());
            bool used = false;
            for (unsigned c : mirror.columns)
                used = used || c == i;
            if (used && out) {
                fwrite(v.data(), 1, v.size(), out.get());
                fputc(' ', out.get());
            }
        }
        if (out)
            fputc('\n', out.get());
        if (mirror.echoNewlines)
            printf("\n");
    }
    return 0;
}

// One row of servConfig.conf, checked word by word. On success fills rec (name,
// address, maxconn, MAC, lock, port) and returns true; otherwise err says which value
// is wrong. The port is only checked for being a number of at least 0: the caller
// applies the upper limit with its own message.
bool parseServerLine(std::string_view line, lbServer_node_t &rec, std::string &err) {
    static const char *const kWhat[6] = {"server name", "server address", "maximum connections",
                                         "MAC address", "state",          "switch port"};
    std::vector<std::string_view> w = splitWords(line);
    if (w.size() != 6) {
        err =
            "expected 6 values (name, address, maximum connections, MAC, state, port), "
            "found " +
            std::to_string(w.size()) + " in " + quoted(line);
        return false;
    }
    for (int i = 0; i < 6; i++) {
        if (w[i] == "NULL") {
            err = std::string(kWhat[i]) + " is NULL";
            return false;
        }
    }
    if (!copyWord(rec.server_name, sizeof rec.server_name, w[0])) {
        err = "server name " + quoted(w[0]) + " is longer than 49 characters";
        return false;
    }
    if (!parseIPv4(w[1], rec.lbServIp)) {
        err = "server address " + quoted(w[1]) + " is not a dotted IPv4 address";
        return false;
    }
    if (!parseInt(w[2], rec.maxconn)) {
        err = "maximum connections " + quoted(w[2]) + " is not a number";
        return false;
    }
    if (!parseMac(w[3], rec.lbServMac)) {
        err = "MAC address " + quoted(w[3]) + " is not six hexadecimal bytes";
        return false;
    }
    if (w[4].size() > kStateLen) {
        err = "state " + quoted(w[4]) + " is longer than 14 characters";
        return false;
    }
    rec.lock = w[4] == "Locked" ? 1 : 0;
    if (!parseInt(w[5], rec.lbSwitchPort) || rec.lbSwitchPort < 0) {
        err = "switch port " + quoted(w[5]) + " is not a port number";
        return false;
    }
    return true;
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

// Drops the run-time connection after a failure; the next tick connects again.
void dbDrop() {
    if (g_con != nullptr)
        mysql_close(g_con);
    g_con = nullptr;
}

// Connects again at run time when the last refresh dropped the connection. Prints the
// MySQL error and leaves g_con null when the server still does not answer.
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

}  // namespace

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
    for (std::string_view line : splitLines(content)) {
        lineNo++;
        lbServer_node_t parsed{};
        std::string err;
        if (!parseServerLine(line, parsed, err))
            configFail("Bad entry in %s line %d: %s", servconf, lineNo, err.c_str());
        lbServer_node_t *rec = create_lbServer_node(&lbServHead);
        if (rec == nullptr) {
            // The rows read so far stay; the flow table is still created below, since
            // the packet path needs it whatever the pool holds.
            printf("Not able to add a new server instance\n");
            break;
        }
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &parsed.lbServIp, ip, sizeof ip);
        printf("ip_addr = %s, switchport = %d\n", ip, parsed.lbSwitchPort);
        if (parsed.lbSwitchPort > kMaxSwitchPort) {
            printf("wrong entry %d in Config file\n", parsed.lbSwitchPort);
            lbConfigExit(0);
        }
        memcpy(rec->server_name, parsed.server_name, sizeof rec->server_name);
        rec->lbServIp = parsed.lbServIp;
        rec->maxconn = parsed.maxconn;
        memcpy(rec->lbServMac, parsed.lbServMac, sizeof rec->lbServMac);
        rec->lbServIdx = count;
        rec->lbSwitchPort = parsed.lbSwitchPort;
        rec->servNotReachable = 0;
        rec->lock = parsed.lock;
        rec->valid = 1;
        rec->delete_ = 0;
        count++;
        if (Gv_noPrint == 0)
            printf("Number of servers for this cluster: %d\n", count);
    }
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
    printf("FLOW timeouts:\nADD_FLOW    DEL_FLOW\n================================\n");
    printf("%s sec   %s sec\n", g_addFlowTmr, g_delFlowTmr);
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
    static const char kTmp[] = "flows_new.txt.seed";
    FilePtr f(fopen(kTmp, "w"));
    if (!f) {
        printf("Error in opening file %s\n", cliservconf);
        return;
    }
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
        fprintf(f.get(), "%d %d %s %d %s %d\n", 0, 0, ip, 0, s->server_name, s->maxconn);
    }
    bool failed = ferror(f.get()) != 0;
    failed = fclose(f.release()) != 0 || failed;
    if (failed || rename(kTmp, cliservconf) != 0) {
        printf("Error in writing file %s\n", cliservconf);
        unlink(kTmp);
    }
}

// ---- Run-time refresh ------------------------------------------------------------

void lbInitTimer(void) {
    timerId = lbEventCreate(5, 0, lb_get_graphical_data, nullptr, 0);
}

int getServEntryFromDB(lbServer_node_t *new_server) {
    if (g_con == nullptr) {
        printf("No database connection: request for %s skipped\n", g_serverIP);
        return -1;
    }
    // g_serverIP has been checked to be a dotted IPv4 address; escaping it as well keeps
    // the query safe should that check ever be loosened.
    char escaped[2 * sizeof g_serverIP + 1];
    mysql_real_escape_string(g_con, escaped, g_serverIP, strnlen(g_serverIP, sizeof g_serverIP));
    char query[100];
    int qn = snprintf(query, sizeof query,
                      "SELECT * FROM loadbalancer.server where serverip = '%s'", escaped);
    static_assert(sizeof "SELECT * FROM loadbalancer.server where serverip = ''" - 1 + 15 < 100);
    if (qn < 0 || static_cast<size_t>(qn) >= sizeof query) {
        printf("Request for %s skipped: query too long\n", g_serverIP);
        return -1;
    }
    if (Gv_noPrint == 0)
        printf("buf = %s\n", query);
    const MirrorTable mirror{query,           servconf,        {1, 2, 4, 5, 6, 7},
                             Gv_noPrint == 0, Gv_noPrint == 0, false};
    int rc = mirrorTable(g_con, mirror);
    if (rc == -2) {
        printf("Error in opening file %s: request for %s skipped\n", servconf, g_serverIP);
        return -1;
    }
    if (rc != 0) {
        printf("%s\n", mysql_error(g_con));
        dbDrop();
        return -1;
    }
    std::string content;
    if (!slurp(servconf, content))
        return 0;
    if (Gv_noPrint == 0)
        printf("File: %s exists. Copying file contents...\n", servconf);
    int lineNo = 0;
    for (std::string_view line : splitLines(content)) {
        lineNo++;
        lbServer_node_t parsed{};
        std::string err;
        if (!parseServerLine(line, parsed, err)) {
            printf("Bad entry in %s line %d: %s; request for %s skipped\n", servconf, lineNo,
                   err.c_str(), g_serverIP);
            return -1;
        }
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &parsed.lbServIp, ip, sizeof ip);
        printf("ip_addr = %s, switchport = %d\n", ip, parsed.lbSwitchPort);
        if (parsed.lbSwitchPort > kMaxSwitchPort) {
            printf("wrong entry %d in Config file\n", parsed.lbSwitchPort);
            return -1;
        }
        memcpy(new_server->server_name, parsed.server_name, sizeof new_server->server_name);
        new_server->lbServIp = parsed.lbServIp;
        new_server->maxconn = parsed.maxconn;
        memcpy(new_server->lbServMac, parsed.lbServMac, sizeof new_server->lbServMac);
        new_server->lbSwitchPort = parsed.lbSwitchPort;
        new_server->lock = parsed.lock;
        new_server->valid = 0;
    }
    return 0;
}

void updateLbServerEntry(lbServer_node_t *servernode, lbServer_node_t *serverInfo) {
    if (servernode == nullptr) {
        printf("Servernode is NULL ");
        return;
    }
    if (servernode->valid == 0) {
        servernode->valid = 1;
        servernode->numConn = 0;
        servernode->delete_ = 0;
    }
    struct in_addr a;
    if (parseIPv4(std::string_view(g_serverIP, strnlen(g_serverIP, sizeof g_serverIP)), a))
        servernode->lbServIp = a;
    memcpy(servernode->lbServMac, serverInfo->lbServMac, sizeof servernode->lbServMac);
    memcpy(servernode->server_name, serverInfo->server_name, sizeof servernode->server_name);
    servernode->server_name[sizeof servernode->server_name - 1] = '\0';
    servernode->maxconn = serverInfo->maxconn;
    servernode->lbSwitchPort = serverInfo->lbSwitchPort;
    servernode->lock = serverInfo->lock;
    servernode->servNotReachable = 0;
}

void serverUpdateInfo(const char *action) {
    if (strcmp(action, "ADD") != 0 && strcmp(action, "MODIFY") != 0 &&
        strcmp(action, "DELETE") != 0)
        return;
    lbServer_node_t scratch{};
    struct in_addr addr;
    if (!parseIPv4(std::string_view(g_serverIP, strnlen(g_serverIP, sizeof g_serverIP)), addr)) {
        printf("Request %s for %.*s skipped: not a dotted IPv4 address\n", action,
               static_cast<int>(strnlen(g_serverIP, sizeof g_serverIP)), g_serverIP);
        return;
    }
    if (strcmp(action, "ADD") == 0) {
        if (getServEntryFromDB(&scratch) != 0)
            return;
        lbServer_node_t *rec = create_lbServer_node(&lbServHead);
        if (rec == nullptr) {
            printf("LB server is not crreated ");
            return;
        }
        rec->lbServIp = scratch.lbServIp;
        updateLbServerEntry(rec, &scratch);
        g_lbNumServers++;
        printServListHeader(true);
        printServList(&lbServHead);
    } else if (strcmp(action, "MODIFY") == 0) {
        if (getServEntryFromDB(&scratch) != 0)
            return;
        updateLbServerEntry(getServEntry(addr.s_addr, &lbServHead), &scratch);
        printServListHeader(false);
        printServList(&lbServHead);
    } else if (strcmp(action, "DELETE") == 0) {
        lbServer_node_t *rec = getServEntry(addr.s_addr, &lbServHead);
        if (rec == nullptr) {
            printf("DELETE of %s: no such server\n", g_serverIP);
            return;
        }
        if (rec->numConn != 0) {
            // Removed by the teardown of its last connection.
            rec->delete_ = 1;
            return;
        }
        del_lbServer_node(rec, &lbServHead);
        g_lbNumServers--;
        printServListHeader(false);
        printServList(&lbServHead);
    }
}

namespace {

// Name the request file is moved to while a tick reads it, so that a request written
// meanwhile lands in a fresh flag.txt instead of being overwritten by the reset.
constexpr const char *kFlagTaken = "flag.txt.tick";

// Reads from fd until end of file, appending to text.
void readRest(int fd, std::string &text) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;
    }
}

// Applies the entries of text from offset pos on, as "<flag> <action> <address>" word
// triples. An entry whose words run short (the next number starts early, or, with
// atEnd, the text ends) is skipped, and so is a word where a flag is expected that is not a number;
// the reader then resynchronises on the next number. Returns the offset just past the last complete
// entry, so that text appended later can be read on from there.
size_t applyRequests(const std::string &text, size_t pos, bool atEnd) {
    std::string_view rest(text);
    std::vector<std::string_view> words = splitWords(rest.substr(pos));
    size_t consumed = pos;
    auto endOf = [&](std::string_view w) {
        return static_cast<size_t>(w.data() - text.data()) + w.size();
    };
    size_t i = 0;
    while (i < words.size()) {
        int flag;
        if (!parseInt(words[i], flag)) {
            printf("%s: skipping %s: not a request flag\n", flagfile, quoted(words[i]).c_str());
            consumed = endOf(words[i]);
            i++;
            continue;
        }
        int tmp;
        if (i + 2 >= words.size()) {
            // Before the end of the file this entry may still be being written: it is
            // looked at again once the file stops growing.
            if (!atEnd)
                return consumed;
            if (flag != 0)
                printf("%s: incomplete request skipped\n", flagfile);
            return text.size();
        }
        if (parseInt(words[i + 1], tmp) || parseInt(words[i + 2], tmp)) {
            if (flag != 0)
                printf("%s: incomplete request skipped\n", flagfile);
            consumed = endOf(words[i]);
            i++;
            continue;
        }
        std::string_view action = words[i + 1], address = words[i + 2];
        consumed = endOf(address);
        i += 3;
        if (Gv_noPrint == 0)
            printf("flag = %d\n", flag);
        if (flag == 0)
            continue;
        char act[10];
        if (!copyWord(act, sizeof act, action) ||
            (strcmp(act, "ADD") != 0 && strcmp(act, "MODIFY") != 0 && strcmp(act, "DELETE") != 0)) {
            printf("%s: unknown action %s skipped\n", flagfile, quoted(action).c_str());
            continue;
        }
        struct in_addr a;
        if (!parseIPv4(address, a)) {
            printf("%s: %s request for %s skipped: not a dotted IPv4 address\n", flagfile, act,
                   quoted(address).c_str());
            continue;
        }
        copyWord(g_serverIP, sizeof g_serverIP, address);
        serverUpdateInfo(act);
    }
    return consumed;
}

// The request file taken by the previous tick, still open: a front end that opened
// flag.txt just before the rename may append to it after that tick stopped reading, and
// that request is applied at the next tick instead of being lost. -1 when none.
int g_flagTakenFd = -1;
// Bytes of g_flagTakenFd already applied.
size_t g_flagTakenSize = 0;

// Applies what was appended late to the previous tick's request file, then closes it.
void finishTakenFlagFile() {
    if (g_flagTakenFd < 0)
        return;
    std::string text;
    if (lseek(g_flagTakenFd, static_cast<off_t>(g_flagTakenSize), SEEK_SET) >= 0)
        readRest(g_flagTakenFd, text);
    if (!text.empty())
        applyRequests(text, 0, true);
    close(g_flagTakenFd);
    g_flagTakenFd = -1;
    g_flagTakenSize = 0;
}

// Takes flag.txt away, applies its requests in file order and leaves a fresh "0" unless
// a new request file appeared meanwhile.
void processFlagFile() {
    finishTakenFlagFile();
    if (rename(flagfile, kFlagTaken) != 0) {
        if (errno != ENOENT)
            printf("%s: cannot take requests: %s\n", flagfile, strerror(errno));
    } else {
        int fd = open(kFlagTaken, O_RDONLY | O_CLOEXEC);
        unlink(kFlagTaken);
        if (fd < 0) {
            printf("%s: cannot read requests: %s\n", flagfile, strerror(errno));
        } else {
            // A writer that opened flag.txt just before the rename may still append to
            // the taken file: read on until it stops growing.
            std::string text;
            size_t done = 0;
            for (;;) {
                size_t before = text.size();
                readRest(fd, text);
                if (text.size() == before)
                    break;
                done = applyRequests(text, done, false);
            }
            applyRequests(text, done, true);
            g_flagTakenFd = fd;
            g_flagTakenSize = text.size();
        }
    }
    // The fresh "0" is written in full under another name and linked into place, so a
    // request file created meanwhile is never overwritten, and a writer never appends to
    // a half-written reset.
    static const char kResetTmp[] = "flag.txt.reset";
    int fd = open(kResetTmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        printf("%s: cannot reset: %s\n", flagfile, strerror(errno));
        return;
    }
    static const char kReset[] = "0\n";
    bool written = write(fd, kReset, sizeof kReset - 1) == static_cast<ssize_t>(sizeof kReset - 1);
    int writeErr = errno;
    close(fd);
    if (!written)
        printf("%s: cannot reset: %s\n", flagfile, strerror(writeErr));
    else if (link(kResetTmp, flagfile) != 0 && errno != EEXIST)
        printf("%s: cannot reset: %s\n", flagfile, strerror(errno));
    unlink(kResetTmp);
}

// Appends one line per server to the graph file and clears the unreachable marks.
void writeGraph(const char *when) {
    FilePtr f(fopen(servergraphconf, "a+"));
    if (!f)
        printf("Error in opening file %s\n", servergraphconf);
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next) {
        auto *s = static_cast<lbServer_node_t *>(n->data);
        if (f)
            fprintf(f.get(), "%s  %d  %s", s->server_name, s->numConn, when);
        s->servNotReachable = 0;
    }
}

// Copies the graph file into the front end's directory, when there is one.
void copyGraph() {
    namespace fs = std::filesystem;
    static const char kDir[] = "../../config_data";
    std::error_code ec;
    if (!fs::is_directory(kDir, ec))
        return;
    fs::copy_file(servergraphconf, fs::path(kDir) / servergraphconf,
                  fs::copy_options::overwrite_existing, ec);
    if (ec)
        printf("cp %s %s: %s\n", servergraphconf, kDir, ec.message().c_str());
}

}  // namespace

void lb_get_graphical_data(void *user_p, int len) {
    (void)user_p;
    (void)len;
    time_t now = time(nullptr);
    struct tm tm;
    char when[32];
    localtime_r(&now, &tm);
    asctime_r(&tm, when);
    printf("Timer tick... ");
    // g_con belongs to the timer thread once start-up is over, so a slow reconnect need
    // not hold up the packet thread.
    dbReconnectIfNeeded();
    {
        MutexHold hold(g_lbRBtreeMtx);
        processFlagFile();
        writeGraph(when);
        copyGraph();
        fflush(stdout);
        // Raised under the lock, so that a reader holding it sees the finished tick.
        fiveSecTimerEvent = 1;
    }
}

// ---- Application port discovery -------------------------------------------------------

int setlbAppPort(void) {
    char ctrlAddr[50];
    char url[1024];
    snprintf(ctrlAddr, sizeof ctrlAddr, "%s:%s", g_cont1IPAddr, "8443");
    int n = snprintf(url, sizeof url, "https://%s/sdn/v2.0/net/nodes?vid=%s&ip=%s", ctrlAddr,
                     reinterpret_cast<const char *>(g_vlanId), g_vipIPAddr);
    NODE_DATA rec{};
    snprintf(rec.node_ip, sizeof rec.node_ip, "NULL");
    snprintf(rec.switch_dpid, sizeof rec.switch_dpid, "NULL");
    rec.node_port = 0;
    if (n > 0 && static_cast<size_t>(n) < sizeof url)
        getSwitchFlow(url, &rec);

    // A port outside the switch's port numbers is no attachment either.
    g_lbAppPort = rec.node_port > 0 && rec.node_port <= UINT32_MAX
                      ? static_cast<unsigned int>(rec.node_port)
                      : 0;
    static_assert(sizeof g_switchDpId > sizeof rec.switch_dpid);
    snprintf(reinterpret_cast<char *>(g_switchDpId), sizeof g_switchDpId, "%s", rec.switch_dpid);
    if (g_lbAppPort == 0)
        return -1;
    if (Gv_noPrint == 0) {
        printf("lbApp inport is %d\n\n", g_lbAppPort);
        printf("lbapp dpid is %s\n", reinterpret_cast<const char *>(g_switchDpId));
    }
    return 0;
}
