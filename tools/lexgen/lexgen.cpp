// lexgen: builds the lexer's deterministic automaton from the rules description
// (src/lexer/lexer_rules.lex) and writes its packed tables as C++ source; with --verify it
// checks tables written before against the automaton built afresh from the same rules.
// Regexes become one NFA per rule, subset construction and minimisation give the DFA.
#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lexer/token.h"

namespace {

constexpr int CLASS_COUNT = 53;
constexpr int NEWLINE_CLASS = 50;
constexpr int NO_CLASS = 53; // the scan map's value for the 0 byte: outside every row
constexpr int ERROR_KIND = ERROR_TOKEN;
// The kind, inside the generator, of a state that an ERROR_TOKEN rule has reached: it accepts
// nothing, but it must not be merged with the dead state, since the scanner goes on consuming
// through it. Written out as ERROR_TOKEN.
constexpr int CONSUMING_KIND = 1000;

int written_kind(int kind) { return kind == CONSUMING_KIND ? ERROR_KIND : kind; }

using ClassSet = std::bitset<CLASS_COUNT>;

[[noreturn]] void fail(const std::string &where, const std::string &what) {
    std::fprintf(stderr, "lexgen: %s: %s\n", where.c_str(), what.c_str());
    std::exit(1);
}

// ---- Token kind names -------------------------------------------------------------------

int kind_by_name(const std::string &name) {
    static const char *const idents[TOKEN_KIND_COUNT] = {
#define TOKEN_KIND(number, ident, name) #ident,
#include "lexer/tokens.def"
#undef TOKEN_KIND
    };
    for (int k = 0; k < TOKEN_KIND_COUNT; ++k)
        if (name == idents[k]) return k;
    return -1;
}

// ---- Regular expressions ------------------------------------------------------------------

struct Regex {
    enum Type { SYMBOL, EMPTY, CAT, ALT, STAR, PLUS, OPT } type;
    ClassSet classes;            // SYMBOL
    std::shared_ptr<Regex> a, b; // operands
};
using RegexPtr = std::shared_ptr<Regex>;

RegexPtr make(Regex::Type type, RegexPtr a = nullptr, RegexPtr b = nullptr) {
    auto r = std::make_shared<Regex>();
    r->type = type;
    r->a = std::move(a);
    r->b = std::move(b);
    return r;
}

RegexPtr make_symbol(const ClassSet &classes) {
    auto r = make(Regex::SYMBOL);
    r->classes = classes;
    return r;
}

// The regex with `cont`* after every character it reads.
RegexPtr splice(const RegexPtr &r, const RegexPtr &cont) {
    switch (r->type) {
    case Regex::SYMBOL: return make(Regex::CAT, r, make(Regex::STAR, cont));
    case Regex::EMPTY: return r;
    default: return make(r->type, splice(r->a, cont), r->b ? splice(r->b, cont) : nullptr);
    }
}

// ---- The rules description ----------------------------------------------------------------

struct Rule {
    int kind;
    RegexPtr regex;
    std::string where;
};

struct RuleSet {
    std::string name;
    int number;
    std::vector<Rule> rules;
};

struct Description {
    int byte_class[256]; // effective class of each byte; -1 for the 0 byte
    bool class_declared[CLASS_COUNT] = {};
    std::map<std::string, RegexPtr> patterns;
    std::vector<RuleSet> rule_sets;
};

class Parser {
  public:
    Parser(Description &d, std::string text, std::string where)
        : d_(d), s_(std::move(text)), where_(std::move(where)) {}

    RegexPtr regex() {
        RegexPtr r = alternation();
        skip();
        if (i_ < s_.size()) error("unexpected '" + std::string(1, s_[i_]) + "'");
        return r;
    }

    // The bytes of a bracket set (never the 0 byte).
    std::bitset<256> byte_set() {
        skip();
        if (i_ >= s_.size() || s_[i_] != '[') error("a class is one [set]");
        std::bitset<256> bytes = bracket();
        skip();
        if (i_ < s_.size()) error("text after the class's set");
        return bytes;
    }

  private:
    Description &d_;
    std::string s_;
    std::size_t i_ = 0;
    std::string where_;

    [[noreturn]] void error(const std::string &what) { fail(where_, what); }

    void skip() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
        if (i_ < s_.size() && s_[i_] == '#') i_ = s_.size(); // a trailing comment
    }

