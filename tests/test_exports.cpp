// The shared library exports exactly the functions declared with QUILLON_API in the public header.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <string>

namespace {

std::set<std::string> declared_functions()
{
    std::ifstream header(QUILLON_SOURCE_DIR "/include/quillon.h");
    std::set<std::string> names;
    // Declarations start their line: "QUILLON_API <type> name(...".
    const std::regex declaration(R"(^QUILLON_API[^(]*?\b([A-Za-z_][A-Za-z_0-9]*)\s*\()");
    std::smatch m;
    for (std::string line; std::getline(header, line);)
        if (std::regex_search(line, m, declaration)) names.insert(m[1]);
    return names;
}

}  // namespace

TEST(Exports, SharedLibraryExportsExactlyThePublicFunctions)
{
    FILE *nm = popen("nm -D --defined-only " QUILLON_BINARY_DIR "/libquillon.so 2>/dev/null", "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    char line[4096];
    while (fgets(line, sizeof line, nm)) {
        char kind = 0;
        char name[4096];
        if (sscanf(line, "%*s %c %4095s", &kind, name) == 2 && (kind == 'T' || kind == 'W')) exported.insert(name);
    }
    int status = pclose(nm);
    if (status != 0 || exported.empty()) GTEST_SKIP() << "nm or the shared library is not available";
    // The methods of the exported Detector class come as C++ symbols beside the C functions.
    std::set<std::string> functions, methods;
    for (const std::string &name : exported)
        (name.rfind("_ZN8Detector", 0) == 0 || name.rfind("_ZNK8Detector", 0) == 0 ? methods : functions).insert(name);
    EXPECT_EQ(functions, declared_functions());
    EXPECT_FALSE(methods.empty());
}
