#include "controller/lbCurl/restApi.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "common/lbGlobals.h"
#include "common/lbMetrics.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/jsonext.h"
#include "controller/lbCurl/lb_getpath_restapi.h"
#include "controller/lbCurl/postrest.h"

char ctrlIpv4[LB_CTRL_ADDR_LEN];
char TOKEN[LB_TOKEN_LEN] = LB_TOKEN_HDR;
static_assert(sizeof TOKEN == 13 + 32 + 1, "TOKEN holds the header name, 32 characters and a zero");

namespace {

constexpr size_t kTokenHdrLen = sizeof(LB_TOKEN_HDR) - 1;
// A controller reply is a few kilobytes at most; far more means something is wrong, and
// joining it without a limit would let a broken peer exhaust memory.
constexpr size_t kReplyMax = 4u << 20;

const char nullIpv4[LB_CTRL_ADDR_LEN] = {};

// Serialises every request: the transfer handle, TOKEN, ctrlIpv4 and the log flags.
std::mutex g_restMtx;
bool g_reuseHandle = true;
// Absolute path of the certificate authority file; empty when nothing is verified.
std::string g_caPath;
// What a login posts; it carries the password, so it is never printed.
std::string g_loginBody = LB_LOGIN_BODY;

struct CurlEasyDeleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
using CurlPtr = std::unique_ptr<CURL, CurlEasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// The transfer library, initialised once on first use (start-up calls setControllerIp
// before any other thread exists), and the one handle kept for the life of the process.
// The handle keeps the open connection and the TLS session between requests.
class Transport {
  public:
    Transport() : globalOk_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {
        if (globalOk_)
            handle_.reset(curl_easy_init());
    }
    ~Transport() {
        handle_.reset();
        if (globalOk_)
            curl_global_cleanup();
    }
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    bool ready() const { return globalOk_; }
    CURL *shared() {
        if (!handle_ && globalOk_)
            handle_.reset(curl_easy_init());
        return handle_.get();
    }

  private:
    bool globalOk_;
    CurlPtr handle_;
};

Transport &transport() {
    static Transport t;
    return t;
}

enum class Method { Post, Get, Delete };

const char *methodName(Method m) {
    switch (m) {
        case Method::Post:
            return "POST";
        case Method::Get:
            return "GET";
        case Method::Delete:
            return "DELETE";
    }
    return "?";
}

struct Request {
    Method method;
    const char *url;
    const char *body;  // null for a GET
    bool withToken;
    lb_rest_write_fn writer;
    lb_rest_read_fn reader;
    std::string *reply;  // joined deliveries; null when the reply is only logged
};

struct Outcome {
    CURLcode result;
    long status;  // HTTP status; 0 when no reply arrived
};

// Per-handler state of a reply log file.
struct ReplyLog {
    const char *name;
    int firstCall;
};
ReplyLog g_tokenLog{"token_gen.log", 1};
ReplyLog g_flowLog{"body2.out", 1};
ReplyLog g_nodeLog{"get.out", 1};

// The kind of a waiting request, for the request counters.
lbCtrlKind metricKind(const Request &rq) {
    if (!rq.withToken)
        return LB_CTRL_LOGIN;
    if (rq.method == Method::Delete)
        return LB_CTRL_FLOW_DELETE;
    if (rq.method == Method::Post)
        return LB_CTRL_FLOW_POST;
    return rq.writer == GetpathWriteMemoryCallback ? LB_CTRL_PATH : LB_CTRL_NODE;
}

// One attempt of a request on the shared handle (or a fresh one when reuse is off).
// Every option is set anew after a reset, so nothing of the previous request carries
// over; the reset keeps the open connection and the TLS session. Caller holds
// g_restMtx.
Outcome performOnce(const Request &rq) {
    CurlPtr own;
    CURL *h = nullptr;
    if (g_reuseHandle) {
        h = transport().shared();
        if (h != nullptr)
            curl_easy_reset(h);
    } else if (transport().ready()) {
        own.reset(curl_easy_init());
        h = own.get();
    }
    if (h == nullptr) {
        fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(CURLE_FAILED_INIT));
        return {CURLE_FAILED_INIT, 0};
    }

    SlistPtr headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    if (headers && rq.withToken) {
        curl_slist *more = curl_slist_append(headers.get(), TOKEN);
        if (more == nullptr)
            headers.reset();
    }
    if (!headers) {
        fprintf(stderr, "curl_easy_perform() failed: %s\n",
                curl_easy_strerror(CURLE_OUT_OF_MEMORY));
        return {CURLE_OUT_OF_MEMORY, 0};
    }

