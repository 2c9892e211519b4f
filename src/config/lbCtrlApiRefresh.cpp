// The run-time refresh: the 5-second tick applies the requests of flag.txt to the server
// list, appends to the graph file and raises the tick flag for the packet loop.
//
// A tick works in three steps. It takes the complete lines of flag.txt and queues their
// requests behind those still waiting from earlier ticks; it reads the rows those
// requests need from the database, oldest first, stopping at the first request the
// database does not answer for; then, under g_lbRBtreeMtx, it applies what was read to
// the server list, writes the graph and raises the tick flag. The database is never
// waited for while g_lbRBtreeMtx is held.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "config/lbCtrlApi.h"
#include "config/lbCtrlApiDb.h"
#include "config/lbCtrlApiText.h"
#include "flowtable/lbTimer.h"

using namespace lbcfg;

namespace {

enum class Action { Add, Modify, Delete };

const char *actionName(Action a) {
    return a == Action::Add ? "ADD" : a == Action::Modify ? "MODIFY" : "DELETE";
}

bool parseAction(std::string_view w, Action &a) {
    for (Action c : {Action::Add, Action::Modify, Action::Delete})
        if (w == actionName(c)) {
            a = c;
            return true;
        }
    return false;
}

// A checked request, waiting to be applied.
struct Request {
    Action action;
    char address[sizeof g_serverIP];  // dotted, as written
    struct in_addr addr;
};

// A request whose row has been read (ADD, MODIFY), ready for the server list.
struct Ready {
    Request req;
    lbServer_node_t row;  // all zero when no row matched (MODIFY)
};

// Serialises the ticks and the direct calls of serverUpdateInfo and getServEntryFromDB,
// and guards everything below that lives from one tick to the next, g_con and
// g_serverIP. Held across database I/O; g_lbRBtreeMtx is only ever taken inside it.
std::mutex g_refreshMtx;

// Most requests kept while the database does not answer.
constexpr size_t kMaxPending = 1024;
// The requests not applied yet, oldest first.
std::deque<Request> g_pending;

void enqueue(const Request &r) {
    if (g_pending.size() >= kMaxPending) {
        // The oldest are kept: applied later, they still bring the list to a state the
        // front end once had, which the newest alone would not.
        printf("%s request for %s dropped: %zu earlier requests wait for the database\n",
               actionName(r.action), r.address, g_pending.size());
        return;
    }
    g_pending.push_back(r);
}

// How reading one server's row went.
enum class Row { Found, Missing, Rejected, NoAnswer };

// Reads the row of table server whose serverip is address into *row (several rows: the
// last one wins) and rewrites servConfig.conf with the matching rows. Connects first
// when there is no connection. A failed query drops the connection and is tried once
// more on a new one: a connection kept across a restart of the database fails its first
// query although the database answers again.
Row readRow(const char *address, lbServer_node_t *row) {
    int rc = -1;
    for (int attempt = 0; attempt < 2 && rc == -1; attempt++) {
        dbReconnectIfNeeded();  // prints why it failed
        if (g_con == nullptr)
            return Row::NoAnswer;
        // The address has been checked to be a dotted IPv4 address; escaping it as well
        // keeps the query safe should that check ever be loosened.
        char escaped[2 * sizeof g_serverIP + 1];
        mysql_real_escape_string(g_con, escaped, address, strnlen(address, sizeof g_serverIP));
        char query[100];
        int qn = snprintf(query, sizeof query,
                          "SELECT * FROM loadbalancer.server where serverip = '%s'", escaped);
        static_assert(sizeof "SELECT * FROM loadbalancer.server where serverip = ''" - 1 + 15 <
                      100);
        if (qn < 0 || static_cast<size_t>(qn) >= sizeof query) {
            printf("Request for %s skipped: query too long\n", address);
            return Row::Rejected;
        }
        if (Gv_noPrint == 0)
            printf("buf = %s\n", query);
        const MirrorTable mirror{query,           servconf,        {1, 2, 4, 5, 6, 7},
                                 Gv_noPrint == 0, Gv_noPrint == 0, false};
        rc = mirrorTable(g_con, mirror);
        if (rc == -1) {
            printf("%s\n", mysql_error(g_con));
            dbDrop();
        }
    }
    if (rc == -1)
        return Row::NoAnswer;
    std::string content;
    if (rc == -2 || !slurp(servconf, content)) {
        printf("Error in opening file %s: request for %s skipped\n", servconf, address);
        return Row::Rejected;
    }
    if (Gv_noPrint == 0)
        printf("File: %s exists. Copying file contents...\n", servconf);
    int lineNo = 0, rows = 0;
    std::string err;
    rc = readServerRows(
        content,
        [row, &rows](const lbServer_node_t &parsed) {
            setServerConfig(row, parsed);
            row->valid = 0;
            rows++;
            return true;
        },
        &lineNo, &err);
    if (rc == -1)
        printf("Bad entry in %s line %d: %s; request for %s skipped\n", servconf, lineNo,
               err.c_str(), address);
    if (rc != 0)
        return Row::Rejected;
    return rows > 0 ? Row::Found : Row::Missing;
}

// Reads the rows the waiting requests need, oldest first, without g_lbRBtreeMtx. Stops
// at the first request the database does not answer for: it and every request after it
// stay queued, so that none overtakes it. A request that can never be applied is
// dropped here with a printed line. Returns the requests ready to apply, in order.
std::vector<Ready> fetchPending() {
    std::vector<Ready> ready;
    while (!g_pending.empty()) {
        Ready r{g_pending.front(), {}};
        Row got = r.req.action == Action::Delete ? Row::Found : readRow(r.req.address, &r.row);
        if (got == Row::NoAnswer) {
            printf("Database not answering: %zu request%s kept for a later tick\n",
                   g_pending.size(), g_pending.size() == 1 ? "" : "s");
            break;
        }
        g_pending.pop_front();
        if (got == Row::Missing && r.req.action == Action::Add)
            printf("ADD of %s skipped: no row in table server\n", r.req.address);
        else if (got != Row::Rejected)
            ready.push_back(r);
    }
    return ready;
}

// Applies one request whose row has been read. The caller holds g_lbRBtreeMtx.
void apply(Ready &r) {
    snprintf(g_serverIP, sizeof g_serverIP, "%s", r.req.address);
    lbServer_node_t *rec = r.req.action == Action::Add
                               ? create_lbServer_node(&lbServHead)
                               : getServEntry(r.req.addr.s_addr, &lbServHead);
    switch (r.req.action) {
        case Action::Add:
            if (rec == nullptr) {
                printf("LB server is not crreated ");
                return;
            }
            rec->lbServIp = r.row.lbServIp;
            updateLbServerEntry(rec, &r.row);
            g_lbNumServers++;
            break;
        case Action::Modify:
            updateLbServerEntry(rec, &r.row);
            break;
        case Action::Delete:
            if (rec == nullptr) {
                printf("DELETE of %s: no such server\n", r.req.address);
                return;
            }
            if (rec->numConn != 0) {
                // Removed by the teardown of its last connection.
                rec->delete_ = 1;
                return;
            }
            del_lbServer_node(rec, &lbServHead);
            g_lbNumServers--;
            break;
    }
    printServListHeader(r.req.action == Action::Add);
    printServList(&lbServHead);
}

// Queues the requests of text, whole lines of flag.txt, read as "<flag> <action>
// <address>" word triples in order. An entry whose words run short (the next number
// starts early, or the text ends) is skipped, and so is a word where a flag is expected
// that is not a number; the reader then resynchronises on the next number.
void queueRequests(std::string_view text) {
    std::vector<std::string_view> words = splitWords(text);
    for (size_t i = 0; i < words.size();) {
        int flag, tmp;
        if (!parseInt(words[i], flag)) {
            printf("%s: skipping %s: not a request flag\n", flagfile, quoted(words[i]).c_str());
            i++;
            continue;
        }
        if (i + 2 >= words.size() || parseInt(words[i + 1], tmp) || parseInt(words[i + 2], tmp)) {
            if (flag != 0)
                printf("%s: incomplete request skipped\n", flagfile);
            if (i + 2 >= words.size())
                return;
            i++;
            continue;
        }
        std::string_view action = words[i + 1], address = words[i + 2];
        i += 3;
        if (Gv_noPrint == 0)
            printf("flag = %d\n", flag);
        if (flag == 0)
            continue;
        Request r{};
        if (!parseAction(action, r.action)) {
            printf("%s: unknown action %s skipped\n", flagfile, quoted(action).c_str());
            continue;
        }
        if (!parseIPv4(address, r.addr) || !copyWord(r.address, sizeof r.address, address)) {
            printf("%s: %s request for %s skipped: not a dotted IPv4 address\n", flagfile,
                   actionName(r.action), quoted(address).c_str());
            continue;
        }
        enqueue(r);
    }
}

// Name the request file is moved to while a tick reads it, so that a request written
// meanwhile lands in a fresh flag.txt instead of being overwritten by the reset.
constexpr const char *kFlagTaken = "flag.txt.tick";
// The fresh "0" is written under this name and linked into place.
constexpr const char *kResetTmp = "flag.txt.reset";
// Longest unfinished line carried to the next tick; no request line comes near it.
constexpr size_t kMaxTail = 64 * 1024;

// What the request file leaves from one tick to the next.
struct FlagFileState {
    // The file taken by the previous tick, still open: a front end that opened flag.txt
    // just before the rename may append to it after that tick read it. -1 when none.
    int takenFd = -1;
    size_t takenSize = 0;  // bytes of it read
    // The text after the last newline: a line still being written, applied once the
    // rest of it (wherever it is appended) ends it.
    std::string tail;
    // Identity of the fresh flag.txt holding the "0" written by the last reset. Those
    // two bytes are left out when that file is taken, so that the rest of a line begun
    // before the reset continues the line instead of following a "0".
    bool resetOwn = false;
    dev_t resetDev = 0;
    ino_t resetIno = 0;
};
FlagFileState g_flag;

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

// Leaves a fresh "0" in flag.txt unless a new request file appeared meanwhile. It is
// written in full under another name and linked into place, so a request file created
// meanwhile is never overwritten, and a writer never appends to a half-written reset.
void resetFlagFile() {
    g_flag.resetOwn = false;
    int fd = open(kResetTmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        printf("%s: cannot reset: %s\n", flagfile, strerror(errno));
        return;
    }
    static const char kReset[] = "0\n";
    bool written = write(fd, kReset, sizeof kReset - 1) == static_cast<ssize_t>(sizeof kReset - 1);
    int writeErr = errno;
    struct stat st;
    bool known = fstat(fd, &st) == 0;
    close(fd);
    if (!written) {
        printf("%s: cannot reset: %s\n", flagfile, strerror(writeErr));
    } else if (link(kResetTmp, flagfile) != 0) {
        if (errno != EEXIST)
            printf("%s: cannot reset: %s\n", flagfile, strerror(errno));
    } else if (known) {
        g_flag.resetOwn = true;
        g_flag.resetDev = st.st_dev;
        g_flag.resetIno = st.st_ino;
    }
    unlink(kResetTmp);
}

// Queues the requests that arrived since the last tick, in the order they were written:
// the carried unfinished line, what was appended late to the previously taken file, then
// flag.txt itself, which is taken away and replaced by a fresh "0". Only text up to the
// last newline is read as requests; the rest is carried to the next tick.
void takeRequests() {
    std::string text = std::move(g_flag.tail);
    g_flag.tail.clear();
    if (g_flag.takenFd >= 0) {
        if (lseek(g_flag.takenFd, static_cast<off_t>(g_flag.takenSize), SEEK_SET) >= 0)
            readRest(g_flag.takenFd, text);
        close(g_flag.takenFd);
        g_flag.takenFd = -1;
    }
    if (rename(flagfile, kFlagTaken) != 0) {
        if (errno != ENOENT)
            printf("%s: cannot take requests: %s\n", flagfile, strerror(errno));
    } else {
        int fd = open(kFlagTaken, O_RDONLY | O_CLOEXEC);
        unlink(kFlagTaken);
        if (fd < 0) {
            printf("%s: cannot read requests: %s\n", flagfile, strerror(errno));
        } else {
            std::string fresh;
            readRest(fd, fresh);
            struct stat st;
            bool ownReset = g_flag.resetOwn && fstat(fd, &st) == 0 &&
                            st.st_dev == g_flag.resetDev && st.st_ino == g_flag.resetIno &&
                            fresh.compare(0, 2, "0\n") == 0;
            text.append(fresh, ownReset ? 2 : 0);
            g_flag.takenFd = fd;
            g_flag.takenSize = fresh.size();
        }
    }
    resetFlagFile();
    size_t cut = text.rfind('\n');
    cut = cut == std::string::npos ? 0 : cut + 1;
    queueRequests(std::string_view(text).substr(0, cut));
    if (text.size() - cut > kMaxTail)
        printf("%s: %zu bytes without an end of line dropped\n", flagfile, text.size() - cut);
    else
        g_flag.tail.assign(text, cut);
}

// Moves a graph file that has reached g_graphMaxBytes aside (servergraph.txt.1, the
// older ones one number up, the one beyond g_graphKeep removed), so that the tick's
// append starts a fresh file. A file that cannot be moved is emptied instead: the bound
// holds either way.
void rotateGraph() {
    struct stat st;
    if (stat(servergraphconf, &st) != 0 ||
        static_cast<unsigned long long>(st.st_size) < g_graphMaxBytes)
        return;
    auto old = [](int i) { return std::string(servergraphconf) + "." + std::to_string(i); };
    int rc = 0;
    if (g_graphKeep > 0) {
        unlink(old(g_graphKeep).c_str());
        for (int i = g_graphKeep - 1; i >= 1; --i)
            rename(old(i).c_str(), old(i + 1).c_str());  // a gap (ENOENT) is fine
        rc = rename(servergraphconf, old(1).c_str());
    } else {
        rc = unlink(servergraphconf);
    }
    if (rc != 0) {
        printf("%s: cannot rotate, emptied: %s\n", servergraphconf, strerror(errno));
        if (truncate(servergraphconf, 0) != 0)
            printf("%s: cannot empty: %s\n", servergraphconf, strerror(errno));
    }
}

// Appends one line per server to the graph file and clears the unreachable marks.
void writeGraph(const char *when) {
    rotateGraph();
    lbFilePtr f(fopen(servergraphconf, "a+"));
    if (!f)
        printf("Error in opening file %s\n", servergraphconf);
    for (dlist_node *n = lbServHead.next; n != &lbServHead; n = n->next) {
        auto *s = static_cast<lbServer_node_t *>(n->data);
        if (f)
            fprintf(f.get(), "%s  %d  %s", s->server_name, s->numConn, when);
        s->servNotReachable = 0;
    }
}

// Copies the graph file into the front end's directory, when there is one. The copy is
// written under a temporary name there and renamed into place, so the front end never
// reads a half-copied graph.
void copyGraph() {
    namespace fs = std::filesystem;
    static const char kDir[] = "../../config_data";
    std::error_code ec;
    if (!fs::is_directory(kDir, ec))
        return;
    std::string content;
    if (!slurp(servergraphconf, content)) {
        printf("cp %s %s: cannot read it\n", servergraphconf, kDir);
        return;
    }
    const std::string target = (fs::path(kDir) / servergraphconf).string();
    int err = lbReplaceFile(target.c_str(), [&content](FILE *out) {
        return fwrite(content.data(), 1, content.size(), out) == content.size();
    });
    if (err != 0)
        printf("cp %s %s: %s\n", servergraphconf, kDir, strerror(err));
}

}  // namespace

