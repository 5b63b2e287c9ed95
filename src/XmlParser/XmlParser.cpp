#include "XmlParser/XmlParser.h"

#include "InputFile.h"
#include "LargeBuffer.h"

#include "XmlParser/XMLNodeData.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Length in bytes of the character each first byte starts; 0 for the zero
// byte, which ends every text.
using LenTable = std::array<unsigned char, 256>;

constexpr LenTable MakeLenTable(int enc)
{
    LenTable t{};
    for (int b = 1; b < 256; ++b) {
        int n = 1;
        switch (enc) {
        case eXmlEncUtf8:
            n = (b >= 0xC2 && b <= 0xDF)   ? 2
                : (b >= 0xE0 && b <= 0xEF) ? 3
                : (b >= 0xF0 && b <= 0xF4) ? 4
                                           : 1;
            break;
        case eXmlEncShiftJis:
            n = ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF)) ? 2 : 1;
            break;
        case eXmlEncGb2312:
            n = (b >= 0xA1 && b <= 0xF7) ? 2 : 1;
            break;
        case eXmlEncBig5:
        case eXmlEncGbk:
            n = (b >= 0x81 && b <= 0xFE) ? 2 : 1;
            break;
        default:
            break;
        }
        t[static_cast<size_t>(b)] = static_cast<unsigned char>(n);
    }
    return t;
}

constexpr LenTable kLenTables[7] = {MakeLenTable(eXmlEncSingleByte), MakeLenTable(eXmlEncUtf8),
                                    MakeLenTable(eXmlEncSingleByte), MakeLenTable(eXmlEncShiftJis),
                                    MakeLenTable(eXmlEncGb2312),     MakeLenTable(eXmlEncBig5),
                                    MakeLenTable(eXmlEncGbk)};

XmlGlobalOptions g_Options;

const unsigned char* CurrentLenTable()
{
    return kLenTables[g_Options.nEncoding].data();
}

// Clear section kinds, tried in this order, matched with regard to case.
struct ClearKind
{
    const char* szOpen;
    const char* szClose;
};
const ClearKind kClearKinds[] = {
    {"<![CDATA[", "]]>"}, {"<!DOCTYPE", ">"}, {"<!--", "-->"}, {"<PRE>", "</PRE>"}};
constexpr int kClearDoctype = 1;
constexpr int kClearComment = 2;
// A DOCTYPE with an internal subset ends at "]>".
const char* const kDoctypeSubsetClose = "]>";

struct Entity
{
    const char* szName;
    size_t nLen;
    char ch;
};
const Entity kEntities[] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''}};

