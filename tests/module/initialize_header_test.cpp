// initialize_header10/11/12: the bytes of a new, empty LAS header, and the
// bytes the routines leave to the caller.
#include "test_support.h"

#include <array>

using namespace testing_support;

namespace {

using Record = std::array<unsigned char, 227>;

template <typename Header>
Record initialized(void (*init)(Header *), unsigned char fill) {
    Record r;
    r.fill(fill);
    init(reinterpret_cast<Header *>(r.data()));
    return r;
}

void put_u16(Record &r, std::size_t at, unsigned v) {
    r[at] = static_cast<unsigned char>(v), r[at + 1] = static_cast<unsigned char>(v >> 8);
}
void put_f64(Record &r, std::size_t at, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    for (int k = 0; k < 8; ++k) r[at + static_cast<std::size_t>(k)] = static_cast<unsigned char>(bits >> (8 * k));
}

// The whole record that a zero-filled one becomes, written out byte by byte.
Record expected_from_zeros(unsigned char minor) {
    Record r{};
    std::memcpy(r.data(), "LASF", 4);
    r[24] = 1;
    r[25] = minor;
    std::memcpy(r.data() + 58, "Kelvane LiDAR Utilities", 23);
    put_u16(r, 94, 227);  // HeaderSize
    put_u16(r, 96, 227);  // OffsetToData, low half
    for (std::size_t at : {131, 139, 147}) put_f64(r, at, 1.0);
    return r;
}

bool kept_by_caller(std::size_t i) { return (i >= 17 && i <= 23) || (i >= 27 && i <= 57) || (i >= 82 && i <= 89); }

struct Routine {
    const char *name;
    Record (*run)(unsigned char fill);
    unsigned char minor;
};
const Routine kRoutines[] = {
    {"initialize_header10", [](unsigned char fill) { return initialized(initialize_header10, fill); }, 0},
    {"initialize_header11", [](unsigned char fill) { return initialized(initialize_header11, fill); }, 1},
    {"initialize_header12", [](unsigned char fill) { return initialized(initialize_header12, fill); }, 2},
};

}  // namespace

TEST(InitializeHeader, ZeroFilledRecordIsFullyDetermined) {
    for (const auto &r : kRoutines) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.run(0), expected_from_zeros(r.minor));
    }
}

// 46 bytes keep what the caller left; the other 181 are written.
TEST(InitializeHeader, BytesLeftToTheCallerKeepTheirContents) {
    for (const auto &r : kRoutines) {
        SCOPED_TRACE(r.name);
        const Record from_ff = r.run(0xFF);
        const Record from_zeros = expected_from_zeros(r.minor);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < 227; ++i) {
            if (kept_by_caller(i)) {
                EXPECT_EQ(from_ff[i], 0xFF) << "byte " << i;
                ++kept;
            } else {
                EXPECT_EQ(from_ff[i], from_zeros[i]) << "byte " << i;
            }
        }
        EXPECT_EQ(kept, 46u);
    }
}

TEST(InitializeHeader, SecondCallChangesNothing) {
    Record r;
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<unsigned char>(i * 37 + 11);
    Record once = r, twice = r;
    initialize_header11(reinterpret_cast<LAS11Header *>(once.data()));
    initialize_header11(reinterpret_cast<LAS11Header *>(twice.data()));
    initialize_header11(reinterpret_cast<LAS11Header *>(twice.data()));
    EXPECT_EQ(once, twice);
    LAS10Header h10;
    std::memset(&h10, 0xC3, sizeof h10);
    initialize_header10(&h10);
    LAS10Header again = h10;
    initialize_header10(&again);
    EXPECT_EQ(std::memcmp(&h10, &again, sizeof h10), 0);
    LAS12Header h12;
    std::memset(&h12, 0x5C, sizeof h12);
    initialize_header12(&h12);
    LAS12Header again12 = h12;
    initialize_header12(&again12);
    EXPECT_EQ(std::memcmp(&h12, &again12, sizeof h12), 0);
}

TEST(InitializeHeader, VersionsDifferInTheMinorVersionOnly) {
    for (unsigned char fill : {0x00, 0xFF, 0x5A}) {
        const Record a = kRoutines[0].run(fill), b = kRoutines[1].run(fill), c = kRoutines[2].run(fill);
        for (std::size_t i = 0; i < 227; ++i) {
            if (i == 25) continue;
            EXPECT_EQ(a[i], b[i]) << "byte " << i;
            EXPECT_EQ(b[i], c[i]) << "byte " << i;
        }
        EXPECT_EQ(a[25], 0);
        EXPECT_EQ(b[25], 1);
        EXPECT_EQ(c[25], 2);
    }
}

// Packed fields are compared as values (unary +): a reference to one may be
// misaligned.
TEST(InitializeHeader, FieldsReadThroughTheRecords) {
    LAS12Header h;
    std::memset(&h, 0xFF, sizeof h);
    initialize_header12(&h);
    EXPECT_STREQ(h.GeneratingSoftware, "Kelvane LiDAR Utilities");
    EXPECT_STREQ(h.SystemIdentifier, "");
    EXPECT_EQ(+h.HeaderSize, 227);
    EXPECT_EQ(+h.OffsetToData, 227u);
    EXPECT_EQ(+h.PointDataFormatID, 0);
    EXPECT_EQ(+h.PointDataRecordLength, 0);
    EXPECT_EQ(+h.NumberOfPointReturns, 0u);
    EXPECT_EQ(+h.XScaleFactor, 1.0);
    EXPECT_EQ(+h.ZOffset, 0.0);
    EXPECT_EQ(+h.MinZ, 0.0);

    LAS10Header h10;
    std::memset(&h10, 0xFF, sizeof h10);
    initialize_header10(&h10);
    EXPECT_EQ(+h10.Reserved, 0u);
    EXPECT_EQ(+h10.FlightDateJulian, 0);
    EXPECT_EQ(+h10.Year, 0);
    EXPECT_STREQ(h10.GeneratingSoftware, "Kelvane LiDAR Utilities");

    LAS11Header h11;
    std::memset(&h11, 0xFF, sizeof h11);
    initialize_header11(&h11);
    EXPECT_EQ(+h11.FileSourceID, 0);
    EXPECT_EQ(+h11.Reserved, 0);
    EXPECT_EQ(+h11.FileCreationDay, 0);
    EXPECT_EQ(+h11.FileCreationYear, 0);
}

// Format 0 needs 20-byte records, and the fresh header says 0.
TEST(InitializeHeader, FreshHeaderAloneIsRefusedForItsRecordLength) {
    ScratchDir dir;
    LAS12Header h;
    std::memset(&h, 0, sizeof h);
    initialize_header12(&h);
    Bytes bytes(227);
    std::memcpy(bytes.data(), &h, 227);
    const std::string path = dir / "fresh.las";
    write_file(path, bytes);
    LASType code = 1;
    EXPECT_EQ(captured_stdout([&] { code = check_las(path.c_str()); }),
              "\nData format of " + path + " (0) is incompatible with Length of Data Record (0)\n");
    EXPECT_EQ(code, -1);
}
