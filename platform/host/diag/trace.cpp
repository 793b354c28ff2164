// The trace sink, DbgPrint with the Windows kernel's formatting rules, and RtlAssert.
#include "platform/host/diag/trace.h"
#include "platform/host/sched/sched.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "platform/host/kernel/kernel_private.h"

namespace host::trace {
namespace {

constexpr size_t kMaxOutput = 512;   // DbgPrint sends at most this many bytes per call
constexpr size_t kMaxKept = 200000;  // oldest entries are dropped beyond this

struct Sink {
    host::sched::Mutex lock;
    host::sched::CondVar added;
    std::deque<Line> lines;
    uint64_t next_sequence = 0;
    host::sched::Mutex listener_lock;
    std::map<int, Listener> listeners;
    int next_listener = 1;
};

Sink& sink() {
    static auto* s = new Sink;
    return *s;
}

int64_t now_ns() {
    static const auto start = host::sched::Clock::now();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(host::sched::Clock::now() - start).count();
}

// ---- formatting ------------------------------------------------------------------------------

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
};

void pad_out(std::string& out, const std::string& body, const Spec& directive, bool zero_pad_ok,
             size_t sign_prefix_len) {
    size_t len = body.size();
    if (directive.width <= 0 || static_cast<size_t>(directive.width) <= len) {
        out += body;
        return;
    }
    size_t fill = static_cast<size_t>(directive.width) - len;
    if (directive.left) {
        out += body;
        out.append(fill, ' ');
    } else if (directive.zero && zero_pad_ok) {
        out.append(body, 0, sign_prefix_len);
        out.append(fill, '0');
        out.append(body, sign_prefix_len, std::string::npos);
    } else {
        out.append(fill, ' ');
        out += body;
    }
}

std::string digits(uint64_t value, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char buf[32];
    int n = 0;
    do {
        buf[n++] = set[value % base];
        value /= base;
    } while (value);
    std::string s;
    while (n)
        s += buf[--n];
    return s;
}

void format_integer(std::string& out, const Spec& directive, char conv, uint64_t raw, bool negative) {
    unsigned base = (conv == 'x' || conv == 'X') ? 16 : (conv == 'o' ? 8 : 10);
    std::string num = digits(raw, base, conv == 'X');
    if (directive.precision >= 0) {
        if (directive.precision == 0 && raw == 0) num.clear();
        if (num.size() < static_cast<size_t>(directive.precision)) num.insert(0, directive.precision - num.size(), '0');
    }
    std::string prefix;
    if (conv == 'd' || conv == 'i') {
        if (negative)
            prefix = "-";
        else if (directive.plus)
            prefix = "+";
        else if (directive.space)
            prefix = " ";
    } else if (directive.alt && raw != 0) {
        if (conv == 'x')
            prefix = "0x";
        else if (conv == 'X')
            prefix = "0X";
        else if (conv == 'o' && (num.empty() || num[0] != '0'))
            prefix = "0";
    }
    pad_out(out, prefix + num, directive, directive.precision < 0, prefix.size());
}

std::string narrow_from_wide(const WCHAR* s, int max_chars) {
    std::string r;
    if (!s) return "(null)";
    for (int i = 0; s[i] && (max_chars < 0 || i < max_chars); ++i)
        r += s[i] < 0x80 ? static_cast<char>(s[i]) : '?';
    return r;
}

}  // namespace