inline bool IsWs(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Case-insensitive comparison of n bytes; stops at a zero byte in s.
bool CaseEqualN(const char* s, const char* t, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (s[i] == 0 || XmlLower(s[i]) != XmlLower(t[i]))
            return false;
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = XmlLower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

enum TokenType
{
    tEnd,
    tEndTagOpen,
    tDeclOpen,
    tTagOpen,
    tEmptyClose,
    tTagClose,
    tEquals,
    tQuoted,
    tText,
    tWord
};

struct Token
{
    TokenType eType;
    const char* pStart; // where the token starts
    const char* pBegin; // value of a word or quoted string (without quotes)
    const char* pEnd;
};

class Parser
{
public:
    explicit Parser(const char* text) : m_pLen(CurrentLenTable()), m_p(text), m_pContentStart(text)
    {
    }

    // Parses the whole text into a nameless top node (one reference held by the caller).
    XMLNodeData* Run();

    int m_nCode = 0;
    const char* m_pErrPos = nullptr;
    const char* Position() const { return m_p; }

private:
    // One character forward, never past the terminating zero byte.
    const char* Step(const char* p) const
    {
        const unsigned n = m_pLen[static_cast<unsigned char>(*p)];
        for (unsigned i = 1; i < n; ++i)
            if (p[i] == 0)
                return p + i;
        return p + n;
    }
    void SkipWs()
    {
        while (IsWs(*m_p))
            ++m_p;
    }
    // Counts one more item of the tree; false (and the parse stops) past the bound.
    bool CountItem(const char* pos)
    {
        if (++m_nItems <= kXmlMaxItems)
            return true;
        Fail(eXmlTooManyItems, pos);
        return false;
    }
    void Fail(int code, const char* pos)
    {
        m_nCode = code;
        m_pErrPos = pos;
        m_bStop = true;
    }
    Token NextToken();
    Token PeekToken()
    {
        const char* save = m_p;
        Token t = NextToken();
        m_p = save;
        return t;
    }
    int MatchClear(const char* p) const;
    bool EndTagMatches(const char* word, const XMLNodeData* e) const;

    void ContentStep();
    void AttributeStep();
    void ParseClear(XMLNodeData* e, int kind);
    void ParseEndTag(XMLNodeData* e);
    void OpenChild(XMLNodeData* e, const Token& name, bool decl);
    void CloseTop();
    void EndOfText();
    void FlushText(XMLNodeData* e, const char* end);
    void AddText(XMLNodeData* e, std::string&& text);
    bool Decode(const char* s, const char* e, bool mayHaveEntities, std::string& out);

    const unsigned char* m_pLen;
    const char* m_p;
    std::vector<XMLNodeData*> m_Stack; // open elements; [0] is the top node
    bool m_bInAttributes = false;
    bool m_bStop = false;
    bool m_bLastWordQ = false; // last word of a declaration ended with '?'
    int m_nItems = 0;
    // Pending text of the innermost element.
    bool m_bHaveText = false;
    bool m_bTextAmp = false;
    const char* m_pContentStart;
    const char* m_pTextStart = nullptr;
    // Unmatched end tag that closes enclosing elements until one matches it.
    const char* m_pPending = nullptr;
    const char* m_pPendingPos = nullptr;
};

Token Parser::NextToken()
{
    SkipWs();
    const char* s = m_p;
    Token t{tWord, s, s, s};
    switch (*s) {
    case 0:
        t.eType = tEnd;
        return t;
    case '<':
        if (s[1] == '/') {
            t.eType = tEndTagOpen;
            m_p = s + 2;
        } else if (s[1] == '?') {
            t.eType = tDeclOpen;
            m_p = s + 2;
        } else {
            t.eType = tTagOpen;
            m_p = s + 1;
        }
        return t;
    case '>':
        t.eType = tTagClose;
        m_p = s + 1;
        return t;
    case '=':
        t.eType = tEquals;
        m_p = s + 1;
        return t;
    case '/':
        if (s[1] == '>') {
            t.eType = tEmptyClose;
            m_p = s + 2;
            return t;
        }
        break;
    case '"':
    case '\'': {
        const char* q = s + 1;
        while (*q && *q != *s && *q != '<')
            q = Step(q);
        if (*q == *s) {
            t.eType = tQuoted;
            t.pBegin = s + 1;
            t.pEnd = q;
            m_p = q + 1;
        } else {
            t.eType = tText;
            t.pEnd = s + 1;
            m_p = s + 1;
        }
        return t;
    }
    default:
        break;
    }
    const char* q = s;
    while (*q && !IsWs(*q) && *q != '<' && *q != '>' && *q != '=' && !(*q == '/' && q[1] == '>'))
        q = Step(q);
    t.pEnd = q;
    m_p = q;
    return t;
}

int Parser::MatchClear(const char* p) const
{
    for (int k = 0; k < 4; ++k) {
        const char* o = kClearKinds[k].szOpen;
        if (std::strncmp(p, o, std::strlen(o)) == 0)
            return k;
    }
    return -1;
}

bool Parser::EndTagMatches(const char* word, const XMLNodeData* e) const
{
    if (!e->bHasName)
        return false;
    const size_t n = e->Name.size();
    if (!CaseEqualN(word, e->Name.c_str(), n))
        return false;
    const char c = word[n];
    return IsWs(c) || c == '/' || c == '<' || c == '=' || c == '>';
}

XMLNodeData* Parser::Run()
{
    auto* top = new XMLNodeData;
    m_Stack.push_back(top);
    while (!m_bStop) {
        if (m_bInAttributes)
            AttributeStep();
        else
            ContentStep();
    }
    return top;
}

void Parser::ContentStep()
{
    XMLNodeData* e = m_Stack.back();
    SkipWs();
    const char* start = m_p;
    if (*m_p == 0) {
        FlushText(e, m_p);
        if (!m_bStop)
            EndOfText();
        return;
    }
    if (*m_p != '<') {
        // Inside content every token up to the next '<' is text.
        if (!m_bHaveText) {
            m_bHaveText = true;
            m_bTextAmp = false;
            m_pTextStart = m_pContentStart;
        }
        const char* p = m_p;
        bool amp = false;
        for (;;) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '<' || c == 0)
                break;
            amp |= (c == '&');
            p = (m_pLen[c] == 1) ? p + 1 : Step(p);
        }
        m_bTextAmp |= amp;
        m_p = p;
        return;
    }
    FlushText(e, start);
    if (m_bStop)
        return;
    const int kind = MatchClear(m_p);
    if (kind >= 0) {
        ParseClear(e, kind);
        return;
    }
    const Token open = NextToken();
    if (open.eType == tEndTagOpen) {
        ParseEndTag(e);
        return;
    }
    const Token name = NextToken();
    if (name.eType != tWord) {
        Fail(eXmlMissingStartTagName, name.pStart);
        return;
    }
    OpenChild(e, name, open.eType == tDeclOpen);
}

