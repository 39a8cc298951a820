// The twenty routines are exported under their plain C names by the shared
// library and by the Zandrel executable, and the library exports nothing of
// its C++ internals.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace {

const char *const kExported[] = {
    "file_access",     "check_file_extension", "error_msg",           "check_las",
    "credits",         "update_header",        "initialize_header10", "initialize_header11",
    "initialize_header12", "l_qs",             "l_quicksort",         "d_qs",
    "d_quicksort",     "l_parallel_qs",        "l_parallel_quicksort", "d_parallel_qs",
    "d_parallel_quicksort", "check_numeric_argument", "check_DEM",    "check_YN",
};

struct Symbol {
    std::string name;
    char type;
};

// Defined dynamic symbols of a binary, as nm lists them.
std::vector<Symbol> dynamic_symbols(const std::string &path) {
    const std::string command = "nm -D --defined-only '" + path + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::vector<Symbol> symbols;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::string address, type, name;
        if (in >> address >> type >> name) symbols.push_back({name.substr(0, name.find('@')), type[0]});
    }
    if (pclose(pipe) != 0) throw std::runtime_error(command + " failed");
    return symbols;
}

void expect_all_exported_as_code(const std::string &path) {
    const auto symbols = dynamic_symbols(path);
    for (const char *name : kExported) {
        bool found = false;
        for (const auto &s : symbols)
            if (s.name == name) {
                found = true;
                EXPECT_EQ(s.type, 'T') << name << " in " << path;
            }
        EXPECT_TRUE(found) << name << " is not exported by " << path;
    }
}

}  // namespace

TEST(Exports, SharedLibraryResolvesEveryRoutine) {
    void *lib = dlopen(KELVANE_SHARED_LIB, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char *name : kExported) EXPECT_NE(dlsym(lib, name), nullptr) << name << ": " << dlerror();
    // The symbol is the routine itself.
    auto yn = reinterpret_cast<std::int16_t (*)(const char *)>(dlsym(lib, "check_YN"));
    ASSERT_NE(yn, nullptr);
    EXPECT_EQ(yn("y"), 0);
    dlclose(lib);
}

TEST(Exports, SharedLibraryAndExecutableListEveryRoutine) {
    expect_all_exported_as_code(KELVANE_SHARED_LIB);
    expect_all_exported_as_code(ZANDREL_EXE);
}

TEST(Exports, NoInternalSymbolsLeaveTheLibrary) {
    for (const auto &s : dynamic_symbols(KELVANE_SHARED_LIB))
        EXPECT_NE(s.name.rfind("_ZN7kelvane", 0), 0u) << s.name << " is exported";
    // Nothing but the twenty routines in the library's own code.
    const std::set<std::string> allowed(std::begin(kExported), std::end(kExported));
    for (const auto &s : dynamic_symbols(KELVANE_SHARED_LIB))
        if (s.type == 'T' || s.type == 't') {
            EXPECT_TRUE(allowed.count(s.name)) << s.name << " is exported";
        }
}