unsigned long long g_graphMaxBytes = kGraphMaxBytesDefault;
int g_graphKeep = kGraphKeepDefault;

namespace {

// A size in bytes with an optional suffix K, M or G (powers of 1024).
bool parseSize(std::string_view w, unsigned long long &out) {
    unsigned long long unit = 1;
    if (!w.empty() && (w.back() == 'K' || w.back() == 'M' || w.back() == 'G')) {
        unit = w.back() == 'K' ? 1ull << 10 : w.back() == 'M' ? 1ull << 20 : 1ull << 30;
        w.remove_suffix(1);
    }
    if (!allDigits(w) || w.size() > 12)
        return false;
    const unsigned long long n = std::stoull(std::string(w));
    if (n > kGraphMaxBytesMax / unit)
        return false;
    out = n * unit;
    return true;
}

}  // namespace

int lbGraphConfig(void) {
    g_graphMaxBytes = kGraphMaxBytesDefault;
    g_graphKeep = kGraphKeepDefault;
    std::string text;
    if (!slurp(graphconf, text))
        return 0;
    std::vector<std::string_view> w = splitWords(text);
    unsigned long long size = 0;
    int keep = kGraphKeepDefault;
    if (w.empty() || w.size() > 2 || !parseSize(w[0], size) || size < kGraphMaxBytesMin ||
        size > kGraphMaxBytesMax ||
        (w.size() == 2 && (!parseInt(w[1], keep) || keep < 0 || keep > kGraphKeepMax))) {
        printf(
            "%s: expected a size of %llu to %llu bytes (suffix K, M or G allowed) and "
            "optionally 0 to %d old files; ignored, %s rotated at %llu bytes, %d old files "
            "kept\n",
            graphconf, kGraphMaxBytesMin, kGraphMaxBytesMax, kGraphKeepMax, servergraphconf,
            g_graphMaxBytes, g_graphKeep);
        return -1;
    }
    g_graphMaxBytes = size;
    g_graphKeep = keep;
    printf("%s rotated at %llu bytes, %d old files kept\n", servergraphconf, g_graphMaxBytes,
           g_graphKeep);
    return 0;
}