void Parser::ParseClear(XMLNodeData* e, int kind)
{
    const char* open = m_p;
    const char* s = m_p + std::strlen(kClearKinds[kind].szOpen);
    const char* close = kClearKinds[kind].szClose;
    if (kind == kClearDoctype) {
        const char* q = s;
        while (*q && *q != '>' && *q != '<')
            q = Step(q);
        if (*q == '<')
            close = kDoctypeSubsetClose;
    }
    const size_t n = std::strlen(close);
    const char* q = s;
    while (*q && std::strncmp(q, close, n) != 0)
        q = Step(q);
    if (*q == 0) {
        Fail(eXmlUnmatchedClearTag, open);
        return;
    }
    if (!CountItem(open))
        return;
    e->Order.push_back(static_cast<int>(e->Clears.size()) * 4 + XMLNode::ItemClear);
    e->Clears.push_back({std::string(s, q), kClearKinds[kind].szOpen, close});
    m_p = q + n;
    m_pContentStart = m_p;
}

void Parser::ParseEndTag(XMLNodeData* e)
{
    const Token word = NextToken();
    if (word.eType != tWord) {
        Fail(eXmlMissingEndTagName, word.pStart);
        return;
    }
    const Token close = NextToken();
    if (close.eType != tTagClose) {
        Fail(eXmlMissingEndTagName, close.pStart);
        return;
    }
    m_pContentStart = m_p;
    if (EndTagMatches(word.pBegin, e)) {
        CloseTop();
        return;
    }
    // A warning: the end tag closes open elements until one matches it.
    m_nCode = eXmlUnmatchedEndTagWarning;
    m_pErrPos = m_p;
    m_pPending = word.pBegin;
    m_pPendingPos = m_p;
    if (m_Stack.size() == 1) {
        Fail(eXmlUnmatchedEndTag, m_pPendingPos);
        return;
    }
    CloseTop();
}

void Parser::OpenChild(XMLNodeData* e, const Token& name, bool decl)
{
    if (!CountItem(name.pStart))
        return;
    auto* c = new XMLNodeData;
    c->Name.assign(name.pBegin, name.pEnd);
    c->bHasName = true;
    c->bDeclaration = decl;
    c->pParent = e;
    m_bLastWordQ = decl && c->Name.back() == '?';
    if (m_bLastWordQ && c->Name.size() > 1)
        c->Name.pop_back();
    e->Order.push_back(static_cast<int>(e->Children.size()) * 4 + XMLNode::ItemChild);
    e->Children.push_back(XMLNode::Adopt(c));
    m_Stack.push_back(c);
    m_bInAttributes = true;
}

void Parser::CloseTop()
{
    auto shrink = [](XMLNodeData* n) {
        n->Children.shrink_to_fit();
        n->Texts.shrink_to_fit();
        n->Clears.shrink_to_fit();
        n->Attributes.shrink_to_fit();
        n->Order.shrink_to_fit();
    };
    shrink(m_Stack.back());
    m_Stack.pop_back();
    while (m_pPending) {
        XMLNodeData* parent = m_Stack.back();
        if (m_Stack.size() == 1) {
            Fail(eXmlUnmatchedEndTag, m_pPendingPos);
            return;
        }
        if (EndTagMatches(m_pPending, parent))
            m_pPending = nullptr;
        shrink(parent);
        m_Stack.pop_back();
    }
    m_bInAttributes = false;
    m_bHaveText = false;
    m_pContentStart = m_p;
}

void Parser::EndOfText()
{
    // Every open element ends here; one that should have had an end tag is a warning.
    for (size_t i = 1; i < m_Stack.size(); ++i) {
        if (!m_Stack[i]->bDeclaration) {
            m_nCode = eXmlUnmatchedEndTagWarning;
            m_pErrPos = m_p;
        }
    }
    m_bStop = true;
}

