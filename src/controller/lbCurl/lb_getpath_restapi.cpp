#include "controller/lbCurl/lb_getpath_restapi.h"

#include <cctype>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/lbGlobals.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/restApi.h"

struct node pathlist_nodes[LB_MAX_PATHNODES];
uint32_t num_pathnodes;

namespace {

// The link being assembled from the reply being read, and whether the current query
// had to drop links because the table was full.
struct node g_pending;
bool g_overflow;
int g_pathLogFirst = 1;

void keyValueDpid(const lb_json *v, uint64_t *res) {
    const char *text = lb_json_text(v);
    *res = 0;
    if (text != nullptr)
        lb_dpid_to_ull(text, res);
}

void appendPendingLink() {
    if (num_pathnodes >= LB_MAX_PATHNODES) {
        if (!g_overflow)
            fprintf(stderr, "Path link table full (%d links), further links dropped\n",
                    LB_MAX_PATHNODES);
        g_overflow = true;
    } else {
        pathlist_nodes[num_pathnodes++] = g_pending;
    }
    g_pending = {};
}

}  // namespace

void lb_dpid_to_ull(const char *dpid, uint64_t *res) {
    if (dpid == nullptr || res == nullptr)
        return;
    char digits[LB_DPID_DIGITS + 1];
    static_assert(sizeof digits == 24, "a dpid is read through a 24-byte buffer");
    size_t n = 0;
    for (const char *c = dpid; *c != '\0' && n < LB_DPID_DIGITS; ++c)
        if (*c != ':')
            digits[n++] = *c;
    digits[n] = '\0';
    *res = strtoull(digits, nullptr, 16);
}

void lb_capture_path(const lb_json_node *p) {
    if (p == nullptr || p->key == nullptr || p->value == nullptr)
        return;
    const std::string &key = *p->key;
    if (key == "src_dpid") {
        keyValueDpid(p->value, &g_pending.src_dpid);
    } else if (key == "src_port") {
        g_pending.src_port = static_cast<uint32_t>(lb_json_int(p->value));
    } else if (key == "dst_dpid") {
        keyValueDpid(p->value, &g_pending.dst_dpid);
    } else if (key == "dst_port") {
        g_pending.dst_port = static_cast<uint32_t>(lb_json_int(p->value));
        appendPendingLink();
    }
}

void nx_json_getpath_all(const lb_json *js) {
    if (js == nullptr)
        return;
    lb_json_walk(
        *js, [](const lb_json_node *n, void *) { lb_capture_path(n); }, nullptr);
}

size_t GetpathWriteMemoryCallback(char *ptr, size_t size, size_t nmemb, void *userdata) {
    return lbRestCollect("get_path.out", &g_pathLogFirst, ptr, size, nmemb, userdata);
}

int lb_rest_getpath(const char *url) {
    if (url == nullptr)
        return 0;
    if (Gv_noPrint == 0)
        printf("Get path Rest API, URL %s", url);
    std::string reply;
    if (lbRestGet(url, GetpathWriteMemoryCallback, GetReadMemoryCallback, &reply) != 0)
        return 0;
    lb_json doc;
    if (lb_json_parse(reply.data(), reply.size(), doc) != 0)
        return 0;
    g_pending = {};
    nx_json_getpath_all(&doc);
    g_pending = {};
    return 0;
}

uint32_t lb_findpath(dlist_head *pathlist_hdr, const char *src_dpid, const char *dst_dpid,
                     const char *ip_addr, uint32_t client_inport, uint32_t server_outport) {
    (void)pathlist_hdr;
    (void)client_inport;
    (void)server_outport;
    if (src_dpid == nullptr || dst_dpid == nullptr || ip_addr == nullptr)
        return num_pathnodes;
    char url[LB_PATH_URL_LEN] = {};
    if (lbCtrlUrl(url, sizeof url, 1, ip_addr, "v2.0", "/net/paths/forward?src_dpid=%s&dst_dpid=%s",
                  src_dpid, dst_dpid) < 0) {
        fprintf(stderr, "Path query URL too long for %s -> %s\n", src_dpid, dst_dpid);
        return num_pathnodes;
    }
    g_overflow = false;
    lb_rest_getpath(url);
    if (g_overflow) {
        // A cut path would steer the connection into a dead end; fail it and start the
        // next set-up with an empty table.
        num_pathnodes = 0;
        g_overflow = false;
        return 0;
    }
    return num_pathnodes;
}

namespace {

// A link being read from a reply, with the members seen so far.
struct LinkReader {
    std::vector<node> *out;
    node link{};
    unsigned seen = 0;  // bits: 1 src_dpid, 2 src_port, 4 dst_dpid
    bool bad = false;
};

bool hexDpid(const lb_json *v, uint64_t *res) {
    const char *t = lb_json_text(v);
    if (t == nullptr || *t == '\0')
        return false;
    for (const char *c = t; *c != '\0'; ++c)
        if (!isxdigit(static_cast<unsigned char>(*c)) && *c != ':')
            return false;
    lb_dpid_to_ull(t, res);
    return true;
}

bool portValue(const lb_json *v, uint32_t *res) {
    if (v == nullptr || !v->is_number_integer())
        return false;
    const int64_t n = lb_json_int(v);
    if (n < 0 || n > static_cast<int64_t>(UINT32_MAX))
        return false;
    *res = static_cast<uint32_t>(n);
    return true;
}

void readLinkMember(const lb_json_node *n, void *ctx) {
    auto *r = static_cast<LinkReader *>(ctx);
    if (n->key == nullptr || r->bad)
        return;
    const std::string &k = *n->key;
    if (k == "src_dpid") {
        r->bad |= !hexDpid(n->value, &r->link.src_dpid);
        r->seen |= 1;
    } else if (k == "src_port") {
        r->bad |= !portValue(n->value, &r->link.src_port);
        r->seen |= 2;
    } else if (k == "dst_dpid") {
        r->bad |= !hexDpid(n->value, &r->link.dst_dpid);
        r->seen |= 4;
    } else if (k == "dst_port") {
        r->bad |= !portValue(n->value, &r->link.dst_port) || r->seen != 7;
        r->out->push_back(r->link);
        r->link = {};
        r->seen = 0;
    }
}

}  // namespace

int lbPathLinks(const std::string &reply, uint64_t src, uint64_t dst, std::vector<node> *out) {
    out->clear();
    lb_json doc;
    if (lb_json_parse(reply.data(), reply.size(), doc) != 0)
        return -1;
    LinkReader r{out};
    lb_json_walk(doc, readLinkMember, &r);
    bool ok = !r.bad && r.seen == 0 && !out->empty() && out->front().src_dpid == src &&
              out->back().dst_dpid == dst;
    for (size_t i = 1; ok && i < out->size(); ++i)
        ok = (*out)[i - 1].dst_dpid == (*out)[i].src_dpid;
    if (!ok)
        out->clear();
    return ok ? 0 : -1;
}
