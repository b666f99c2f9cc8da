// Entries of the library for the commands and fuzz targets of this project.
// Not installed and not exported: the library is built with hidden visibility.
#ifndef KORVANA_LIDAR_INTERNAL_H
#define KORVANA_LIDAR_INTERNAL_H

#include <sys/types.h>

#include <cstddef>

namespace korvana_internal {

// Reads at `offset` until `size` bytes have arrived or the file ends (a
// signal does not cut it short). Returns the number of bytes read, or -1
// after an error (errno tells which).
ssize_t read_at(int fd, void *buf, size_t size, off_t offset);

// Writes all `size` bytes at `offset`. Returns 0, or the errno value of the
// failure (ENOSPC when the file takes no more).
int write_at(int fd, const void *buf, size_t size, off_t offset);

// update_header() without ending the process: 0 after the header was
// rewritten and the completion text printed, -1 after a failure (whose
// message has been printed).
int update_header_status(const char *filename);

}  // namespace korvana_internal

#endif  // KORVANA_LIDAR_INTERNAL_H
