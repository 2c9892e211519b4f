#include "controller/lbCurl/fillrest.h"

#include <cstdio>

int createUrl(char *resUrl, size_t resUrlSize, int urlType, const char *ctrlIp,
              const char *ctrlPort, const char *switchId, unsigned char ssl) {
    return getUrl(resUrl, resUrlSize, urlType, ctrlIp, ctrlPort, switchId, ssl);
}

int getUrl(char *resUrl, size_t resUrlSize, int urlType, const char *ctrlIp, const char *ctrlPort,
           const char *switchId, unsigned char ssl) {
    (void)ctrlPort;
    if (resUrl == nullptr || resUrlSize == 0 || ctrlIp == nullptr)
        return -1;
    const char *scheme = ssl == 1 ? "https://" : "http://";
    int n;
    switch (urlType) {
        case tokenUrl:
            n = snprintf(resUrl, resUrlSize, "%s%s/sdn/v2.0/auth", scheme, ctrlIp);
            break;
        case PostFlowDataUrl:
            if (switchId == nullptr)
                return -1;
            n = snprintf(resUrl, resUrlSize, "%s%s/sdn/v2.0/of/datapaths/%s/flows", scheme, ctrlIp,
                         switchId);
            break;
        default:
            return -1;
    }
    if (n < 0 || static_cast<size_t>(n) >= resUrlSize) {
        resUrl[0] = '\0';
        return -1;
    }
    return 0;
}
