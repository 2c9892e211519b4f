#include "controller/lbCtrlMsg.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "common/lbGlobals.h"
#include "common/lbUtil.h"
#include "controller/lbCurl/fillrest.h"
#include "controller/lbCurl/lb_getpath_restapi.h"

static_assert(LB_IPSTR_LEN >= INET_ADDRSTRLEN, "dotted address buffer too small");
static_assert(LB_ITOA_LEN >= sizeof("-2147483648"), "integer text buffer too small");
static_assert(LB_MACSTR_LEN >= sizeof("00:1B:21:0A:FF:01"), "MAC text buffer too small");

int format_string_flow(char *flowStr, size_t flowStrSize, const char *src_ip_m,
                       const char *src_tcpPort_m, const char *in_port_m, const char *dst_ip_m,
                       const char *dst_tcpPort_m, const char *out_port_a,
                       const char *idle_timeout) {
    // One format for the whole body: keys (with quotes and colon) and values alternate.
    // The two fixed match values are passed unquoted; the format adds their quotes.
    return lbFormat(
        flowStr, flowStrSize,
        "{%s{%s,%s,%s%s,%s[{%s\"%s\"},{%s\"%s\"},{%s%s},{%s\"%s\"},{%s%s},{%s\"%s\"},{%s%s}],"
        "%s[{%s[{%s%s}]}]}}",
        "\"flow\":", "\"priority\":30000", "\"table_id\":0", "\"idle_timeout\":", idle_timeout,
        "\"match\":", "\"eth_type\":", "ipv4", "\"ip_proto\":", "tcp", "\"in_port\":", in_port_m,
        "\"ipv4_src\":", src_ip_m, "\"tcp_src\":", src_tcpPort_m, "\"ipv4_dst\":", dst_ip_m,
        "\"tcp_dst\":", dst_tcpPort_m,
        "\"instructions\":", "\"apply_actions\":", "\"output\":", out_port_a);
}

int create_url(char *url_str, size_t urlSize, const char *controller_ip, const char *dpid,
               const char *version) {
    char hostPort[LB_CTRL_HOSTPORT_LEN];
    if (lbCtrlHostPort(hostPort, sizeof hostPort, controller_ip) < 0) {
        if (url_str != nullptr && urlSize > 0)
            url_str[0] = '\0';
        return -1;
    }
    return lbCtrlUrl(url_str, urlSize, 1, hostPort, version, "/of/datapaths/%s/flows", dpid);
}

