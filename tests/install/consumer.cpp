// Built against an installed copy, through find_package or pkg-config.
#include <escape_special.h>

#include <cstdio>

int main()
{
    const std::string s = escape_special("(a+)? x@y&z \xC3\xA9");
    std::fwrite(s.data(), 1, s.size(), stdout);
    return s == "\\(a\\+\\)\\? x\\@y\\&z \xC3\xA9" ? 0 : 1;
}
