// The run-time refresh: the 5-second tick applies the requests of flag.txt to the server
// list, appends to the graph file and raises the tick flag for the packet loop.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
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

}  // namespace

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
    std::string err;
    rc = readServerRows(
        content,
        [new_server](const lbServer_node_t &parsed) {
            setServerConfig(new_server, parsed);
            new_server->valid = 0;
            return true;
        },
        &lineNo, &err);
    if (rc == -1)
        printf("Bad entry in %s line %d: %s; request for %s skipped\n", servconf, lineNo,
               err.c_str(), g_serverIP);
    return rc == 0 ? 0 : -1;
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
        lbWakeLoop();
    }
}