    // Without a certificate authority file (see lbRestVerifyController) the controller's
    // certificate, self-signed as a rule, is not verified.
    const bool verify = !g_caPath.empty();
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    curl_easy_setopt(h, CURLOPT_CAINFO, verify ? g_caPath.c_str() : nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    if (rq.method == Method::Get)
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    else
        curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_URL, rq.url);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, rq.writer);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void *>(rq.reply));
    curl_easy_setopt(h, CURLOPT_READFUNCTION, rq.reader);
    if (rq.method == Method::Delete)
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
    if (rq.body != nullptr)
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, rq.body);
    // A hung controller must not hang the balancer; no signals, as other threads and
    // the interval timer share the process.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, LB_REST_CONNECT_TIMEOUT_S);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, LB_REST_TIMEOUT_S);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);

    if (rq.reply != nullptr)
        rq.reply->clear();
    const auto started = std::chrono::steady_clock::now();
    CURLcode rc = curl_easy_perform(h);
    long status = 0;
    if (rc == CURLE_OK)
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    lbCountCtrlRequest(metricKind(rq),
                       rc != CURLE_OK ? LB_CTRL_TRANSPORT_ERROR
                       : status < 400 ? LB_CTRL_OK
                                      : LB_CTRL_HTTP_ERROR,
                       static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                 std::chrono::steady_clock::now() - started)
                                                 .count()));
    // The kept handle must not point at the header list and body freed on return.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);

    if (verify && (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE))
        printf("Controller certificate rejected (%s); check %s\n", curl_easy_strerror(rc),
               g_caPath.c_str());
    if (rc != CURLE_OK)
        fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(rc));
    else if (status >= 400)
        fprintf(stderr, "%s %s: HTTP status %ld\n", methodName(rq.method), rq.url, status);
    return {rc, status};
}

bool controllerUnset() {
    if (memcmp(ctrlIpv4, nullIpv4, sizeof ctrlIpv4) != 0)
        return false;
    printf("Set the controller IP:PORT first....");
    return true;
}

// Takes the token from a login reply: the member "token" of the reply's first member.
// Only printable characters are accepted, since the token becomes a header line.
int tokenFromReply(const std::string &reply) {
    lb_json doc;
    const char *token = nullptr;
    if (lb_json_parse(reply.data(), reply.size(), doc) == 0)
        token = lb_json_text(lb_json_get(lb_json_first(&doc), "token"));
    bool usable = token != nullptr && token[0] != '\0';
    for (const char *c = token; usable && *c != '\0'; ++c)
        usable = *c > ' ' && *c < 0x7f;
    if (!usable) {
        fprintf(stderr, "Controller login reply holds no token\n");
        return -1;
    }
    size_t n = strnlen(token, LB_TOKEN_MAX);
    memset(TOKEN + kTokenHdrLen, 0, sizeof TOKEN - kTokenHdrLen);
    memcpy(TOKEN + kTokenHdrLen, token, n);
    // Whoever reads the output must not be able to act as the balancer: only the
    // token's length is shown.
    printf("Receved token:(%zu characters, not shown)\n", n);
    return 0;
}

// Login; caller holds g_restMtx.
int genTokenLocked() {
    if (controllerUnset())
        return 0;
    char url[LB_REST_URL_LEN] = {};
    if (createUrl(url, sizeof url, tokenUrl, ctrlIpv4, nullptr, nullptr, 1) != 0)
        return -1;
    std::string reply;
    Outcome o = performOnce({Method::Post, url, g_loginBody.c_str(), false, WriteMemoryCallback,
                             ReadMemoryCallback, &reply});
    if (o.result != CURLE_OK || o.status >= 400)
        return -1;
    return tokenFromReply(reply);
}

// A request with token recovery: a 401 (token expired or revoked) logs in again once
// and repeats the request once. Caller holds g_restMtx.
Outcome performRequest(const Request &rq) {
    Outcome o = performOnce(rq);
    if (rq.withToken && o.result == CURLE_OK && o.status == 401 && genTokenLocked() == 0)
        o = performOnce(rq);
    return o;
}

void printText(const char *fmt, const char *text) {
    printf(fmt, text ? text : "(null)");
}

}  // namespace

