// Tests of the command line: every option row's flags, the extension rule, the catalogued
// messages and the -extend_source messages, the -D/-U definitions file (its text and where it
// is made), the include directory lists, the list and trace files, and the refusal to write
// over the input or to cut over-long list names, --error-exit and the --deps dependency file.
// What a golden case shows is not repeated here.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/options.h"
#include "driver/outfile.h"
#include "fe/host.h"
#include "pp/pp.h"
#include "si/si.h"
#include "toolkit_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    if (!fs::is_directory(dir)) return names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    return names;
}

// What the definitions runner saw: the text of the definitions file and where it was made.
std::string definitions_text;
std::vector<std::string> watched_dirs;
std::string definitions_dir;

void capture_definitions() {
    definitions_text.clear();
    for (int c = si_get_char(); c != 3; c = si_get_char())
        definitions_text.push_back(static_cast<char>(c));
    definitions_dir.clear();
    for (const std::string &dir : watched_dirs) {
        for (const std::string &name : entries(dir)) {
            if (name.find("cp") != std::string::npos && name.size() >= 8) definitions_dir = dir;
        }
    }
}

struct ParseResult {
    bool ok;
    std::string out; // the failure lines the command line printed (on standard error)
};

// Runs the command line in a fresh working folder holding the empty inputs a.F and sub/b.F,
// with TMPDIR pointing at a folder of its own.
class CommandLineTest : public ToolkitTest {
  protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        char pattern[] = "/tmp/tfpp-cmdline-XXXXXX";
        base_ = mkdtemp(pattern);
        fs::create_directories(base_ + "/run/sub");
        fs::create_directories(base_ + "/tmp");
        fs::create_directories(base_ + "/mdir");
        fs::create_directories(base_ + "/tdir");
        std::ofstream(base_ + "/run/a.F").close();
        std::ofstream(base_ + "/run/sub/b.F").close();
        old_cwd_ = fs::current_path();
        fs::current_path(base_ + "/run");
        if (const char *old = std::getenv("TMPDIR")) old_tmpdir_ = old;
        setenv("TMPDIR", (base_ + "/tmp").c_str(), 1);
        watched_dirs = {base_ + "/tmp", base_ + "/mdir", base_ + "/tdir", base_};
        // The main input is pushed on the preprocessor's file inclusion stack.
        pp_initialize();
        options_set_definitions_runner(capture_definitions);
    }
    void TearDown() override {
        close_streams();
        options_set_definitions_runner(nullptr);
        fs::current_path(old_cwd_);
        if (old_tmpdir_)
            setenv("TMPDIR", old_tmpdir_->c_str(), 1);
        else
            unsetenv("TMPDIR");
        fs::remove_all(base_);
        pp_check_open_groups();
        ToolkitTest::TearDown();
        options_set_defaults();
    }

    ParseResult parse(const std::vector<std::string> &args) {
        close_streams();
        std::vector<std::string> storage = {"tfpp"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &arg : storage) argv.push_back(arg.data());
        argv.push_back(nullptr);
        StreamHandle stream = STREAM_NULL;
        std::uint8_t copied = 0;
        definitions_text = "<not run>";
        definitions_dir.clear();
        ::testing::internal::CaptureStderr();
        bool ok =
            parse_command_line(static_cast<int>(storage.size()), argv.data(), &stream, &copied);
        std::string out = ::testing::internal::GetCapturedStderr();
        opened_ = ok;
        return {ok, out};
    }

    // Closes what a parse opened, so that every parse starts from a clean table.
    void close_streams() {
        if (opened_) si_close_stream();
        opened_ = false;
        // Closes the named files and removes their temporary files (nothing was committed).
        options_reset();
        fe_set_trace_stream(stdout);
    }

    std::string base_;
    bool opened_ = false;
    fs::path old_cwd_;
    std::optional<std::string> old_tmpdir_;
};

// ---- Flags ------------------------------------------------------------------------------------

using FlagValues = std::map<std::string, long>;

FlagValues current_flags() {
    FlagValues values;
#define OPTION_SWITCH(name, initial, ansi) values[#name] = name;
#define OPTION_FLAG(type, name, initial, ansi) values[#name] = name;
#include "pp/pp_options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH
    values["lex-debug"] = fe_get_flag(FE_FLAG_LEX_DEBUG);
    values["lex-trace"] = fe_get_flag(FE_FLAG_LEX_TRACE);
    return values;
}