void Parser::AttributeStep()
{
    XMLNodeData* e = m_Stack.back();
    const Token t = NextToken();
    switch (t.eType) {
    case tEnd:
        EndOfText();
        return;
    case tTagClose:
        m_bInAttributes = false;
        m_bHaveText = false;
        m_pContentStart = m_p;
        // A nested "<?...?>" is complete at its '>'; at the top it holds the rest.
        if (e->bDeclaration && m_bLastWordQ && m_Stack.size() > 2)
            CloseTop();
        return;
    case tEmptyClose:
        CloseTop();
        return;
    case tWord:
        break;
    default:
        Fail(eXmlUnexpectedToken, t.pStart);
        return;
    }
    std::string name(t.pBegin, t.pEnd);
    m_bLastWordQ = e->bDeclaration && name.back() == '?';
    const Token next = PeekToken();
    if (next.eType != tEquals) {
        // Without value; a declaration's trailing '?' on its last word is dropped.
        if (m_bLastWordQ && next.eType == tTagClose)
            name.pop_back();
        if (!name.empty() && CountItem(t.pStart))
            e->Attributes.push_back({std::move(name), std::string(), false});
        return;
    }
    NextToken();
    const Token v = NextToken();
    if (v.eType == tEnd) {
        EndOfText();
        return;
    }
    if (v.eType != tWord && v.eType != tQuoted) {
        Fail(eXmlUnexpectedToken, v.pStart);
        return;
    }
    const char* vend = v.pEnd;
    m_bLastWordQ = false;
    if (e->bDeclaration && v.eType == tWord && vend[-1] == '?') {
        m_bLastWordQ = true;
        --vend;
    }
    std::string value;
    if (!CountItem(t.pStart) || !Decode(v.pBegin, vend, true, value))
        return;
    e->Attributes.push_back({std::move(name), std::move(value), true});
}

void Parser::FlushText(XMLNodeData* e, const char* end)
{
    if (!m_bHaveText)
        return;
    m_bHaveText = false;
    const char* s = m_pTextStart;
    if (g_Options.bDropWhiteSpace) {
        while (s < end && IsWs(*s))
            ++s;
        while (end > s && IsWs(end[-1]))
            --end;
        if (s == end)
            return;
    }
    std::string text;
    if (Decode(s, end, m_bTextAmp, text))
        AddText(e, std::move(text));
}

void Parser::AddText(XMLNodeData* e, std::string&& text)
{
    if (!CountItem(m_p))
        return;
    // "one <!-- c --> two" becomes one text when comments are removed.
    const size_t n = e->Order.size();
    if (g_Options.bRemoveComments && n >= 2) {
        const int last = e->Order[n - 1];
        const int prev = e->Order[n - 2];
        if ((last & 3) == XMLNode::ItemClear && (prev & 3) == XMLNode::ItemText &&
            e->Clears.back().szOpen == kClearKinds[kClearComment].szOpen) {
            e->Clears.pop_back();
            e->Order.pop_back();
            e->Texts[static_cast<size_t>(prev >> 2)] += text;
            return;
        }
    }
    e->Order.push_back(static_cast<int>(e->Texts.size()) * 4 + XMLNode::ItemText);
    e->Texts.push_back(std::move(text));
}

bool Parser::Decode(const char* s, const char* e, bool mayHaveEntities, std::string& out)
{
    if (!mayHaveEntities) {
        // A large text (the Base64 firmware of a packed file) gets huge pages.
        out.reserve(static_cast<size_t>(e - s));
        NxAdviseLarge(out.data(), out.capacity());
        out.assign(s, e);
        return true;
    }
    out.reserve(static_cast<size_t>(e - s));
    while (s < e) {
        if (*s != '&') {
            const char* r = s;
            while (r < e && *r != '&')
                r = Step(r);
            out.append(s, r < e ? r : e);
            s = r;
            continue;
        }
        const size_t rem = static_cast<size_t>(e - s);
        bool named = false;
        for (const Entity& ent : kEntities) {
            if (rem >= ent.nLen && CaseEqualN(s, ent.szName, ent.nLen)) {
                out += ent.ch;
                s += ent.nLen;
                named = true;
                break;
            }
        }
        if (named)
            continue;
        if (rem >= 2 && s[1] == '#') {
            const char* q = s + 2;
            const bool hex = q < e && (*q == 'x' || *q == 'X');
            q += hex ? 1 : 0;
            const char* digits = q;
            unsigned value = 0;
            for (; q < e; ++q) {
                const int d = HexDigit(*q);
                if (d < 0 || (!hex && d > 9))
                    break;
                value = value * (hex ? 16u : 10u) + static_cast<unsigned>(d);
                if (value > 255)
                    value = 256; // saturate: only "too big" matters
            }
            if (q > digits && q < e && *q == ';') {
                if (value > 255) {
                    Fail(eXmlCharCodeAbove255, s);
                    return false;
                }
                out += static_cast<char>(value);
                s = q + 1;
                continue;
            }
        }
        Fail(eXmlUnknownEntity, s);
        return false;
    }
    return true;
}

