/*
 * Kelvane LiDAR Utilities: the records and routines that the family's LiDAR
 * tools share.
 *
 * The records mirror the LAS 1.0, 1.1 and 1.2 public header block and the
 * point data record formats 0 to 3 byte for byte (packed, little-endian
 * integers, IEEE-754 binary64 reals). The twenty routines below are exported
 * under their plain C names by the shared library and by the Zandrel
 * executable. The header is valid C (C11) and C++.
 */
#ifndef KELVANE_LIDAR_H
#define KELVANE_LIDAR_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(KELVANE_BUILDING)
#define KELVANE_API __declspec(dllexport)
#elif defined(KELVANE_STATIC)
#define KELVANE_API
#else
#define KELVANE_API __declspec(dllimport)
#endif
#else
#define KELVANE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define KELVANE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define KELVANE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#pragma pack(push, 1)

/* LAS 1.2 public header block, 227 bytes. NumberOfPointReturns is the
 * format's "number of point records". */
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

/* LAS 1.1: bytes 6-7 are reserved. */
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

/* LAS 1.0: bytes 4-7 are one reserved field; bytes 90-93 date the flight. */
typedef struct LAS10Header {
    char LASF[4];
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
} LAS10Header;

/* Point data record format 0, 20 bytes. The return number is bitfield & 7. */
typedef struct LAS12fm0 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    signed char bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
} LAS12fm0;

/* Format 1, 28 bytes: format 0 and the GPS time. */
typedef struct LAS12fm1 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    signed char bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    double GPSTime;
} LAS12fm1;

/* Format 2, 26 bytes: format 0 and the colour. */
typedef struct LAS12fm2 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    signed char bitfield;
    uint8_t Classification;
    uint8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
} LAS12fm2;

/* Format 3, 34 bytes: format 0, the GPS time, then the colour. */
typedef struct LAS12fm3 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    signed char bitfield;
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