std::string vformat(const char* fmt, __builtin_ms_va_list& args) {
    std::string out;
    if (!fmt) return out;
    for (const char* p = fmt; *p && out.size() < kMaxOutput; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        Spec directive;
        for (;; ++p) {
            if (*p == '-')
                directive.left = true;
            else if (*p == '+')
                directive.plus = true;
            else if (*p == ' ')
                directive.space = true;
            else if (*p == '#')
                directive.alt = true;
            else if (*p == '0')
                directive.zero = true;
            else
                break;
        }
        if (*p == '*') {
            directive.width = va_arg(args, int);
            if (directive.width < 0) {
                directive.left = true;
                directive.width = -directive.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                directive.width = directive.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            directive.precision = 0;
            if (*p == '*') {
                directive.precision = va_arg(args, int);
                if (directive.precision < 0) directive.precision = -1;
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    directive.precision = directive.precision * 10 + (*p++ - '0');
            }
        }
        // Size: Windows is LLP64, so 'l' stays 32 bits; 'll', 'I64' and 'I' (pointer-sized) are 64.
        enum { Default, Short, Char, Long64, Wide } size = Default;
        bool long_flag = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = Long64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (*p == 'I' || *p == 'z' || *p == 'j' || *p == 't') {
            size = Long64;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = Long64;
            p += 2;
        } else if (*p == 'l') {
            long_flag = true;
            ++p;
        } else if (p[0] == 'h' && p[1] == 'h') {
            size = Char;
            p += 2;
        } else if (*p == 'h') {
            size = Short;
            ++p;
        } else if (*p == 'w') {
            size = Wide;
            ++p;
        }
        char conv = *p;
        switch (conv) {
        case 'd':
        case 'i': {
            int64_t v = size == Long64 ? va_arg(args, long long) : va_arg(args, int);
            if (size == Short) v = static_cast<int16_t>(v);
            if (size == Char) v = static_cast<int8_t>(v);
            uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            format_integer(out, directive, conv, mag, v < 0);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            uint64_t v = size == Long64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            if (size == Short) v = static_cast<uint16_t>(v);
            if (size == Char) v = static_cast<uint8_t>(v);
            format_integer(out, directive, conv, v, false);
            break;
        }
        case 'p': {
            uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
            std::string body = digits(v, 16, true);
            if (body.size() < 16) body.insert(0, 16 - body.size(), '0');
            pad_out(out, body, directive, false, 0);
            break;
        }
        case 'c':
        case 'C': {
            int c = va_arg(args, int);
            bool wide = conv == 'C' || long_flag || size == Wide;
            if (wide && !detail::check_irql("DbgPrint (wide character conversion)", PASSIVE_LEVEL)) break;
            std::string body(1, wide ? (c < 0x80 ? static_cast<char>(c) : '?') : static_cast<char>(c));
            pad_out(out, body, directive, false, 0);
            break;
        }
        case 's':
        case 'S': {
            bool wide = conv == 'S' || long_flag || size == Wide;
            std::string body;
            if (wide) {
                const WCHAR* w = va_arg(args, const WCHAR*);
                if (!detail::check_irql("DbgPrint (wide string conversion)", PASSIVE_LEVEL)) break;
                body = narrow_from_wide(w, directive.precision);
            } else {
                const char* s = va_arg(args, const char*);
                if (!s) s = "(null)";
                body = directive.precision >= 0 ? std::string(s, strnlen(s, directive.precision)) : std::string(s);
            }
            pad_out(out, body, directive, false, 0);
            break;
        }
        case 'Z': {
            if (size == Wide) {
                const UNICODE_STRING* u = va_arg(args, const UNICODE_STRING*);
                if (!detail::check_irql("DbgPrint (%wZ)", PASSIVE_LEVEL)) break;
                std::string body = "(null)";
                if (u && u->Buffer) body = narrow_from_wide(u->Buffer, u->Length / 2);
                pad_out(out, body, directive, false, 0);
            } else {
                // ANSI_STRING: USHORT Length, USHORT MaximumLength, PCHAR Buffer.
                struct Ansi {
                    USHORT Length, MaximumLength;
                    const char* Buffer;
                };
                const Ansi* a = va_arg(args, const Ansi*);
                std::string body = (a && a->Buffer) ? std::string(a->Buffer, a->Length) : "(null)";
                pad_out(out, body, directive, false, 0);
            }
            break;
        }
        case 'n':
            (void)va_arg(args, void*);  // never written: a classic format-string hole
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            // The kernel's DbgPrint has no floating point; the argument is consumed, nothing printed.
            (void)va_arg(args, double);
            break;
        case '\0':
            out.append(start, p);
            --p;
            break;
        default: out.append(start, p + 1); break;
        }
    }
    if (out.size() > kMaxOutput) out.resize(kMaxOutput);
    return out;
}

__attribute__((ms_abi)) std::string format(const char* fmt, ...) {
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, fmt);
    std::string s = vformat(fmt, args);
    __builtin_ms_va_end(args);
    return s;
}