    bool at(char c) {
        skip();
        return i_ < s_.size() && s_[i_] == c;
    }

    RegexPtr alternation() {
        RegexPtr r = sequence();
        while (at('|')) {
            ++i_;
            r = make(Regex::ALT, r, sequence());
        }
        return r;
    }

    RegexPtr sequence() {
        RegexPtr r;
        for (;;) {
            skip();
            if (i_ >= s_.size() || s_[i_] == '|' || s_[i_] == ')') break;
            RegexPtr p = postfix();
            r = r ? make(Regex::CAT, r, p) : p;
        }
        if (!r) error("empty alternative");
        return r;
    }

    RegexPtr postfix() {
        RegexPtr r = atom();
        for (;;) {
            if (at('*'))
                r = make(Regex::STAR, r);
            else if (at('+'))
                r = make(Regex::PLUS, r);
            else if (at('?'))
                r = make(Regex::OPT, r);
            else
                break;
            ++i_;
        }
        return r;
    }

    RegexPtr atom() {
        skip();
        char c = s_[i_];
        if (c == '(') {
            ++i_;
            RegexPtr r = alternation();
            if (!at(')')) error("missing ')'");
            ++i_;
            return r;
        }
        if (c == '"') return literal();
        if (c == '[') return make_symbol(classes_of(bracket()));
        if (c == '{') {
            std::size_t end = s_.find('}', i_);
            if (end == std::string::npos) error("missing '}'");
            std::string name = s_.substr(i_ + 1, end - i_ - 1);
            i_ = end + 1;
            auto it = d_.patterns.find(name);
            if (it == d_.patterns.end()) error("unknown pattern {" + name + "}");
            return it->second;
        }
        if (s_.compare(i_, 8, "spliced(") == 0) {
            i_ += 8;
            RegexPtr r = alternation();
            if (!at(')')) error("missing ')' after spliced(");
            ++i_;
            auto cont = d_.patterns.find("CONT");
            if (cont == d_.patterns.end()) error("spliced() needs the pattern CONT");
            return splice(r, cont->second);
        }
        error("unexpected '" + std::string(1, c) + "'");
    }

    int escape() {
        // s_[i_] is the backslash.
        if (i_ + 1 >= s_.size()) error("lone backslash");
        char e = s_[i_ + 1];
        i_ += 2;
        switch (e) {
        case 'n': return '\n';
        case 't': return '\t';
        case 'v': return '\v';
        case 'f': return '\f';
        case 'r': return '\r';
        case 'x': {
            if (i_ + 2 > s_.size()) error("short \\x escape");
            int v = static_cast<int>(std::strtol(s_.substr(i_, 2).c_str(), nullptr, 16));
            i_ += 2;
            return v;
        }
        default: return static_cast<unsigned char>(e);
        }
    }

    RegexPtr literal() {
        ++i_; // opening quote
        RegexPtr r;
        for (;;) {
            if (i_ >= s_.size()) error("unterminated literal");
            int b;
            if (s_[i_] == '"') {
                ++i_;
                break;
            }
            if (s_[i_] == '\\')
                b = escape();
            else
                b = static_cast<unsigned char>(s_[i_++]);
            std::bitset<256> one;
            one.set(b);
            RegexPtr sym = make_symbol(classes_of(one));
            r = r ? make(Regex::CAT, r, sym) : sym;
        }
        if (!r) error("empty literal");
        return r;
    }

    std::bitset<256> bracket() {
        ++i_; // '['
        bool negate = i_ < s_.size() && s_[i_] == '^';
        if (negate) ++i_;
        std::bitset<256> bytes;
        for (;;) {
            if (i_ >= s_.size()) error("unterminated set");
            if (s_[i_] == ']') {
                ++i_;
                break;
            }
            int lo = s_[i_] == '\\' ? escape() : static_cast<unsigned char>(s_[i_++]);
            int hi = lo;
            if (i_ + 1 < s_.size() && s_[i_] == '-' && s_[i_ + 1] != ']') {
                ++i_;
                hi = s_[i_] == '\\' ? escape() : static_cast<unsigned char>(s_[i_++]);
            }
            if (hi < lo) error("reversed range");
            for (int b = lo; b <= hi; ++b) bytes.set(b);
        }
        if (negate) bytes.flip();
        bytes.reset(0); // the 0 byte is never a character of the language
        return bytes;
    }

