// This file implements the preprocessor's reports: its free-text messages, each filed through
// the message service with an empty identifier, and the end-of-input check of open groups.
#include "mm/mm.h"
#include "msg/msg.h"
#include "pp/pp_internal.h"
#include "pp/pp_options.h"

namespace {

struct MessageRow {
    Severity severity;
    const char *text;
};

constexpr MessageRow message_rows[] = {
#define PP_MESSAGE(ident, severity, text) {static_cast<Severity>(severity), text},
#include "pp/pp_messages.def"
#undef PP_MESSAGE
};
static_assert(sizeof message_rows / sizeof message_rows[0] == PP_MESSAGE_COUNT);

void free_general(void *block) {
    if (block != nullptr) mm_free_vblock(mm_general_pool(), block);
}

} // namespace

void pp_report(PpMessage message, Position position) {
    msg_report(message_rows[message].text, "", position, message_rows[message].severity);
}

void pp_report_severity(PpMessage message, Position position, Severity severity) {
    msg_report(message_rows[message].text, "", position, severity);
}

const char *pp_message_text(PpMessage message) { return message_rows[message].text; }

void pp_check_open_groups() {
    if (!pp_tables_are_open()) return;
    // Innermost first; the message store sorts them by position for printing.
    while (pp_conditional_top() != nullptr) {
        pp_report(PP_MSG_MISSING_ENDIF, pp_conditional_top()->position);
        pp_pop_conditional();
    }
    // Entry 0's buffer and both arrays belong to the general pool; the -I and -S entries are
    // left as they are.
    if (include_dirs != nullptr) {
        free_general(include_dirs[0]);
        free_general(include_dirs);
        include_dirs = nullptr;
    }
    free_general(sys_include_dirs);
    sys_include_dirs = nullptr;
    pp_tables_close();
    pp_output_flush();
    pp_output_finish();
    pp_release_scratch();
}
