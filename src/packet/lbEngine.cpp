#include "packet/lbEngine.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "common/lbUtil.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/lb_pathlist.h"
#include "controller/lbCurl/restApi.h"
#include "controller/lbCurl/restAsync.h"
#include "packet/lbCtrlMain.h"

lbCtrlEngine *g_lbEngine = nullptr;

namespace {

using Clock = std::chrono::steady_clock;
// A cached attachment or path serves until the next tick has had the chance to refresh
// it (a tick and some slack); older, a setup asks again.
constexpr auto kCacheLife = std::chrono::milliseconds(6000);
constexpr int kTries = 3;  // node queries for the balancer's own port, and for a client
constexpr int kLoopMs = 100;
// Requests and connections the shutdown drain may use. The everyday bound keeps a slow
// controller from timing requests out unsent; at shutdown every request left is a
// removal racing the stop's bound, so more of them go out at once.
constexpr int kDrainInFlight = 64;

struct Attachment {
    std::string dpid;
    uint16_t port = 0;
    Clock::time_point at;
};

// What a node reply says: the transfer failed or the reply was refused (ok false), or
// where the host is (port 0: unknown).
struct NodeAnswer {
    bool ok;
    bool transportFailed;
    Attachment where;
};

std::string addrText(uint32_t addr) {
    char t[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, t, sizeof t);
    return t;
}

struct Setup {
    std::unique_ptr<lbSetupReq> req;
    std::string name;  // client:port
    Attachment server, client;
    std::string lbDpid;
    unsigned lbPort = 0;
    int ownTries = 0, clientTries = 0;
    // Path queries: links of client->balancer [0] and balancer->server [1].
    std::vector<node> links[2];
    int waiting = 0;
    const char *pathFailure = nullptr;
    std::vector<lbRuleRequest> rules;
    std::vector<char> acked;
    lbConnTexts texts{};
    std::string ruleFailure;
};

class CurlEngine final : public lbCtrlEngine {
  public:
    CurlEngine(const lbEngineConfig &cfg, std::unique_ptr<lbRuleJournal> journal)
        : cfg_(cfg), async_(cfg.maxRequests, cfg.maxConnections), journal_(std::move(journal)) {
        g_lbControllerUp = 1;  // an engine starts after a login
        thread_ = std::thread([this] { loop(); });
    }
    ~CurlEngine() override {
        {
            std::lock_guard<std::mutex> l(mu_);
            stop_ = true;
        }
        async_.wakeup();
        thread_.join();
    }

    bool down() const override { return down_.load(); }
    bool hasRoom() const override { return inFlight_.load() < cfg_.maxSetups; }

    void setup(std::unique_ptr<lbSetupReq> req) override {
        req->handedOver = Clock::now();
        lbCount(LB_C_SETUP_STARTED);
        inFlight_++;
        {
            std::lock_guard<std::mutex> l(mu_);
            newSetups_.push_back(std::move(req));
        }
        async_.wakeup();
    }

    void rules(lbRuleBatch batch) override {
        if (batch.rules.empty())
            return;
        {
            std::lock_guard<std::mutex> l(mu_);
            unfinished_[nextBatch_] = batch.name;
            newBatches_.emplace_back(nextBatch_++, std::move(batch));
        }
        async_.wakeup();
    }

    size_t busy() const override {
        std::lock_guard<std::mutex> l(mu_);
        return unfinished_.size() + static_cast<size_t>(inFlight_.load());
    }

    void tick() override {
        tickDue_ = true;
        async_.wakeup();
    }

    std::vector<std::string> drain(int boundMs) override {
        std::unique_lock<std::mutex> l(mu_);
        stopping_ = true;
        async_.wakeup();
        const auto deadline = Clock::now() + std::chrono::milliseconds(boundMs);
        done_.wait_until(l, deadline, [this] { return unfinished_.empty() && inFlight_ == 0; });
        std::vector<std::string> left = failedNames_;
        for (const auto &[id, name] : unfinished_)
            left.push_back(name);
        for (const std::string &name : settingUp_)
            left.push_back(name + " (being set up)");
        return left;
    }

  private:
    // ---- the engine thread ----

