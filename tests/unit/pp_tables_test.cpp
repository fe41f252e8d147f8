// Tests of the preprocessor's tables: token copies never share blocks, lists are freed and
// reversed whole, stacks pop in the order they were pushed, the macro table lives in the text
// table's info words, file names are quoted and escaped for line markers.
#include <string>
#include <vector>

#include "driver/options.h"
#include "lexer/lexer.h"
#include "mm/mm.h"
#include "pp/pp_internal.h"
#include "text/text.h"
#include "toolkit_fixture.h"

namespace {

class PpTablesTest : public ToolkitTest {
  protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        options_set_defaults();
        lex_initialize();
        pp_tables_open();
    }
    void TearDown() override {
        pp_tables_close();
        lex_finalize();
        ToolkitTest::TearDown();
    }
};

TextHandle handle(const char *text) { return text_enter_string(text); }

// A list of identifier tokens from "token_table" with the given texts, in order.
Token *make_list(const std::vector<const char *> &texts) {
    Token *head = nullptr;
    for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
        Token *t = pp_new_token(TOKEN_IDENTIFIER, handle(*it));
        t->next = head;
        head = t;
    }
    return head;
}

std::vector<std::string> texts_of(const Token *list) {
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next)
        out.emplace_back(text_string(TextHandle(list->value)));
    return out;
}

TEST_F(PpTablesTest, EveryPoolHoldsItsRecordOnA64BitHost) {
    struct Row {
        PpPoolIndex pool;
        std::size_t size;
    } rows[] = {
        {PP_POOL_TOKENS, sizeof(Token)},       {PP_POOL_AUX_TOKENS, sizeof(Token)},
        {PP_POOL_FILES, sizeof(PpFileRecord)}, {PP_POOL_CONDITIONALS, sizeof(PpConditional)},
        {PP_POOL_EXPANSIONS, sizeof(PpFrame)}, {PP_POOL_ACTUALS, sizeof(PpActual)},
        {PP_POOL_MACROS, sizeof(PpMacro)}};
    for (const Row &row : rows) {
        std::uint32_t block = mm_pool_info(pp_pool(row.pool)).block_size;
        EXPECT_GE(block, row.size) << "pool " << row.pool;
        EXPECT_EQ(block % 8, 0u) << "pool " << row.pool;
    }
}

TEST_F(PpTablesTest, SharedTokensHaveTheirKinds) {
    EXPECT_EQ(pp_null_token()->kind, TOKEN_NULL);
    EXPECT_EQ(pp_finished_token()->kind, TOKEN_FINISHED);
    EXPECT_EQ(pp_null_token()->next, nullptr);
    EXPECT_EQ(pp_null_token()->formal_index, 0);
    EXPECT_NE(pp_null_token(), pp_finished_token());
}

TEST_F(PpTablesTest, FormalNumbersKeepSixteenBits) {
    EXPECT_EQ(pp_new_token(TOKEN_STRINGIZE, 0x12345)->value, 0x2345);
    EXPECT_EQ(pp_new_aux_token(TOKEN_CHARIZE, 0x10003)->value, 3);
    EXPECT_EQ(pp_new_token(TOKEN_IDENTIFIER, 0x12345)->value, 0x12345);
}

TEST_F(PpTablesTest, CopiesNeverShareTheSourceBlock) {
    Token *list = make_list({"A", "B"});
    list->spaced = 0;
    list->formal_index = 2;

    Token *copy = pp_copy_token(list);
    EXPECT_NE(copy, list);
    EXPECT_EQ(copy->kind, list->kind);
    EXPECT_EQ(copy->value, list->value);
    EXPECT_EQ(copy->formal_index, 2);
    EXPECT_EQ(copy->next, list->next) << "a copy keeps the link to the rest of the list";

    Token *fresh = pp_copy_token_fresh(list);
    EXPECT_EQ(fresh->formal_index, 0);
    EXPECT_EQ(fresh->next, nullptr);
    EXPECT_EQ(fresh->value, list->value);

    Token *marked = pp_no_expand_token(list);
    EXPECT_NE(marked, list);
    EXPECT_EQ(marked->no_expand, 1);
    EXPECT_EQ(list->no_expand, 0) << "the source token stays unmarked";
    EXPECT_EQ(pp_no_expand_token(marked), marked) << "a marked token is returned as it is";

    Token *place = list;
    pp_mark_spaced(&place, 1);
    EXPECT_NE(place, list);
    EXPECT_EQ(place->spaced, 1);
    EXPECT_EQ(list->spaced, 0) << "mark_spaced replaces the pointer, not the token";

    Token *unchanged = list;
    pp_mark_spaced(&unchanged, 0);
    EXPECT_EQ(unchanged, list);
    Token *null = pp_null_token();
    pp_mark_spaced(&null, 1);
    EXPECT_EQ(null, pp_null_token()) << "the shared null token is never copied";
}