void lbIpToStr(const unsigned char *a, char *out, size_t outSize) {
    lbFormat(out, outSize, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
}

void lbMacToStr(const unsigned char *a, char *out, size_t outSize) {
    lbFormat(out, outSize, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
}

void lbIPntoa(uint32_t nIP, char *strIp, size_t strIpSize) {
    // inet_ntop writes into the caller's buffer, unlike inet_ntoa's shared static one,
    // and produces the same dotted text.
    struct in_addr addr;
    addr.s_addr = nIP;
    if (strIp == nullptr || strIpSize == 0)
        return;
    if (inet_ntop(AF_INET, &addr, strIp, static_cast<socklen_t>(strIpSize)) == nullptr)
        strIp[0] = '\0';
}

void lbItoa(int a, char *b, size_t bSize) {
    lbFormat(b, bSize, "%d", a);
}

// Rule    hops              ipv4_src      tcp_src             in_port        ipv4_dst
//                           tcp_dst             output
const lbRuleSpec lbConnRules[LB_NUM_RULES] = {
    // A: client to VIP, into the balancer.
    {'A', true, LB_RV_CLIENT, LB_RV_CLIENT_PORT, LB_RV_HOP_IN, LB_RV_VIP, LB_RV_SERVICE_PORT,
     LB_RV_LB_PORT},
    // B: the rewritten client frames, from the balancer on to the server.
    {'B', true, LB_RV_CLIENT, LB_RV_CLIENT_PORT, LB_RV_LB_PORT, LB_RV_SERVER, LB_RV_SERVICE_PORT,
     LB_RV_HOP_OUT},
    // C: the server's answers, into the balancer.
    {'C', true, LB_RV_SERVER, LB_RV_SERVICE_PORT, LB_RV_HOP_OUT, LB_RV_CLIENT, LB_RV_CLIENT_PORT,
     LB_RV_LB_PORT},
    // D: the answers rewritten to come from the VIP, back to the client.
    {'D', true, LB_RV_VIP, LB_RV_SERVICE_PORT, LB_RV_LB_PORT, LB_RV_CLIENT, LB_RV_CLIENT_PORT,
     LB_RV_HOP_IN},
    // E: client to server on a switch the balancer is not attached to.
    {'E', false, LB_RV_CLIENT, LB_RV_CLIENT_PORT, LB_RV_HOP_IN, LB_RV_SERVER, LB_RV_SERVICE_PORT,
     LB_RV_HOP_OUT},
    // F: server to client on such a switch.
    {'F', false, LB_RV_SERVER, LB_RV_SERVICE_PORT, LB_RV_HOP_OUT, LB_RV_CLIENT, LB_RV_CLIENT_PORT,
     LB_RV_HOP_IN},
};

namespace {

const char *ruleValue(const lbConnTexts *c, const lbRuleRequest &r, lbRuleValue v) {
    switch (v) {
        case LB_RV_CLIENT:
            return c->client;
        case LB_RV_SERVER:
            return c->server;
        case LB_RV_VIP:
            return c->vip;
        case LB_RV_CLIENT_PORT:
            return c->clientPort;
        case LB_RV_SERVICE_PORT:
            return c->servicePort;
        case LB_RV_HOP_IN:
            return r.inPort;
        case LB_RV_HOP_OUT:
            return r.outPort;
        case LB_RV_LB_PORT:
            return c->lbPort;
    }
    return "";
}

}  // namespace

void lbConnTextsFill(lbConnTexts *c, uint32_t clientIp, int clientPort, uint32_t serverIp,
                     int servicePort) {
    lbIPntoa(clientIp, c->client, sizeof c->client);
    lbIPntoa(serverIp, c->server, sizeof c->server);
    lbCopyField(c->vip, g_vipIPAddr, sizeof g_vipIPAddr);
    lbItoa(clientPort, c->clientPort, sizeof c->clientPort);
    lbItoa(servicePort, c->servicePort, sizeof c->servicePort);
    lbFormat(c->lbPort, sizeof c->lbPort, "%u", g_lbAppPort);
    char ownDpid[sizeof g_switchDpId + 1];
    lbCopyField(ownDpid, g_switchDpId, sizeof g_switchDpId);
    uint64_t ownDpidNum = 0;
    lb_dpid_to_ull(ownDpid, &ownDpidNum);
    lbFormat(c->lbDpid, sizeof c->lbDpid, "%016llx", static_cast<unsigned long long>(ownDpidNum));
    lbCopyField(c->ctrlIp, g_cont1IPAddr, sizeof g_cont1IPAddr);
}

int lbHopRules(const lbConnTexts *c, const pathlist_node_t *hop, const char *timeout,
               int clientSide, lbRuleRequest out[LB_MAX_HOP_RULES]) {
    lbRuleRequest proto{};
    lbFormat(proto.dpid, sizeof proto.dpid, "%016llx",
             static_cast<unsigned long long>(hop->node_dpid));
    lbFormat(proto.inPort, sizeof proto.inPort, "%u", hop->in_port);
    lbFormat(proto.outPort, sizeof proto.outPort, "%u", hop->out_port);
    if (create_url(proto.url, sizeof proto.url, c->ctrlIp, proto.dpid, "v2.0") < 0)
        return -1;
    const bool balancerSwitch = strcmp(proto.dpid, c->lbDpid) == 0;
    int n = 0;
    for (const lbRuleSpec &rule : lbConnRules) {
        if (rule.onBalancerSwitch != balancerSwitch)
            continue;
        lbRuleRequest &r = out[n];
        r = proto;
        r.rule = rule.name;
        // Before the balancer the frames still (or again) carry the VIP.
        auto addr = [&](lbRuleValue v) {
            return ruleValue(c, r,
                             clientSide && !balancerSwitch && v == LB_RV_SERVER ? LB_RV_VIP : v);
        };
        if (format_string_flow(r.body, sizeof r.body, addr(rule.src_ip),
                               ruleValue(c, r, rule.src_port), ruleValue(c, r, rule.in_port),
                               addr(rule.dst_ip), ruleValue(c, r, rule.dst_port),
                               ruleValue(c, r, rule.out_port), timeout) < 0)
            return -1;
        n++;
    }
    return n;
}

int lbConnRequests(const lbConnTexts *c, const dlist_head *hops, const char *timeout,
                   std::vector<lbRuleRequest> *out) {
    if (hops == nullptr || hops->next == nullptr)
        return 0;  // never initialised: no hops
    // The client's side ends at the balancer's switch; a path without it (never built
    // so) is treated as the server's side throughout, as every rule was before.
    bool clientSide = false;
    for (const dlist_node *n = hops->next; n != hops; n = n->next) {
        const auto *hop = static_cast<const pathlist_node_t *>(n->data);
        char dpid[17];
        lbFormat(dpid, sizeof dpid, "%016llx", static_cast<unsigned long long>(hop->node_dpid));
        if (strcmp(dpid, c->lbDpid) == 0) {
            clientSide = n != hops->next;
            break;
        }
    }
    const size_t before = out->size();
    for (const dlist_node *n = hops->next; n != hops; n = n->next) {
        const auto *hop = static_cast<const pathlist_node_t *>(n->data);
        lbRuleRequest req[LB_MAX_HOP_RULES];
        const int count = lbHopRules(c, hop, timeout, clientSide ? 1 : 0, req);
        if (count < 0) {
            printf("Rules for switch %016llx do not fit their buffers: not sent\n",
                   static_cast<unsigned long long>(hop->node_dpid));
        }
        for (int i = 0; i < count; ++i)
            out->push_back(req[i]);
        if (count > 0 && req[0].rule == 'A')
            clientSide = false;
    }
    return static_cast<int>(out->size() - before);
}

void lbPrintRuleLine(int adding, const lbRuleRequest *r, const lbConnTexts *c) {
    const char *verb = adding ? "adding" : "Deleting";
    switch (r->rule) {
        case 'A':
            if (adding)
                printf("adding flow switc id %s clienttcpport %s inport %s outport 4\n", r->dpid,
                       c->clientPort, r->inPort);
            else
                printf("Deleting flow switc id %s inport %s outport 4\n", r->dpid, r->inPort);
            break;
        case 'B':
            printf("%s flow switc id %s inport 4 outport %s\n", verb, r->dpid, r->outPort);
            break;
        case 'C':
            printf("%s flow switc id %s inport %s outport 4\n", verb, r->dpid, r->outPort);
            break;
        case 'D':
            printf("%s flow switc id %s inport 4 outport %s\n", verb, r->dpid, r->inPort);
            break;
        case 'E':
            printf("%s flow switc id %s inport %s outport %s\n", verb, r->dpid, r->inPort,
                   r->outPort);
            break;
        case 'F':
            printf("%s flow switc id %s inport %s outport %s\n", verb, r->dpid, r->outPort,
                   r->inPort);
            break;
        default:
            break;
    }
}