    void loop() {
        for (;;) {
            std::vector<std::unique_ptr<lbSetupReq>> setups;
            std::vector<std::pair<uint64_t, lbRuleBatch>> batches;
            {
                std::lock_guard<std::mutex> l(mu_);
                if (stop_)
                    return;
                setups.swap(newSetups_);
                batches.swap(newBatches_);
                stopping = stopping_;
            }
            if (stopping)
                async_.widen(kDrainInFlight, kDrainInFlight);
            if (tickDue_.exchange(false))
                onTick();
            for (auto &b : batches)
                sendBatch(b.first, std::move(b.second));
            for (auto &r : setups)
                begin(std::move(r));
            relogin();
            // Posts queued since the last pass go on the wire only in run(): their
            // records reach the disk first, all in one flush.
            if (journal_)
                journal_->sync();
            async_.run(kLoopMs);
        }
    }

    bool stopping = false;  // engine thread's copy of stopping_

    void markDown(const lbAsyncReply &r) {
        if (!r.transportFailed() || down_.load())
            return;
        down_ = true;
        g_lbControllerUp = 0;
        nextLogin_ = Clock::now() + std::chrono::seconds(1);
        printf("Controller not reachable (%s): new connections are refused until it answers\n",
               curl_easy_strerror(static_cast<CURLcode>(r.curlCode)));
    }

    // While the controller is down: one login a second, in the background.
    void relogin() {
        if (!down_.load() || loginRunning_ || stopping || Clock::now() < nextLogin_)
            return;
        loginRunning_ = true;
        const lbRestView view = lbRestSnapshot();
        char url[LB_REST_URL_LEN] = {};
        createUrl(url, sizeof url, tokenUrl, view.ctrlAddr.c_str(), nullptr, nullptr, 1);
        async_.submit({lbAsyncKind::Login, url, "", [this](const lbAsyncReply &r) {
                           loginRunning_ = false;
                           if (r.ok() && lbRestTakeToken(r.body) == 0) {
                               down_ = false;
                               g_lbControllerUp = 1;
                               printf("Controller answers again: new connections are set up\n");
                           } else {
                               nextLogin_ = Clock::now() + std::chrono::seconds(1);
                           }
                       }});
    }

    // Cached attachments and paths expire; the balancer's and the servers' are fetched
    // again at once, so setups find them fresh.
    void onTick() {
        paths_.clear();
        if (!cfg_.caches || down_.load() || stopping)
            return;
        std::vector<uint32_t> servers;
        std::string vip;
        {
            lbTableLock lock;
            for (dlist_node *n = lbServHead.next; n != nullptr && n != &lbServHead; n = n->next)
                servers.push_back(static_cast<lbServer_node_t *>(n->data)->lbServIp.s_addr);
            vip = field(g_vipIPAddr);
        }
        nodeQuery(vip, [this](const NodeAnswer &a) {
            if (a.ok && a.where.port != 0)
                takeOwn(a.where);
        });
        for (uint32_t ip : servers)
            nodeQuery(addrText(ip), [this, ip](const NodeAnswer &a) {
                if (a.ok && a.where.port != 0)
                    serverCache_[ip] = a.where;
            });
    }

    template <size_t N>
    static std::string field(const unsigned char (&f)[N]) {
        char t[N + 1];
        lbCopyField(t, f, N);
        return t;
    }
    template <size_t N>
    static std::string field(const char (&f)[N]) {
        char t[N + 1];
        lbCopyField(t, f, N);
        return t;
    }

    void nodeQuery(const std::string &ip, std::function<void(const NodeAnswer &)> then) {
        std::string ctrl, vlan;
        {
            lbTableLock lock;
            ctrl = field(g_cont1IPAddr);
            vlan = field(g_vlanId);
        }
        char hostPort[LB_CTRL_HOSTPORT_LEN];
        char url[1024];
        lbCtrlHostPort(hostPort, sizeof hostPort, ctrl.c_str());
        if (lbCtrlUrl(url, sizeof url, 1, hostPort, "v2.0", "/net/nodes?vid=%s&ip=%s", vlan.c_str(),
                      ip.c_str()) <= 0) {
            then({false, false, {}});
            return;
        }
        async_.submit({lbAsyncKind::Node, url, "", [this, then](const lbAsyncReply &r) {
                           markDown(r);
                           NODE_DATA rec{};
                           snprintf(rec.switch_dpid, sizeof rec.switch_dpid, "NULL");
                           bool ok = r.ok();
                           if (ok && getSwitchFlowReply(r.body.data(), r.body.size(), &rec) != 0)
                               ok = false;
                           Attachment a;
                           a.dpid = rec.switch_dpid;
                           a.port = rec.node_port > 0 && rec.node_port <= UINT16_MAX
                                        ? static_cast<uint16_t>(rec.node_port)
                                        : 0;
                           a.at = Clock::now();
                           then({ok, r.transportFailed(), a});
                       }});
    }