void lbInitTimer(void) {
    lbGraphConfig();
    timerId = lbEventCreate(5, 0, lb_get_graphical_data, nullptr, 0);
}

int getServEntryFromDB(lbServer_node_t *new_server) {
    std::lock_guard<std::mutex> refresh(g_refreshMtx);
    char address[sizeof g_serverIP];
    snprintf(address, sizeof address, "%.*s",
             static_cast<int>(strnlen(g_serverIP, sizeof g_serverIP)), g_serverIP);
    Row got = readRow(address, new_server);
    return got == Row::Found || got == Row::Missing ? 0 : -1;
}

void updateLbServerEntry(lbServer_node_t *servernode, lbServer_node_t *serverInfo) {
    if (servernode == nullptr) {
        printf("Servernode is NULL ");
        return;
    }
    // A record just made by ADD comes zeroed from create_lbServer_node (no connections,
    // not being deleted): it only needs marking valid.
    servernode->valid = 1;
    const in_addr kept = servernode->lbServIp;
    setServerConfig(servernode, *serverInfo);
    // The address is the request's, not the row's.
    struct in_addr a;
    servernode->lbServIp =
        parseIPv4(std::string_view(g_serverIP, strnlen(g_serverIP, sizeof g_serverIP)), a) ? a
                                                                                           : kept;
    servernode->servNotReachable = 0;
}

