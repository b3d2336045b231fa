// The library's operations are exported by name, with C linkage, from both
// the Quarlin executable and the shared library.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kOperations = {
    "file_access", "check_file_extension", "check_las", "error_msg", "credits",
};

// The defined dynamic symbols of a binary, by name.
std::set<std::string> exported_symbols(const std::string &binary) {
    const std::string command = "nm -D --defined-only '" + binary + "'";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    if (!pipe) return names;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    return names;
}

TEST(Exports, QuarlinAndSharedLibraryExportEveryOperation) {
    for (const char *binary : {TOLVREN_QUARLIN_PATH, TOLVREN_LIBRARY_PATH}) {
        SCOPED_TRACE(binary);
        const std::set<std::string> symbols = exported_symbols(binary);
        ASSERT_FALSE(symbols.empty()) << "nm found no symbols";
        for (const std::string &name : kOperations) EXPECT_EQ(symbols.count(name), 1u) << name;
    }
}

// Nothing else of ours leaks from the shared library: every other exported
// symbol belongs to the toolchain or the C++ runtime.
TEST(Exports, SharedLibraryExportsNothingElseOfOurs) {
    for (const std::string &name : exported_symbols(TOLVREN_LIBRARY_PATH)) {
        if (kOperations.count(name)) continue;
        const bool runtime = name.rfind("_Z", 0) == 0 || name.rfind("__", 0) == 0 || name == "_init" ||
                             name == "_fini" || name == "_edata" || name == "_end";
        EXPECT_TRUE(runtime) << "unexpected export " << name;
        EXPECT_EQ(name.find("olvren"), std::string::npos) << name;
    }
}

}  // namespace
