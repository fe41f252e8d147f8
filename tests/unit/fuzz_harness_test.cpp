// Tests of the in-process runs the fuzz targets make: a run that ends through the fatal exit
// comes back to the caller, and whatever any run leaves (options, macros, guards, messages and
// their counts, open files, pools) is gone before the next, which behaves as in a fresh process.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_harness.h"

namespace {

struct RunResult {
    int status;
    bool completed;
    std::string output; // the output file
    std::string errors; // standard error
};

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write(const char *name, const std::string &text) {
    fuzz_write_file(name, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

// One run of the program over `input` (in the working folder) with `options` before it.
RunResult run(const std::vector<std::string> &options, const char *input) {
    const std::string &dir = fuzz_work_dir();
    std::vector<std::string> arguments{"tfpp", "-nologo"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(dir + input);
    arguments.push_back(dir + "out.txt");
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int mark = fuzz_descriptor_mark();
    RunResult result{};
    testing::internal::CaptureStderr();
    result.status =
        fuzz_run_program(static_cast<int>(argv.size()) - 1, argv.data(), &result.completed);
    result.errors = testing::internal::GetCapturedStderr();
    result.output = read_file(dir + "out.txt");
    static const char *const keep[] = {"self.F", "plain.F", "errors.F",  "guard.F",
                                       "g.h",    "out.txt", "fortran.F", nullptr};
    fuzz_check_clean(mark, keep);
    return result;
}

void expect_same(const RunResult &a, const RunResult &b) {
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.completed, b.completed);
    EXPECT_EQ(a.output, b.output);
    EXPECT_EQ(a.errors, b.errors);
}

const char PLAIN[] = "#define TWICE(x) x x\n"
                     "#ifdef FROM_GUARD\n"
                     "      leaked = 1\n"
                     "#endif\n"
                     "#include \"g.h\"\n"
                     "#error one error\n"
                     "      call TWICE(a)\n";

TEST(FuzzHarness, AFatalRunComesBackAndTheNextRunIsAsFresh) {
    write("plain.F", PLAIN);
    write("g.h", "#ifndef G_H\n#define G_H\n#define FROM_GUARD\n#endif\n");
    write("self.F", "#include \"self.F\"\n");
    RunResult fresh = run({"-m"}, "plain.F");
    EXPECT_EQ(fresh.status, 0);
    EXPECT_TRUE(fresh.completed);
    EXPECT_NE(fresh.output.find("call a a"), std::string::npos) << fresh.output;
    EXPECT_EQ(fresh.output.find("leaked"), std::string::npos) << fresh.output;
    EXPECT_NE(fresh.errors.find("one error"), std::string::npos) << fresh.errors;

    RunResult fatal = run({}, "self.F");
    EXPECT_EQ(fatal.status, 1);
    EXPECT_FALSE(fatal.completed);
    EXPECT_NE(fatal.errors.find("#include nested too deeply"), std::string::npos) << fatal.errors;

    expect_same(run({"-m"}, "plain.F"), fresh);
}

TEST(FuzzHarness, MessageCountsAndOptionsDoNotCarryOver) {
    // 150 errors pass the limit of 100: the run ends with "Too many". Counts that survived it
    // would end the next run at its first error.
    std::string errors;
    for (int i = 0; i < 150; ++i) errors += "#error e\n";
    write("errors.F", errors);
    write("plain.F", PLAIN);
    write("g.h", "#ifndef G_H\n#define G_H\n#define FROM_GUARD\n#endif\n");
    RunResult without_m = run({}, "plain.F");
    EXPECT_NE(without_m.output.find("call TWICE(a)"), std::string::npos) << without_m.output;

    RunResult too_many = run({"-m", "-C", "-g"}, "errors.F");
    EXPECT_EQ(too_many.status, 1);
    EXPECT_FALSE(too_many.completed);
    EXPECT_NE(too_many.errors.find("Too many"), std::string::npos);

    expect_same(run({}, "plain.F"), without_m);
}

TEST(FuzzHarness, FortranModeDoesNotCarryOver) {
    // Under --fortran the literal 'a\' is complete, the `!` comment is text and the blank after
    // an expansion is gone; the next run without it reads the file as a fresh process does.
    write("fortran.F", "#define N 1\n      x = 'a\\' // N ! N /*\n      y = N\n"
                       "#if 0\n! /*\n#endif\n      z = N\n");
    RunResult fresh = run({"-m"}, "fortran.F");
    RunResult fortran = run({"--fortran"}, "fortran.F");
    EXPECT_EQ(fortran.status, 0);
    EXPECT_NE(fortran.output.find("x = 'a\\' // 1 ! N /*\n      y = 1\n"), std::string::npos)
        << fortran.output;
    EXPECT_NE(fortran.output.find("z = 1\n"), std::string::npos) << fortran.output;
    EXPECT_NE(fortran.output, fresh.output);
    expect_same(run({"-m"}, "fortran.F"), fresh);
}

} // namespace