int getSwitchFlowReply(const char *reply, size_t len, NODE_DATA *node_data) {
    if (node_data == nullptr)
        return -1;
    lb_json doc;
    lb_json_parse(reply, len, doc);
    const lb_json *nodes = lb_json_get(&doc, "nodes");
    if (nodes == nullptr) {
        printf("nx_json_get returned null for %s\n", "GetWriteMemoryCallback");
        return -1;
    }
    const lb_json *first = nodes->is_array() && !nodes->empty() ? &nodes->front() : nullptr;
    const char *dpid = lb_json_text(lb_json_get(first, "dpid"));
    int64_t port = lb_json_int(lb_json_get(first, "port"));
    printText("Get:: Receved ip:%s\n", lb_json_text(lb_json_get(first, "ip")));
    printText("Get:: Receved mac:%s\n", lb_json_text(lb_json_get(first, "mac")));
    printText("Get:: Receved dpid:%s\n", dpid);
    printf("Get:: Receved port:%ld\n", static_cast<long>(port));
    node_data->node_port = port;
    if (dpid != nullptr) {
        size_t n = strnlen(dpid, sizeof node_data->switch_dpid - 1);
        memcpy(node_data->switch_dpid, dpid, n);
        node_data->switch_dpid[n] = '\0';
    }
    if (Gv_noPrint == 0)
        printf("userdata=%ld\n", static_cast<long>(node_data->node_port));
    return 0;
}

namespace {

// Install and removal differ only in the method.
void flowRequest(Method method, const char *url, const char *dataUrl) {
    Request rq{method, url, dataUrl, true, WriteMemoryCallback2, ReadMemoryCallback2, nullptr};
    performRequest(rq);
}

}  // namespace

namespace {

// An open file descriptor, closed with its holder.
struct LogFd {
    int fd = -1;
    explicit LogFd(int f) : fd(f) {}
    LogFd(LogFd &&o) noexcept : fd(std::exchange(o.fd, -1)) {}
    LogFd &operator=(LogFd &&o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~LogFd() {
        if (fd >= 0)
            close(fd);
    }
};

// The reply log files stay open from their first delivery on: opening, seeking and
// closing a file at every delivery took longer than the whole request to a nearby
// controller. The lock covers the table and each write, which may come from a test as
// well as from a request.
std::mutex g_logMtx;
std::map<std::string, LogFd> g_logFds;

// The descriptor of the log file name, opened for appending: anew and emptied when
// truncate is set, otherwise the one kept since an earlier delivery. -1 when the file
// cannot be opened (nothing is kept then). Caller holds g_logMtx.
int logFd(const char *name, bool truncate) {
    auto it = g_logFds.find(name);
    if (it != g_logFds.end() && !truncate)
        return it->second.fd;
    // The login replies hold the token: for the balancer's user alone, also when the
    // file was there before.
    const bool secret = strcmp(name, g_tokenLog.name) == 0;
    int fd = open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0),
                  secret ? 0600 : 0666);
    if (fd < 0)
        return -1;
    if (secret)
        fchmod(fd, 0600);
    g_logFds.insert_or_assign(name, LogFd(fd));
    return fd;
}

// Writes all len bytes at p to fd; the number written before a failure otherwise.
size_t writeAll(int fd, const char *p, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace

size_t lbRestCollect(const char *fileName, int *firstCall, const char *ptr, size_t size,
                     size_t nmemb, void *reply) {
    bool first = *firstCall != 0;
    *firstCall = 0;
    size_t bytes = size * nmemb;
    size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(g_logMtx);
        int fd = logFd(fileName, first);
        if (fd < 0)
            return static_cast<size_t>(-1);
        if (first)
            fprintf(stderr, "The body is <%s>\n", fileName);
        n = size == 0 ? 0 : writeAll(fd, ptr, bytes) / size;
    }
    if (reply == nullptr)
        return n;
    auto *joined = static_cast<std::string *>(reply);
    if (joined->size() + bytes > kReplyMax) {
        fprintf(stderr, "Controller reply longer than %zu bytes refused\n", kReplyMax);
        return static_cast<size_t>(-1);
    }
    joined->append(ptr, bytes);
    return n;
}

size_t WriteMemoryCallback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return lbRestCollect(g_tokenLog.name, &g_tokenLog.firstCall, ptr, size, nmemb, userdata);
}

size_t WriteMemoryCallback2(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return lbRestCollect(g_flowLog.name, &g_flowLog.firstCall, ptr, size, nmemb, userdata);
}

size_t GetWriteMemoryCallback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    if (Gv_noPrint == 0)
        printf("\n -------------> GetWriteMemoryCallback %.*s\n", static_cast<int>(size * nmemb),
               ptr);
    return lbRestCollect(g_nodeLog.name, &g_nodeLog.firstCall, ptr, size, nmemb, userdata);
}

size_t ReadMemoryCallback(char *, size_t, size_t, void *) {
    return 0;
}

size_t ReadMemoryCallback2(char *, size_t, size_t, void *) {
    return 0;
}

