#include <cstdlib>

#include "cloudmove.h"

// Exit status 0 after a completed run; -1 (255 to the shell) after any failure.
int main(int argc, char **argv) {
    if (cloudmove_run(argc, argv) != 0) exit(-1);
    return 0;
}