    // The classes of a byte set, which must be a union of whole classes.
    ClassSet classes_of(const std::bitset<256> &bytes) {
        ClassSet classes;
        for (int b = 1; b < 256; ++b)
            if (bytes.test(b)) classes.set(d_.byte_class[b]);
        for (int b = 1; b < 256; ++b)
            if (classes.test(d_.byte_class[b]) && !bytes.test(b))
                error("a set takes part of class " + std::to_string(d_.byte_class[b]) + " (byte " +
                      std::to_string(b) + " is missing)");
        if (bytes.test(0)) error("the 0 byte is never a character");
        return classes;
    }
};

std::string trim(const std::string &s) {
    std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    std::size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

Description read_description(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(path, "cannot open");
    // Join continuation lines (starting with blanks) to the line before them.
    std::vector<std::pair<int, std::string>> lines;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        if ((line[0] == ' ' || line[0] == '\t') && !lines.empty())
            lines.back().second += " " + t;
        else
            lines.emplace_back(number, t);
    }

    Description d;
    for (int &c : d.byte_class) c = -1;
    bool classes_done = false;
    auto finish_classes = [&](const std::string &where) {
        if (classes_done) return;
        for (int c = 0; c < CLASS_COUNT; ++c)
            if (!d.class_declared[c]) fail(where, "class " + std::to_string(c) + " is missing");
        for (int b = 1; b < 256; ++b)
            if (d.byte_class[b] < 0) fail(where, "byte " + std::to_string(b) + " has no class");
        classes_done = true;
    };

    for (auto &[lineno, text] : lines) {
        std::string where = path + ":" + std::to_string(lineno);
        std::istringstream words(text);
        std::string first;
        words >> first;
        std::string rest = trim(text.substr(first.size()));
        if (first == "class") {
            if (classes_done) fail(where, "classes come before patterns and rules");
            std::istringstream w(rest);
            int c = -1;
            w >> c;
            if (c < 0 || c >= CLASS_COUNT) fail(where, "class number out of 0..52");
            if (d.class_declared[c]) fail(where, "class declared twice");
            d.class_declared[c] = true;
            std::string set_text;
            std::getline(w, set_text);
            Parser p(d, set_text, where);
            std::bitset<256> bytes = p.byte_set();
            for (int b = 1; b < 256; ++b) {
                if (!bytes.test(b)) continue;
                if (d.byte_class[b] >= 0)
                    fail(where, "byte " + std::to_string(b) + " is in two classes");
                d.byte_class[b] = c;
            }
            continue;
        }
        finish_classes(where);
        if (first == "pattern") {
            std::size_t eq = rest.find('=');
            if (eq == std::string::npos) fail(where, "pattern NAME = regex");
            std::string name = trim(rest.substr(0, eq));
            if (d.patterns.count(name)) fail(where, "pattern " + name + " defined twice");
            Parser p(d, rest.substr(eq + 1), where);
            d.patterns[name] = p.regex();
        } else if (first == "ruleset") {
            RuleSet rs;
            std::istringstream w(rest);
            w >> rs.name >> rs.number;
            if (rs.name.empty() || rs.number < 1) fail(where, "ruleset NAME NUMBER (from 1)");
            if (rs.number != static_cast<int>(d.rule_sets.size()) + 1)
                fail(where, "rule sets are numbered 1, 2, ... in order");
            d.rule_sets.push_back(rs);
        } else {
            if (d.rule_sets.empty()) fail(where, "a rule outside a ruleset");
            int kind = kind_by_name(first);
            if (kind < 0) fail(where, "unknown token kind " + first);
            Parser p(d, rest, where);
            d.rule_sets.back().rules.push_back(Rule{kind, p.regex(), where});
        }
    }
    if (d.rule_sets.empty()) fail(path, "no rule sets");
    return d;
}

// ---- NFA and subset construction ----------------------------------------------------------

struct Nfa {
    struct Edge {
        ClassSet classes;
        int to;
    };
    struct State {
        std::vector<int> eps;
        std::vector<Edge> edges;
        int rule = -1; // the accepting rule's priority (its index), -1 when not accepting
        int kind = ERROR_KIND;
    };
    std::vector<State> states;

    int add() {
        states.emplace_back();
        return static_cast<int>(states.size()) - 1;
    }