// The documented values after a command line naming only a Fortran input: the start-up values,
// with "//" decided as text by the extension and __STDC__ computed as 0.
const FlagValues documented_defaults = {
    {"red_directive_severity", 0},
    {"output_comments", 1},
    {"endif_comments", 1},
    {"string_parms", 0},
    {"string_trigraphs", 0},
    {"pushd_include", 0},
    {"user_defined_sys_include", 1},
    {"esc_filename", 0},
    {"output_unix_line", 1},
    {"output_ansi_line", 0},
    {"compress_newlines", 0},
    {"warn_comment_pasting", 0},
    {"warn_unix_line", 0},
    {"dollar_ident", 1},
    {"double_slash_comments", 0},
    {"token_spacing", 0},
    {"show_banner", 1},
    {"expand_macros", 0},
    {"stdc_value", 0},
    {"fixed_line_length", 72},
    {"strip_c_comments", 0},
    {"fortran_comments", 0},
    {"fortran_literals", 0},
    {"fortran_lines", 0},
    {"fortran_spacing", 0},
    {"source_form", 0},
    {"fortran_operators", 0},
    {"variadic_macros", 0},
    {"fold_lines", 0},
    {"line_length", 0},
    {"continued_calls", 0},
    {"lex-debug", 0},
    {"lex-trace", 0},
};

// What the lexing and line part of the Fortran mode turns on, with its operators and variadic
// macros.
const FlagValues fortran_lexing = {
    {"strip_c_comments", 1}, {"fortran_comments", 1}, {"fortran_literals", 1},
    {"fortran_lines", 1},    {"fortran_spacing", 1},  {"fortran_operators", 1},
    {"variadic_macros", 1},  {"fold_lines", 1},       {"continued_calls", 1},
};

const FlagValues ansi_set = {
    {"red_directive_severity", 0},
    {"output_comments", 0},
    {"endif_comments", 0},
    {"string_parms", 0},
    {"string_trigraphs", 1},
    {"pushd_include", 0},
    {"user_defined_sys_include", 0},
    {"esc_filename", 0},
    {"output_unix_line", 0},
    {"output_ansi_line", 0},
    {"compress_newlines", 0},
    {"warn_unix_line", 1},
    {"dollar_ident", 0},
    {"stdc_value", 1},
};

FlagValues with(FlagValues base, const FlagValues &changes) {
    for (const auto &[name, value] : changes) base[name] = value;
    return base;
}

struct FlagCase {
    std::vector<std::string> args; // before the input a.F
    FlagValues changes;            // from documented_defaults
};