// Line and column of pos, counting characters from the start of text.
void LineColumn(const char* text, const char* pos, int& line, int& column)
{
    const unsigned char* len = CurrentLenTable();
    line = 1;
    column = 1;
    for (const char* p = text; p < pos && *p;) {
        if (*p == '\n') {
            ++line;
            column = 1;
            ++p;
            continue;
        }
        ++column;
        const unsigned n = len[static_cast<unsigned char>(*p)];
        unsigned i = 1;
        while (i < n && p[i])
            ++i;
        p += i;
    }
}

} // namespace

XMLNode ParseBuffer(const char* text, const char* firstTag, XmlResults* results)
{
    XmlResults r;
    XMLNode result;
    if (!text) {
        r.nError = eXmlNoElements;
    } else {
        Parser parser(text);
        XMLNode top = XMLNode::Adopt(parser.Run());
        r.nError = parser.m_nCode;
        const char* errPos = parser.m_pErrPos;
        const XMLNodeData* t = top.Data();
        // Only a clean parse turns into "no tag": an error must not become a warning.
        if (r.nError == eXmlNoError && t->Children.empty()) {
            r.nError = eXmlNoXmlTag;
            errPos = parser.Position();
        }
        if (r.nError <= eXmlNoXmlTag) {
            result = top;
            if (t->Children.size() == 1 && t->Texts.empty() && t->Clears.empty() &&
                t->Attributes.empty())
                result = t->Children[0];
            top = XMLNode();
            if (firstTag && *firstTag && !XmlNameEquals(result.Name(), firstTag)) {
                result = result.FindChild(firstTag);
                if (result.IsEmpty()) {
                    r.nError = eXmlFirstTagNotFound;
                    errPos = nullptr;
                }
            }
        }
        if (r.nError != eXmlNoError && errPos)
            LineColumn(text, errPos, r.nLine, r.nColumn);
    }
    if (results)
        *results = r;
    return result;
}

XMLNode ParseBuffer(const char* text, size_t size, const char* firstTag, XmlResults* results)
{
    XmlResults local;
    XmlResults& r = results ? *results : local;
    XMLNode node = ParseBuffer(text, firstTag, &r);
    const char* nul = text ? static_cast<const char*>(std::memchr(text, 0, size)) : nullptr;
    if (!nul)
        return node;
    for (const char* p = nul; p < text + size; ++p) {
        if (*p != 0 && !IsWs(*p)) {
            // What the reader read is there; the rest of the file is not.
            if (r.nError <= eXmlNoXmlTag) {
                r.nError = eXmlTextAfterNul;
                LineColumn(text, nul, r.nLine, r.nColumn);
            }
            break;
        }
    }
    return node;
}

XMLNode ParseDocumentFile(const char* path, const char* firstTag, XmlResults* results)
{
    XmlResults local;
    XmlResults& r = results ? *results : local;
    r = XmlResults();
    InputFileError err;
    uint64_t size = 0;
    FILE* f = FOpenInputFile(path, kMaxInputBytes, err, &size);
    if (!f) {
        r.nError = err == InputFileError::NotRegular ? eXmlNotRegularFile
                   : err == InputFileError::TooLarge ? eXmlFileTooLarge
                                                     : eXmlFileNotFound;
        return {};
    }
    std::vector<char> buf;
    buf.reserve(static_cast<size_t>(size) + 4);
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        buf.insert(buf.end(), chunk, chunk + n);
        if (buf.size() > kMaxInputBytes) // grown since it was opened
            break;
    }
    std::fclose(f);
    if (buf.size() > kMaxInputBytes) {
        r.nError = eXmlFileTooLarge;
        return {};
    }
    if (buf.empty()) {
        r.nError = eXmlNoData;
        return {};
    }
    size_t len = buf.size();
    buf.insert(buf.end(), 4, '\0');
    const char* text = buf.data();
    if (g_Options.bSkipBom && len >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        len -= 3;
    }
    return ParseBuffer(text, len, firstTag, &r);
}

