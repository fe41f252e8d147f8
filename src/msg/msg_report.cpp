// This file implements the message catalogue and severity tables, the counting of reports
// against their limits (the too-many rule), and the store of reported messages, kept sorted by
// source position until the printers write it out.
#include <climits>
#include <cstring>

#include "fe/fe.h"
#include "mm/mm.h"
#include "msg/msg.h"
#include "msg/msg_internal.h"

namespace {

struct CatalogueEntry {
    const char *identifier; // severity digit followed by the mnemonic
    const char *text;
};

constexpr CatalogueEntry catalogue[] = {
#define MSG_ENTRY(index, ident, text) {#ident, text},
#include "common/msg_catalogue.def"
#undef MSG_ENTRY
};
static_assert(sizeof catalogue / sizeof catalogue[0] == 46, "the catalogue has 46 entries");
#define MSG_ENTRY(index, ident, text) static_assert(MSG_##ident == index);
#include "common/msg_catalogue.def"
#undef MSG_ENTRY

struct SeverityRow {
    const char *name;
    const char *upper_name;
    char letter;
    std::int32_t limit;
};

constexpr SeverityRow severities[] = {
#define SEVERITY_ROW(value, name, upper_name, letter, limit) {name, upper_name, letter, limit},
#include "common/msg_severities.def"
#undef SEVERITY_ROW
};
constexpr int SEVERITY_COUNT = sizeof severities / sizeof severities[0];
static_assert(SEVERITY_COUNT == 7, "severities run from 0 to 6");

constexpr const char *BAD_SEVERITY_NAME = "***BAD SEVERITY***";
constexpr std::int32_t TOTAL_LIMIT = 100;

struct MessageState {
    std::int32_t counts[SEVERITY_COUNT] = {};
    std::int32_t total = 0;
    MsgStored *first = nullptr;
    MsgStored *last = nullptr;
    // The exit hook is registered with the front end once per process: the front end keeps its
    // hook list for the whole process.
    bool exit_hook_registered = false;
};

MessageState msg;

// Settings of the command line, kept over msg_initialize: the limit that replaces the total
// limit and the per-severity limits equal to it (0: no limit), and the one-line format.
struct MessageSettings {
    std::int32_t limit = TOTAL_LIMIT;
    bool gnu = false;
};

MessageSettings settings;

// The per-severity limit in force: the fatal severities keep their own small limits.
std::int32_t severity_limit(Severity severity) {
    std::int32_t row = severities[severity].limit;
    return row == TOTAL_LIMIT ? settings.limit : row;
}

bool severity_in_range(Severity severity) { return severity >= 0 && severity < SEVERITY_COUNT; }

// Prints what the run stored before it ends through the fatal exit.
void print_on_exit(void *) { msg_print_messages(stderr, 0); }

char *copy_into(char *place, const char *text, std::size_t length) {
    std::memcpy(place, text, length);
    place[length] = '\0';
    return place;
}

// Keeps the store in position order: the new message goes after every message whose position
// is not after its own, so equal positions keep their reporting order and the null position
// (the highest stream handle) goes last.
void store_message(const char *text, const char *id, Position pos, Severity severity) {
    if (text == nullptr) text = "";
    if (id == nullptr) id = "";
    std::size_t text_length = std::strlen(text);
    std::size_t id_length = std::strlen(id);
    auto *record = static_cast<MsgStored *>(
        mm_get_vblock(mm_general_pool(), sizeof(MsgStored) + text_length + id_length + 2));
    char *strings = reinterpret_cast<char *>(record + 1);
    record->text = copy_into(strings, text, text_length);
    record->id = copy_into(strings + text_length + 1, id, id_length);
    record->severity = severity;
    record->position = pos;
    record->printed = 0;
    record->next = nullptr;

    // Messages mostly arrive in position order: appending is the common case.
    if (msg.last == nullptr) {
        msg.first = msg.last = record;
        return;
    }
    if (!position_after(msg.last->position, pos)) {
        msg.last->next = record;
        msg.last = record;
        return;
    }
    MsgStored **link = &msg.first;
    while (!position_after((*link)->position, pos)) link = &(*link)->next;
    record->next = *link;
    *link = record;
}

[[noreturn]] void too_many(const char *word) {
    Severity severity = msg_catalogue_severity(MSG_4TOOMANY);
    if (severity > fe_max_severity) fe_max_severity = severity;
    ++msg.counts[severity];
    msg_param_string(word, 't');
    store_message(msg_expand_params(msg_catalogue_text(MSG_4TOOMANY)),
                  msg_catalogue_mnemonic(MSG_4TOOMANY), POSITION_NULL, severity);
    fe_fatal_exit();
}

} // namespace

