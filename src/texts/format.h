#pragma once
// printf-style patterns checked when the program is compiled: format()
// refuses to compile a call whose pattern's conversions do not take its
// arguments one for one (count and type), so an edit of a catalogue string
// that drops, adds or changes a placeholder fails the build instead of
// reading the wrong argument at run time. Patterns must be known at compile
// time: a catalogue constant or a literal.

#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>

namespace velmora::encoder::text {

namespace format_check {

enum class Length : unsigned char { None, hh, h, l, ll, j, z, t, L };

// One conversion of a pattern: found is false past the last one, valid is
// false for one we do not accept (%n, a width or precision taken from the
// arguments, an unknown letter).
struct Conversion {
    bool found = false;
    bool valid = false;
    Length length = Length::None;
    char letter = 0;
};

constexpr bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr bool isOneOf(char c, const char* set) {
    for (; *set; ++set)
        if (*set == c) return true;
    return false;
}

// The next conversion from `at` on; `at` is left after it.
constexpr Conversion nextConversion(const char* p, std::size_t& at) {
    for (; p[at]; ++at) {
        if (p[at] != '%') continue;
        ++at;
        if (p[at] == '%') continue;  // "%%" is a percent sign
        Conversion c{.found = true};
        while (isOneOf(p[at], "-+ #0")) ++at;
        if (p[at] == '*') return c;
        while (isDigit(p[at])) ++at;
        if (p[at] == '.') {
            ++at;
            if (p[at] == '*') return c;
            while (isDigit(p[at])) ++at;
        }
        if (p[at] == 'h') {
            ++at;
            c.length = p[at] == 'h' ? (++at, Length::hh) : Length::h;
        } else if (p[at] == 'l') {
            ++at;
            c.length = p[at] == 'l' ? (++at, Length::ll) : Length::l;
        } else if (isOneOf(p[at], "jztL")) {
            c.length = p[at] == 'j'   ? Length::j
                       : p[at] == 'z' ? Length::z
                       : p[at] == 't' ? Length::t
                                      : Length::L;
            ++at;
        }
        c.letter = p[at];
        if (!c.letter) return c;
        ++at;
        c.valid = isOneOf(c.letter, "diuoxXfFeEgGaAcsp");
        return c;
    }
    return {};
}

template <class T, class... Allowed>
inline constexpr bool isAnyOf = (std::is_same_v<T, Allowed> || ...);

// Whether an argument of type T is what the conversion reads. Exact types,
// except what the default promotions turn into the type read (a short for
// %d, a float for %f); a std::int64_t is not a long long, even where it
// has its size.
template <class T>
constexpr bool takes(const Conversion& c) {
    using U = std::remove_cv_t<T>;
    const char k = c.letter;
    if (k == 'd' || k == 'i') {
        switch (c.length) {
            case Length::None:
                return isAnyOf<U, int, short, signed char, char>;
            case Length::l:
                return isAnyOf<U, long>;
            case Length::ll:
                return isAnyOf<U, long long>;
            case Length::z:
                return isAnyOf<U, std::make_signed_t<std::size_t>>;
            default:
                return false;
        }
    }
    if (isOneOf(k, "uoxX")) {
        switch (c.length) {
            case Length::None:
                return isAnyOf<U, unsigned, unsigned short, unsigned char>;
            case Length::l:
                return isAnyOf<U, unsigned long>;
            case Length::ll:
                return isAnyOf<U, unsigned long long>;
            case Length::z:
                return isAnyOf<U, std::size_t>;
            default:
                return false;
        }
    }
    if (isOneOf(k, "fFeEgGaA")) {
        if (c.length == Length::None) return isAnyOf<U, double, float>;
        return c.length == Length::L && isAnyOf<U, long double>;
    }
    if (c.length != Length::None) return false;
    if (k == 'c') return isAnyOf<U, int, char>;
    if (k == 's') return isAnyOf<U, const char*, char*>;
    if (k == 'p') return std::is_pointer_v<U>;
    return false;
}

template <class... Args>
constexpr bool fits(const char* pattern) {
    std::size_t at = 0;
    bool ok = true;
    ((ok = ok &&
           [&] {
               const Conversion c = nextConversion(pattern, at);
               return c.found && c.valid && takes<Args>(c);
           }()),
     ...);
    return ok && !nextConversion(pattern, at).found;
}

// Not constexpr: a compile-time call to it is the compiler's error, named
// for what went wrong.
void pattern_does_not_fit_its_arguments();

}  // namespace format_check

// A pattern checked against the arguments it will be given.
template <class... Args>
class CheckedPattern {
  public:
    template <class S>
    requires std::is_convertible_v<const S&, const char*>
    consteval CheckedPattern(const S& pattern) : pattern_(pattern) {
        if (!format_check::fits<Args...>(pattern_))
            format_check::pattern_does_not_fit_its_arguments();
    }
    const char* get() const { return pattern_; }

  private:
    const char* pattern_;
};

// As long as it takes: a line may carry several paths of any length.
template <class... Args>
std::string format(CheckedPattern<std::type_identity_t<Args>...> pattern, Args... values) {
    const int length = std::snprintf(nullptr, 0, pattern.get(), values...);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    std::snprintf(out.data(), out.size() + 1, pattern.get(), values...);
    return out;
}

}  // namespace velmora::encoder::text
