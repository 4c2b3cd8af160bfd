// wvsprintfA and the lstr* string helpers.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/win/win32.h"

namespace {

constexpr int kWin32FormatLimit = 1024;

// Appends to a fixed buffer, remembering whether anything had to be cut.
struct Sink {
    char* out;
    size_t capacity;  // including the terminator
    size_t length = 0;
    bool cut = false;

    void put(char c) {
        if (length + 1 < capacity) {
            out[length++] = c;
        } else {
            cut = true;
        }
    }
    void repeat(char c, int n) {
        for (int i = 0; i < n; ++i) put(c);
    }
};

void putField(Sink& sink, std::string_view body, std::string_view prefix, int width, bool left,
              bool zero) {
    const int len = static_cast<int>(body.size() + prefix.size());
    const int pad = width > len ? width - len : 0;
    if (!left && !zero) sink.repeat(' ', pad);
    for (char c : prefix) sink.put(c);
    if (!left && zero) sink.repeat('0', pad);
    for (char c : body) sink.put(c);
    if (left) sink.repeat(' ', pad);
}

int format(char* out, size_t capacity, const char* fmt, va_list args, bool& cut) {
    Sink sink{out, capacity};
    if (fmt == nullptr) fmt = "";
    for (const char* p = fmt; *p != '\0'; ++p) {
        if (*p != '%') {
            sink.put(*p);
            continue;
        }
        const char* start = p++;
        bool left = false, zero = false, alt = false;
        for (;; ++p) {
            if (*p == '-')
                left = true;
            else if (*p == '0')
                zero = true;
            else if (*p == '#')
                alt = true;
            else
                break;
        }
        int width = 0;
        while (*p >= '0' && *p <= '9')
            width = std::min(width * 10 + (*p++ - '0'), kWin32FormatLimit);
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            while (*p >= '0' && *p <= '9') {
                precision = std::min(precision * 10 + (*p++ - '0'), kWin32FormatLimit);
            }
        }
        bool shortArg = false;
        if (*p == 'l' || *p == 'L')
            ++p;  // LONG is 32 bits, as on Windows
        else if (*p == 'h') {
            shortArg = true;
            ++p;
        }
        char digits[32];
        switch (*p) {
            case '%':
                sink.put('%');
                break;
            case 'c':
            case 'C': {
                const char c = static_cast<char>(va_arg(args, int));
                putField(sink, std::string_view(&c, 1), {}, width, left, false);
                break;
            }
            case 's':
            case 'S': {
                const char* s = va_arg(args, const char*);
                if (s == nullptr) s = "(null)";
                size_t n =
                    precision >= 0 ? strnlen(s, static_cast<size_t>(precision)) : std::strlen(s);
                putField(sink, std::string_view(s, n), {}, width, left, false);
                break;
            }
            case 'd':
            case 'i': {
                int v = va_arg(args, int);
                if (shortArg) v = static_cast<short>(v);
                const bool negative = v < 0;
                unsigned long long magnitude =
                    negative ? 0ull - static_cast<unsigned long long>(static_cast<long long>(v))
                             : static_cast<unsigned long long>(v);
                int n = 0;
                do {
                    digits[sizeof digits - 1 - n++] = static_cast<char>('0' + magnitude % 10);
                    magnitude /= 10;
                } while (magnitude != 0);
                std::string_view body(digits + sizeof digits - n, static_cast<size_t>(n));
                std::string zeros;
                if (precision > n) zeros.assign(static_cast<size_t>(precision - n), '0');
                std::string full = zeros + std::string(body);
                putField(sink, full, negative ? "-" : "", width, left, zero && precision < 0);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                unsigned v = va_arg(args, unsigned);
                if (shortArg) v &= 0xffffu;
                const unsigned base = *p == 'u' ? 10 : 16;
                const char* set = *p == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
                int n = 0;
                do {
                    digits[sizeof digits - 1 - n++] = set[v % base];
                    v /= base;
                } while (v != 0);
                std::string body(digits + sizeof digits - n, static_cast<size_t>(n));
                if (precision > n) body.insert(0, static_cast<size_t>(precision - n), '0');
                std::string_view prefix;
                if (alt && base == 16) prefix = *p == 'X' ? "0X" : "0x";
                putField(sink, body, prefix, width, left, zero && precision < 0);
                break;
            }
            case '\0':
                // A lone '%' at the end is copied as it stands.
                for (const char* q = start; *q != '\0'; ++q) sink.put(*q);
                --p;
                break;
            default:
                // Unknown conversions are copied without their '%', as Win32 does.
                sink.put(*p);
                break;
        }
    }
    if (capacity > 0) out[sink.length] = '\0';
    cut = sink.cut;
    return static_cast<int>(sink.length);
}

}  // namespace

int wvsprintfA(LPSTR out, LPCSTR format_, va_list args) {
    if (out == nullptr) return 0;
    bool cut = false;
    va_list copy;
    va_copy(copy, args);
    const int n = format(out, kWin32FormatLimit, format_, copy, cut);
    va_end(copy);
    return n;
}

int wsprintfA(LPSTR out, LPCSTR format_, ...) {
    va_list args;
    va_start(args, format_);
    const int n = wvsprintfA(out, format_, args);
    va_end(args);
    return n;
}

int wvnsprintfA(LPSTR out, int capacity, LPCSTR format_, va_list args) {
    if (out == nullptr || capacity <= 0) return -1;
    bool cut = false;
    va_list copy;
    va_copy(copy, args);
    const int n =
        format(out, static_cast<size_t>(std::min(capacity, kWin32FormatLimit)), format_, copy, cut);
    va_end(copy);
    return cut ? -1 : n;
}

int wnsprintfA(LPSTR out, int capacity, LPCSTR format_, ...) {
    va_list args;
    va_start(args, format_);
    const int n = wvnsprintfA(out, capacity, format_, args);
    va_end(args);
    return n;
}

int lstrlenA(LPCSTR text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

int lstrcmpA(LPCSTR a, LPCSTR b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    const int r = std::strcmp(a, b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int lstrcmpiA(LPCSTR a, LPCSTR b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    for (;; ++a, ++b) {
        const int ca = std::tolower(static_cast<unsigned char>(*a));
        const int cb = std::tolower(static_cast<unsigned char>(*b));
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

LPSTR lstrcpyA(LPSTR dest, LPCSTR src) {
    if (dest == nullptr) return nullptr;
    std::strcpy(dest, src == nullptr ? "" : src);
    return dest;
}

LPSTR lstrcpynA(LPSTR dest, LPCSTR src, int maxLength) {
    if (dest == nullptr || maxLength <= 0) return dest;
    const size_t n = src == nullptr ? 0 : strnlen(src, static_cast<size_t>(maxLength - 1));
    if (n > 0) std::memcpy(dest, src, n);
    dest[n] = '\0';
    return dest;
}

LPSTR lstrcatA(LPSTR dest, LPCSTR src) {
    if (dest == nullptr) return nullptr;
    if (src != nullptr) std::strcat(dest, src);
    return dest;
}
