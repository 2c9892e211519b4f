// URL builder for the controller's REST requests.
#pragma once

#include <stddef.h>

// Request kinds understood by the URL and body builders.
enum urlType { tokenUrl = 1, PostFlowDataUrl = 2 };

// Room for the longest URL of either kind: "https://" + a 24-character controller
// address + "/sdn/v2.0/of/datapaths/" + 16 hex digits + "/flows" and the terminator.
#define LB_REST_URL_LEN 100

// Port of the controller's REST interface.
#define LB_CTRL_PORT "8443"
// Room for "address:port" built by lbCtrlHostPort from a configured address.
#define LB_CTRL_HOSTPORT_LEN 50

// The one builder of the controller's URLs: scheme ("https://" when ssl is 1, "http://"
// otherwise) + hostPort ("address:port") + "/sdn/" + version + the request's own path,
// given as a printf format and its arguments. Returns the length written, or -1 with url
// emptied when the URL would not fit or an argument is null, so a cut URL is never
// requested.
int lbCtrlUrl(char *url, size_t urlSize, unsigned char ssl, const char *hostPort,
              const char *version, const char *pathFmt, ...) __attribute__((format(printf, 6, 7)));

// Writes "<ip>:8443" into dst: the controller's REST address for a configured IPv4
// address. Returns the length, or -1 with dst emptied when it would not fit.
int lbCtrlHostPort(char *dst, size_t dstSize, const char *ip);

// Fills resUrl (resUrlSize bytes) through getUrl with the same arguments. Returns what
// getUrl returns.
int createUrl(char *resUrl, size_t resUrlSize, int urlType, const char *ctrlIp,
              const char *ctrlPort, const char *switchId, unsigned char ssl);

// Writes the URL of one request kind into resUrl, terminated: scheme ("https://" when ssl
// is 1, "http://" otherwise) + ctrlIp (address and port) + "/sdn/v2.0/auth" for tokenUrl,
// or + "/sdn/v2.0/of/datapaths/" + switchId + "/flows" for PostFlowDataUrl. ctrlPort is
// not used: the port travels inside ctrlIp. Returns 0. Returns -1 with resUrl untouched
// for any other kind or a null argument the kind needs, and -1 with resUrl emptied when
// the URL would not fit, so a cut URL is never requested.
int getUrl(char *resUrl, size_t resUrlSize, int urlType, const char *ctrlIp, const char *ctrlPort,
           const char *switchId, unsigned char ssl);
