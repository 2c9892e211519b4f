// The controller's REST transport: controller address, login and token, the request
// procedure shared by every request, and the flow install/removal and host queries.
//
// One transfer handle lives for the whole process, so consecutive requests reuse the
// connection and the TLS session. Requests are serialised by a lock of this module; each
// one sets all of its options afresh. Every request has a connect time-out of
// LB_REST_CONNECT_TIMEOUT_S and a total time-out of LB_REST_TIMEOUT_S seconds.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#define LB_CTRL_ADDR_LEN 25  // controller "address:port", at most 24 characters
#define LB_TOKEN_HDR "X-Auth-Token:"
#define LB_TOKEN_MAX 32  // characters of a token that are kept
#define LB_TOKEN_LEN (sizeof(LB_TOKEN_HDR) - 1 + LB_TOKEN_MAX + 1)
#define LB_REST_CONNECT_TIMEOUT_S 3L
#define LB_REST_TIMEOUT_S 10L

// Where a host is attached to the network, as the nodes query reports it.
typedef struct node_data_s {
    char node_ip[20];      // the host's address; set by the caller, never by the query
    char switch_dpid[32];  // the switch's datapath id as the controller writes it
    int64_t node_port;     // the switch port; 0 when the controller does not know the host
} NODE_DATA;

// Controller "address:port" (all zero until set) and the token header line. Read-only
// outside this module.
extern char ctrlIpv4[LB_CTRL_ADDR_LEN];
extern char TOKEN[LB_TOKEN_LEN];

// Sets the controller address (address and port, at most 24 characters) and logs in,
// retrying about once a second until a token is obtained. No-op for null. An empty text
// leaves the address unset: one "Set the controller IP:PORT first...." and no request.
// Returns 0; -1 without any change for a text longer than 24 characters.
int setControllerIp(const char *ctrlIpPort);

// As setControllerIp, but stops retrying once stop (when not null) returns non-zero
// after a failed attempt: returns -1 then, the address set and no token obtained.
int setControllerIpUntil(const char *ctrlIpPort, int (*stop)(void));

// The file, in the working directory, that holds the certificate authority the
// controller's certificate must come from.
#define LB_CTRL_CA_FILE "controller_ca.pem"

// Chooses, once at start-up, how every later request checks the controller's identity.
// When caFile is a readable file, the controller's certificate must be signed by it and
// name the controller's address; a controller that fails the check is refused with
// the line "Controller certificate rejected (<reason>); check caFile". Otherwise (also
// for null) nothing is verified and one warning line says so; either way the start-up
// goes on. Until it is called, requests verify nothing and say nothing.
void lbRestVerifyController(const char *caFile);

// 1 (after printing "Set the controller IP:PORT first....") when no controller address is
// set; 0 otherwise.
int isControllerValid(void);

// Sets the body every later login sends (by default the one with the built-in
// credentials; see controller/lbCurl/ctrlLogin.h).
void lbRestSetLoginBody(const std::string &body);

// Logs in and stores the token in TOKEN. Returns 0 on success and, without a request,
// when no controller address is set. Returns -1 when the transfer failed, the reply had
// an HTTP error status, was not JSON or carried no token; TOKEN then keeps its old value.
int genToken(void);

// Installs the rule described by the flow body dataUrl with a POST to the flow URL url.
// Returns 0 in every case; failures are reported on standard error only.
int setSwitchFlow(const char *url, const char *dataUrl);

// Removes the rule whose match the flow body dataUrl gives, with a DELETE carrying that
// body to the flow URL url. Returns 0 in every case; failures are reported on standard
// error only.
int delelteSwitchFlow(const char *url, const char *dataUrl);

// Asks where a host is attached (url is a nodes query URL) and writes the first listed
// host's port and switch into node_data. A failed query, an unknown host or a reply
// without "nodes" leaves the record as the caller pre-set it. Returns 0 in every case.
int getSwitchFlow(const char *url, NODE_DATA *node_data);

// Reads a complete nodes reply (len bytes at reply) into node_data: node_port from the
// integer "port" of the first element of "nodes" (0 when absent), switch_dpid from its
// text "dpid" (at most 31 characters; left as it was when absent). Prints the host's
// "ip", "mac", "dpid" and "port". A reply that is not JSON or has no "nodes" only
// prints "nx_json_get returned null for GetWriteMemoryCallback" and returns -1, as
// does a null record; 0 otherwise. node_ip is never written.
int getSwitchFlowReply(const char *reply, size_t len, NODE_DATA *node_data);

// Reply handlers: each appends the delivery to its log file ("token_gen.log", "body2.out",
// "get.out"; the first delivery of the process truncates the file and names it on
// standard error; the file then stays open, so one removed meanwhile is not created
// again) and to the reply buffer userdata (a std::string, may be null). They
// return the number of bytes logged, or -1 when the log file could not be created, which
// fails the transfer. Replies are read once they are complete.
size_t WriteMemoryCallback(char *ptr, size_t size, size_t nmemb, void *userdata);
size_t WriteMemoryCallback2(char *ptr, size_t size, size_t nmemb, void *userdata);
size_t GetWriteMemoryCallback(char *ptr, size_t size, size_t nmemb, void *userdata);

// Upload handlers: never called, since bodies go as post fields. They supply no data.
size_t ReadMemoryCallback(char *buffer, size_t size, size_t nitems, void *userdata);
size_t ReadMemoryCallback2(char *buffer, size_t size, size_t nitems, void *userdata);
size_t GetReadMemoryCallback(char *buffer, size_t size, size_t nitems, void *userdata);

// --- Used by the path query and by measurements. ---

typedef size_t (*lb_rest_write_fn)(char *ptr, size_t size, size_t nmemb, void *userdata);
typedef size_t (*lb_rest_read_fn)(char *buffer, size_t size, size_t nitems, void *userdata);

// Runs one GET with the token header to url, handing every delivery to writer with
// userdata set to reply (cleared before each attempt; may be null). On a 401 it logs in
// again once and repeats the request once. Returns 0 when a reply was received (whatever
// its status) and -1 when the transfer failed.
int lbRestGet(const char *url, lb_rest_write_fn writer, lb_rest_read_fn reader, std::string *reply);

// The body of every reply handler: appends one delivery to the log file fileName
// (truncated on the first call through *firstCall, which is then cleared, and named on
// standard error; appended to afterwards through the descriptor kept open since, each
// delivery written through at once) and to reply when it is not null. Returns the
// items written, or (size_t)-1, which fails the transfer, when the file cannot be opened
// or the joined reply would exceed a few megabytes.
size_t lbRestCollect(const char *fileName, int *firstCall, const char *ptr, size_t size,
                     size_t nmemb, void *reply);

// What a request made elsewhere (the setup engine's transfers) needs of this module, read
// under its lock: the controller "address:port", the token header line, the
// certificate authority file (empty when nothing is verified) and the login body.
struct lbRestView {
    std::string ctrlAddr;
    std::string tokenHeader;
    std::string caPath;
    std::string loginBody;
};
lbRestView lbRestSnapshot(void);

// Takes the token of a login reply made elsewhere into TOKEN, as genToken does with its
// own. Returns 0, or -1 (TOKEN unchanged) when the reply holds no usable token.
int lbRestTakeToken(const std::string &reply);

// 1 (the default): one transfer handle serves every request. 0: every request makes and
// releases a handle of its own, paying a new connection and TLS handshake each time.
// Exists to measure the difference.
void lbRestSetHandleReuse(int reuse);
