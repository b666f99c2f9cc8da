/* A tiny program built against the installed Korvana LiDAR library: it
 * classifies each LAS file named on the command line and prints its point
 * count and bounds. */
#include <stdio.h>
#include <string.h>

#include "Korvana_LiDAR.h"

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const int16_t type = check_las(argv[i]);
        if (type < LAS_TYPE_10_FORMAT0) {
            printf("%s: not a supported LAS file\n", argv[i]);
            return 1;
        }
        LAS12Header h;
        FILE *f = fopen(argv[i], "rb");
        if (f == NULL || fread(&h, sizeof h, 1, f) != 1) {
            printf("%s: cannot read its header\n", argv[i]);
            return 1;
        }
        fclose(f);
        const unsigned count = h.NumberOfPointReturns;
        const double minX = h.MinX, maxX = h.MaxX, minY = h.MinY, maxY = h.MaxY;
        printf("%s: file type %d, %u points, X %.2f..%.2f, Y %.2f..%.2f\n", argv[i], type, count,
               minX, maxX, minY, maxY);
    }
    return 0;
}
