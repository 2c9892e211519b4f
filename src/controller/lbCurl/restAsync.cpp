#include "controller/lbCurl/restAsync.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/restApi.h"

struct lbRestAsync::Transfer {
    lbAsyncRequest rq;
    bool retried;
    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    lbAsyncReply reply;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    ~Transfer() {
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
};

namespace {

lb_rest_write_fn writerOf(lbAsyncKind k) {
    switch (k) {
        case lbAsyncKind::Login:
            return WriteMemoryCallback;
        case lbAsyncKind::FlowPost:
        case lbAsyncKind::FlowDelete:
            return WriteMemoryCallback2;
        case lbAsyncKind::Node:
            return GetWriteMemoryCallback;
        case lbAsyncKind::Path:
            return GetpathWriteMemoryCallback;
    }
    return WriteMemoryCallback2;
}

lbCtrlKind metricKind(lbAsyncKind k) {
    switch (k) {
        case lbAsyncKind::Login:
            return LB_CTRL_LOGIN;
        case lbAsyncKind::FlowPost:
            return LB_CTRL_FLOW_POST;
        case lbAsyncKind::FlowDelete:
            return LB_CTRL_FLOW_DELETE;
        case lbAsyncKind::Node:
            return LB_CTRL_NODE;
        case lbAsyncKind::Path:
            return LB_CTRL_PATH;
    }
    return LB_CTRL_NODE;
}

// Counts one request that ended with reply r after it started at started.
void countRequest(lbAsyncKind k, const lbAsyncReply &r,
                  std::chrono::steady_clock::time_point started) {
    const lbCtrlOutcome o = r.curlCode != 0 ? LB_CTRL_TRANSPORT_ERROR
                            : r.ok()        ? LB_CTRL_OK
                                            : LB_CTRL_HTTP_ERROR;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started);
    lbCountCtrlRequest(metricKind(k), o, static_cast<uint64_t>(us.count()));
}

const char *methodOf(lbAsyncKind k) {
    switch (k) {
        case lbAsyncKind::Login:
        case lbAsyncKind::FlowPost:
            return "POST";
        case lbAsyncKind::FlowDelete:
            return "DELETE";
        default:
            return "GET";
    }
}

// curl_global_init once for the process, before the first multi handle.
void globalInit() {
    static const bool ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    (void)ok;
}

}  // namespace

lbRestAsync::lbRestAsync(int maxInFlight, int maxConnections)
    : maxInFlight_(maxInFlight < 1 ? 1 : maxInFlight),
      maxConnections_(maxConnections < 1 ? 1 : maxConnections) {
    globalInit();
    CURLM *m = curl_multi_init();
    multi_ = m;
    if (m == nullptr)
        return;
    curl_multi_setopt(m, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(m, CURLMOPT_MAX_HOST_CONNECTIONS, maxConnections_);
    curl_multi_setopt(m, CURLMOPT_MAX_TOTAL_CONNECTIONS, maxConnections_);
    curl_multi_setopt(m, CURLMOPT_MAXCONNECTS, maxConnections_);
}

void lbRestAsync::widen(int maxInFlight, int maxConnections) {
    if (maxInFlight > maxInFlight_)
        maxInFlight_ = maxInFlight;
    auto *m = static_cast<CURLM *>(multi_);
    if (m == nullptr || maxConnections <= maxConnections_)
        return;
    maxConnections_ = maxConnections;
    curl_multi_setopt(m, CURLMOPT_MAX_HOST_CONNECTIONS, maxConnections_);
    curl_multi_setopt(m, CURLMOPT_MAX_TOTAL_CONNECTIONS, maxConnections_);
    curl_multi_setopt(m, CURLMOPT_MAXCONNECTS, maxConnections_);
}

lbRestAsync::~lbRestAsync() {
    auto *m = static_cast<CURLM *>(multi_);
    for (auto &t : running_)
        if (m != nullptr)
            curl_multi_remove_handle(m, t->easy);
    running_.clear();
    if (m != nullptr)
        curl_multi_cleanup(m);
}

void lbRestAsync::submit(lbAsyncRequest rq) {
    queue_.emplace_back(std::move(rq), false);
}

void lbRestAsync::wakeup() {
    if (multi_ != nullptr)
        curl_multi_wakeup(static_cast<CURLM *>(multi_));
}

void lbRestAsync::startLogin() {
    if (loginRunning_)
        return;
    loginRunning_ = true;
    lbRestView view = lbRestSnapshot();
    char url[LB_REST_URL_LEN] = {};
    createUrl(url, sizeof url, tokenUrl, view.ctrlAddr.c_str(), nullptr, nullptr, 1);
    lbAsyncRequest login{lbAsyncKind::Login, url, "", [this](const lbAsyncReply &r) {
                             loginRunning_ = false;
                             const bool ok = r.ok() && lbRestTakeToken(r.body) == 0;
                             std::vector<lbAsyncRequest> waiting;
                             waiting.swap(awaitingLogin_);
                             for (auto &w : waiting) {
                                 if (ok) {
                                     queue_.emplace_front(std::move(w), true);
                                 } else {
                                     lbAsyncReply failed = r;
                                     if (failed.curlCode == 0)
                                         failed.status = 401;
                                     w.done(failed);
                                 }
                             }
                         }};
    // Ahead of everything queued: the requests waiting for it come first after it.
    queue_.emplace_front(std::move(login), true);
}

void lbRestAsync::start(lbAsyncRequest rq, bool retried) {
    auto t = std::make_unique<Transfer>();
    t->rq = std::move(rq);
    t->retried = retried;
    auto *m = static_cast<CURLM *>(multi_);
    t->easy = m != nullptr ? curl_easy_init() : nullptr;
    const lbRestView view = lbRestSnapshot();
    t->headers = curl_slist_append(nullptr, "Content-Type: application/json");
    if (t->headers != nullptr && t->rq.kind != lbAsyncKind::Login)
        curl_slist_append(t->headers, view.tokenHeader.c_str());
    if (t->easy == nullptr || t->headers == nullptr) {
        t->reply.curlCode = CURLE_FAILED_INIT;
        countRequest(t->rq.kind, t->reply, t->started);
        fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(CURLE_FAILED_INIT));
        t->rq.done(t->reply);
        return;
    }
    if (t->rq.kind == lbAsyncKind::Login)
        t->rq.body = view.loginBody;
    CURL *h = t->easy;
    const bool verify = !view.caPath.empty();
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (verify)
        curl_easy_setopt(h, CURLOPT_CAINFO, view.caPath.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(h, CURLOPT_URL, t->rq.url.c_str());
    if (t->rq.kind == lbAsyncKind::Node || t->rq.kind == lbAsyncKind::Path) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, t->rq.body.c_str());
        if (t->rq.kind == lbAsyncKind::FlowDelete)
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
    }
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writerOf(t->rq.kind));
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void *>(&t->reply.body));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, LB_REST_CONNECT_TIMEOUT_S);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, LB_REST_TIMEOUT_S);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // HTTP/2 when the controller offers it over TLS; a new request waits for a
    // connection being set up rather than opening another, so streams share it.
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(h, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(h, CURLOPT_PRIVATE, static_cast<void *>(t.get()));
    if (curl_multi_add_handle(m, h) != CURLM_OK) {
        t->reply.curlCode = CURLE_FAILED_INIT;
        t->rq.done(t->reply);
        return;
    }
    running_.push_back(std::move(t));
}

