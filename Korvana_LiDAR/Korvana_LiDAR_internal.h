// Entries of the library for in-process callers of this project (the fuzz
// targets). Not installed and not exported: the library is built with hidden
// visibility.
#ifndef KORVANA_LIDAR_INTERNAL_H
#define KORVANA_LIDAR_INTERNAL_H

namespace korvana_internal {

// update_header() without ending the process: 0 after the header was
// rewritten and the completion text printed, -1 after a failure (whose
// message has been printed).
int update_header_status(const char *filename);

}  // namespace korvana_internal

#endif  // KORVANA_LIDAR_INTERNAL_H