TEST_F(CommandLineTest, EveryOptionSetsItsFlags) {
    const FlagValues ansi = ansi_set;
    const std::vector<FlagCase> cases = {
        {{}, {}},
        {{"-a"}, {{"output_unix_line", 0}, {"output_ansi_line", 1}}},
        {{"-aX"}, {}},
        {{"-P"}, {{"output_unix_line", 0}, {"output_ansi_line", 0}}},
        {{"-a", "-P"}, {{"output_unix_line", 0}, {"output_ansi_line", 0}}},
        {{"-ansi"}, ansi},
        {{"-e", "-p", "-Q", "-n", "-C", "-ansi"}, ansi},
        {{"-ansi", "-i"}, with(ansi, {{"string_trigraphs", 0}, {"stdc_value", 0}})},
        {{"-ansi", "-s="}, with(ansi, {{"stdc_value", 0}})},
        {{"-ansi", "-C", "-e"},
         with(ansi, {{"output_comments", 1}, {"red_directive_severity", 1}})},
        {{"-B"}, {{"double_slash_comments", 1}}},
        {{"-noB"}, {}},
        {{"-c"}, {{"endif_comments", 0}}},
        {{"-noC"}, {{"output_comments", 0}}},
        {{"-noC", "-Cx"}, {}},
        {{"-e"}, {{"red_directive_severity", 1}}},
        {{"-f", "-i", "-q", "-x", "-xs", "-xd", "-traditional", "-undef", "-uX", "-nX"}, {}},
        {{"-g"}, {{"token_spacing", 1}}},
        {{"-p"}, {{"pushd_include", 1}}},
        {{"-Q"}, {{"esc_filename", 1}}},
        {{"-u"}, {{"user_defined_sys_include", 0}}},
        {{"-w"}, {{"warn_comment_pasting", 1}}},
        {{"-W"}, {{"warn_unix_line", 1}}},
        {{"-z"}, {{"dollar_ident", 0}}},
        {{"-c", "-u", "-z", "-W"},
         {{"endif_comments", 0},
          {"user_defined_sys_include", 0},
          {"dollar_ident", 0},
          {"warn_unix_line", 1}}},
        {{"-m"}, {{"expand_macros", 1}}},
        {{"--fortran"}, with(fortran_lexing, {{"expand_macros", 1}, {"pushd_include", 1}})},
        {{"--fortran", "--no-fortran-spacing", "-nom"},
         with(fortran_lexing, {{"fortran_spacing", 0}, {"pushd_include", 1}})},
        {{"--strip-c-comments"}, {{"strip_c_comments", 1}}},
        // -C and -noC after it bring the C comments back (copied, or a blank each).
        {{"--fortran", "-C"},
         with(fortran_lexing,
              {{"expand_macros", 1}, {"strip_c_comments", 0}, {"pushd_include", 1}})},
        {{"--fortran", "-noC"},
         with(fortran_lexing, {{"expand_macros", 1},
                               {"strip_c_comments", 0},
                               {"output_comments", 0},
                               {"pushd_include", 1}})},
        {{"-C", "--fortran"}, with(fortran_lexing, {{"expand_macros", 1}, {"pushd_include", 1}})},
        {{"--fortran-comments"}, {{"fortran_comments", 1}}},
        {{"--fortran-literals"}, {{"fortran_literals", 1}}},
        {{"--fortran-lines"}, {{"fortran_lines", 1}}},
        {{"--fortran-spacing"}, {{"fortran_spacing", 1}}},
        {{"--fortran-operators"}, {{"fortran_operators", 1}}},
        {{"--variadic-macros"}, {{"variadic_macros", 1}}},
        {{"--variadic-macros", "--fortran-operators", "--no-variadic-macros"},
         {{"fortran_operators", 1}}},
        {{"--fortran", "--no-fortran-operators", "--no-variadic-macros"},
         with(fortran_lexing, {{"expand_macros", 1},
                               {"pushd_include", 1},
                               {"fortran_operators", 0},
                               {"variadic_macros", 0}})},
        {{"--fortran-lines", "--no-fortran-lines", "--no-strip-c-comments"}, {}},
        {{"--form=fixed"}, {{"source_form", 1}}},
        {{"--fortran", "--no-fold", "--no-continued-calls", "-nom"},
         with(fortran_lexing, {{"fold_lines", 0}, {"continued_calls", 0}, {"pushd_include", 1}})},
        {{"--fold", "--continued-calls"}, {{"fold_lines", 1}, {"continued_calls", 1}}},
        {{"--line-length=100"}, {{"line_length", 100}}},
        // Too small for a fixed-form continuation, not a number, too large: refused.
        {{"--line-length=100", "--line-length=15", "--line-length=", "--line-length=9x",
          "--line-length=99999999999"},
         {{"line_length", 100}}},
        {{"--form=fixed", "--form=free"}, {{"source_form", 2}}},
        {{"--form=fixed", "--form=wide", "--no-fortran-x", "--fortran-"}, {{"source_form", 1}}},
        {{"-m=dir/"}, {{"expand_macros", 1}}},
        {{"-m", "-nom"}, {}},
        {{"-n"}, {{"compress_newlines", 1}}},
        {{"-nologo"}, {{"show_banner", 0}}},
        {{"-s"}, {{"stdc_value", 1}}},
        {{"-s="}, {}},
        {{"-s=0x10"}, {{"stdc_value", 16}}},
        {{"-s=010"}, {{"stdc_value", 8}}},
        {{"-s=-3"}, {{"stdc_value", -3}}},
        {{"-s=99999999999"}, {{"stdc_value", 2147483647}}},
        {{"-s=7", "-s"}, {{"stdc_value", 1}}},
        {{"-extend_source", "132"}, {{"fixed_line_length", 132}}},
        {{"-extend_source", "abc"}, {}},
        {{"-extend_source", "99999999999"}, {}},
        {{"-d"}, {{"lex-debug", 1}}},
        {{"-dl"}, {{"lex-debug", 1}}},
        {{"-db", "-db=2", "-dbtx", "-dbs", "-dbv"}, {}},
        {{"-t"}, {{"lex-trace", 1}}},
        {{"-tl"}, {{"lex-trace", 1}}},
    };
    for (const FlagCase &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("a.F");
        fe_set_flag(FE_FLAG_LEX_DEBUG, 0);
        fe_set_flag(FE_FLAG_LEX_TRACE, 0);
        ParseResult result = parse(args);
        std::string label = ::testing::PrintToString(c.args);
        EXPECT_TRUE(result.ok) << label;
        EXPECT_EQ(current_flags(), with(documented_defaults, c.changes)) << label;
    }
}

TEST_F(CommandLineTest, ExtensionDecidesDoubleSlashUnlessAnOptionDid) {
    const std::vector<std::pair<std::vector<std::string>, long>> cases = {
        {{"x.F"}, 0},         {{"x.f"}, 0},         {{"x.f90"}, 0},     {{"x.FOR"}, 0},
        {{"x.c"}, 1},         {{"x"}, 1},           {{"dir.f/x"}, 1},   {{"x.F.c"}, 1},
        {{"sub.c/x.F"}, 0},   {{"x.F", "-B"}, 1},   {{"-B", "x.F"}, 1}, {{"-noB", "x.f"}, 0},
        {{"x.c", "-noB"}, 0}, {{"-noB", "x.c"}, 0},
    };
    for (const auto &[args, expected] : cases) {
        parse(args); // the files do not exist: only the flag matters here
        EXPECT_EQ(double_slash_comments, expected) << ::testing::PrintToString(args);
    }
}

