#ifndef ESCAPE_SPECIAL_H
#define ESCAPE_SPECIAL_H

#include <string>

// The one symbol a shared build of the library exports; it hides the rest.
#if defined(__GNUC__)
#define ESCAPE_SPECIAL_EXPORT __attribute__((visibility("default")))
#else
#define ESCAPE_SPECIAL_EXPORT
#endif

// Returns a copy of the zero-terminated string `input` with one backslash
// written in front of each of these fourteen bytes:
//
//     [ ] ( ) { } $ + ? | . * @ &
//
// Every other byte is copied unchanged: the backslash itself, the caret `^`,
// white space, and bytes 0x80 to 0xFF, so UTF-8 text passes through intact.
// Each byte is judged on its own; a backslash in the input protects nothing.
//
// The result is as long as the input plus the number of special bytes in it,
// so never more than twice the input, and it never holds a zero byte.
// Escaping twice escapes the special bytes again but not the backslashes.
//
// Example: escape_special("1+1=2") returns "1\\+1=2", that is 1\+1=2.
//
// The result holds at most size + size / 16 + 64 bytes of capacity, where
// size is its length; for an input of up to 128 bytes, just what its length
// needs.  The input is read once for its length and, in the usual case, once
// more to escape it.
//
// The function keeps no state and reads nothing but `input`, which must not be
// null.  Its only failure is running out of memory: it then throws
// std::bad_alloc and has allocated nothing.
ESCAPE_SPECIAL_EXPORT std::string escape_special(const char* input);

#endif
