// Fuzz target: the #if evaluator. Each line of the input (at most 64) becomes the operand of an
// #if, then of an #elif, in a file that first defines a few object-like and function-like
// macros; the whole program runs over it in-process. The first byte adds -m (macros expanded
// in the text lines too, which also sees the operands' results written) when its low bit is set.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_harness.h"

namespace {

constexpr char PRELUDE[] = "#define ONE 1\n"
                           "#define ZERO 0\n"
                           "#define NEG (-1)\n"
                           "#define BIG 2147483647\n"
                           "#define UBIG 4294967295u\n"
                           "#define EMPTY\n"
                           "#define SELF SELF + 1\n"
                           "#define PLUS +\n"
                           "#define F(x) ((x) + 1)\n"
                           "#define G(a, b) a ## b\n"
                           "#define S(x) #x\n"
                           "#define DIV(a, b) ((a) / (b))\n"
                           "#define DEF defined(ONE)\n"
                           "#define NEST(x) F(F(x)) * G(O, NE)\n";

constexpr std::size_t MAX_LINES = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return -1;
    int mark = fuzz_descriptor_mark();
    bool expand = (data[0] & 1) != 0;
    std::string source = PRELUDE;
    const char *text = reinterpret_cast<const char *>(data + 1);
    const char *end = text + size - 1;
    for (std::size_t n = 0; text < end && n < MAX_LINES; ++n) {
        const char *newline = std::find(text, end, '\n');
        std::string operand(text, newline);
        source += "#if " + operand + "\n      t = ONE\n#elif " + operand +
                  "\n      e = ZERO\n#else\n      f = F(2)\n#endif\n";
        text = newline == end ? end : newline + 1;
    }
    std::string path = fuzz_write_file(
        "if.F", reinterpret_cast<const std::uint8_t *>(source.data()), source.size());
    std::vector<std::string> arguments{"tfpp", "-nologo"};
    if (expand) arguments.emplace_back("-m");
    arguments.push_back(path);
    arguments.emplace_back("/dev/null");
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    bool completed = false;
    fuzz_run_program(static_cast<int>(argv.size()) - 1, argv.data(), &completed);
    static const char *const keep[] = {"if.F", nullptr};
    fuzz_check_clean(mark, keep);
    return 0;
}
