// What a program calls itself reaches the system log only as plain text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "blame.h"

namespace {

TEST(Blame, ControlBytesInAProgramsNameAreEscaped) {
    struct row {
        const char *name;
        const char *expected;
    };
    const row rows[] = {
        {"wormlet", "wormlet"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"x\r<1>root: hi", "x\\x0d<1>root: hi"},
        {"tab\there\n", "tab\\x09here\\x0a"},
        {"del\x7f", "del\\x7f"},
        {"back\\slash", "back\\x5cslash"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 stays as it is
    };
    for (const row &r : rows) {
        char out[128];
        size_t n = escape_control(r.name, out, sizeof out);
        EXPECT_STREQ(out, r.expected) << r.name;
        EXPECT_EQ(n, strlen(r.expected));
    }
    // Cut to the room there is, never inside an escape.
    char small[7];
    escape_control(
        "ab\x1b"
        "cd",
        small, sizeof small);
    EXPECT_STREQ(small, "ab\\x1b");
    char tiny[5];
    escape_control(
        "ab\x1b"
        "cd",
        tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "ab");
}

}  // namespace
