#include "controller/lbCurl/postrest.h"

#include <cstdio>

int createPostDataUrl(char *url, size_t urlSize, int urlType, const void *pFlowEntry) {
    return getFlowDataUrl(url, urlSize, urlType, pFlowEntry);
}

int getFlowDataUrl(char *resUrl, size_t resUrlSize, int urlType, const void *pFlowEntry) {
    (void)pFlowEntry;
    if (resUrl == nullptr || resUrlSize == 0)
        return -1;
    const char *body;
    switch (urlType) {
        case tokenUrl:
            body = LB_LOGIN_BODY;
            break;
        case PostFlowDataUrl:
            body = LB_SAMPLE_FLOW_BODY;
            break;
        default:
            return -1;
    }
    int n = snprintf(resUrl, resUrlSize, "%s", body);
    if (n < 0 || static_cast<size_t>(n) >= resUrlSize) {
        resUrl[0] = '\0';
        return -1;
    }
    return 0;
}