void serverUpdateInfo(const char *action) {
    Request r{};
    if (!parseAction(action, r.action))
        return;
    std::lock_guard<std::mutex> refresh(g_refreshMtx);
    std::string_view address(g_serverIP, strnlen(g_serverIP, sizeof g_serverIP));
    if (!parseIPv4(address, r.addr) || !copyWord(r.address, sizeof r.address, address)) {
        printf("Request %s for %.*s skipped: not a dotted IPv4 address\n", action,
               static_cast<int>(address.size()), address.data());
        return;
    }
    enqueue(r);
    std::vector<Ready> ready = fetchPending();
    lbTableLock hold;
    for (Ready &x : ready)
        apply(x);
}

void lb_get_graphical_data(void *user_p, int len) {
    (void)user_p;
    (void)len;
    time_t now = time(nullptr);
    struct tm tm;
    char when[32];
    localtime_r(&now, &tm);
    asctime_r(&tm, when);
    printf("Timer tick... \n");
    std::lock_guard<std::mutex> refresh(g_refreshMtx);
    takeRequests();
    std::vector<Ready> ready = fetchPending();
    lbTableLock hold;
    for (Ready &r : ready)
        apply(r);
    writeGraph(when);
    copyGraph();
    fflush(stdout);
    // Raised under the lock, so that a reader holding it sees the finished tick; the
    // packet loop sleeps in poll and must be woken to run the expiry walk.
    fiveSecTimerEvent = 1;
    lbWakeLoop();
}