// ---- Messages ---------------------------------------------------------------------------------

std::vector<std::string> stored() {
    std::vector<std::string> lines;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) {
        lines.push_back(std::to_string(m->severity) + std::string(m->id) + ": " + m->text);
        m->printed = 1;
    }
    msg_clear_messages();
    return lines;
}

TEST_F(CommandLineTest, UnknownFormsAreReportedAndReadingGoesOn) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        // (The plain 3UNREC and 3BADDEBUG forms are golden cases under tests/cli/options.)
        // A list file already open makes every later -l form silent, the bad ones included.
        {{"-l=first.lis", "-lx", "-l=second.lis"}, {}},
        // Once traces go to a file, the whole -t family is ignored.
        {{"-t=trace.txt", "-tx", "-temp="}, {}},
        {{"out.f", "third.F", "-M"},
         {"3MANYFILES: Too many files on command line, argument 'third.F'",
          "3UNREC: Unrecognized option '-M'"}},
        // The Fortran-mode pairs take no value and --form= only its two forms.
        {{"--form=wide", "--fortran-comments=1", "--no-fortran", "--form"},
         {"3UNREC: Unrecognized option '--form=wide'",
          "3UNREC: Unrecognized option '--fortran-comments=1'",
          "3UNREC: Unrecognized option '--no-fortran'", "3UNREC: Unrecognized option '--form'"}},
        {{"-extend_source"}, {"3: Missing number after '-extend_source'"}},
        {{"-extend_source", "-M"}, {"3: Invalid number '-M' after '-extend_source'"}},
        {{"out.f", "-extend_source", "-extend_source", "8"},
         {"3: Invalid number '-extend_source' after '-extend_source'",
          "3MANYFILES: Too many files on command line, argument '8'"}},
    };
    for (const auto &[args, expected] : cases) {
        std::vector<std::string> line = {"a.F"};
        line.insert(line.end(), args.begin(), args.end());
        ParseResult result = parse(line);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(stored(), expected) << ::testing::PrintToString(args);
    }
    EXPECT_FALSE(fs::exists("second.lis"));
}

// ---- Definitions file -------------------------------------------------------------------------

TEST_F(CommandLineTest, DefinitionsAreWrittenDefinesFirst) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-DX"}, "#define X 1\n"},
        {{"-DX="}, "#define X \n"},
        {{"-DX=a=b"}, "#define X a=b\n"},
        {{"-D=1"}, ""},
        {{"-D", "Y=2"}, "#define Y 2\n"},
        {{"-D-X"}, ""},
        {{"-D_9x"}, "#define _9x 1\n"},
        {{"-DF(a,b)=a+b"}, "#define F ( a , b ) a+b\n"},
        {{"-DF(a)"}, "#define F ( a ) 1\n"},
        {{"-DP=100%d"}, "#define P 100%d\n"},
        {{"-DL=a\nb", "-DM\r=1"}, "#define L a b\n#define M  1\n"},
        {{"-UX", "-DX=2"}, "#define X 2\n#undef X\n"},
        {{"-UY(z)=1", "-U=1", "-U", "B", "-DA", "-UA"},
         "#define A 1\n#undef Y\n#undef B\n#undef A\n"},
    };
    for (const auto &[args, expected] : cases) {
        std::vector<std::string> line = args;
        line.push_back("a.F");
        ASSERT_TRUE(parse(line).ok);
        EXPECT_EQ(definitions_text, expected) << ::testing::PrintToString(args);
        EXPECT_EQ(definitions_dir, base_ + "/tmp");
        EXPECT_TRUE(entries(base_ + "/tmp").empty()) << "the definitions file is deleted";
    }
    parse({"a.F"});
    EXPECT_EQ(definitions_text, "<not run>") << "no -D or -U, no definitions file";
}

TEST_F(CommandLineTest, DefinitionsFileDirectory) {
    const std::string mdir = base_ + "/mdir/";
    const std::string tdir = base_ + "/tdir";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-DX", "-m=" + mdir}, base_ + "/mdir"},
        {{"-m=" + mdir, "-DX"}, base_ + "/tmp"},  // only a -m= after the -D counts
        {{"-UX", "-m=" + mdir}, base_ + "/mdir"}, // -U looks ahead from its own place
        {{"-temp=" + tdir, "-DX", "-m=" + mdir}, base_ + "/tdir"},
        {{"-DX", "-temp=" + tdir}, base_ + "/tmp"}, // -temp= must come first
        {{"-DX", "-m=" + base_ + "/missing/"}, base_ + "/tmp"},
        {{"-DX", "-m=" + base_ + "/mdir"}, base_}, // verbatim: "<base>/mdircpXXXXXX"
        {{"-temp=" + base_ + "/missing", "-DX"}, base_ + "/tmp"},
        {{"-t=trace.txt", "-temp=" + tdir, "-DX"}, base_ + "/tmp"},
        {{"-temp=" + std::string(1100, 'd'), "-DX"}, base_ + "/tmp"},
    };
    for (const auto &[args, expected] : cases) {
        std::vector<std::string> line = args;
        line.push_back("a.F");
        ASSERT_TRUE(parse(line).ok) << ::testing::PrintToString(args);
        EXPECT_EQ(definitions_dir, expected) << ::testing::PrintToString(args);
        EXPECT_TRUE(definitions_text == "#define X 1\n" || definitions_text == "#undef X\n")
            << definitions_text;
        for (const std::string &dir : watched_dirs) {
            for (const std::string &name : entries(dir))
                EXPECT_EQ(name.find("cp"), std::string::npos) << dir << "/" << name << " left";
        }
    }
}