    // Thompson's construction: returns (start, end) of a fragment.
    std::pair<int, int> build(const RegexPtr &r) {
        switch (r->type) {
        case Regex::SYMBOL: {
            int s = add(), e = add();
            states[s].edges.push_back({r->classes, e});
            return {s, e};
        }
        case Regex::EMPTY: {
            int s = add();
            return {s, s};
        }
        case Regex::CAT: {
            auto [s1, e1] = build(r->a);
            auto [s2, e2] = build(r->b);
            states[e1].eps.push_back(s2);
            return {s1, e2};
        }
        case Regex::ALT: {
            int s = add(), e = add();
            auto [s1, e1] = build(r->a);
            auto [s2, e2] = build(r->b);
            states[s].eps = {s1, s2};
            states[e1].eps.push_back(e);
            states[e2].eps.push_back(e);
            return {s, e};
        }
        case Regex::STAR:
        case Regex::PLUS:
        case Regex::OPT: {
            int s = add(), e = add();
            auto [s1, e1] = build(r->a);
            states[s].eps.push_back(s1);
            if (r->type != Regex::PLUS) states[s].eps.push_back(e);
            states[e1].eps.push_back(e);
            if (r->type != Regex::OPT) states[e1].eps.push_back(s1);
            return {s, e};
        }
        }
        return {-1, -1};
    }

    std::vector<int> closure(std::vector<int> set) const {
        std::vector<bool> seen(states.size());
        for (int s : set) seen[s] = true;
        for (std::size_t k = 0; k < set.size(); ++k)
            for (int t : states[set[k]].eps)
                if (!seen[t]) {
                    seen[t] = true;
                    set.push_back(t);
                }
        std::sort(set.begin(), set.end());
        return set;
    }
};

// The unpacked automaton: state 0 is the dead state, state n (n >= 1) starts rule set n.
struct Dfa {
    std::vector<std::array<int, CLASS_COUNT>> next;
    std::vector<int> kind;
    int size() const { return static_cast<int>(kind.size()); }
};

Dfa build_dfa(const Description &d) {
    Nfa nfa;
    std::vector<int> starts;
    for (const RuleSet &rs : d.rule_sets) {
        int start = nfa.add();
        for (std::size_t i = 0; i < rs.rules.size(); ++i) {
            auto [s, e] = nfa.build(rs.rules[i].regex);
            nfa.states[start].eps.push_back(s);
            // ERROR_TOKEN rules describe text that is consumed but never accepted.
            nfa.states[e].rule = static_cast<int>(i);
            nfa.states[e].kind = rs.rules[i].kind == ERROR_KIND ? CONSUMING_KIND : rs.rules[i].kind;
        }
        starts.push_back(start);
    }

    Dfa raw;
    std::map<std::vector<int>, int> ids;
    std::vector<std::vector<int>> sets;
    auto intern = [&](std::vector<int> set) {
        auto it = ids.find(set);
        if (it != ids.end()) return it->second;
        int id = static_cast<int>(sets.size());
        ids.emplace(set, id);
        sets.push_back(std::move(set));
        int best = -1, kind = ERROR_KIND;
        for (int s : sets.back())
            if (nfa.states[s].rule >= 0 && (best < 0 || nfa.states[s].rule < best)) {
                best = nfa.states[s].rule;
                kind = nfa.states[s].kind;
            }
        raw.kind.push_back(kind);
        raw.next.emplace_back();
        return id;
    };
    intern({}); // the dead state
    for (int s : starts) intern(nfa.closure({s}));
    for (std::size_t k = 0; k < sets.size(); ++k) {
        for (int c = 0; c < CLASS_COUNT; ++c) {
            std::vector<int> to;
            for (int s : sets[k])
                for (const Nfa::Edge &e : nfa.states[s].edges)
                    if (e.classes.test(c)) to.push_back(e.to);
            std::sort(to.begin(), to.end());
            to.erase(std::unique(to.begin(), to.end()), to.end());
            int id = to.empty() ? 0 : intern(nfa.closure(to));
            raw.next[k][c] = id;
        }
    }

    // Minimise by refining the partition by accepting kind until the successors agree.
    int n = raw.size();
    std::vector<int> block(n);
    for (int s = 0; s < n; ++s) block[s] = raw.kind[s];
    for (;;) {
        std::map<std::vector<int>, int> signatures;
        std::vector<int> refined(n);
        for (int s = 0; s < n; ++s) {
            std::vector<int> sig{block[s]};
            for (int c = 0; c < CLASS_COUNT; ++c) sig.push_back(block[raw.next[s][c]]);
            auto it = signatures.emplace(sig, static_cast<int>(signatures.size())).first;
            refined[s] = it->second;
        }
        bool stable = signatures.size() == std::set<int>(block.begin(), block.end()).size();
        block = refined;
        if (stable) break;
    }

    // Number the blocks breadth first: the dead state, the start states in rule-set order, then
    // successors in class order.
    std::vector<int> order;
    std::vector<int> block_number(n, -1);
    auto visit = [&](int s) {
        if (block_number[block[s]] >= 0) return;
        block_number[block[s]] = static_cast<int>(order.size());
        order.push_back(s);
    };
    visit(0);
    for (std::size_t r = 0; r < starts.size(); ++r) {
        visit(static_cast<int>(r) + 1);
        if (block_number[block[r + 1]] != static_cast<int>(r) + 1)
            fail("automaton", "the start state of rule set " + std::to_string(r + 1) +
                                  " coincides with another state");
    }
    for (std::size_t k = 0; k < order.size(); ++k)
        for (int c = 0; c < CLASS_COUNT; ++c) visit(raw.next[order[k]][c]);

    Dfa dfa;
    for (int s : order) {
        std::array<int, CLASS_COUNT> row{};
        for (int c = 0; c < CLASS_COUNT; ++c) row[c] = block_number[block[raw.next[s][c]]];
        dfa.next.push_back(row);
        dfa.kind.push_back(raw.kind[s]);
    }
    return dfa;
}

