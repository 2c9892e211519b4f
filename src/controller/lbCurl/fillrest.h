// URL builder for the controller's REST requests.
#pragma once

#include <stddef.h>

// Request kinds understood by the URL and body builders.
enum urlType { tokenUrl = 1, PostFlowDataUrl = 2 };

// Room for the longest URL of either kind: "https://" + a 24-character controller
// address + "/sdn/v2.0/of/datapaths/" + 16 hex digits + "/flows" and the terminator.
#define LB_REST_URL_LEN 100

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
