// check_numeric_argument, check_DEM and check_YN: what each accepts, the
// exact messages, and the exit status of a rejection.
#include "child_process.h"
#include "test_support.h"

using namespace testing_support;
using module_tests::failed_with;
using module_tests::in_child;
using module_tests::returned_with;

namespace {

std::string invalid(const std::string &s) { return "\nInvalid argument value (" + s + ")\n"; }

const std::string kDemExtension =
    "\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n";
const std::string kDemHeader = "\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n";
std::string not_ext(const std::string &name, const char *ext) {
    return "\nFile extension of " + name + " is not ." + ext + "\n";
}

}  // namespace

TEST(CheckNumericArgument, AcceptsPlainDecimalNumbersOnly) {
    const char *accepted[] = {"250", "5", "-5", "-0", "-1.5", ".5", "5.", "5-", "1-2", "-.", "", "0123456789"};
    for (const char *s : accepted) {
        SCOPED_TRACE(std::string("'") + s + "'");
        EXPECT_EQ(in_child([&] { check_numeric_argument(s); }), returned_with(""));
    }
    const char *refused[] = {".", "-", "..", "1.2.3", "-5.5.", "--", "--5", "-.-", "+5", " 5", "5 ",
                             "1e5", "0x10", "1,5", "\x80", "5\xC3\xA9", "\xFF", "/", ":"};
    for (const char *s : refused) {
        SCOPED_TRACE(std::string("'") + s + "'");
        EXPECT_EQ(in_child([&] { check_numeric_argument(s); }), failed_with(invalid(s)));
    }
}

// Far beyond 65,535 characters the tests still cover the whole string: a
// second dot or a letter at the very end is found, and the check ends.
TEST(CheckNumericArgument, VeryLongArguments) {
    const std::string digits(70000, '7');
    struct Case {
        std::string arg;
        bool accepted;
    };
    const Case cases[] = {
        {digits, true},
        {"-" + digits + "." + digits, true},
        {digits + "x", false},
        {"." + std::string(65536, '1') + ".", false},
        {std::string(65536, '1') + "--", false},
        {"-" + digits + "-", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.arg.size()));
        EXPECT_EQ(in_child([&] { check_numeric_argument(c.arg.c_str()); }),
                  c.accepted ? returned_with("") : failed_with(invalid(c.arg)));
    }
}

TEST(CheckDEM, NamesAndCompanionHeaders) {
    ScratchDir dir;
    write_text(dir / "dem.hdr", "ncols 1\n");
    write_text(dir / "a.b.hdr", "ncols 1\n");
    const std::string with_hdr = dir / "dem.flt", dotted = dir / "a.b.flt";
    const std::string without_hdr = dir / "lone.flt";
    const std::string asc = dir / "nowhere.asc";  // never looked for
    const std::string upper_hdr = dir / "DEM.flt";   // DEM.hdr does not exist: case is kept
    struct Case {
        std::string name;
        module_tests::ChildResult expected;
    };
    const Case cases[] = {
        {asc, returned_with(not_ext(asc, "flt"))},
        {"x.asc", returned_with(not_ext("x.asc", "flt"))},
        {with_hdr, returned_with(not_ext(with_hdr, "asc"))},
        {dotted, returned_with(not_ext(dotted, "asc"))},
        {without_hdr, failed_with(not_ext(without_hdr, "asc") + "Unable to open file " + dir / "lone.hdr" +
                                  " in file_access()\n" + kDemHeader)},
        {upper_hdr, failed_with(not_ext(upper_hdr, "asc") + "Unable to open file " + dir / "DEM.hdr" +
                                " in file_access()\n" + kDemHeader)},
        {"dem.txt", failed_with(not_ext("dem.txt", "asc") + not_ext("dem.txt", "flt") + kDemExtension)},
        {"dem.ASC", failed_with(not_ext("dem.ASC", "asc") + not_ext("dem.ASC", "flt") + kDemExtension)},
        {"dem.FLT", failed_with(not_ext("dem.FLT", "asc") + not_ext("dem.FLT", "flt") + kDemExtension)},
        {".asc", failed_with("\nFile name (.asc) is too short\n\nFile name (.asc) is too short\n" + kDemExtension)},
        {"", failed_with("\nFile name () is too short\n\nFile name () is too short\n" + kDemExtension)},
        {"demasc",
         failed_with("\nExtension of file demasc should be preceeded by a dot (.)\n"
                     "\nExtension of file demasc should be preceeded by a dot (.)\n" +
                     kDemExtension)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(in_child([&] { check_DEM(c.name.c_str()); }), c.expected);
    }
}

// A name far beyond 79 characters, with its header beside it, is served
// whole; without its header it is refused with the header's full name.
TEST(CheckDEM, LongFloatingPointNames) {
    ScratchDir dir;
    const std::string core = dir / std::string(150, 'd');
    write_text(core + ".hdr", "ncols 1\n");
    const std::string flt = core + ".flt";
    ASSERT_GT(flt.size(), 79u);
    EXPECT_EQ(in_child([&] { check_DEM(flt.c_str()); }), returned_with(not_ext(flt, "asc")));
    const std::string missing = dir / (std::string(120, 'm') + ".flt");
    EXPECT_EQ(in_child([&] { check_DEM(missing.c_str()); }),
              failed_with(not_ext(missing, "asc") + "Unable to open file " + missing.substr(0, missing.size() - 4) +
                          ".hdr in file_access()\n" + kDemHeader));
}

TEST(CheckYN, OneLetterFlagsOnly) {
    for (const char *s : {"Y", "N", "y", "n"}) {
        SCOPED_TRACE(s);
        std::int16_t status = -2;
        EXPECT_EQ(captured_stdout([&] { status = check_YN(s); }), "");
        EXPECT_EQ(status, 0);
    }
    const std::string long_flag(70000, 'Y');
    for (const char *s : {"yes", "YES", "Yes", "Nn", "x", "", "Y ", " Y", "YY", "\xD9", long_flag.c_str()}) {
        SCOPED_TRACE(std::string(s).substr(0, 10));
        std::int16_t status = 0;
        EXPECT_EQ(captured_stdout([&] { status = check_YN(s); }), "\nASCII Header Flag should be either Y (y) or N (n)\n");
        EXPECT_EQ(status, -1);
    }
    // The process goes on after a refusal.
    EXPECT_EQ(in_child([] { check_YN("q"); }),
              returned_with("\nASCII Header Flag should be either Y (y) or N (n)\n"));
}