    void takeOwn(const Attachment &a) {
        own_ = a;
        ownValid_ = true;
        lbTableLock lock;
        g_lbAppPort = a.port;
        snprintf(reinterpret_cast<char *>(g_switchDpId), sizeof g_switchDpId, "%s", a.dpid.c_str());
    }

    bool fresh(const Attachment &a) const {
        return cfg_.caches && Clock::now() - a.at < kCacheLife;
    }

    // ---- one setup, step by step ----

    void begin(std::unique_ptr<lbSetupReq> req) {
        auto s = std::make_unique<Setup>();
        s->name = addrText(req->clientIp) + ":" + std::to_string(req->clientPort);
        s->req = std::move(req);
        Setup *p = s.get();
        setups_.push_back(std::move(s));
        {
            std::lock_guard<std::mutex> l(mu_);
            settingUp_.push_back(p->name);
        }
        serverStep(p);
    }

    void finish(Setup *s) {
        {
            std::lock_guard<std::mutex> l(mu_);
            for (auto it = settingUp_.begin(); it != settingUp_.end(); ++it)
                if (*it == s->name) {
                    settingUp_.erase(it);
                    break;
                }
            inFlight_--;
        }
        done_.notify_all();
        setups_.remove_if([s](const std::unique_ptr<Setup> &p) { return p.get() == s; });
    }

    void fail(Setup *s, lbSetupFailure why, const char *line) {
        lbCountSetupFailure(why);
        lbSetupAbandon(s->req.get(), line);
        finish(s);
    }

    // False (the setup failed) once shutdown began or the controller went down.
    bool goOn(Setup *s) {
        if (stopping) {
            fail(s, LB_SETUP_FAIL_STOPPING, "Connection setup stopped: the balancer is stopping\n");
            return false;
        }
        if (down_.load()) {
            fail(s, LB_SETUP_FAIL_CONTROLLER_DOWN,
                 "Connection setup stopped: the controller is not reachable\n");
            return false;
        }
        return true;
    }

    void serverStep(Setup *s) {
        if (!goOn(s))
            return;
        auto cached = serverCache_.find(s->req->serverIp);
        if (cached != serverCache_.end() && fresh(cached->second)) {
            s->server = cached->second;
            ownStep(s);
            return;
        }
        nodeQuery(addrText(s->req->serverIp), [this, s](const NodeAnswer &a) {
            if (!a.ok) {
                fail(s, LB_SETUP_FAIL_CONTROLLER, nullptr);
            } else if (a.where.port == 0) {
                serverCache_.erase(s->req->serverIp);
                if (lbSetupMoveServer(s->req.get()))
                    serverStep(s);
                else
                    fail(s, LB_SETUP_FAIL_NO_SERVER,
                         "All servers are either Locked/Not reachable/MAX Connections Reached\n");
            } else {
                if (cfg_.caches)
                    serverCache_[s->req->serverIp] = a.where;
                s->server = a.where;
                ownStep(s);
            }
        });
    }

    void ownStep(Setup *s) {
        if (!goOn(s))
            return;
        if (ownValid_ && fresh(own_)) {
            clientStep(s);
            return;
        }
        std::string vip;
        {
            lbTableLock lock;
            vip = field(g_vipIPAddr);
        }
        nodeQuery(vip, [this, s](const NodeAnswer &a) {
            if (!a.ok) {
                fail(s, LB_SETUP_FAIL_CONTROLLER, nullptr);
            } else if (a.where.port != 0) {
                takeOwn(a.where);
                clientStep(s);
            } else if (++s->ownTries < kTries) {
                ownStep(s);
            } else {
                fail(s, LB_SETUP_FAIL_BALANCER_UNPLACED,
                     "\nPlease check lbapp connectivity with the switch\n...");
            }
        });
    }