// ---- Packing ------------------------------------------------------------------------------

struct Packed {
    std::vector<int> low, high, offset, kind;
    std::vector<int> transitions;
};

Packed pack(const Dfa &dfa) {
    int n = dfa.size();
    Packed p;
    p.low.assign(n, 1);
    p.high.assign(n, 0);
    p.offset.assign(n, 0);
    for (int k : dfa.kind) p.kind.push_back(written_kind(k));
    for (int s = 0; s < n; ++s) {
        for (int c = 0; c < CLASS_COUNT; ++c)
            if (dfa.next[s][c] != 0) {
                if (p.low[s] > p.high[s]) p.low[s] = c;
                p.high[s] = c;
            }
    }
    // First fit, widest rows first; a slot may be shared when both rows hold the same value
    // there (a hole inside a row holds the dead state 0 and must stay 0).
    std::vector<int> order(n);
    for (int s = 0; s < n; ++s) order[s] = s;
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return p.high[a] - p.low[a] > p.high[b] - p.low[b]; });
    std::vector<int> slots; // -1 when free
    for (int s : order) {
        if (p.low[s] > p.high[s]) continue;
        for (int base = -p.low[s];; ++base) {
            bool fits = true;
            for (int c = p.low[s]; c <= p.high[s] && fits; ++c) {
                std::size_t i = static_cast<std::size_t>(base + c);
                if (i < slots.size() && slots[i] >= 0 && slots[i] != dfa.next[s][c]) fits = false;
            }
            if (!fits) continue;
            for (int c = p.low[s]; c <= p.high[s]; ++c) {
                std::size_t i = static_cast<std::size_t>(base + c);
                if (i >= slots.size()) slots.resize(i + 1, -1);
                slots[i] = dfa.next[s][c];
            }
            p.offset[s] = base;
            break;
        }
    }
    for (int &v : slots)
        if (v < 0) v = 0;
    p.transitions = slots;
    return p;
}

// ---- Output -------------------------------------------------------------------------------

void write_array(std::ostream &out, const char *type, const char *name, const std::vector<int> &v,
                 const char *size) {
    out << "const " << type << " " << name << "[" << size << "] = {";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i % 16 == 0) out << "\n   ";
        out << " " << v[i] << ",";
    }
    out << "\n};\n\n";
}

std::vector<int> documented_class_map(const Description &d) {
    std::vector<int> map(256);
    for (int b = 0; b < 256; ++b) map[b] = b == 0 || b == '\n' ? 0 : d.byte_class[b];
    return map;
}

std::vector<int> scan_class_map(const Description &d) {
    std::vector<int> map(256);
    for (int b = 0; b < 256; ++b) map[b] = b == 0 ? NO_CLASS : d.byte_class[b];
    return map;
}

