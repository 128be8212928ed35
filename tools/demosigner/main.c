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
// A page waits for its signer to start before its first answer, so this is plain C that needs
// nothing but the C library, linked statically with musl where it is installed: glibc's own
// start-up costs twice as long as the whole start of such a program. The JSON values it hands
// back are written out as they came, from the request's buffer: a document of many megabytes in
// "args" is scanned once for its end, and never decoded or copied.
#include <errno.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

// A part of a text that lives elsewhere.
typedef struct
{
    const char* data;
    size_t size;
} Text;

typedef struct
{
    char* data;
    size_t size;
    size_t capacity;
} Buffer;

// Containers nested deeper than this are not taken for JSON: the scan is recursive.
static const int maxDepth = 512;

static Text literal(const char* text)
{
    return (Text) {text, strlen(text)};
}

static bool equals(Text text, const char* other)
{
    return text.size == strlen(other) && memcmp(text.data, other, text.size) == 0;
}

static void reserve(Buffer* buffer, size_t capacity)
{
    if (capacity <= buffer->capacity)
        return;
    char* grown = realloc(buffer->data, capacity);
    if (!grown)
        exit(1);
    buffer->data = grown;
    buffer->capacity = capacity;
}

static void append(Buffer* buffer, const char* data, size_t size)
{
    if (size == 0)
        return;
    if (buffer->size + size > buffer->capacity)
        reserve(buffer, (buffer->size + size) * 2);
    memcpy(buffer->data + buffer->size, data, size);
    buffer->size += size;
}

static void appendChar(Buffer* buffer, char c)
{
    append(buffer, &c, 1);
}

static Text view(const Buffer* buffer)
{
    return (Text) {buffer->data, buffer->size};
}