    void clientStep(Setup *s) {
        if (!goOn(s))
            return;
        nodeQuery(addrText(s->req->clientIp), [this, s](const NodeAnswer &a) {
            if (!a.ok) {
                fail(s, LB_SETUP_FAIL_CONTROLLER, nullptr);
            } else if (a.where.port != 0) {
                s->client = a.where;
                placed(s);
            } else if (++s->clientTries < kTries) {
                clientStep(s);
            } else {
                fail(s, LB_SETUP_FAIL_CLIENT_UNPLACED,
                     "\nPlease check client connectivity with the switch\n...");
            }
        });
    }

    // Client, server and balancer are located: the port conflict check, then the path.
    void placed(Setup *s) {
        {
            lbTableLock lock;
            s->lbDpid = field(g_switchDpId);
            s->lbPort = g_lbAppPort;
            s->req->entry->lbServOutPort = s->server.port;
            s->req->entry->lbClientInPort = s->client.port;
        }
        const bool clientOnLb = s->client.dpid == s->lbDpid;
        const bool serverOnLb = s->server.dpid == s->lbDpid;
        if ((clientOnLb && s->client.port == s->lbPort) ||
            (serverOnLb && s->server.port == s->lbPort)) {
            char line[96];
            snprintf(line, sizeof line,
                     "Client or Server Switch port same as VARNAPP Switch port%d\n", s->lbPort);
            fail(s, LB_SETUP_FAIL_PORT_CONFLICT, line);
            return;
        }
        if (clientOnLb && serverOnLb) {
            uint64_t dpid = 0;
            lb_dpid_to_ull(s->client.dpid.c_str(), &dpid);
            s->links[0] = {{dpid, 0, dpid, 0}};  // stands for the one switch; see buildHops
            buildRules(s, true);
            return;
        }
        const std::pair<std::string, std::string> ends[2] = {{s->client.dpid, s->lbDpid},
                                                             {s->lbDpid, s->server.dpid}};
        const bool needed[2] = {!clientOnLb, !serverOnLb};
        for (int i = 0; i < 2; ++i)
            if (needed[i])
                s->waiting++;
        for (int i = 0; i < 2; ++i)
            if (needed[i])
                pathQuery(s, i, ends[i].first, ends[i].second);
    }

    void pathQuery(Setup *s, int which, const std::string &src, const std::string &dst) {
        const char *failure = which == 0 ? "findpath from client to lbapp failed\\n)"
                                         : "findpath from lbapp to server failed\\n)";
        const std::string key = src + ">" + dst;
        auto cached = paths_.find(key);
        if (cfg_.caches && cached != paths_.end()) {
            s->links[which] = cached->second;
            pathDone(s);
            return;
        }
        std::string ctrl;
        {
            lbTableLock lock;
            ctrl = field(g_cont1IPAddr);
        }
        char hostPort[LB_CTRL_HOSTPORT_LEN];
        char url[LB_PATH_URL_LEN];
        lbCtrlHostPort(hostPort, sizeof hostPort, ctrl.c_str());
        if (lbCtrlUrl(url, sizeof url, 1, hostPort, "v2.0",
                      "/net/paths/forward?src_dpid=%s&dst_dpid=%s", src.c_str(), dst.c_str()) < 0) {
            s->pathFailure = failure;
            pathDone(s);
            return;
        }
        uint64_t from = 0, to = 0;
        lb_dpid_to_ull(src.c_str(), &from);
        lb_dpid_to_ull(dst.c_str(), &to);
        async_.submit({lbAsyncKind::Path, url, "",
                       [this, s, which, failure, from, to, key](const lbAsyncReply &r) {
                           markDown(r);
                           if (!r.ok() || lbPathLinks(r.body, from, to, &s->links[which]) != 0) {
                               if (r.ok())
                                   printf(
                                       "Path reply for %s refused: links of the wrong type "
                                       "or not joining the switches asked\n",
                                       key.c_str());
                               s->pathFailure = failure;
                           } else if (cfg_.caches) {
                               paths_[key] = s->links[which];
                           }
                           pathDone(s);
                       }});
    }

