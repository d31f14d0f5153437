// guishape: the shape bound of request documents.
#include <vorngui/guishape.h>

#include <cstring>

namespace vorngui {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Name characters as far as the bound needs them: anything but white space, markup characters
// and quotes. The XML library checks the names themselves.
bool isNameChar(char c) {
    return !isSpace(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' &&
           c != '?' && c != '!';
}

std::string excess(const char* what, std::size_t limit) {
    return std::string(what) + " exceeds the limit of " + std::to_string(limit);
}

class CScanner {
public:
    CScanner(const std::string& text, const SGUIShapeLimits& limits, SGUIShape& shape)
        : m_text(text), m_limits(limits), m_shape(shape) {}

    std::string run() {
        std::size_t depth = 0;
        const std::size_t size = m_text.size();
        while (m_at < size) {
            const std::size_t open = m_text.find('<', m_at);
            if (open == std::string::npos)
                break;
            m_at = open + 1;
            if (startsWith("!--")) {
                if (!skipPast("-->"))
                    return "unterminated comment";
            } else if (startsWith("![CDATA[")) {
                if (!skipPast("]]>"))
                    return "unterminated CDATA section";
            } else if (startsWith("?")) {
                if (!skipPast("?>"))
                    return "unterminated processing instruction";
            } else if (startsWith("!")) {
                return "markup declarations are not accepted";
            } else if (startsWith("/")) {
                if (depth == 0)
                    return "end tag without a start tag";
                --depth;
                const std::size_t close = m_text.find('>', m_at);
                if (close == std::string::npos)
                    return "unterminated end tag";
                m_at = close + 1;
            } else {
                bool empty = false;
                std::string error = startTag(empty);
                if (!error.empty())
                    return error;
                if (++m_shape.elements > elementLimit())
                    return excess("the number of elements", elementLimit());
                if (!empty) {
                    ++depth;
                    if (depth > m_shape.depth)
                        m_shape.depth = depth;
                    if (depth > m_limits.maxDepth)
                        return excess("the nesting depth", m_limits.maxDepth);
                }
            }
        }
        return std::string();
    }

private:
    bool startsWith(const char* prefix) const {
        return m_text.compare(m_at, std::strlen(prefix), prefix) == 0;
    }

    bool skipPast(const char* end) {
        const std::size_t found = m_text.find(end, m_at);
        if (found == std::string::npos)
            return false;
        m_at = found + std::strlen(end);
        return true;
    }

    void skipSpace() {
        while (m_at < m_text.size() && isSpace(m_text[m_at]))
            ++m_at;
    }

    std::size_t skipName() {
        const std::size_t from = m_at;
        while (m_at < m_text.size() && isNameChar(m_text[m_at]))
            ++m_at;
        return m_at - from;
    }

    std::size_t elementLimit() const {
        return m_shape.rootType == "conf-set" ? m_limits.maxConfElements : m_limits.maxElements;
    }

    // Reads a start or empty tag from just after its "<".
    std::string startTag(bool& empty) {
        const bool root = m_shape.elements == 0;
        if (skipName() == 0)
            return "malformed start tag";
        std::size_t attributes = 0;
        for (;;) {
            const std::size_t before = m_at;
            skipSpace();
            if (m_at >= m_text.size())
                return "unterminated start tag";
            const char c = m_text[m_at];
            if (c == '>') {
                ++m_at;
                return std::string();
            }
            if (c == '/') {
                if (m_at + 1 >= m_text.size() || m_text[m_at + 1] != '>')
                    return "malformed start tag";
                m_at += 2;
                empty = true;
                return std::string();
            }
            // Attributes are separated from the name and from each other by white space.
            if (m_at == before)
                return "malformed start tag";
            const std::size_t nameAt = m_at;
            const std::size_t nameLength = skipName();
            if (nameLength == 0)
                return "malformed attribute";
            skipSpace();
            if (m_at >= m_text.size() || m_text[m_at] != '=')
                return "malformed attribute";
            ++m_at;
            skipSpace();
            if (m_at >= m_text.size() || (m_text[m_at] != '"' && m_text[m_at] != '\''))
                return "malformed attribute";
            const char quote = m_text[m_at++];
            const std::size_t close = m_text.find(quote, m_at);
            if (close == std::string::npos)
                return "unterminated attribute value";
            if (root && nameLength == 4 && m_text.compare(nameAt, 4, "type") == 0)
                m_shape.rootType = m_text.substr(m_at, std::min<std::size_t>(close - m_at, 64));
            m_at = close + 1;
            if (++attributes > m_shape.attributes)
                m_shape.attributes = attributes;
            if (attributes > m_limits.maxAttributes)
                return excess("the number of attributes of one element", m_limits.maxAttributes);
        }
    }

    const std::string& m_text;
    const SGUIShapeLimits& m_limits;
    SGUIShape& m_shape;
    std::size_t m_at = 0;
};

} // namespace

std::string gCheckRequestShape(const std::string& text, const SGUIShapeLimits& limits,
                               SGUIShape& shape) {
    shape = SGUIShape();
    return CScanner(text, limits, shape).run();
}

} // namespace vorngui
