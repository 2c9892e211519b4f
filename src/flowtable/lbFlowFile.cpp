#include "flowtable/lbFlowFile.h"

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "controller/lbCtrlMsg.h"
#include "flowtable/lbFlowDb.h"
#include "pool/lbServerList.h"

namespace {

const char kFile[] = LB_FLOWS_FILE;

// What one rewrite needs, copied out under the table lock.
struct ServerLine {
    uint32_t ip;  // network order
    int32_t maxconn;
    bool idle;  // listed on a line of its own
    char name[LB_SERVER_NAME_LEN + 1];
};
struct ConnLine {
    uint32_t client;  // network order
    int32_t port;
    uint32_t server;  // index into Snapshot::servers
};
struct Snapshot {
    uint64_t seq = 0;
    char cluster[sizeof cluster_name + 1] = "";
    std::vector<ServerLine> servers;
    std::vector<ConnLine> conns;
    std::unordered_map<const lbServer_node_t *, uint32_t> index;  // only while taking
};

// Rewrites at every change (interval 0) or at most once per interval, counted from the
// end of the previous rewrite. Table lock, except g_lastWriteEndMs (the writer sets it).
int64_t g_writeIntervalMs = 0;
std::atomic<int64_t> g_lastWriteEndMs{0};
bool g_fileDirty = false;
uint64_t g_nextSeq = 1;

// The snapshot a running WRITEFILE walk fills; table lock.
Snapshot *g_taking = nullptr;

// File lock (see the header): the sequence number of the content on disk.
std::mutex g_fileMtx;
uint64_t g_writtenSeq = 0;

int64_t monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Copies the server list and the table into s (cleared first, capacity kept).
void takeSnapshot(Snapshot &s) {
    s.seq = g_nextSeq++;
    lbCopyField(s.cluster, cluster_name, sizeof cluster_name);
    s.servers.clear();
    s.conns.clear();
    s.index.clear();
    for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next) {
        const auto *serv = static_cast<const lbServer_node_t *>(n->data);
        ServerLine line{};
        line.ip = serv->lbServIp.s_addr;
        line.maxconn = serv->maxconn;
        line.idle = serv->numConn == 0 && (serv->lock == 0 || serv->lock == 1);
        lbCopyField(line.name, serv->server_name, sizeof serv->server_name);
        s.index.emplace(serv, static_cast<uint32_t>(s.servers.size()));
        s.servers.push_back(line);
    }
    if (g_lbServFlowTable_tree == nullptr)
        return;
    s.conns.reserve(numFlowEntries);
    g_taking = &s;
    RBTreeTraverse(g_lbServFlowTable_tree, WRITEFILE);
    g_taking = nullptr;
}

// Formats s into the file unless a newer snapshot is on disk already. 0, or the errno of
// the failed replacement. Takes the file lock.
int writeSnapshot(const Snapshot &s) {
    std::lock_guard<std::mutex> file(g_fileMtx);
    if (s.seq < g_writtenSeq)
        return 0;
    const bool diag = Gv_noPrint == 0;
    int err = lbReplaceFile(kFile, [&s, diag](FILE *out) {
        char ip[LB_IPSTR_LEN];
        for (const ServerLine &l : s.servers) {
            if (!l.idle)
                continue;
            lbIPntoa(l.ip, ip, sizeof ip);
            fprintf(out, "%d %d %s %d %s %d\n", 0, 0, ip, 0, l.name, l.maxconn);
            if (diag) {
                printf("Writing in file %s\n", kFile);
                printf("%d %d %s %d %s %d\n", 0, 0, ip, 0, l.name, l.maxconn);
            }
        }
        char client[LB_IPSTR_LEN];
        for (const ConnLine &c : s.conns) {
            const ServerLine &l = s.servers[c.server];
            lbIPntoa(c.client, client, sizeof client);
            lbIPntoa(l.ip, ip, sizeof ip);
            fprintf(out, "%s %d %s %s %s %d\n", client, c.port, ip, s.cluster, l.name, l.maxconn);
        }
        return true;
    });
    if (err == 0)
        g_writtenSeq = s.seq;
    g_lastWriteEndMs.store(monotonicMs(), std::memory_order_relaxed);
    return err;
}