const char *msg_severity_name(Severity severity) {
    return severity_in_range(severity) ? severities[severity].name : BAD_SEVERITY_NAME;
}

const char *msg_severity_upper_name(Severity severity) {
    return severity_in_range(severity) ? severities[severity].upper_name : BAD_SEVERITY_NAME;
}

char msg_severity_letter(Severity severity) {
    return severity_in_range(severity) ? severities[severity].letter : '?';
}

Severity msg_catalogue_severity(MessageId id) {
    return static_cast<Severity>(catalogue[id].identifier[0] - '0');
}

const char *msg_catalogue_mnemonic(MessageId id) { return catalogue[id].identifier + 1; }

const char *msg_catalogue_text(MessageId id) { return catalogue[id].text; }

void msg_initialize() {
    for (std::int32_t &count : msg.counts) count = 0;
    msg.total = 0;
    msg.first = msg.last = nullptr;
    fe_set_catalogue_hook(msg_report_catalogue);
    if (fe_get_report_hook() == nullptr) fe_set_report_hook(msg_report_handler);
    if (fe_get_emergency_print_hook() == nullptr)
        fe_set_emergency_print_hook([] { msg_print_plain(stderr, 0); });
}

int msg_get_limit(int kind) {
    switch (kind) {
    case MSG_LIMIT_INDENT: return 6;
    case MSG_LIMIT_WIDTH: return 72;
    case MSG_LIMIT_TOTAL: return settings.limit;
    default: return 0;
    }
}

void msg_report(const char *text, const char *id, Position pos, Severity severity) {
    if (!msg.exit_hook_registered) {
        msg.exit_hook_registered = true;
        fe_add_exit_hook(print_on_exit, nullptr);
    }
    if (!severity_in_range(severity)) {
        msg_param_string("msg_report", 'f');
        msg_param_num(severity, 's');
        fe_report(MSG_6BADSEV, POSITION_NULL);
        fe_fatal_exit();
    }
    if (severity > fe_max_severity) fe_max_severity = severity;

    bool dropped = false;
    std::int32_t &count = msg.counts[severity];
    ++count;
    if (count == severity_limit(severity)) {
        --count;
        too_many(severities[severity].name);
    }
    if (count > severity_limit(severity)) dropped = true;

    ++msg.total;
    if (!dropped) {
        std::int32_t limit = msg_get_limit(MSG_LIMIT_TOTAL);
        if (msg.total == limit) too_many("messages");
        if (msg.total > limit) dropped = true;
    }
    if (!dropped) store_message(text, id, pos, severity);
}

void msg_report_handler(const char *text, const char *id, const Position *pos, Severity severity) {
    msg_report(text, id, pos != nullptr ? *pos : POSITION_NULL, severity);
}

void msg_report_catalogue(MessageId id, Position pos) {
    const char *text = msg_expand_params(msg_catalogue_text(id));
    fe_message(text, msg_catalogue_mnemonic(id), &pos, msg_catalogue_severity(id));
}

MsgStored *msg_first_stored() { return msg.first; }

void msg_set_message_limit(std::int32_t limit) { settings.limit = limit > 0 ? limit : INT32_MAX; }

void msg_set_gnu_diagnostics(bool on) { settings.gnu = on; }

bool msg_gnu_diagnostics() { return settings.gnu; }

void msg_reset() {
    msg = MessageState{};
    settings = MessageSettings{};
    msg_expand_reset();
    msg_print_reset();
}

void msg_clear_messages() {
    while (msg.first != nullptr) {
        MsgStored *message = msg.first;
        msg.first = message->next;
        if (msg.first == nullptr) msg.last = nullptr;
        if (!message->printed) {
            // A message that never reached the user is an internal fault: say which one.
            msg_param_string(message->text, 's');
            fe_report(MSG_6MESSAGES, message->position);
            fe_fatal_exit();
        }
        mm_free_vblock(mm_general_pool(), message);
    }
}