/* The layouts are the file's: every size and offset is fixed. */
#define KELVANE_CHECK_HEADER(T)                                                        \
    KELVANE_STATIC_ASSERT(sizeof(T) == 227, #T " is 227 bytes");                     \
    KELVANE_STATIC_ASSERT(offsetof(T, LASF) == 0, #T ".LASF");                       \
    KELVANE_STATIC_ASSERT(offsetof(T, GUIDData1) == 8, #T ".GUIDData1");             \
    KELVANE_STATIC_ASSERT(offsetof(T, GUIDData2) == 12, #T ".GUIDData2");            \
    KELVANE_STATIC_ASSERT(offsetof(T, GUIDData3) == 14, #T ".GUIDData3");            \
    KELVANE_STATIC_ASSERT(offsetof(T, GUIDData4) == 16, #T ".GUIDData4");            \
    KELVANE_STATIC_ASSERT(offsetof(T, VersionMajor) == 24, #T ".VersionMajor");      \
    KELVANE_STATIC_ASSERT(offsetof(T, VersionMinor) == 25, #T ".VersionMinor");      \
    KELVANE_STATIC_ASSERT(offsetof(T, SystemIdentifier) == 26, #T ".SystemIdentifier"); \
    KELVANE_STATIC_ASSERT(offsetof(T, GeneratingSoftware) == 58, #T ".GeneratingSoftware"); \
    KELVANE_STATIC_ASSERT(offsetof(T, HeaderSize) == 94, #T ".HeaderSize");          \
    KELVANE_STATIC_ASSERT(offsetof(T, OffsetToData) == 96, #T ".OffsetToData");      \
    KELVANE_STATIC_ASSERT(offsetof(T, NumberOfVariableLengthRecords) == 100, #T ".NumberOfVariableLengthRecords"); \
    KELVANE_STATIC_ASSERT(offsetof(T, PointDataFormatID) == 104, #T ".PointDataFormatID"); \
    KELVANE_STATIC_ASSERT(offsetof(T, PointDataRecordLength) == 105, #T ".PointDataRecordLength"); \
    KELVANE_STATIC_ASSERT(offsetof(T, NumberOfPointReturns) == 107, #T ".NumberOfPointReturns"); \
    KELVANE_STATIC_ASSERT(offsetof(T, NumberOfPointsByReturn) == 111, #T ".NumberOfPointsByReturn"); \
    KELVANE_STATIC_ASSERT(offsetof(T, XScaleFactor) == 131, #T ".XScaleFactor");     \
    KELVANE_STATIC_ASSERT(offsetof(T, YScaleFactor) == 139, #T ".YScaleFactor");     \
    KELVANE_STATIC_ASSERT(offsetof(T, ZScaleFactor) == 147, #T ".ZScaleFactor");     \
    KELVANE_STATIC_ASSERT(offsetof(T, XOffset) == 155, #T ".XOffset");               \
    KELVANE_STATIC_ASSERT(offsetof(T, YOffset) == 163, #T ".YOffset");               \
    KELVANE_STATIC_ASSERT(offsetof(T, ZOffset) == 171, #T ".ZOffset");               \
    KELVANE_STATIC_ASSERT(offsetof(T, MaxX) == 179, #T ".MaxX");                     \
    KELVANE_STATIC_ASSERT(offsetof(T, MinX) == 187, #T ".MinX");                     \
    KELVANE_STATIC_ASSERT(offsetof(T, MaxY) == 195, #T ".MaxY");                     \
    KELVANE_STATIC_ASSERT(offsetof(T, MinY) == 203, #T ".MinY");                     \
    KELVANE_STATIC_ASSERT(offsetof(T, MaxZ) == 211, #T ".MaxZ");                     \
    KELVANE_STATIC_ASSERT(offsetof(T, MinZ) == 219, #T ".MinZ")

KELVANE_CHECK_HEADER(LAS12Header);
KELVANE_CHECK_HEADER(LAS11Header);
KELVANE_CHECK_HEADER(LAS10Header);
KELVANE_STATIC_ASSERT(offsetof(LAS12Header, FileSourceID) == 4, "LAS12Header.FileSourceID");
KELVANE_STATIC_ASSERT(offsetof(LAS12Header, GlobalEncoding) == 6, "LAS12Header.GlobalEncoding");
KELVANE_STATIC_ASSERT(offsetof(LAS12Header, FileCreationDay) == 90, "LAS12Header.FileCreationDay");
KELVANE_STATIC_ASSERT(offsetof(LAS12Header, FileCreationYear) == 92, "LAS12Header.FileCreationYear");
KELVANE_STATIC_ASSERT(offsetof(LAS11Header, FileSourceID) == 4, "LAS11Header.FileSourceID");
KELVANE_STATIC_ASSERT(offsetof(LAS11Header, Reserved) == 6, "LAS11Header.Reserved");
KELVANE_STATIC_ASSERT(offsetof(LAS11Header, FileCreationDay) == 90, "LAS11Header.FileCreationDay");
KELVANE_STATIC_ASSERT(offsetof(LAS11Header, FileCreationYear) == 92, "LAS11Header.FileCreationYear");
KELVANE_STATIC_ASSERT(offsetof(LAS10Header, Reserved) == 4, "LAS10Header.Reserved");
KELVANE_STATIC_ASSERT(offsetof(LAS10Header, FlightDateJulian) == 90, "LAS10Header.FlightDateJulian");
KELVANE_STATIC_ASSERT(offsetof(LAS10Header, Year) == 92, "LAS10Header.Year");

#define KELVANE_CHECK_POINT_COMMON(T)                                            \
    KELVANE_STATIC_ASSERT(offsetof(T, X) == 0, #T ".X");                         \
    KELVANE_STATIC_ASSERT(offsetof(T, Y) == 4, #T ".Y");                         \
    KELVANE_STATIC_ASSERT(offsetof(T, Z) == 8, #T ".Z");                         \
    KELVANE_STATIC_ASSERT(offsetof(T, Intensity) == 12, #T ".Intensity");        \
    KELVANE_STATIC_ASSERT(offsetof(T, bitfield) == 14, #T ".bitfield");          \
    KELVANE_STATIC_ASSERT(offsetof(T, Classification) == 15, #T ".Classification"); \
    KELVANE_STATIC_ASSERT(offsetof(T, ScanAngleRank) == 16, #T ".ScanAngleRank"); \
    KELVANE_STATIC_ASSERT(offsetof(T, UserData) == 17, #T ".UserData");          \
    KELVANE_STATIC_ASSERT(offsetof(T, PointSourceID) == 18, #T ".PointSourceID")

KELVANE_CHECK_POINT_COMMON(LAS12fm0);
KELVANE_CHECK_POINT_COMMON(LAS12fm1);
KELVANE_CHECK_POINT_COMMON(LAS12fm2);
KELVANE_CHECK_POINT_COMMON(LAS12fm3);
KELVANE_STATIC_ASSERT(sizeof(LAS12fm0) == 20, "LAS12fm0 is 20 bytes");
KELVANE_STATIC_ASSERT(sizeof(LAS12fm1) == 28, "LAS12fm1 is 28 bytes");
KELVANE_STATIC_ASSERT(sizeof(LAS12fm2) == 26, "LAS12fm2 is 26 bytes");
KELVANE_STATIC_ASSERT(sizeof(LAS12fm3) == 34, "LAS12fm3 is 34 bytes");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm1, GPSTime) == 20, "LAS12fm1.GPSTime");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm2, Red) == 20, "LAS12fm2.Red");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm2, Green) == 22, "LAS12fm2.Green");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm2, Blue) == 24, "LAS12fm2.Blue");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm3, GPSTime) == 20, "LAS12fm3.GPSTime");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm3, Red) == 28, "LAS12fm3.Red");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm3, Green) == 30, "LAS12fm3.Green");
KELVANE_STATIC_ASSERT(offsetof(LAS12fm3, Blue) == 32, "LAS12fm3.Blue");

/* The LAS type code that check_las gives a file: 1 to 8 for the accepted
 * version and point format pairs, 0 for a LAS 1.0 or 1.1 file declaring
 * format 2 or 3, -1 for a file that fails a check. */
typedef int16_t LASType;

/* File and LAS checks. Status results: 0 passed, -1 failed (message printed). */
KELVANE_API int16_t file_access(const char *filename);
KELVANE_API int16_t check_file_extension(const char *filename, const char *extension);
KELVANE_API void error_msg(int32_t i, const char *text);
KELVANE_API LASType check_las(const char *filename);
KELVANE_API void credits(void);

/* Rewrites a LAS file's point counts and extents from its own records.
 * Ends the process with status -1 on failure. */
KELVANE_API void update_header(const char *filename);

/* Fill the header of a new, empty LAS file in memory. */
KELVANE_API void initialize_header10(LAS10Header *ph);
KELVANE_API void initialize_header11(LAS11Header *ph);
KELVANE_API void initialize_header12(LAS12Header *ph);

/* In-place ascending sorts that carry a companion index array along. */
KELVANE_API void l_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind);
KELVANE_API void l_quicksort(int32_t *p, int32_t count, int32_t *p_ind);
KELVANE_API void d_qs(double *p, int32_t left, int32_t right, int32_t *p_ind);
KELVANE_API void d_quicksort(double *p, int32_t count, int32_t *p_ind);
KELVANE_API void l_parallel_qs(int32_t *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep);
KELVANE_API void l_parallel_quicksort(int32_t *p, int32_t count, int32_t *p_ind);
KELVANE_API void d_parallel_qs(double *p, int32_t left, int32_t right, int32_t *p_ind, int32_t deep);
KELVANE_API void d_parallel_quicksort(double *p, int32_t count, int32_t *p_ind);

/* Argument checks. check_numeric_argument and check_DEM end the process with
 * status -1 on rejection; check_YN returns a status. */
KELVANE_API void check_numeric_argument(const char *str);
KELVANE_API void check_DEM(const char *str);
KELVANE_API int16_t check_YN(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* KELVANE_LIDAR_H */
