// Body builder for the controller's REST requests.
#pragma once

#include <stddef.h>

#include "controller/lbCurl/fillrest.h"

// The login body: user, password and domain the controller is configured with.
#define LB_LOGIN_BODY "{\"login\":{\"user\":\"sdn\",\"password\":\"quorbit\",\"domain\":\"sdn\"}}"
// A fixed sample flow body; real flow bodies are built per connection by the packet path.
#define LB_SAMPLE_FLOW_BODY                                                      \
    "{\"flow\":{\"priority\":600,\"idle_timeout\":10,\"match\":[{\"in_port\":2 " \
    "}],\"actions\":[{\"output\":3}]}}"

// Room for either body and its terminator.
#define LB_REST_BODY_LEN 200
static_assert(sizeof(LB_LOGIN_BODY) <= LB_REST_BODY_LEN, "login body buffer too small");
static_assert(sizeof(LB_SAMPLE_FLOW_BODY) <= LB_REST_BODY_LEN, "flow body buffer too small");

// Fills url (urlSize bytes) through getFlowDataUrl. Returns what getFlowDataUrl returns.
int createPostDataUrl(char *url, size_t urlSize, int urlType, const void *pFlowEntry);

// Writes the body of one request kind into resUrl, terminated: the login body for
// tokenUrl, the sample flow body for PostFlowDataUrl. pFlowEntry is not used. Returns 0;
// -1 with resUrl untouched for any other kind, -1 with resUrl emptied when the body
// would not fit.
int getFlowDataUrl(char *resUrl, size_t resUrlSize, int urlType, const void *pFlowEntry);
