// A fixture for tests that run sources through the preprocessor: the toolkit, the lexer and the
// preprocessor come up in a temporary folder of their own (so markers show short names) and go
// down again after each test, with the option flags back at their defaults.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "driver/options.h"
#include "lexer/lexer.h"
#include "pp/pp_internal.h"
#include "si/si.h"
#include "toolkit_fixture.h"

class PreprocessorTest : public ToolkitTest {
  protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        char pattern[] = "/tmp/tfpp-pp-XXXXXX";
        dir_ = mkdtemp(pattern);
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        options_set_defaults();
        lex_initialize();
        pp_initialize();
        pp_continuation_flag = 0;
    }
    void TearDown() override {
        pp_check_open_groups();
        lex_finalize();
        ToolkitTest::TearDown();
        options_set_defaults();
        std::filesystem::current_path(old_cwd_);
        std::filesystem::remove_all(dir_);
    }

    static void write_file(const char *name, const std::string &text) {
        std::ofstream(name, std::ios::binary) << text;
    }

    // Opens `name` as the main input, as the command line does.
    static StreamHandle open_main(const char *name) {
        StreamHandle handle = STREAM_NULL;
        EXPECT_EQ(si_find_stream(name, &handle), SI_OK);
        EXPECT_EQ(si_open_stream(handle), SI_OK);
        pp_push_file(name);
        lex_set_rule_set(LEX_FIRST_TOKEN_LEXER);
        return handle;
    }

    std::string dir_;
    std::filesystem::path old_cwd_;
};