const char* XmlErrorText(int code)
{
    static const char* const kTexts[] = {
        "No error",
        "Warning: Unmatched end tag",
        "Warning: No XML tag found",
        "Error: No XML data",
        "Error: Missing start tag name",
        "Error: Missing end tag name",
        "Error: Unmatched end tag",
        "Error: Unmatched clear tag end",
        "Error: Unexpected token found",
        "Error: No elements found",
        "Error: File not found",
        "Error: First Tag not found",
        "Error: Unknown character entity",
        "Error: Character code above 255 is forbidden in MultiByte char mode.",
        "Error: unable to convert between WideChar and MultiByte chars",
        "Error: unable to open file for writing",
        "Error: cannot write into file",
        "Warning: Base64-string length is not a multiple of 4",
        "Error: Base64-string contains an illegal character",
        "Warning: Base64-string is truncated",
        "Error: Base64 decode output buffer is too small",
    };
    static_assert(kXmlMaxItems == 262144, "the text below names the bound");
    switch (code) {
    case eXmlTooManyItems:
        return "Error: More than 262144 XML items (elements, attributes and texts)";
    case eXmlTextAfterNul:
        return "Warning: Text after a zero byte";
    case eXmlFileTooLarge:
        return "Error: File larger than 64 MiB";
    case eXmlNotRegularFile:
        return "Error: Not a regular file";
    default:
        break;
    }
    if (code < 0 || code > eXmlBase64BufferTooSmall)
        return "Unknown";
    return kTexts[code];
}

bool SetGlobalOptions(int encoding, bool skipBom, bool dropWhiteSpace, bool removeComments)
{
    g_Options.bSkipBom = skipBom;
    g_Options.bDropWhiteSpace = dropWhiteSpace;
    g_Options.bRemoveComments = removeComments;
    if (encoding < eXmlEncUtf8 || encoding > eXmlEncGbk)
        return true;
    g_Options.nEncoding = encoding;
    return false;
}

XmlGlobalOptions GetGlobalOptions()
{
    return g_Options;
}

int GuessEncoding(const unsigned char* bytes, size_t count, bool useDeclaration)
{
    if (!bytes || count < 25)
        return eXmlEncUnknown;
    if (bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        return eXmlEncUtf8;
    const LenTable& utf8 = kLenTables[eXmlEncUtf8];
    int guess = eXmlEncUtf8;
    for (size_t i = 0; i < count && bytes[i];) {
        const size_t n = utf8[bytes[i]];
        // A character cut off by the end of the sample is no evidence either way.
        if (i + n > count)
            break;
        bool ok = true;
        for (size_t k = 1; k < n; ++k)
            ok &= (bytes[i + k] & 0xC0) == 0x80;
        if (!ok) {
            guess = eXmlEncSingleByte;
            break;
        }
        i += n;
    }
    if (!useDeclaration)
        return guess;

    const size_t limit = count < 200 ? count : 200;
    const std::string head(reinterpret_cast<const char*>(bytes), limit);
    size_t p = head.find("encoding");
    if (p == std::string::npos)
        return guess;
    p += 8;
    auto skipWs = [&] {
        while (p < limit && IsWs(head[p]))
            ++p;
    };
    skipWs();
    if (p >= limit || head[p] != '=')
        return guess;
    ++p;
    skipWs();
    if (p >= limit || (head[p] != '"' && head[p] != '\''))
        return guess;
    ++p;
    skipWs();
    const char* v = head.c_str() + p; // zero-terminated by the string
    auto is = [v](const char* name) { return CaseEqualN(v, name, std::strlen(name)); };
    if (is("utf-8") || is("utf8"))
        return guess == eXmlEncSingleByte ? eXmlEncUnknown : eXmlEncUtf8;
    if (is("shiftjis") || is("shift-jis") || is("sjis"))
        return eXmlEncShiftJis;
    if (is("GB2312"))
        return eXmlEncGb2312;
    if (is("Big5"))
        return eXmlEncBig5;
    if (is("GBK"))
        return eXmlEncGbk;
    return eXmlEncSingleByte;
}
