# The lexer's rules. tools/lexgen reads this file and writes the lexer's tables (the class map,
# the per-state rows and the packed transition array) into the build tree; docs/lexer.md says
# how to change it.
#
#   class N [set]          character class N and its bytes (53 classes, 0..52)
#   pattern NAME = regex   a named piece, used as {NAME}
#   ruleset NAME NUMBER    the rules that follow form rule set NAME; NUMBER is its start state
#   KIND regex             a rule: text matching regex is a token of KIND (a tokens.def name)
#
# Regexes: "literal", [set] (ranges, ^ for the complement), {NAME}, ( ), |, *, +, ?, and
# spliced(regex): the regex with line continuations ({CONT}) allowed after each character.
# Escapes in literals and sets: \\ \" \' \] \- \n \t \v \f \r \xHH. A line that starts with
# blanks continues the line before it; '#' outside literals and sets starts a comment.
#
# The scanner takes the longest match; when two rules match the same text the earlier rule
# wins. A rule of kind ERROR_TOKEN accepts nothing: its text comes back as ERROR_TOKEN through
# the scanner's "nothing recognised" path (everything consumed so far).

# ---- Character classes --------------------------------------------------------------------
# Class 0 holds the bytes 0x80..0xFF; the class map also puts the 0 byte and newline there, but
# the scanner never takes a transition on those two: a 0 byte makes it refill the buffer and a
# newline uses the newline column, class 50.
class 0  [\x80-\xff]
class 1  [?]
class 2  [\\]
class 3  [1-7]
class 4  [89]
class 5  [0]
class 6  [Xx]
class 7  [l]
class 8  [Uu]
class 9  [Ee]
class 10 [F]
class 11 [GHIJKMNOPQRSTVWYZ_ghijkmopqswyz]
class 12 [n]
class 13 [b]
class 14 [f]
class 15 [r]
class 16 [t]
class 17 [v]
class 18 [a]
class 19 [L]
class 20 [ABCDcd]
class 21 [\-]
class 22 [+]
class 23 [.]
class 24 [!]
class 25 [<]
class 26 [(]
class 27 [>]
class 28 [)]
class 29 [|]
class 30 [{]
class 31 [\[]
class 32 [}]
class 33 [\]]
class 34 [~]
class 35 [\^]
class 36 [&]
class 37 [:]
class 38 [,]
class 39 [%]
class 40 [;]
class 41 [#]
class 42 [\t ]
class 43 [\v\f\r]
class 44 [/]
class 45 [*]
class 46 [=]
class 47 ["]
class 48 [']
class 49 [$]
class 50 [\n]
class 51 [\x01\x02\x04-\x08\x0e-\x1f@`\x7f]
class 52 [\x03]

# ---- Pieces -------------------------------------------------------------------------------
pattern EOF     = "\x03"                  # the end marker the stream layer puts after the data
pattern HIGH    = [\x80-\xff]
pattern DIGIT   = [0-9]
pattern BSLASH  = "\\" | "??/"
pattern CONT    = {BSLASH} "\n"           # a line continuation, also through the trigraph
pattern SPLICE  = {CONT}*                 # continuations allowed inside a punctuator

pattern ISUFFIX = [uU] [lL]? | [lL] [uU]?
pattern EXP     = [eE] [+\-]? {DIGIT}+
pattern DEC     = [1-9] {DIGIT}* {ISUFFIX}?
pattern OCT     = "0" [0-7]* {ISUFFIX}?
pattern HEX     = "0" [xX] [0-9a-fA-F]+ {ISUFFIX}?
pattern FLOAT   = ({DIGIT}+ "." {DIGIT}* | "." {DIGIT}+) {EXP}? [fFlL]?
                | {DIGIT}+ {EXP} [fFlL]?
# Every number is a pp-number; one that fits none of the forms above stays TOKEN_PPNUM.
pattern PPNUM   = ({DIGIT} | "." {DIGIT}) ([0-9A-Za-z_.] | [eE] [+\-])*

# Inside constants every byte but the closing quote, the backslash, newline and the end marker
# stands for itself (bytes 0x80..0xFF included: UTF-8 text). A backslash, or the trigraph ??/,
# escapes any character but the end marker; escaping a newline continues the constant.
pattern ESC     = {BSLASH} [^\n\x03]
pattern CCHAR   = [^'\\\n\x03]
pattern SCHAR   = [^"\\\n\x03]

# The trigraphs that stand for punctuator characters.
pattern SHARP   = "#" | "??="
pattern LBRACK  = "[" | "??("
pattern RBRACK  = "]" | "??)"
pattern LBRACE  = "{" | "??<"
pattern RBRACE  = "}" | "??>"
pattern BAR     = "|" | "??!"
pattern UP      = "^" | "??'"
pattern TILDE   = "~" | "??-"

# ---- The ordinary rule set ----------------------------------------------------------------
ruleset main_lexer 1
TOKEN_END_OF_FILE        {EOF}

TOKEN_HORIZ_WHITESPACE   [\t ]+
TOKEN_NEWLINE            [\t ]* "\n"
TOKEN_OTHER_WHITESPACE   [\v\f\r] [\t \v\f\r]*

TOKEN_BSLASH_NL          {CONT}
TOKEN_TRI_BSLASH         "??/"

# Only the opener of a comment: the comment reader does the rest. A continuation may split
# "/*" but not "//".
TOKEN_COMMENT            "/" {SPLICE} "*"
TOKEN_BOL_COMMENT        "//"

# A continuation inside an identifier or number, even as its last characters, gives the _BNL
# kind; an identifier with a dollar sign stays TOKEN_IDENTIFIER_DOL either way.
TOKEN_IDENTIFIER         [A-Za-z_] [0-9A-Za-z_]*
TOKEN_IDENTIFIER_BNL     spliced([A-Za-z_] [0-9A-Za-z_]*)
TOKEN_IDENTIFIER_DOL     spliced([A-Za-z_$] [0-9A-Za-z_$]*)

TOKEN_DECCONST           {DEC}
TOKEN_OCTCONST           {OCT}
TOKEN_HEXCONST           {HEX}
TOKEN_FLOATCONST         {FLOAT}
TOKEN_PPNUM              {PPNUM}
TOKEN_DECCONST_BNL       spliced({DEC})
TOKEN_OCTCONST_BNL       spliced({OCT})
TOKEN_HEXCONST_BNL       spliced({HEX})
TOKEN_FLOATCONST_BNL     spliced({FLOAT})
TOKEN_PPNUM_BNL          spliced({PPNUM})

# "L" directly before the quote makes a wide constant. With ??/ the longest match decides
# whether it escapes the next character or is three plain ones.
TOKEN_CHARCONST          "L"? "'" ({CCHAR} | {ESC})* "'"
TOKEN_CHARCONST_BNL      "L"? "'" ({CCHAR} | {ESC} | {CONT})* "'"
TOKEN_STRINGCONST        "L"? "\"" ({SCHAR} | {ESC})* "\""
TOKEN_STRINGCONST_BNL    "L"? "\"" ({SCHAR} | {ESC} | {CONT})* "\""

TOKEN_AMP                "&"
TOKEN_AMPAMP             "&" {SPLICE} "&"
TOKEN_AMPEQ              "&" {SPLICE} "="
TOKEN_BAR                {BAR}
TOKEN_BARBAR             {BAR} {SPLICE} {BAR}
TOKEN_BAREQ              {BAR} {SPLICE} "="
TOKEN_COLON              ":"
TOKEN_COMMA              ","
TOKEN_DASH               "-"
TOKEN_DASHDASH           "-" {SPLICE} "-"
TOKEN_DASHEQ             "-" {SPLICE} "="
TOKEN_DASHGT             "-" {SPLICE} ">"
TOKEN_DOT                "."
TOKEN_ELLIPSIS           "." {SPLICE} "." {SPLICE} "."
TOKEN_EQ                 "="
TOKEN_EQEQ               "=" {SPLICE} "="
TOKEN_EXCL               "!"
TOKEN_EXCLEQ             "!" {SPLICE} "="
TOKEN_GT                 ">"
TOKEN_GTEQ               ">" {SPLICE} "="
TOKEN_GTGT               ">" {SPLICE} ">"
TOKEN_GTGTEQ             ">" {SPLICE} ">" {SPLICE} "="
TOKEN_LBRACE             {LBRACE}
TOKEN_LBRACK             {LBRACK}
TOKEN_LPAREN             "("
TOKEN_LT                 "<"
TOKEN_LTEQ               "<" {SPLICE} "="
TOKEN_LTLT               "<" {SPLICE} "<"
TOKEN_LTLTEQ             "<" {SPLICE} "<" {SPLICE} "="
TOKEN_PCT                "%"
TOKEN_PCTEQ              "%" {SPLICE} "="
TOKEN_PLUS               "+"
TOKEN_PLUSEQ             "+" {SPLICE} "="
TOKEN_PLUSPLUS           "+" {SPLICE} "+"
TOKEN_QUESTION           "?"
TOKEN_RBRACE             {RBRACE}
TOKEN_RBRACK             {RBRACK}
TOKEN_RPAREN             ")"
TOKEN_SEMICOLON          ";"
TOKEN_SLASH              "/"
TOKEN_SLASHEQ            "/" {SPLICE} "="
TOKEN_STAR               "*"
TOKEN_STAREQ             "*" {SPLICE} "="
TOKEN_TILDE              {TILDE}
TOKEN_UP                 {UP}
TOKEN_UPEQ               {UP} {SPLICE} "="
TOKEN_SHARP              {SHARP}
TOKEN_SHARP_SHARP        {SHARP} {SPLICE} {SHARP}

# A run of bytes 0x80..0xFF outside a constant is one ERROR_TOKEN, so that a UTF-8 character is
# never cut in two. Everything else that matches nothing (a lone backslash, an at sign, a
# control character) comes back as one character of ERROR_TOKEN.
ERROR_TOKEN              {HIGH}+

# ---- The rule set for the first character of a file ---------------------------------------
# Any first character but the end marker is FIRST_TOKEN; the caller then backs up over it and
# switches to main_lexer. A byte 0x80..0xFF counts too, so that main_lexer sees its whole run.
ruleset first_token_lexer 2
TOKEN_END_OF_FILE        {EOF}
FIRST_TOKEN              [^\x03]

# ---- The Fortran rule sets (--fortran-lines) ----------------------------------------------
# No trigraphs and no `//` comment in either. fortran_lexer reads code and comment lines: a
# backslash is an ordinary character there (Fortran has no backslash continuation), so no
# token is spliced. fortran_directive_lexer reads directive lines, which still continue with a
# backslash before the newline.
pattern PCONT   = "\\" "\n"               # a continuation, never through a trigraph
pattern PSPLICE = {PCONT}*
pattern PESC    = "\\" [^\n\x03]

ruleset fortran_lexer 3
TOKEN_END_OF_FILE        {EOF}
TOKEN_HORIZ_WHITESPACE   [\t ]+
TOKEN_NEWLINE            [\t ]* "\n"
TOKEN_OTHER_WHITESPACE   [\v\f\r] [\t \v\f\r]*
TOKEN_COMMENT            "/*"
TOKEN_IDENTIFIER         [A-Za-z_] [0-9A-Za-z_]*
TOKEN_IDENTIFIER_DOL     [A-Za-z_$] [0-9A-Za-z_$]*
TOKEN_DECCONST           {DEC}
TOKEN_OCTCONST           {OCT}
TOKEN_HEXCONST           {HEX}
TOKEN_FLOATCONST         {FLOAT}
TOKEN_PPNUM              {PPNUM}
TOKEN_CHARCONST          "L"? "'" ({CCHAR} | {PESC})* "'"
TOKEN_STRINGCONST        "L"? "\"" ({SCHAR} | {PESC})* "\""
TOKEN_AMP                "&"
TOKEN_AMPAMP             "&&"
TOKEN_AMPEQ              "&="
TOKEN_BAR                "|"
TOKEN_BARBAR             "||"
TOKEN_BAREQ              "|="
TOKEN_COLON              ":"
TOKEN_COMMA              ","
TOKEN_DASH               "-"
TOKEN_DASHDASH           "--"
TOKEN_DASHEQ             "-="
TOKEN_DASHGT             "->"
TOKEN_DOT                "."
TOKEN_ELLIPSIS           "..."
TOKEN_EQ                 "="
TOKEN_EQEQ               "=="
TOKEN_EXCL               "!"
TOKEN_EXCLEQ             "!="
TOKEN_GT                 ">"
TOKEN_GTEQ               ">="
TOKEN_GTGT               ">>"
TOKEN_GTGTEQ             ">>="
TOKEN_LBRACE             "{"
TOKEN_LBRACK             "["
TOKEN_LPAREN             "("
TOKEN_LT                 "<"
TOKEN_LTEQ               "<="
TOKEN_LTLT               "<<"
TOKEN_LTLTEQ             "<<="
TOKEN_PCT                "%"
TOKEN_PCTEQ              "%="
TOKEN_PLUS               "+"
TOKEN_PLUSEQ             "+="
TOKEN_PLUSPLUS           "++"
TOKEN_QUESTION           "?"
TOKEN_RBRACE             "}"
TOKEN_RBRACK             "]"
TOKEN_RPAREN             ")"
TOKEN_SEMICOLON          ";"
TOKEN_SLASH              "/"
TOKEN_SLASHEQ            "/="
TOKEN_STAR               "*"
TOKEN_STAREQ             "*="
TOKEN_TILDE              "~"
TOKEN_UP                 "^"
TOKEN_UPEQ               "^="
TOKEN_SHARP              "#"
TOKEN_SHARP_SHARP        "##"
ERROR_TOKEN              {HIGH}+

ruleset fortran_directive_lexer 4
TOKEN_END_OF_FILE        {EOF}
TOKEN_HORIZ_WHITESPACE   [\t ]+
TOKEN_NEWLINE            [\t ]* "\n"
TOKEN_OTHER_WHITESPACE   [\v\f\r] [\t \v\f\r]*
TOKEN_BSLASH_NL          {PCONT}
TOKEN_COMMENT            "/" {PSPLICE} "*"
TOKEN_IDENTIFIER         [A-Za-z_] [0-9A-Za-z_]*
TOKEN_IDENTIFIER_BNL     (([A-Za-z_] {PSPLICE}) ([0-9A-Za-z_] {PSPLICE})*)
TOKEN_IDENTIFIER_DOL     (([A-Za-z_$] {PSPLICE}) ([0-9A-Za-z_$] {PSPLICE})*)
TOKEN_DECCONST           {DEC}
TOKEN_OCTCONST           {OCT}
TOKEN_HEXCONST           {HEX}
TOKEN_FLOATCONST         {FLOAT}
TOKEN_PPNUM              {PPNUM}
TOKEN_CHARCONST          "L"? "'" ({CCHAR} | {PESC})* "'"
TOKEN_CHARCONST_BNL      "L"? "'" ({CCHAR} | {PESC} | {PCONT})* "'"
TOKEN_STRINGCONST        "L"? "\"" ({SCHAR} | {PESC})* "\""
TOKEN_STRINGCONST_BNL    "L"? "\"" ({SCHAR} | {PESC} | {PCONT})* "\""
TOKEN_AMP                "&"
TOKEN_AMPAMP             "&" {PSPLICE} "&"
TOKEN_AMPEQ              "&" {PSPLICE} "="
TOKEN_BAR                "|"
TOKEN_BARBAR             "|" {PSPLICE} "|"
TOKEN_BAREQ              "|" {PSPLICE} "="
TOKEN_COLON              ":"
TOKEN_COMMA              ","
TOKEN_DASH               "-"
TOKEN_DASHDASH           "-" {PSPLICE} "-"
TOKEN_DASHEQ             "-" {PSPLICE} "="
TOKEN_DASHGT             "-" {PSPLICE} ">"
TOKEN_DOT                "."
TOKEN_ELLIPSIS           "." {PSPLICE} "." {PSPLICE} "."
TOKEN_EQ                 "="
TOKEN_EQEQ               "=" {PSPLICE} "="
TOKEN_EXCL               "!"
TOKEN_EXCLEQ             "!" {PSPLICE} "="
TOKEN_GT                 ">"
TOKEN_GTEQ               ">" {PSPLICE} "="
TOKEN_GTGT               ">" {PSPLICE} ">"
TOKEN_GTGTEQ             ">" {PSPLICE} ">" {PSPLICE} "="
TOKEN_LBRACE             "{"
TOKEN_LBRACK             "["
TOKEN_LPAREN             "("
TOKEN_LT                 "<"
TOKEN_LTEQ               "<" {PSPLICE} "="
TOKEN_LTLT               "<" {PSPLICE} "<"
TOKEN_LTLTEQ             "<" {PSPLICE} "<" {PSPLICE} "="
TOKEN_PCT                "%"
TOKEN_PCTEQ              "%" {PSPLICE} "="
TOKEN_PLUS               "+"
TOKEN_PLUSEQ             "+" {PSPLICE} "="
TOKEN_PLUSPLUS           "+" {PSPLICE} "+"
TOKEN_QUESTION           "?"
TOKEN_RBRACE             "}"
TOKEN_RBRACK             "]"
TOKEN_RPAREN             ")"
TOKEN_SEMICOLON          ";"
TOKEN_SLASH              "/"
TOKEN_SLASHEQ            "/" {PSPLICE} "="
TOKEN_STAR               "*"
TOKEN_STAREQ             "*" {PSPLICE} "="
TOKEN_TILDE              "~"
TOKEN_UP                 "^"
TOKEN_UPEQ               "^" {PSPLICE} "="
TOKEN_SHARP              "#"
TOKEN_SHARP_SHARP        "#" {PSPLICE} "#"
ERROR_TOKEN              {HIGH}+