// ---- Include lists ----------------------------------------------------------------------------

std::vector<std::string> list_of(char **dirs) {
    std::vector<std::string> names;
    for (char **p = dirs; *p != nullptr; ++p) names.emplace_back(*p);
    return names;
}

TEST_F(CommandLineTest, IncludeListsKeepOrderAndEndInSlash) {
    // A bare -I or -S takes the next argument; -iquote directories come before every -I one;
    // -isystem and -idirafter join the -S list in command-line order.
    ASSERT_TRUE(parse({"-Iinc", "-I", "-bare", "-Sone/", "sub/b.F", "-I/abs/two/", "-S", "sys",
                       "-Sthree", "-iquote", "q", "-isystem", "isys", "-idirafter", "after"})
                    .ok);
    EXPECT_EQ(list_of(include_dirs),
              (std::vector<std::string>{"sub/", "q/", "inc/", "-bare/", "/abs/two/"}));
    EXPECT_EQ(list_of(sys_include_dirs),
              (std::vector<std::string>{"one/", "sys/", "three/", "isys/", "after/"}));
    EXPECT_EQ(quote_include_count, 1);
    EXPECT_TRUE(stored().empty());

    // A bare -I, -S, -D or -U as the last argument has nothing to take.
    for (const char *last : {"-I", "-S", "-D", "-U", "-o", "-include", "-MF"}) {
        ASSERT_TRUE(parse({"a.F", last}).ok) << last;
        EXPECT_EQ(stored(), std::vector<std::string>{std::string("3UNREC: Unrecognized option '") +
                                                     last + "'"});
    }

    ASSERT_TRUE(parse({"a.F"}).ok);
    EXPECT_EQ(include_dirs[0], std::string());
    EXPECT_EQ(include_dirs[1], nullptr);
    EXPECT_EQ(sys_include_dirs[0], nullptr);

    // The number read by -extend_source is never an option, nor the input.
    ASSERT_TRUE(parse({"-extend_source", "-Inot", "a.F"}).ok);
    EXPECT_EQ(list_of(include_dirs), std::vector<std::string>{""});
}

// ---- List and trace files ---------------------------------------------------------------------

TEST_F(CommandLineTest, ListFileNameAndHeader) {
    setenv("SOURCE_DATE_EPOCH", "0", 1);
    const std::string header_tail =
        "\n\n----- C Front End List -----\n\nThu Jan  1 00:00:00 1970\n\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-l", "a.F"}, "a.lis"},
        {{"a.F", "-l"}, "a.lis"},
        {{"-l", "sub/b.F"}, "b.lis"},
        {{"-l", "-extend_source", "80", "a.F"}, "a.lis"},
        {{"-l=my.list", "a.F"}, "my.list"},
        {{"-l=first.lis", "-l", "a.F"}, "first.lis"},
        {{"-l", (fs::current_path() / "sub/b.F").string()}, "b.lis"},
    };
    for (const auto &[args, name] : cases) {
        ASSERT_TRUE(parse(args).ok);
        ASSERT_NE(list_stream, nullptr);
        ASSERT_NE(list_stream, stderr);
        EXPECT_FALSE(fs::exists(name)) << "made only at the end of the run";
        EXPECT_TRUE(options_finish_output_files());
        EXPECT_EQ(read_file(name), "List output file: '" + name + "'" + header_tail)
            << ::testing::PrintToString(args);
        close_streams();
        fs::remove(name);
    }
    unsetenv("SOURCE_DATE_EPOCH");

    // An input name without a '.' gets ".lis" appended.
    std::ofstream("x").close();
    ASSERT_TRUE(parse({"-l", "x"}).ok);
    EXPECT_TRUE(options_finish_output_files());
    EXPECT_TRUE(fs::exists("x.lis"));

    // Standard input has no name: a plain -l lists on standard error.
    ASSERT_TRUE(parse({"-l", "-"}).ok);
    EXPECT_EQ(list_stream, stderr);
}

