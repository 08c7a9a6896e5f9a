#include "ulvo.h"

int main(int argc, char **argv) {
    int status = ulvo_options(argc, argv);
    return status >= 0 ? status : ulvo_main();
}