    void pathDone(Setup *s) {
        if (--s->waiting > 0)
            return;
        if (s->pathFailure != nullptr) {
            fail(s, LB_SETUP_FAIL_NO_PATH, s->pathFailure);
            return;
        }
        buildRules(s, false);
    }

    // The hop list from the gathered links (n links, n+1 hops), stored in the entry,
    // and the rule requests of every hop.
    void buildRules(Setup *s, bool oneSwitch) {
        if (!goOn(s))
            return;
        std::vector<node> links = s->links[0];
        links.insert(links.end(), s->links[1].begin(), s->links[1].end());
        std::vector<pathlist_node_t> hops;
        if (oneSwitch) {
            hops.push_back({links[0].src_dpid, s->client.port, s->server.port});
        } else {
            hops.push_back({links[0].src_dpid, s->client.port, links[0].src_port});
            for (size_t i = 1; i < links.size(); ++i)
                hops.push_back({links[i - 1].dst_dpid, links[i - 1].dst_port, links[i].src_port});
            hops.push_back({links.back().dst_dpid, links.back().dst_port, s->server.port});
        }
        {
            lbTableLock lock;
            lbFlow_t *e = s->req->entry;
            for (const pathlist_node_t &h : hops)
                add_pathlist_node(&e->client_pathlist_hdr, h.node_dpid, h.in_port, h.out_port);
            lbConnTextsFill(&s->texts, e->lbClientSrcIp, e->lbClientSrcTcpPort, s->req->serverIp,
                            e->lbServerTcpPort);
            lbConnRequests(&s->texts, &e->client_pathlist_hdr, field(g_addFlowTmr).c_str(),
                           &s->rules);
        }
        if (s->rules.empty()) {
            fail(s, LB_SETUP_FAIL_NO_PATH, "create pathlist failed");
            return;
        }
        s->acked.assign(s->rules.size(), 0);
        s->waiting = static_cast<int>(s->rules.size());
        for (size_t i = 0; i < s->rules.size(); ++i) {
            const lbRuleRequest &rq = s->rules[i];
            const uint64_t stamp = record(rq);
            async_.submit(
                {lbAsyncKind::FlowPost, rq.url, rq.body,
                 [this, s, i, stamp](const lbAsyncReply &r) {
                     markDown(r);
                     s->acked[i] = r.ok();
                     // A refused post installed nothing; one without an answer may have.
                     if (!r.ok() && !r.transportFailed())
                         forget(s->rules[i], stamp);
                     if (!r.ok() && s->ruleFailure.empty()) {
                         char why[160];
                         if (r.transportFailed())
                             snprintf(why, sizeof why, "%s",
                                      curl_easy_strerror(static_cast<CURLcode>(r.curlCode)));
                         else
                             snprintf(why, sizeof why, "HTTP status %ld", r.status);
                         s->ruleFailure = std::string("rule ") + s->rules[i].rule + " on switch " +
                                          s->rules[i].dpid + " not installed: " + why;
                     }
                     if (--s->waiting == 0)
                         rulesDone(s);
                 }});
        }
    }

