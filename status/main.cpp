#include <cstdio>

#include "ulvostatus.h"

int main(int argc, char **argv) {
    int status = ulvostatus_main(argc, argv);
    fflush(stdout);
    return status;
}