TEST_F(PpTablesTest, FreeingAListReturnsEveryBlock) {
    MmPoolInfo before = mm_pool_info(pp_pool(PP_POOL_TOKENS));
    Token *list = make_list({"A", "B", "C"});
    Token *second = list->next;
    EXPECT_EQ(pp_free_token(list), second);
    while (second != nullptr) second = pp_free_token(second);
    EXPECT_EQ(pp_free_token(nullptr), nullptr);
    EXPECT_EQ(pp_free_aux_token(nullptr), nullptr);
    // The next three tokens reuse the three freed blocks: the pool did not grow.
    MmPoolInfo after = mm_pool_info(pp_pool(PP_POOL_TOKENS));
    EXPECT_EQ(after.chunks, before.chunks);
    EXPECT_EQ(after.free_blocks, before.free_blocks + 3);

    Token *aux = pp_copy_token(pp_null_token());
    EXPECT_EQ(pp_free_aux_token(aux), nullptr);
    EXPECT_EQ(pp_null_token()->kind, TOKEN_NULL) << "freeing a copy leaves its source alone";
}

TEST_F(PpTablesTest, ReverseTokens) {
    struct Case {
        std::vector<const char *> in;
        std::vector<std::string> out;
    } cases[] = {
        {{}, {}}, {{"A"}, {"A"}}, {{"A", "B"}, {"B", "A"}}, {{"A", "B", "C"}, {"C", "B", "A"}}};
    for (const Case &c : cases) EXPECT_EQ(texts_of(pp_reverse_tokens(make_list(c.in))), c.out);
}

TEST_F(PpTablesTest, ResettingTheExpansionPoolsLeavesDefinitionsAlone) {
    Token *kept = pp_new_token(TOKEN_IDENTIFIER, handle("KEPT"));
    Token *copy = pp_copy_token(kept);
    pp_new_actual();
    pp_reset_expansion_pools();
    // Each pool keeps one emptied chunk for the next expansion.
    EXPECT_EQ(mm_pool_info(pp_pool(PP_POOL_AUX_TOKENS)).chunks, 1u);
    EXPECT_EQ(mm_pool_info(pp_pool(PP_POOL_ACTUALS)).chunks, 1u);
    EXPECT_STREQ(text_string(TextHandle(kept->value)), "KEPT");
    EXPECT_NE(mm_pool_info(pp_pool(PP_POOL_TOKENS)).chunks, 0u);
    // The emptied pools serve new blocks again, from the top of the kept chunk.
    EXPECT_EQ(pp_new_aux_blank_token(), copy);
    EXPECT_EQ(pp_new_aux_string_token()->kind, TOKEN_STRINGCONST);
}

TEST_F(PpTablesTest, ConditionalsPopInReverseOrderAndInheritInclusion) {
    EXPECT_EQ(pp_conditional_top(), nullptr);
    PpConditional *outer = pp_push_conditional();
    EXPECT_EQ(outer->pp_include, 1) << "an empty stack starts included";
    EXPECT_EQ(outer->first_in_file, 0);
    outer->pp_include = 0;
    outer->position = Position{7, 1, 2};
    PpConditional *inner = pp_push_conditional();
    EXPECT_EQ(inner->pp_include, 0) << "a group inside a false group is false";
    EXPECT_EQ(inner->previous, outer);
    EXPECT_EQ(pp_conditional_top(), inner);
    pp_pop_conditional();
    EXPECT_EQ(pp_conditional_top(), outer);
    EXPECT_EQ(pp_conditional_top()->position.line, 7u);
    pp_pop_conditional();
    EXPECT_EQ(pp_conditional_top(), nullptr);
}

