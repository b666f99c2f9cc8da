// lasrefresh: brings the point counts and bounds in the headers of LAS files
// into line with the point records that the files really hold.
//
// Usage: lasrefresh FILE.las [FILE.las ...]
// Each file is refreshed in place, in the order given. The first file that
// cannot be refreshed ends the run with status -1 (255), after its message;
// the files after it are not touched.

#include <cstdio>
#include <cstdlib>

#include "Korvana_LiDAR.h"

namespace {

void usage() {
    credits();
    printf("\nUsage:\tlasrefresh FILE.las [FILE.las ...]\n");
    printf("\tRecounts the point records of each file by return number, recomputes\n");
    printf("\tthe bounding box from them and rewrites the header in place.\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage();
        exit(-1);
    }
    for (int i = 1; i < argc; ++i) update_header(argv[i]);
    // Each file's line was left open so that the next one could overwrite it.
    printf("\n");
    return 0;
}