void write_tables(const Description &d, const Dfa &dfa, const Packed &p,
                  const std::string &rules_name, const std::string &header_path,
                  const std::string &source_path) {
    std::ostringstream banner;
    banner << "// Generated by tools/lexgen from " << rules_name << ": " << dfa.size()
           << " states, " << p.transitions.size() << " transitions, " << CLASS_COUNT
           << " character classes.\n// Do not edit: change the rules and rebuild.\n";

    std::ofstream h(header_path, std::ios::binary);
    if (!h) fail(header_path, "cannot write");
    h << banner.str() << "#pragma once\n\n#include <cstdint>\n\n";
    h << "inline constexpr int LEX_STATE_COUNT = " << dfa.size() << ";\n";
    h << "inline constexpr int LEX_TRANSITION_COUNT = " << p.transitions.size() << ";\n";
    h << "inline constexpr int LEX_CLASS_COUNT = " << CLASS_COUNT << ";\n";
    h << "inline constexpr int LEX_NEWLINE_CLASS = " << NEWLINE_CLASS << ";\n";
    h << "inline constexpr int LEX_RULE_SET_COUNT = " << d.rule_sets.size() << ";\n";
    for (const RuleSet &rs : d.rule_sets)
        h << "inline constexpr int LEX_START_" << rs.name << " = " << rs.number << ";\n";
    h << "\n// One state's row: the transitions for classes low..high are at\n"
         "// lex_transitions[offset + class]; low > high means the state has none.\n"
         "struct LexStateRow {\n"
         "    std::int16_t offset;\n"
         "    std::int8_t low;\n"
         "    std::int8_t high;\n"
         "    std::int8_t kind; // the kind the state accepts; ERROR_TOKEN (122) for none\n"
         "};\n\n";
    h << "// The class of each byte; the 0 byte and newline are in class 0 with 0x80..0xFF.\n"
         "extern const std::int8_t lex_class_map[256];\n"
         "// The class the scanner looks up: newline is the newline column (50) and the 0 byte\n"
         "// is 53, outside every row, so that it always takes the refill path.\n"
         "extern const std::int8_t lex_scan_class[256];\n"
         "extern const LexStateRow lex_states[LEX_STATE_COUNT];\n"
         "extern const std::int16_t lex_transitions[LEX_TRANSITION_COUNT];\n";

    std::ofstream c(source_path, std::ios::binary);
    if (!c) fail(source_path, "cannot write");
    c << banner.str() << "#include \"lexer_tables.h\"\n\n";
    write_array(c, "std::int8_t", "lex_class_map", documented_class_map(d), "256");
    write_array(c, "std::int8_t", "lex_scan_class", scan_class_map(d), "256");
    c << "// { offset, low, high, kind }\n";
    c << "const LexStateRow lex_states[LEX_STATE_COUNT] = {\n";
    for (int s = 0; s < dfa.size(); ++s)
        c << "    {" << p.offset[s] << ", " << p.low[s] << ", " << p.high[s] << ", " << p.kind[s]
          << "}, // " << s << "\n";
    c << "};\n\n";
    write_array(c, "std::int16_t", "lex_transitions", p.transitions, "LEX_TRANSITION_COUNT");
}

// ---- Verification -------------------------------------------------------------------------

// The integers between the braces of the definition `name[...] = {` in the generated source.
std::vector<long> read_array(const std::string &text, const std::string &name) {
    std::size_t at = text.find(name + "[");
    while (at != std::string::npos) {
        std::size_t close = text.find(']', at);
        if (close != std::string::npos && text.compare(close, 5, "] = {") == 0) break;
        at = text.find(name + "[", at + 1);
    }
    if (at == std::string::npos) fail(name, "array not found in the generated source");
    std::size_t open = text.find('{', at);
    std::vector<long> values;
    int depth = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        char ch = text[i];
        if (ch == '{')
            ++depth;
        else if (ch == '}') {
            if (--depth == 0) break;
        } else if (ch == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            i = text.find('\n', i);
        } else if (ch == '-' || (ch >= '0' && ch <= '9')) {
            char *end = nullptr;
            values.push_back(std::strtol(text.c_str() + i, &end, 10));
            i = static_cast<std::size_t>(end - text.c_str()) - 1;
        }
    }
    return values;
}