void lbRestAsync::finish(Transfer *t, int code) {
    auto *m = static_cast<CURLM *>(multi_);
    curl_multi_remove_handle(m, t->easy);
    t->reply.curlCode = code;
    if (code == CURLE_OK)
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &t->reply.status);
    std::unique_ptr<Transfer> own;
    for (auto it = running_.begin(); it != running_.end(); ++it) {
        if (it->get() == t) {
            own = std::move(*it);
            running_.erase(it);
            break;
        }
    }
    if (!own)
        return;
    countRequest(own->rq.kind, own->reply, own->started);
    if (code != CURLE_OK)
        fprintf(stderr, "curl_easy_perform() failed: %s\n",
                curl_easy_strerror(static_cast<CURLcode>(code)));
    else if (own->reply.status >= 400)
        fprintf(stderr, "%s %s: HTTP status %ld\n", methodOf(own->rq.kind), own->rq.url.c_str(),
                own->reply.status);
    if (own->reply.status == 401 && own->rq.kind != lbAsyncKind::Login && !own->retried) {
        awaitingLogin_.push_back(std::move(own->rq));
        startLogin();
        return;
    }
    own->rq.done(own->reply);
}

void lbRestAsync::run(int timeoutMs) {
    auto *m = static_cast<CURLM *>(multi_);
    while (!queue_.empty() && static_cast<int>(running_.size()) < maxInFlight_) {
        auto [rq, retried] = std::move(queue_.front());
        queue_.pop_front();
        if (m == nullptr) {
            lbAsyncReply r;
            r.curlCode = CURLE_FAILED_INIT;
            rq.done(r);
            continue;
        }
        start(std::move(rq), retried);
    }
    if (m == nullptr)
        return;
    int stillRunning = 0;
    curl_multi_perform(m, &stillRunning);
    // A reply may be complete already (read along with an earlier one): no waiting then.
    if (collect() > 0 || (!queue_.empty() && static_cast<int>(running_.size()) < maxInFlight_))
        return;
    int numfds = 0;
    curl_multi_poll(m, nullptr, 0, timeoutMs, &numfds);
    curl_multi_perform(m, &stillRunning);
    collect();
}

int lbRestAsync::collect() {
    auto *m = static_cast<CURLM *>(multi_);
    int ended = 0, left = 0;
    while (CURLMsg *msg = curl_multi_info_read(m, &left)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        void *priv = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &priv);
        finish(static_cast<Transfer *>(priv), msg->data.result);
        ++ended;
    }
    return ended;
}