void reportWriteFailure(int err) {
    char buf[128];
    // GNU strerror_r: returns the message, which need not be in buf.
    const char *msg = strerror_r(err, buf, sizeof buf);
    printf("Cannot write %s: %s\n", kFile, msg);
}

// One thread that writes the snapshots handed to it, one at a time. The hand-over slot
// is guarded by the writer's own mutex, taken inside the table lock and never around a
// write.
class Writer {
  public:
    Writer() : thread_([this] { run(); }) {}
    ~Writer() {
        {
            std::lock_guard<std::mutex> g(mtx_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

    // True when the previous snapshot is written and a new one may be taken.
    bool idle() {
        std::lock_guard<std::mutex> g(mtx_);
        return !full_;
    }
    // The snapshot to fill; valid only while idle() is true and until hand().
    Snapshot &slot() { return snap_; }
    void hand() {
        {
            std::lock_guard<std::mutex> g(mtx_);
            full_ = true;
        }
        cv_.notify_one();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> g(mtx_);
        for (;;) {
            cv_.wait(g, [this] { return full_ || stop_; });
            if (full_) {
                g.unlock();
                // The slot is not touched by anyone else while full_ is set.
                const int err = writeSnapshot(snap_);
                if (err != 0)
                    reportWriteFailure(err);
                g.lock();
                full_ = false;
            }
            if (stop_)
                return;
        }
    }

    std::mutex mtx_;
    std::condition_variable cv_;
    bool full_ = false;
    bool stop_ = false;
    Snapshot snap_;
    std::thread thread_;  // last: starts once the members above exist
};

std::unique_ptr<Writer> g_writer;

}  // namespace

void lbFlowTable_setWriteInterval(int ms) {
    g_writeIntervalMs = ms < 0 ? 0 : ms;
}

void lbFlowTable_noteChange(void) {
    g_fileDirty = true;
    lbFlowTable_flushFile(0);
}

void lbFlowTable_flushFile(int force) {
    if (!g_fileDirty)
        return;
    const int64_t last = g_lastWriteEndMs.load(std::memory_order_relaxed);
    if (!force && g_writeIntervalMs > 0 && last != 0 && monotonicMs() - last < g_writeIntervalMs)
        return;
    if (g_writer == nullptr) {
        lbFlowTable_writeFile();
        return;
    }
    if (!g_writer->idle())
        return;  // still owed: the next flush after this write takes it
    g_fileDirty = false;
    takeSnapshot(g_writer->slot());
    g_writer->hand();
}

void lbFlowTable_writeFile(void) {
    g_fileDirty = false;
    Snapshot s;
    takeSnapshot(s);
    const int err = writeSnapshot(s);
    if (err != 0)
        reportWriteFailure(err);
}

int lbFlowTable_startWriter(void) {
    if (g_writer != nullptr)
        return 0;
    try {
        g_writer = std::make_unique<Writer>();
    } catch (const std::exception &) {
        return -1;
    }
    return 0;
}

void lbFlowTable_stopWriter(void) {
    g_writer.reset();
}

void write_db_flowEntry(const void *key) {
    const auto *entry = static_cast<const lbFlow_t *>(key);
    if (g_taking == nullptr || entry == nullptr || entry->lbServConfPtr == nullptr)
        return;
    auto it = g_taking->index.find(entry->lbServConfPtr);
    if (it == g_taking->index.end())
        return;  // its server is no longer listed: nothing true to write
    g_taking->conns.push_back({entry->lbClientSrcIp, entry->lbClientSrcTcpPort, it->second});
}