int verify(const Description &d, const Dfa &dfa, const std::string &source_path) {
    std::ifstream in(source_path, std::ios::binary);
    if (!in) fail(source_path, "cannot open");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<long> class_map = read_array(text, "lex_class_map");
    std::vector<long> scan_map = read_array(text, "lex_scan_class");
    std::vector<long> rows = read_array(text, "lex_states");
    std::vector<long> trans = read_array(text, "lex_transitions");
    int errors = 0;
    auto check = [&](bool ok, const std::string &what) {
        if (!ok && errors++ < 20) std::fprintf(stderr, "lexgen --verify: %s\n", what.c_str());
    };

    std::vector<int> expect_map = documented_class_map(d), expect_scan = scan_class_map(d);
    check(class_map.size() == 256 && scan_map.size() == 256, "class maps must have 256 entries");
    for (std::size_t b = 0; b < 256 && b < class_map.size() && b < scan_map.size(); ++b) {
        check(class_map[b] == expect_map[b], "class map entry " + std::to_string(b));
        check(scan_map[b] == expect_scan[b], "scan class entry " + std::to_string(b));
    }
    int n = static_cast<int>(rows.size() / 4);
    check(rows.size() % 4 == 0 && n == dfa.size(),
          "state count " + std::to_string(n) + ", automaton has " + std::to_string(dfa.size()));
    for (int s = 0; s < n && s < dfa.size(); ++s) {
        long offset = rows[4 * s], low = rows[4 * s + 1], high = rows[4 * s + 2];
        long kind = rows[4 * s + 3];
        std::string st = "state " + std::to_string(s);
        check(kind == written_kind(dfa.kind[s]), st + ": accepted kind differs");
        bool final = true;
        for (int c = 0; c < CLASS_COUNT; ++c) final = final && dfa.next[s][c] == 0;
        // A final state that accepts nothing ends the scan without consuming: only the dead
        // state may be one.
        check(!(final && kind == ERROR_KIND) || s == 0, st + ": a final state accepting nothing");
        check(low >= -128 && high <= 127 && offset >= -32768 && offset <= 32767,
              st + ": field out of its type's range");
        for (int c = 0; c < CLASS_COUNT; ++c) {
            long packed = 0;
            if (c >= low && c <= high) {
                long i = offset + c;
                check(i >= 0 && i < static_cast<long>(trans.size()), st + ": row leaves the array");
                if (i >= 0 && i < static_cast<long>(trans.size())) packed = trans[i];
            }
            check(packed == dfa.next[s][c], st + ", class " + std::to_string(c) + ": packed " +
                                                std::to_string(packed) + ", automaton " +
                                                std::to_string(dfa.next[s][c]));
        }
        // What the scanner relies on: a self-loop never reads a newline (self-loops do not count
        // lines), and the end marker is read only from a start state into a final state.
        check(dfa.next[s][NEWLINE_CLASS] != s || s == 0, st + ": self-loop on newline");
        // The scanner counts a token's characters only when it changes state.
        bool start = s >= 1 && s <= static_cast<int>(d.rule_sets.size());
        for (int c = 0; c < CLASS_COUNT; ++c)
            check(!start || dfa.next[s][c] != s, st + ": a start state loops on itself");
        int after_eof = dfa.next[s][52];
        if (after_eof != 0) {
            check(s >= 1 && s <= static_cast<int>(d.rule_sets.size()),
                  st + ": reads the end marker inside a token");
            for (int c = 0; c < CLASS_COUNT; ++c)
                check(dfa.next[after_eof][c] == 0, st + ": the end marker's state goes on");
        }
    }
    for (long t : trans) check(t >= 0 && t < n, "transition to a state out of range");
    std::printf("lexgen --verify: %d states, %zu transitions, %d classes: %s\n", n, trans.size(),
                CLASS_COUNT, errors == 0 ? "ok" : "MISMATCH");
    return errors == 0 ? 0 : 1;
}

std::string base_name(const std::string &path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "--verify") == 0) {
        Description d = read_description(argv[2]);
        Dfa dfa = build_dfa(d);
        return verify(d, dfa, argv[3]);
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: lexgen RULES OUT.h OUT.cpp\n"
                             "       lexgen --verify RULES GENERATED.cpp\n");
        return 2;
    }
    Description d = read_description(argv[1]);
    Dfa dfa = build_dfa(d);
    Packed p = pack(dfa);
    write_tables(d, dfa, p, base_name(argv[1]), argv[2], argv[3]);
    std::printf("lexgen: %d states, %zu transitions\n", dfa.size(), p.transitions.size());
    return 0;
}
