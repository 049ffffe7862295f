// Built against an installed or vendored copy.  Given EXPECTED_STANDARD,
// 11, 14, 17 or 20, it checks that it is compiled as that C++ standard.
#include <escape_special.h>

#include <cstdio>

#if defined(EXPECTED_STANDARD)
#define EXPECTED_CPLUSPLUS                                                                   \
    (EXPECTED_STANDARD == 11   ? 201103L                                                    \
     : EXPECTED_STANDARD == 14 ? 201402L                                                    \
     : EXPECTED_STANDARD == 17 ? 201703L                                                    \
                               : 202002L)
static_assert(__cplusplus == EXPECTED_CPLUSPLUS, "compiled as another standard");
#endif

int main()
{
    const std::string s = escape_special("(a+)? x@y&z \xC3\xA9");
    std::fwrite(s.data(), 1, s.size(), stdout);
    return s == "\\(a\\+\\)\\? x\\@y\\&z \xC3\xA9" ? 0 : 1;
}