size_t GetReadMemoryCallback(char *, size_t, size_t, void *) {
    printf("\n ==============> GetReadMemoryCallback ");
    return 0;
}

int setControllerIp(const char *ctrlIpPort) {
    return setControllerIpUntil(ctrlIpPort, nullptr);
}

int setControllerIpUntil(const char *ctrlIpPort, int (*stop)(void)) {
    if (ctrlIpPort == nullptr)
        return 0;
    size_t len = strlen(ctrlIpPort);
    if (len >= sizeof ctrlIpv4) {
        fprintf(stderr, "Controller address too long: %s\n", ctrlIpPort);
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(g_restMtx);
        memset(ctrlIpv4, 0, sizeof ctrlIpv4);
        memcpy(ctrlIpv4, ctrlIpPort, len);
    }
    transport();
    // The pause keeps an absent controller from being hammered; the lock is not held
    // during it.
    while (genToken() == -1) {
        if (stop != nullptr && stop() != 0)
            return -1;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return 0;
}

void lbRestVerifyController(const char *caFile) {
    char *real =
        caFile != nullptr && access(caFile, R_OK) == 0 ? realpath(caFile, nullptr) : nullptr;
    std::lock_guard<std::mutex> lock(g_restMtx);
    g_caPath = real != nullptr ? real : "";
    free(real);
    if (g_caPath.empty()) {
        printf(
            "WARNING: no %s: the controller's certificate is not verified, so the login "
            "password and the token go to whoever answers at the controller's address\n",
            caFile != nullptr ? caFile : LB_CTRL_CA_FILE);
        return;
    }
    printf("Controller certificate verified against %s\n", g_caPath.c_str());
}

int isControllerValid(void) {
    std::lock_guard<std::mutex> lock(g_restMtx);
    return controllerUnset() ? 1 : 0;
}

int genToken(void) {
    std::lock_guard<std::mutex> lock(g_restMtx);
    return genTokenLocked();
}

int setSwitchFlow(const char *url, const char *dataUrl) {
    if (url == nullptr || dataUrl == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(g_restMtx);
    if (Gv_noPrint == 0)
        printf("Set Switch Flow Rest API, URL %s \n", url);
    flowRequest(Method::Post, url, dataUrl);
    return 0;
}

int delelteSwitchFlow(const char *url, const char *dataUrl) {
    if (url == nullptr || dataUrl == nullptr)
        return 0;
    if (Gv_noPrint == 0)
        printf("Del Switch Flow Rest API, URL %s \n", url);
    std::lock_guard<std::mutex> lock(g_restMtx);
    flowRequest(Method::Delete, url, dataUrl);
    return 0;
}

int getSwitchFlow(const char *url, NODE_DATA *node_data) {
    if (url == nullptr || node_data == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(g_restMtx);
    if (Gv_noPrint == 0)
        printf("Get Switch Flow Rest API, URL %s \n", url);
    std::string reply;
    Outcome o = performRequest(
        {Method::Get, url, nullptr, true, GetWriteMemoryCallback, GetReadMemoryCallback, &reply});
    // The reply is read only once it is complete, so a reply without "nodes" can no
    // longer abort the transfer; it is reported as the failed transfer it stands for.
    if (o.result == CURLE_OK && getSwitchFlowReply(reply.data(), reply.size(), node_data) != 0)
        fprintf(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(CURLE_WRITE_ERROR));
    if (Gv_noPrint == 0)
        printf("node_data=%ld\n", static_cast<long>(node_data->node_port));
    return 0;
}

int lbRestGet(const char *url, lb_rest_write_fn writer, lb_rest_read_fn reader,
              std::string *reply) {
    if (url == nullptr || writer == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(g_restMtx);
    Outcome o = performRequest({Method::Get, url, nullptr, true, writer, reader, reply});
    return o.result == CURLE_OK ? 0 : -1;
}

lbRestView lbRestSnapshot(void) {
    std::lock_guard<std::mutex> lock(g_restMtx);
    return {std::string(ctrlIpv4, strnlen(ctrlIpv4, sizeof ctrlIpv4)), TOKEN, g_caPath,
            g_loginBody};
}

void lbRestSetLoginBody(const std::string &body) {
    std::lock_guard<std::mutex> lock(g_restMtx);
    g_loginBody = body;
}

int lbRestTakeToken(const std::string &reply) {
    std::lock_guard<std::mutex> lock(g_restMtx);
    return tokenFromReply(reply);
}

void lbRestSetHandleReuse(int reuse) {
    std::lock_guard<std::mutex> lock(g_restMtx);
    g_reuseHandle = reuse != 0;
}
