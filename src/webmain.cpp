#include "web/webServer.h"

int main(int argc, char **argv) {
    return lbweb::lbwebMain(argc, argv);
}
