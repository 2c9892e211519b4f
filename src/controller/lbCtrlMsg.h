// Flow-rule body, flow URL, the six rules of one connection and the text converters
// that fill them: the controller's message format.
//
// Every rule the balancer installs or removes is described to the controller by one JSON
// body of a fixed shape, posted to one URL per switch. All writers here are bounded by
// the destination size the caller passes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "common/dlist.h"
#include "controller/lbCurl/lb_pathlist.h"

// Destination sizes that always suffice for the converters.
#define LB_IPSTR_LEN 16   // "255.255.255.255"
#define LB_MACSTR_LEN 18  // "00:1B:21:0A:FF:01"
#define LB_ITOA_LEN 12    // "-2147483648"

// The fixed part of a flow body is 225 characters. Five numbers of at most 10 digits and
// two addresses of at most 15 characters add 80, so 306 bytes hold any body built from
// converter output.
#define LB_FLOW_BODY_LEN 306
// "https://" + address + ":8443/sdn/v2.0/of/datapaths/" + 16 hex digits + "/flows"
#define LB_FLOW_URL_LEN 128

// Writes the flow-rule body for the given match and action texts into flowStr and
// returns its length. The texts are inserted verbatim (callers pass converter output
// and configured values). Returns -1 and leaves flowStr empty when the body would not
// fit in flowStrSize bytes, so a truncated body is never sent.
int format_string_flow(char *flowStr, size_t flowStrSize, const char *src_ip_m,
                       const char *src_tcpPort_m, const char *in_port_m, const char *dst_ip_m,
                       const char *dst_tcpPort_m, const char *out_port_a, const char *idle_timeout);

// Writes "https://<controller_ip>:8443/sdn/<version>/of/datapaths/<dpid>/flows" into
// url_str and returns its length; -1 with url_str empty when it would not fit. Note the
// order: dpid comes before version in the arguments and after it in the URL.
int create_url(char *url_str, size_t urlSize, const char *controller_ip, const char *dpid,
               const char *version);

// Dotted decimal of 4 address bytes, first byte first.
void lbIpToStr(const unsigned char *a, char *out, size_t outSize);

// Six MAC bytes as upper-case hex pairs separated by colons.
void lbMacToStr(const unsigned char *a, char *out, size_t outSize);

// Dotted decimal of an address held in network byte order. Safe to call from several
// threads at once (it keeps no shared buffer).
void lbIPntoa(uint32_t nIP, char *strIp, size_t strIpSize);

// Decimal text of a signed 32-bit integer.
void lbItoa(int a, char *b, size_t bSize);

// ---- The six rules of one connection ---------------------------------------------------
//
// Every connection is steered through the balancer's own switch port by rules A to D on
// the balancer's switch and E and F on every other switch of its path. Setup installs
// them with the setup time-out, reset teardown re-posts them with the deletion time-out,
// expiry and shutdown delete them: all from the one table below.

// The values a rule field can take.
typedef enum lbRuleValue {
    LB_RV_CLIENT,        // client address
    LB_RV_SERVER,        // server address
    LB_RV_VIP,           // the VIP
    LB_RV_CLIENT_PORT,   // client TCP port
    LB_RV_SERVICE_PORT,  // service port, the same on the VIP and on the server
    LB_RV_HOP_IN,        // the hop's port on the client's side
    LB_RV_HOP_OUT,       // the hop's port on the server's side
    LB_RV_LB_PORT,       // the balancer's port on its switch
} lbRuleValue;

// One rule: the hops it goes to and the value of each field of its body. The idle
// time-out is the caller's.
typedef struct lbRuleSpec {
    char name;              // 'A' to 'F'
    bool onBalancerSwitch;  // A-D: only the balancer's switch; E-F: every other switch
    lbRuleValue src_ip, src_port, in_port, dst_ip, dst_port, out_port;
} lbRuleSpec;

#define LB_NUM_RULES 6
#define LB_MAX_HOP_RULES 4
extern const lbRuleSpec lbConnRules[LB_NUM_RULES];

// The texts of one connection that its rules are filled from.
typedef struct lbConnTexts {
    char client[LB_IPSTR_LEN];
    char server[LB_IPSTR_LEN];
    char vip[20];  // as configured (g_vipIPAddr)
    char clientPort[LB_ITOA_LEN];
    char servicePort[LB_ITOA_LEN];
    char lbPort[LB_ITOA_LEN];
    char lbDpid[17];  // the balancer's switch: 16 lower-case hexadecimal digits
    char ctrlIp[20];  // the controller's address, without port
} lbConnTexts;

// Fills c for a connection from its addresses (network order) and ports (host order),
// and from the configuration: VIP, balancer port and switch, controller address.
void lbConnTextsFill(lbConnTexts *c, uint32_t clientIp, int clientPort, uint32_t serverIp,
                     int servicePort);

// One request of a hop: the rule it carries, the switch's flow URL and the body. The
// texts of the switch and of the hop's ports are kept for the lines printed about it.
typedef struct lbRuleRequest {
    char rule;
    char dpid[17];
    char inPort[LB_ITOA_LEN];
    char outPort[LB_ITOA_LEN];
    char url[LB_FLOW_URL_LEN];
    char body[320];
} lbRuleRequest;
// A configured VIP text may be 4 characters longer than a dotted address (19 instead of
// 15) and a configured time-out 9 longer than a converter's 10 digits.
static_assert(sizeof(lbRuleRequest::body) >= LB_FLOW_BODY_LEN + 4 + 9,
              "a body with the longest configured VIP and time-out texts must fit");

// The requests of one hop, in rule order: A to D when the hop's switch is the balancer's
// (its dpid text equals c->lbDpid), E and F otherwise, every body with the idle time-out
// text timeout. clientSide says that the hop lies between the client and the balancer:
// frames there carry the VIP, not the server (they are readdressed only at the
// balancer), so its E and F match the client and the VIP. Pure: no request is sent,
// nothing is printed. Returns the number of requests written to out (4 or 2), or -1 when
// a URL or a body would not fit, so a hop is never half described.
int lbHopRules(const lbConnTexts *c, const pathlist_node_t *hop, const char *timeout,
               int clientSide, lbRuleRequest out[LB_MAX_HOP_RULES]);

// The requests of every hop of the hop list hops (pathlist_node_t, client's switch
// first), in hop order, appended to out; the hops before the balancer's switch are on
// the client's side. A hop whose rules do not fit is left out with the line "Rules for
// switch <dpid> do not fit their buffers: not sent". Returns the number appended.
int lbConnRequests(const lbConnTexts *c, const dlist_head *hops, const char *timeout,
                   std::vector<lbRuleRequest> *out);

// Prints the line that follows one rule request: "adding flow switc id ..." after an
// install (adding 1), "Deleting flow switc id ..." after a removal (adding 0), naming the
// switch and the hop ports of the rule. The digit 4 in the lines is fixed text, whatever
// the balancer port is. Callers print it only when diagnostics are on.
void lbPrintRuleLine(int adding, const lbRuleRequest *r, const lbConnTexts *c);