TEST_F(CommandLineTest, TraceFileHeaderAndStream) {
    ASSERT_TRUE(parse({"-t=trace.txt", "-t", "a.F"}).ok);
    EXPECT_NE(dump_stream, stderr);
    EXPECT_EQ(fe_get_trace_stream(), dump_stream);
    EXPECT_EQ(fe_get_flag(FE_FLAG_LEX_TRACE), 1);
    EXPECT_TRUE(options_finish_output_files());
    EXPECT_EQ(read_file("trace.txt"),
              "Trace output file: 'trace.txt'\n\n----- C Front End Trace -----\n\n");

    // A trace file that cannot be made ends the run before it starts.
    ParseResult result = parse({"-tl=nodir/t.txt", "a.F"});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.out, "Can't open trace output file 'nodir/t.txt'.\n");
}

// ---- Files that must not be written -----------------------------------------------------------

TEST_F(CommandLineTest, NothingIsWrittenOverASource) {
    { std::ofstream("keep.F") << "      x = 1\n"; }
    { std::ofstream("other.F90") << "x = 2\n"; }
    const std::string input = "tfpp: refusing to write the %s 'keep.F': it is the input file\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"keep.F", "keep.F"},
         "tfpp: refusing to write the output file 'keep.F': it is the input file\n"},
        {{"keep.F", "./keep.F"},
         "tfpp: refusing to write the output file './keep.F': it is the input file\n"},
        {{"-l=keep.F", "keep.F"},
         "tfpp: refusing to write the list file 'keep.F': it is the input file\n"},
        {{"-t=keep.F", "keep.F"},
         "tfpp: refusing to write the trace file 'keep.F': it is the input file\n"},
        {{"-o", "other.F90", "a.F"},
         "tfpp: refusing to write the output file 'other.F90': it is a Fortran source that "
         "needs preprocessing\n"},
        {{"-l=x.lis", "a.F", "./x.lis"},
         "tfpp: refusing to write the output file and the list file to the same file "
         "'x.lis'\n"},
        {{"--deps=o.f", "a.F", "o.f"},
         "tfpp: refusing to write the output file and the dependency file to the same file "
         "'o.f'\n"},
    };
    for (const auto &[args, out] : cases) {
        ParseResult result = parse(args);
        EXPECT_FALSE(result.ok) << ::testing::PrintToString(args);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(read_file("keep.F"), "      x = 1\n");
        EXPECT_EQ(read_file("other.F90"), "x = 2\n");
        EXPECT_FALSE(fs::exists("x.lis"));
        EXPECT_FALSE(fs::exists("o.f"));
    }
    // A Fortran source that does not need preprocessing (.f, .f90) may be written.
    ParseResult result = parse({"keep.F", "out.f"});
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(output_stream, stdout);
}

TEST_F(CommandLineTest, OverLongNamesAreRefusedWhole) {
    // "./" repeated names an existing folder, but by a name longer than the buffers hold.
    std::string dots;
    for (int i = 0; i < 520; ++i) dots += "./";
    std::string stem(1100, 'x');
    ParseResult result = parse({"-l", stem + ".F"});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.out, "Can't open source file: '" + stem + ".F'.\n");

    result = parse({"-l=" + dots + "list.lis", "a.F"});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.out, "Can't open list output file '" + dots + "list.lis'.\n");
    EXPECT_FALSE(fs::exists("list.lis"));
}

} // namespace

// ---- Options for builds -----------------------------------------------------------------------

TEST_F(CommandLineTest, ErrorExitIsSetAndResetWithTheOtherFlags) {
    ASSERT_TRUE(parse({"--error-exit", "a.F"}).ok);
    EXPECT_EQ(error_exit, 1);
    EXPECT_TRUE(stored().empty());
    ASSERT_TRUE(parse({"a.F"}).ok);
    EXPECT_EQ(error_exit, 0);
}

