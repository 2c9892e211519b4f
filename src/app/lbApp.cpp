#include "app/lbApp.h"

#include <cstdio>
#include <cstring>

int lbAppMain(int argc, char **argv) {
    if (argc != 2) {
        printf("%s\n", LB_USAGE);
        return 0;
    }
    printf("Interface  selected is %s\n", argv[1]);
    if (strlen(argv[1]) >= sizeof g_appIf) {
        fprintf(stderr, "Interface name too long: %s\n", argv[1]);
        return 1;
    }
    snprintf(g_appIf, sizeof g_appIf, "%s", argv[1]);
    if (Gv_noPrint == 0)
        printf("===========================> Starting Load Balancer\nmain\n");
    // The start-up sequence and the receive loop are added here as their modules land.
    fprintf(stderr, "lbapp: start-up sequence not available in this build\n");
    return 1;
}
