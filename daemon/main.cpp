#include "ulvo.h"

int main() {
    return ulvo_main();
}