static bool readExactly(char* data, size_t size)
{
    while (size > 0) {
        const ssize_t got = read(STDIN_FILENO, data, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= (size_t)got;
    }
    return true;
}

// One frame: a 32-bit length in the machine's byte order, then that many bytes.
static bool readMessage(Buffer* payload)
{
    int32_t length = 0;
    if (!readExactly((char*)&length, sizeof length) || length < 0)
        return false;
    // A byte more, so that even an empty message has a place in memory.
    reserve(payload, (size_t)length + 1);
    payload->size = (size_t)length;
    return readExactly(payload->data, payload->size);
}

static bool writeAll(int fd, struct iovec* parts, int count)
{
    while (count > 0) {
        ssize_t written = writev(fd, parts, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return false;
        while (count > 0 && (size_t)written >= parts->iov_len) {
            written -= (ssize_t)parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = (char*)parts->iov_base + written;
            parts->iov_len -= (size_t)written;
        }
    }
    return true;
}

static bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Finds the extent of JSON values in a text without decoding them. Every step returns false
// when the text is not JSON.
typedef struct
{
    const char* at;
    const char* end;
    int depth;
} Scanner;

static Scanner scanner(Text text)
{
    return (Scanner) {text.data, text.data + text.size, 0};
}

static void skipBlanks(Scanner* s)
{
    while (s->at < s->end && isBlank(*s->at))
        ++s->at;
}

static bool take(Scanner* s, char c)
{
    skipBlanks(s);
    if (s->at == s->end || *s->at != c)
        return false;
    ++s->at;
    return true;
}

static bool atEnd(Scanner* s)
{
    skipBlanks(s);
    return s->at == s->end;
}

// Strings are where the bytes are: the closing quote is searched for, not walked to.
static bool skipString(Scanner* s)
{
    ++s->at;
    for (;;) {
        const char* quote = memchr(s->at, '"', (size_t)(s->end - s->at));
        if (!quote)
            return false;
        const char* escape = quote;
        while (escape > s->at && escape[-1] == '\\')
            --escape;
        s->at = quote + 1;
        if ((quote - escape) % 2 == 0)
            return true;
    }
}

static bool value(Scanner* s, Text* found);

static bool skipContainer(Scanner* s)
{
    const char open = *s->at++;
    const char close = open == '[' ? ']' : '}';
    if (take(s, close))
        return true;
    if (++s->depth > maxDepth)
        return false;
    for (;;) {
        Text item;
        if (open == '{' && !(value(s, &item) && item.data[0] == '"' && take(s, ':')))
            return false;
        if (!value(s, &item))
            return false;
        if (take(s, close))
            break;
        if (!take(s, ','))
            return false;
    }
    --s->depth;
    return true;
}

// The next value as it stands in the text.
static bool value(Scanner* s, Text* found)
{
    skipBlanks(s);
    const char* start = s->at;
    if (s->at == s->end)
        return false;
    bool ok = true;
    switch (*s->at) {
    case '"':
        ok = skipString(s);
        break;
    case '[':
    case '{':
        ok = skipContainer(s);
        break;
    default:
        while (s->at < s->end && !isBlank(*s->at) && *s->at != ',' && *s->at != ']' && *s->at != '}')
            ++s->at;
        ok = s->at > start;
        break;
    }
    *found = (Text) {start, (size_t)(s->at - start)};
    return ok;
}

static void appendUtf8(Buffer* out, uint32_t code)
{
    char bytes[4];
    size_t size = 0;
    if (code < 0x80) {
        bytes[size++] = (char)code;
    } else if (code < 0x800) {
        bytes[size++] = (char)(0xC0 | (code >> 6));
        bytes[size++] = (char)(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        bytes[size++] = (char)(0xE0 | (code >> 12));
        bytes[size++] = (char)(0x80 | ((code >> 6) & 0x3F));
        bytes[size++] = (char)(0x80 | (code & 0x3F));
    } else {
        bytes[size++] = (char)(0xF0 | (code >> 18));
        bytes[size++] = (char)(0x80 | ((code >> 12) & 0x3F));
        bytes[size++] = (char)(0x80 | ((code >> 6) & 0x3F));
        bytes[size++] = (char)(0x80 | (code & 0x3F));
    }
    append(out, bytes, size);
}

// Four hexadecimal digits at the given place; U+FFFD where there are none.
static uint32_t hex4(Text text, size_t at)
{
    if (at + 4 > text.size)
        return 0xFFFD;
    uint32_t code = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const char c = text.data[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f'             ? c - 'a' + 10
            : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                               : -1;
        if (digit < 0)
            return 0xFFFD;
        code = code * 16 + (uint32_t)digit;
    }
    return code;
}

// The text of a JSON string value, in UTF-8; empty for any other value.
static void decodeString(Text value, Buffer* out)
{
    out->size = 0;
    if (value.size < 2 || value.data[0] != '"')
        return;
    const Text inner = {value.data + 1, value.size - 2};
    for (size_t i = 0; i < inner.size; ++i) {
        if (inner.data[i] != '\\' || i + 1 == inner.size) {
            appendChar(out, inner.data[i]);
            continue;
        }
        const char escaped = inner.data[++i];
        switch (escaped) {
        case 'b':
            appendChar(out, '\b');
            break;
        case 'f':
            appendChar(out, '\f');
            break;
        case 'n':
            appendChar(out, '\n');
            break;
        case 'r':
            appendChar(out, '\r');
            break;
        case 't':
            appendChar(out, '\t');
            break;
        case 'u': {
            uint32_t code = hex4(inner, i + 1);
            i += 4;
            if (code >= 0xD800 && code < 0xDC00 && i + 2 < inner.size && inner.data[i + 1] == '\\'
                && inner.data[i + 2] == 'u') {
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
            appendChar(out, escaped);
            break;
        }
    }
}

// Member names decoded for comparison; kept from message to message.
static Buffer keyName;

// The parts of a request that the signer reads, as they stand in its text.
typedef struct
{
    Text method;
    Text id;
    Text args;
    bool hasId;
    bool hasArgs;
} Request;

// A text that is not a JSON object reads as an empty object.
static Request parseRequest(Text text)
{
    const Request empty = {0};
    Request request = empty;
    Scanner s = scanner(text);
    if (!take(&s, '{'))
        return empty;
    if (!take(&s, '}')) {
        for (;;) {
            Text key;
            Text found;
            if (!value(&s, &key) || key.data[0] != '"' || !take(&s, ':') || !value(&s, &found))
                return empty;
            decodeString(key, &keyName);
            if (equals(view(&keyName), "method")) {
                request.method = found;
            } else if (equals(view(&keyName), "id")) {
                request.id = found;
                request.hasId = true;
            } else if (equals(view(&keyName), "args")) {
                request.args = found;
                request.hasArgs = true;
            }
            if (take(&s, '}'))
                break;
            if (!take(&s, ','))
                return empty;
        }
    }
    return atEnd(&s) ? request : empty;
}

// The first element of an array value, as it stands; empty when there is none.
static Text firstElement(Text array)
{
    Scanner s = scanner(array);
    Text first = {0};
    if (!take(&s, '[') || !value(&s, &first))
        return (Text) {0};
    return first;
}

static double number(Text value)
{
    Buffer text = {0};
    append(&text, value.data, value.size);
    appendChar(&text, '\0');
    char* end = NULL;
    const double result = strtod(text.data, &end);
    const bool whole = value.size > 0 && end == text.data + value.size;
    free(text.data);
    return whole ? result : 0.0;
}

// Writes the reply object with its keys in order: error, id, method, result. An empty error
// leaves the key out.
static void reply(const Request* request, Text method, Text error, Text result)
{
    struct iovec parts[16];
    int count = 1;
#define PART(text) parts[count++] = (struct iovec) {(void*)(text).data, (text).size}
    PART(literal("{"));
    if (error.size > 0) {
        PART(literal("\"error\":"));
        PART(error);
        PART(literal(","));
    }
    if (request->hasId) {
        PART(literal("\"id\":"));
        PART(request->id);
        PART(literal(","));
    }
    PART(literal("\"method\":"));
    PART(method);
    PART(literal(",\"result\":"));
    PART(result);
    PART(literal("}"));
#undef PART
    size_t size = 0;
    for (int i = 1; i < count; ++i)
        size += parts[i].iov_len;
    int32_t length = (int32_t)size;
    parts[0] = (struct iovec) {&length, sizeof length};
    if (!writeAll(STDOUT_FILENO, parts, count))
        exit(1);
}

// Kept from message to message, and still reachable when the program exits from within the loop.
static Buffer payload;
static Buffer methodText;
static Buffer result;

int main(void)
{
    while (readMessage(&payload)) {
        const Request request = parseRequest(view(&payload));
        decodeString(request.method, &methodText);
        const bool methodIsText = request.method.size > 0 && request.method.data[0] == '"';
        const Text method = methodIsText ? request.method : literal("\"\"");
        Text name = view(&methodText);
        for (size_t i = name.size; i > 0; --i) {
            if (name.data[i - 1] == '.') {
                name = (Text) {name.data + i, name.size - i};
                break;
            }
        }
        const bool argsIsArray = request.hasArgs && request.args.data[0] == '[';
        const Text args = argsIsArray ? request.args : literal("[]");
        const Text none = {0};
        result.size = 0;

        if (equals(name, "DisposeInstance"))
            return 0;
        if (equals(name, "Exit")) {
            const double code = number(firstElement(args));
            return code >= -2147483647.0 && code <= 2147483647.0 && (double)(int)code == code ? (int)code : 0;
        }
        if (equals(name, "Echo")) {
            reply(&request, method, none, args);
        } else if (equals(name, "Generate")) {
            const double wanted = number(firstElement(args));
            const size_t size = wanted > 0 ? (size_t)(wanted < INT32_MAX ? wanted : INT32_MAX) : 0;
            static const char pattern[] = "0123456789abcdef";
            reserve(&result, size + 2);
            appendChar(&result, '"');
            for (size_t done = 0; done < size; done += sizeof pattern - 1) {
                const size_t part = size - done < sizeof pattern - 1 ? size - done : sizeof pattern - 1;
                append(&result, pattern, part);
            }
            appendChar(&result, '"');
            reply(&request, method, none, view(&result));
        } else if (equals(name, "Origin")) {
            const char* origin = getenv("QUILLET_ORIGIN");
            appendChar(&result, '"');
            for (const char* c = origin ? origin : ""; *c; ++c) {
                if (*c == '"' || *c == '\\')
                    appendChar(&result, '\\');
                if ((unsigned char)*c >= 0x20)
                    appendChar(&result, *c);
            }
            appendChar(&result, '"');
            reply(&request, method, none, view(&result));
        } else if (equals(name, "Log")) {
            decodeString(firstElement(args), &result);
            struct iovec text = {result.data, result.size};
            writeAll(STDERR_FILENO, &text, 1);
            reply(&request, method, none, literal("\"\""));
        } else {
            reply(&request, method, literal("\"Unknown method\""), literal("\"\""));
        }
    }
    return 0;
}