void emit(std::string_view text) {
    Sink& s = sink();
    Line line;
    line.time_ns = now_ns();
    line.thread = host::thread_id();
    line.text = std::string(text);
    // The listener lock is taken first and held across the append so that listeners see entries
    // in sequence order.
    std::lock_guard<host::sched::Mutex> listeners(s.listener_lock);
    {
        std::lock_guard<host::sched::Mutex> guard(s.lock);
        line.sequence = s.next_sequence++;
        s.lines.push_back(line);
        if (s.lines.size() > kMaxKept) s.lines.pop_front();
    }
    s.added.notify_all();
    for (auto& [id, fn] : s.listeners)
        fn(line);
}

std::vector<Line> snapshot() {
    Sink& s = sink();
    std::lock_guard<host::sched::Mutex> guard(s.lock);
    return {s.lines.begin(), s.lines.end()};
}

Mark mark() {
    Sink& s = sink();
    std::lock_guard<host::sched::Mutex> guard(s.lock);
    return s.next_sequence;
}

std::vector<Line> since(Mark from) {
    Sink& s = sink();
    std::lock_guard<host::sched::Mutex> guard(s.lock);
    std::vector<Line> r;
    for (const auto& l : s.lines)
        if (l.sequence >= from) r.push_back(l);
    return r;
}

std::string text_since(Mark from) {
    std::string r;
    for (const auto& l : since(from))
        r += l.text;
    return r;
}

size_t count_exact(Mark from, std::string_view text) {
    size_t n = 0;
    for (const auto& l : since(from))
        n += l.text == text;
    return n;
}

bool wait_for(Mark from, std::string_view needle, uint32_t timeout_ms) {
    Sink& s = sink();
    std::unique_lock<host::sched::Mutex> guard(s.lock);
    return s.added.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
        for (const auto& l : s.lines)
            if (l.sequence >= from && l.text.find(needle) != std::string::npos) return true;
        return false;
    });
}

void clear() {
    Sink& s = sink();
    std::lock_guard<host::sched::Mutex> guard(s.lock);
    s.lines.clear();
}

int add_listener(Listener listener) {
    Sink& s = sink();
    std::lock_guard<host::sched::Mutex> guard(s.listener_lock);
    int id = s.next_listener++;
    s.listeners.emplace(id, std::move(listener));
    return id;
}

void remove_listener(int id) {
    Sink& s = sink();
    std::lock_guard<host::sched::Mutex> guard(s.listener_lock);
    s.listeners.erase(id);
}

}  // namespace host::trace

// ---- assertions ----------------------------------------------------------------------------------

namespace {
std::atomic<bool> g_assert_fatal{false};
std::atomic<uint64_t> g_assert_count{0};
}  // namespace

namespace host {
void set_assert_fatal(bool fatal) { g_assert_fatal = fatal; }
uint64_t assert_count() { return g_assert_count.load(); }
namespace detail {
void reset_asserts() {
    g_assert_fatal = false;
    g_assert_count = 0;
}
}  // namespace detail
}  // namespace host

extern "C" ULONG NTAPI DbgPrint(PCSTR Format, ...) {
    // Anything up to device level may print; above it (clock, IPI, high) nothing may.
    if (!host::detail::check_irql("DbgPrint", 12)) return STATUS_SUCCESS;
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    std::string text = host::trace::vformat(Format, args);
    __builtin_ms_va_end(args);
    host::trace::emit(text);
    return STATUS_SUCCESS;
}

extern "C" void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    const char* expr = FailedAssertion ? static_cast<const char*>(FailedAssertion) : "(null)";
    const char* file = FileName ? static_cast<const char*>(FileName) : "(null)";
    std::string text = "*** Assertion failed: ";
    if (Message) {
        text += Message;
        text += ' ';
    }
    text += expr;
    text += "\n***   Source File: ";
    text += file;
    text += ", line " + std::to_string(LineNumber) + "\n";
    host::trace::emit(text);
    ++g_assert_count;
    std::string what = "assertion failed: " + std::string(expr) + " at " + file + ":" + std::to_string(LineNumber);
    // A checked build breaks into the debugger here: never a silent pass.
    if (g_assert_fatal)
        host::verifier::bugcheck(host::verifier::kAssertionFailure, what);
    else
        host::verifier::diagnostic(what);
}