// The long switches: --fortran sets all of them where it stands, a later --no-NAME or short
// option changes one, an earlier one is overridden; a new run starts with all of them off.
TEST_F(CommandLineTest, FortranModeSetsItsSwitchesLeftToRight) {
    auto long_flags = [] {
        return std::vector<int>{expand_macros,         pushd_include,     pragma_once,
                                push_pop_macro,        warning_directive, error_is_error,
                                function_like_defines, error_exit};
    };
    const std::vector<std::pair<std::vector<std::string>, std::vector<int>>> cases = {
        {{}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {{"--fortran"}, {1, 1, 1, 1, 1, 1, 1, 1}},
        {{"--fortran", "-nom"}, {0, 1, 1, 1, 1, 1, 1, 1}},
        {{"-nom", "--fortran"}, {1, 1, 1, 1, 1, 1, 1, 1}},
        {{"--fortran", "--no-includer-dir-first", "--no-error-exit"}, {1, 0, 1, 1, 1, 1, 1, 0}},
        {{"--fortran", "--no-pragma-once", "--no-push-pop-macro", "--no-warning-directive"},
         {1, 1, 0, 0, 0, 1, 1, 1}},
        {{"--fortran", "--no-error-is-error", "--no-function-like-defines", "--no-expand-macros"},
         {0, 1, 1, 1, 1, 0, 0, 1}},
        {{"--expand-macros", "--includer-dir-first", "--pragma-once"}, {1, 1, 1, 0, 0, 0, 0, 0}},
        {{"--push-pop-macro", "--warning-directive", "--error-is-error", "--function-like-defines",
          "--error-exit"},
         {0, 0, 0, 1, 1, 1, 1, 1}},
        {{"--pragma-once", "--no-pragma-once"}, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto &[args, expected] : cases) {
        std::vector<std::string> line = args;
        line.push_back("a.F");
        ASSERT_TRUE(parse(line).ok);
        EXPECT_EQ(long_flags(), expected) << ::testing::PrintToString(args);
        EXPECT_TRUE(stored().empty()) << ::testing::PrintToString(args);
    }
    ASSERT_TRUE(parse({"--fortran", "-C", "a.F"}).ok);
    EXPECT_EQ(output_comments, 1) << "--fortran leaves the comment switch to later options";
}

// After --fortran (or --function-like-defines) a parameter list stays next to the name, so
// the macro is function-like; before it, the list is still spread into an object-like body.
TEST_F(CommandLineTest, FunctionLikeDefinesFollowTheSwitchWhereItStands) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--fortran", "-DF(a,b)=a+b"}, "#define F(a,b) a+b\n"},
        {{"--function-like-defines", "-DF(a, b)"}, "#define F(a, b) 1\n"},
        {{"--fortran", "-DF (a)=a"}, "#define F (a) a\n"},
        {{"-DF(a)=a", "--fortran", "-DG(b)=b", "--no-function-like-defines", "-DH(c)=c"},
         "#define F ( a ) a\n#define G(b) b\n#define H ( c ) c\n"},
    };
    for (const auto &[args, expected] : cases) {
        std::vector<std::string> line = args;
        line.push_back("a.F");
        ASSERT_TRUE(parse(line).ok);
        EXPECT_EQ(definitions_text, expected) << ::testing::PrintToString(args);
    }
}

// The depfile: names escaped for make, each included file once in first-entered order, a
// phony rule for each, written through a temporary file that does not stay behind.
TEST_F(CommandLineTest, DependencyFileListsEachIncludedFileOnce) {
    fs::create_directories("deps");
    std::ofstream("deps/a.d") << "stale: old\n";
    ASSERT_TRUE(parse({"--deps=deps/a.d", "a.F", "out dir.f"}).ok);
    for (const char *path : {"inc/x y.h", "b$#.h", "inc/x y.h", "sub/c.h", "b$#.h"})
        deps_record(path, false);
    EXPECT_TRUE(options_write_depfile());
    // Nothing replaces the old file before the end of the run.
    EXPECT_EQ(read_file("deps/a.d"), "stale: old\n");
    EXPECT_TRUE(options_finish_output_files());
    EXPECT_TRUE(stored().empty());
    EXPECT_EQ(read_file("deps/a.d"), "out\\ dir.f: a.F \\\n"
                                     "  inc/x\\ y.h \\\n"
                                     "  b$$\\#.h \\\n"
                                     "  sub/c.h\n"
                                     "\n"
                                     "inc/x\\ y.h:\n"
                                     "\n"
                                     "b$$\\#.h:\n"
                                     "\n"
                                     "sub/c.h:\n");
    EXPECT_EQ(entries("deps"), std::vector<std::string>{"a.d"});
}

// The dependency options of GNU cpp give the file --deps gives.
TEST_F(CommandLineTest, GnuDependencyOptionsWriteTheDepsFile) {
    auto depfile = [&](const std::vector<std::string> &args, const std::string &name) {
        EXPECT_TRUE(parse(args).ok) << ::testing::PrintToString(args);
        deps_record("inc/x.h", false);
        deps_record("/usr/include/sys.h", true);
        options_write_depfile();
        EXPECT_TRUE(options_finish_output_files());
        return read_file(name);
    };
    std::string deps = depfile({"--deps=a.d", "a.F", "a.f"}, "a.d");
    EXPECT_EQ(deps, "a.f: a.F \\\n  inc/x.h \\\n  /usr/include/sys.h\n\ninc/x.h:\n\n"
                    "/usr/include/sys.h:\n");
    EXPECT_EQ(depfile({"-MD", "-MF", "b.d", "-o", "a.f", "a.F"}, "b.d"), deps);
    // -MD alone: named after the output; -MMD leaves out the system header.
    EXPECT_EQ(depfile({"-MD", "-MP", "-o", "sub/c.f", "a.F"}, "sub/c.d"),
              "sub/c.f: a.F \\\n  inc/x.h \\\n  /usr/include/sys.h\n\ninc/x.h:\n\n"
              "/usr/include/sys.h:\n");
    EXPECT_EQ(depfile({"-MMD", "-o", "e.f", "a.F"}, "e.d"), "e.f: a.F \\\n  inc/x.h\n\ninc/x.h:\n");
    // Standard output: after the input's base name, with the target from -MT.
    EXPECT_EQ(depfile({"-MD", "-MT", "t.o", "sub/b.F"}, "b.d"),
              "t.o: sub/b.F \\\n  inc/x.h \\\n  /usr/include/sys.h\n\ninc/x.h:\n\n"
              "/usr/include/sys.h:\n");
    // -MF without a target: no depfile, and the run fails at its end.
    ASSERT_TRUE(parse({"-MF", "n.d", "a.F"}).ok);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(options_finish_output_files());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tfpp: no target for the dependency file: give -o, -MT or -MQ\n");
    EXPECT_FALSE(fs::exists("n.d"));
    // A lone -M or -MM stays unrecognised: tfpp always preprocesses.
    ASSERT_TRUE(parse({"-M", "-MM", "a.F"}).ok);
    EXPECT_EQ(stored(), (std::vector<std::string>{"3UNREC: Unrecognized option '-M'",
                                                  "3UNREC: Unrecognized option '-MM'"}));
}

