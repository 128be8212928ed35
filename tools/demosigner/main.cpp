// A stand-in for the product's signer programs, so that the tray can serve a page without
// them: it answers native messages on standard input with native messages on standard
// output, in the namespace of each request, and writes nothing else there.
//
// Methods (the last part of "method"):
//   Echo             "result" is the request's "args"
//   Generate         "result" is a text of args[0] characters
//   Log              writes args[0] to standard error; "result" is empty
//   Exit             exits with code args[0] without an answer
//   Origin           "result" is the page's origin, from QUILLET_ORIGIN
//   DisposeInstance  exits with code 0 without an answer
// Any other method is answered with "error": "Unknown method".
//
// It needs nothing but the C++ library, so that it starts in a fraction of a millisecond, and
// it copies the JSON values that it hands back as they came: a document of many megabytes in
// "args" is scanned once for its end and never decoded.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {
bool readExactly(char* data, size_t size)
{
    return std::fread(data, 1, size, stdin) == size;
}

// One frame: a 32-bit length in the machine's byte order, then that many bytes.
bool readMessage(std::string& payload)
{
    char header[4];
    if (!readExactly(header, sizeof header))
        return false;
    int32_t length = 0;
    std::memcpy(&length, header, sizeof length);
    if (length < 0)
        return false;
    payload.resize(size_t(length));
    return readExactly(payload.data(), size_t(length));
}

void writeMessage(const std::string& payload)
{
    const auto length = int32_t(payload.size());
    std::fwrite(&length, sizeof length, 1, stdout);
    std::fwrite(payload.data(), 1, payload.size(), stdout);
    std::fflush(stdout);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Finds the extent of JSON values in a text without decoding them. Every step returns false
// when the text is not JSON.
class Scanner
{
public:
    explicit Scanner(std::string_view text)
        : m_at(text.data())
        , m_end(text.data() + text.size())
    {
    }

    void skipBlanks()
    {
        while (m_at < m_end && isBlank(*m_at))
            ++m_at;
    }

    bool take(char c)
    {
        skipBlanks();
        if (m_at == m_end || *m_at != c)
            return false;
        ++m_at;
        return true;
    }

    bool atEnd()
    {
        skipBlanks();
        return m_at == m_end;
    }

    // The next value as it stands in the text.
    bool value(std::string_view& found)
    {
        skipBlanks();
        const char* start = m_at;
        if (m_at == m_end)
            return false;
        bool ok = true;
        switch (*m_at) {
        case '"':
            ok = skipString();
            break;
        case '[':
        case '{':
            ok = skipContainer();
            break;
        default:
            while (m_at < m_end && !isBlank(*m_at) && *m_at != ',' && *m_at != ']' && *m_at != '}')
                ++m_at;
            ok = m_at > start;
            break;
        }
        found = std::string_view(start, size_t(m_at - start));
        return ok;
    }

private:
    // Strings are where the bytes are: the closing quote is searched for, not walked to.
    bool skipString()
    {
        ++m_at;
        for (;;) {
            auto* quote = static_cast<const char*>(std::memchr(m_at, '"', size_t(m_end - m_at)));
            if (!quote)
                return false;
            const char* escape = quote;
            while (escape > m_at && escape[-1] == '\\')
                --escape;
            m_at = quote + 1;
            if ((quote - escape) % 2 == 0)
                return true;
        }
    }

    bool skipContainer()
    {
        const char open = *m_at++;
        const char close = open == '[' ? ']' : '}';
        if (take(close))
            return true;
        for (;;) {
            std::string_view item;
            if (open == '{' && !(value(item) && item.front() == '"' && take(':')))
                return false;
            if (!value(item))
                return false;
            if (take(close))
                return true;
            if (!take(','))
                return false;
        }
    }

    const char* m_at;
    const char* m_end;
};

void appendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

uint32_t hex4(std::string_view text, size_t at)
{
    if (at + 4 > text.size())
        return 0xFFFD;
    const std::string digits(text.substr(at, 4));
    char* end = nullptr;
    const unsigned long code = std::strtoul(digits.c_str(), &end, 16);
    return end == digits.c_str() + 4 ? uint32_t(code) : 0xFFFD;
}

// The text of a JSON string value, in UTF-8; empty for any other value.
std::string decodeString(std::string_view value)
{
    std::string out;
    if (value.size() < 2 || value.front() != '"')
        return out;
    const std::string_view inner = value.substr(1, value.size() - 2);
    for (size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] != '\\' || i + 1 == inner.size()) {
            out += inner[i];
            continue;
        }
        const char escaped = inner[++i];
        switch (escaped) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            uint32_t code = hex4(inner, i + 1);
            i += 4;
            if (code >= 0xD800 && code < 0xDC00 && inner.substr(i + 1, 2) == "\\u") {
                const uint32_t low = hex4(inner, i + 3);
                if (low >= 0xDC00 && low < 0xE000) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    i += 6;
                }
            }
            appendUtf8(out, code);
            break;
        }
        default:
            out += escaped;
            break;
        }
    }
    return out;
}

