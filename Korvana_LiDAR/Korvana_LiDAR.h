/*
 * Korvana LiDAR Utilities: the LAS support library.
 *
 * Record layouts of ASPRS LAS 1.0, 1.1 and 1.2 files (public header block and
 * point data record formats 0 to 3), a file validator, a header statistics
 * refresh, argument checks, index-carrying quicksorts and default headers.
 *
 * The records are byte-exact, gap-free images of the file. Multi-byte fields
 * are little-endian in the file and are used in place, so this library only
 * builds for little-endian machines (checked below).
 *
 * Every routine prints its diagnostics to standard output. Routines with a
 * status result return 0 for success and -1 for failure; the ones without a
 * result return only on success and end the process with status -1 otherwise.
 */
#ifndef KORVANA_LIDAR_H
#define KORVANA_LIDAR_H

#include <stddef.h>
#include <stdint.h>

/* The library is built with hidden visibility; only these routines are exported. */
#define KORVANA_LIDAR_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define KORVANA_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KORVANA_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "Korvana LiDAR reads LAS records in place and needs a little-endian machine"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Record layouts
 * ------------------------------------------------------------------------ */

#pragma pack(push, 1)

/* Public header block of a LAS 1.0 file. */
typedef struct LAS10Header {
    char LASF[4]; /* "LASF", no terminator */
    uint32_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FlightDateJulian;
    uint16_t Year;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns; /* total number of point records */
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX; /* each axis stores its maximum before its minimum */
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS10Header;

/* Public header block of a LAS 1.1 file. */
typedef struct LAS11Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS11Header;

/*
 * Public header block of a LAS 1.2 file. Every field outside bytes 4-7 and
 * 90-93 lies at the same offset in the three versions, so the routines read
 * and write a header of any version through this record.
 */
typedef struct LAS12Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t GlobalEncoding;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
} LAS12Header;

/*
 * Point data records. A real coordinate is the stored integer times the
 * header's scale factor plus its offset. The low three bits of `bitfield` are
 * the return number; `ScanAngleRank` is carried as an unsigned byte.
 */
typedef struct LAS12fm0 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
} LAS12fm0;

typedef struct LAS12fm1 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    double GPSTime;
} LAS12fm1;

typedef struct LAS12fm2 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
} LAS12fm2;

typedef struct LAS12fm3 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    int8_t bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    double GPSTime;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
} LAS12fm3;

#pragma pack(pop)