TEST_F(CommandLineTest, DependencyFileTargetAndFailures) {
    // --deps-target wins over the output file; without includes only the input is listed.
    ASSERT_TRUE(parse({"--deps-target=obj/a.o", "--deps=t.d", "a.F", "out.f"}).ok);
    options_write_depfile();
    EXPECT_TRUE(options_finish_output_files());
    EXPECT_EQ(read_file("t.d"), "obj/a.o: a.F\n");

    // -MT as it stands, -MQ with '$' doubled, several targets after one another.
    ASSERT_TRUE(parse({"-MF", "q.d", "-MT", "$(OBJ)/a.o", "-MQ", "b$.o", "a.F"}).ok);
    options_write_depfile();
    EXPECT_TRUE(options_finish_output_files());
    EXPECT_EQ(read_file("q.d"), "$(OBJ)/a.o b$$.o: a.F\n");

    // Neither a target nor an output file: a warning, and no file at all.
    ASSERT_TRUE(parse({"--deps=n.d", "a.F"}).ok);
    deps_record("x.h", false);
    options_write_depfile();
    EXPECT_TRUE(options_finish_output_files());
    EXPECT_EQ(stored(), std::vector<std::string>{
                            "2: No target for '--deps': give an output file or '--deps-target'"});
    EXPECT_FALSE(fs::exists("n.d"));

    // A folder that does not exist: the run ends before it starts.
    ParseResult result = parse({"--deps=nowhere/a.d", "--deps-target=a.o", "a.F"});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.out, "Can't open dependency file 'nowhere/a.d'.\n");

    // The input itself is never replaced.
    std::ofstream("a.F") << "      end\n";
    result = parse({"--deps=./a.F", "--deps-target=a.o", "a.F"});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.out, "tfpp: refusing to write the dependency file './a.F': it is the input "
                          "file\n");
    EXPECT_EQ(read_file("a.F"), "      end\n");

    // Without a depfile nothing is recorded or written.
    ASSERT_TRUE(parse({"a.F", "out.f"}).ok);
    deps_record("x.h", false);
    EXPECT_TRUE(options_write_depfile());
    EXPECT_TRUE(stored().empty());
}

// Replacing a file: the new text under the old name with the old file's mode, through a
// symbolic link the link kept, and nothing else left in the folder (the old file is gone
// under whatever name the replacement used for it). A name not yet taken is simply created.
TEST_F(CommandLineTest, FinishedFileReplacesTheOldOneAndLeavesNothingBehind) {
    fs::create_directories("out");
    auto write_through = [](const std::string &name, const std::string &text) {
        OutFile out;
        out.name = name;
        EXPECT_TRUE(outfile_create(out));
        std::fputs(text.c_str(), out.file);
        EXPECT_TRUE(outfile_close(out, "output file"));
        EXPECT_TRUE(outfile_commit(out));
    };
    std::ofstream("out/a.f") << std::string(100000, 'o');
    fs::permissions("out/a.f", fs::perms(0640));
    write_through("out/a.f", "new\n");
    EXPECT_EQ(read_file("out/a.f"), "new\n");
    EXPECT_EQ(fs::status("out/a.f").permissions() & fs::perms::all, fs::perms(0640));

    fs::create_symlink("a.f", "out/link.f");
    write_through("out/link.f", "again\n");
    EXPECT_TRUE(fs::is_symlink("out/link.f"));
    EXPECT_EQ(read_file("out/a.f"), "again\n");

    write_through("out/fresh.f", "first\n");
    EXPECT_EQ(read_file("out/fresh.f"), "first\n");
    std::vector<std::string> names = entries("out");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.f", "fresh.f", "link.f"}));
    EXPECT_TRUE(stored().empty());
}