// The parts of a request that the signer reads, as they stand in its text.
struct Request
{
    std::string_view method;
    std::string_view id;
    std::string_view args;
    bool hasId = false;
    bool hasArgs = false;
};

// A text that is not a JSON object reads as an empty object.
Request parseRequest(std::string_view text)
{
    Request request;
    Scanner scanner(text);
    if (!scanner.take('{'))
        return {};
    if (!scanner.take('}')) {
        for (;;) {
            std::string_view key;
            std::string_view value;
            if (!scanner.value(key) || key.front() != '"' || !scanner.take(':') || !scanner.value(value))
                return {};
            const std::string name = decodeString(key);
            if (name == "method") {
                request.method = value;
            } else if (name == "id") {
                request.id = value;
                request.hasId = true;
            } else if (name == "args") {
                request.args = value;
                request.hasArgs = true;
            }
            if (scanner.take('}'))
                break;
            if (!scanner.take(','))
                return {};
        }
    }
    return scanner.atEnd() ? request : Request();
}

// The first element of an array value, as it stands; empty when there is none.
std::string_view firstElement(std::string_view array)
{
    Scanner scanner(array);
    std::string_view first;
    if (!scanner.take('[') || !scanner.value(first))
        return {};
    return first;
}

double number(std::string_view value)
{
    const std::string text(value);
    char* end = nullptr;
    const double result = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() ? result : 0.0;
}

std::string generatedText(int64_t size)
{
    static constexpr std::string_view pattern = "0123456789abcdef";
    std::string text;
    text.reserve(size_t(size > 0 ? size : 0));
    while (int64_t(text.size() + pattern.size()) <= size)
        text += pattern;
    if (int64_t(text.size()) < size)
        text += pattern.substr(0, size_t(size - int64_t(text.size())));
    return text;
}

// The reply object with its keys in order: error, id, method, result.
std::string reply(const Request& request, std::string_view method, std::string_view error,
                  std::string_view result)
{
    std::string out;
    out.reserve(result.size() + method.size() + request.id.size() + error.size() + 48);
    out += '{';
    if (!error.empty()) {
        out += R"("error":)";
        out += error;
        out += ',';
    }
    if (request.hasId) {
        out += R"("id":)";
        out += request.id;
        out += ',';
    }
    out += R"("method":)";
    out += method;
    out += R"(,"result":)";
    out += result;
    out += '}';
    return out;
}
} // namespace

int main()
{
    std::string payload;
    while (readMessage(payload)) {
        const Request request = parseRequest(payload);
        const std::string methodText = decodeString(request.method);
        const bool methodIsText = !request.method.empty() && request.method.front() == '"';
        const std::string_view method = methodIsText ? request.method : std::string_view(R"("")");
        const size_t dot = methodText.rfind('.');
        const std::string name = dot == std::string::npos ? methodText : methodText.substr(dot + 1);
        const bool argsIsArray = request.hasArgs && request.args.front() == '[';
        const std::string_view args = argsIsArray ? request.args : std::string_view("[]");

        if (name == "DisposeInstance")
            return 0;
        if (name == "Exit") {
            const double code = number(firstElement(args));
            return std::trunc(code) == code && std::fabs(code) <= 2147483647.0 ? int(code) : 0;
        }
        if (name == "Echo") {
            writeMessage(reply(request, method, {}, args));
        } else if (name == "Generate") {
            const std::string text = '"' + generatedText(int64_t(number(firstElement(args)))) + '"';
            writeMessage(reply(request, method, {}, text));
        } else if (name == "Origin") {
            const char* origin = std::getenv("QUILLET_ORIGIN");
            std::string text = "\"";
            for (const char* c = origin ? origin : ""; *c; ++c) {
                if (*c == '"' || *c == '\\')
                    text += '\\';
                if (static_cast<unsigned char>(*c) >= 0x20)
                    text += *c;
            }
            writeMessage(reply(request, method, {}, text + '"'));
        } else if (name == "Log") {
            const std::string text = decodeString(firstElement(args));
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
            writeMessage(reply(request, method, {}, R"("")"));
        } else {
            writeMessage(reply(request, method, R"("Unknown method")", R"("")"));
        }
    }
    return 0;
}
