#include "controller/lbCurl/postrest.h"

#include "common/lbUtil.h"

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
    return lbFormat(resUrl, resUrlSize, "%s", body) < 0 ? -1 : 0;
}