TEST_F(PpTablesTest, FileNamesAreQuotedAndEscapedOnlyWhenAskedFor) {
    struct Case {
        const char *name;
        std::uint8_t escape;
        const char *quoted;
    } cases[] = {
        {"a.F", 0, "\"a.F\""},
        {"a.F", 1, "\"a.F\""},
        {"dir\\a.F", 0, "\"dir\\a.F\""},
        {"dir\\a.F", 1, "\"dir\\\\a.F\""},
        {"say\"hi\".F", 0, "\"say\"hi\".F\""},
        {"say\"hi\".F", 1, "\"say\\\"hi\\\".F\""},
        {"", 1, "\"\""},
    };
    for (const Case &c : cases) {
        esc_filename = c.escape;
        pp_push_file(c.name);
        EXPECT_STREQ(text_string(pp_file_top()->filename), c.quoted) << c.name;
        EXPECT_STREQ(text_string(pp_file_top()->actual_file), c.name);
        EXPECT_EQ(pp_file_top()->line_offset, 0);
    }
    // Newest on top: popping walks back through the names in reverse order.
    for (int i = static_cast<int>(std::size(cases)) - 1; i >= 0; --i) {
        ASSERT_NE(pp_file_top(), nullptr);
        EXPECT_STREQ(text_string(pp_file_top()->actual_file), cases[i].name);
        pp_pop_file();
    }
    EXPECT_EQ(pp_file_top(), nullptr);
}

TEST_F(PpTablesTest, MacrosLiveInTheInfoWordOfTheirName) {
    TextHandle name = handle("LEVEL");
    EXPECT_EQ(pp_lookup_macro(name), nullptr);
    pp_delete_macro(name); // not a macro: nothing happens
    EXPECT_EQ(text_info(name), nullptr);

    PpMacro *first = pp_new_macro(name, Position{3, 9, 2});
    EXPECT_EQ(pp_lookup_macro(text_enter("LEVEL", 5)), first) << "found through any equal text";
    EXPECT_EQ(first->state, NOT_PROCESSING_BODY);
    EXPECT_EQ(first->predefined, 0);
    EXPECT_EQ(first->reserved, 0);
    EXPECT_EQ(first->position.line, 3u);

    PpMacro *second = pp_new_macro(name, Position{4, 1, 2});
    EXPECT_EQ(pp_lookup_macro(name), second) << "a new definition replaces the old one";

    PpMacro *predefined = pp_new_predefined_macro(handle("__STDC__"));
    EXPECT_EQ(pp_lookup_macro(handle("__STDC__")), predefined);
    EXPECT_EQ(predefined->predefined, 1);
    EXPECT_EQ(predefined->n_formals, -1);
    EXPECT_EQ(predefined->position.line, 0u);

    PpMacro *pseudo = pp_new_pseudo_macro();
    EXPECT_EQ(pseudo->name, TEXT_NULL);
    EXPECT_EQ(pp_lookup_macro(TEXT_NULL), nullptr) << "a pseudo-macro is entered nowhere";

    pp_delete_macro(name);
    EXPECT_EQ(pp_lookup_macro(name), nullptr);
    EXPECT_EQ(pp_lookup_macro(handle("__STDC__")), predefined) << "other names keep theirs";
}

TEST_F(PpTablesTest, ActualsAreCountedFromTheHead) {
    PpActual *head = pp_new_actual();
    head->tokens = make_list({"X"});
    head->next = pp_new_actual();
    head->next->tokens = make_list({"Y", "Z"});
    EXPECT_EQ(texts_of(pp_nth_actual(head, 1)), std::vector<std::string>{"X"});
    EXPECT_EQ(texts_of(pp_nth_actual(head, 2)), (std::vector<std::string>{"Y", "Z"}));
    EXPECT_EQ(pp_nth_actual(head, 3), nullptr);

    PpFrame *frame = pp_new_argument_frame(head, 2, 1);
    EXPECT_EQ(frame->body_cursor, head->next->tokens);
    EXPECT_EQ(frame->body_cursor->spaced, 1) << "the argument's first token takes the flag";
    EXPECT_EQ(frame->macro->name, TEXT_NULL);
    EXPECT_EQ(frame->previous, nullptr);
    EXPECT_EQ(frame->actuals, nullptr);
    EXPECT_EQ(pp_new_argument_frame(head, 5, 1)->body_cursor, nullptr);
}

TEST_F(PpTablesTest, OpenGroupsAreReportedInnermostFirstAndThePoolsClosed) {
    pp_push_conditional()->position = Position{2, 1, 2};
    pp_push_conditional()->position = Position{5, 1, 2};
    pp_check_open_groups();
    std::vector<std::uint32_t> lines;
    for (MsgStored *m = msg_first_stored(); m != nullptr; m = m->next) {
        EXPECT_STREQ(m->text, "missing #endif directive");
        EXPECT_EQ(m->severity, SEVERITY_WARNING);
        lines.push_back(m->position.line);
    }
    EXPECT_EQ(lines, (std::vector<std::uint32_t>{2, 5}));
    EXPECT_FALSE(pp_tables_are_open());
    pp_check_open_groups(); // a second call finds nothing to do
    pp_tables_open();       // for TearDown
}

} // namespace
