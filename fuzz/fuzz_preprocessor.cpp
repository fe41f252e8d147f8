// Fuzz target: the whole program in-process over a fuzzed input file, a fuzzed file that the
// input may include, and a fuzzed choice of options. Input layout: two bytes of option bits
// (low byte first), then the main file, then FUZZ_SEPARATOR and the include file "inc.h".
// Every input runs twice, with plain source lines copied whole and with every line lexed token
// by token: the two outputs and statuses must be the same.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_harness.h"

namespace {

constexpr char FUZZ_SEPARATOR[] = "\n#--inc.h--\n";

// Bit i of the option word selects OPTION_BITS[i].
constexpr const char *OPTION_BITS[] = {"-m", "-C", "-noC", "-B", "-z", "-ansi",
                                       "-g", "-n", "-P",   "-e", "-c"};
constexpr int OPTION_BIT_COUNT = sizeof OPTION_BITS / sizeof OPTION_BITS[0];
constexpr int BIT_LIST_FILE = 11;   // -l=<dir>list.lis: the paged listing too
constexpr int BIT_C_NAME = 12;      // the main file is "main.c" ("//" starts a comment)
constexpr int BIT_DEPS = 13;        // --deps=<dir>main.d
constexpr int BIT_INCLUDE_DIR = 14; // -I<dir>: <inc.h> is found too
constexpr int BIT_FORTRAN = 15;     // --fortran (after the other options)

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return -1;
    int mark = fuzz_descriptor_mark();
    unsigned bits = data[0] | (static_cast<unsigned>(data[1]) << 8);
    data += 2;
    size -= 2;
    const std::uint8_t *end = data + size;
    const std::uint8_t *cut =
        std::search(data, end, FUZZ_SEPARATOR, FUZZ_SEPARATOR + sizeof FUZZ_SEPARATOR - 1);
    const char *main_name = (bits >> BIT_C_NAME & 1) != 0 ? "main.c" : "main.F";
    std::string main_path = fuzz_write_file(main_name, data, static_cast<std::size_t>(cut - data));
    const std::uint8_t *included = cut == end ? end : cut + sizeof FUZZ_SEPARATOR - 1;
    fuzz_write_file("inc.h", included, static_cast<std::size_t>(end - included));

    const std::string &dir = fuzz_work_dir();
    std::vector<std::string> arguments{"tfpp", "-nologo"};
    for (int i = 0; i < OPTION_BIT_COUNT; ++i)
        if ((bits >> i & 1) != 0) arguments.emplace_back(OPTION_BITS[i]);
    if ((bits >> BIT_LIST_FILE & 1) != 0) arguments.push_back("-l=" + dir + "list.lis");
    if ((bits >> BIT_DEPS & 1) != 0) arguments.push_back("--deps=" + dir + "main.d");
    if ((bits >> BIT_INCLUDE_DIR & 1) != 0) arguments.push_back("-I" + dir);
    if ((bits >> BIT_FORTRAN & 1) != 0) arguments.push_back("--fortran");
    arguments.push_back(main_path);
    arguments.push_back(dir + "out.f");
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    bool completed = false;
    int argc = static_cast<int>(argv.size()) - 1;
    int status = fuzz_run_program(argc, argv.data(), &completed);
    std::string copied = fuzz_read_file("out.f");
    fuzz_copy_plain_lines(false);
    int lexed_status = fuzz_run_program(argc, argv.data(), &completed);
    fuzz_copy_plain_lines(true);
    if (lexed_status != status || fuzz_read_file("out.f") != copied)
        fuzz_violation("copying plain lines whole changed the output or the status");
    static const char *const keep[] = {"main.F", "main.c", "inc.h", "list.lis", "main.d", "out.f",
                                       nullptr};
    fuzz_check_clean(mark, keep);
    return 0;
}