    void rulesDone(Setup *s) {
        if (s->ruleFailure.empty() && lbSetupComplete(s->req.get())) {
            lbCount(LB_C_SETUP_SUCCEEDED);
            lbObserveUs(LB_H_SETUP,
                        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  Clock::now() - s->req->handedOver)
                                                  .count()));
            if (Gv_noPrint == 0)
                for (const lbRuleRequest &r : s->rules)
                    lbPrintRuleLine(1, &r, &s->texts);
            finish(s);
            return;
        }
        // Undo what was installed: the acknowledged rules are removed again.
        lbRuleBatch undo{s->name, true, {}, s->texts, false};
        for (size_t i = 0; i < s->rules.size(); ++i)
            if (s->acked[i])
                undo.rules.push_back(s->rules[i]);
        rules(std::move(undo));
        std::string line = "Could not set up " + s->name + ": " +
                           (s->ruleFailure.empty() ? "the balancer is stopping" : s->ruleFailure) +
                           "\n";
        fail(s, s->ruleFailure.empty() ? LB_SETUP_FAIL_STOPPING : LB_SETUP_FAIL_RULE, line.c_str());
    }

    // ---- the journal (engine thread) ----

    uint64_t record(const lbRuleRequest &rq) {
        return journal_ ? journal_->posting(rq.url, rq.body) : 0;
    }
    uint64_t mark() const { return journal_ ? journal_->mark() : 0; }
    void forget(const lbRuleRequest &rq, uint64_t stamp) {
        if (journal_)
            journal_->removed(rq.url, rq.body, stamp);
    }

    // ---- rule batches nobody waits for ----

    // Batches of one connection go out one after the other, in the order handed over: a
    // removal must not overtake the re-post before it.
    void sendBatch(uint64_t id, lbRuleBatch b) {
        auto &line = byConnection_[b.name];
        line.emplace_back(id, std::move(b));
        if (line.size() == 1)
            startBatch(line.front().first, line.front().second);
    }

    void startBatch(uint64_t id, const lbRuleBatch &b) {
        auto state =
            std::make_shared<std::pair<int, bool>>(static_cast<int>(b.rules.size()), false);
        const std::string name = b.name;
        const bool release = b.release;
        const bool ending = b.remove || b.retire;  // the rules are gone once acknowledged
        for (const lbRuleRequest &rq : b.rules) {
            if (Gv_noPrint == 0)
                lbPrintRuleLine(b.remove ? 0 : 1, &rq, &b.texts);
            const uint64_t stamp = ending ? mark() : record(rq);
            async_.submit(
                {b.remove ? lbAsyncKind::FlowDelete : lbAsyncKind::FlowPost, rq.url, rq.body,
                 [this, id, name, state, release, ending, stamp, rq,
                  remove = b.remove](const lbAsyncReply &r) {
                     markDown(r);
                     // A removal of a rule that is no longer there is no failure.
                     const bool gone = r.ok() || (remove && r.status == 404);
                     if (!gone)
                         state->second = true;
                     else if (ending)
                         forget(rq, stamp);
                     if (--state->first > 0)
                         return;
                     if (release)
                         lbRulesBack(name);
                     {
                         std::lock_guard<std::mutex> l(mu_);
                         unfinished_.erase(id);
                         if (state->second)
                             failedNames_.push_back(name);
                     }
                     done_.notify_all();
                     auto &line = byConnection_[name];
                     line.pop_front();
                     if (line.empty())
                         byConnection_.erase(name);
                     else
                         startBatch(line.front().first, line.front().second);
                 }});
        }
    }

    const lbEngineConfig cfg_;
    lbRestAsync async_;
    std::unique_ptr<lbRuleJournal> journal_;  // engine thread only
    std::thread thread_;

    // Guarded by mu_.
    mutable std::mutex mu_;
    std::condition_variable done_;
    bool stop_ = false, stopping_ = false;
    std::vector<std::unique_ptr<lbSetupReq>> newSetups_;
    std::vector<std::pair<uint64_t, lbRuleBatch>> newBatches_;
    uint64_t nextBatch_ = 0;
    std::map<uint64_t, std::string> unfinished_;  // batches handed over, not yet answered
    std::vector<std::string> failedNames_;        // batches with a request that failed
    std::vector<std::string> settingUp_;          // setups in flight

    std::atomic<int> inFlight_{0};
    std::atomic<bool> down_{false};
    std::atomic<bool> tickDue_{false};

    // Engine thread only.
    std::list<std::unique_ptr<Setup>> setups_;
    bool loginRunning_ = false;
    Clock::time_point nextLogin_;
    Attachment own_;
    bool ownValid_ = false;
    std::map<uint32_t, Attachment> serverCache_;
    std::map<std::string, std::vector<node>> paths_;
    // Batches by connection name, the first of each running.
    std::map<std::string, std::deque<std::pair<uint64_t, lbRuleBatch>>> byConnection_;
};

}  // namespace

std::unique_ptr<lbCtrlEngine> lbEngineCreate(const lbEngineConfig &cfg,
                                             std::unique_ptr<lbRuleJournal> journal) {
    return std::make_unique<CurlEngine>(cfg, std::move(journal));
}
