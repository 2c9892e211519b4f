#include "app/lbApp.h"

int main(int argc, char **argv) {
    return lbAppMain(argc, argv);
}