#define KORVANA_CHECK_HEADER(T)                                                           \
    KORVANA_STATIC_ASSERT(sizeof(T) == 227, #T " is 227 bytes");                          \
    KORVANA_STATIC_ASSERT(offsetof(T, GUIDData1) == 8, #T ".GUIDData1 at 8");             \
    KORVANA_STATIC_ASSERT(offsetof(T, VersionMajor) == 24, #T ".VersionMajor at 24");     \
    KORVANA_STATIC_ASSERT(offsetof(T, VersionMinor) == 25, #T ".VersionMinor at 25");     \
    KORVANA_STATIC_ASSERT(offsetof(T, SystemIdentifier) == 26, #T " text at 26");         \
    KORVANA_STATIC_ASSERT(offsetof(T, GeneratingSoftware) == 58, #T " text at 58");       \
    KORVANA_STATIC_ASSERT(offsetof(T, HeaderSize) == 94, #T ".HeaderSize at 94");         \
    KORVANA_STATIC_ASSERT(offsetof(T, OffsetToData) == 96, #T ".OffsetToData at 96");     \
    KORVANA_STATIC_ASSERT(offsetof(T, NumberOfVariableLengthRecords) == 100, #T " VLRs"); \
    KORVANA_STATIC_ASSERT(offsetof(T, PointDataFormatID) == 104, #T " format at 104");    \
    KORVANA_STATIC_ASSERT(offsetof(T, PointDataRecordLength) == 105, #T " length");       \
    KORVANA_STATIC_ASSERT(offsetof(T, NumberOfPointReturns) == 107, #T " count at 107");  \
    KORVANA_STATIC_ASSERT(offsetof(T, NumberOfPointsByReturn) == 111, #T " by return");   \
    KORVANA_STATIC_ASSERT(offsetof(T, XScaleFactor) == 131, #T ".XScaleFactor at 131");   \
    KORVANA_STATIC_ASSERT(offsetof(T, ZScaleFactor) == 147, #T ".ZScaleFactor at 147");   \
    KORVANA_STATIC_ASSERT(offsetof(T, XOffset) == 155, #T ".XOffset at 155");             \
    KORVANA_STATIC_ASSERT(offsetof(T, ZOffset) == 171, #T ".ZOffset at 171");             \
    KORVANA_STATIC_ASSERT(offsetof(T, MaxX) == 179, #T ".MaxX at 179");                   \
    KORVANA_STATIC_ASSERT(offsetof(T, MinX) == 187, #T ".MinX at 187");                   \
    KORVANA_STATIC_ASSERT(offsetof(T, MaxY) == 195, #T ".MaxY at 195");                   \
    KORVANA_STATIC_ASSERT(offsetof(T, MinY) == 203, #T ".MinY at 203");                   \
    KORVANA_STATIC_ASSERT(offsetof(T, MaxZ) == 211, #T ".MaxZ at 211");                   \
    KORVANA_STATIC_ASSERT(offsetof(T, MinZ) == 219, #T ".MinZ at 219")

KORVANA_CHECK_HEADER(LAS10Header);
KORVANA_CHECK_HEADER(LAS11Header);
KORVANA_CHECK_HEADER(LAS12Header);
KORVANA_STATIC_ASSERT(offsetof(LAS10Header, FlightDateJulian) == 90, "1.0 flight day at 90");
KORVANA_STATIC_ASSERT(offsetof(LAS10Header, Year) == 92, "1.0 flight year at 92");
KORVANA_STATIC_ASSERT(offsetof(LAS11Header, Reserved) == 6, "1.1 Reserved at 6");
KORVANA_STATIC_ASSERT(offsetof(LAS12Header, GlobalEncoding) == 6, "1.2 GlobalEncoding at 6");
KORVANA_STATIC_ASSERT(offsetof(LAS12Header, FileCreationDay) == 90, "1.2 creation day at 90");
KORVANA_STATIC_ASSERT(offsetof(LAS12Header, FileCreationYear) == 92, "1.2 creation year at 92");

#define KORVANA_CHECK_POINT(T, size)                                            \
    KORVANA_STATIC_ASSERT(sizeof(T) == (size), #T " has its format's length");  \
    KORVANA_STATIC_ASSERT(offsetof(T, Y) == 4, #T ".Y at 4");                   \
    KORVANA_STATIC_ASSERT(offsetof(T, Z) == 8, #T ".Z at 8");                   \
    KORVANA_STATIC_ASSERT(offsetof(T, Intensity) == 12, #T ".Intensity at 12"); \
    KORVANA_STATIC_ASSERT(offsetof(T, bitfield) == 14, #T ".bitfield at 14");   \
    KORVANA_STATIC_ASSERT(offsetof(T, PointSourceID) == 18, #T ".PointSourceID at 18")

KORVANA_CHECK_POINT(LAS12fm0, 20);
KORVANA_CHECK_POINT(LAS12fm1, 28);
KORVANA_CHECK_POINT(LAS12fm2, 26);
KORVANA_CHECK_POINT(LAS12fm3, 34);
KORVANA_STATIC_ASSERT(offsetof(LAS12fm1, GPSTime) == 20, "format 1 GPSTime at 20");
KORVANA_STATIC_ASSERT(offsetof(LAS12fm2, Red) == 20, "format 2 Red at 20");
KORVANA_STATIC_ASSERT(offsetof(LAS12fm3, GPSTime) == 20, "format 3 GPSTime at 20");
KORVANA_STATIC_ASSERT(offsetof(LAS12fm3, Red) == 28, "format 3 Red at 28");

#undef KORVANA_CHECK_HEADER
#undef KORVANA_CHECK_POINT

/*
 * File type codes returned by check_las(): which supported combination of LAS
 * version and point data format a file is. A code from 1 to 8 promises that
 * the signature, version, format and record length agree.
 */
enum {
    LAS_TYPE_FAILURE = -1,    /* check_las() has printed why */
    LAS_TYPE_UNSUPPORTED = 0, /* LAS 1.0 or 1.1 with point data format 2 or 3 */
    LAS_TYPE_10_FORMAT0 = 1,  /* record length 20 */
    LAS_TYPE_10_FORMAT1 = 2,  /* 28 */
    LAS_TYPE_11_FORMAT0 = 3,  /* 20 */
    LAS_TYPE_11_FORMAT1 = 4,  /* 28 */
    LAS_TYPE_12_FORMAT0 = 5,  /* 20 */
    LAS_TYPE_12_FORMAT1 = 6,  /* 28 */
    LAS_TYPE_12_FORMAT2 = 7,  /* 26 */
    LAS_TYPE_12_FORMAT3 = 8   /* 34 */
};

/* ------------------------------------------------------------------------
 * File checks, validator, messages and banner
 * ------------------------------------------------------------------------ */

/*
 * Returns 0 if `filename` can be opened for reading, else prints
 * "Unable to open file NAME in file_access()" and returns -1.
 */
KORVANA_LIDAR_API int16_t file_access(const char *filename);

/*
 * Returns 0 if `filename` ends in a dot and exactly the three characters of
 * `extension` (given without its dot; letter case counts). Otherwise prints
 * why (name too short, no dot four characters from the end, other
 * extension) and returns -1.
 */
KORVANA_LIDAR_API int16_t check_file_extension(const char *filename, const char *extension);

/*
 * Prints the message of code `i` about the file name `text`: 1 "does NOT
 * exist", 2 "already exists", 3 "has been specified twice". Any other code
 * prints nothing.
 */
KORVANA_LIDAR_API void error_msg(int32_t i, const char *text);

/*
 * Classifies the LAS file `filename` by version, point data format and
 * record length, and returns its file type code: 1 to 8 for a supported
 * file, 0 for LAS 1.0 or 1.1 with format 2 or 3 (no message), -1 after
 * printing why the file was refused. The file is closed again on return.
 */
KORVANA_LIDAR_API int16_t check_las(const char *filename);

/* Prints the library's banner. */
KORVANA_LIDAR_API void credits(void);

/* ------------------------------------------------------------------------
 * Header statistics refresh
 * ------------------------------------------------------------------------ */

/*
 * Recounts the point records of the LAS file `filename` and rewrites its
 * header in place. The file is first classified by check_las(); then every
 * complete record after OffsetToData is read (the header's own count is not
 * consulted, a trailing fragment is ignored) and the header gets the number
 * of records, the number per return number 1 to 5 (the low three bits of
 * `bitfield`; 0, 6 and 7 go into no slot) and the real bounds, raw extreme
 * times scale plus offset. The raw extremes start at -2147483646/2147483646
 * for X and Y and at -10000000/10000000 for Z, so a file without records gets
 * a maximum below its minimum. Only the first 227 bytes of the file change.
 *
 * Prints "\rHeader of file NAME has been updated    " (no newline) and
 * returns. Ends the process with status -1 instead when check_las() does not
 * return a type from 1 to 8 (printing nothing of its own), and with a
 * message of its own when the file cannot be opened for update or is shorter
 * than its 227-byte header, when the scan buffer cannot be allocated, or when
 * a read, the write or the close fails. The file is then left as it was,
 * unless the close itself failed.
 */
KORVANA_LIDAR_API void update_header(const char *filename);

/* ------------------------------------------------------------------------
 * Argument and file-name checks
 * ------------------------------------------------------------------------ */

/*
 * Vets `str`, a text that the caller will read as a number: every character
 * must be a digit, "." or "-", with at most one dot and one minus sign, and
 * the text must not be "." or "-" alone (where the signs stand is not
 * examined; the empty text passes). Returns silently when it passes; otherwise
 * prints "Invalid argument value (TEXT)" and ends the process with status -1.
 * Texts of any length are examined.
 */
KORVANA_LIDAR_API void check_numeric_argument(const char *str);

/*
 * Vets a yes/no flag: returns 0, silently, when `text` is exactly "Y", "N",
 * "y" or "n"; otherwise prints "ASCII Header Flag should be either Y (y) or
 * N (n)" and returns -1. Never ends the process.
 */
KORVANA_LIDAR_API int16_t check_YN(const char *text);

/*
 * Vets the name of a DEM file: "NAME.asc" (ASCII grid) is accepted as it is;
 * "NAME.flt" (floating point binary grid) is accepted when its header file
 * "NAME.hdr" can be opened for reading. The DEM file itself is never opened.
 * The extension probes go through check_file_extension(), which prints its
 * mismatch message for the extension the name does not carry. Any other name,
 * or a ".flt" name without a readable ".hdr", prints why and ends the process
 * with status -1. Names of any length are handled.
 */
KORVANA_LIDAR_API void check_DEM(const char *str);

/* ------------------------------------------------------------------------
 * Index-carrying quicksorts
 * ------------------------------------------------------------------------ */

/*
 * Each sort orders the keys `p` in place into non-decreasing order and makes
 * the same exchanges in the index array `p_ind` (whose values are never
 * examined): an index array holding 0, 1, 2, ... before the call tells
 * afterwards where each key came from.
 *
 * The sort is a quicksort that is not stable; where keys are equal (or NaN)
 * its arrangement is the one these partition steps give: v is a copy of the
 * key at left + (right - left) / 2; i runs up from `left` past keys < v, j
 * down from `right` past keys > v; if i <= j the two keys and index entries
 * are exchanged (also when i == j) and i and j step inwards; this repeats
 * while i <= j, and then [left, j] and [i, right] are sorted the same way.
 * The `d_` sorts compare with the ordinary < and >, so a NaN stops both runs
 * and NaNs end up somewhere in between (keys and index entries stay a
 * permutation of what they were); -0 and +0 count as equal and keep their
 * signs. Nothing is allocated and nothing is printed; the call stack stays
 * shallow whatever the input.
 *
 * The workers (`_qs`) sort the inclusive range of positions `left` to
 * `right`; an empty range (`left` > `right`) is left alone. The entries
 * (`_quicksort`) sort positions 0 to `count` - 1; a `count` of 0 or less is
 * left alone.
 *
 * The depth-limited workers make the partitions of the first `deep` + 1
 * levels themselves and hand the ranges below them to the plain worker (a
 * negative `deep` never runs out); the entries start them with `deep` 15. They
 * run on the calling thread and give exactly the arrangement, keys and index
 * entries alike, that the plain sort of the same key type gives.
 */

/* Sorts 32-bit keys p[left..right] with their index entries. */
KORVANA_LIDAR_API void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind);

/* Sorts 32-bit keys p[0..count-1] with their index entries. */
KORVANA_LIDAR_API void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind);

/* Sorts double keys p[left..right] with their index entries. */
KORVANA_LIDAR_API void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind);

/* Sorts double keys p[0..count-1] with their index entries. */
KORVANA_LIDAR_API void d_quicksort(double *p, int32_t count, int32_t *p_ind);

/* Depth-limited l_qs(): the same arrangement for every `deep`. */
KORVANA_LIDAR_API void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind,
                                     int32_t deep);

/* l_parallel_qs() on positions 0 to count-1 with `deep` 15. */
KORVANA_LIDAR_API void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind);

/* Depth-limited d_qs(): the same arrangement for every `deep`. */
KORVANA_LIDAR_API void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind,
                                     int32_t deep);

/* d_parallel_qs() on positions 0 to count-1 with `deep` 15. */
KORVANA_LIDAR_API void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind);

/* ------------------------------------------------------------------------
 * Default header builders
 * ------------------------------------------------------------------------ */

/*
 * Fill a caller's header record in memory with the library's defaults for a
 * new LAS 1.0, 1.1 or 1.2 file: signature "LASF", version 1.0/1.1/1.2,
 * GeneratingSoftware "Korvana LiDAR Utilities", HeaderSize and OffsetToData
 * 227, unit scale factors, and zero for every other field written (dates,
 * identifiers, point data format 0 with record length 0, counts, offsets,
 * bounds). The caller sets the format, record length, counts and bounds.
 *
 * Only the first byte of GUIDData4 and of SystemIdentifier and the first 24
 * bytes of GeneratingSoftware are written: bytes 17-23, 27-57 and 82-89 keep
 * what the record held, so clear the record first if they must be zero.
 * Nothing is printed; the builders cannot fail.
 */
KORVANA_LIDAR_API void initialize_header10(LAS10Header *ph);
KORVANA_LIDAR_API void initialize_header11(LAS11Header *ph);
KORVANA_LIDAR_API void initialize_header12(LAS12Header *ph);

#ifdef __cplusplus
}
#endif

#endif /* KORVANA_LIDAR_H */
